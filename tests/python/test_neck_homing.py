"""neck_home against the virtual neck: goals at the nearest turn, the ramp, gains, enabling,
argument refusals and the time-out message."""

import inspect
import math
import re
import threading

import pytest
from vorlix_motor_controller import VorlixMotorController
from vorlix_virtual_torso import VirtualNeck
from vorlix_virtual_torso.mit_codec import MotorState, decode_command, encode_state

from conftest import serving_first
from neck_traffic import (
    DEFAULT_GAINS,
    KD_STEP,
    KP_STEP,
    MODE_REFUSED,
    POSITION_STEP,
    TIMEOUT,
    assert_commanded_gains,
    describe_frame,
    enable_frames,
    mit_set_points,
)

TURN = 2 * math.pi


@pytest.fixture
def homing_neck(request, can_iface):
    """A neck whose joints start at the positions the test names."""
    with VirtualNeck(can_iface, start_positions=request.param) as neck:
        serving_first()
        yield neck


@pytest.fixture
def controller(homing_neck, can_iface):
    return VorlixMotorController(None, can_iface)


def start(*positions):
    return pytest.mark.parametrize("homing_neck", [positions], indirect=True, ids=str)


def reported(motor) -> float:
    """The position the motor reports now, as the controller decodes it (32-bit arithmetic).
    A state frame carries it in bytes 1 and 2, scaled as in the first two of a command."""
    state = encode_state(motor.limits, MotorState(0, 0, motor.position, 0.0, 0.0, 0, 0))
    return decode_command(motor.limits, state[1:3] + bytes(6)).position


def frame_kinds(neck) -> list[tuple]:
    return [describe_frame(f) for f in neck.frames]


def commanded_positions(neck) -> list[list[float]]:
    """Each joint's commanded positions, in order."""
    per_joint = [[], [], []]
    for index, set_point in mit_set_points(neck):
        per_joint[index].append(set_point.position)
    return per_joint


