# Typed description of the extension module. Kept by hand: tests/python/test_typing.py runs
# stubtest against the built module and compares every docstring with the live one.
import builtins
import datetime
import typing

@typing.final
class VorlixMotorController:
    def __new__(
        cls, serialport: typing.Optional[builtins.str] = None, can_bus: builtins.str = ...
    ) -> VorlixMotorController:
        """Create a new motor controller for the given serial port and CAN bus.

        # Arguments
        * `serialport` - Path to (Unix) or COM ID (Windows) of the serial port.
          Pass `None` to build a neck-only (CAN) controller; arm/nose methods
          will then raise an exception.
        * `can_bus` - SocketCAN interface name for the neck Damiao motors (default `"can0"`).
        """
    def is_torque_enabled(self) -> builtins.bool:
        """Is torque enabled on all motors"""
    def enable_torque(self) -> None:
        """Enable torque on all motors."""
    def enable_torque_on_ids(self, ids: typing.Sequence[builtins.int]) -> None:
        """Enable torque on ids"""
    def disable_torque(self) -> None:
        """Disable torque on all motors."""
    def disable_torque_on_ids(self, ids: typing.Sequence[builtins.int]) -> None:
        """Disable torque on ids"""
    def read_all_positions(self) -> builtins.list[builtins.float]:
        """Read all motor positions as a 7-element array.
        Order: [left_arm_pitch, left_arm_yaw, right_arm_pitch, right_arm_yaw, nose_top, nose_left, nose_right]
        """
    def set_all_goal_positions(self, positions: typing.Sequence[builtins.float]) -> None:
        """Set goal positions for all motors (7 values).

        # Arguments
        * `positions` - Array of 7 goal positions
          (left_arm_pitch, left_arm_yaw, right_arm_pitch, right_arm_yaw, nose_top, nose_left, nose_right).
        """
    def set_left_arm_position(self, position: typing.Sequence[builtins.float]) -> None:
        """Set goal positions for the left arm (2 values: pitch, yaw)."""
    def set_right_arm_position(self, position: typing.Sequence[builtins.float]) -> None:
        """Set goal positions for the right arm (2 values: pitch, yaw)."""
    def set_arms_position(self, position: typing.Sequence[builtins.float]) -> None:
        """Set goal positions for both arms (4 values: left pitch, left yaw, right pitch, right yaw)."""
    def set_nose_position(self, position: typing.Sequence[builtins.float]) -> None:
        """Set goal positions for the nose (3 values)."""
    def set_neck_position(
        self, position: typing.Sequence[builtins.float]
    ) -> builtins.list[builtins.float]:
        """Set goal positions for the neck (3 values: yaw, pitch, roll). Returns
        the observed positions reported by the motor replies.
        """
    def set_neck_yaw_position(self, position: builtins.float) -> builtins.float: ...
    def set_neck_pitch_position(self, position: builtins.float) -> builtins.float: ...
    def set_neck_roll_position(self, position: builtins.float) -> builtins.float: ...
    def neck_position_limits(self) -> builtins.list[tuple[builtins.float, builtins.float]]:
        """Hard safety bounds (lower, upper) in rad for each neck joint.
        Order: [yaw, pitch, roll]. Every neck setter clamps to these bounds
        before commanding the motor.
        """
    def read_neck_positions(self) -> builtins.list[builtins.float]:
        """Read the current neck positions (yaw, pitch, roll) via a Damiao
        feedback request.
        """
    def set_neck_gains(self, index: builtins.int, kp: builtins.float, kd: builtins.float) -> None:
        """Override the MIT impedance gains (kp, kd) for a single neck joint.
        `index`: 0=yaw, 1=pitch, 2=roll.
        """
    def neck_home(
        self,
        speed: builtins.float = 0.4,
        tolerance: builtins.float = 0.15,
        kp: typing.Optional[builtins.float] = None,
        kd: typing.Optional[builtins.float] = None,
    ) -> builtins.list[builtins.float]:
        """Home the 3 neck joints to the nearest physical zero.

        Snaps each goal to the nearest multiple of 2π of the joint's current
        reported position — after a power cycle the Damiao multi-turn counter
        resets, so commanding "go to 0" naively could spin the head a full
        turn. Rounding keeps travel within ±π and lands at a physically
        equivalent zero.

        Enables neck torque if it isn't already (does **not** disable on
        exit — caller owns torque lifecycle). Ramps at `speed` rad/s on a
        10 ms cycle and returns the observed positions once every joint is
        within `tolerance` rad of its goal. Raises on timeout.

        `kp` / `kd`: optional overrides applied to all three joints for the
        duration of homing (and left in place afterwards). `None` keeps the
        per-joint defaults baked into the controller.
        """
    def enable_neck(self, enable: builtins.bool) -> None:
        """Enable or disable the neck motors. On enable, also forces each motor
        into MIT control mode.
        """
    def is_neck_torque_enabled(self) -> builtins.bool:
        """Last commanded torque-enable state for the neck (in-memory; the
        Damiao firmware does not expose a readable enable register).
        """
    def enable_arms(self, enable: builtins.bool) -> None:
        """Enable or disable the arm motors."""
    def set_arm_home(self, verify_tol: builtins.float = 0.05) -> builtins.list[builtins.float]:
        """Make the current physical arm pose the new "radian zero" by rewriting
        each Feetech arm motor's Position Offset EEPROM register (0x1F).
        Persistent across power cycles.

        Disables arm torque, reads the current present_position + offset for
        every arm motor, computes a new offset equal to the recovered absolute
        encoder position (so future `present_position` reads of this pose come
        back as 0 rad and `goal_position = 0` writes leave the arm where it
        sits now), unlocks EEPROM, writes the offset, re-locks, and verifies
        by reading present_position back. Caller owns torque lifecycle — arms
        are left **torque-off** on exit.

        Returns the observed post-write `present_position` (rad) for the four
        joints: `[left_pitch, left_yaw, right_pitch, right_yaw]`. Raises
        `RuntimeError` when verification fails (within `verify_tol` rad of 0)
        or any bus call errors.
        """
    def enable_nose(self, enable: builtins.bool) -> None:
        """Enable or disable the nose motors."""
    def write_raw_packet(self, data: bytes) -> None:
        """Write raw packet data to the serial port.

        # Arguments
        * `data` - Byte array of raw packet data to send.
        """

