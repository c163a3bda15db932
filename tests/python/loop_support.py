"""What the control-loop tests share: loops on the virtual torso, waiting for the worker, and
a worker held inside a logging handler so that a test can fill its queue."""

import logging
import threading
import time
from datetime import timedelta

from vorlix_motor_controller import VorlixPyControlLoop

PERIOD = timedelta(milliseconds=10)
COMMUNICATION = "Motor communication error! Check connections and power supply."
LOOP_LOGGER = "vorlix_motor_controller.control_loop"


def open_loop(torso, **options) -> VorlixPyControlLoop:
    return VorlixPyControlLoop(torso.serial_path, options.pop("period", PERIOD),
                               torso.can_iface, **options)


def wait_until(condition, timeout: float = 3.0, what: str = "the condition"):
    deadline = time.monotonic() + timeout
    while not (result := condition()):
        assert time.monotonic() < deadline, f"{what} did not hold within {timeout} s"
        time.sleep(0.005)
    return result


def skip_replies(servo, count: int) -> None:
    """The servo stays silent for its next `count` reads, then answers again."""
    read = servo.read
    remaining = [count]

    def silent_then_answering(address, length):
        if remaining[0] > 0:
            remaining[0] -= 1
            return None
        return read(address, length)

    servo.read = silent_then_answering


class HeldWorker(logging.Handler):
    """Blocks the thread that logs a record containing `marker` until released: posting a
    command whose execution logs it holds the worker there."""

    def __init__(self, logger: str, marker: str) -> None:
        super().__init__()
        self.marker = marker
        self.entered = threading.Event()
        self.resume = threading.Event()
        self._logger = logging.getLogger(logger)

    def emit(self, record: logging.LogRecord) -> None:
        if self.marker in record.getMessage() and not self.resume.is_set():
            self.entered.set()
            assert self.resume.wait(10), "the held worker was never released"

    def __enter__(self):
        self._logger.addHandler(self)
        return self

    def __exit__(self, *exc_info) -> None:
        self.resume.set()
        self._logger.removeHandler(self)
