"""VorlixMotorController against the virtual servo bus: construction, torque, positions,
goal writes, raw packets and neck-only mode, checked on the requests the servos received."""

import math
import time

import pytest
from vorlix_motor_controller import VorlixMotorController
from servo_traffic import (
    ARM,
    NOSE,
    ALL_SERVOS,
    TORQUE_ENABLE,
    GOAL_POSITION,
    PRESENT_POSITION,
    NECK_ONLY,
    PING_SERVO_1,
    sent,
    torque_write,
    goal_register,
    radians,
)


@pytest.fixture
def bus(torso):
    return torso.servo_bus


# --- construction -------------------------------------------------------------------------


def test_construction_sends_nothing_on_either_bus(controller, torso):
    assert sent(torso.servo_bus, 0) == []
    assert torso.neck.wait_for_frames(1, timeout=0.05) == []


def test_second_controller_on_the_same_port_is_refused_until_the_first_is_gone(torso):
    first = VorlixMotorController(torso.serial_path, torso.can_iface)
    with pytest.raises(RuntimeError) as refused:
        VorlixMotorController(torso.serial_path, torso.can_iface)
    assert str(refused.value) == "Unable to acquire exclusive lock on serial port"
    del first
    VorlixMotorController(torso.serial_path, torso.can_iface).read_all_positions()


def test_missing_serial_path_is_refused(can_iface, tmp_path):
    with pytest.raises(RuntimeError) as refused:
        VorlixMotorController(str(tmp_path / "ttyUSB9"), can_iface)
    assert str(refused.value) == f"{tmp_path / 'ttyUSB9'}: No such file or directory"


def test_missing_can_interface_fails_and_frees_the_serial_port(servo_bus):
    with pytest.raises(RuntimeError) as refused:
        VorlixMotorController(servo_bus.serial_path, "can9")
    assert str(refused.value).startswith("failed to open CAN bus 'can9': backend error: ")
    # The port was closed again: a second attempt gets past the lock to the CAN step.
    with pytest.raises(RuntimeError) as again:
        VorlixMotorController(servo_bus.serial_path, "can9")
    assert str(again.value).startswith("failed to open CAN bus 'can9': ")
    assert servo_bus.wait_for_requests(1, timeout=0.05) == []


def test_can_bus_none_is_refused_with_a_type_error(servo_bus):
    with pytest.raises(TypeError, match="can_bus"):
        VorlixMotorController(servo_bus.serial_path, None)


def test_no_arguments_builds_a_neck_only_controller_on_can0(can_iface, neck):
    # The test kernel's vcan interface carries the default name.
    assert can_iface == "can0"
    controller = VorlixMotorController()
    with pytest.raises(RuntimeError) as refused:
        controller.read_all_positions()
    assert str(refused.value) == NECK_ONLY
    assert len(controller.read_neck_positions()) == 3
    assert [can_id for can_id, _ in neck.frames] == [0x7FF, 0x7FF, 0x7FF]


# --- torque --------------------------------------------------------------------------------

TORQUE_CALLS = [
    # method, args, torque before, expected requests
    ("enable_torque", (), 0, [torque_write(ARM, 1), torque_write(NOSE, 1)]),
    ("disable_torque", (), 1, [torque_write(ARM, 0), torque_write(NOSE, 0)]),
    ("enable_arms", (True,), 0, [torque_write(ARM, 1)]),
    ("enable_arms", (False,), 1, [torque_write(ARM, 0)]),
    ("enable_nose", (True,), 0, [torque_write(NOSE, 1)]),
    ("enable_nose", (False,), 1, [torque_write(NOSE, 0)]),
    ("enable_torque_on_ids", ([6, 1],), 0, [torque_write([1], 1), torque_write([6], 1)]),
    ("disable_torque_on_ids", ([9, 5, 0, 2],), 1, [torque_write([2], 0), torque_write([5], 0)]),
    ("enable_torque_on_ids", ((3, 1, 3),), 0, [torque_write([3, 1, 3], 1)]),
    ("disable_torque_on_ids", ([7, 6],), 1, [torque_write([7, 6], 0)]),
    ("enable_torque_on_ids", ([9, 0],), 0, []),
    ("enable_torque_on_ids", ([42],), 0, []),
    ("disable_torque_on_ids", ([],), 1, []),
]


