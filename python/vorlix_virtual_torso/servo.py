"""One virtual Feetech servo: its register file, its motion and its fault switches."""

import threading
import time

from .feetech_packets import MAX_DATA, PING, READ, REBOOT, WRITE, Instruction, status_packet

ID = 5
P_GAIN = 21
D_GAIN = 22
I_GAIN = 23
POSITION_OFFSET = 31
TORQUE_ENABLE = 40
GOAL_POSITION = 42
LOCK = 55
PRESENT_POSITION = 56
PRESENT_VOLTAGE = 62
PRESENT_TEMPERATURE = 63
STATUS = 65

# The status register's fault bits, which every reply's error byte repeats.
VOLTAGE_FAULT = 0x01
SENSOR_FAULT = 0x02
OVERHEAT_FAULT = 0x04
OVERCURRENT_FAULT = 0x08
OVERLOAD_FAULT = 0x20

# Addresses below the torque enable are kept in EEPROM and obey the lock; from the present
# position on, the registers report the servo's state and ignore writes.
EEPROM_END = TORQUE_ENABLE
READ_ONLY_START = PRESENT_POSITION

ENCODER_MIN = 0
ENCODER_MAX = 4095
ENCODER_START = 2048  # the middle of the travel, 0 rad with no offset
DEFAULT_SPEED = 4096.0  # counts per second while tracking the goal: one turn a second
DEFAULT_GAINS = {P_GAIN: 32, D_GAIN: 32, I_GAIN: 0}
TEMPERATURE = 32  # degrees Celsius, a servo at work in a room
OVERHEATED_TEMPERATURE = 80  # past the 70 degrees at which these servos protect themselves


def _offset_counts(raw: int) -> int:
    """The position offset: sign-magnitude, bit 11 the sign."""
    magnitude = raw & 0x7FF
    return -magnitude if raw & 0x800 else magnitude


def _int16(value: int) -> int:
    return max(-0x8000, min(0x7FFF, value))


