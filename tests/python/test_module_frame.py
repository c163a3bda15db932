"""The extension module's frame: what the module holds, its import, the class's shape, its
text signatures and docstrings, the logging bridge, and the interpreter lock during calls."""

import inspect
import json
import logging
import pathlib
import subprocess
import sys
import textwrap
import threading
import time
import weakref

import pytest
import vorlix_motor_controller
from conftest import serving_first
from vorlix_motor_controller import VorlixMotorController
from vorlix_virtual_torso import VirtualNeck

LOGGER = "vorlix_motor_controller.controller"
STANDARD_MODULE_ATTRIBUTES = {
    "__doc__",
    "__file__",
    "__loader__",
    "__name__",
    "__package__",
    "__spec__",
}

# Every method in registration order: name, text signature, docstring body (None when empty).
METHODS = [
    ("is_torque_enabled", "($self)", "Is torque enabled on all motors"),
    ("enable_torque", "($self)", "Enable torque on all motors."),
    ("enable_torque_on_ids", "($self, ids)", "Enable torque on ids"),
    ("disable_torque", "($self)", "Disable torque on all motors."),
    ("disable_torque_on_ids", "($self, ids)", "Disable torque on ids"),
    (
        "read_all_positions",
        "($self)",
        (
            "Read all motor positions as a 7-element array.\n"
            "Order: [left_arm_pitch, left_arm_yaw, right_arm_pitch, right_arm_yaw, nose_top, nose_left, nose_right]"
        ),
    ),
    (
        "set_all_goal_positions",
        "($self, positions)",
        (
            "Set goal positions for all motors (7 values).\n"
            "\n"
            "# Arguments\n"
            "* `positions` - Array of 7 goal positions\n"
            "  (left_arm_pitch, left_arm_yaw, right_arm_pitch, right_arm_yaw, nose_top, nose_left, nose_right)."
        ),
    ),
    (
        "set_left_arm_position",
        "($self, position)",
        "Set goal positions for the left arm (2 values: pitch, yaw).",
    ),
    (
        "set_right_arm_position",
        "($self, position)",
        "Set goal positions for the right arm (2 values: pitch, yaw).",
    ),
    (
        "set_arms_position",
        "($self, position)",
        "Set goal positions for both arms (4 values: left pitch, left yaw, right pitch, right yaw).",
    ),
    ("set_nose_position", "($self, position)", "Set goal positions for the nose (3 values)."),
    (
        "set_neck_position",
        "($self, position)",
        (
            "Set goal positions for the neck (3 values: yaw, pitch, roll). Returns\n"
            "the observed positions reported by the motor replies."
        ),
    ),
    ("set_neck_yaw_position", "($self, position)", None),
    ("set_neck_pitch_position", "($self, position)", None),
    ("set_neck_roll_position", "($self, position)", None),
    (
        "neck_position_limits",
        "($self)",
        (
            "Hard safety bounds (lower, upper) in rad for each neck joint.\n"
            "Order: [yaw, pitch, roll]. Every neck setter clamps to these bounds\n"
            "before commanding the motor."
        ),
    ),
    (
        "read_neck_positions",
        "($self)",
        ("Read the current neck positions (yaw, pitch, roll) via a Damiao\n" "feedback request."),
    ),
    (
        "set_neck_gains",
        "($self, index, kp, kd)",
        (
            "Override the MIT impedance gains (kp, kd) for a single neck joint.\n"
            "`index`: 0=yaw, 1=pitch, 2=roll."
        ),
    ),
    (
        "neck_home",
        "($self, speed=0.4, tolerance=0.15, kp=None, kd=None)",
        (
            "Home the 3 neck joints to the nearest physical zero.\n"
            "\n"
            "Snaps each goal to the nearest multiple of 2π of the joint's current\n"
            "reported position — after a power cycle the Damiao multi-turn counter\n"
            'resets, so commanding "go to 0" naively could spin the head a full\n'
            "turn. Rounding keeps travel within ±π and lands at a physically\n"
            "equivalent zero.\n"
            "\n"
            "Enables neck torque if it isn't already (does **not** disable on\n"
            "exit — caller owns torque lifecycle). Ramps at `speed` rad/s on a\n"
            "10 ms cycle and returns the observed positions once every joint is\n"
            "within `tolerance` rad of its goal. Raises on timeout.\n"
            "\n"
            "`kp` / `kd`: optional overrides applied to all three joints for the\n"
            "duration of homing (and left in place afterwards). `None` keeps the\n"
            "per-joint defaults baked into the controller."
        ),
    ),
    (
        "enable_neck",
        "($self, enable)",
        (
            "Enable or disable the neck motors. On enable, also forces each motor\n"
            "into MIT control mode."
        ),
    ),
    (
        "is_neck_torque_enabled",
        "($self)",
        (
            "Last commanded torque-enable state for the neck (in-memory; the\n"
            "Damiao firmware does not expose a readable enable register)."
        ),
    ),
    ("enable_arms", "($self, enable)", "Enable or disable the arm motors."),
    (
        "set_arm_home",
        "($self, verify_tol=0.05)",
        (
            'Make the current physical arm pose the new "radian zero" by rewriting\n'
            "each Feetech arm motor's Position Offset EEPROM register (0x1F).\n"
            "Persistent across power cycles.\n"
            "\n"
            "Disables arm torque, reads the current present_position + offset for\n"
            "every arm motor, computes a new offset equal to the recovered absolute\n"
            "encoder position (so future `present_position` reads of this pose come\n"
            "back as 0 rad and `goal_position = 0` writes leave the arm where it\n"
            "sits now), unlocks EEPROM, writes the offset, re-locks, and verifies\n"
            "by reading present_position back. Caller owns torque lifecycle — arms\n"
            "are left **torque-off** on exit.\n"
            "\n"
            "Returns the observed post-write `present_position` (rad) for the four\n"
            "joints: `[left_pitch, left_yaw, right_pitch, right_yaw]`. Raises\n"
            "`RuntimeError` when verification fails (within `verify_tol` rad of 0)\n"
            "or any bus call errors."
        ),
    ),
    ("enable_nose", "($self, enable)", "Enable or disable the nose motors."),
    (
        "write_raw_packet",
        "($self, data)",
        (
            "Write raw packet data to the serial port.\n"
            "\n"
            "# Arguments\n"
            "* `data` - Byte array of raw packet data to send."
        ),
    ),
]


