"""How VorlixMotorController takes its arguments: CPython's wording for a bad call shape, the
conversion of each kind of parameter with the exception it raises, and the receiver check."""

import re
from collections.abc import Sequence
from decimal import Decimal

import numpy
import pytest
from vorlix_motor_controller import VorlixMotorController, VorlixTorsoPosition

from neck_traffic import POSITION_STEP, mit_set_points
from servo_traffic import NECK_ONLY


def raises_exactly(exception, message):
    return pytest.raises(exception, match="^" + re.escape(message) + "$")


# --- call shape ----------------------------------------------------------------------------

CALL_SHAPE_ERRORS = [
    # too few
    ("enable_neck", (), {}, "enable_neck() missing 1 required positional argument: 'enable'"),
    (
        "set_neck_gains",
        (0,),
        {},
        "set_neck_gains() missing 2 required positional arguments: 'kp' and 'kd'",
    ),
    (
        "set_neck_gains",
        (),
        {},
        "set_neck_gains() missing 3 required positional arguments: 'index', 'kp', and 'kd'",
    ),
    (
        "set_neck_gains",
        (),
        {"kd": 1.0},
        "set_neck_gains() missing 2 required positional arguments: 'index' and 'kp'",
    ),
    (
        "write_raw_packet",
        (),
        {},
        "write_raw_packet() missing 1 required positional argument: 'data'",
    ),
    # too many, fixed count
    (
        "enable_neck",
        (True, False),
        {},
        "enable_neck() takes 1 positional arguments but 2 were given",
    ),
    (
        "set_neck_gains",
        (0, 1.0, 2.0, 3.0),
        {},
        "set_neck_gains() takes 3 positional arguments but 4 were given",
    ),
    # too many, with defaults
    (
        "neck_home",
        (0.4, 0.15, None, None, None),
        {},
        "neck_home() takes from 0 to 4 positional arguments but 5 were given",
    ),
    (
        "set_arm_home",
        (0.05, 0.05),
        {},
        "set_arm_home() takes from 0 to 1 positional arguments but 2 were given",
    ),
    # unknown keyword
    ("enable_neck", (), {"flag": True}, "enable_neck() got an unexpected keyword argument 'flag'"),
    (
        "neck_home",
        (),
        {"speed": 0.4, "ki": 1.0},
        "neck_home() got an unexpected keyword argument 'ki'",
    ),
    # the same parameter twice
    (
        "set_neck_gains",
        (0, 1.0, 2.0),
        {"index": 1},
        "set_neck_gains() got multiple values for argument 'index'",
    ),
    (
        "set_arm_home",
        (0.05,),
        {"verify_tol": 0.1},
        "set_arm_home() got multiple values for argument 'verify_tol'",
    ),
]


@pytest.mark.parametrize("method, args, kwargs, message", CALL_SHAPE_ERRORS)
def test_bad_call_shapes_raise_cpythons_messages(
    neck_only_controller, method, args, kwargs, message
):
    with raises_exactly(TypeError, "VorlixMotorController." + message):
        getattr(neck_only_controller, method)(*args, **kwargs)


CONSTRUCTOR_ERRORS = [
    ((None, "can0", 1), {}, "takes from 0 to 2 positional arguments but 3 were given"),
    ((), {"port": None}, "got an unexpected keyword argument 'port'"),
    ((None,), {"serialport": None}, "got multiple values for argument 'serialport'"),
]


@pytest.mark.parametrize("args, kwargs, message", CONSTRUCTOR_ERRORS)
def test_constructor_call_shape_errors_name_new(args, kwargs, message):
    with raises_exactly(TypeError, "VorlixMotorController.__new__() " + message):
        VorlixMotorController(*args, **kwargs)


@pytest.mark.parametrize("method", ["read_all_positions", "neck_position_limits"])
def test_methods_without_parameters_refuse_arguments(neck_only_controller, method):
    with pytest.raises(TypeError, match="takes no arguments"):
        getattr(neck_only_controller, method)(1)


def test_every_parameter_can_be_given_by_keyword(neck_only_controller, neck):
    assert neck_only_controller.set_neck_gains(kd=0.5, kp=10.0, index=1) is None
    assert neck_only_controller.enable_torque_on_ids(ids=[42]) is None
    assert isinstance(neck_only_controller.set_neck_yaw_position(position=0.1), float)


