"""set_arm_home against the virtual servos: the packets in their order, the offsets written,
verification and its message, refusals and a servo that stops answering."""

import math

import pytest
from vorlix_motor_controller import VorlixMotorController

from servo_traffic import (
    ARM,
    GOAL_POSITION,
    LOCK,
    POSITION_OFFSET,
    PRESENT_POSITION,
    TORQUE_ENABLE,
    radians,
    sent,
    torque_write,
)

TOL_MESSAGE = "set_arm_home: verify_tol must be positive, got {}"
# Encoder counts of the arm servos and their prior offset registers (sign-magnitude, bit 11
# the sign); after calibration each reads back within one count of 2048.
ENCODERS = {1: 3048, 2: 2148, 3: 1048, 4: 2548}
PRIOR_OFFSETS = {1: 0, 2: 0x800 | 100, 3: 0, 4: 0}
NEW_OFFSETS = {1: 999, 2: 99, 3: 0x800 | 999, 4: 499}
READ_BACK = [radians(2049), radians(2049), radians(2047), radians(2049)]


def offset_register(servo) -> int:
    return int.from_bytes(servo.registers[POSITION_OFFSET : POSITION_OFFSET + 2], "little")


def offset_radians(raw: int) -> float:
    magnitude = (raw & 0x7FF) * math.pi / 2047
    return -magnitude if raw & 0xF800 == 0x0800 else magnitude


def pose(bus, encoders, prior_offsets, torque):
    """Places the servos; with torque on, each holds its place (goal = present)."""
    for i, servo in bus.servos.items():
        servo.registers[POSITION_OFFSET : POSITION_OFFSET + 2] = prior_offsets.get(i, 0).to_bytes(
            2, "little"
        )
        servo.encoder = encoders.get(i, 2048)
        servo.registers[GOAL_POSITION : GOAL_POSITION + 2] = servo.registers[
            PRESENT_POSITION : PRESENT_POSITION + 2
        ]
        servo.registers[TORQUE_ENABLE] = torque


def calibration_packets(new_offsets):
    return [
        torque_write(ARM, 0),
        ("sync_read", PRESENT_POSITION, 2, ARM),
        ("sync_read", POSITION_OFFSET, 2, ARM),
        ("sync_write", LOCK, [(i, 0) for i in ARM]),
        ("sync_write", POSITION_OFFSET, [(i, new_offsets[i]) for i in ARM]),
        ("sync_write", LOCK, [(i, 1) for i in ARM]),
        ("sync_read", PRESENT_POSITION, 2, ARM),
    ]


@pytest.fixture
def bus(torso):
    pose(torso.servo_bus, ENCODERS, PRIOR_OFFSETS, torque=1)
    return torso.servo_bus


def assert_left_calibrated(bus, new_offsets):
    for i in ARM:
        servo = bus.servos[i]
        assert offset_register(servo) == new_offsets[i], f"servo {i}"
        assert servo.registers[LOCK] == 1, f"servo {i} left unlocked"
        assert servo.registers[TORQUE_ENABLE] == 0, f"servo {i} left with torque"
    assert all(bus.servos[i].registers[TORQUE_ENABLE] == 1 for i in (5, 6, 7))


def test_set_arm_home_makes_the_pose_zero(controller, bus):
    check = controller.set_arm_home()

    assert check == pytest.approx(READ_BACK, abs=1e-12)
    assert sent(bus, 7) == calibration_packets(NEW_OFFSETS)
    assert_left_calibrated(bus, NEW_OFFSETS)
    assert controller.read_all_positions()[:4] == pytest.approx(READ_BACK, abs=1e-12)


@pytest.mark.parametrize(
    "present_raw, prior_raw, about",
    [(4004, 325, -2.7839), (92, 0x800 | 325, 2.7839)],
    ids=["3.0+0.5", "-3.0-0.5"],
)
def test_the_new_offset_is_present_plus_prior_wrapped_into_a_half_turn(
    controller, torso, present_raw, prior_raw, about
):
    prior_counts = -(prior_raw & 0x7FF) if prior_raw & 0x800 else prior_raw
    # Torque stays off: the count lies outside the range the servo could drive to.
    pose(torso.servo_bus, {1: present_raw + prior_counts}, {1: prior_raw}, torque=0)
    expected = radians(present_raw) + offset_radians(prior_raw)
    expected += -2 * math.pi if expected > 0 else 2 * math.pi
    assert expected == pytest.approx(about, abs=1e-4)
    magnitude = int(abs(expected) * 2047 / math.pi)

    # The virtual servo does not wrap its count; a wide tolerance keeps verification out of it.
    controller.set_arm_home(verify_tol=100.0)

    packets = sent(torso.servo_bus, 7)
    assert packets[4] == (
        "sync_write",
        POSITION_OFFSET,
        [(1, magnitude | (0x800 if expected < 0 else 0)), (2, 0), (3, 0), (4, 0)],
    )


