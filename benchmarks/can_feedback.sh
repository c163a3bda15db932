#!/usr/bin/env bash
# Median request_feedback round trip against a minimal responder on vcan, and the system calls
# our side makes per exchange. Builds its own Release tree, runs through tools/with-vcan (so
# inside user-mode Linux on a host without SocketCAN: the figures are the guest's, not native).
#
#   benchmarks/can_feedback.sh [EXCHANGES]
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build/bench
exchanges=${1:-2000}
command -v strace >/dev/null || { echo "strace is not installed (apt-get install strace)" >&2; exit 1; }

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DVORLIX_BUILD_BENCHMARKS=ON -DVORLIX_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" --target vorlix_can_feedback_bench -j2 >/dev/null

traces=$(mktemp -d -t can-feedback.XXXXXX)
trap 'rm -rf "$traces"' EXIT

# One guest boot: the timed run, then two untimed runs under strace whose difference leaves
# only the per-exchange calls (start-up, warm-up and exit cancel out).
"$root/tools/with-vcan" bash -c '
  set -e
  bench=$1 exchanges=$2 traces=$3
  uname -sr
  "$bench" "$exchanges"
  strace -f -ff -o "$traces/small" "$bench" 500 --untimed
  strace -f -ff -o "$traces/large" "$bench" 1500 --untimed
' bench "$build/vorlix_can_feedback_bench" "$exchanges" "$traces"

# The driver runs on the main thread: its trace file is the one that starts with execve.
calls_by_name() {
  local main
  main=$(grep -l '^execve(' "$traces/$1".*)
  grep -v '^+++\|^---' "$main" | sed 's/(.*//' | sort | uniq -c
}

echo "system calls of the driver's thread per exchange (strace -f, 1500 minus 500 exchanges):"
join -1 2 -2 2 -a 2 -e 0 -o 0,1.1,2.1 \
  <(calls_by_name small | sort -k2) <(calls_by_name large | sort -k2) |
  awk '{ per = ($3 - $2) / 1000; if (per > 0) { printf "  %-16s %.2f\n", $1, per; total += per } }
       END { printf "  %-16s %.2f\n", "total", total }'