# --- the module ----------------------------------------------------------------------------


def test_module_holds_only_its_classes_and_an_empty_docstring():
    classes = ["VorlixMotorController", "VorlixPyControlLoop", "VorlixTorsoPosition",
               "ControlLoopStats"]
    assert set(dir(vorlix_motor_controller)) == STANDARD_MODULE_ATTRIBUTES | set(classes)
    # Added in this order.
    assert [n for n in vorlix_motor_controller.__dict__ if n in classes] == classes
    assert vorlix_motor_controller.__doc__ == ""


def test_a_repeated_import_returns_the_same_module():
    first = sys.modules.pop("vorlix_motor_controller")
    try:
        import vorlix_motor_controller as again

        assert again is first
        assert again.VorlixMotorController is VorlixMotorController
    finally:
        sys.modules["vorlix_motor_controller"] = first


def run_python(script: str, *args: str) -> subprocess.CompletedProcess:
    """Runs script in a fresh interpreter: the module's process-wide state starts anew."""
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(script), *args],
        capture_output=True,
        text=True,
        timeout=60,
        check=False,
    )


# The error of an import in a sub-interpreter of each kind, as "ImportError: message" (None if
# it imported). The interpreters module was renamed, and its run_string reports a failure in
# another way, from 3.13 on.
SUB_INTERPRETER_IMPORTS = """
    import json, sys
    import vorlix_motor_controller

    SCRIPT = "import vorlix_motor_controller"
    if sys.version_info >= (3, 13):
        import _interpreters

        def import_in(isolated):
            interpreter = _interpreters.create("isolated" if isolated else "legacy")
            failure = _interpreters.run_string(interpreter, SCRIPT)
            _interpreters.destroy(interpreter)
            return failure and f"{failure.type.__name__}: {failure.msg}"
    else:
        import _xxsubinterpreters as _interpreters

        def import_in(isolated):
            interpreter = _interpreters.create(isolated=isolated)
            try:
                _interpreters.run_string(interpreter, SCRIPT)
            except _interpreters.RunFailedError as failure:
                kind, _, message = str(failure).partition(": ")  # 3.11: "<class 'ImportError'>"
                return kind.removeprefix("<class '").removesuffix("'>") + ": " + message
            finally:
                _interpreters.destroy(interpreter)

    print(json.dumps({"isolated": import_in(True), "legacy": import_in(False)}))
"""
OUR_REFUSAL = ("ImportError: vorlix_motor_controller does not support sub-interpreters; import it "
               "from the main interpreter only")
# From 3.12 on, an isolated interpreter refuses a module of single-phase init before its init.
INTERPRETERS_REFUSAL = (
    "ImportError: module vorlix_motor_controller does not support loading in subinterpreters")


