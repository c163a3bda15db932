"""`vorlix-record --ros2` on the virtual torso: the bag read back with rosbags (a reader with
its own message definitions) and with rclpy's deserialize_message, and the MCAP records that
rosbag2 needs: the ros2 profile, ros2msg schemas, CDR, each channel's offered QoS."""

import subprocess
import sys
import time
from pathlib import Path

import pytest
from mcap.reader import make_reader
from rclpy.serialization import deserialize_message
from rcl_interfaces.msg import Log
from rosbags.rosbag2 import Reader
from rosbags.interfaces import (MessageDefinitionFormat, QosDurability, QosHistory,
                               QosReliability)
from rosbags.typesys import Stores, get_typestore
from sensor_msgs.msg import JointState
from vorlix_motor_controller import VorlixPyControlLoop
from vorlix_recording.ros2_bag import Ros2BagRecorder

from loop_support import PERIOD, open_loop, wait_until

TORSO_JOINTS = ["left_arm_pitch", "left_arm_yaw", "right_arm_pitch", "right_arm_yaw",
                "nose_top", "nose_left", "nose_right", "neck_yaw", "neck_pitch", "neck_roll"]
VORLIX_RECORD = str(Path(sys.executable).with_name("vorlix-record"))
TYPES = get_typestore(Stores.ROS2_JAZZY)
CAPACITY = 1000  # records: a small ring is quick to make in the test kernel
CHANNELS = {
    "/joint_states": ("sensor_msgs/msg/JointState", JointState, 10, QosDurability.VOLATILE),
    "/rosout": ("rcl_interfaces/msg/Log", Log, 1000, QosDurability.TRANSIENT_LOCAL),
}


def stamp(message) -> int:
    return message.header.stamp.sec * 1_000_000_000 + message.header.stamp.nanosec


def read_bag(path) -> dict[str, list]:
    """Each topic's messages as (log time, rosbags' message, rclpy's message); checks each
    channel's type, schema and QoS on the way."""
    topics: dict[str, list] = {}
    with Reader(path) as reader:
        for connection in reader.connections:
            typename, ros_type, depth, durability = CHANNELS[connection.topic]
            assert connection.msgtype == typename
            assert connection.msgdef.format == MessageDefinitionFormat.MSG
            qos, = connection.ext.offered_qos_profiles
            assert (qos.history, qos.depth, qos.reliability, qos.durability) == (
                QosHistory.KEEP_LAST, depth, QosReliability.RELIABLE, durability)
        for connection, log_time, raw in reader.messages():
            ros_type = CHANNELS[connection.topic][1]
            topics.setdefault(connection.topic, []).append(
                (log_time, TYPES.deserialize_cdr(raw, connection.msgtype),
                 deserialize_message(bytes(raw), ros_type)))
    return topics


def test_the_bag_is_in_rosbag2s_mcap_profile(torso, tmp_path):
    path = tmp_path / "run.mcap"
    loop = open_loop(torso)
    with Ros2BagRecorder(loop, path, neck_only=False, drain_interval=0.02,
                         capacity=CAPACITY) as recorder:
        loop.set_neck_position([0.0, 0.0, 9.0])  # a warning for /rosout
        wait_until(lambda: recorder.ticks >= 5, timeout=30, what="five ticks recorded")
        loop.close()
    with open(path, "rb") as stream:
        reader = make_reader(stream)
        assert reader.get_header().profile == "ros2"
        summary = reader.get_summary()
    assert {s.name: s.encoding for s in summary.schemas.values()} == {
        "sensor_msgs/msg/JointState": "ros2msg", "rcl_interfaces/msg/Log": "ros2msg"}
    assert {c.topic for c in summary.channels.values()} == set(CHANNELS)
    assert all(c.message_encoding == "cdr" and "offered_qos_profiles" in c.metadata
               for c in summary.channels.values())


@pytest.mark.parametrize("neck_only", [False, True])
def test_every_reading_and_log_record_reads_back_as_ros2_messages(torso, tmp_path, neck_only):
    loop = (VorlixPyControlLoop(None, PERIOD, torso.can_iface) if neck_only
            else open_loop(torso))
    path = tmp_path / "run.mcap"
    seen = {}
    with Ros2BagRecorder(loop, path, neck_only=neck_only, drain_interval=0.02,
                         capacity=CAPACITY) as recorder:
        loop.set_neck_position([0.0, 0.0, 9.0])
        started = time.time()  # readings after this were taken while recording
        while len(seen) < 30:
            try:
                position = loop.get_last_position()
            except RuntimeError:  # a failed reading on a busy machine: not in the bag
                continue
            if position.timestamp <= started:
                continue
            seen[round(position.timestamp * 1e9)] = (
                position.neck if neck_only else
                [*position.left_arm, *position.right_arm, *position.nose, *position.neck])
        loop.close()
    topics = read_bag(path)

    joint_states = topics["/joint_states"]
    assert len(joint_states) == recorder.ticks - recorder.failed_readings
    by_stamp = {}
    for log_time, from_rosbags, from_rclpy in joint_states:
        assert stamp(from_rosbags) == stamp(from_rclpy) == log_time
        assert from_rosbags.name == list(from_rclpy.name) == (
            TORSO_JOINTS[7:] if neck_only else TORSO_JOINTS)
        assert list(from_rosbags.position) == list(from_rclpy.position)
        assert len(from_rclpy.velocity) == len(from_rclpy.effort) == 0
        by_stamp[log_time] = list(from_rclpy.position)
    assert len(by_stamp) == len(joint_states)
    assert all(by_stamp[when] == values for when, values in seen.items())

    clamps = [(r, p) for _, r, p in topics["/rosout"] if "out of safe range" in p.msg]
    assert len(clamps) == 1
    from_rosbags, from_rclpy = clamps[0]
    assert from_rosbags.msg == from_rclpy.msg and from_rclpy.level == Log.WARN
    assert from_rclpy.name.startswith("vorlix_motor_controller")


def test_the_command_writes_a_bag_and_refuses_live(neck, tmp_path):
    path = tmp_path / "neck.mcap"
    done = subprocess.run([VORLIX_RECORD, "--ros2", "--can", neck.iface, "--duration", "0.5",
                           str(path)], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    joint_states = read_bag(path)["/joint_states"]
    assert joint_states and all(p.name == TORSO_JOINTS[7:] for _, _, p in joint_states)
    refused = subprocess.run([VORLIX_RECORD, "--ros2", "--live", "--can", neck.iface,
                              str(tmp_path / "no.mcap")], capture_output=True, text=True,
                             timeout=120)
    assert refused.returncode == 2 and "--live" in refused.stderr
    assert not (tmp_path / "no.mcap").exists()
