#!/usr/bin/env bash
# The ROS 2 node at 10 ms on the virtual torso, next to a vcan interface, DDS on localhost:
# ticks published against ticks taken, latency from a reading to a subscriber, the node's CPU
# per tick, the loop's p99 period with and without the node; and the same for a node that
# polls get_last_position from a 10 ms timer.
#
#   benchmarks/ros2_node.sh [SECONDS]
#
# Needs the package in .venv with its ros2-test extra (tools/test makes it).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
export ROS_AUTOMATIC_DISCOVERY_RANGE=LOCALHOST
exec "$root/tools/with-vcan" "$root/.venv/bin/python" "$root/benchmarks/ros2_node.py" "${1:-20}"
