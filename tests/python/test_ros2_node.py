"""`vorlix-ros2` on the virtual torso, used from an rclpy node of the test's own: what it
publishes and how, every tick once, commands and refusals, services, diagnostics, its exit."""

import math
import re

import pytest
from diagnostic_msgs.msg import DiagnosticArray, DiagnosticStatus
from rcl_interfaces.msg import Log
from rclpy.qos import DurabilityPolicy, QoSProfile, ReliabilityPolicy
from sensor_msgs.msg import JointState
from std_srvs.srv import SetBool

from conftest import Torso, serving_first
from loop_support import skip_replies
from neck_traffic import POSITION_STEP, mit_set_points
from ros2_support import env, peer  # noqa: F401 (fixtures)
from ros2_support import MESSAGE_TIMEOUT, START_TIMEOUT, NodeProcess, Peer, wait_for
from servo_traffic import (GOAL_POSITION, PRESENT_POSITION, TORQUE_ENABLE, describe,
                           goal_register)
from vorlix_virtual_torso import VirtualNeck, VirtualServoBus

TORSO_JOINTS = ["left_arm_pitch", "left_arm_yaw", "right_arm_pitch", "right_arm_yaw",
                "nose_top", "nose_left", "nose_right", "neck_yaw", "neck_pitch", "neck_roll"]
NECK_JOINTS = TORSO_JOINTS[7:]
NECK_START = (0.1, 0.2, -0.1)
RETRIES = 5  # the node's default allowed_retries
ROSOUT_QOS = QoSProfile(depth=1000, reliability=ReliabilityPolicy.RELIABLE,
                        durability=DurabilityPolicy.TRANSIENT_LOCAL)
RECOVERED = re.compile(r"Serial I/O recovered after (\d+) retries")
PERIOD = 0.010  # the node's default period_ms
# The test's own executor falls behind on a busy CPU: its queue holds every tick for as long as
# a test may wait, so that a reading it misses is one the node never published.
TICKS_QUEUED = round(2 * START_TIMEOUT / PERIOD)


def encoder_of(servo_id: int) -> int:
    return 2048 + 100 * servo_id  # distinct, so that a joint read in another's place shows


class Inboxes:
    def __init__(self, peer: Peer, namespace: str = "") -> None:
        self.joint_states = peer.subscribe(JointState, f"{namespace}/joint_states", TICKS_QUEUED)
        self.diagnostics = peer.subscribe(DiagnosticArray, f"{namespace}/diagnostics", 100)
        self.rosout = peer.subscribe(Log, "/rosout", ROSOUT_QOS)


def start_node(torso_or_neck, env, tmp_path, neck_only=False, ros_arguments=(),
               **parameters) -> NodeProcess:
    if not neck_only:
        parameters.setdefault("serial_port", torso_or_neck.serial_path)
    parameters.setdefault("can_interface", torso_or_neck.can_iface if not neck_only
                          else torso_or_neck.iface)
    # The one-second default is for a robot's computer, not for one busy CPU in the test kernel.
    parameters.setdefault("reply_timeout_ms", MESSAGE_TIMEOUT * 1e3 / 2)
    return NodeProcess(parameters, env, tmp_path, list(ros_arguments))


def started(node: NodeProcess, inboxes: Inboxes) -> NodeProcess:
    try:
        inboxes.joint_states.wait_for(lambda m: True, START_TIMEOUT, "the first joint state")
    except AssertionError as error:
        node.stop()
        raise AssertionError(f"{error}; the node said:\n{node.stderr}") from None
    return node


def counting_reads(servo) -> None:
    """Each position read of `servo` finds its encoder one count further: every reading
    carries its own number."""
    read = servo.read

    def read_and_count(address, length):
        if address == PRESENT_POSITION:
            servo.encoder = servo.encoder + 1
        return read(address, length)

    servo.read = read_and_count


def count_of(position: float) -> int:
    return round((position + math.pi) * 2**12 / (2 * math.pi))


@pytest.fixture(scope="module")
def shared_torso(env):
    with VirtualServoBus() as bus, VirtualNeck(env["VORLIX_CAN_IFACE"], NECK_START) as neck:
        for servo_id, servo in bus.servos.items():
            servo.encoder = encoder_of(servo_id)
        serving_first()
        yield Torso(bus, neck)


@pytest.fixture(scope="module")
def inboxes(peer):
    return Inboxes(peer)


@pytest.fixture(scope="module")
def node(shared_torso, env, inboxes, tmp_path_factory):
    """One node on the shared torso for the tests that leave it as they found it."""
    process = start_node(shared_torso, env, tmp_path_factory.mktemp("node"))
    yield started(process, inboxes)
    assert process.stop() == 0, process.stderr


# --- what it offers ----------------------------------------------------------------------