class VirtualServo:
    """A servo of the virtual bus. The bus serialises all access with its lock.

    The present position is worked out whenever it is looked at, from the time that passed
    since the last look, so it is always current without a thread ticking it.
    """

    def __init__(self, servo_id: int, lock: threading.RLock) -> None:
        self.id = servo_id
        self._lock = lock
        self.registers = bytearray(256)
        self.registers[ID] = servo_id
        for address, value in DEFAULT_GAINS.items():
            self.registers[address] = value
        self.registers[LOCK] = 1
        self.speed = DEFAULT_SPEED
        self._encoder = float(ENCODER_START)
        self._moved_at = time.monotonic()
        self._silent_until = 0.0
        self._store_present()
        self._set_word(GOAL_POSITION, self._word(PRESENT_POSITION))

        # Fault switches, set by tests.
        self.absent = False
        self.reply_delay = 0.0
        self.corrupt_checksum = False
        self.stray_bytes = b""  # before the next reply only
        self.noise = b""  # before every reply, until cleared
        self.wrong_id: int | None = None
        self.bad_header = False
        self.blocked = False
        self.overheated = False  # reads a temperature past the limit and the overheat bit
        self._overload = False
        self._store_health()

    @property
    def overload(self) -> bool:
        """The overload latch: set, the servo has cut its torque and stays limp, whatever is
        written, until it reboots."""
        return self._overload

    @overload.setter
    def overload(self, latched: bool) -> None:
        with self._lock:
            self.advance(time.monotonic())
            self._overload = latched
            if latched:
                self.registers[TORQUE_ENABLE] = 0
            self._store_health()

    @property
    def encoder(self) -> int:
        with self._lock:
            self.advance(time.monotonic())
            return round(self._encoder)

    @encoder.setter
    def encoder(self, value: int) -> None:
        with self._lock:
            self.advance(time.monotonic())
            self._encoder = float(value)
            self._store_present()

    def listening(self, now: float) -> bool:
        return not self.absent and now >= self._silent_until

    def advance(self, now: float) -> None:
        """Moves the encoder towards the goal for the time since the last call."""
        elapsed = now - self._moved_at
        self._moved_at = now
        if self.registers[TORQUE_ENABLE] and not self.blocked and not self._overload:
            target = self._word(GOAL_POSITION) + self._offset()
            target = max(ENCODER_MIN, min(ENCODER_MAX, target))
            step = self.speed * elapsed
            self._encoder += max(-step, min(step, target - self._encoder))
        self._store_present()
        self._store_health()

    def set_voltage(self, tenths_of_volt: int) -> None:
        self.registers[PRESENT_VOLTAGE] = tenths_of_volt

    def execute(self, instruction: Instruction, now: float, reboot_silence: float) -> bytes | None:
        """Carries out an instruction addressed to this servo; returns its reply data, or None
        when the servo does not answer (a malformed request or an unknown instruction)."""
        params = instruction.params
        if instruction.code == PING and not params:
            return b""
        if instruction.code == READ and len(params) == 2:
            return self.read(params[0], params[1])
        if instruction.code == WRITE and len(params) >= 2:
            return b"" if self.write(params[0], params[1:], now) else None
        if instruction.code == REBOOT and not params:
            self.reboot(now, reboot_silence)
            return b""
        return None

    def read(self, address: int, count: int) -> bytes | None:
        """The registers asked for, or None when the servo does not answer: the range is out
        of the file, or the reply would not fit in one status packet."""
        if address + count > len(self.registers) or count > MAX_DATA:
            return None
        return bytes(self.registers[address : address + count])

    def write(self, address: int, data: bytes, now: float) -> bool:
        """Writes what the servo lets be written; False when the range is out of the file."""
        if address + len(data) > len(self.registers):
            return False
        self.advance(now)  # motion so far follows the old goal and torque
        locked = self.registers[LOCK] != 0
        for index, value in enumerate(data, start=address):
            if index >= READ_ONLY_START or (index < EEPROM_END and locked):
                continue
            self.registers[index] = value
        self._store_present()
        return True

    def reboot(self, now: float, silence: float) -> None:
        """Restarts: the RAM registers take their power-on values; the servo is deaf a while."""
        self.advance(now)
        self.registers[TORQUE_ENABLE] = 0
        self.registers[LOCK] = 1
        self._set_word(GOAL_POSITION, self._word(PRESENT_POSITION))
        self._overload = False
        self._store_health()
        self._silent_until = now + silence

    def status(self, data: bytes) -> bytes:
        """The status packet answering with data, with the fault switches applied."""
        servo_id = self.id if self.wrong_id is None else self.wrong_id
        packet = status_packet(servo_id, self.registers[STATUS], data)
        if self.corrupt_checksum:
            packet[-1] ^= 0xFF
        if self.bad_header:
            packet[0] = 0x00
        stray, self.stray_bytes = self.stray_bytes, b""
        return self.noise + stray + bytes(packet)

    def _offset(self) -> int:
        raw = self.registers[POSITION_OFFSET : POSITION_OFFSET + 2]
        return _offset_counts(int.from_bytes(raw, "little"))

    def _store_present(self) -> None:
        self._set_word(PRESENT_POSITION, _int16(round(self._encoder) - self._offset()))

    def _store_health(self) -> None:
        hot = self.overheated
        self.registers[PRESENT_TEMPERATURE] = OVERHEATED_TEMPERATURE if hot else TEMPERATURE
        self.registers[STATUS] = (OVERHEAT_FAULT if hot else 0) | (
            OVERLOAD_FAULT if self._overload else 0
        )

    def _word(self, address: int) -> int:
        return int.from_bytes(self.registers[address : address + 2], "little", signed=True)

    def _set_word(self, address: int, value: int) -> None:
        self.registers[address : address + 2] = value.to_bytes(2, "little", signed=True)