@pytest.mark.parametrize("method, args, before, expected", TORQUE_CALLS)
def test_torque_switching_writes_exactly_the_groups_it_names(
    controller, torso, method, args, before, expected
):
    for servo in torso.servo_bus.servos.values():
        servo.registers[TORQUE_ENABLE] = before

    assert getattr(controller, method)(*args) is None

    assert sent(torso.servo_bus, len(expected)) == expected
    written = {i: value for _, _, pairs in expected for i, value in pairs}
    for i, servo in torso.servo_bus.servos.items():
        assert servo.registers[TORQUE_ENABLE] == written.get(i, before), f"servo {i}"
    assert torso.neck.frames == []


@pytest.mark.parametrize("torque_off, expected", [(None, True), (6, False), (1, False)])
def test_is_torque_enabled_needs_all_seven(controller, bus, torque_off, expected):
    for i, servo in bus.servos.items():
        servo.registers[TORQUE_ENABLE] = 0 if i == torque_off else 1
    assert controller.is_torque_enabled() is expected
    assert sent(bus, 2) == [
        ("sync_read", TORQUE_ENABLE, 1, ARM),
        ("sync_read", TORQUE_ENABLE, 1, NOSE),
    ]


# --- positions ---------------------------------------------------------------------------


def test_read_all_positions_in_motor_table_order(controller, bus):
    raw = {1: 1000, 2: 2048, 3: 3072, 4: 4095, 5: 0, 6: 2100, 7: 1500}
    bus.servos[6].registers[31:33] = (52).to_bytes(2, "little")  # present = encoder - offset
    for i, value in raw.items():
        bus.servos[i].encoder = value + (52 if i == 6 else 0)

    positions = controller.read_all_positions()

    assert positions == pytest.approx([radians(raw[i]) for i in ALL_SERVOS], abs=1e-12)
    assert positions[2] == pytest.approx(math.pi / 2, abs=1e-12)
    assert sent(bus, 2) == [
        ("sync_read", PRESENT_POSITION, 2, ARM),
        ("sync_read", PRESENT_POSITION, 2, NOSE),
    ]


READ_FAULTS = [
    ("absent", True, "Operation timed out"),
    ("corrupt_checksum", True, "Checksum error"),
    ("wrong_id", 9, "Parsing error"),
    ("bad_header", True, "Parsing error"),
]


@pytest.mark.parametrize("switch, value, message", READ_FAULTS)
@pytest.mark.parametrize("servo_id", [2, 4, 6])
def test_a_faulty_servo_fails_read_all_positions_with_the_bus_text(
    controller, bus, servo_id, switch, value, message
):
    setattr(bus.servos[servo_id], switch, value)
    with pytest.raises(RuntimeError) as failed:
        controller.read_all_positions()
    assert str(failed.value) == message
    # An arm failure ends the call before the nose is asked.
    expected_groups = [ARM] if servo_id in ARM else [ARM, NOSE]
    assert sent(bus, len(expected_groups)) == [
        ("sync_read", PRESENT_POSITION, 2, ids) for ids in expected_groups
    ]

    # The controller stays usable once the servo behaves again.
    setattr(bus.servos[servo_id], switch, False if value is True else None)
    assert len(controller.read_all_positions()) == 7


@pytest.mark.parametrize("servo_id", [3, 7])
def test_a_silent_servo_fails_is_torque_enabled(controller, bus, servo_id):
    bus.servos[servo_id].absent = True
    with pytest.raises(RuntimeError, match="^Operation timed out$"):
        controller.is_torque_enabled()


# --- goal positions ----------------------------------------------------------------------

