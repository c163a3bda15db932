"""The virtual servo bus, byte for byte over its pty."""

import math
import select
import time

import pytest

from vorlix_virtual_torso import VirtualServoBus
from vorlix_virtual_torso.servo_bus import MISSING_ANSWER_WAIT

PING, READ, WRITE, REBOOT, SYNC_READ, SYNC_WRITE = 0x01, 0x02, 0x03, 0x08, 0x82, 0x83
BROADCAST = 0xFE
TORQUE_ENABLE, GOAL, OFFSET, LOCK, PRESENT, VOLTAGE = 40, 42, 31, 55, 56, 62


def packet(servo_id: int, code: int, *params: int) -> bytes:
    """An instruction packet (the checksum is checked against golden bytes below)."""
    body = bytes([servo_id, len(params) + 2, code, *params])
    return b"\xff\xff" + body + bytes([~sum(body) & 0xFF])


def status(servo_id: int, data: bytes = b"") -> bytes:
    body = bytes([servo_id, len(data) + 2, 0]) + data
    return b"\xff\xff" + body + bytes([~sum(body) & 0xFF])


def word(value: int) -> bytes:
    return value.to_bytes(2, "little", signed=True)


@pytest.fixture
def line(servo_bus, serial_line):
    return serial_line(servo_bus.serial_path)


def exchange(line, request: bytes, length: int, quiet: float = 0.05) -> bytes:
    """Sends request; returns the length bytes of the reply and whatever else came before
    the line stayed quiet, so extra bytes fail a comparison."""
    line.write(request)
    reply = line.read(length)
    return reply + line.read(1, timeout=quiet)


def read_register(line, servo_id: int, address: int, count: int) -> bytes:
    reply = exchange(line, packet(servo_id, READ, address, count), 6 + count, quiet=0)
    assert reply[:5] == bytes([0xFF, 0xFF, servo_id, count + 2, 0]), reply.hex(" ")
    return reply[5:-1]


def present(line, servo_id: int) -> int:
    return int.from_bytes(read_register(line, servo_id, PRESENT, 2), "little", signed=True)


def write_register(line, servo_id: int, address: int, *data: int) -> None:
    assert exchange(line, packet(servo_id, WRITE, address, *data), 6, quiet=0) == status(servo_id)


@pytest.mark.parametrize(
    "request_hex, reply_hex",
    [
        ("FF FF 01 02 01 FB", "FF FF 01 02 00 FC"),  # ping servo 1
        ("FF FF 07 02 01 F5", "FF FF 07 02 00 F6"),  # ping servo 7
        ("FF FF 01 04 02 38 02 BE", "FF FF 01 04 00 00 08 F2"),  # present position 2048
        ("FF FF 05 02 08 F0", "FF FF 05 02 00 F8"),  # reboot servo 5
        (
            "FF FF FE 08 82 38 02 01 02 03 04 33",  # sync read of present position, 1 to 4
            "FF FF 01 04 00 00 08 F2 FF FF 02 04 00 00 08 F1 "
            "FF FF 03 04 00 00 08 F0 FF FF 04 04 00 00 08 EF",
        ),
    ],
)
def test_golden_exchanges(line, request_hex, reply_hex):
    reply = bytes.fromhex(reply_hex)
    assert exchange(line, bytes.fromhex(request_hex), len(reply)) == reply


@pytest.mark.parametrize("ids", [(1, 2, 3, 4), (4, 2, 3, 1), (7, 5), (3,)])
def test_sync_read_answers_in_the_requested_order(servo_bus, line, ids):
    for servo_id, servo in servo_bus.servos.items():
        servo.encoder = 1000 + 100 * servo_id
    expected = b"".join(status(i, word(1000 + 100 * i)) for i in ids)
    reply = exchange(line, packet(BROADCAST, SYNC_READ, PRESENT, 2, *ids), len(expected))
    assert reply == expected


def test_sync_write_is_applied_and_not_answered(servo_bus, line):
    request = packet(BROADCAST, SYNC_WRITE, TORQUE_ENABLE, 1, 1, 1, 2, 1, 3, 0, 4, 1)
    assert exchange(line, request, 0, quiet=0.1) == b""
    torque = [read_register(line, i, TORQUE_ENABLE, 1) for i in range(1, 6)]
    assert torque == [b"\x01", b"\x01", b"\x00", b"\x01", b"\x00"]


