"""What every virtual bus has: the thread that serves it, and the record of what it received."""

import logging
import os
import threading
from abc import ABC, abstractmethod
from collections.abc import Callable
from typing import Any, Self

_log = logging.getLogger("vorlix_virtual_torso")


def serving_first() -> None:
    """Puts the virtual torso's serving threads above every other thread (real-time priority)
    where the system allows it. On a single busy CPU (the test kernel's) a request then has its
    reply before the controller takes up its wait, however long the busy host leaves the kernel
    unscheduled: a healthy exchange never misses the controller's time-out."""
    threads = [thread.native_id for thread in threading.enumerate()
               if thread.name.startswith("virtual-") and thread.native_id is not None]
    assert threads, "the virtual torso serves on no thread named virtual-*"
    for native_id in threads:
        try:
            os.sched_setscheduler(native_id, os.SCHED_FIFO, os.sched_param(1))
        except PermissionError:
            return  # an unprivileged host: they serve at the usual priority


class ServingThread:
    """A daemon thread that serves a bus until stopped.

    The serving loop polls `wake_fd` beside its bus, so `stop` ends a wait at once, and it
    sleeps with `stopping.wait`, so `stop` also cuts a delayed reply short.
    """

    def __init__(self, name: str, serve: Callable[[], None]) -> None:
        self.stopping = threading.Event()
        self.wake_fd, self._wake_writer = os.pipe()
        self._thread = threading.Thread(target=serve, name=name, daemon=True)

    def start(self) -> None:
        self._thread.start()

    def stop(self) -> None:
        """Stops and joins the thread; safe to call again."""
        if self.stopping.is_set():
            return
        self.stopping.set()
        os.write(self._wake_writer, b"\0")
        self._thread.join()
        os.close(self.wake_fd)
        os.close(self._wake_writer)


class Recorder:
    """What a bus received, in order; tests wait on it for traffic that gets no reply."""

    def __init__(self) -> None:
        # Packets on the servo bus, (id, data) pairs on the neck.
        self.items: list[Any] = []
        self._changed = threading.Condition()

    def append(self, item: Any) -> None:
        with self._changed:
            self.items.append(item)
            self._changed.notify_all()

    def clear(self) -> None:
        with self._changed:
            self.items.clear()

    def take(self) -> list[Any]:
        """What was received since the last take or clear, removed from the record."""
        with self._changed:
            taken, self.items = self.items, []
            return taken

    def wait_for(self, count: int, timeout: float) -> list[Any]:
        """A copy of the record once it holds at least count items, or after timeout."""
        with self._changed:
            self._changed.wait_for(lambda: len(self.items) >= count, timeout)
            return list(self.items)


class ServedBus(ABC):
    """A virtual bus served by its own thread from the end of construction until `close`;
    leaving its `with` block closes it too.

    A bus exposes the record of what it received under names of its own, as aliases of the
    `_received*` members.
    """

    def __init__(self) -> None:
        self._record = Recorder()

    def _start_serving(self, thread_name: str) -> None:
        """The last step of construction, once the bus is open: nothing is left to undo if
        opening fails."""
        self._server = ServingThread(thread_name, self._serve)
        self._server.start()

    @abstractmethod
    def _serve(self) -> None:
        """The serving loop; runs on the serving thread until `_server.stopping` is set."""

    def _handle(self, handle: Callable[[Any], None], request: Any) -> None:
        """Hands one request to handle: whatever goes wrong there is logged, and the bus
        serves the next request as a device would."""
        try:
            handle(request)
        except Exception:
            _log.exception("%s failed to handle %r", type(self).__name__, request)

    def __enter__(self) -> Self:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    def close(self) -> None:
        self._server.stop()

    def _received(self) -> list[Any]:
        return self._record.items

    def _clear_received(self) -> None:
        self._record.clear()

    def _take_received(self) -> list[Any]:
        return self._record.take()

    def _wait_for_received(self, count: int, timeout: float = 1.0) -> list[Any]:
        """What was received, once there are at least count items or timeout passed."""
        return self._record.wait_for(count, timeout)
