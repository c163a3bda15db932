"""Waiting for a bus's traffic to settle, shared by the servo and the neck helpers."""

from collections.abc import Callable


def settled(wait_for: Callable[..., list], expected_count: int, describe: Callable) -> list:
    """What a bus received, described, once expected_count items arrived and a short quiet
    spell showed that nothing followed (traffic that gets no reply, such as a sync write,
    may land after the call that sent it returned)."""
    wait_for(expected_count, timeout=2.0)
    return [describe(item) for item in wait_for(expected_count + 1, timeout=0.05)]
