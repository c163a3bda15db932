"""The figures of benchmarks/ros2_node.sh (run it inside tools/with-vcan, DDS on localhost)."""

import os
import statistics
import subprocess
import sys
import threading
import time
from datetime import timedelta
from pathlib import Path

import rclpy
from rclpy.executors import SingleThreadedExecutor
from rclpy.signals import SignalHandlerOptions
from sensor_msgs.msg import JointState
from vorlix_motor_controller import VorlixPyControlLoop
from vorlix_virtual_torso import VirtualNeck, VirtualServoBus

from vorlix_ros2.diagnostics import p99

PERIOD = timedelta(milliseconds=10)
VORLIX_ROS2 = str(Path(sys.executable).with_name("vorlix-ros2"))
TICK = os.sysconf("SC_CLK_TCK")


def cpu_seconds(pid: int) -> float:
    fields = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICK


def percentiles(values: list[float]) -> str:
    return f"median {statistics.median(values) * 1e3:.2f} ms, p99 {p99(values) * 1e3:.2f} ms"


class Subscriber:
    def __init__(self, context) -> None:
        self.node = rclpy.create_node("vorlix_bench", context=context)
        self.received: list[tuple[float, float]] = []  # (reading's stamp, receipt)
        self.node.create_subscription(JointState, "/joint_states", self._receive, 1000)

    def _receive(self, message: JointState) -> None:
        stamp = message.header.stamp.sec + message.header.stamp.nanosec * 1e-9
        self.received.append((stamp, time.time()))


def loop_alone(bus, neck, seconds: float) -> list[float]:
    loop = VorlixPyControlLoop(bus.serial_path, PERIOD, neck.iface,
                               stats_pub_period=timedelta(milliseconds=100))
    time.sleep(seconds)
    loop.close()
    return loop.get_stats().period


def our_node(bus, neck, subscriber, seconds: float) -> None:
    bus.clear_requests()
    process = subprocess.Popen([VORLIX_ROS2, "--ros-args", "-p", f"serial_port:={bus.serial_path}",
                                "-p", f"can_interface:={neck.iface}"],
                               stderr=subprocess.DEVNULL)
    while not subscriber.received:
        time.sleep(0.05)
    subscriber.received.clear()
    requests, cpu = len(bus.requests), cpu_seconds(process.pid)
    time.sleep(seconds)
    cpu = cpu_seconds(process.pid) - cpu
    taken = sum(1 for packet in bus.requests[requests:] if packet[4] == 0x82)  # sync reads
    received = list(subscriber.received)
    process.send_signal(2)
    process.wait()
    periods = [b[0] - a[0] for a, b in zip(received, received[1:])]
    print(f"vorlix-ros2: {len(received)} published and received, {taken} position reads "
          f"(ticks, retries included) in {seconds:g} s; latency "
          f"{percentiles([r - s for s, r in received])}; CPU {cpu / len(received) * 1e6:.0f} µs "
          f"per tick; period between readings {percentiles(periods)}")


def polling_node(bus, neck, context, seconds: float) -> None:
    loop = VorlixPyControlLoop(bus.serial_path, PERIOD, neck.iface,
                               stats_pub_period=timedelta(milliseconds=100))
    node = rclpy.create_node("vorlix_polling", context=context)
    publisher = node.create_publisher(JointState, "/polled_joint_states", 10)
    stamps: list[float] = []

    def poll() -> None:
        try:
            position = loop.get_last_position()
        except RuntimeError:
            return
        stamps.append(position.timestamp)
        publisher.publish(JointState(name=["neck_yaw"], position=[position.neck[0]]))

    executor = SingleThreadedExecutor(context=context)
    executor.add_node(node)
    node.create_timer(PERIOD.total_seconds(), poll)
    start = len(loop.get_stats().period)
    thread = threading.Thread(target=executor.spin, daemon=True)
    thread.start()
    time.sleep(seconds)
    executor.shutdown()
    ticks = len(loop.get_stats().period) - start
    loop.close()
    node.destroy_node()
    distinct = len(set(stamps))
    print(f"polling node: {len(stamps)} published for {ticks} ticks: "
          f"{len(stamps) - distinct} repeated, {max(0, ticks - distinct)} missed")


def main() -> None:
    seconds = float(sys.argv[1])
    context = rclpy.Context()
    rclpy.init(context=context, signal_handler_options=SignalHandlerOptions.NO)
    subscriber = Subscriber(context)
    executor = SingleThreadedExecutor(context=context)
    executor.add_node(subscriber.node)
    threading.Thread(target=executor.spin, daemon=True).start()
    with VirtualServoBus(wire_time=True) as bus, VirtualNeck(os.environ["VORLIX_CAN_IFACE"]) as neck:
        alone = loop_alone(bus, neck, seconds)
        print(f"loop alone: p99 period {p99(alone) * 1e3:.3f} ms over {len(alone)} ticks")
        our_node(bus, neck, subscriber, seconds)
        polling_node(bus, neck, context, seconds)
    executor.shutdown()
    context.try_shutdown()


if __name__ == "__main__":
    main()
