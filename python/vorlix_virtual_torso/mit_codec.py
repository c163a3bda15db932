"""The Damiao MIT codec as the motor runs it: set-point commands in, state frames out.

Every step rounds to a 32-bit float, as the motor's arithmetic does, so the state frames are
the real motor's bytes and a value on a rounding edge truncates the same way.
"""

import struct
from dataclasses import dataclass


def f32(value: float) -> float:
    rounded: float = struct.unpack("<f", struct.pack("<f", value))[0]
    return rounded


@dataclass(frozen=True)
class MitLimits:
    p_max: float
    v_max: float
    kp_max: float
    kd_max: float
    t_max: float


@dataclass(frozen=True)
class MitSetPoint:
    position: float
    velocity: float
    kp: float
    kd: float
    torque: float


def _full_scale(bits: int) -> int:
    return (1 << bits) - 1


def _symmetric_from_unsigned(raw: int, limit: float, bits: int) -> float:
    """raw in 0..full scale to [-limit, limit]: (2 limit) x raw / full scale - limit."""
    span = f32(limit + limit)
    return f32(f32(f32(span * raw) / _full_scale(bits)) - limit)


def _gain_from_unsigned(raw: int, limit: float) -> float:
    """A 12-bit gain to [0, limit]."""
    return f32(f32(limit * raw) / _full_scale(12))


def _symmetric_to_unsigned(value: float, limit: float, bits: int) -> int:
    """[-limit, limit] to 0..full scale, clamped first and truncated towards zero."""
    clamped = min(max(f32(value), -limit), limit)
    return int(f32(f32(f32(clamped + limit) * _full_scale(bits)) / f32(limit + limit)))


def decode_command(limits: MitLimits, data: bytes) -> MitSetPoint:
    """The set-point of an 8-byte MIT command."""
    p_u = data[0] << 8 | data[1]
    v_u = data[2] << 4 | data[3] >> 4
    kp_u = (data[3] & 0x0F) << 8 | data[4]
    kd_u = data[5] << 4 | data[6] >> 4
    t_u = (data[6] & 0x0F) << 8 | data[7]
    return MitSetPoint(
        position=_symmetric_from_unsigned(p_u, limits.p_max, 16),
        velocity=_symmetric_from_unsigned(v_u, limits.v_max, 12),
        kp=_gain_from_unsigned(kp_u, limits.kp_max),
        kd=_gain_from_unsigned(kd_u, limits.kd_max),
        torque=_symmetric_from_unsigned(t_u, limits.t_max, 12),
    )


@dataclass(frozen=True)
class MotorState:
    motor_id: int
    status: int  # 0 disabled, 1 enabled, 8 to 14 a fault
    position: float
    velocity: float
    torque: float
    driver_temperature: int
    rotor_temperature: int


def encode_state(limits: MitLimits, state: MotorState) -> bytes:
    """The 8-byte state frame the motor sends for a command, enable, disable or feedback."""
    p_u = _symmetric_to_unsigned(state.position, limits.p_max, 16)
    v_u = _symmetric_to_unsigned(state.velocity, limits.v_max, 12)
    t_u = _symmetric_to_unsigned(state.torque, limits.t_max, 12)
    return bytes(
        [
            (state.status << 4) | (state.motor_id & 0x0F),
            p_u >> 8,
            p_u & 0xFF,
            v_u >> 4,
            (v_u & 0x0F) << 4 | t_u >> 8,
            t_u & 0xFF,
            state.driver_temperature,
            state.rotor_temperature,
        ]
    )
