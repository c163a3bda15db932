"""Times read_all_positions() and read_neck_positions() from Python against the virtual torso.

The torso runs in its own process so that its work is not counted as ours. Reports, per call,
the median wall time and the CPU time of the calling thread (our code: bindings,
controller and bus layers). Needs a vcan interface: run it as

    tools/with-vcan .venv/bin/python benchmarks/python_calls.py [--calls N] [--wire-time]
"""

import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time

from vorlix_motor_controller import VorlixMotorController


def start_torso(serial_path, can_iface, wire_time):
    command = [sys.executable, "-m", "vorlix_virtual_torso.cli", "--serial", serial_path,
               "--can", can_iface]
    if wire_time:
        command.append("--wire-time")
    torso = subprocess.Popen(command, stdout=subprocess.PIPE, text=True)
    for _ in range(2):
        line = torso.stdout.readline()
        if not line:
            raise SystemExit("the virtual torso did not start")
    return torso


def measure(call, calls):
    """Median wall time per call, and the calling thread's CPU time per call.

    The CPU time is the total over all calls divided by their number: a kernel that counts
    CPU time in scheduler ticks (user-mode Linux does) gives no per-call figure.
    """
    wall = []
    cpu_start = time.thread_time_ns()
    for _ in range(calls):
        wall_start = time.perf_counter_ns()
        call()
        wall.append(time.perf_counter_ns() - wall_start)
    cpu = (time.thread_time_ns() - cpu_start) / calls
    return statistics.median(wall) / 1000, cpu / 1000


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--calls", type=int, default=500)
    parser.add_argument("--wire-time", action="store_true",
                        help="let the virtual servos add 10 µs per byte, as a 1 Mbaud line does")
    args = parser.parse_args()
    can_iface = os.environ.get("VORLIX_CAN_IFACE") or sys.exit("run through tools/with-vcan")

    with tempfile.TemporaryDirectory() as folder:
        serial_path = os.path.join(folder, "ttyVIRT")
        torso = start_torso(serial_path, can_iface, args.wire_time)
        try:
            controller = VorlixMotorController(serial_path, can_iface)
            for name in ("read_all_positions", "read_neck_positions"):
                call = getattr(controller, name)
                call()  # warm up
                wall_us, cpu_us = measure(call, args.calls)
                print(f"{name}(): median {wall_us:.0f} µs per call, "
                      f"{cpu_us:.0f} µs CPU per call in the calling thread ({args.calls} calls)")
        finally:
            torso.terminate()
            torso.wait()


if __name__ == "__main__":
    main()
