"""The recorder: takes what the loop captured from a thread of its own and writes it to an
MCAP file, and to a Foxglove WebSocket server when live. The loop never waits for it: when it
falls behind, the loop's ring overwrites the oldest records and the loss is counted."""

from __future__ import annotations

import logging
import os
import threading
import time
from collections.abc import Callable
from types import TracebackType
from typing import Any, BinaryIO, Protocol

import foxglove
from foxglove.channels import LogChannel
from foxglove.messages import Log, LogLevel, Timestamp

from vorlix_recording import messages
from vorlix_recording.messages import Command, Tick

MODULE_LOGGER = "vorlix_motor_controller"
DEFAULT_CAPACITY = 100_000  # 1000 s of ticks at 10 ms
DEFAULT_PORT = 8765
# The drain thread's nice value: the lowest priority, so that on a busy CPU the loop, and the
# processes it talks to, run first whenever they wake.
DRAIN_NICE = 19

logger = logging.getLogger(__name__)


class RecordedLoop(Protocol):
    """What the recorder needs of a VorlixPyControlLoop."""

    def start_recording(self, capacity: int) -> None: ...
    def stop_recording(self) -> None: ...
    def take_recording(self) -> tuple[list[Tick], list[Command], int]: ...


class _WatchedFile:
    """The MCAP writer's file. Remembers the first failed write, so that the recorder stops at
    once instead of feeding a writer that refuses everything from then on."""

    def __init__(self, file: BinaryIO) -> None:
        self._file = file
        self.failure: OSError | None = None

    def _watched(self, operation: Callable[[], Any]) -> Any:
        try:
            return operation()
        except OSError as error:
            self.failure = self.failure or error
            raise

    def write(self, data: bytes) -> int:
        return int(self._watched(lambda: self._file.write(data)))

    def flush(self) -> None:
        self._watched(self._file.flush)

    def seek(self, offset: int, whence: int = os.SEEK_SET) -> int:
        return int(self._watched(lambda: self._file.seek(offset, whence)))

    def tell(self) -> int:
        return self._file.tell()

    def close(self) -> None:
        self._file.close()


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
    0 picks a free one: see `port`).

    Errors at entry (an unwritable path, a bad capacity, a closed loop, a busy port) raise there
    and leave the loop as it was. A failure while recording (a full or failing disk) ends the
    recording with a logged error, kept in `error`; the loop runs on."""

    def __init__(self, loop: RecordedLoop, path: str | os.PathLike[str], *, live: bool = False,
                 host: str = "127.0.0.1", port: int = DEFAULT_PORT,
                 capacity: int = DEFAULT_CAPACITY, drain_interval: float = 0.1,
                 flush_interval: float = 0.5, close_timeout: float = 10.0) -> None:
        self._loop = loop
        self.path = os.fspath(path)
        self._live = live
        self._host = host
        self._requested_port = port
        self._capacity = capacity
        self._drain_interval = drain_interval
        self._flush_interval = flush_interval
        self._close_timeout = close_timeout
        self._stopping = threading.Event()
        self._thread: threading.Thread | None = None
        self._server: foxglove.WebSocketServer | None = None
        self._logs = _LogCollector(capacity)
        self.ticks = 0
        self.commands = 0
        self.failed_readings = 0
        self.dropped = 0
        self.error: BaseException | None = None

    @property
    def port(self) -> int | None:
        """The live server's port, once serving."""
        return self._server.port if self._server is not None else None

    @property
    def running(self) -> bool:
        return self._thread is not None and self._thread.is_alive()

    def __enter__(self) -> Recorder:
        # The loop first: a bad capacity or a closed loop refuses before a file is touched.
        self._loop.start_recording(self._capacity)
        try:
            self._open_sinks()
        except BaseException:
            self._loop.stop_recording()
            self._loop.take_recording()  # what it captured meanwhile goes nowhere
            raise
        logging.getLogger(MODULE_LOGGER).addHandler(self._logs)
        self._thread = threading.Thread(target=self._drain, name="vorlix-recorder", daemon=True)
        self._thread.start()
        return self

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

    def _open_sinks(self) -> None:
        self._file = _WatchedFile(open(self.path, "wb"))
        try:
            self._context = context = foxglove.Context()
            self._joints = foxglove.Channel(messages.JOINTS_TOPIC, schema=messages.JOINTS_SCHEMA,
                                            context=context)
            self._timing = foxglove.Channel(messages.TIMING_TOPIC, schema=messages.TIMING_SCHEMA,
                                            context=context)
            self._commands = foxglove.Channel(messages.COMMANDS_TOPIC,
                                              schema=messages.COMMANDS_SCHEMA, context=context)
            self._log = LogChannel(messages.LOG_TOPIC, context=context)
            self._writer = foxglove.open_mcap(self._file, context=context)
            if self._live:
                self._server = foxglove.start_server(name="vorlix", host=self._host,
                                                     port=self._requested_port, context=context)
        except BaseException:
            self._file.close()
            os.unlink(self.path)
            raise

    def _drain(self) -> None:
        try:
            # Linux keeps a nice value per thread: this lowers the drain thread alone.
            os.setpriority(os.PRIO_PROCESS, threading.get_native_id(), DRAIN_NICE)
            last_flush = time.monotonic()
            while not self._stopping.wait(self._drain_interval):
                self._write_pending()
                if time.monotonic() - last_flush >= self._flush_interval:
                    # Ends the chunk: a recording cut off later still reads up to here.
                    self._writer.flush()
                    last_flush = time.monotonic()
            self._write_pending()
            self._writer.close()
            self._file.close()  # the last bytes reach the disk here
        except Exception as error:  # a failing disk: the recording ends, the loop runs on
            self.error = self._file.failure or error
            logger.error("recording to %s stopped: %s", self.path, self.error)
            self._loop.stop_recording()
            self._abandon_file()
        finally:
            logging.getLogger(MODULE_LOGGER).removeHandler(self._logs)
            if self._server is not None:
                self._server.stop()

    def _abandon_file(self) -> None:
        """Closes what is left after a failure, whose error is already reported."""
        try:
            self._writer.close()
        except Exception:
            pass
        try:
            self._file.close()
        except OSError:
            pass

    def _check_file(self) -> None:
        if self._file.failure is not None:
            raise self._file.failure

    def _write_pending(self) -> None:
        ticks, commands, dropped = self._loop.take_recording()
        if dropped:
            self.dropped += dropped
            when = ticks[0][0] if ticks else time.time()
            self._write_log(when, LogLevel.Warning, "vorlix_recording",
                            f"{dropped} records dropped: the recorder fell behind")
        for tick in ticks:
            log_time = messages.nanoseconds(tick[0])
            self._joints.log(messages.joints_message(tick), log_time=log_time)
            self._timing.log(messages.timing_message(tick, self.dropped), log_time=log_time)
            self._check_file()
            self.ticks += 1
            self.failed_readings += isinstance(tick[3], str)
        for command in commands:
            self._commands.log(messages.command_message(command),
                               log_time=messages.nanoseconds(command[0]))
            self._check_file()
            self.commands += 1
        for record in self._logs.take():
            level = getattr(LogLevel, messages.log_level_name(record))
            self._write_log(record.created, level, record.name, record.getMessage(),
                            record.pathname, record.lineno)

    def _write_log(self, when: float, level: LogLevel, name: str, text: str, file: str = "",
                   line: int = 0) -> None:
        self._log.log(Log(timestamp=Timestamp.from_epoch_secs(when), level=level, message=text,
                          name=name, file=file, line=line),
                      log_time=messages.nanoseconds(when))
        self._check_file()
