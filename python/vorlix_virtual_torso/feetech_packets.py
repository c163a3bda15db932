"""Feetech packets as a servo sees them: instruction packets in, status packets out."""

from dataclasses import dataclass

HEADER = b"\xff\xff"
BROADCAST_ID = 0xFE
# The length byte counts the data, the instruction or error byte and the checksum.
MAX_DATA = 0xFF - 2

PING = 0x01
READ = 0x02
WRITE = 0x03
REBOOT = 0x08
SYNC_READ = 0x82
SYNC_WRITE = 0x83


def checksum(body: bytes) -> int:
    """Bitwise NOT of the 8-bit sum of id, length, instruction or error, and data."""
    return ~sum(body) & 0xFF


@dataclass(frozen=True)
class Instruction:
    id: int
    code: int
    params: bytes


def parse_instruction(packet: bytes) -> Instruction | None:
    """A framed packet's instruction, or None when its checksum is wrong (the servo ignores it)."""
    if packet[-1] != checksum(packet[2:-1]):
        return None
    return Instruction(id=packet[2], code=packet[4], params=bytes(packet[5:-1]))


def status_packet(servo_id: int, error: int, data: bytes) -> bytearray:
    if len(data) > MAX_DATA:
        raise ValueError(f"a status packet carries at most {MAX_DATA} data bytes, not {len(data)}")
    body = bytes([servo_id, len(data) + 2, error]) + data
    return bytearray(HEADER + body + bytes([checksum(body)]))


class PacketFramer:
    """Cuts the received byte stream into framed instruction packets.

    Bytes before a header are line noise and dropped, as a servo's receiver does.
    """

    def __init__(self) -> None:
        self._buffer = bytearray()

    @property
    def pending(self) -> bool:
        """True while part of a packet is waiting for the rest."""
        return bool(self._buffer)

    def drop_pending(self) -> None:
        """Forgets an unfinished packet; a servo times out on a silent line the same way."""
        self._buffer.clear()

    def feed(self, data: bytes) -> list[bytes]:
        """Adds received bytes and returns the packets they complete, in order."""
        self._buffer += data
        packets: list[bytes] = []
        while True:
            start = self._buffer.find(HEADER)
            if start < 0:
                # A trailing FF may be the first half of the next header.
                keep = 1 if self._buffer.endswith(b"\xff") else 0
                del self._buffer[: len(self._buffer) - keep]
                return packets
            del self._buffer[:start]
            if len(self._buffer) < 4:
                return packets
            if self._buffer[2] == 0xFF:
                # FF FF FF: 0xFF is no servo id, so the header starts one byte later.
                del self._buffer[0]
                continue
            length = self._buffer[3]
            if length < 2:
                # Too short to hold an instruction and a checksum: not a packet.
                del self._buffer[:2]
                continue
            if len(self._buffer) < 4 + length:
                return packets
            packets.append(bytes(self._buffer[: 4 + length]))
            del self._buffer[: 4 + length]
