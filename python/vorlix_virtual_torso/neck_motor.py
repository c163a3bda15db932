"""One virtual Damiao neck motor: MIT impedance dynamics, registers and fault switches."""

import dataclasses
import math
import struct
import threading
import time

from .mit_codec import MitLimits, MitSetPoint, MotorState, decode_command, encode_state

# Seven FF bytes and one of these four are the motor's own commands, not set-points.
SPECIAL_PREFIX = b"\xff" * 7
ENABLE = SPECIAL_PREFIX + b"\xfc"
DISABLE = SPECIAL_PREFIX + b"\xfd"
CLEAR_ERROR = SPECIAL_PREFIX + b"\xfb"
SAVE_ZERO = SPECIAL_PREFIX + b"\xfe"
FEEDBACK_REQUEST = 0xCC
READ_REGISTER = 0x33
WRITE_REGISTER = 0x55
STORE_PARAMETERS = 0xAA

MST_ID = 7
ESC_ID = 8
TIMEOUT = 9
CTRL_MODE = 10
PMAX = 21
VMAX = 22
TMAX = 23
MIT_MODE = 1
CONTROL_MODES = range(1, 5)  # MIT, POS_VEL, VEL, FORCE_POS

STEP = 0.001  # s: the dynamics advance in fixed 1 kHz steps
# After a long quiet spell only the last second is simulated: the joint has settled long
# before, and a reply must not wait for hours of steps.
MAX_CATCH_UP_STEPS = 1000
INERTIA = 0.01  # kg m^2: the neck's default gains then settle in well under a second
DRIVER_TEMPERATURE = 30
ROTOR_TEMPERATURE = 28
# The state frame's status nibble.
DISABLED = 0
ENABLED = 1
NO_FAULT = 0
FAULT_CODES = range(0x8, 0xF)  # over-voltage, under-voltage, over-current, ..., overload


def _u32(value: int) -> bytes:
    return value.to_bytes(4, "little")


def _float32(value: float) -> bytes:
    return struct.pack("<f", value)