def test_constructor_keywords(can_iface):
    controller = VorlixMotorController(can_bus=can_iface, serialport=None)
    with raises_exactly(RuntimeError, NECK_ONLY):
        controller.read_all_positions()


# --- receiver ------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "method, args",
    [("read_all_positions", ()), ("enable_neck", (True,)), ("neck_home", ())],
)
def test_a_foreign_receiver_is_refused(method, args):
    with pytest.raises(TypeError) as failure:
        getattr(VorlixMotorController, method)(object(), *args)
    assert "VorlixMotorController" in str(failure.value)
    assert "'object'" in str(failure.value)


# --- conversions ---------------------------------------------------------------------------


@pytest.mark.parametrize("method", ["enable_neck", "enable_arms", "enable_nose"])
@pytest.mark.parametrize(
    "value, type_name",
    [(1, "int"), (0, "int"), (None, "NoneType"), ("yes", "str"), (numpy.int64(1), "numpy.int64")],
)
def test_flags_refuse_anything_but_bool(neck_only_controller, method, value, type_name):
    with raises_exactly(
        TypeError, f"argument 'enable': '{type_name}' object cannot be converted to 'PyBool'"
    ):
        getattr(neck_only_controller, method)(value)


@pytest.mark.parametrize(
    "on, off",
    [(True, False), (numpy.bool_(True), numpy.bool_(False)), (numpy.True_, numpy.False_)],
)
def test_flags_take_bool_and_numpy_bool(neck_only_controller, neck, on, off):
    neck_only_controller.enable_neck(on)
    assert neck_only_controller.is_neck_torque_enabled() is True
    neck_only_controller.enable_neck(off)
    assert neck_only_controller.is_neck_torque_enabled() is False
    # The servo flags convert too, and only then meet the missing serial port.
    with raises_exactly(RuntimeError, NECK_ONLY):
        neck_only_controller.enable_arms(on)


def commanded_positions(neck) -> dict[int, float]:
    """The last MIT position each neck motor (by index) was sent."""
    return {index: set_point.position for index, set_point in mit_set_points(neck)}


class Realish:
    def __float__(self):
        return 0.25


class Indexish:
    def __index__(self):
        return 0


@pytest.mark.parametrize(
    "value", [0, 0.25, Realish(), Indexish(), numpy.float32(0.25), Decimal("0.25")]
)
def test_reals_take_what_float_takes(neck_only_controller, neck, value):
    neck_only_controller.set_neck_roll_position(value)
    assert commanded_positions(neck) == {2: pytest.approx(float(value), abs=POSITION_STEP)}


@pytest.mark.parametrize(
    "method, args, kwargs, message",
    [
        (
            "set_neck_yaw_position",
            ("0.1",),
            {},
            "argument 'position': must be real number, not str",
        ),
        ("neck_home", (), {"speed": None}, "argument 'speed': must be real number, not NoneType"),
        ("neck_home", (), {"tolerance": []}, "argument 'tolerance': must be real number, not list"),
        ("neck_home", (), {"kp": "x"}, "argument 'kp': must be real number, not str"),
        ("neck_home", (), {"kd": b""}, "argument 'kd': must be real number, not bytes"),
        ("set_arm_home", ("0.05",), {}, "argument 'verify_tol': must be real number, not str"),
        ("set_neck_gains", (0, "1", 1.0), {}, "argument 'kp': must be real number, not str"),
        ("set_neck_gains", (0, 1.0, None), {}, "argument 'kd': must be real number, not NoneType"),
        (
            "set_neck_gains",
            (1.0, 1.0, 1.0),
            {},
            "argument 'index': 'float' object cannot be interpreted as an integer",
        ),
        # The first failing argument is the one reported.
        (
            "set_neck_gains",
            ("a", "b", "c"),
            {},
            "argument 'index': 'str' object cannot be interpreted as an integer",
        ),
    ],
)
def test_wrong_types_name_the_parameter(neck_only_controller, method, args, kwargs, message):
    with raises_exactly(TypeError, message):
        getattr(neck_only_controller, method)(*args, **kwargs)


def test_a_negative_index_overflows(neck_only_controller):
    with pytest.raises(OverflowError):
        neck_only_controller.set_neck_gains(-1, 10.0, 1.0)


def test_core_errors_pass_unchanged(neck_only_controller):
    with raises_exactly(RuntimeError, "neck index out of range: 3") as failure:
        neck_only_controller.set_neck_gains(3, 10.0, 1.0)
    assert failure.value.__cause__ is None and failure.value.__context__ is None