@pytest.mark.parametrize(
    "torque, blocked, moves", [(1, False, True), (0, False, False), (1, True, False)]
)
def test_present_position_follows_the_goal_while_torque_is_on(
    servo_bus, line, torque, blocked, moves
):
    servo = servo_bus.servos[3]
    servo.blocked = blocked
    write_register(line, 3, GOAL, *word(2500))
    started = time.monotonic()
    write_register(line, 3, TORQUE_ENABLE, torque)
    travel = (2500 - 2048) / servo.speed
    if moves:
        while present(line, 3) != 2500:
            assert time.monotonic() - started < travel + 2.0, "the servo never arrived"
        # At the servo's speed, not in one jump; the position reads rounded, so the last half
        # step shows early.
        assert time.monotonic() - started >= travel - 0.5 / servo.speed
    else:
        # The motion is worked out from the time given: look as long after as the whole
        # travel would take, without waiting for it.
        servo.advance(time.monotonic() + 2 * travel)
        assert servo.registers[PRESENT : PRESENT + 2] == word(2048)


@pytest.mark.parametrize("offset_raw, offset", [(100, 100), (0x0800 | 100, -100)])
def test_offset_is_written_only_while_unlocked(servo_bus, line, offset_raw, offset):
    servo_bus.servos[2].encoder = 3000
    write_register(line, 2, OFFSET, *offset_raw.to_bytes(2, "little"))  # locked by default
    assert read_register(line, 2, OFFSET, 2) == b"\x00\x00"
    assert present(line, 2) == 3000

    write_register(line, 2, LOCK, 0)
    write_register(line, 2, OFFSET, *offset_raw.to_bytes(2, "little"))
    write_register(line, 2, LOCK, 1)
    assert read_register(line, 2, OFFSET, 2) == offset_raw.to_bytes(2, "little")
    assert present(line, 2) == 3000 - offset
    assert servo_bus.servos[2].encoder == 3000


def test_present_position_ignores_writes(line):
    write_register(line, 1, PRESENT, *word(100))
    assert present(line, 1) == 2048


def test_reboot_turns_torque_off_and_silences_the_servo_a_while(servo_bus, line):
    servo_bus.reboot_silence = 0.3
    write_register(line, 4, TORQUE_ENABLE, 1)
    write_register(line, 4, LOCK, 0)
    assert exchange(line, packet(4, REBOOT), 6) == status(4)
    assert exchange(line, packet(4, PING), 0, quiet=0.1) == b""
    assert exchange(line, packet(5, PING), 6) == status(5)  # the others still answer
    time.sleep(0.3)
    assert exchange(line, packet(4, PING), 6) == status(4)
    assert read_register(line, 4, TORQUE_ENABLE, 1) == b"\x00"
    assert servo_bus.servos[4].registers[LOCK] == 1


@pytest.mark.parametrize(
    "noise",
    [
        bytes.fromhex("FF FF 01 02 01 FA"),  # a ping with a wrong checksum
        bytes.fromhex("00 13 FE"),  # line noise
        bytes.fromhex("FF FF 01 04 02"),  # a packet cut short, dropped after a silence
        packet(1, READ, 250, 10),  # a read past the register file
        packet(1, READ, 0, 254),  # a reply too long for its length byte
        packet(1, READ, 1, 255),
        packet(BROADCAST, SYNC_READ, 0, 254, 1, 2),
        packet(1, 0x55),  # an unknown instruction
        packet(9, PING),  # nobody has that id
    ],
)
def test_bad_requests_get_no_reply_and_do_not_disturb_the_next(line, noise):
    assert exchange(line, noise, 0, quiet=0.1) == b""
    assert exchange(line, packet(1, PING), 6) == status(1)


def test_the_longest_reply_fills_the_length_byte(line):
    reply = exchange(line, packet(1, READ, 0, 253), 6 + 253)
    assert reply[:5] == bytes.fromhex("FF FF 01 FF 00") and len(reply) == 6 + 253


def test_a_fault_in_handling_a_request_is_logged_and_serving_goes_on(
    servo_bus, line, caplog, monkeypatch
):
    def failing(*_):
        raise RuntimeError("a fault in the simulator")

    monkeypatch.setattr(servo_bus.servos[1], "execute", failing)
    assert exchange(line, packet(1, PING), 0, quiet=0.1) == b""
    assert exchange(line, packet(2, PING), 6) == status(2)
    assert "a fault in the simulator" in caplog.text


