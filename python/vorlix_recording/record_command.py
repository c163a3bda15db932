"""vorlix-record: runs a control loop and records it to an MCAP file, live on a Foxglove
WebSocket server with --live, or as a rosbag2 file with --ros2, until the duration ends or
Ctrl-C or SIGTERM. The file and the port are opened before the loop starts (which reboots every
servo), and an earlier recording of that name is replaced only once the loop runs."""

from __future__ import annotations

import argparse
import signal
import sys
import threading
import time
from datetime import timedelta
from types import FrameType
from typing import TextIO

from vorlix_motor_controller import VorlixPyControlLoop

from vorlix_recording.output import DEFAULT_PORT, RecordingOutput
from vorlix_recording.recorder import Recorder
from vorlix_recording.ros2_bag import Ros2BagOutput, Ros2BagRecorder

STATUS_INTERVAL = 0.5  # seconds


def positive(text: str) -> float:
    value = float(text)
    if not value > 0 or value == float("inf"):
        raise argparse.ArgumentTypeError(f"must be a positive number of units (got {text})")
    return value


def port_number(text: str) -> int:
    value = int(text)
    if not 0 <= value <= 65535:
        raise argparse.ArgumentTypeError(f"must be a port from 0 to 65535 (got {text})")
    return value


def parse_arguments(argv: list[str] | None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(
        prog="vorlix-record",
        description="Record the control loop of the Vorlix torso to an MCAP file.")
    parser.add_argument("--serial", help="the servo line (left out: a neck-only loop)")
    parser.add_argument("--can", required=True, help="the neck's SocketCAN interface")
    parser.add_argument("--period", type=positive, default=10.0, metavar="MS",
                        help="the loop's period in milliseconds (default 10)")
    parser.add_argument("--duration", type=positive, metavar="S",
                        help="seconds to record (default: until Ctrl-C or SIGTERM)")
    parser.add_argument("--live", action="store_true",
                        help="also serve it live on localhost over the Foxglove WebSocket protocol")
    parser.add_argument("--live-port", type=port_number, metavar="PORT",
                        help=f"the live server's port (default {DEFAULT_PORT}; implies --live)")
    parser.add_argument("--ros2", action="store_true",
                        help="write a rosbag2 MCAP file (/joint_states, /rosout) for ros2 bag")
    parser.add_argument("output", metavar="OUT.mcap", help="the recording to write")
    arguments = parser.parse_args(argv)
    arguments.live = arguments.live or arguments.live_port is not None
    if arguments.ros2 and arguments.live:
        parser.error("--live serves the Foxglove channels, which a --ros2 recording has not")
    return arguments


def show_status(stream: TextIO, started: float, recorder: Recorder) -> None:
    stream.write(f"\r{time.monotonic() - started:7.1f} s  ticks {recorder.ticks}  "
                 f"dropped {recorder.dropped}  failed readings {recorder.failed_readings}")
    stream.flush()


def open_output(arguments: argparse.Namespace) -> RecordingOutput:
    if arguments.ros2:
        return Ros2BagOutput(arguments.output)
    port = DEFAULT_PORT if arguments.live_port is None else arguments.live_port
    try:
        output = RecordingOutput(arguments.output, live=arguments.live, port=port)
    except RuntimeError as error:
        raise RuntimeError(f"{error} (another port: --live-port PORT)") from None
    if output.port is not None:
        print(f"live on ws://127.0.0.1:{output.port}", flush=True)
    return output


def record(arguments: argparse.Namespace, stop: threading.Event) -> int:
    output = open_output(arguments)  # nothing has reached the robot yet
    try:
        loop = VorlixPyControlLoop(arguments.serial, timedelta(milliseconds=arguments.period),
                                   arguments.can)
    except BaseException:
        output.discard()
        raise
    try:
        chosen = (Ros2BagRecorder(loop, output, neck_only=arguments.serial is None)
                  if arguments.ros2 else Recorder(loop, output))
        with chosen as recorder:
            started = time.monotonic()
            deadline = started + arguments.duration if arguments.duration else float("inf")
            status = sys.stderr.isatty()
            while recorder.running and not stop.wait(min(STATUS_INTERVAL, max(0.0, deadline - time.monotonic()))):
                if time.monotonic() >= deadline:
                    break
                if status:
                    show_status(sys.stderr, started, recorder)
            if status:
                sys.stderr.write("\n")
            loop.close()  # first: the recorder, which gives way to the loop, then ends the file
    finally:
        loop.close()
    print(f"ticks: {recorder.ticks}, dropped: {recorder.dropped}, "
          f"failed readings: {recorder.failed_readings}, commands: {recorder.commands}")
    if recorder.error is not None:
        print(f"vorlix-record: the recording stopped early: {recorder.error}", file=sys.stderr)
        return 1
    if recorder.running:
        print(f"vorlix-record: {recorder.path} was left unfinished: it reads up to its last "
              "complete chunk", file=sys.stderr)
        return 1
    return 0


def main(argv: list[str] | None = None) -> int:
    arguments = parse_arguments(argv)  # exits 2 on bad usage
    stop = threading.Event()

    def request_stop(signum: int, frame: FrameType | None) -> None:
        stop.set()

    signal.signal(signal.SIGTERM, request_stop)
    signal.signal(signal.SIGINT, request_stop)
    try:
        return record(arguments, stop)
    except (OSError, RuntimeError, ValueError) as error:
        print(f"vorlix-record: {error}", file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())