ENDPOINTS = [
    ("get_publishers_info_by_topic", "/joint_states", "sensor_msgs/msg/JointState"),
    ("get_publishers_info_by_topic", "/diagnostics", "diagnostic_msgs/msg/DiagnosticArray"),
    ("get_subscriptions_info_by_topic", "/joint_commands", "sensor_msgs/msg/JointState"),
]


@pytest.mark.parametrize("lookup, topic, message_type", ENDPOINTS)
def test_topics_have_their_standard_types_and_the_broadcasters_qos(peer, node, lookup, topic,
                                                                   message_type):
    endpoint, = wait_for(lambda: [e for e in getattr(peer.node, lookup)(topic)
                                  if e.node_name == "vorlix_torso"], 30, f"{topic} in the graph")
    assert endpoint.topic_type == message_type
    assert endpoint.qos_profile.reliability == ReliabilityPolicy.RELIABLE
    assert endpoint.qos_profile.durability == DurabilityPolicy.VOLATILE


def test_services_are_set_bools_named_relative(peer, node):
    def offered():
        services = dict(peer.node.get_service_names_and_types_by_node("vorlix_torso", "/"))
        return services if {"/set_torque", "/enable_neck"} <= services.keys() else None

    services = wait_for(offered, 30, "the services in the graph")
    assert services["/set_torque"] == services["/enable_neck"] == ["std_srvs/srv/SetBool"]


# --- commands ----------------------------------------------------------------------------


def goal_writes(bus) -> list[dict[int, int]]:
    """The goal positions each sync write carried, by servo id."""
    described = [describe(packet) for packet in bus.requests]
    return [dict(d[2]) for d in described if d[:2] == ("sync_write", GOAL_POSITION)]


SERVO_COMMANDS = [
    ({"left_arm_pitch": 1.0}, {1: 2699}, [2]),
    ({"right_arm_yaw": -1.0, "right_arm_pitch": 0.0}, {3: 2048, 4: 1396}, []),
    ({"nose_left": 1.0}, {6: 2699}, [5, 7]),
    ({"left_arm_yaw": 0.0, "nose_top": 1.0, "right_arm_pitch": 1.0},
     {2: 2048, 3: 2699, 5: 2699}, [1, 4, 6, 7]),
]


@pytest.mark.parametrize("command, goals, kept", SERVO_COMMANDS)
def test_a_joint_command_sets_the_goals_it_names_and_keeps_the_rest_of_each_group(
        shared_torso, peer, node, command, goals, kept):
    bus = shared_torso.servo_bus
    before = {i: goal_register(bus.servos[i]) for i in kept}
    bus.clear_requests()
    publisher = peer.publisher(JointState, "/joint_commands")
    wait_for(lambda: publisher.get_subscription_count(), 30, "the node's subscription")
    publisher.publish(JointState(name=list(command), position=list(command.values())))
    writes = wait_for(lambda: (w := goal_writes(bus)) and set().union(*w) >= set(goals) and w,
                      10, "the goal writes")
    assert all(goal_register(bus.servos[i]) == raw for i, raw in goals.items())
    # Only whole groups are written, the named joints among them.
    written = {i for w in writes for i in w}
    assert written == set(goals) | set(kept)
    for i in kept:  # their last goal, or the present position through radians: within a count
        assert abs(goal_register(bus.servos[i]) - before[i]) <= 1


def test_neck_commands_are_clamped_logged_and_keep_the_last_goals(shared_torso, peer, node,
                                                                  inboxes):
    neck = shared_torso.neck
    publisher = peer.publisher(JointState, "/joint_commands")
    wait_for(lambda: publisher.get_subscription_count(), 30, "the node's subscription")
    for command, expected in [({"neck_yaw": 0.3, "neck_pitch": 9.0, "neck_roll": -0.1},
                               [0.3, 0.45, -0.1]),
                              ({"neck_yaw": -0.2}, [-0.2, 0.45, -0.1])]:
        neck.clear_frames()
        publisher.publish(JointState(name=list(command), position=list(command.values())))
        points = wait_for(lambda: len(mit_set_points(neck)) >= 3 and mit_set_points(neck), 10,
                          "the neck's set-points")
        assert [p.position for _, p in points[:3]] == pytest.approx(expected, abs=POSITION_STEP)
    clamp = inboxes.rosout.wait_for(lambda log: "out of safe range" in log.msg,
                                    what="the clamp's warning on /rosout")
    assert clamp.name == "vorlix_torso" and clamp.level == Log.WARN


