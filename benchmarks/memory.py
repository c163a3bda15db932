"""Memory growth per method: 100,000 calls of every method that moves no motor, and of every
kind of refused call, on the virtual torso. For each it reports the growth of this process's
resident memory and of the interpreter's allocated blocks (a Python object leaked per call
shows there, even where the allocator hides it from the resident size).

The torso runs in its own process, so its records of the traffic are not counted. Needs a vcan
interface: run it as benchmarks/memory.sh [--calls N] [--only SUBSTRING], or

    tools/with-vcan .venv/bin/python benchmarks/memory.py

Exits with 1 when a method grows the resident memory by 1 MB or more.
"""

import argparse
import gc
import math
import os
import subprocess
import sys
import tempfile
import time
from datetime import timedelta

from vorlix_motor_controller import VorlixMotorController, VorlixPyControlLoop, VorlixTorsoPosition

LIMIT = 1 << 20  # bytes of resident growth per method
WARM_UP = 1000
PING_SERVO_1 = bytes.fromhex("FF FF 01 02 01 FB")
NAN = math.nan


class Raising:
    def __float__(self):
        raise ArithmeticError("refused by its own __float__")


class Shrinking:
    """An id whose conversion empties the list being converted, then is out of range."""

    def __init__(self, target):
        self.target = target

    def __index__(self):
        self.target.clear()
        return 300


def shrinking_ids():
    ids = [1, 2]
    ids.insert(1, Shrinking(ids))
    return ids


def resident() -> int:
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def measure(call, calls: int) -> tuple[int, float, float, int]:
    """(resident growth in bytes, allocated blocks per call, seconds per call, calls that
    failed on the bus)."""
    failed = 0

    def counted():
        # A busy host can make a reply miss its 10 ms: counted, and its error path measured too.
        nonlocal failed
        try:
            call()
        except RuntimeError:
            failed += 1

    for _ in range(WARM_UP):
        counted()
    gc.collect()
    failed = 0
    rss, blocks = resident(), sys.getallocatedblocks()
    start = time.monotonic()
    for _ in range(calls):
        counted()
    elapsed = time.monotonic() - start
    gc.collect()
    return resident() - rss, (sys.getallocatedblocks() - blocks) / calls, elapsed / calls, failed


def refused(method, *args, **kwargs):
    """A call that must be refused; any other outcome stops the benchmark."""

    def call():
        try:
            method(*args, **kwargs)
        except (TypeError, ValueError, OverflowError, RuntimeError, ArithmeticError):
            return
        raise SystemExit(f"{method.__name__}{args} was not refused")

    return call


def controller_cases(controller):
    c = controller
    return [
        ("is_torque_enabled", c.is_torque_enabled),
        ("read_all_positions", c.read_all_positions),
        ("neck_position_limits", c.neck_position_limits),
        ("read_neck_positions", c.read_neck_positions),
        ("is_neck_torque_enabled", c.is_neck_torque_enabled),
        ("set_neck_gains", lambda: c.set_neck_gains(0, 30.0, 1.0)),
        ("enable_torque_on_ids (foreign ids)", lambda: c.enable_torque_on_ids([42, 200])),
        ("disable_torque_on_ids (foreign ids)", lambda: c.disable_torque_on_ids((0, 9))),
        ("write_raw_packet (ping)", lambda: c.write_raw_packet(PING_SERVO_1)),
        ("refused: missing argument", refused(c.set_neck_gains, 0)),
        ("refused: unknown keyword", refused(c.neck_home, speed=0.4, ki=1.0)),
        ("refused: foreign receiver",
         refused(VorlixMotorController.read_all_positions, object())),
        ("refused: int for a flag", refused(c.enable_arms, 1)),
        ("refused: wrong length", refused(c.set_arms_position, [0.0, 0.1, 0.2])),
        ("refused: not a sequence", refused(c.set_nose_position, 3.0)),
        ("refused: item's __float__ raises", refused(c.set_neck_position, [0.0, Raising(), 0.0])),
        ("refused: NaN goal", refused(c.set_all_goal_positions, [0.0] * 6 + [NAN])),
        ("refused: NaN neck position", refused(c.set_neck_yaw_position, NAN)),
        ("refused: id out of range", refused(c.enable_torque_on_ids, [1, 300])),
        ("refused: string as ids", refused(c.disable_torque_on_ids, "123")),
        ("refused: ids emptied while converted",
         lambda: refused(c.enable_torque_on_ids, shrinking_ids())()),
        ("refused: bytearray as raw data", refused(c.write_raw_packet, bytearray(PING_SERVO_1))),
        ("refused: neck index 3", refused(c.set_neck_gains, 3, 1.0, 1.0)),
        ("refused: homing speed 0", refused(c.neck_home, 0.0)),
        ("refused: verify_tol NaN", refused(c.set_arm_home, NAN)),
        ("refused: huge int for a real", refused(c.set_neck_roll_position, 10**400)),
    ]


def stats_cases(loop):
    stats = loop.get_stats()
    return [
        ("loop.get_stats", loop.get_stats),
        ("ControlLoopStats attributes and repr", lambda: (
            stats.period, stats.read_dt, stats.write_dt, repr(stats))),
    ]


