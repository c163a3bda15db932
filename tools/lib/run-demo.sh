# Run by tools/demo through tools/with-vcan: the virtual torso in the background, the demo
# against it, then the torso stopped. Argument: the venv's python. Exits with the demo's
# status.
set -uo pipefail
python=$1
workdir=$(mktemp -d -t vorlix-demo.XXXXXX)
serial=$workdir/ttyVIRT
torso_pid=

stop_torso() {
  [[ -n $torso_pid ]] || return 0
  kill -TERM "$torso_pid" 2>/dev/null
  wait "$torso_pid"
  local status=$?
  torso_pid=
  return $status
}
trap 'stop_torso; rm -rf "$workdir"' EXIT

: >"$workdir/torso.out"  # exists before the loop below reads it
"$(dirname "$python")/vorlix-virtual-torso" --serial "$serial" --can "$VORLIX_CAN_IFACE" \
  --neck-start 6.2,-3.0,0.1 >"$workdir/torso.out" &
torso_pid=$!

# The torso prints one line per bus once it serves them.
for _ in $(seq 100); do
  [[ $(wc -l <"$workdir/torso.out") -ge 2 ]] && break
  if ! kill -0 "$torso_pid" 2>/dev/null; then
    torso_pid=
    echo "run-demo: the virtual torso ended before serving" >&2
    exit 1
  fi
  sleep 0.1
done
if [[ $(wc -l <"$workdir/torso.out") -lt 2 ]]; then
  echo "run-demo: the virtual torso did not start within 10 s" >&2
  exit 1
fi
sed 's/^/virtual torso: /' "$workdir/torso.out"

"$python" examples/demo.py --serial "$serial" --can "$VORLIX_CAN_IFACE" --calibrate-arms
status=$?
stop_torso || echo "run-demo: the virtual torso did not stop cleanly" >&2
exit $status