class ProbedSequence(Sequence):
    """A sequence that records which items were read."""

    def __init__(self, values):
        self.values = values
        self.read = []

    def __len__(self):
        return len(self.values)

    def __getitem__(self, index):
        self.read.append(index)
        return self.values[index]


class LyingLength(ProbedSequence):
    """A sequence whose __len__ claims more items than it holds."""

    def __init__(self, values, length):
        super().__init__(values)
        self.length = length

    def __len__(self):
        return self.length


# Far beyond any parameter: a converter that trusted the claim would allocate for it.
LYING_LENGTHS = [10**8, 2**40, 2**62]
TORSO_LENGTHS = "Each arm must have 2 positions, nose must have 3, neck must have 3."


@pytest.mark.parametrize("length", LYING_LENGTHS)
@pytest.mark.parametrize("lying", range(4))
def test_a_torso_position_refuses_a_lying_length_before_reading(lying, length):
    values = LyingLength([0.0, 0.0, 0.0], length)
    arguments = [[0.0] * 2, [0.0] * 2, [0.0] * 3, [0.0] * 3]
    arguments[lying] = values
    with raises_exactly(ValueError, TORSO_LENGTHS):
        VorlixTorsoPosition(*arguments)
    assert values.read == []


@pytest.mark.parametrize("length", LYING_LENGTHS)
@pytest.mark.parametrize(
    "method, message",
    [
        ("set_neck_position", "expected a sequence of length 3 (got {})"),
        ("set_all_goal_positions", "expected a sequence of length 7 (got {})"),
        ("enable_torque_on_ids", "expected a sequence of length at most 256 (got {})"),
        ("disable_torque_on_ids", "expected a sequence of length at most 256 (got {})"),
    ],
)
def test_a_lying_length_is_refused_before_reading(neck_only_controller, method, message, length):
    values = LyingLength([42, 42, 42], length)
    with raises_exactly(ValueError, message.format(length)):
        getattr(neck_only_controller, method)(values)
    assert values.read == []


@pytest.mark.parametrize(
    "method, values, message",
    [
        ("enable_torque_on_ids", LyingLength([42, 43], 3), "expected a sequence of length 3 (got 2)"),
        ("disable_torque_on_ids", [42] * 257, "expected a sequence of length at most 256 (got 257)"),
        ("set_neck_position", LyingLength([0.0] * 2, 3), "expected a sequence of length 3 (got 2)"),
    ],
)
def test_a_sequence_shorter_than_its_claim_is_refused(neck_only_controller, method, values, message):
    with raises_exactly(ValueError, message):
        getattr(neck_only_controller, method)(values)


def test_the_longest_id_list_is_taken(neck_only_controller):
    assert neck_only_controller.enable_torque_on_ids([42] * 256) is None


POSITION_ARRAYS = [
    ("set_all_goal_positions", "positions", 7),
    ("set_left_arm_position", "position", 2),
    ("set_right_arm_position", "position", 2),
    ("set_arms_position", "position", 4),
    ("set_nose_position", "position", 3),
    ("set_neck_position", "position", 3),
]


@pytest.mark.parametrize("method, name, length", POSITION_ARRAYS)
@pytest.mark.parametrize("change", [-1, 1])
def test_array_length_is_checked_before_any_item(
    neck_only_controller, method, name, length, change
):
    values = ProbedSequence(["not a number"] * (length + change))
    with raises_exactly(
        ValueError, f"expected a sequence of length {length} (got {length + change})"
    ):
        getattr(neck_only_controller, method)(values)
    assert values.read == []


@pytest.mark.parametrize("method, name, length", POSITION_ARRAYS)
@pytest.mark.parametrize(
    "value, message",
    [
        (5, "'int' object cannot be converted to 'Sequence'"),
        ({"a": 1}, "'dict' object cannot be converted to 'Sequence'"),
        (None, "'NoneType' object cannot be converted to 'Sequence'"),
    ],
)
def test_arrays_refuse_non_sequences(neck_only_controller, method, name, length, value, message):
    with raises_exactly(TypeError, f"argument '{name}': {message}"):
        getattr(neck_only_controller, method)(value)


@pytest.mark.parametrize("method, name, length", POSITION_ARRAYS)
def test_array_items_are_converted_in_order(neck_only_controller, method, name, length):
    values = ProbedSequence([0.0] * (length - 1) + ["x"])
    with raises_exactly(TypeError, f"argument '{name}': must be real number, not str"):
        getattr(neck_only_controller, method)(values)
    assert values.read == list(range(length))


