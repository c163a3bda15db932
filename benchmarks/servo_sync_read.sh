#!/usr/bin/env bash
# One sync read of four present positions over a pty: the median time per exchange, and the
# system calls our side makes per exchange.
#
#   benchmarks/servo_sync_read.sh [BUILD_DIR]     (default build/bench)
#
# The peer is a forked child; strace without -f follows our process only. Set-up costs are
# removed by tracing two runs of different lengths and dividing the difference.
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$root/build/bench}"
exchanges="${EXCHANGES:-2000}"

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVORLIX_BUILD_BENCHMARKS=ON -DVORLIX_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" --target vorlix_servo_sync_read_bench -j2 >/dev/null
bench="$build/vorlix_servo_sync_read_bench"

echo "== time per exchange"
"$bench" --exchanges "$exchanges"
"$bench" --exchanges "$exchanges" --wire-time

command -v strace >/dev/null || { echo "strace is not installed" >&2; exit 1; }
traces=$(mktemp -d)
trap 'rm -rf "$traces"' EXIT
trace() {  # prints "syscall calls" lines for a run of $1 exchanges
  strace -c -o "$traces/$1" "$bench" --exchanges "$1" >/dev/null
  awk '$1 ~ /^[0-9.]+$/ && NF >= 5 && $NF != "total" { print $NF, $4 }' "$traces/$1"
}
short=100
long=$((short + 1000))
echo "== system calls per exchange (our side, $short vs $long exchanges traced)"
join -a1 -a2 -e 0 -o 0,1.2,2.2 <(trace "$short" | sort) <(trace "$long" | sort) |
  awk -v n=$((long - short)) '
    { d = ($3 - $2) / n; if (d >= 0.005) { printf "  %-10s %.2f\n", $1, d; total += d } }
    END { printf "  %-10s %.2f\n", "total", total }'
