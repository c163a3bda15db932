"""`vorlix-ros2` started and ended on the virtual torso, each test with a node of its own: every
tick once, a neck-only node, signals, failed starts."""

import fcntl
import os
import signal

import pytest
from std_srvs.srv import SetBool

from neck_traffic import POSITION_STEP
from ros2_support import env, peer  # noqa: F401 (fixtures)
from ros2_support import START_TIMEOUT
from servo_traffic import radians
from test_ros2_node import (NECK_JOINTS, NECK_START, RECOVERED, RETRIES, TORSO_JOINTS, Inboxes,
                            count_of, counting_reads, encoder_of, start_node, started)


def seconds(stamp) -> float:
    return stamp.sec + stamp.nanosec * 1e-9


def health_value(array, key: str) -> float:
    """A value of the loop's status; -inf before the first tick."""
    values = {value.key: value.value for value in array.status[0].values}
    return float(values.get(key, "-inf"))


@pytest.fixture
def fresh_inboxes(peer):
    """Subscriptions made before the test's own node starts."""
    return Inboxes(peer)


# --- every tick once ---------------------------------------------------------------------


def test_every_tick_arrives_once_with_the_simulators_values(torso, peer, env, tmp_path):
    for servo_id, servo in torso.servo_bus.servos.items():
        servo.encoder = encoder_of(servo_id)
    counting_reads(torso.servo_bus.servos[1])
    for motor, start in zip(torso.neck.motors, NECK_START):
        motor.position = start
    # In a namespace of its own: only this node's ticks are counted.
    inboxes = Inboxes(peer, "/ticks")
    node = started(start_node(torso, env, tmp_path, ros_arguments=["-r", "__ns:=/ticks"]),
                   inboxes)
    try:
        # The deadlines are for a failure, not for the pace: one busy CPU publishes slowly.
        inboxes.joint_states.wait_for_count(200, START_TIMEOUT)
        last = seconds(inboxes.joint_states.items[199][1].header.stamp)
        # Every tick up to the newest one counted is in the failures counted.
        health = inboxes.diagnostics.wait_for(
            lambda array: health_value(array, "newest tick") >= last, START_TIMEOUT,
            "diagnostics counting the 200th reading")
    finally:
        assert node.stop() == 0, node.stderr
    newest = health_value(health, "newest tick")
    received = [(when, message) for when, message in inboxes.joint_states.items
                if seconds(message.header.stamp) <= newest]
    messages = [message for _, message in received]
    assert all(m.name == TORSO_JOINTS and not m.velocity and not m.effort for m in messages)
    for m in messages:
        assert list(m.position[1:7]) == [radians(encoder_of(i)) for i in range(2, 8)]
        assert m.position[7:] == pytest.approx(NECK_START, abs=POSITION_STEP)
    stamps = [seconds(m.header.stamp) for m in messages]
    assert all(a < b for a, b in zip(stamps, stamps[1:])), "a reading published twice"
    assert all(stamp <= when for stamp, (when, _) in zip(stamps, received))
    counts = [count_of(m.position[0]) for m in messages]
    assert all(a < b for a, b in zip(counts, counts[1:])), "a reading published twice"
    # A reading missed shows as a number skipped; only a reading the loop retried or lost
    # (and so reported) may skip some.
    skipped = sum(b - a - 1 for a, b in zip(counts, counts[1:]))
    retried = sum(int(match[1]) for log in inboxes.rosout.messages
                  if (match := RECOVERED.search(log.msg)))
    failed = health_value(health, "failed readings since start")
    assert skipped <= retried + failed * RETRIES


def test_a_neck_only_node_names_the_neck_alone_and_refuses_the_servos(neck, peer, env,
                                                                      tmp_path, fresh_inboxes):
    node = started(start_node(neck, env, tmp_path, neck_only=True), fresh_inboxes)
    try:
        assert fresh_inboxes.joint_states.messages[0].name == NECK_JOINTS
        response = peer.call(SetBool, "/set_torque", SetBool.Request(data=True))
        assert (response.success, response.message) == (
            False, "serial port not configured (neck-only controller)")
        assert peer.call(SetBool, "/enable_neck", SetBool.Request(data=True)).success
        assert all(motor.enabled for motor in neck.motors)
    finally:
        assert node.stop() == 0, node.stderr


# --- starting and ending -----------------------------------------------------------------


@pytest.mark.parametrize("signum", [signal.SIGINT, signal.SIGTERM])
def test_a_signal_closes_the_loop_and_ends_with_status_zero(neck, peer, env, tmp_path,
                                                            fresh_inboxes, signum):
    node = started(start_node(neck, env, tmp_path, neck_only=True), fresh_inboxes)
    assert node.stop(signum) == 0, node.stderr
    assert "Traceback" not in node.stderr


def hold_the_line(torso) -> None:
    fd = os.open(torso.serial_path, os.O_RDWR | os.O_NOCTTY)
    fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)  # closed with the test's process


def silence_yaw(torso) -> None:
    torso.neck.motors[0].silent = True


FAILED_STARTS = [
    (silence_yaw, {}, 'Missing motors: ["neck_yaw"]!'),
    (hold_the_line, {}, "Could not open serial port: {serial}! Check permissions"),
    (None, {"serial_port": "/dev/vorlix-none"},
     "Check if your USB cable is connected. Could not find port: /dev/vorlix-none!"),
    (None, {"period_ms": -5}, "period_ms must be a positive number of milliseconds (got -5)"),
    (None, {"period_ms": "fast"}, "period_ms must be a positive number of milliseconds"),
    (None, {"allowed_retries": 0}, "allowed_retries must be a whole number from 1 (got 0)"),
    (None, {"reply_timeout_ms": 0}, "reply_timeout_ms must be a positive number of milliseconds"),
]


@pytest.mark.parametrize("fault, parameters, message", FAILED_STARTS)
def test_a_failed_start_says_why_in_one_line_and_exits_1(torso, env, tmp_path, fault,
                                                         parameters, message):
    if fault is not None:
        fault(torso)
    node = start_node(torso, env, tmp_path, **parameters)
    assert node.wait() == 1
    line, = node.stderr.splitlines()
    assert line.startswith("vorlix-ros2: ")
    assert message.format(serial=torso.serial_path) in line