@pytest.mark.parametrize(
    "switch, value, reply_hex",
    [
        ("wrong_id", 9, "FF FF 09 02 00 F4"),
        ("bad_header", True, "00 FF 01 02 00 FC"),
        ("corrupt_checksum", True, "FF FF 01 02 00 03"),
        ("stray_bytes", b"\x00\x11", "00 11 FF FF 01 02 00 FC"),
        ("absent", True, ""),
    ],
)
def test_fault_switches_shape_the_reply(servo_bus, line, switch, value, reply_hex):
    setattr(servo_bus.servos[1], switch, value)
    reply = bytes.fromhex(reply_hex)
    assert exchange(line, packet(1, PING), len(reply)) == reply


def test_stray_bytes_come_before_one_reply_only(servo_bus, line):
    servo_bus.servos[1].stray_bytes = b"\x00\x11"
    assert exchange(line, packet(1, PING), 8) == b"\x00\x11" + status(1)
    assert exchange(line, packet(1, PING), 6) == status(1)


def test_an_absent_servo_ignores_sync_writes_and_holds_back_later_sync_read_answers(
    servo_bus, line
):
    servo_bus.servos[3].absent = True
    line.write(packet(BROADCAST, SYNC_WRITE, TORQUE_ENABLE, 1, 2, 1, 3, 1))
    sent = time.monotonic()
    line.write(packet(BROADCAST, SYNC_READ, TORQUE_ENABLE, 1, 2, 3, 4))
    assert line.read(7) == status(2, b"\x01")
    # Servo 4 waits for 3 longer than the controller's 10 ms time-out before answering.
    assert line.read(7) == status(4, b"\x00")
    assert time.monotonic() - sent >= MISSING_ANSWER_WAIT
    assert servo_bus.servos[3].registers[TORQUE_ENABLE] == 0


def test_a_delayed_reply_holds_back_the_later_answers_of_a_sync_read(servo_bus, line):
    servo_bus.servos[2].reply_delay = 0.3
    started = time.monotonic()
    line.write(packet(BROADCAST, SYNC_READ, LOCK, 1, 1, 2, 3))
    # The answer before the pause is not held back with the ones after it.
    assert line.read(7) == status(1, b"\x01")
    assert time.monotonic() - started < 0.3  # before servo 2's pause ended
    assert line.read(14, timeout=1.0) == status(2, b"\x01") + status(3, b"\x01")
    assert time.monotonic() - started >= 0.3


def all_voltages(line) -> list[int]:
    reply = exchange(line, packet(BROADCAST, SYNC_READ, VOLTAGE, 1, *range(1, 8)), 7 * 7, quiet=0)
    return [reply[i * 7 + 5] for i in range(7)]


def test_voltage_is_steady_by_default_and_ramps_on_request(servo_bus, line):
    assert all_voltages(line) == [120] * 7
    started = time.monotonic()
    servo_bus.voltage_ramp(start=0, target=110, seconds=0.5)
    voltages = all_voltages(line)
    # No further up the ramp than the time since it began allows, however late the reply.
    highest = math.ceil(110 * (time.monotonic() - started) / 0.5)
    assert all(v <= highest for v in voltages), (voltages, highest)
    time.sleep(0.55)
    assert all_voltages(line) == [110] * 7
    with pytest.raises(ValueError):
        servo_bus.voltage_ramp(start=0, target=256, seconds=1.0)


def test_requests_are_recorded_in_order(servo_bus, line):
    sync_write = packet(BROADCAST, SYNC_WRITE, TORQUE_ENABLE, 1, 5, 1)
    corrupted = bytes.fromhex("FF FF 01 02 01 FA")
    for request in (packet(1, PING), sync_write, corrupted):
        line.write(request)
    assert servo_bus.wait_for_requests(3) == [packet(1, PING), sync_write, corrupted]
    assert servo_bus.take_requests() == [packet(1, PING), sync_write, corrupted]
    assert servo_bus.requests == []
    line.write(packet(2, PING))
    assert servo_bus.wait_for_requests(1) == [packet(2, PING)]
    servo_bus.clear_requests()
    assert servo_bus.requests == []


def test_unplug_hangs_up_the_line(servo_bus, line):
    servo_bus.unplug()
    poller = select.poll()
    poller.register(line.fd, select.POLLIN)
    events = poller.poll(500)
    assert events and events[0][1] & select.POLLHUP


def test_wire_time_adds_ten_microseconds_a_byte(serial_line):
    with VirtualServoBus(wire_time=True) as bus:
        line = serial_line(bus.serial_path)
        started = time.monotonic()
        reply = exchange(line, packet(1, READ, 0, 250), 256, quiet=0)
        elapsed = time.monotonic() - started
    assert len(reply) == 256
    assert elapsed >= (8 + 256) * 10e-6