def test_a_failed_verification_reports_and_leaves_the_new_offsets(controller, bus):
    with pytest.raises(RuntimeError) as failed:
        controller.set_arm_home(verify_tol=0.001)

    assert str(failed.value) == (
        "set_arm_home: verify failed — arm IDs [1, 2, 3, 4] now reading "
        "[+0.0015, +0.0015, -0.0015, +0.0015] rad (expected ~0 within 0.0010). "
        "The Feetech offset sign convention on this hardware may differ from the assumed "
        "`present = encoder - offset`. EEPROM has been left in the new state; restore manually "
        "using prior_offsets [+0.0000, -0.1535, +0.0000, +0.0000], "
        "new_offsets [+1.5340, +0.1533, -1.5340, +0.7670]."
    )
    assert sent(bus, 7) == calibration_packets(NEW_OFFSETS)
    assert_left_calibrated(bus, NEW_OFFSETS)


LARGEST_READ_BACK = max(abs(v) for v in READ_BACK)


@pytest.mark.parametrize(
    "verify_tol, passes",
    [(LARGEST_READ_BACK, True), (math.nextafter(LARGEST_READ_BACK, 0.0), False)],
    ids=["equal", "just below"],
)
def test_a_read_back_equal_to_the_tolerance_passes(controller, bus, verify_tol, passes):
    if passes:
        assert controller.set_arm_home(verify_tol) == pytest.approx(READ_BACK, abs=1e-12)
    else:
        with pytest.raises(RuntimeError, match="^set_arm_home: verify failed"):
            controller.set_arm_home(verify_tol=verify_tol)
    assert_left_calibrated(bus, NEW_OFFSETS)


@pytest.mark.parametrize(
    "verify_tol, shown",
    [(0, "0"), (0.0, "0"), (-0.5, "-0.5"), (math.nan, "NaN"), (-math.inf, "-inf")],
)
def test_a_tolerance_that_is_not_positive_is_refused_without_traffic(
    controller, bus, verify_tol, shown
):
    with pytest.raises(RuntimeError) as refused:
        controller.set_arm_home(verify_tol=verify_tol)
    assert str(refused.value) == TOL_MESSAGE.format(shown)
    assert sent(bus, 0) == []
    assert all(servo.registers[TORQUE_ENABLE] == 1 for servo in bus.servos.values())


def test_an_infinite_tolerance_is_refused_without_traffic(controller, bus):
    # It would pass any read-back, however far from zero.
    with pytest.raises(RuntimeError, match="inf"):
        controller.set_arm_home(verify_tol=math.inf)
    assert sent(bus, 0) == []
    assert offset_register(bus.servos[2]) == PRIOR_OFFSETS[2]


def test_the_tolerance_is_checked_before_the_serial_port(neck, can_iface):
    with pytest.raises(RuntimeError) as refused:
        VorlixMotorController(None, can_iface).set_arm_home(0)
    assert str(refused.value) == TOL_MESSAGE.format("0")


@pytest.mark.parametrize("servo_id", [2, 4])
def test_a_servo_silent_at_the_first_read_leaves_only_torque_off_written(controller, bus, servo_id):
    bus.servos[servo_id].absent = True

    with pytest.raises(RuntimeError, match="^Operation timed out$"):
        controller.set_arm_home()

    assert sent(bus, 2) == [torque_write(ARM, 0), ("sync_read", PRESENT_POSITION, 2, ARM)]
    for i in ARM:
        assert offset_register(bus.servos[i]) == PRIOR_OFFSETS[i]
        assert bus.servos[i].registers[LOCK] == 1
    assert bus.servos[1].registers[TORQUE_ENABLE] == 0
