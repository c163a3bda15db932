"""vorlix-doctor, the installed program, against the virtual torso: every fault it is meant
to find gives its own problem row with a fix, and it never changes a register."""

import json
import subprocess
import sys
from pathlib import Path

import pytest

from servo_traffic import ALL_SERVOS
from vorlix_virtual_torso.feetech_packets import PING, READ, parse_instruction
from vorlix_virtual_torso.neck_motor import PMAX

TIMEOUT = 60.0
# The virtual servos answer from a Python thread: on a loaded host one can outlast the
# controller's 10 ms and look absent. A scan pings every id and keeps the short wait.
PATIENT_REPLY_WAIT = ["--reply-wait", "200"]
SERVICE_ID = 0x7FF
FEEDBACK, READ_REGISTER = 0xCC, 0x33
SERVO_SUBJECTS = [
    "servo 1 left_arm_pitch",
    "servo 2 left_arm_yaw",
    "servo 3 right_arm_pitch",
    "servo 4 right_arm_yaw",
    "servo 5 nose_top",
    "servo 6 nose_left",
    "servo 7 nose_right",
]


@pytest.fixture
def doctor():
    """Runs the installed vorlix-doctor; returns (exit status, report, stderr)."""
    program = Path(sys.executable).with_name("vorlix-doctor")
    if not program.exists():
        pytest.fail(f"{program} is missing: install the package (pip install .)", pytrace=False)

    def run(*args: str) -> tuple[int, dict, str]:
        wait = [] if "--scan" in args else PATIENT_REPLY_WAIT
        done = subprocess.run(
            [str(program), *args, *wait, "--json"], capture_output=True, text=True, timeout=TIMEOUT
        )
        return done.returncode, json.loads(done.stdout), done.stderr

    return run


def problems(report: dict) -> set[tuple[str, str]]:
    found = {(c["subject"], c["check"]) for c in report["checks"] if c["verdict"] != "ok"}
    for check in report["checks"]:
        assert (check["verdict"] == "ok") == ("fix" not in check), check
    return found


def assert_servos_only_asked(bus) -> None:
    codes = {parse_instruction(packet).code for packet in bus.requests}
    assert codes <= {PING, READ}, f"the doctor sent instructions {codes}"


def assert_motors_only_asked(neck) -> None:
    for can_id, data in neck.frames:
        assert can_id == SERVICE_ID and data[2] in (FEEDBACK, READ_REGISTER), (can_id, data)


def test_a_healthy_servo_line_is_all_ok(doctor, servo_bus):
    status, report, _ = doctor("--serial", servo_bus.serial_path)
    assert (status, problems(report), report["verdict"]) == (0, set(), "ok")
    assert {c["subject"] for c in report["checks"]} == {"serial", *SERVO_SUBJECTS}
    assert_servos_only_asked(servo_bus)


def _absent(bus):
    bus.servos[3].absent = True


def _low_supply(bus):
    bus.voltage_ramp(95, 95, 0)


def _overheated(bus):
    bus.servos[5].overheated = True


def _overload(bus):
    bus.servos[6].overload = True


@pytest.mark.parametrize(
    "fault, expected",
    [
        (_absent, {("servo 3 right_arm_pitch", "ping")}),
        (_low_supply, {(subject, "voltage") for subject in SERVO_SUBJECTS}),
        (_overheated, {("servo 5 nose_top", "temperature"), ("servo 5 nose_top", "status")}),
        (_overload, {("servo 6 nose_left", "status")}),
    ],
)
def test_each_servo_fault_is_its_own_problem(doctor, servo_bus, fault, expected):
    fault(servo_bus)
    status, report, _ = doctor("--serial", servo_bus.serial_path)
    assert (status, problems(report)) == (1, expected)
    assert_servos_only_asked(servo_bus)


def test_a_missing_port(doctor, tmp_path):
    status, report, _ = doctor("--serial", str(tmp_path / "ttyUSB9"))
    assert (status, problems(report)) == (1, {("serial", "path")})


