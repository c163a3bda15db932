"""The virtual torso's health registers and the faults they report: servo temperature and
status, the overload latch, and neck motors configured with other mapping ranges; and the
switches the fault matrix adds: a stalled adapter, noise before replies, a replugged adapter,
and a neck that lives through its interface going down."""

import os
import select
import struct
import subprocess
import time

import pytest
from vorlix_virtual_torso import VirtualServoBus
from vorlix_virtual_torso.neck_motor import PMAX, TIMEOUT

from loop_support import wait_until
from test_virtual_torso_neck import decode_state, feedback_request
from test_virtual_torso_servo_bus import (
    GOAL,
    PING,
    PRESENT,
    READ,
    REBOOT,
    TORQUE_ENABLE,
    WRITE,
    packet,
    status,
    word,
)

TEMPERATURE, STATUS = 63, 65
OVERHEAT, OVERLOAD = 0x04, 0x20


@pytest.fixture
def line(servo_bus, serial_line):
    return serial_line(servo_bus.serial_path)


def read(line, servo_id: int, address: int, count: int) -> tuple[int, bytes]:
    """A register read's error byte and data."""
    line.write(packet(servo_id, READ, address, count))
    reply = line.read(6 + count)
    assert reply[:4] == bytes([0xFF, 0xFF, servo_id, count + 2]), reply.hex(" ")
    return reply[4], reply[5:-1]


@pytest.mark.parametrize(
    "switch, temperature, status",
    [(None, 32, 0), ("overheated", 80, OVERHEAT), ("overload", 32, OVERLOAD)],
)
def test_temperature_and_status_registers(servo_bus, line, switch, temperature, status):
    if switch:
        setattr(servo_bus.servos[2], switch, True)
    assert read(line, 1, TEMPERATURE, 3) == (0, bytes([32, 0, 0]))
    # The error byte of every reply repeats the status.
    assert read(line, 2, TEMPERATURE, 3) == (status, bytes([temperature, 0, status]))


def test_an_overload_latch_holds_the_servo_limp_until_it_reboots(servo_bus, line):
    servo_bus.servos[4].overload = True
    assert read(line, 4, TORQUE_ENABLE, 1) == (OVERLOAD, b"\x00")
    for address, data in ((TORQUE_ENABLE, [1]), (GOAL, word(2500))):
        line.write(packet(4, WRITE, address, *data))
        assert line.read(6)[4] == OVERLOAD
    servo_bus.servos[4].advance(time.monotonic() + 0.05)  # 200 counts, had the servo torque
    assert read(line, 4, PRESENT, 2) == (OVERLOAD, word(2048))
    line.write(packet(4, REBOOT))
    line.read(6)
    time.sleep(servo_bus.reboot_silence * 2)
    assert read(line, 4, STATUS, 1) == (0, b"\x00")


def test_a_motor_maps_with_its_own_pmax(neck, can_peer):
    neck.motors[1].position = 1.0
    neck.motors[1].set_register(PMAX, 3.14)
    can_peer.send(0x7FF, bytes([2, 0, 0x33, PMAX, 0, 0, 0, 0]))
    _, reply = can_peer.recv()
    assert struct.unpack("<f", reply[4:])[0] == pytest.approx(3.14)
    can_peer.send(0x7FF, feedback_request(2))
    _, state = can_peer.recv()
    assert decode_state(state)["position"] == pytest.approx(1.0 * 12.5 / 3.14, abs=1e-3)
    can_peer.send(0x7FF, bytes([2, 0, 0x33, TIMEOUT, 0, 0, 0, 0]))
    assert can_peer.recv()[1][4:] == bytes(4)


# --- switches of the fault matrix -------------------------------------------------------------


def test_a_stalled_adapter_holds_replies_then_delivers_them_in_one_burst(servo_bus, line):
    servo_bus.stalled = True
    line.write(packet(1, PING))
    line.write(packet(2, PING))
    assert servo_bus.wait_for_requests(2) and line.read(1, timeout=0.1) == b""
    servo_bus.stalled = False
    assert line.read(12) == status(1) + status(2)
    line.write(packet(3, PING))
    assert line.read(6) == status(3)


def test_noise_comes_before_every_reply_until_cleared(servo_bus, line):
    servo_bus.servos[1].noise = b"\x00\x11"
    for _ in range(2):
        line.write(packet(1, PING))
        assert line.read(8) == b"\x00\x11" + status(1)
    servo_bus.servos[1].noise = b""
    line.write(packet(1, PING))
    assert line.read(6) + line.read(1, timeout=0.05) == status(1)


def test_a_replugged_adapter_serves_on_a_new_path_and_the_old_line_stays_dead(
    servo_bus, line, serial_line
):
    old_path = servo_bus.serial_path
    servo_bus.servos[4].encoder = 3000
    servo_bus.replug()
    assert servo_bus.serial_path != old_path
    poller = select.poll()
    poller.register(line.fd, select.POLLIN)
    assert poller.poll(500)[0][1] & select.POLLHUP
    assert read(serial_line(servo_bus.serial_path), 4, PRESENT, 2) == (0, word(3000))


def test_a_linked_adapter_unplugged_for_a_while_comes_back_at_its_path(tmp_path, serial_line):
    link = str(tmp_path / "ttyUSB0")
    with VirtualServoBus(link_path=link) as bus:
        bus.servos[4].encoder = 3000
        line = serial_line(link)
        unplugged = time.monotonic()
        bus.unplug(back_after=0.1)
        assert not os.path.lexists(link)
        poller = select.poll()
        poller.register(line.fd, select.POLLIN)
        assert poller.poll(500)[0][1] & select.POLLHUP
        plugged_back = wait_until(lambda: bus.plugged_back_at, 2.0, "the replug")
        assert plugged_back - unplugged >= 0.1 and bus.serial_path == link
        assert read(serial_line(link), 4, PRESENT, 2) == (0, word(3000))



def test_the_neck_serves_again_after_its_interface_went_down_and_up(neck, can_peer, can_iface):
    subprocess.run(["ip", "link", "set", can_iface, "down"], check=True)
    try:
        with pytest.raises(OSError):
            can_peer.send(0x7FF, feedback_request(1))
    finally:
        subprocess.run(["ip", "link", "set", can_iface, "up"], check=True)
    # The peer's own socket reports the down once; the neck must have lived through it.
    can_peer.recv_all(quiet=0.05)
    can_peer.send(0x7FF, feedback_request(1))
    assert can_peer.recv()[0] == 1
