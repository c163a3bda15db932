"""Where a recording goes: the MCAP file and, when live, the Foxglove WebSocket server, opened
before anything else is started so that a path or a port that fails costs nothing. A new
recording is written under a temporary name beside its final one and takes that name at
`commit`: until then an earlier recording of that name is left as it was."""

from __future__ import annotations

import errno
import os
import secrets
import stat
from collections.abc import Callable
from typing import Any, BinaryIO

import foxglove
from foxglove.channels import LogChannel
from foxglove.websocket import WebSocketServer

from vorlix_recording import messages

DEFAULT_PORT = 8765


class WatchedFile:
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

    def check(self) -> None:
        """Raises the first failed write, if any."""
        if self.failure is not None:
            raise self.failure

    def write(self, data: bytes | bytearray) -> int:
        return int(self._watched(lambda: self._file.write(data)))

    def flush(self) -> None:
        self._watched(self._file.flush)

    def seek(self, offset: int, whence: int = os.SEEK_SET) -> int:
        return int(self._watched(lambda: self._file.seek(offset, whence)))

    def tell(self) -> int:
        return self._file.tell()

    def close(self) -> None:
        self._file.close()


def _open_for_writing(path: str) -> tuple[BinaryIO, str, str | None]:
    """Opens the file the recording is written to, touching nothing at `path`: returns it, the
    file `path` names, and the temporary name, or None when `path` is a device or a pipe,
    written in place."""
    target = os.path.realpath(path)  # a link's own file is replaced, not the link
    try:
        mode = os.stat(target).st_mode
    except FileNotFoundError:
        mode = stat.S_IFREG
    if stat.S_ISDIR(mode):
        raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR), path)
    if not stat.S_ISREG(mode):
        return open(target, "wb"), target, None
    directory, name = os.path.split(target)
    temporary = os.path.join(directory, f".{name}.{secrets.token_hex(4)}.part")
    try:
        # 0o666 less the umask, as a file opened "wb" gets.
        descriptor = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC,
                             0o666)
    except OSError as error:  # named by the path asked for, not the temporary one
        raise OSError(error.errno, error.strerror, path) from None
    return os.fdopen(descriptor, "wb"), target, temporary


class RecordingOutput:
    """The recording's MCAP file and channels and, with `live`, the Foxglove WebSocket server
    on `host`:`port` (port 0 picks a free one: see `port`). Raises at construction, having
    left nothing behind, when the file cannot be written or the port not bound."""

    def __init__(self, path: str | os.PathLike[str], *, live: bool = False,
                 host: str = "127.0.0.1", port: int = DEFAULT_PORT) -> None:
        self.path = os.fspath(path)
        file, self._target, self._temporary = _open_for_writing(self.path)
        self.file = WatchedFile(file)
        self._server: WebSocketServer | None = None
        try:
            self._open_writer()
        except BaseException:
            self.file.close()
            self._remove_temporary()
            raise
        if live:
            try:
                self._server = foxglove.start_server(name="vorlix", host=host, port=port,
                                                     context=self._context)
            except RuntimeError as error:
                self.discard()
                raise RuntimeError(f"cannot serve live on {host}:{port}: {error}") from None

    def _open_writer(self) -> None:
        """The channels and their MCAP writer on `file`."""
        # Held for the file's life: a context dropped closes its channels.
        self._context = context = foxglove.Context()
        self.joints = foxglove.Channel(messages.JOINTS_TOPIC, schema=messages.JOINTS_SCHEMA,
                                       context=context)
        self.timing = foxglove.Channel(messages.TIMING_TOPIC, schema=messages.TIMING_SCHEMA,
                                       context=context)
        self.commands = foxglove.Channel(messages.COMMANDS_TOPIC,
                                         schema=messages.COMMANDS_SCHEMA, context=context)
        self.log = LogChannel(messages.LOG_TOPIC, context=context)
        self.writer: Any = foxglove.open_mcap(self.file, context=context)

    @property
    def port(self) -> int | None:
        """The live server's port, while serving."""
        return self._server.port if self._server is not None else None

    def commit(self) -> None:
        """Gives the file its name: from here on a recording cut off reads back under it."""
        if self._temporary is not None:
            os.replace(self._temporary, self._target)
            self._temporary = None

    def close(self) -> None:
        """Ends the file: its summary, then the last bytes to the disk."""
        self.writer.close()
        self.file.close()

    def stop_serving(self) -> None:
        if self._server is not None:
            self._server.stop()
            self._server = None

    def discard(self) -> None:
        """Closes what is left after a failure: stops serving, and removes the file unless it
        was committed."""
        self.stop_serving()
        try:
            self.writer.close()
        except Exception:  # a failing disk: the file goes anyway
            pass
        try:
            self.file.close()
        except OSError:
            pass
        self._remove_temporary()

    def _remove_temporary(self) -> None:
        if self._temporary is not None:
            os.unlink(self._temporary)
            self._temporary = None
