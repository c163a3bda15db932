"""What the ROS 2 tests share: DDS kept on this machine, a peer node of the test's own, and
`vorlix-ros2` started as a program on the virtual torso."""

from __future__ import annotations

import os
import signal
import subprocess
import sys
import threading
import time
from pathlib import Path
from typing import Any

import pytest

# Importing rclpy and finding each other take seconds in the test kernel on a busy host.
START_TIMEOUT = 120.0
MESSAGE_TIMEOUT = 20.0
EXIT_TIMEOUT = 120.0  # a failed start imports rclpy first
VORLIX_ROS2 = str(Path(sys.executable).with_name("vorlix-ros2"))


def keep_dds_on_this_machine() -> dict[str, str]:
    """The environment for every ROS 2 participant of the tests; fails outside with-vcan."""
    if not os.environ.get("VORLIX_CAN_IFACE"):
        pytest.fail("VORLIX_CAN_IFACE is not set: ROS 2 tests run only inside tools/with-vcan "
                    "(loopback only), e.g. tools/with-vcan .venv/bin/python -m pytest "
                    "tests/python -k ros2", pytrace=False)
    os.environ["ROS_AUTOMATIC_DISCOVERY_RANGE"] = "LOCALHOST"
    os.environ.pop("ROS_STATIC_PEERS", None)
    return dict(os.environ)


# Each test module that imports these has its own: one peer node, DDS kept on this machine.
@pytest.fixture(scope="module")
def env():
    return keep_dds_on_this_machine()


@pytest.fixture(scope="module")
def peer(env):
    peer = Peer()
    yield peer
    peer.close()


def wait_for(condition, timeout: float, what: str):
    """Polls `condition` until it gives something true; fails after `timeout` seconds."""
    deadline = time.monotonic() + timeout
    while not (result := condition()):
        assert time.monotonic() < deadline, f"{what} did not happen within {timeout} s"
        time.sleep(0.01)
    return result


class Inbox:
    """What a subscription received, with the wall-clock time of each receipt."""

    def __init__(self) -> None:
        self.items: list[tuple[float, object]] = []
        self._changed = threading.Condition()

    def receive(self, message) -> None:
        with self._changed:
            self.items.append((time.time(), message))
            self._changed.notify_all()

    @property
    def messages(self) -> list:
        with self._changed:
            return [message for _, message in self.items]

    def wait_for(self, predicate, timeout: float = MESSAGE_TIMEOUT, what: str = "the message"):
        """The first message received, so far or from now on, that satisfies `predicate`."""
        with self._changed:
            found = self._changed.wait_for(
                lambda: next((m for _, m in self.items if predicate(m)), None), timeout)
        assert found is not None, f"{what} did not arrive within {timeout} s"
        return found

    def wait_for_count(self, count: int, timeout: float = MESSAGE_TIMEOUT) -> None:
        with self._changed:
            arrived = self._changed.wait_for(lambda: len(self.items) >= count, timeout)
        assert arrived, f"{count} messages did not arrive within {timeout} s"

    def clear(self) -> None:
        with self._changed:
            self.items.clear()


class Peer:
    """An rclpy node of the test's own, spinning on a thread of its own. Its publishers and
    clients live as long as it does: one destroyed while the executor builds its wait set
    ends the executor's thread (rclpy's InvalidHandle)."""

    def __init__(self, name: str = "vorlix_test_peer") -> None:
        import rclpy
        from rclpy.executors import SingleThreadedExecutor
        from rclpy.signals import SignalHandlerOptions

        self.context = rclpy.Context()
        rclpy.init(context=self.context, signal_handler_options=SignalHandlerOptions.NO)
        self.node = rclpy.create_node(name, context=self.context)
        self._publishers: dict[tuple[type, str], Any] = {}
        self._clients: dict[tuple[type, str], Any] = {}
        self._executor = SingleThreadedExecutor(context=self.context)
        self._executor.add_node(self.node)
        self._thread = threading.Thread(target=self._executor.spin, daemon=True)
        self._thread.start()

    def subscribe(self, message_type, topic: str, qos=10) -> Inbox:
        inbox = Inbox()
        self.node.create_subscription(message_type, topic, inbox.receive, qos)
        return inbox

    def publisher(self, message_type, topic: str):
        """The peer's publisher on `topic`, made on first use."""
        key = (message_type, topic)
        if key not in self._publishers:
            self._publishers[key] = self.node.create_publisher(message_type, topic, 10)
        return self._publishers[key]

    def call(self, service_type, name: str, request, timeout: float = MESSAGE_TIMEOUT):
        assert self._thread.is_alive(), "the peer's executor has ended"
        key = (service_type, name)
        if key not in self._clients:
            self._clients[key] = self.node.create_client(service_type, name)
        client = self._clients[key]
        assert client.wait_for_service(timeout_sec=timeout), f"no service {name}"
        done = threading.Event()
        future = client.call_async(request)
        future.add_done_callback(lambda _: done.set())
        assert done.wait(timeout), f"{name} did not answer within {timeout} s"
        return future.result()

    def close(self) -> None:
        self._executor.shutdown()
        # The node's handles go only once the executor's thread no longer waits on them.
        self._thread.join(MESSAGE_TIMEOUT)
        self.node.destroy_node()
        self.context.try_shutdown()


class NodeProcess:
    """`vorlix-ros2` with the given parameters; its stderr in a file, read at the end."""

    def __init__(self, parameters: dict[str, object], env: dict[str, str], log_dir: Path,
                 ros_arguments: list[str] | None = None) -> None:
        arguments = [VORLIX_ROS2, "--ros-args", *(ros_arguments or [])]
        for name, value in parameters.items():
            arguments += ["-p", f"{name}:={value}"]
        self._stderr_path = log_dir / "vorlix-ros2.stderr"
        with open(self._stderr_path, "wb") as stderr:
            self.process = subprocess.Popen(arguments, env=env, stdin=subprocess.DEVNULL,
                                            stdout=subprocess.DEVNULL, stderr=stderr)

    @property
    def stderr(self) -> str:
        return self._stderr_path.read_text()

    def stop(self, signum: int = signal.SIGINT, timeout: float = EXIT_TIMEOUT) -> int:
        if self.process.poll() is None:
            self.process.send_signal(signum)
        return self.wait(timeout)

    def wait(self, timeout: float = EXIT_TIMEOUT) -> int:
        try:
            return self.process.wait(timeout)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
            raise AssertionError(f"vorlix-ros2 did not end within {timeout} s:\n{self.stderr}")