def test_a_sub_interpreter_cannot_import_the_module():
    result = run_python(SUB_INTERPRETER_IMPORTS)
    assert result.returncode == 0, result.stderr
    isolated = INTERPRETERS_REFUSAL if sys.version_info >= (3, 12) else OUR_REFUSAL
    assert json.loads(result.stdout) == {"isolated": isolated, "legacy": OUR_REFUSAL}


def test_the_shared_object_exports_only_its_init_entry():
    listing = subprocess.run(
        ["nm", "-D", "--defined-only", vorlix_motor_controller.__file__],
        capture_output=True,
        text=True,
        check=True,
    ).stdout
    assert [line.split()[-1] for line in listing.splitlines()] == ["PyInit_vorlix_motor_controller"]


# --- the class -----------------------------------------------------------------------------


def test_class_signature_and_empty_docstring():
    assert VorlixMotorController.__text_signature__ == "(serialport=None, can_bus=...)"
    assert VorlixMotorController.__doc__ == ""
    assert VorlixMotorController.__module__ == "vorlix_motor_controller"
    assert str(inspect.signature(VorlixMotorController)) == "(serialport=None, can_bus=Ellipsis)"


def test_the_class_cannot_be_subclassed():
    with pytest.raises(TypeError, match="not an acceptable base type"):
        type("Sub", (VorlixMotorController,), {})


@pytest.mark.parametrize(
    "change",
    [lambda: setattr(VorlixMotorController, "extra", 1),
     lambda: delattr(VorlixMotorController, "read_all_positions")],
)
def test_the_class_is_immutable(change):
    with pytest.raises(TypeError):
        change()
    assert not hasattr(VorlixMotorController, "extra")
    assert hasattr(VorlixMotorController, "read_all_positions")


def test_instances_have_no_attributes_of_their_own_and_no_weak_references(neck_only_controller):
    with pytest.raises(AttributeError):
        neck_only_controller.extra = 1
    assert not hasattr(neck_only_controller, "__dict__")
    with pytest.raises(TypeError):
        weakref.ref(neck_only_controller)


def test_methods_are_registered_in_order():
    registered = [name for name in vars(VorlixMotorController) if not name.startswith("__")]
    assert registered == [name for name, _, _ in METHODS]


@pytest.mark.parametrize("name, text_signature, doc", METHODS, ids=[m[0] for m in METHODS])
def test_method_text_signature_and_docstring(name, text_signature, doc):
    method = getattr(VorlixMotorController, name)
    assert method.__text_signature__ == text_signature
    assert method.__doc__ == doc


@pytest.mark.parametrize("name, text_signature, doc", METHODS, ids=[m[0] for m in METHODS])
def test_bound_method_signature_hides_self(neck_only_controller, name, text_signature, doc):
    expected = "(" + text_signature[len("($self") :].lstrip(", ")
    assert str(inspect.signature(getattr(neck_only_controller, name))) == expected


# --- the logging bridge --------------------------------------------------------------------


class Collector(logging.Handler):
    def __init__(self):
        super().__init__(logging.NOTSET)
        self.records = []

    def emit(self, record):
        self.records.append(record)


@pytest.fixture
def collector():
    handler = Collector()
    logger = logging.getLogger(LOGGER)
    logger.addHandler(handler)
    yield handler
    logger.removeHandler(handler)


def test_a_clamp_warning_reaches_the_controller_logger(neck_only_controller, neck, collector):
    neck_only_controller.set_neck_position([0.6, 0.45, 0.0])
    assert len(collector.records) == 1
    record = collector.records[0]
    assert record.name == LOGGER
    assert (record.levelno, record.levelname) == (30, "WARNING")
    assert record.getMessage() == (
        "neck_yaw requested position 0.6000 rad out of safe range [-0.5000, 0.5000]; "
        "clamped to 0.5000"
    )
    assert record.args == ()
    assert record.exc_info is None
    assert record.pathname.endswith(".cpp") and record.lineno > 0


def test_a_handler_calling_back_into_the_controller_is_refused_not_deadlocked(
    neck_only_controller, neck, collector
):
    # The handler runs while the call that logged holds the controller's lock.
    refused = []

    def call_back(record):
        try:
            neck_only_controller.read_neck_positions()
        except RuntimeError as error:
            refused.append(str(error))

    collector.emit = call_back
    neck_only_controller.set_neck_yaw_position(0.6)
    assert refused == [
        "motor controller called from within one of its own calls on the same thread "
        "(a logging handler calling back into it?)"
    ]
    assert len(neck_only_controller.read_neck_positions()) == 3


