# Run by benchmarks/recording.sh next to a vcan interface. Argument: python.
set -euo pipefail
python=$1
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
source "$here/virtual_torso.sh"

# The worker's own instructions: its thread is the second of the process (the installed
# module is stripped, so callgrind cannot tell its functions by name). A tick's count moves by
# a few percent from run to run with how the replies fall into reads: the median of three
# runs, off and on taking turns.
ticks=300
declare -A per_tick
for run in 1 2 3; do
  for recording in off on; do
    out="$work/callgrind.$recording.$run"
    valgrind --tool=callgrind --separate-threads=yes --callgrind-out-file="$out" \
      "$python" "$here/recording.py" "$work/tty" "$VORLIX_CAN_IFACE" ticks "$recording" "$ticks" \
      >"$work/ticks" 2>/dev/null
    counted=$(sed -n 's/^ticks: //p' "$work/ticks")
    total=$(sed -n 's/^totals: //p' "$out-02")
    per_tick[$recording]+="$((total / counted)) "
  done
done
for recording in off on; do
  # shellcheck disable=SC2086 # one count per word
  median=$(printf '%s\n' ${per_tick[$recording]} | sort -n | sed -n 2p)
  echo "recording $recording: worker instructions per tick ${per_tick[$recording]}(median $median)"
done

# The recordings go to the guest's own tmpfs: in user-mode Linux a write to the host's file
# system holds the guest's only CPU until the host is done, which would stall the loop for as
# long as the host's disk takes, recorder or not.
"$python" "$here/recording.py" "$work/tty" "$VORLIX_CAN_IFACE" periods /dev/shm
