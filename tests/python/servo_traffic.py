"""The servo side of the bus as the tests read it: register addresses, and the instruction
packets the virtual servos received as readable tuples."""

import math

from vorlix_virtual_torso.feetech_packets import SYNC_READ, SYNC_WRITE, parse_instruction

from traffic import settled

ARM = [1, 2, 3, 4]
NOSE = [5, 6, 7]
ALL_SERVOS = ARM + NOSE
POSITION_OFFSET = 31
TORQUE_ENABLE = 40
GOAL_POSITION = 42
LOCK = 55
PRESENT_POSITION = 56
NECK_ONLY = "serial port not configured (neck-only controller)"
PING_SERVO_1 = bytes.fromhex("FF FF 01 02 01 FB")


def describe(packet: bytes) -> tuple:
    """One instruction packet as a readable tuple; sync writes list (id, value) pairs."""
    assert packet[3] == len(packet) - 4, f"length byte wrong in {packet.hex(' ')}"
    instruction = parse_instruction(packet)
    assert instruction is not None, f"checksum wrong in {packet.hex(' ')}"
    params = instruction.params
    if instruction.code == SYNC_WRITE:
        address, group = params[0], params[1] + 1
        groups = params[2:]
        return (
            "sync_write",
            address,
            [
                (groups[i], int.from_bytes(groups[i + 1 : i + group], "little", signed=group > 2))
                for i in range(0, len(groups), group)
            ],
        )
    if instruction.code == SYNC_READ:
        return ("sync_read", params[0], params[1], list(params[2:]))
    return (instruction.code, instruction.id, params)


def sent(bus, expected_count: int) -> list[tuple]:
    """The requests the servos received, described, once they settled."""
    return settled(bus.wait_for_requests, expected_count, describe)


def torque_write(ids, value):
    return ("sync_write", TORQUE_ENABLE, [(i, value) for i in ids])


def goal_register(servo) -> int:
    return int.from_bytes(servo.registers[GOAL_POSITION : GOAL_POSITION + 2], "little", signed=True)


def radians(raw: int) -> float:
    """Present-position counts to radians: 2048 is 0 rad, 4096 counts a turn."""
    return raw * (2 * math.pi) * 2**-12 - math.pi