def loop_cases(loop):
    position = VorlixTorsoPosition([0.0, 0.0], [0.0, 0.0], [0.0, 0.0, 0.0], [0.0, 0.0, 0.0])
    return [
        ("loop.get_motor_name_id", loop.get_motor_name_id),
        ("loop.get_last_position", loop.get_last_position),
        ("loop.is_torque_enabled", loop.is_torque_enabled),
        ("loop.get_stats (statistics off)", loop.get_stats),
        ("loop.async_read_raw_bytes", lambda: loop.async_read_raw_bytes(1, 56, 2)),
        ("loop.async_read_pid_gains", lambda: loop.async_read_pid_gains(1)),
        ("loop.async_write_pid_gains (same gains)",
         lambda: loop.async_write_pid_gains(1, 32, 0, 32)),
        ("loop.enable_torque_on_ids (foreign ids)", lambda: loop.enable_torque_on_ids([42])),
        ("loop.write_raw_packet (ping)", lambda: loop.write_raw_packet(PING_SERVO_1)),
        ("VorlixTorsoPosition()", lambda: VorlixTorsoPosition([0.1, 0.2], (0.3, 0.4),
                                                               [0.5] * 3, [0.6] * 3)),
        ("VorlixTorsoPosition attributes and repr", lambda: (
            position.left_arm, position.right_arm, position.nose, position.neck,
            position.timestamp, repr(position))),
        ("refused: loop wrong length", refused(loop.set_arms_position, [0.0])),
        ("refused: loop NaN neck", refused(loop.set_neck_position, [0.0, NAN, 0.0])),
        ("refused: loop NaN in a position object", refused(
            loop.set_all_goal_positions,
            VorlixTorsoPosition([NAN, 0.0], [0.0, 0.0], [0.0] * 3, [0.0] * 3))),
        ("refused: loop not a position object", refused(loop.set_all_goal_positions, [0.0] * 7)),
        ("refused: loop id out of range", refused(loop.async_read_raw_bytes, 300, 56, 2)),
        ("refused: loop gain out of range", refused(loop.async_write_pid_gains, 1, 70000, 0, 0)),
        ("refused: loop raw data not bytes", refused(loop.write_raw_packet, "FF")),
        ("refused: loop int for a flag", refused(loop.enable_neck, 1)),
        ("refused: loop close with an argument", refused(loop.close, True)),
        ("refused: VorlixTorsoPosition lengths", refused(
            VorlixTorsoPosition, [0.0] * 3, [0.0] * 2, [0.0] * 3, [0.0] * 3)),
        ("refused: VorlixMotorController(None, None)", refused(VorlixMotorController, None, None)),
        ("refused: VorlixMotorController missing port",
         refused(VorlixMotorController, "/nonexistent/tty", os.environ["VORLIX_CAN_IFACE"])),
        ("refused: VorlixPyControlLoop negative period",
         refused(VorlixPyControlLoop, None, timedelta(microseconds=-1))),
        ("refused: VorlixPyControlLoop missing port",
         refused(VorlixPyControlLoop, "/nonexistent/tty", timedelta(milliseconds=10))),
    ]


def start_torso(folder: str, can_iface: str) -> tuple[subprocess.Popen, str]:
    serial_path = os.path.join(folder, "ttyVIRT")
    torso = subprocess.Popen([sys.executable, "-m", "vorlix_virtual_torso.cli", "--serial",
                              serial_path, "--can", can_iface], stdout=subprocess.PIPE, text=True)
    for _ in range(2):
        if not torso.stdout.readline():
            raise SystemExit("the virtual torso did not start")
    return torso, serial_path


def report(cases, calls: int, only: str | None) -> list[str]:
    over = []
    for label, call in cases:
        if only and only not in label:
            continue
        growth, blocks, seconds, failed = measure(call, calls)
        verdict = "ok" if growth < LIMIT else "OVER 1 MB"
        failures = f"  ({failed} failed on the bus)" if failed else ""
        print(f"{label:45} {growth / 1024:9.0f} KiB {blocks:+8.3f} blocks/call "
              f"{seconds * 1e6:9.1f} µs/call  {verdict}{failures}", flush=True)
        if growth >= LIMIT:
            over.append(label)
    return over


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--calls", type=int, default=100_000)
    parser.add_argument("--only", help="measure only the methods whose label holds this text")
    args = parser.parse_args()
    can_iface = os.environ.get("VORLIX_CAN_IFACE") or sys.exit("run through tools/with-vcan")
    print(f"{args.calls} calls each after {WARM_UP} to warm up; resident growth, allocated "
          "blocks per call, time per call", flush=True)
    with tempfile.TemporaryDirectory() as folder:
        torso, serial_path = start_torso(folder, can_iface)
        try:
            controller = VorlixMotorController(serial_path, can_iface)
            over = report(controller_cases(controller), args.calls, args.only)
            del controller  # frees the port for the loop
            # Statistics grow by design (8 bytes a tick and 8 a command): off here, and on
            # below with a slow period and no commands.
            loop = VorlixPyControlLoop(serial_path, timedelta(milliseconds=200), can_iface)
            over += report(loop_cases(loop), args.calls, args.only)
            loop.close()
            loop = VorlixPyControlLoop(None, timedelta(milliseconds=200), can_iface,
                                       stats_pub_period=timedelta(hours=1))
            over += report(stats_cases(loop), args.calls, args.only)
            loop.close()
        finally:
            torso.terminate()
            torso.wait()
    if over:
        print("over 1 MB: " + ", ".join(over))
    return 1 if over else 0


if __name__ == "__main__":
    sys.exit(main())
