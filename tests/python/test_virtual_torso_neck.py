"""The virtual neck over a real vcan interface: state frames, dynamics, registers, faults."""

import math
import socket
import struct
import time

import pytest

from vorlix_virtual_torso import VirtualNeck
from vorlix_virtual_torso.neck import LATE_REPLY_DELAY

SERVICE = 0x7FF
ENABLE = bytes.fromhex("FF FF FF FF FF FF FF FC")
DISABLE = bytes.fromhex("FF FF FF FF FF FF FF FD")
CLEAR_ERROR = bytes.fromhex("FF FF FF FF FF FF FF FB")
SAVE_ZERO = bytes.fromhex("FF FF FF FF FF FF FF FE")
P_MAX, KP_MAX, KD_MAX = 12.5, 500.0, 5.0
YAW_V_MAX, YAW_T_MAX = 30.0, 10.0


def feedback_request(can_id: int) -> bytes:
    return bytes([can_id, 0, 0xCC, 0, 0, 0, 0, 0])


def mit_command(position: float, kp: float, kd: float) -> bytes:
    """A yaw MIT command with zero velocity and torque feed-forward."""
    p_u = int((position + P_MAX) * 65535 / (2 * P_MAX))
    v_u = t_u = 2047
    kp_u = int(kp * 4095 / KP_MAX)
    kd_u = int(kd * 4095 / KD_MAX)
    bits = p_u << 48 | v_u << 36 | kp_u << 24 | kd_u << 12 | t_u
    return bits.to_bytes(8, "big")


def decode_state(data: bytes, v_max: float = YAW_V_MAX, t_max: float = YAW_T_MAX) -> dict:
    p_u = data[1] << 8 | data[2]
    v_u = data[3] << 4 | data[4] >> 4
    t_u = (data[4] & 0x0F) << 8 | data[5]
    return {
        "id": data[0] & 0x0F,
        "status": data[0] >> 4,
        "position": p_u * 2 * P_MAX / 65535 - P_MAX,
        "velocity": v_u * 2 * v_max / 4095 - v_max,
        "torque": t_u * 2 * t_max / 4095 - t_max,
    }


def exchange(can_peer, can_id: int, data: bytes) -> tuple[int, bytes] | None:
    can_peer.send(can_id, data)
    return can_peer.recv(timeout=0.2)


@pytest.mark.parametrize(
    "index, start, reply_hex",
    [
        (0, 0.0, "01 7F FF 7F F7 FF 1E 1C"),
        (1, 0.0, "02 7F FF 7F F7 FF 1E 1C"),
        (0, 6.2, "01 BF 7C 7F F7 FF 1E 1C"),
        (1, -3.0, "02 61 47 7F F7 FF 1E 1C"),
        (2, -12.5, "03 00 00 7F F7 FF 1E 1C"),
        (2, 20.0, "03 FF FF 7F F7 FF 1E 1C"),  # beyond the mapping range: clamped
    ],
)
def test_feedback_state_frame_is_the_motors_encoding(can_iface, can_peer, index, start, reply_hex):
    starts = [0.0, 0.0, 0.0]
    starts[index] = start
    with VirtualNeck(can_iface, starts):
        can_id = index + 1
        assert exchange(can_peer, SERVICE, feedback_request(can_id)) == (
            can_id,
            bytes.fromhex(reply_hex),
        )


def test_enable_and_disable_show_in_the_status_nibble(neck, can_peer):
    assert exchange(can_peer, 2, ENABLE)[1][0] == 0x12
    assert neck.motors[1].enabled
    assert exchange(can_peer, SERVICE, feedback_request(2))[1][0] == 0x12
    assert exchange(can_peer, 2, DISABLE)[1][0] == 0x02
    assert not neck.motors[1].enabled


@pytest.mark.parametrize(
    "frame, reply_hex, position",
    [(CLEAR_ERROR, "01 83 11 7F F7 FF 1E 1C", 0.3), (SAVE_ZERO, "01 7F FF 7F F7 FF 1E 1C", 0.0)],
)
def test_clear_error_and_save_zero_are_no_set_points(can_iface, can_peer, frame, reply_hex, position):
    with VirtualNeck(can_iface, (0.3, 0.0, 0.0)) as neck:
        assert exchange(can_peer, 1, frame) == (1, bytes.fromhex(reply_hex))
        yaw = neck.motors[0]
        assert (yaw.position, yaw.kp, yaw.kd, yaw.enabled) == (position, 0.0, 0.0, False)


def test_save_zero_while_holding_a_position_moves_nothing(neck, can_peer):
    yaw = neck.motors[0]
    exchange(can_peer, 1, ENABLE)
    exchange(can_peer, 1, mit_command(0.3, kp=30.0, kd=1.0))
    deadline = time.monotonic() + 2.0
    while abs(yaw.position - 0.3) > 0.002 or abs(yaw.velocity) > 0.01:
        assert time.monotonic() < deadline, "the joint never settled"
        time.sleep(0.01)
    state = decode_state(exchange(can_peer, 1, SAVE_ZERO)[1])
    assert state["position"] == pytest.approx(0.0, abs=0.001)
    assert abs(state["torque"]) < 0.1 and abs(yaw.position) < 0.001


def test_a_fault_holds_the_motor_disabled_until_cleared(neck, can_peer):
    neck.motors[1].fault = 0xD
    assert exchange(can_peer, 2, ENABLE) == (2, bytes.fromhex("D2 7F FF 7F F7 FF 1E 1C"))
    assert exchange(can_peer, 2, CLEAR_ERROR) == (2, bytes.fromhex("02 7F FF 7F F7 FF 1E 1C"))
    assert exchange(can_peer, 2, ENABLE)[1][0] == 0x12


