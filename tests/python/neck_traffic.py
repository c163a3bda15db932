"""The neck side of the bus as the tests read it: the frames the virtual motors received as
readable tuples, decoded MIT set-points, and the controller's warnings."""

import logging

import pytest
from vorlix_virtual_torso.mit_codec import decode_command

from traffic import settled

LOGGER = "vorlix_motor_controller.controller"
SERVICE_ID = 0x7FF
ENABLE = b"\xff" * 7 + b"\xfc"
DISABLE = b"\xff" * 7 + b"\xfd"
CTRL_MODE = 10
TIMEOUT = "transport error: timeout waiting for frame"
MODE_REFUSED = "ensure MIT mode failed: control mode verification failed: wrote 1, motor reports {}"
DEFAULT_GAINS = [(30.0, 1.0), (60.0, 2.0), (60.0, 2.0)]
# One step of the encodings: 16-bit positions over [-12.5, 12.5], 12-bit gains.
POSITION_STEP = 25 / 65535
KP_STEP = 500 / 4095
KD_STEP = 5 / 4095


def describe_frame(frame: tuple[int, bytes]) -> tuple:
    can_id, data = frame
    assert len(data) == 8, f"frame {can_id:#x} carries {data.hex(' ')}"
    if can_id == SERVICE_ID:
        motor, command = data[0] | data[1] << 8, data[2]
        if command == 0xCC:
            return ("feedback", motor)
        if command == 0x33:
            return ("read_register", motor, data[3])
        if command == 0x55:
            return ("write_register", motor, data[3], int.from_bytes(data[4:], "little"))
    if data == ENABLE:
        return ("enable", can_id)
    if data == DISABLE:
        return ("disable", can_id)
    return ("mit", can_id)


def neck_sent(neck, expected_count: int) -> list[tuple]:
    """The frames the motors received, described, once they settled."""
    return settled(neck.wait_for_frames, expected_count, describe_frame)


def mit_set_points(neck) -> list:
    """The MIT commands the neck received, decoded, as (motor index, set-point)."""
    return [
        (can_id - 1, decode_command(neck.motors[can_id - 1].limits, data))
        for can_id, data in neck.frames
        if describe_frame((can_id, data))[0] == "mit"
    ]


def assert_set_point(set_point, position=None, gains=None):
    if position is not None:
        assert set_point.position == pytest.approx(position, abs=POSITION_STEP)
    if gains is not None:
        assert set_point.kp == pytest.approx(gains[0], abs=KP_STEP)
        assert set_point.kd == pytest.approx(gains[1], abs=KD_STEP)
    # Velocity and feed-forward torque stay zero: one step around the middle of their range.
    assert abs(set_point.velocity) < 0.02 and abs(set_point.torque) < 0.02


def clamp_warning(name, request, lower, upper, clamped):
    return (
        f"{name} requested position {request:.4f} rad out of safe range "
        f"[{lower:.4f}, {upper:.4f}]; clamped to {clamped:.4f}"
    )


def controller_warnings(caplog) -> list[str]:
    return [
        r.getMessage() for r in caplog.records if r.name == LOGGER and r.levelno == logging.WARNING
    ]


def assert_commanded_gains(controller, neck, expected):
    """Sends one whole-neck command now and checks the gains it carried."""
    neck.clear_frames()
    controller.set_neck_position([0.0, 0.0, 0.0])
    assert neck_sent(neck, 3) == [("mit", 1), ("mit", 2), ("mit", 3)]
    for index, set_point in mit_set_points(neck):
        assert_set_point(set_point, gains=expected[index])


def enable_frames(can_id):
    return [("read_register", can_id, CTRL_MODE), ("enable", can_id)]