@pytest.mark.parametrize(
    "homing_neck, goals",
    [((6.2, -3.0, 3.2), (TURN, 0.0, TURN)), ((-3.2, 0.4, -6.0), (-TURN, 0.0, -TURN))],
    indirect=["homing_neck"],
    ids=["6.2,-3.0,3.2", "-3.2,0.4,-6.0"],
)
def test_neck_home_goes_to_the_nearest_whole_turn(controller, homing_neck, goals):
    starts = [m.position for m in homing_neck.motors]

    observed = controller.neck_home(speed=4.0)

    assert len(observed) == 3
    for value, goal in zip(observed, goals):
        assert abs(value - goal) < 0.15
    assert controller.is_neck_torque_enabled() is True
    assert all(m.enabled for m in homing_neck.motors)

    frames = frame_kinds(homing_neck)
    assert frames[:9] == [("feedback", 1), ("feedback", 2), ("feedback", 3)] + enable_frames(
        1
    ) + enable_frames(2) + enable_frames(3)
    assert frames[9:] == [("mit", 1), ("mit", 2), ("mit", 3)] * ((len(frames) - 9) // 3)
    for commands, first, goal in zip(commanded_positions(homing_neck), starts, goals):
        # The ramp runs from the start to the goal in steps of speed x 10 ms, never past it.
        assert commands[-1] == pytest.approx(goal, abs=POSITION_STEP)
        low, high = sorted([first, goal])
        assert all(low - 2 * POSITION_STEP <= c <= high + 2 * POSITION_STEP for c in commands)
        steps = [abs(b - a) for a, b in zip(commands, commands[1:])]
        assert max(steps, default=0.0) <= 0.04 + 2 * POSITION_STEP


def test_neck_home_signature(neck, can_iface):
    signature = inspect.signature(VorlixMotorController(None, can_iface).neck_home)
    assert str(signature) == "(speed=0.4, tolerance=0.15, kp=None, kd=None)"


# Faster than the neck's narrowest velocity range the set-point would jump; slower than half
# a turn (the longest travel) an hour, homing would hold the controller for hours.
TOO_FAST = "neck_home: speed must be at most 10"
TOO_SLOW = f"neck_home: speed must be at least {math.pi / 3600!r}"

BAD_ARGUMENTS = [
    ({"speed": 0}, "neck_home: speed must be positive, got 0"),
    ({"speed": -1.0}, "neck_home: speed must be positive, got -1"),
    ({"speed": math.nan}, "neck_home: speed must be positive, got NaN"),
    ({"speed": math.nan, "tolerance": 0.0}, "neck_home: speed must be positive, got NaN"),
    ({"tolerance": 0.0}, "neck_home: tolerance must be positive, got 0"),
    ({"speed": 0.4, "tolerance": -0.5}, "neck_home: tolerance must be positive, got -0.5"),
    ({"tolerance": math.nan}, "neck_home: tolerance must be positive, got NaN"),
    ({"speed": math.inf}, "neck_home: speed must be finite, got inf"),
    ({"tolerance": math.inf}, "neck_home: tolerance must be finite, got inf"),
    ({"speed": 1e6}, f"{TOO_FAST}, got 1000000"),
    ({"speed": 10.000000000000002}, f"{TOO_FAST}, got 10.000000000000002"),
    ({"speed": 1e-300, "tolerance": 0.0}, f"{TOO_SLOW}, got 0.{'0' * 299}1"),
    ({"speed": 0.0008726646259971647}, f"{TOO_SLOW}, got 0.0008726646259971647"),
]


@pytest.mark.parametrize("arguments, message", BAD_ARGUMENTS)
def test_neck_home_refuses_speed_and_tolerance_before_anything_changes(
    neck, can_iface, arguments, message
):
    controller = VorlixMotorController(None, can_iface)
    with pytest.raises(RuntimeError) as refused:
        controller.neck_home(kp=5.0, kd=0.1, **arguments)
    assert str(refused.value) == message
    assert neck.wait_for_frames(1, timeout=0.05) == []
    assert controller.is_neck_torque_enabled() is False
    assert_commanded_gains(controller, neck, DEFAULT_GAINS)


@start(0.0, 0.0, 0.0)
def test_neck_home_takes_the_slowest_speed(controller, homing_neck):
    # The fastest, 10, is the speed of the tests above and below.
    assert controller.neck_home(speed=math.pi / 3600) == pytest.approx([0.0] * 3, abs=0.15)


@pytest.mark.parametrize(
    "gains, message",
    [
        ({"kp": math.nan}, "neck_home: kp must be finite, got NaN"),
        ({"kd": math.inf}, "neck_home: kd must be finite, got inf"),
        ({"kp": -math.inf, "kd": 0.5}, "neck_home: kp must be finite, got -inf"),
        ({"kp": 20.0, "kd": math.nan}, "neck_home: kd must be finite, got NaN"),
    ],
)
def test_neck_home_refuses_non_finite_gains_before_anything_changes(
    neck, can_iface, gains, message
):
    controller = VorlixMotorController(None, can_iface)
    with pytest.raises(RuntimeError) as refused:
        controller.neck_home(**gains)
    assert str(refused.value) == message
    assert neck.wait_for_frames(1, timeout=0.05) == []
    assert_commanded_gains(controller, neck, DEFAULT_GAINS)


@start(0.05, 0.1, -0.05)
@pytest.mark.parametrize(
    "overrides, expected",
    [
        ({}, DEFAULT_GAINS),
        ({"kp": 20.0}, [(20.0, 1.0), (20.0, 2.0), (20.0, 2.0)]),
        ({"kd": 0.5, "kp": None}, [(30.0, 0.5), (60.0, 0.5), (60.0, 0.5)]),
        ({"kp": 20.0, "kd": 0.5}, [(20.0, 0.5)] * 3),
    ],
    ids=["none", "kp", "kd", "both"],
)
def test_neck_home_gain_overrides_apply_to_all_joints_and_stay(
    controller, homing_neck, overrides, expected
):
    controller.neck_home(speed=10.0, **overrides)

    set_points = mit_set_points(homing_neck)
    assert set_points
    for index, set_point in set_points:
        assert set_point.kp == pytest.approx(expected[index][0], abs=KP_STEP)
        assert set_point.kd == pytest.approx(expected[index][1], abs=KD_STEP)
    assert_commanded_gains(controller, homing_neck, expected)


@start(0.05, 0.1, -0.05)
def test_neck_home_with_the_neck_enabled_sends_no_mode_or_enable_frames(controller, homing_neck):
    controller.enable_neck(True)
    homing_neck.clear_frames()

    controller.neck_home(speed=10.0)

    frames = frame_kinds(homing_neck)
    assert frames[:3] == [("feedback", 1), ("feedback", 2), ("feedback", 3)]
    assert frames[3:] == [("mit", 1), ("mit", 2), ("mit", 3)] * ((len(frames) - 3) // 3)
    assert len(frames) > 3


@start(0.5, 0.0, 0.0)
def test_neck_home_ramps_at_speed_and_fails_with_the_command_error(controller, homing_neck):
    roll = homing_neck.motors[2]

    def silence_roll_after_ten_cycles():
        # Runs while neck_home holds the controller: other Python threads keep going.
        homing_neck.wait_for_frames(9 + 3 * 10, timeout=5.0)
        roll.silent = True

    watcher = threading.Thread(target=silence_roll_after_ten_cycles)
    watcher.start()
    try:
        with pytest.raises(RuntimeError) as failed:
            controller.neck_home()
    finally:
        watcher.join()

    assert str(failed.value) == f"neck_home(neck_roll): {TIMEOUT}"
    yaw = commanded_positions(homing_neck)[0]
    assert len(yaw) >= 10
    # Default speed 0.4 rad/s: 0.004 rad a cycle from 0.5 towards 0.
    assert yaw[0] == pytest.approx(0.496, abs=2 * POSITION_STEP)
    for a, b in zip(yaw, yaw[1:]):
        assert a - b == pytest.approx(0.004, abs=2 * POSITION_STEP)
    assert controller.is_neck_torque_enabled() is True  # left enabled on failure


@start(0.05, 0.1, -0.05)
@pytest.mark.parametrize(
    "fault, message",
    [
        ({"silent": True}, f"read_neck_positions(neck_pitch): {TIMEOUT}"),
        (
            {"control_mode": 4, "refuse_mode_change": True},
            "neck_pitch: " + MODE_REFUSED.format(4),
        ),
    ],
    ids=["read", "enable"],
)
def test_neck_home_passes_read_and_enable_errors_on_and_keeps_its_gains(
    controller, homing_neck, fault, message
):
    for name, value in fault.items():
        setattr(homing_neck.motors[1], name, value)

    with pytest.raises(RuntimeError) as failed:
        controller.neck_home(kp=20.0)

    assert str(failed.value) == message
    homing_neck.motors[1].silent = False
    homing_neck.motors[1].refuse_mode_change = False
    homing_neck.motors[1].control_mode = 1
    assert_commanded_gains(controller, homing_neck, [(20.0, kd) for _, kd in DEFAULT_GAINS])


@start(6.2, 0.2, 0.3)
def test_a_blocked_joint_times_out_with_observed_goals_and_settled(controller, homing_neck):
    roll = homing_neck.motors[2]
    roll.blocked = True

    # Speed 10 makes the ramp 3 cycles long, so the budget is the fixed 2000 cycles.
    with pytest.raises(RuntimeError) as failed:
        controller.neck_home(speed=10.0)

    found = re.fullmatch(
        r"neck_home: timed out before settling\. observed=\[(.*), (.*), (.*)\], "
        r"goals=\[6\.283185307179586, 0\.0, 0\.0\], settled=\[true, true, false\]",
        str(failed.value),
    )
    assert found, str(failed.value)
    observed = [float(text) for text in found.groups()]
    assert all("." in text for text in found.groups())
    assert observed[0] == pytest.approx(TURN, abs=0.15)
    assert observed[1] == pytest.approx(0.0, abs=0.15)
    assert observed[2] == reported(roll)
    assert controller.is_neck_torque_enabled() is True
    # The blocked joint kept receiving its goal until the budget ran out.
    roll_commands = commanded_positions(homing_neck)[2]
    assert len(roll_commands) >= 2000
    assert roll_commands[-1] == pytest.approx(0.0, abs=POSITION_STEP)
