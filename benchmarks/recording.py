"""What recording costs the control loop, on the virtual torso: run by benchmarks/recording.sh
next to a vcan interface. Arguments: the serial path and CAN interface of a running
`vorlix-virtual-torso --wire-time`, and a mode:

  ticks off|on N      a loop that runs N ticks, recording or not (nothing takes the records:
                      the worker's side alone), for callgrind to count the worker's instructions
  periods DIR         the loop's p99 period at 10 ms over 2,000 ticks, with a Recorder writing
                      to DIR and without, alternating, twice each, after one recording not
                      measured
"""

import sys
import tempfile
import time
from datetime import timedelta
from pathlib import Path

from vorlix_motor_controller import VorlixPyControlLoop

TICKS = 2000


def open_loop(serial: str, can: str, period_ms: float) -> VorlixPyControlLoop:
    # A start-up check may miss a motor's late answer on a loaded machine: try again.
    for attempt in range(3):
        try:
            return VorlixPyControlLoop(serial, timedelta(milliseconds=period_ms), can,
                                       stats_pub_period=timedelta(seconds=1))
        except RuntimeError as error:
            print(f"(loop not started: {error}; again)", file=sys.stderr)
    raise SystemExit("the loop did not start three times in a row")


def ticks_of(loop: VorlixPyControlLoop) -> int:
    stats = loop.get_stats()
    assert stats is not None
    return len(stats.period)


def run_ticks(serial: str, can: str, recording: bool, ticks: int) -> None:
    loop = open_loop(serial, can, 10)
    try:
        if recording:
            loop.start_recording(ticks * 2)
        while ticks_of(loop) < ticks:
            time.sleep(0.05)
    finally:
        loop.close()
    print(f"ticks: {ticks_of(loop)}")


def p99_ms(serial: str, can: str, directory: Path | None, ticks: int = TICKS) -> float:
    from vorlix_recording import Recorder  # only here: its SDK starts threads of its own

    loop = open_loop(serial, can, 10)
    try:
        if directory is None:
            while ticks_of(loop) <= ticks:
                time.sleep(0.2)
        else:
            with Recorder(loop, directory / "bench.mcap"):
                while ticks_of(loop) <= ticks:
                    time.sleep(0.2)
        stats = loop.get_stats()
        assert stats is not None
    finally:
        loop.close()
    periods = sorted(stats.period[1:ticks + 1])  # the first runs from the start to a tick
    return periods[round(0.99 * (len(periods) - 1))] * 1000


def main() -> None:
    serial, can, mode, *rest = sys.argv[1:]
    if mode == "ticks":
        run_ticks(serial, can, rest[0] == "on", int(rest[1]))
        return
    with tempfile.TemporaryDirectory(dir=rest[0]) as directory:
        # Not measured: the first recording faults in the SDK's code, and in user-mode Linux a
        # fault that reads the host's file system holds the guest's only CPU, loop included
        # (tens of milliseconds, once; natively only the recorder's thread would wait).
        p99_ms(serial, can, Path(directory), ticks=300)
        for run in range(2):
            without = p99_ms(serial, can, None)
            with_recorder = p99_ms(serial, can, Path(directory))
            print(f"run {run + 1}: p99 period at 10 ms: {without:.3f} ms without a recorder, "
                  f"{with_recorder:.3f} ms with one ({(with_recorder / without - 1) * 100:+.2f} %)")


if __name__ == "__main__":
    main()