def test_a_port_held_by_another_process_names_it(doctor, servo_bus):
    holder = subprocess.Popen(
        [
            sys.executable,
            "-c",
            "import fcntl, os, sys\n"
            "fd = os.open(sys.argv[1], os.O_RDWR | os.O_NOCTTY)\n"
            "fcntl.flock(fd, fcntl.LOCK_EX)\n"
            "print('held', flush=True)\n"
            "sys.stdin.read()\n",
            servo_bus.serial_path,
        ],
        stdin=subprocess.PIPE,
        stdout=subprocess.PIPE,
        text=True,
    )
    try:
        assert holder.stdout.readline() == "held\n"
        status, report, _ = doctor("--serial", servo_bus.serial_path)
    finally:
        holder.communicate("", timeout=TIMEOUT)
    assert (status, problems(report)) == (1, {("serial", "open")})
    (row,) = [c for c in report["checks"] if c["check"] == "open"]
    assert f"pid {holder.pid} (" in row["detail"], row


def test_scan_finds_a_servo_with_another_id(doctor, servo_bus):
    moved = servo_bus.servos.pop(3)
    moved.id = 9
    servo_bus.servos[9] = moved
    status, report, progress = doctor("--serial", servo_bus.serial_path, "--scan")
    expected = {("servo 3 right_arm_pitch", "ping"), ("serial", "scan")}
    assert (status, problems(report)) == (1, expected)
    (row,) = [c for c in report["checks"] if c["check"] == "scan"]
    assert (row["verdict"], row["detail"].startswith("ids [9] answer")) == ("warning", True)
    pinged = {parse_instruction(p).id for p in servo_bus.requests if p[4] == PING}
    assert pinged == set(range(254))
    assert progress.rstrip().endswith("253")
    assert_servos_only_asked(servo_bus)


@pytest.mark.parametrize(
    "args, status, output",
    [
        (["--help"], 0, "never writes"),
        ([], 2, "give --serial PATH, --can IFACE or both"),
        (["--scan", "--can", "can0"], 2, "--scan needs --serial"),
        (["--serial"], 2, "--serial needs a value"),
        (["--frobnicate"], 2, "unknown argument: --frobnicate"),
        *(
            (["--serial", "/dev/null", "--reply-wait", wait], 2, "--reply-wait takes whole")
            for wait in ["0", "10001", "5ms", "-1", "1.5"]
        ),
    ],
)
def test_usage(args, status, output):
    program = Path(sys.executable).with_name("vorlix-doctor")
    done = subprocess.run([str(program), *args], capture_output=True, text=True, timeout=TIMEOUT)
    assert done.returncode == status
    assert output in (done.stdout if status == 0 else done.stderr)


def test_a_healthy_torso_is_all_ok(doctor, torso):
    status, report, _ = doctor("--serial", torso.serial_path, "--can", torso.can_iface)
    assert (status, problems(report)) == (0, set())
    subjects = {c["subject"] for c in report["checks"]}
    assert {"can", "neck_yaw", "neck_pitch", "neck_roll"} <= subjects
    assert_servos_only_asked(torso.servo_bus)
    assert_motors_only_asked(torso.neck)


def _silent(neck):
    neck.motors[0].silent = True


def _velocity_mode(neck):
    neck.motors[2].control_mode = 3


def _wrong_pmax(neck):
    neck.motors[1].set_register(PMAX, 3.14)


@pytest.mark.parametrize(
    "fault, expected, detail",
    [
        (_silent, {("neck_yaw", "feedback"), ("neck_yaw", "registers")}, "no answer"),
        (_velocity_mode, {("neck_roll", "CTRL_MODE")}, "VEL (3)"),
        (
            _wrong_pmax,
            {("neck_pitch", "PMAX")},
            "motor neck_pitch PMAX is 3.14, the controller decodes with 12.5: positions are wrong",
        ),
    ],
)
def test_each_neck_fault_is_its_own_problem(doctor, neck, fault, expected, detail):
    fault(neck)
    status, report, _ = doctor("--can", neck.iface)
    assert (status, problems(report)) == (1, expected)
    first = next(c for c in report["checks"] if c["verdict"] == "problem")
    assert first["detail"].startswith(detail), first
    assert_motors_only_asked(neck)


def test_a_can_interface_that_is_down(doctor, neck):
    subprocess.run(["ip", "link", "set", neck.iface, "down"], check=True)
    try:
        status, report, _ = doctor("--can", neck.iface)
    finally:
        subprocess.run(["ip", "link", "set", neck.iface, "up"], check=True)
    assert (status, problems(report)) == (1, {("can", "interface")})
    assert neck.frames == []
