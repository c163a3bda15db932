#!/usr/bin/env bash
# A soak of the control loop on the virtual torso with wire-time emulation and faults injected
# at random, next to a vcan interface; exits non-zero when a check fails.
#
#   benchmarks/soak.sh MINUTES [--seed N] [--recovery S] [--max-growth KIB]
#
# Uses the package in .venv (tools/test or tools/demo makes it), or the Python in $PYTHON.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
python="${PYTHON:-$root/.venv/bin/python}"
exec "$root/tools/with-vcan" "$python" "$root/benchmarks/soak.py" "$@"
