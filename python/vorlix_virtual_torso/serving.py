"""The thread that serves a virtual bus, and the record of what it received."""

import os
import threading
from collections.abc import Callable


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
        self.items: list = []
        self._changed = threading.Condition()

    def append(self, item) -> None:
        with self._changed:
            self.items.append(item)
            self._changed.notify_all()

    def clear(self) -> None:
        with self._changed:
            self.items.clear()

    def wait_for(self, count: int, timeout: float) -> list:
        """A copy of the record once it holds at least count items, or after timeout."""
        with self._changed:
            self._changed.wait_for(lambda: len(self.items) >= count, timeout)
            return list(self.items)