# Radians and the goal counts they must become: 0 rad is the middle count 2048, a turn is
# 4096 counts, truncated toward zero and not wrapped.
RAW = {0.0: 2048, 1.0: 2699, -math.pi: 0, math.pi: 4096, 20.0: 15085, -20.0: -10989}


def goal_write(ids, values):
    return ("sync_write", GOAL_POSITION, [(i, RAW[v]) for i, v in zip(ids, values)])


GOAL_CALLS = [
    ("set_left_arm_position", [1.0, -math.pi], [goal_write([1, 2], [1.0, -math.pi])]),
    ("set_right_arm_position", (math.pi, 20.0), [goal_write([3, 4], [math.pi, 20.0])]),
    (
        "set_arms_position",
        [1.0, -math.pi, math.pi, 20.0],
        [goal_write(ARM, [1.0, -math.pi, math.pi, 20.0])],
    ),
    ("set_nose_position", [-20.0, 1.0, 0.0], [goal_write(NOSE, [-20.0, 1.0, 0.0])]),
    (
        "set_all_goal_positions",
        [20.0, 1.0, -20.0, -math.pi, math.pi, 0.0, 1.0],
        [goal_write(ARM, [20.0, 1.0, -20.0, -math.pi]), goal_write(NOSE, [math.pi, 0.0, 1.0])],
    ),
]


@pytest.mark.parametrize("method, values, expected", GOAL_CALLS)
def test_goal_writes_land_in_the_goal_registers(controller, bus, method, values, expected):
    assert getattr(controller, method)(values) is None

    assert sent(bus, len(expected)) == expected
    written = {i: raw for _, _, pairs in expected for i, raw in pairs}
    for i, servo in bus.servos.items():
        assert goal_register(servo) == written.get(i, 2048), f"servo {i}"


NON_FINITE_GOALS = [
    ("set_left_arm_position", [math.nan, 0.0], 1, "NaN"),
    ("set_right_arm_position", [0.0, math.inf], 4, "inf"),
    ("set_arms_position", [0.0, 0.0, -math.inf, 0.0], 3, "-inf"),
    ("set_nose_position", [0.0, math.nan, 0.0], 6, "NaN"),
    # A bad nose value stops the arm part too: nothing is sent at all.
    ("set_all_goal_positions", [0.5, 0.5, 0.5, 0.5, 0.5, math.nan, 0.5], 6, "NaN"),
    ("set_all_goal_positions", [math.inf, 0.5, 0.5, 0.5, 0.5, 0.5, 0.5], 1, "inf"),
]


@pytest.mark.parametrize("method, values, servo_id, shown", NON_FINITE_GOALS)
def test_non_finite_goals_are_refused_before_anything_is_sent(
    controller, bus, method, values, servo_id, shown
):
    with pytest.raises(RuntimeError) as refused:
        getattr(controller, method)(values)
    assert str(refused.value) == f"goal position for servo {servo_id} is not finite: {shown}"
    assert sent(bus, 0) == []
    assert all(goal_register(servo) == 2048 for servo in bus.servos.values())


@pytest.mark.parametrize(
    "method, values",
    [
        ("set_arms_position", [0.0, 0.1, 0.2]),
        ("set_nose_position", [0.0] * 4),
        ("set_all_goal_positions", [0.0] * 6),
    ],
)
def test_a_position_list_of_the_wrong_length_sends_nothing(controller, bus, method, values):
    wanted = {"set_arms_position": 4, "set_nose_position": 3, "set_all_goal_positions": 7}[method]
    with pytest.raises(ValueError) as refused:
        getattr(controller, method)(values)
    assert str(refused.value) == f"expected a sequence of length {wanted} (got {len(values)})"
    assert sent(bus, 0) == []


@pytest.mark.parametrize("method", ["enable_arms", "enable_nose", "enable_neck"])
def test_an_int_flag_is_refused_and_sends_nothing(controller, torso, method):
    with pytest.raises(TypeError):
        getattr(controller, method)(1)
    assert sent(torso.servo_bus, 0) == []
    assert torso.neck.frames == []


