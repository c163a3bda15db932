"""Waits for the loop to report a posted command as executed. The loop's queue runs commands
in posting order and the capture reports them in that order, so the oldest waiter for a
command's name and arguments is the one its record answers. A record that comes after its
waiter gave up answers the next waiter for the same command, which asked for the same state."""

from __future__ import annotations

import threading
from collections.abc import Callable, Iterable
from typing import Any


class Outcome:
    """One posted command's report: `error` None when it succeeded."""

    def __init__(self, name: str, arguments: dict[str, Any]) -> None:
        self.name = name
        self.arguments = arguments
        self.error: str | None = None
        self._reported = threading.Event()

    def report(self, error: str | None) -> None:
        self.error = error
        self._reported.set()

    def wait(self, timeout: float) -> bool:
        return self._reported.wait(timeout)


class CommandOutcomes:
    def __init__(self) -> None:
        self._guard = threading.Lock()
        self._pending: list[Outcome] = []

    def post(self, name: str, arguments: dict[str, Any], post: Callable[[], Any]) -> Outcome:
        """Posts through `post` the command the capture records as `name` with `arguments`;
        returns its outcome to wait for. Registering and posting happen under one lock, so
        that the waiters queue as the commands do."""
        outcome = Outcome(name, arguments)
        with self._guard:
            self._pending.append(outcome)
            try:
                post()
            except BaseException:
                self._pending.remove(outcome)
                raise
        return outcome

    def forget(self, outcome: Outcome) -> None:
        """Stops waiting for `outcome`: its waiter gave up."""
        with self._guard:
            if outcome in self._pending:
                self._pending.remove(outcome)

    def report(self, commands: Iterable[tuple[float, str, dict[str, Any], str | None, float]]) -> None:
        for _, name, arguments, error, _ in commands:
            with self._guard:
                outcome = next((o for o in self._pending
                                if o.name == name and o.arguments == arguments), None)
                if outcome is not None:
                    self._pending.remove(outcome)
            if outcome is not None:
                outcome.report(error)
