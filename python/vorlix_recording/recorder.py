"""The recorder: takes what the loop captured from a thread of its own and writes it to an
MCAP file, and to a Foxglove WebSocket server when live. The loop never waits for it: when it
falls behind, the loop's ring overwrites the oldest records and the loss is counted."""

from __future__ import annotations

import logging
import os
import threading
import time
from types import TracebackType
from typing import Protocol

from foxglove.messages import Log, LogLevel, Timestamp

from vorlix_recording import messages
from vorlix_recording.messages import Command, Tick
from vorlix_recording.output import DEFAULT_PORT, RecordingOutput

MODULE_LOGGER = "vorlix_motor_controller"
DEFAULT_CAPACITY = 100_000  # 1000 s of ticks at 10 ms
# The drain thread's nice value: the lowest priority, so that on a busy CPU the loop, and the
# processes it talks to, run first whenever they wake.
DRAIN_NICE = 19

logger = logging.getLogger(__name__)


class RecordedLoop(Protocol):
    """What the recorder needs of a VorlixPyControlLoop."""

    def start_recording(self, capacity: int) -> None: ...
    def stop_recording(self) -> None: ...
    def take_recording(self) -> tuple[list[Tick], list[Command], int]: ...


class _LogCollector(logging.Handler):
    """Keeps the module's log records for the drain thread. It runs on whichever thread logs,
    the loop's worker included, so it only appends: a bounded list, the overflow counted."""

    def __init__(self, capacity: int) -> None:
        super().__init__()
        self._capacity = capacity
        self._records: list[logging.LogRecord] = []
        self._guard = threading.Lock()
        self.dropped = 0

    def emit(self, record: logging.LogRecord) -> None:
        with self._guard:
            if len(self._records) < self._capacity:
                self._records.append(record)
            else:
                self.dropped += 1

    def take(self) -> list[logging.LogRecord]:
        with self._guard:
            records, self._records = self._records, []
        return records


class Recorder:
    """Records `loop` into the MCAP file at `path` while the context is open, and with `live`
    also serves the same channels over the Foxglove WebSocket protocol on `host`:`port` (port
    0 picks a free one: see `port`). `path` may also be a RecordingOutput opened beforehand
    (its own `live`, `host` and `port` then count); the recorder owns it from then on.

    Errors at entry (an unwritable path, a busy port, a bad capacity, a closed loop) raise there
    and leave the loop as it was, and an earlier file at `path` untouched. A failure while
    recording (a full or failing disk) ends the recording with a logged error, kept in
    `error`; the loop runs on."""

    def __init__(self, loop: RecordedLoop, path: str | os.PathLike[str] | RecordingOutput, *,
                 live: bool = False, host: str = "127.0.0.1", port: int = DEFAULT_PORT,
                 capacity: int = DEFAULT_CAPACITY, drain_interval: float = 0.1,
                 flush_interval: float = 0.5, close_timeout: float = 10.0) -> None:
        self._loop = loop
        self._given_output = path if isinstance(path, RecordingOutput) else None
        self.path = path.path if isinstance(path, RecordingOutput) else os.fspath(path)
        self._live = live
        self._host = host
        self._requested_port = port
        self._capacity = capacity
        self._drain_interval = drain_interval
        self._flush_interval = flush_interval
        self._close_timeout = close_timeout
        self._stopping = threading.Event()
        self._thread: threading.Thread | None = None
        self._output: RecordingOutput | None = None
        self._logs = _LogCollector(capacity)
        self.ticks = 0
        self.commands = 0
        self.failed_readings = 0
        self.dropped = 0
        self.error: BaseException | None = None

    @property
    def port(self) -> int | None:
        """The live server's port, while serving."""
        return self._output.port if self._output is not None else None

    @property
    def running(self) -> bool:
        return self._thread is not None and self._thread.is_alive()

    def __enter__(self) -> Recorder:
        output = self._given_output or self._open_output()
        try:
            self._loop.start_recording(self._capacity)
        except BaseException:
            output.discard()
            raise
        try:
            output.commit()
        except BaseException:
            self._loop.stop_recording()
            self._loop.take_recording()  # what it captured meanwhile goes nowhere
            output.discard()
            raise
        self._output = output
        logging.getLogger(MODULE_LOGGER).addHandler(self._logs)
        self._thread = threading.Thread(target=self._drain, args=(output,),
                                        name="vorlix-recorder", daemon=True)
        self._thread.start()
        return self

    def _open_output(self) -> RecordingOutput:
        return RecordingOutput(self.path, live=self._live, host=self._host,
                               port=self._requested_port)

    def __exit__(self, exc_type: type[BaseException] | None, exc: BaseException | None,
                 traceback: TracebackType | None) -> None:
        self.close()

    def close(self) -> None:
        """Stops capturing, writes what is left and closes the file. Waits at most
        `close_timeout` for a stalled disk."""
        if self._thread is None:  # never entered: the loop's recording is not ours
            return
        self._loop.stop_recording()
        self._stopping.set()
        self._thread.join(self._close_timeout)
        if self._thread.is_alive():
            logger.error("recording to %s: the file did not take the last records within %s s",
                         self.path, self._close_timeout)

    def _drain(self, output: RecordingOutput) -> None:
        try:
            # Linux keeps a nice value per thread: this lowers the drain thread alone.
            os.setpriority(os.PRIO_PROCESS, threading.get_native_id(), DRAIN_NICE)
            last_flush = time.monotonic()
            while not self._stopping.wait(self._drain_interval):
                self._write_pending(output)
                if time.monotonic() - last_flush >= self._flush_interval:
                    # Ends the chunk: a recording cut off later still reads up to here.
                    output.writer.flush()
                    last_flush = time.monotonic()
            self._write_pending(output)
            output.close()
        except Exception as error:  # a failing disk: the recording ends, the loop runs on
            self.error = output.file.failure or error
            logger.error("recording to %s stopped: %s", self.path, self.error)
            self._loop.stop_recording()
            output.discard()  # committed: what reached the file stays
        finally:
            logging.getLogger(MODULE_LOGGER).removeHandler(self._logs)
            output.stop_serving()

    def _write_pending(self, output: RecordingOutput) -> None:
        ticks, commands, dropped = self._loop.take_recording()
        if dropped:
            self.dropped += dropped
            when = ticks[0][0] if ticks else time.time()
            self._write_log(output, when, LogLevel.Warning, "vorlix_recording",
                            f"{dropped} records dropped: the recorder fell behind")
        for tick in ticks:
            log_time = messages.nanoseconds(tick[0])
            output.joints.log(messages.joints_message(tick), log_time=log_time)
            output.timing.log(messages.timing_message(tick, self.dropped), log_time=log_time)
            output.file.check()
            self.ticks += 1
            self.failed_readings += isinstance(tick[3], str)
        for command in commands:
            output.commands.log(messages.command_message(command),
                                log_time=messages.nanoseconds(command[0]))
            output.file.check()
            self.commands += 1
        for record in self._logs.take():
            level = getattr(LogLevel, messages.log_level_name(record))
            self._write_log(output, record.created, level, record.name, record.getMessage(),
                            record.pathname, record.lineno)

    def _write_log(self, output: RecordingOutput, when: float, level: LogLevel, name: str,
                   text: str, file: str = "", line: int = 0) -> None:
        output.log.log(Log(timestamp=Timestamp.from_epoch_secs(when), level=level, message=text,
                           name=name, file=file, line=line),
                       log_time=messages.nanoseconds(when))
        output.file.check()