class VirtualNeckMotor:
    """A motor of the virtual neck; the neck serialises all access with its lock.

    The dynamics are integrated whenever the motor is looked at, in fixed 1 ms steps up to
    that moment: the same motion as a 1 kHz thread, without waking the single CPU of the
    test kernel a thousand times a second.
    """

    def __init__(
        self, can_id: int, limits: MitLimits, start_position: float, lock: threading.RLock
    ) -> None:
        self.can_id = can_id
        self.feedback_id = can_id
        self._gain_limits = (limits.kp_max, limits.kd_max)
        self._lock = lock
        self._position = float(start_position)
        self._velocity = 0.0
        self._torque = 0.0
        self._enabled = False
        self._set_point = MitSetPoint(self._position, 0.0, 0.0, 0.0, 0.0)
        self._clock = time.monotonic()
        self.registers = {
            MST_ID: _u32(self.feedback_id),
            ESC_ID: _u32(can_id),
            TIMEOUT: _u32(0),
            CTRL_MODE: _u32(MIT_MODE),
            PMAX: _float32(limits.p_max),
            VMAX: _float32(limits.v_max),
            TMAX: _float32(limits.t_max),
        }
        # What the motor's flash holds: register writes live until a power cycle unless the
        # store command copies them here.
        self._stored_registers = dict(self.registers)
        self._fault = NO_FAULT

        # Fault switches, set by tests.
        self.silent = False
        self.late_reply = False
        self.refuse_mode_change = False
        self.blocked = False

    @property
    def position(self) -> float:
        with self._lock:
            self.advance(time.monotonic())
            return self._position

    @position.setter
    def position(self, value: float) -> None:
        with self._lock:
            self.advance(time.monotonic())
            self._position = float(value)

    @property
    def velocity(self) -> float:
        with self._lock:
            self.advance(time.monotonic())
            return self._velocity

    @property
    def enabled(self) -> bool:
        return self._enabled

    @property
    def fault(self) -> int:
        """The fault the motor reports in its status nibble, 0 for none. A fault disables the
        motor; it refuses to enable until the clear-error command."""
        return self._fault

    @fault.setter
    def fault(self, code: int) -> None:
        if code != NO_FAULT and code not in FAULT_CODES:
            raise ValueError(f"a fault code is 8 to 14, got {code}")
        with self._lock:
            self.advance(time.monotonic())
            self._fault = code
            if code != NO_FAULT:
                self._go_limp()

    @property
    def kp(self) -> float:
        return self._set_point.kp

    @property
    def kd(self) -> float:
        return self._set_point.kd

    @property
    def limits(self) -> MitLimits:
        """The mapping ranges the motor encodes and decodes with: its PMAX, VMAX and TMAX
        registers, so a register set to another value shifts every reported quantity."""

        def register(address: int) -> float:
            value: float = struct.unpack("<f", self.registers[address])[0]
            return value

        kp_max, kd_max = self._gain_limits
        return MitLimits(register(PMAX), register(VMAX), kp_max, kd_max, register(TMAX))

    def set_register(self, register: int, value: int | float) -> None:
        """Configures a register as a configuration tool would, stored so that it survives a
        power cycle: an int as a 32-bit word, a float as a single."""
        raw = _float32(value) if isinstance(value, float) else _u32(value)
        with self._lock:
            self.registers[register] = self._stored_registers[register] = raw

    @property
    def control_mode(self) -> int:
        return int.from_bytes(self.registers[CTRL_MODE], "little")

    @control_mode.setter
    def control_mode(self, mode: int) -> None:
        self.set_register(CTRL_MODE, mode)

    def power_cycle(self) -> None:
        """Switches the motor off and on: it comes back disabled, without fault, with the
        stored registers, and its multi-turn counter restarts within a turn of the zero."""
        with self._lock:
            self.advance(time.monotonic())
            self.registers = dict(self._stored_registers)
            self._fault = NO_FAULT
            self._go_limp()
            self._position = math.remainder(self._position, 2 * math.pi)

    def advance(self, now: float) -> None:
        steps = int((now - self._clock) / STEP)
        if steps > MAX_CATCH_UP_STEPS:
            steps = MAX_CATCH_UP_STEPS
            self._clock = now
        else:
            self._clock += steps * STEP
        if self._enabled:
            limits = self.limits
            for _ in range(steps):
                self._step(limits)

    def on_command(self, data: bytes, now: float) -> bytes | None:
        """A frame on the motor's command id; returns the state reply, or None to ignore it.

        Each control mode has its own command id; only MIT commands are simulated, so the
        motor hears its plain id in MIT mode only.
        """
        if len(data) != 8 or self.control_mode != MIT_MODE:
            return None
        self.advance(now)
        if data == ENABLE:
            if self._fault == NO_FAULT:
                self._enabled = True
                # Limp until the first set-point: an old one would make the joint jump.
                self._set_point = MitSetPoint(self._position, 0.0, 0.0, 0.0, 0.0)
        elif data == DISABLE:
            self._go_limp()
        elif data == CLEAR_ERROR:
            self._fault = NO_FAULT
        elif data == SAVE_ZERO:
            # The joint stays where it is and now reads 0 there; a held set-point keeps
            # pointing at the same place, so nothing moves.
            held = self._set_point
            self._set_point = dataclasses.replace(held, position=held.position - self._position)
            self._position = 0.0
        else:
            self._set_point = decode_command(self.limits, data)
        return self._state_frame()

    def on_service(self, data: bytes, now: float) -> bytes | None:
        """An 8-byte frame to 0x7FF naming this motor; returns the reply, or None."""
        command, register = data[2], data[3]
        if command == FEEDBACK_REQUEST:
            self.advance(now)
            return self._state_frame()
        if command == READ_REGISTER:
            return data[:4] + self.registers.get(register, bytes(4))
        if command == WRITE_REGISTER:
            self._write_register(register, data[4:8])
            return data
        if command == STORE_PARAMETERS:
            self._stored_registers = dict(self.registers)
            return data
        return None

    def _write_register(self, register: int, value: bytes) -> None:
        if register == CTRL_MODE:
            mode = int.from_bytes(value, "little")
            if self.refuse_mode_change or mode not in CONTROL_MODES:
                return
        self.registers[register] = bytes(value)

    def _go_limp(self) -> None:
        self._enabled = False
        self._velocity = 0.0
        self._torque = 0.0

    def _step(self, limits: MitLimits) -> None:
        target = self._set_point
        torque = (
            target.kp * (target.position - self._position)
            + target.kd * (target.velocity - self._velocity)
            + target.torque
        )
        self._torque = max(-limits.t_max, min(limits.t_max, torque))
        if self.blocked:
            self._velocity = 0.0
            return
        velocity = self._velocity + self._torque / INERTIA * STEP
        self._velocity = max(-limits.v_max, min(limits.v_max, velocity))
        self._position += self._velocity * STEP

    def _state_frame(self) -> bytes:
        state = MotorState(
            motor_id=self.can_id,
            status=self._fault or (ENABLED if self._enabled else DISABLED),
            position=self._position,
            velocity=self._velocity,
            torque=self._torque,
            driver_temperature=DRIVER_TEMPERATURE,
            rotor_temperature=ROTOR_TEMPERATURE,
        )
        return encode_state(self.limits, state)
