"""vorlix-ros2: the torso's ROS 2 node, until SIGINT or SIGTERM.

Exit status 0 after a signal (the loop closed, what was queued ran), 1 when the node cannot
start (one line on stderr says why) or stops on a failure, 2 on bad usage."""

from __future__ import annotations

import argparse
import signal
import sys
import threading
from datetime import timedelta
from types import FrameType

import rclpy
from rclpy.executors import MultiThreadedExecutor
from rclpy.signals import SignalHandlerOptions
from rclpy.utilities import remove_ros_args
from vorlix_motor_controller import VorlixPyControlLoop

from vorlix_ros2.node import TorsoNode
from vorlix_ros2.parameters import ParameterError, read_settings

EXECUTOR_THREADS = 3  # the commands and diagnostics, and each service's wait
STOP_POLL = 0.5  # seconds between looks at the stop request, besides the signals' own wake-up
SHUTDOWN_TIMEOUT = 5.0  # seconds for the executor's threads to end
START_FAILURES = (RuntimeError, ValueError, OSError, OverflowError, TypeError)


def parse_arguments(argv: list[str]) -> None:
    argparse.ArgumentParser(
        prog="vorlix-ros2",
        description="The Vorlix torso as the ROS 2 node vorlix_torso. Parameters: "
                    "--ros-args -p serial_port:=PATH (empty: neck only) -p can_interface:=NAME "
                    "(can0) -p period_ms:=MS (10) -p allowed_retries:=N (5).",
    ).parse_args(remove_ros_args(argv)[1:])


def fail(error: BaseException) -> int:
    print(f"vorlix-ros2: {error}", file=sys.stderr, flush=True)
    return 1


def main(argv: list[str] | None = None) -> int:
    argv = list(sys.argv if argv is None else argv)
    parse_arguments(argv)  # exits 2 on bad usage, 0 after --help
    stop = threading.Event()
    failures: list[BaseException] = []

    def request_stop(signum: int, frame: FrameType | None) -> None:
        stop.set()

    def failed(error: BaseException) -> None:
        failures.append(error)
        stop.set()

    signal.signal(signal.SIGINT, request_stop)
    signal.signal(signal.SIGTERM, request_stop)
    try:
        # Our handlers, not rclpy's: a signal closes the loop before ROS 2 goes down.
        rclpy.init(args=argv, signal_handler_options=SignalHandlerOptions.NO)
    except START_FAILURES as error:
        return fail(error)
    try:
        return run(stop, failures, failed)
    finally:
        rclpy.try_shutdown()


def run(stop: threading.Event, failures: list[BaseException], failed) -> int:
    node = TorsoNode()
    try:
        try:
            settings = read_settings(node)
            node.log_bridge.attach()
            loop = VorlixPyControlLoop(settings.serial_port,
                                       timedelta(milliseconds=settings.period_ms),
                                       settings.can_interface, settings.allowed_retries)
        except (ParameterError, *START_FAILURES) as error:
            node.log_bridge.forward()
            node.log_bridge.detach()
            return fail(error)
        node.serve(loop, settings.serial_port is None, settings.period_ms / 1e3,
                   settings.reply_timeout, failed)
        executor = MultiThreadedExecutor(num_threads=EXECUTOR_THREADS)
        executor.add_node(node)
        spinner = threading.Thread(target=executor.spin, name="vorlix-ros2-executor",
                                   daemon=True)
        spinner.start()
        node.get_logger().info(
            f"serving the torso ({'neck only' if settings.serial_port is None else settings.serial_port}"
            f", {settings.can_interface}, every {settings.period_ms:g} ms)")
        while not stop.wait(STOP_POLL):
            pass
        node.close()
        # Bounded: a callback stuck in a DDS call must not keep the process from exiting.
        executor.shutdown(timeout_sec=SHUTDOWN_TIMEOUT)
        spinner.join(SHUTDOWN_TIMEOUT)
    finally:
        node.destroy_node()
    if failures:
        return fail(failures[0])
    return 0


if __name__ == "__main__":
    sys.exit(main())
