# Run by benchmarks/recording.sh next to a vcan interface. Argument: python.
set -euo pipefail
python=$1
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
source "$here/virtual_torso.sh"

# The worker's own instructions: its thread is the second of the process (the installed
# module is stripped, so callgrind cannot tell its functions by name).
ticks=300
for recording in off on; do
  out="$work/callgrind.$recording"
  valgrind --tool=callgrind --separate-threads=yes --callgrind-out-file="$out" \
    "$python" "$here/recording.py" "$work/tty" "$VORLIX_CAN_IFACE" ticks "$recording" "$ticks" \
    >"$work/ticks.$recording" 2>/dev/null
  counted=$(sed -n 's/^ticks: //p' "$work/ticks.$recording")
  total=$(sed -n 's/^totals: //p' "$out-02")
  echo "recording $recording: $total worker instructions over $counted ticks:" \
    "$((total / counted)) per tick"
done

"$python" "$here/recording.py" "$work/tty" "$VORLIX_CAN_IFACE" periods "$work"
