"""The node `vorlix_torso`: one client of a VorlixPyControlLoop. Every successful tick of the
loop's capture is published once on `joint_states`; `joint_commands` posts goals under the
loop's own rules; `set_torque` and `enable_neck` answer once the loop reports the state; the
loop's health goes to `diagnostics` every second; the module's log records to the node's
logger."""

from __future__ import annotations

import time
from collections.abc import Callable
from typing import Any

from builtin_interfaces.msg import Time
from diagnostic_msgs.msg import DiagnosticArray
from rclpy.callback_groups import MutuallyExclusiveCallbackGroup
from rclpy.node import Node
from rclpy.qos import DurabilityPolicy, HistoryPolicy, QoSProfile, ReliabilityPolicy
from sensor_msgs.msg import JointState
from std_srvs.srv import SetBool
from vorlix_motor_controller import VorlixPyControlLoop, VorlixTorsoPosition

from vorlix_ros2.capture_pump import Command, CapturePump, Tick
from vorlix_ros2.command_outcomes import CommandOutcomes
from vorlix_ros2.diagnostics import LoopHealth
from vorlix_ros2.joints import JointGoals, groups_of, joint_names, joint_positions
from vorlix_ros2.log_bridge import LogBridge

NODE_NAME = "vorlix_torso"
# As ros2_control's joint state broadcaster publishes, so that robot_state_publisher, rviz and
# `ros2 topic echo` subscribe with their defaults.
JOINT_STATES_QOS = QoSProfile(history=HistoryPolicy.KEEP_LAST, depth=10,
                              reliability=ReliabilityPolicy.RELIABLE,
                              durability=DurabilityPolicy.VOLATILE)
CAPTURE_CAPACITY = 10_000  # records: 100 s of ticks at 10 ms before the oldest are lost
DIAGNOSTICS_PERIOD = 1.0  # seconds


def stamp(seconds: float) -> Time:
    sec, nanosec = divmod(round(seconds * 1e9), 1_000_000_000)
    return Time(sec=sec, nanosec=nanosec)