# Each scenario runs in a fresh process: the bridge samples a logger once per process.
BRIDGE_SCENARIO = """
    import json, logging, sys
    from vorlix_motor_controller import VorlixMotorController
    from vorlix_virtual_torso import VirtualNeck

    sys.path.insert(0, sys.argv[2])
    from conftest import serving_first

    logger = logging.getLogger("vorlix_motor_controller.controller")
    delivered = []

    class Collector(logging.Handler):
        def emit(self, record):
            delivered.append(record.getMessage()[:8])

    logger.addHandler(Collector())
    iface = sys.argv[1]
    with VirtualNeck(iface) as neck:
        serving_first()
        controller = VorlixMotorController(None, iface)

        def clamp(joint):
            # Out of range for the joint: one warning, named after it.
            getattr(controller, "set_neck_" + joint + "_position")(1.0)
"""


def run_bridge_scenario(can_iface: str, steps: str) -> dict:
    script = textwrap.dedent(BRIDGE_SCENARIO) + textwrap.indent(textwrap.dedent(steps), " " * 4)
    tests = str(pathlib.Path(__file__).parent)
    result = run_python(script + "\nprint(json.dumps(result))\n", can_iface, tests)
    assert result.returncode == 0, result.stderr
    return json.loads(result.stdout.splitlines()[-1])


def test_a_level_set_before_the_first_record_is_kept_for_the_process(can_iface):
    result = run_bridge_scenario(can_iface, """
        logger.setLevel(logging.ERROR)
        clamp("yaw")
        logger.setLevel(logging.DEBUG)
        asked = []
        original = logger.isEnabledFor
        logger.isEnabledFor = lambda level: asked.append(level) or original(level)
        clamp("pitch")
        result = {"delivered": delivered, "asked": asked}
        """)
    # Dropped on the cached level alone, without asking Python.
    assert result == {"delivered": [], "asked": []}


def test_a_level_raised_after_the_first_record_is_still_honoured(can_iface):
    result = run_bridge_scenario(can_iface, """
        clamp("yaw")
        logger.setLevel(logging.ERROR)
        clamp("pitch")
        logger.setLevel(logging.NOTSET)
        clamp("roll")
        result = {"delivered": delivered}
        """)
    assert result == {"delivered": ["neck_yaw", "neck_rol"]}


def test_a_failing_handler_does_not_fail_the_call_that_logged(can_iface):
    result = run_bridge_scenario(can_iface, """
        class Broken(logging.Handler):
            def handle(self, record):
                raise ValueError("broken handler")

        reported = []
        sys.unraisablehook = lambda report: reported.append(repr(report.exc_value))
        logger.addHandler(Broken())
        answer = controller.set_neck_yaw_position(1.0)
        result = {"answer": answer, "reported": reported, "delivered": delivered}
        """)
    assert isinstance(result["answer"], float)
    assert result["reported"] == ["ValueError('broken handler')"]
    assert result["delivered"] == ["neck_yaw"]


# --- the interpreter lock ------------------------------------------------------------------


def is_mit_command(frame) -> bool:
    can_id, data = frame
    return can_id in (1, 2, 3) and data[:7] != b"\xff" * 7  # not enable / disable


def is_feedback_request(frame) -> bool:
    can_id, data = frame
    return can_id == 0x7FF and data[2] == 0xCC


def test_other_threads_run_while_calls_wait_on_the_bus_and_on_the_lock(can_iface):
    with VirtualNeck(can_iface, start_positions=(0.6, 0.0, 0.0)) as neck:
        serving_first()
        controller = VorlixMotorController(None, can_iface)
        outcomes = []

        def run(call):
            try:
                outcomes.append(call())
            except RuntimeError as failure:
                outcomes.append(failure)

        homing = threading.Thread(target=run, args=(lambda: controller.neck_home(1.0),))
        reading = threading.Thread(target=run, args=(controller.read_neck_positions,))
        homing.start()
        neck.wait_for_frames(20, timeout=2.0)  # homing is ramping and holds the object's lock
        reading.start()
        ticks = 0
        while homing.is_alive() or reading.is_alive():
            ticks += 1
            time.sleep(0.005)
        homing.join()
        reading.join()
        frames = neck.frames
    assert [type(outcome) for outcome in outcomes] == [list, list], outcomes
    # Neither call kept this thread from running ...
    assert ticks >= 20
    # ... and the reader waited for the lock: its requests follow the whole ramp.
    ramp = frames[next(i for i, frame in enumerate(frames) if is_mit_command(frame)) :]
    assert [is_feedback_request(frame) for frame in ramp] == [False] * (len(ramp) - 3) + [True] * 3
