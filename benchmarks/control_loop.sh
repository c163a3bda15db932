#!/usr/bin/env bash
# The control loop on the virtual torso with wire-time emulation, next to a vcan interface:
# periods, reading times and worker CPU per reading period, a PNG histogram, the cost of
# get_last_position() and of a post from Python, and the system calls a post makes.
#
#   benchmarks/control_loop.sh [PNG]     (default build/control_loop_periods.png)
#
# Needs the package in .venv (tools/test or tools/demo makes it); installs matplotlib there.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
python="$root/.venv/bin/python"
png="$(realpath -m "${1:-$root/build/control_loop_periods.png}")"
"$python" -m pip install --quiet --disable-pip-version-check matplotlib
command -v strace >/dev/null || { echo "strace is not installed" >&2; exit 1; }
exec "$root/tools/with-vcan" bash "$root/benchmarks/control_loop_guest.sh" "$python" "$png"
