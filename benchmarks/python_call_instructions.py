"""Counts the instructions per call of python_calls.py's calls in the calling thread (bindings,
controller and bus layers), with callgrind, for one or more Pythons that each have the package
installed: unlike times, the counts come out the same from run to run, on a busy machine and in
the test kernel alike. With two or more Pythons each count is compared with the first's.

Start-up costs are removed by counting two runs of different lengths and dividing the
difference. The calls made next to the loop and the buses are counted only inside themselves
(CPython's entry for methods without arguments, so the Python needs its symbols, as pyenv's
builds have): around them, the main thread's count varies with the loop's timing. The virtual
torso runs natively in its own process, uncounted. Needs valgrind and a vcan interface: run it
as

    tools/with-vcan .venv/bin/python benchmarks/python_call_instructions.py [PYTHON...]

(default: the Python that runs it).
"""

import argparse
import os
import re
import subprocess
import sys
import tempfile

from vorlix_motor_controller import VorlixMotorController, VorlixPyControlLoop

import python_calls

SCRIPT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "python_calls.py")
# Calls per run, short and long: enough calls apart that the few thousand instructions by which
# start-up varies are lost in the difference.
BUS_RUNS = (20, 220)
OTHER_RUNS = (2000, 22000)
# Where CPython enters every method that takes no arguments, as all the bus and loop calls do.
METHOD_ENTRY = "cfunction_vectorcall_NOARGS"


def main_thread_instructions(python, name, calls, needs_buses, folder):
    """The instructions the main thread ran in one run of `calls` calls of `name`: all of them,
    or with the buses those inside the calls."""
    out = os.path.join(folder, "callgrind.out")
    command = ["valgrind", "--tool=callgrind", "--separate-threads=yes",
               f"--callgrind-out-file={out}"]
    if needs_buses:
        command.append(f"--toggle-collect={METHOD_ENTRY}")
    command += [python, SCRIPT, "--only", name, "--calls", str(calls)]
    if not needs_buses:
        command.append("--no-buses")
    # A fixed hash seed: a random one changes the dictionaries' probing from run to run.
    result = subprocess.run(command, env={**os.environ, "PYTHONHASHSEED": "0"},
                            capture_output=True, text=True)
    if result.returncode != 0:
        sys.exit(f"{python} --only {name!r} failed:\n{result.stderr}")
    with open(f"{out}-01") as counts:  # thread 1 is the main thread
        totals = re.search(r"^(?:summary|totals): (\d+)", counts.read(), re.MULTILINE)
    for thread_file in os.listdir(folder):
        os.remove(os.path.join(folder, thread_file))
    if int(totals.group(1)) == 0:
        sys.exit(f"{python} shows callgrind no {METHOD_ENTRY}: it needs a Python with its symbols")
    return int(totals.group(1))


def instructions_per_call(python, name, needs_buses, folder):
    short, long = BUS_RUNS if needs_buses else OTHER_RUNS
    counts = [main_thread_instructions(python, name, calls, needs_buses, folder)
              for calls in (short, long)]
    return (counts[1] - counts[0]) / (long - short)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("pythons", nargs="*", default=[sys.executable], metavar="PYTHON")
    args = parser.parse_args()
    needs_buses = {**python_calls.controller_calls(VorlixMotorController),
                   **python_calls.loop_calls(VorlixPyControlLoop)}
    if not os.environ.get("VORLIX_CAN_IFACE"):
        sys.exit("run through tools/with-vcan")
    names = [*python_calls.value_calls(), *needs_buses]
    with tempfile.TemporaryDirectory() as folder:
        for name in names:
            counts = [instructions_per_call(python, name, name in needs_buses, folder)
                      for python in args.pythons]
            shown = [f"{counts[0]:.0f}"] + [f"{count:.0f} ({(count / counts[0] - 1) * 100:+.1f} %)"
                                            for count in counts[1:]]
            print(f"{name}: {', '.join(shown)} instructions per call", flush=True)


if __name__ == "__main__":
    main()
