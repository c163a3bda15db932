"""Times read_all_positions() and read_neck_positions() from Python against the virtual torso,
then calls that never leave the process (the loop's last reading, its statistics, the value
classes), whose time is the bindings' own.

The torso runs in its own process so that its work is not counted as ours. Reports, per bus
call, the median wall time and the CPU time of the calling thread (our code: bindings,
controller and bus layers); the calls that never leave the process are timed in batches, since
in the test kernel reading the clock takes longer than they do. Needs a vcan interface: run it
as

    tools/with-vcan .venv/bin/python benchmarks/python_calls.py [--calls N] [--wire-time]

With --no-buses it times, natively, only the value class's calls, which need no bus: in the
test kernel, times of a few microseconds are the kernel's more than ours.

With --only NAME it makes just that call, --calls times, untimed: the run that
benchmarks/python_call_instructions.py counts the instructions of.
"""

import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time
import timeit

from datetime import timedelta

from vorlix_motor_controller import VorlixMotorController, VorlixPyControlLoop, VorlixTorsoPosition


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


def report(name, call, calls):
    call()  # warm up
    wall_us, cpu_us = measure(call, calls)
    print(f"{name}: median {wall_us:.2f} µs per call, "
          f"{cpu_us:.2f} µs CPU per call in the calling thread ({calls} calls)")


def report_fastest_batch(name, call, calls):
    # The fastest of several batches: the machine's noise only ever adds.
    best = min(timeit.repeat(call, number=calls, repeat=9))
    print(f"{name}: {best / calls * 1e6:.3f} µs per call, fastest of 9 batches of {calls}")


def repeat_only(wanted, calls):
    """Instead of a report: makes the call named `wanted` `calls` times, and no other."""
    def run(name, call, _calls):
        if name == wanted:
            for _ in range(calls):
                call()
    return run


def refused_position():
    try:
        VorlixTorsoPosition([0.1] * 3, [0.2] * 2, [0.3] * 3, [0.4] * 3)
    except ValueError:
        pass


def value_calls():
    """The value class's calls: no bus, no loop."""
    position = VorlixTorsoPosition([0.1] * 2, [0.2] * 2, [0.3] * 3, [0.4] * 3)
    return {
        "VorlixTorsoPosition(...)":
            lambda: VorlixTorsoPosition([0.1] * 2, [0.2] * 2, [0.3] * 3, [0.4] * 3),
        "VorlixTorsoPosition(...) refused": refused_position,
        "position.neck + .timestamp": lambda: (position.neck, position.timestamp),
        "repr(position)": lambda: repr(position),
    }


def controller_calls(controller):
    """The controller's calls on the buses."""
    return {f"{name}()": getattr(controller, name)
            for name in ("read_all_positions", "read_neck_positions", "neck_position_limits")}


def run_on_controller(run, controller, calls):
    for name, call in controller_calls(controller).items():
        run(name, call, calls)


def loop_calls(loop):
    """The loop's calls that wait for no bus."""
    return {f"loop.{name}()": getattr(loop, name)
            for name in ("get_last_position", "get_stats", "get_motor_name_id")}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--calls", type=int, default=500)
    parser.add_argument("--wire-time", action="store_true",
                        help="let the virtual servos add 10 µs per byte, as a 1 Mbaud line does")
    parser.add_argument("--no-buses", action="store_true",
                        help="only the calls that need no bus, natively")
    parser.add_argument("--only", metavar="NAME",
                        help="make only the call of this name, --calls times, untimed")
    args = parser.parse_args()
    if args.only is not None:
        # The classes' own methods name the calls without opening a bus.
        names = [*value_calls()]
        if not args.no_buses:
            names += [*controller_calls(VorlixMotorController), *loop_calls(VorlixPyControlLoop)]
        if args.only not in names:
            parser.error(f"--only takes one of: {', '.join(names)}")
    if args.no_buses:
        run = report_fastest_batch if args.only is None else repeat_only(args.only, args.calls)
        for name, call in value_calls().items():
            run(name, call, args.calls * 100)
        return
    run = report if args.only is None else repeat_only(args.only, args.calls)
    run_in_process = report_fastest_batch if args.only is None else run
    can_iface = os.environ.get("VORLIX_CAN_IFACE") or sys.exit("run through tools/with-vcan")

    with tempfile.TemporaryDirectory() as folder:
        serial_path = os.path.join(folder, "ttyVIRT")
        torso = start_torso(serial_path, can_iface, args.wire_time)
        try:
            # Once this returns, the controller and its bound methods are gone: the loop opens
            # the same buses.
            run_on_controller(run, VorlixMotorController(serial_path, can_iface), args.calls)
            loop = VorlixPyControlLoop(serial_path, timedelta(milliseconds=10), can_iface,
                                       stats_pub_period=timedelta(milliseconds=50))
            try:
                for name, call in {**loop_calls(loop), **value_calls()}.items():
                    run_in_process(name, call, args.calls * 20)
            finally:
                loop.close()
        finally:
            torso.terminate()
            torso.wait()


if __name__ == "__main__":
    main()
