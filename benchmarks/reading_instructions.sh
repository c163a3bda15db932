#!/usr/bin/env bash
# Instructions per full reading (read_pos: seven servos and the neck), counted by callgrind
# inside read_pos alone, against peers that answer at once. Start-up costs (the first calls
# through each library function) are removed by counting two runs of different lengths and
# dividing the difference. Runs next to a vcan interface through tools/with-vcan.
#
#   benchmarks/reading_instructions.sh [BUILD_DIR]     (default build/bench)
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
build="$(realpath -m "${1:-$root/build/bench}")"
command -v valgrind >/dev/null || { echo "valgrind is not installed" >&2; exit 1; }

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVORLIX_BUILD_BENCHMARKS=ON -DVORLIX_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" --target vorlix_reading_bench -j2 >/dev/null

counts=$(mktemp -d)
trap 'rm -rf "$counts"' EXIT
"$root/tools/with-vcan" bash -c '
  set -e
  bench=$1 counts=$2
  for readings in 50 250; do
    valgrind --tool=callgrind --callgrind-out-file="$counts/$readings" \
      --toggle-collect="vorlix::control_loop::read_pos*" "$bench" --readings "$readings" \
      2>"$counts/$readings.log"
  done
' bench "$build/vorlix_reading_bench" "$counts"
instructions() { awk '/^(summary|totals):/ { print $2; exit }' "$counts/$1"; }
awk -v short="$(instructions 50)" -v long="$(instructions 250)" \
  'BEGIN { printf "instructions per reading: %.0f\n", (long - short) / 200 }'
