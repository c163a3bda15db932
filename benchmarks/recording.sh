#!/usr/bin/env bash
# What recording costs the control loop, on the virtual torso with wire-time emulation next
# to a vcan interface: the worker's instructions per tick with recording off and on
# (callgrind), and the loop's p99 period at 10 ms with a recorder running and without.
#
#   benchmarks/recording.sh
#
# Needs the package in .venv with its test extra (tools/test or tools/demo makes it).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
command -v valgrind >/dev/null || { echo "valgrind is not installed" >&2; exit 1; }
exec "$root/tools/with-vcan" bash "$root/benchmarks/recording_guest.sh" "$root/.venv/bin/python"
