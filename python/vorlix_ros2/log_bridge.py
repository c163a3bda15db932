"""The module's log records on the node's logger, and so on /rosout. The handler runs on
whichever thread logs, the loop's worker included, so it only appends; the capture thread
forwards what was appended."""

from __future__ import annotations

import logging
import threading
from collections.abc import Callable
from typing import Any

MODULE_LOGGER = "vorlix_motor_controller"
CAPACITY = 1000  # records held between two forwards; beyond that they are counted

# rclpy keeps one severity per calling line: each severity is forwarded from a line of its own.
_FORWARDS: tuple[tuple[int, Callable[[Any, str], Any]], ...] = (
    (logging.CRITICAL, lambda ros_logger, text: ros_logger.fatal(text)),
    (logging.ERROR, lambda ros_logger, text: ros_logger.error(text)),
    (logging.WARNING, lambda ros_logger, text: ros_logger.warning(text)),
    (logging.INFO, lambda ros_logger, text: ros_logger.info(text)),
    (logging.NOTSET, lambda ros_logger, text: ros_logger.debug(text)),
)


class LogBridge(logging.Handler):
    """Holds the module's records for `forward`, which logs them on `ros_logger`."""

    def __init__(self, ros_logger: Any) -> None:
        super().__init__()
        self._ros_logger = ros_logger
        self._guard = threading.Lock()
        self._records: list[tuple[int, str]] = []
        self._dropped = 0

    def attach(self) -> None:
        """From now on the module's records at the node logger's level or above come here."""
        module = logging.getLogger(MODULE_LOGGER)
        # rcutils and Python number their severities alike (10 debug ... 50 fatal).
        module.setLevel(int(self._ros_logger.get_effective_level()))
        module.addHandler(self)

    def detach(self) -> None:
        logging.getLogger(MODULE_LOGGER).removeHandler(self)

    def emit(self, record: logging.LogRecord) -> None:
        try:
            text = record.getMessage()
        except Exception:  # a record that cannot be formatted is not the loop's to die of
            self.handleError(record)
            return
        with self._guard:
            if len(self._records) < CAPACITY:
                self._records.append((record.levelno, text))
            else:
                self._dropped += 1

    def forward(self) -> None:
        with self._guard:
            records, self._records = self._records, []
            dropped, self._dropped = self._dropped, 0
        for level, text in records:
            next(send for floor, send in _FORWARDS if level >= floor)(self._ros_logger, text)
        if dropped:
            self._ros_logger.warning(f"{dropped} log records of the loop were dropped")
