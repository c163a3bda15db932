# Run by benchmarks/control_loop.sh next to a vcan interface. Arguments: python, PNG path.
set -euo pipefail
python=$1
png=$2
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
source "$here/virtual_torso.sh"

"$python" "$here/control_loop.py" "$work/tty" "$VORLIX_CAN_IFACE" --png "$png"

# The posting thread's system calls between the two markers, per post.
strace -f -qq -o "$work/trace" "$python" "$here/control_loop.py" "$work/tty" \
  "$VORLIX_CAN_IFACE" --python-costs-only >/dev/null
awk '/post-burst-begin/ { tid = $1; on = 1; next }
     on && $1 == tid && /post-burst-end/ { on = 0 }
     on && $1 == tid && $2 !~ /^<\.\.\./ { calls[$2 ~ /^[a-z_0-9]+\(/ ? substr($2, 1, index($2, "(") - 1) : $2]++; n++ }
     END { printf "system calls per post (50 posts traced): %.2f", n / 50
           for (c in calls) printf " %s=%d", c, calls[c]; print "" }' "$work/trace"
