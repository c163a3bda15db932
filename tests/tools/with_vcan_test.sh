#!/usr/bin/env bash
# tools/with-vcan passes signals and standard input to its command and leaves no kernel
# behind: run on the host (not inside with-vcan), in either mode.
set -euo pipefail
cd "$(dirname "$0")/../.."
# Bounds for a wait that should end in a second or two, on a busy machine.
readonly limit=${WITH_VCAN_TEST_LIMIT:-60}
python=$(command -v python3)
failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

# Started as a terminal starts a command: SIGINT not ignored, as a background job's would be.
started() {
  local marker=$1
  shift
  env --default-signal=INT tools/with-vcan "$@" &
  wrapper=$!
  timeout "$limit" bash -c "until [[ -s '$marker' ]]; do sleep 0.1; done" \
    || fail "the command did not start"
}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
started "$work/ready" "$python" -c "
import pathlib, signal
pathlib.Path('$work/ready').write_text('up')
try:
    signal.pause()  # until the signal the test sends
except KeyboardInterrupt:
    pathlib.Path('$work/handled').write_text('yes')"
kill -INT "$wrapper"
timeout "$limit" tail --pid="$wrapper" -f /dev/null || fail "SIGINT did not end the command"
[[ -s $work/handled ]] || fail "SIGINT did not reach the command's handler"

out=$(printf 'hi\nthere\n' | timeout "$limit" tools/with-vcan head -1)
[[ $out == hi ]] || fail "standard input did not reach the command: '$out'"
out=$(printf 'no newline' | timeout "$limit" tools/with-vcan cat)
[[ $out == 'no newline' ]] || fail "the end of standard input did not reach the command: '$out'"

started "$work/up" bash -c "echo up >'$work/up'; exec tail -f /dev/null"  # until killed
kernels=$(pgrep -P "$wrapper" || true)
{ kill -KILL "$wrapper"; wait "$wrapper"; } 2>/dev/null || true
for pid in $kernels; do
  timeout "$limit" tail --pid="$pid" -f /dev/null || fail "process $pid outlived its wrapper"
done

((failures == 0)) && echo "with-vcan: all passed"
exit $((failures > 0))