@pytest.mark.parametrize("store, acc", [(False, bytes(4)), (True, struct.pack("<f", 7.5))])
def test_register_writes_survive_a_power_cycle_once_stored(neck, can_peer, store, acc):
    pitch = neck.motors[1]
    pitch.position = 6.2
    exchange(can_peer, SERVICE, bytes([2, 0, 0x55, 4]) + struct.pack("<f", 7.5))
    if store:
        store_all = bytes.fromhex("02 00 AA 01 00 00 00 00")
        assert exchange(can_peer, SERVICE, store_all) == (2, store_all)
    pitch.power_cycle()
    read_acc = bytes([2, 0, 0x33, 4, 0, 0, 0, 0])
    assert exchange(can_peer, SERVICE, read_acc) == (2, read_acc[:4] + acc)
    assert pitch.position == pytest.approx(6.2 - 2 * math.pi)  # the turn counter restarted


@pytest.mark.parametrize(
    "enabled, blocked, moves", [(True, False, True), (False, False, False), (True, True, False)]
)
def test_position_follows_the_set_point_while_enabled(neck, can_peer, enabled, blocked, moves):
    yaw = neck.motors[0]
    yaw.blocked = blocked
    if enabled:
        exchange(can_peer, 1, ENABLE)
    exchange(can_peer, 1, mit_command(0.5, kp=30.0, kd=1.0))
    assert yaw.kp == pytest.approx(245 * KP_MAX / 4095)  # 30 truncated to 245 steps
    assert yaw.kd == pytest.approx(1.0)
    yaw.advance(time.monotonic() + 0.5)  # the dynamics run for the time given, without waiting
    state = decode_state(exchange(can_peer, SERVICE, feedback_request(1))[1])
    if moves:
        assert state["position"] == pytest.approx(0.5, abs=0.005)
        assert abs(state["velocity"]) < 0.05
    else:
        assert state["position"] == pytest.approx(0.0, abs=0.001)
        assert yaw.position == 0.0
    if blocked:
        assert state["torque"] == pytest.approx(YAW_T_MAX)  # kp x 0.5 rad is past the limit


@pytest.mark.parametrize("refuse", [False, True])
def test_control_mode_register_is_read_written_and_kept(neck, can_peer, refuse):
    roll = neck.motors[2]
    roll.refuse_mode_change = refuse
    read_mode = bytes.fromhex("03 00 33 0A 00 00 00 00")
    assert exchange(can_peer, SERVICE, read_mode) == (3, bytes.fromhex("03 00 33 0A 01 00 00 00"))
    write_vel = bytes.fromhex("03 00 55 0A 03 00 00 00")
    assert exchange(can_peer, SERVICE, write_vel) == (3, write_vel)
    mode = 1 if refuse else 3
    assert exchange(can_peer, SERVICE, read_mode) == (3, bytes([3, 0, 0x33, 0x0A, mode, 0, 0, 0]))
    assert roll.control_mode == mode
    # Out of MIT mode the motor listens on another id: an enable on its plain id goes unheard.
    assert (exchange(can_peer, 3, ENABLE) is None) == (not refuse)


def test_registers_hold_the_mapping_ranges_and_keep_writes(neck, can_peer):
    read_tmax = bytes.fromhex("02 00 33 17 00 00 00 00")
    assert exchange(can_peer, SERVICE, read_tmax) == (2, read_tmax[:4] + struct.pack("<f", 28.0))
    write_acc = bytes([2, 0, 0x55, 4]) + struct.pack("<f", 7.5)
    assert exchange(can_peer, SERVICE, write_acc) == (2, write_acc)
    read_acc = bytes([2, 0, 0x33, 4, 0, 0, 0, 0])
    assert exchange(can_peer, SERVICE, read_acc) == (2, read_acc[:4] + struct.pack("<f", 7.5))


def test_a_silent_motor_never_answers(neck, can_peer):
    neck.motors[0].silent = True
    assert exchange(can_peer, SERVICE, feedback_request(1)) is None
    assert exchange(can_peer, 1, ENABLE) is None
    assert not neck.motors[0].enabled
    assert exchange(can_peer, SERVICE, feedback_request(2))[0] == 2


def test_a_late_reply_comes_after_the_time_out(neck, can_peer):
    neck.motors[1].late_reply = True
    # Taken before the request: the neck may take it up before send returns.
    sent = time.monotonic()
    can_peer.send(SERVICE, feedback_request(2))
    assert can_peer.recv()[0] == 2
    assert time.monotonic() - sent >= LATE_REPLY_DELAY


def test_unrelated_traffic_comes_before_the_reply(neck, can_peer):
    neck.unrelated_traffic = True
    can_peer.send(SERVICE, feedback_request(1))
    frames = can_peer.recv_all()
    assert [can_id for can_id, _ in frames] == [socket.CAN_EFF_FLAG | 1, 0x7F0, 1]
    assert len(frames[1][1]) < 8


def test_received_frames_are_recorded_in_order(neck, can_peer):
    can_peer.send(socket.CAN_EFF_FLAG | 1, b"\x01")
    can_peer.send(0x123, b"")
    can_peer.send(SERVICE, feedback_request(3))
    assert neck.wait_for_frames(3) == [
        (socket.CAN_EFF_FLAG | 1, b"\x01"),
        (0x123, b""),
        (SERVICE, feedback_request(3)),
    ]
    neck.clear_frames()
    assert neck.frames == []


def test_start_positions_need_one_value_per_joint(can_iface):
    with pytest.raises(ValueError):
        VirtualNeck(can_iface, (0.0, 0.0))