class TorsoNode(Node):
    """Declares its parameters at construction; `serve` then takes the loop and starts."""

    def __init__(self, **node_options: Any) -> None:
        super().__init__(NODE_NAME, **node_options)
        self.log_bridge = LogBridge(self.get_logger())
        self._loop: VorlixPyControlLoop | None = None
        self._closing = False

    def serve(self, loop: VorlixPyControlLoop, neck_only: bool, period: float,
              reply_timeout: float, on_failure: Callable[[BaseException], None]) -> None:
        """Publishes and answers for `loop` from now on; a service waits at most
        `reply_timeout` seconds for the loop's report."""
        self._loop = loop
        self._reply_timeout = reply_timeout
        groups = groups_of(neck_only)
        self._neck_only = neck_only
        self._names = joint_names(groups)
        self._goals = JointGoals(groups)
        self._present = dict(zip(self._names, joint_positions(loop.get_last_position(),
                                                              neck_only)))
        self._outcomes = CommandOutcomes()
        self._health = LoopHealth(f"{self.get_name()}: control loop")
        self._joint_states = self.create_publisher(JointState, "joint_states", JOINT_STATES_QOS)
        self._diagnostics = self.create_publisher(DiagnosticArray, "diagnostics", 10)
        self.create_subscription(JointState, "joint_commands", self._on_joint_command,
                                 JOINT_STATES_QOS)
        # The services wait for the loop: each in a group of its own, beside the commands.
        self.create_service(SetBool, "set_torque", self._on_set_torque,
                            callback_group=MutuallyExclusiveCallbackGroup())
        self.create_service(SetBool, "enable_neck", self._on_enable_neck,
                            callback_group=MutuallyExclusiveCallbackGroup())
        self.create_timer(DIAGNOSTICS_PERIOD, self._publish_diagnostics)
        self._pump = CapturePump(loop, period, self._on_capture, CAPTURE_CAPACITY, on_failure)
        self._pump.start()

    def close(self, timeout: float = 10.0) -> None:
        """Closes the loop (what is queued still runs) and publishes what it captured last."""
        self._closing = True
        if self._loop is not None:
            self._loop.close()
            self._pump.stop(timeout)
        self.log_bridge.forward()
        self.log_bridge.detach()

    # The capture thread.

    def _on_capture(self, ticks: list[Tick], commands: list[Command], dropped: int) -> None:
        if dropped:
            self._health.add_dropped(dropped)
            self.get_logger().warning(f"{dropped} captured records dropped: the node fell behind")
        for timestamp, period, read_dt, reading in ticks:
            ok = isinstance(reading, VorlixTorsoPosition)
            self._health.add_tick(timestamp, period, read_dt, ok)
            if ok:
                self._publish_reading(reading)
        self._outcomes.report(commands)
        self.log_bridge.forward()

    def _publish_reading(self, reading: VorlixTorsoPosition) -> None:
        positions = joint_positions(reading, self._neck_only)
        message = JointState(name=self._names, position=positions)
        message.header.stamp = stamp(reading.timestamp)
        self._joint_states.publish(message)
        self._present = dict(zip(self._names, positions))

    # The executor's threads.

    def _on_joint_command(self, message: JointState) -> None:
        names, positions = list(message.name), list(message.position)
        refusal = self._goals.refusal(names, positions)
        if refusal is not None:
            self.get_logger().warning(f"joint command refused: {refusal}")
            return
        if self._closing:
            return
        assert self._loop is not None
        try:
            for setter, goals in self._goals.plan(names, positions, self._present):
                getattr(self._loop, setter)(goals)
        except RuntimeError as error:  # the loop closed meanwhile
            self.get_logger().warning(f"joint command not posted: {error}")

    def _on_set_torque(self, request: SetBool.Request, response: SetBool.Response) -> SetBool.Response:
        assert self._loop is not None
        loop = self._loop
        if request.data:
            name, post, state = "EnableTorque", loop.enable_torque, "servo torque enabled"
        else:
            name, post, state = "DisableTorque", loop.disable_torque, "servo torque disabled"
        return self._answer(response, name, {}, post, state,
                            lambda: loop.is_torque_enabled() == request.data)

    def _on_enable_neck(self, request: SetBool.Request, response: SetBool.Response) -> SetBool.Response:
        assert self._loop is not None
        loop = self._loop
        enable = bool(request.data)
        state = "neck motors enabled" if enable else "neck motors disabled"
        return self._answer(response, "EnableNeck", {"enable": enable},
                            lambda: loop.enable_neck(enable), state, lambda: True)

    def _answer(self, response: SetBool.Response, name: str, arguments: dict[str, Any],
                post: Callable[[], Any], state: str, reached: Callable[[], bool]) -> SetBool.Response:
        """Posts the command and waits for the loop to report it, at most the reply time-out."""
        deadline = time.monotonic() + self._reply_timeout
        response.success = False
        if self._closing:
            response.message = "the node is shutting down"
            return response
        try:
            outcome = self._outcomes.post(name, arguments, post)
        except RuntimeError as error:
            response.message = str(error)
            return response
        if not outcome.wait(max(0.0, deadline - time.monotonic())):
            self._outcomes.forget(outcome)
            response.message = f"the loop did not report {name} within {self._reply_timeout:g} s"
        elif outcome.error is not None:
            response.message = outcome.error
        else:
            try:
                response.success = reached()
            except RuntimeError as error:  # the loop's torque record holds an error
                response.message = str(error)
                return response
            response.message = state if response.success else (
                f"{name} ran, yet the loop does not report {state}")
        return response

    def _publish_diagnostics(self) -> None:
        array = DiagnosticArray(status=[self._health.status()])
        array.header.stamp = self.get_clock().now().to_msg()
        self._diagnostics.publish(array)
