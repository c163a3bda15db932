"""Takes what the loop captured, on a thread of its own, just after each tick is due: every
tick reaches the sink once, soon after its reading, without polling the loop's last position
and without waking much more often than the loop ticks."""

from __future__ import annotations

import logging
import threading
import time
from collections.abc import Callable
from typing import Any, Protocol

logger = logging.getLogger(__name__)

Tick = tuple[float, float, float, Any]
Command = tuple[float, str, dict[str, Any], "str | None", float]
Sink = Callable[[list[Tick], list[Command], int], None]

# After a tick, the next one is taken this long after it is due; then, while none has come,
# again every RETRY_FRACTION of a period.
LATE_MARGIN = 0.0002  # seconds
RETRY_FRACTION = 0.1


class CapturedLoop(Protocol):
    def start_recording(self, capacity: int) -> None: ...
    def stop_recording(self) -> None: ...
    def take_recording(self) -> tuple[list[Tick], list[Command], int]: ...


class CapturePump:
    """Hands `sink` everything `loop` captures from `start` until `stop`, in order."""

    def __init__(self, loop: CapturedLoop, period: float, sink: Sink, capacity: int,
                 on_failure: Callable[[BaseException], None]) -> None:
        self._loop = loop
        self._period = period
        self._sink = sink
        self._capacity = capacity
        self._on_failure = on_failure
        self._stopping = threading.Event()
        self._thread = threading.Thread(target=self._run, name="vorlix-ros2-capture",
                                        daemon=True)

    def start(self) -> None:
        self._loop.start_recording(self._capacity)
        self._thread.start()

    def stop(self, timeout: float) -> None:
        """Ends capturing; what was captured until now still reaches the sink."""
        self._loop.stop_recording()
        self._stopping.set()
        if self._thread.is_alive():
            self._thread.join(timeout)

    def _run(self) -> None:
        try:
            delay = 0.0
            while not self._stopping.wait(delay):
                delay = self._pump()
            self._pump()
        except Exception as error:  # reported, so that the node does not run on deaf
            self._on_failure(error)

    def _pump(self) -> float:
        """Takes and delivers what is there; returns how long to wait before the next take."""
        ticks, commands, dropped = self._loop.take_recording()
        self._sink(ticks, commands, dropped)
        if not ticks:
            return self._period * RETRY_FRACTION
        due = ticks[-1][0] + self._period + LATE_MARGIN
        return min(self._period, max(0.0, due - time.time()))