# --- raw packets -------------------------------------------------------------------------


def test_write_raw_packet_sends_the_bytes_unchanged(controller, bus):
    # A write of goal 2699 to servo 2, framed by hand.
    body = bytes([2, 5, 0x03, GOAL_POSITION, 0x8B, 0x0A])
    packet = b"\xff\xff" + body + bytes([~sum(body) & 0xFF])

    assert controller.write_raw_packet(packet) is None

    assert bus.wait_for_requests(1) == [packet]
    assert goal_register(bus.servos[2]) == 2699
    assert controller.read_all_positions()  # the answer does not disturb the next exchange


@pytest.mark.parametrize(
    "data, answered", [(PING_SERVO_1, True), (bytes.fromhex("FF FF 09 02 01 F3"), False)]
)
def test_write_raw_packet_ping(controller, bus, data, answered):
    started = time.monotonic()
    assert controller.write_raw_packet(data) is None
    elapsed = time.monotonic() - started
    assert bus.wait_for_requests(1) == [data]
    if not answered:
        assert elapsed >= 0.010  # the whole answer window passed in silence
    assert len(controller.read_all_positions()) == 7


def test_write_raw_packet_with_no_bytes_waits_out_the_answer_window(controller, bus):
    started = time.monotonic()
    assert controller.write_raw_packet(b"") is None
    elapsed = time.monotonic() - started
    assert 0.010 <= elapsed < 0.5
    assert sent(bus, 0) == []


@pytest.mark.parametrize("data", [bytearray(PING_SERVO_1), list(PING_SERVO_1), PING_SERVO_1.hex()])
def test_write_raw_packet_takes_bytes_only(controller, bus, data):
    with pytest.raises(TypeError):
        controller.write_raw_packet(data)
    assert sent(bus, 0) == []


# --- neck-only mode ----------------------------------------------------------------------

SERVO_CALLS = [
    ("is_torque_enabled", ()),
    ("enable_torque", ()),
    ("disable_torque", ()),
    ("enable_torque_on_ids", ([1],)),
    ("disable_torque_on_ids", ([9, 7],)),
    ("read_all_positions", ()),
    ("set_all_goal_positions", ([0.0] * 7,)),
    ("set_left_arm_position", ([0.0, 0.0],)),
    ("set_right_arm_position", ([0.0, 0.0],)),
    ("set_arms_position", ([0.0] * 4,)),
    ("set_nose_position", ([0.0] * 3,)),
    ("enable_arms", (True,)),
    ("enable_nose", (False,)),
    ("set_arm_home", ()),
    ("write_raw_packet", (PING_SERVO_1,)),
]


@pytest.fixture(params=["positional None", "can_bus keyword"])
def neck_only(request, neck, can_iface):
    if request.param == "positional None":
        return VorlixMotorController(None, can_iface)
    return VorlixMotorController(can_bus=can_iface)


@pytest.mark.parametrize("method, args", SERVO_CALLS)
def test_neck_only_servo_methods_raise(neck_only, neck, method, args):
    with pytest.raises(RuntimeError) as refused:
        getattr(neck_only, method)(*args)
    assert str(refused.value) == NECK_ONLY
    assert neck.wait_for_frames(1, timeout=0.02) == []


@pytest.mark.parametrize("ids", [[9, 0], [42], []])
def test_neck_only_foreign_ids_need_no_serial_port(neck_only, ids):
    assert neck_only.enable_torque_on_ids(ids) is None
    assert neck_only.disable_torque_on_ids(ids) is None


def test_neck_only_neck_methods_work(neck_only, neck):
    neck.motors[1].position = 0.25
    assert neck_only.read_neck_positions() == pytest.approx([0.0, 0.25, 0.0], abs=4e-4)
    assert neck_only.set_neck_position([0.1, 0.2, 0.3]) == pytest.approx([0.0, 0.25, 0.0], abs=4e-4)
    assert neck_only.is_neck_torque_enabled() is False
