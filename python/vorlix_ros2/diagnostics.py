"""The loop's health over the last second as one diagnostic_msgs status: its period (mean,
p99, max), its read time, failed readings and dropped records. Counts since the start, and the
newest tick counted, let a reader account for every tick even when the node lags behind."""

from __future__ import annotations

import statistics
import threading
import time
from collections import deque

from diagnostic_msgs.msg import DiagnosticStatus, KeyValue

WINDOW = 1.0  # seconds
HARDWARE_ID = "vorlix_torso"


def p99(values: list[float]) -> float:
    if len(values) < 2:
        return values[0]
    return statistics.quantiles(values, n=100, method="inclusive")[98]


def _milliseconds(seconds: float) -> str:
    return f"{seconds * 1e3:.3f}"


class LoopHealth:
    """Ticks of the last second, fed by the capture thread, read by the diagnostics timer."""

    def __init__(self, name: str) -> None:
        self._name = name
        self._guard = threading.Lock()
        self._ticks: deque[tuple[float, float, float, bool]] = deque()
        self._dropped: deque[tuple[float, int]] = deque()
        self.dropped_total = 0
        self._failed_total = 0
        self._newest: float | None = None

    def add_tick(self, timestamp: float, period: float, read_dt: float, ok: bool) -> None:
        with self._guard:
            self._ticks.append((timestamp, period, read_dt, ok))
            self._failed_total += not ok
            self._newest = timestamp

    def add_dropped(self, count: int) -> None:
        with self._guard:
            self._dropped.append((time.time(), count))
            self.dropped_total += count

    def status(self, now: float | None = None) -> DiagnosticStatus:
        """The status over the second before `now` (wall clock); forgets what is older."""
        now = time.time() if now is None else now
        with self._guard:
            while self._ticks and self._ticks[0][0] < now - WINDOW:
                self._ticks.popleft()
            while self._dropped and self._dropped[0][0] < now - WINDOW:
                self._dropped.popleft()
            ticks = list(self._ticks)
            dropped = sum(count for _, count in self._dropped)
            dropped_total, failed_total = self.dropped_total, self._failed_total
            newest = self._newest
        failed = sum(not ok for *_, ok in ticks)
        if not ticks:
            level, message = DiagnosticStatus.ERROR, "no tick within the last second"
        elif failed == len(ticks):
            level, message = DiagnosticStatus.ERROR, "every reading failed within the last second"
        elif failed:
            level = DiagnosticStatus.WARN
            message = f"{failed} of {len(ticks)} readings failed within the last second"
        else:
            level, message = DiagnosticStatus.OK, "reading every tick"
        values = [("ticks", str(len(ticks))), ("failed readings", str(failed)),
                  ("dropped records", str(dropped)),
                  ("dropped records since start", str(dropped_total)),
                  ("failed readings since start", str(failed_total))]
        if newest is not None:
            values.append(("newest tick", repr(newest)))  # wall clock, seconds
        if ticks:
            periods = [period for _, period, _, _ in ticks]
            reads = [read_dt for _, _, read_dt, _ in ticks]
            values += [("period mean (ms)", _milliseconds(statistics.fmean(periods))),
                       ("period p99 (ms)", _milliseconds(p99(periods))),
                       ("period max (ms)", _milliseconds(max(periods))),
                       ("read time mean (ms)", _milliseconds(statistics.fmean(reads))),
                       ("read time max (ms)", _milliseconds(max(reads)))]
        return DiagnosticStatus(level=level, name=self._name, message=message,
                                hardware_id=HARDWARE_ID,
                                values=[KeyValue(key=key, value=value) for key, value in values])