REFUSED = [
    (["left_arm_pitch", "shoulder"], [0.0, 0.0], "unknown joints ['shoulder'] (this torso has"),
    (["nose_top", "nose_top"], [0.0, 0.1], "joints named more than once: ['nose_top']"),
    (["nose_top", "neck_yaw"], [0.0], "2 names but 1 positions"),
    (["neck_yaw", "left_arm_yaw"], [0.1, math.nan], "non-finite positions for ['left_arm_yaw']"),
    (["neck_roll"], [math.inf], "non-finite positions for ['neck_roll']"),
]


@pytest.mark.parametrize("names, positions, reason", REFUSED)
def test_a_refused_command_sends_nothing_and_warns_once(shared_torso, peer, node, inboxes, names,
                                                        positions, reason):
    bus, neck = shared_torso.servo_bus, shared_torso.neck
    publisher = peer.publisher(JointState, "/joint_commands")
    wait_for(lambda: publisher.get_subscription_count(), 30, "the node's subscription")
    bus.clear_requests()
    neck.clear_frames()
    inboxes.rosout.clear()
    publisher.publish(JointState(name=names, position=positions))
    # Commands are taken in order: once the next one is written, the refused one was handled.
    publisher.publish(JointState(name=["nose_right"], position=[0.0]))
    wait_for(lambda: goal_writes(bus), 10, "the command after the refused one")
    assert goal_writes(bus) == [{5: goal_register(bus.servos[5]), 6: goal_register(bus.servos[6]),
                                 7: 2048}]
    assert not mit_set_points(neck)
    # /rosout may reach us after the bus writes did.
    refusal = inboxes.rosout.wait_for(lambda log: "joint command refused" in log.msg,
                                      what="the refusal's warning")
    assert refusal.msg.startswith(f"joint command refused: {reason}")
    assert refusal.level == Log.WARN
    assert sum("joint command refused" in log.msg for log in inboxes.rosout.messages) == 1


# --- services ----------------------------------------------------------------------------


def servo_torque(torso) -> set[int]:
    return {servo.registers[TORQUE_ENABLE] for servo in torso.servo_bus.servos.values()}


def neck_enabled(torso) -> set[bool]:
    return {motor.enabled for motor in torso.neck.motors}


SERVICES = [
    ("/set_torque", True, servo_torque, {1}, "servo torque enabled"),
    ("/set_torque", False, servo_torque, {0}, "servo torque disabled"),
    ("/enable_neck", True, neck_enabled, {True}, "neck motors enabled"),
    ("/enable_neck", False, neck_enabled, {False}, "neck motors disabled"),
]


@pytest.mark.parametrize("service, data, state, expected, message", SERVICES)
def test_a_service_answers_once_the_loop_switched_what_it_names(shared_torso, peer, node,
                                                                service, data, state, expected,
                                                                message):
    other = servo_torque if state is neck_enabled else neck_enabled
    untouched = other(shared_torso)
    response = peer.call(SetBool, service, SetBool.Request(data=data))
    assert (response.success, response.message) == (True, message)
    assert state(shared_torso) == expected
    assert other(shared_torso) == untouched


def test_a_service_the_loop_cannot_carry_out_answers_false_with_the_reason(shared_torso, peer,
                                                                           node):
    shared_torso.neck.motors[1].silent = True
    try:
        response = peer.call(SetBool, "/enable_neck", SetBool.Request(data=True))
    finally:
        shared_torso.neck.motors[1].silent = False
    assert not response.success
    assert response.message.startswith("neck_pitch: ensure MIT mode failed")


# --- diagnostics -------------------------------------------------------------------------


def silent_for_one_reading(servo) -> None:
    skip_replies(servo, RETRIES)


def absent(servo) -> None:
    servo.absent = True


@pytest.mark.parametrize("fault, level", [(silent_for_one_reading, DiagnosticStatus.WARN),
                                          (absent, DiagnosticStatus.ERROR)])
def test_diagnostics_report_failed_readings_and_recover(shared_torso, node, inboxes, fault,
                                                        level):
    servo = shared_torso.servo_bus.servos[3]
    read = servo.read
    status = inboxes.diagnostics.wait_for(lambda a: a.status[0].level == DiagnosticStatus.OK,
                                          what="an OK status").status[0]
    assert status.name == "vorlix_torso: control loop" and status.hardware_id == "vorlix_torso"
    assert {v.key for v in status.values} >= {
        "period mean (ms)", "period p99 (ms)", "period max (ms)", "read time mean (ms)",
        "failed readings", "dropped records"}
    inboxes.diagnostics.clear()
    fault(servo)
    try:
        inboxes.diagnostics.wait_for(lambda a: a.status[0].level == level,
                                     what=f"level {level!r}")
    finally:
        servo.absent = False
        servo.read = read
    inboxes.diagnostics.clear()
    inboxes.diagnostics.wait_for(lambda a: a.status[0].level == DiagnosticStatus.OK,
                                 what="OK again")