@typing.final
class VorlixPyControlLoop:
    def __new__(
        cls,
        serialport: typing.Optional[builtins.str],
        read_position_loop_period: datetime.timedelta,
        can_bus: builtins.str = ...,
        allowed_retries: builtins.int = 5,
        stats_pub_period: typing.Optional[datetime.timedelta] = None,
        voltage_rampup_timeout: datetime.timedelta = datetime.timedelta(seconds=30),
    ) -> VorlixPyControlLoop:
        """Create a new control loop for the motor controller.

        # Arguments
        * `serialport` - Path to (Unix) or COM ID (Windows) of the serial port.
          Pass `None` to build a neck-only loop; arm/nose commands will then
          raise on use.
        * `read_position_loop_period` - Period between control loop updates.
        * `can_bus` - SocketCAN interface name for the neck Damiao motors (default `"can0"`).
        * `allowed_retries` - Number of allowed retries for reading positions.
        * `stats_pub_period` - Optional period for publishing stats.
        * `voltage_rampup_timeout` - Maximum time to wait for the 12V rail to stabilize.
        """
    def close(self) -> None:
        """Close the control loop and release resources."""
    def get_motor_name_id(self) -> builtins.dict[builtins.str, builtins.int]:
        """Get the id/name motors used in this controller."""
    def get_last_position(self) -> VorlixTorsoPosition:
        """Get the last successfully read motor positions."""
    def set_all_goal_positions(self, positions: VorlixTorsoPosition) -> None:
        """Set goal positions for all motors."""
    def set_left_arm_position(self, position: typing.Sequence[builtins.float]) -> None:
        """Set goal positions for the left arm (2 values: pitch, yaw)."""
    def set_right_arm_position(self, position: typing.Sequence[builtins.float]) -> None:
        """Set goal positions for the right arm (2 values: pitch, yaw)."""
    def set_arms_position(self, position: typing.Sequence[builtins.float]) -> None:
        """Set goal positions for both arms (4 values)."""
    def set_nose_position(self, position: typing.Sequence[builtins.float]) -> None:
        """Set goal positions for the nose (3 values)."""
    def set_neck_position(self, position: typing.Sequence[builtins.float]) -> None:
        """Set goal positions for the neck (3 values: yaw, pitch, roll)."""
    def set_neck_yaw_position(self, position: builtins.float) -> None: ...
    def set_neck_pitch_position(self, position: builtins.float) -> None: ...
    def set_neck_roll_position(self, position: builtins.float) -> None: ...
    def enable_neck(self, enable: builtins.bool) -> None:
        """Enable or disable the neck motors."""
    def is_torque_enabled(self) -> builtins.bool:
        """Check torque enabled status."""
    def enable_torque(self) -> None:
        """Enable torque on all motors."""
    def enable_torque_on_ids(self, ids: typing.Sequence[builtins.int]) -> None:
        """Enable torque on ids."""
    def disable_torque(self) -> None:
        """Disable torque on all motors."""
    def disable_torque_on_ids(self, ids: typing.Sequence[builtins.int]) -> None:
        """Disable torque on ids."""
    def enable_arms(self, enable: builtins.bool) -> None:
        """Enable or disable the arm motors."""
    def enable_nose(self, enable: builtins.bool) -> None:
        """Enable or disable the nose motors."""
    def get_stats(self) -> typing.Optional[ControlLoopStats]:
        """Get the latest control loop statistics, if available."""
    def async_read_raw_bytes(self, id: builtins.int, addr: builtins.int, length: builtins.int) -> bytes:
        """Perform an asynchronous raw read of motor bytes."""
    def async_write_raw_bytes(
        self, id: builtins.int, addr: builtins.int, data: typing.Sequence[builtins.int]
    ) -> None:
        """Perform an asynchronous raw write of motor bytes."""
    def async_read_pid_gains(self, id: builtins.int) -> tuple[builtins.int, builtins.int, builtins.int]:
        """Read PID gains for a given motor id. Returns (P, I, D)."""
    def async_write_pid_gains(
        self, id: builtins.int, p: builtins.int, i: builtins.int, d: builtins.int
    ) -> None:
        """Write PID gains for a given motor id."""
    def write_raw_packet(self, data: bytes) -> bytes: ...
    def start_recording(self, capacity: builtins.int) -> None:
        """Record every tick and every executed command from now on, into a ring of `capacity` records; records not taken in time are overwritten and counted as dropped."""
    def stop_recording(self) -> None:
        """Stop recording; what was recorded stays to be taken."""
    def take_recording(
        self,
    ) -> tuple[
        builtins.list[
            tuple[builtins.float, builtins.float, builtins.float, VorlixTorsoPosition | builtins.str]
        ],
        builtins.list[
            tuple[
                builtins.float,
                builtins.str,
                builtins.dict[builtins.str, typing.Any],
                typing.Optional[builtins.str],
                builtins.float,
            ]
        ],
        builtins.int,
    ]:
        """Take what was recorded since the last take: (ticks, commands, dropped). A tick is (timestamp, period, read_dt, reading), the reading a VorlixTorsoPosition or the error's text; a command is (timestamp, name, arguments, error or None, duration); times in seconds."""
    def set_worker_scheduling(
        self,
        realtime_priority: typing.Optional[builtins.int] = None,
        cpus: typing.Optional[typing.Sequence[builtins.int]] = None,
        lock_memory: builtins.bool = False,
    ) -> builtins.dict[builtins.str, typing.Any]:
        """Ask for the worker's SCHED_FIFO priority (1 to 99), CPUs and memory locking. Never fails for what the system refuses: returns what took effect and each refusal."""

@typing.final
class VorlixTorsoPosition:
    def __new__(
        cls,
        left_arm: typing.Sequence[builtins.float],
        right_arm: typing.Sequence[builtins.float],
        nose: typing.Sequence[builtins.float],
        neck: typing.Sequence[builtins.float],
    ) -> VorlixTorsoPosition: ...
    @property
    def left_arm(self) -> builtins.list[builtins.float]: ...
    @property
    def right_arm(self) -> builtins.list[builtins.float]: ...
    @property
    def nose(self) -> builtins.list[builtins.float]: ...
    @property
    def neck(self) -> builtins.list[builtins.float]:
        """Neck joint positions in rad: [yaw, pitch, roll]."""
    @property
    def timestamp(self) -> builtins.float: ...
    def __repr__(self) -> builtins.str: ...

@typing.final
class ControlLoopStats:
    @property
    def period(self) -> builtins.list[builtins.float]: ...
    @property
    def read_dt(self) -> builtins.list[builtins.float]: ...
    @property
    def write_dt(self) -> builtins.list[builtins.float]: ...
