# Sourced by the benchmarks' guest scripts, with $python set: starts the virtual torso with
# wire-time emulation in a fresh $work folder (serial line $work/tty, the neck on
# $VORLIX_CAN_IFACE), stopped and cleaned up on exit, and waits until it serves both buses.
work=$(mktemp -d)
"$(dirname "$python")/vorlix-virtual-torso" --serial "$work/tty" --can "$VORLIX_CAN_IFACE" \
  --wire-time >"$work/torso.out" &
torso=$!
trap 'kill $torso 2>/dev/null; wait $torso 2>/dev/null; rm -rf "$work"' EXIT
for _ in $(seq 100); do [[ $(wc -l <"$work/torso.out") -ge 2 ]] && break; sleep 0.1; done
