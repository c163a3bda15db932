# Run by benchmarks/recording.sh next to a vcan interface. Argument: python.
set -euo pipefail
python=$1
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
source "$here/virtual_torso.sh"

# Instructions inside the worker's body only, from its first tick to its end.
ticks=300
for recording in off on; do
  out="$work/callgrind.$recording"
  valgrind --tool=callgrind --collect-atstart=no --toggle-collect='*run_worker*' \
    --callgrind-out-file="$out" "$python" "$here/recording.py" "$work/tty" "$VORLIX_CAN_IFACE" \
    ticks "$recording" "$ticks" >"$work/ticks.$recording" 2>/dev/null
  counted=$(sed -n 's/^ticks: //p' "$work/ticks.$recording")
  total=$(sed -n 's/^totals: //p' "$out")
  echo "recording $recording: $total worker instructions over $counted ticks:" \
    "$((total / counted)) per tick"
done

"$python" "$here/recording.py" "$work/tty" "$VORLIX_CAN_IFACE" periods "$work"