@pytest.mark.parametrize("values", [(0.1, 0.2, 0.0), [0, 0.2, 0], ProbedSequence([0.1, 0.2, 0.0])])
def test_neck_position_takes_any_sequence(neck_only_controller, neck, values):
    neck_only_controller.set_neck_position(values)
    expected = [float(v) for v in (values.values if isinstance(values, ProbedSequence) else values)]
    assert commanded_positions(neck) == {
        joint: pytest.approx(position, abs=POSITION_STEP) for joint, position in enumerate(expected)
    }


@pytest.mark.parametrize("method", ["enable_torque_on_ids", "disable_torque_on_ids"])
@pytest.mark.parametrize(
    "ids, exception, message",
    [
        ("123", TypeError, "argument 'ids': can't extract a str to a list"),
        (5, TypeError, "argument 'ids': 'int' object cannot be converted to 'Sequence'"),
        ([1.0], TypeError, "argument 'ids': 'float' object cannot be interpreted as an integer"),
        ([1, 300], OverflowError, "out of range integral type conversion attempted"),
        ([-1], OverflowError, "out of range integral type conversion attempted"),
        ([2**70], OverflowError, "out of range integral type conversion attempted"),
    ],
)
def test_id_lists_refuse_strings_and_out_of_range_ids(
    neck_only_controller, method, ids, exception, message
):
    with raises_exactly(exception, message):
        getattr(neck_only_controller, method)(ids)


@pytest.mark.parametrize("ids", [[42], (0, 255), b"\x2a", range(8, 12), [numpy.uint8(9)]])
def test_id_lists_take_any_sequence_of_small_ints(neck_only_controller, ids):
    # Only foreign ids: nothing to send, so no serial port is needed.
    assert neck_only_controller.enable_torque_on_ids(ids) is None


@pytest.mark.parametrize("data", [bytearray(b"\xff"), [0xFF], memoryview(b"\xff"), "ff"])
def test_raw_data_must_be_bytes(neck_only_controller, data):
    with raises_exactly(
        TypeError,
        f"argument 'data': '{type(data).__name__}' object cannot be converted to 'PyBytes'",
    ):
        neck_only_controller.write_raw_packet(data)


def test_raw_data_takes_bytes(neck_only_controller):
    with raises_exactly(RuntimeError, NECK_ONLY):
        neck_only_controller.write_raw_packet(b"\xff\xff\x01\x02\x01\xfb")


@pytest.mark.parametrize(
    "kwargs, exception, message",
    [
        (
            {"serialport": 5},
            TypeError,
            "argument 'serialport': 'int' object cannot be converted to 'PyString'",
        ),
        (
            {"can_bus": None},
            TypeError,
            "argument 'can_bus': 'NoneType' object cannot be converted to 'PyString'",
        ),
        (
            {"can_bus": b"can0"},
            TypeError,
            "argument 'can_bus': 'bytes' object cannot be converted to 'PyString'",
        ),
        # Cut at the NUL, the name would be another device's.
        ({"can_bus": "vcan0\0x"}, ValueError, "argument 'can_bus': embedded null character"),
        (
            {"serialport": "/dev/null\0x"},
            ValueError,
            "argument 'serialport': embedded null character",
        ),
    ],
)
def test_text_arguments(kwargs, exception, message):
    with raises_exactly(exception, message):
        VorlixMotorController(**kwargs)


class Shrinking:
    """An item whose conversion empties the list it sits in."""

    def __init__(self, victim: list):
        self.victim = victim

    def __index__(self) -> int:
        self.victim.clear()
        return 42  # no servo's id: nothing is sent, even without a serial port

    def __float__(self) -> float:
        self.victim.clear()
        return 0.1


@pytest.mark.parametrize(
    "method, build",
    [
        ("enable_torque_on_ids", lambda items: items + [43]),
        ("disable_torque_on_ids", lambda items: items + [43]),
        ("set_neck_position", lambda items: items + [0.2, 0.3]),
    ],
)
def test_a_conversion_that_changes_its_sequence_is_sound(neck_only_controller, neck, method, build):
    # The items are read before any is converted, so the call sees the sequence as it was.
    values: list = []
    values += build([Shrinking(values)])
    getattr(neck_only_controller, method)(values)
    assert values == []
