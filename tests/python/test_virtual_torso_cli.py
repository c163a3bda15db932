"""vorlix-virtual-torso, the installed console script, run as a user runs it."""

import os
import select
import signal
import subprocess
import sys
from pathlib import Path

import pytest

STARTUP_TIMEOUT = 10.0
PING_1 = bytes.fromhex("FF FF 01 02 01 FB")
SYNC_READ_PRESENT_1_TO_4 = bytes.fromhex("FF FF FE 08 82 38 02 01 02 03 04 33")
PRESENT_1_TO_4 = bytes.fromhex(
    "FF FF 01 04 00 00 08 F2 FF FF 02 04 00 00 08 F1 "
    "FF FF 03 04 00 00 08 F0 FF FF 04 04 00 00 08 EF"
)


@pytest.fixture
def torso_program():
    """Starts the console script of this environment; kills what is still running after."""
    script = Path(sys.executable).with_name("vorlix-virtual-torso")
    if not script.exists():
        pytest.fail(f"{script} is missing: install the package (pip install .)", pytrace=False)
    started = []

    def start(*args: str) -> subprocess.Popen:
        process = subprocess.Popen(
            [str(script), *args], stdout=subprocess.PIPE, stderr=subprocess.PIPE, bufsize=0
        )
        started.append(process)
        return process

    yield start
    for process in started:
        if process.poll() is None:
            process.kill()
            process.wait()


def read_line(process: subprocess.Popen) -> str:
    """The next line of the program's output, read a byte at a time so that no buffer
    hides the following line from select."""
    line = b""
    while not line.endswith(b"\n"):
        readable, _, _ = select.select([process.stdout], [], [], STARTUP_TIMEOUT)
        assert readable, f"vorlix-virtual-torso printed no whole line, only {line!r}"
        byte = process.stdout.read(1)
        assert byte, f"vorlix-virtual-torso ended its output after {line!r}"
        line += byte
    return line.decode()


def stop(process: subprocess.Popen, signum: int) -> int:
    process.send_signal(signum)
    return process.wait(timeout=STARTUP_TIMEOUT)


@pytest.mark.parametrize("signum", [signal.SIGTERM, signal.SIGINT])
def test_serial_path_answers_until_a_signal_removes_it(
    torso_program, serial_line, tmp_path, signum
):
    path = tmp_path / "x"
    process = torso_program("--serial", str(path))
    assert read_line(process) == f"serial: {path}\n"
    assert path.is_symlink()
    line = serial_line(str(path))
    line.write(PING_1)
    assert line.read(6) == bytes.fromhex("FF FF 01 02 00 FC")
    line.write(SYNC_READ_PRESENT_1_TO_4)
    assert line.read(len(PRESENT_1_TO_4)) == PRESENT_1_TO_4
    assert stop(process, signum) == 0
    assert not os.path.lexists(path)


def test_a_stale_link_is_replaced(torso_program, serial_line, tmp_path):
    path = tmp_path / "x"
    path.symlink_to("/dev/pts/nonexistent")
    process = torso_program("--serial", str(path))
    assert read_line(process) == f"serial: {path}\n"
    line = serial_line(str(path))
    line.write(PING_1)
    assert line.read(6) == bytes.fromhex("FF FF 01 02 00 FC")
    assert stop(process, signal.SIGTERM) == 0


def test_an_existing_file_is_never_replaced(torso_program, tmp_path):
    path = tmp_path / "x"
    path.write_text("keep me")
    process = torso_program("--serial", str(path))
    _, stderr = process.communicate(timeout=STARTUP_TIMEOUT)
    assert process.returncode == 1
    assert b"File exists" in stderr
    assert path.read_text() == "keep me"


def test_both_halves_serve_with_the_neck_start_positions(
    torso_program, serial_line, can_peer, can_iface, tmp_path
):
    path = tmp_path / "ttyVIRT"
    process = torso_program(
        "--serial", str(path), "--can", can_iface, "--neck-start", "6.2,-3.0,0.1"
    )
    assert read_line(process) == f"serial: {path}\n"
    assert read_line(process) == f"can: {can_iface}\n"
    can_peer.send(0x7FF, bytes([2, 0, 0xCC, 0, 0, 0, 0, 0]))
    assert can_peer.recv() == (2, bytes.fromhex("02 61 47 7F F7 FF 1E 1C"))  # pitch at -3.0
    line = serial_line(str(path))
    line.write(PING_1)
    assert line.read(6) == bytes.fromhex("FF FF 01 02 00 FC")
    assert stop(process, signal.SIGTERM) == 0
    assert not os.path.lexists(path)


def test_the_neck_alone(torso_program, can_peer, can_iface):
    process = torso_program("--can", can_iface)
    assert read_line(process) == f"can: {can_iface}\n"
    can_peer.send(0x7FF, bytes([1, 0, 0xCC, 0, 0, 0, 0, 0]))
    assert can_peer.recv() == (1, bytes.fromhex("01 7F FF 7F F7 FF 1E 1C"))
    assert stop(process, signal.SIGINT) == 0


@pytest.mark.parametrize(
    "args",
    [
        [],
        ["--neck-start", "1,2,3"],  # a neck start without a neck
        ["--can", "vcan0", "--neck-start", "1,2"],
        ["--can", "vcan0", "--neck-start", "a,b,c"],
        ["--can", "vcan0", "--neck-start", "nan,0,0"],
    ],
)
def test_usage_errors(torso_program, args):
    process = torso_program(*args)
    _, stderr = process.communicate(timeout=STARTUP_TIMEOUT)
    assert process.returncode == 2
    assert stderr.startswith(b"usage: vorlix-virtual-torso")


def test_a_missing_can_interface_is_named_with_the_way_to_make_one(torso_program, can_iface):
    process = torso_program("--can", "nocan0")
    _, stderr = process.communicate(timeout=STARTUP_TIMEOUT)
    assert process.returncode == 1
    assert b"no CAN interface nocan0" in stderr
    assert b"ip link add dev nocan0 type vcan" in stderr and b"tools/with-vcan" in stderr
