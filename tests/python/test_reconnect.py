"""The control loop through a servo line unplugged and plugged back at the same path, a CAN
interface deleted and added again and one down for long: readings back within a second of the
return, every time; one warning and one info line for each gap; nothing queued before a bus
came back is sent on it after."""

import logging
import os
import subprocess
import time
from collections.abc import Callable
from dataclasses import dataclass

import pytest
from vorlix_virtual_torso import VirtualServoBus

from conftest import Torso, serving_first
from loop_support import COMMUNICATION, LOOP_LOGGER, HeldWorker, open_loop, wait_until
from test_fault_matrix import NECK_YAW, NOSE_TOP, SHOWS_IN, Commands, landed, reading_error

BACK_WITHIN = 1.0  # s from the device's return to a good reading
GAPS = 3
RECONNECT_INTERVAL = 0.2  # s: the worker's default
DOWN_LIMIT = 1.0  # s: the worker's default for an interface taken for gone
STALE = [round(-0.4 + k * 0.02, 2) for k in range(20)]  # posted while the bus is away
FRESH = [0.33]


def ip(*arguments: str) -> None:
    subprocess.run(["ip", "link", *arguments], check=True)


@dataclass(frozen=True)
class Gap:
    name: str
    away: Callable[[Torso], None]
    back: Callable[[Torso], None]
    warning: str  # what the loop's warning says
    commands: Commands  # on the bus that goes away


GAP_KINDS = [
    Gap("servo line", lambda torso: torso.servo_bus.unplug(),
        lambda torso: torso.servo_bus.replug(), "hung up", NOSE_TOP),
    Gap("CAN interface", lambda torso: ip("del", torso.can_iface),
        lambda torso: (ip("add", "dev", torso.can_iface, "type", "vcan"),
                       ip("set", torso.can_iface, "up")), "went away", NECK_YAW),
    # Longer than the worker's limit of one second, which the wait for the warning makes sure.
    Gap("CAN interface down", lambda torso: ip("set", torso.can_iface, "down"),
        lambda torso: ip("set", torso.can_iface, "up"), "went away", NECK_YAW),
]


@pytest.fixture
def linked_torso(tmp_path, neck) -> Torso:
    """The servo line behind a stable name, as udev gives a USB adapter."""
    with VirtualServoBus(link_path=str(tmp_path / "ttyUSB0")) as bus:
        serving_first()
        yield Torso(bus, neck)
    # A failed test must not leave the next one without its interface.
    if not os.path.exists(f"/sys/class/net/{neck.iface}"):
        ip("add", "dev", neck.iface, "type", "vcan")
    ip("set", neck.iface, "up")


def logged(caplog, words: str) -> list[int]:
    """The levels of the loop's records that say `words`."""
    return [r.levelno for r in caplog.records if r.name == LOOP_LOGGER and words in r.getMessage()]


def good_reading_after(loop, moment: float):
    try:
        position = loop.get_last_position()
    except RuntimeError:
        return None
    return position if position.timestamp > moment else None


@pytest.mark.parametrize("gap", GAP_KINDS, ids=lambda gap: gap.name)
def test_readings_are_back_within_a_second_of_the_return(linked_torso, gap, caplog):
    caplog.set_level(logging.INFO, LOOP_LOGGER)
    loop = open_loop(linked_torso)
    try:
        for gaps in range(1, GAPS + 1):
            gap.away(linked_torso)
            wait_until(lambda: reading_error(loop) == COMMUNICATION, SHOWS_IN, "the failure")
            wait_until(lambda: len(logged(caplog, gap.warning)) == gaps, SHOWS_IN + DOWN_LIMIT,
                       f"the warning {gaps}")
            gap.back(linked_torso)
            returned = time.time()
            reading = wait_until(lambda: good_reading_after(loop, returned), 3 * BACK_WITHIN,
                                 "a good reading")
            assert reading.timestamp - returned < BACK_WITHIN
            wait_until(lambda: len(logged(caplog, "is back after")) == gaps, BACK_WITHIN,
                       f"the return {gaps}")
    finally:
        loop.close()
    levels = {words: logged(caplog, words) for words in (gap.warning, "is back after")}
    assert levels == {gap.warning: [logging.WARNING] * GAPS, "is back after": [logging.INFO] * GAPS}


@pytest.mark.parametrize("gap", GAP_KINDS, ids=lambda gap: gap.name)
def test_nothing_queued_before_the_return_reaches_the_bus_after_it(linked_torso, gap):
    loop = open_loop(linked_torso)
    try:
        with HeldWorker(LOOP_LOGGER, gap.warning) as held:
            gap.away(linked_torso)
            assert held.entered.wait(5), "the loop never warned of the gap"
            gap.commands.post(loop, STALE)
            gap.back(linked_torso)
            # Held past the worker's interval: its first tick once released reopens the bus,
            # with most of the stale commands still queued.
            held_since = time.monotonic()
            wait_until(lambda: time.monotonic() - held_since > RECONNECT_INTERVAL)
        released = time.time()
        wait_until(lambda: good_reading_after(loop, released), 3 * BACK_WITHIN, "a good reading")
        gap.commands.post(loop, FRESH)
        wait_until(lambda: landed(linked_torso, gap.commands, FRESH), 2.0, "the fresh command")
        assert not set(STALE) & set(gap.commands.received(linked_torso))
    finally:
        loop.close()
