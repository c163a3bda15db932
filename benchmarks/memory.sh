#!/usr/bin/env bash
# Resident memory growth over 100,000 calls of every method that moves no motor and of every
# kind of refused call, on the virtual torso next to a vcan interface.
#
#   benchmarks/memory.sh [--calls N] [--only SUBSTRING]
#
# Uses the package in .venv (tools/test or tools/demo makes it), or the Python in $PYTHON.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
python="${PYTHON:-$root/.venv/bin/python}"
exec "$root/tools/with-vcan" "$python" "$root/benchmarks/memory.py" "$@"
