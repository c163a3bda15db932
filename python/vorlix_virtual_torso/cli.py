"""vorlix-virtual-torso: serves the virtual torso's buses until SIGINT or SIGTERM."""

import argparse
import errno
import math
import os
import signal
import sys
from contextlib import ExitStack

from .neck import VirtualNeck
from .servo_bus import VirtualServoBus
from .serving import serving_first


def _neck_start(text: str) -> tuple[float, float, float]:
    try:
        yaw, pitch, roll = (float(part) for part in text.split(","))
    except ValueError:
        yaw = pitch = roll = math.nan
    if not all(math.isfinite(value) for value in (yaw, pitch, roll)):
        raise argparse.ArgumentTypeError(f"expected YAW,PITCH,ROLL in radians, got {text!r}")
    return yaw, pitch, roll


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="vorlix-virtual-torso",
        description="Simulates the torso's seven Feetech servos on a pty and its three Damiao "
        "neck motors on a CAN interface, until SIGINT or SIGTERM.",
    )
    parser.add_argument(
        "--serial", metavar="PATH", help="serve the servos; PATH becomes a link to the pty"
    )
    parser.add_argument("--can", metavar="IFACE", help="serve the neck on this CAN interface")
    parser.add_argument(
        "--neck-start",
        metavar="YAW,PITCH,ROLL",
        type=_neck_start,
        help="the neck's multi-turn start positions in radians (write --neck-start=-1,0,0 "
        "when the first is negative)",
    )
    parser.add_argument(
        "--wire-time",
        action="store_true",
        help="add the time the bytes take on a real 1 Mbaud line",
    )
    return parser


def _link(target: str, path: str) -> None:
    """Makes path a symbolic link to target; replaces a stale link, never another file."""
    if os.path.islink(path):
        os.unlink(path)
    os.symlink(target, path)


def _unlink_if_ours(path: str, target: str) -> None:
    if os.path.islink(path) and os.readlink(path) == target:
        os.unlink(path)


def _can_trouble(iface: str, error: OSError) -> str:
    """What went wrong with the neck's interface, and how to get one."""
    make = (f"make a virtual one with 'ip link add dev {iface} type vcan && "
            f"ip link set {iface} up' (as root), or run inside tools/with-vcan, whose interface "
            "is can0 (in $VORLIX_CAN_IFACE)")
    if error.errno == errno.EAFNOSUPPORT:
        return (f"cannot serve the neck on {iface}: this kernel has no SocketCAN ({error}); "
                "run inside tools/with-vcan, whose interface is can0 (in $VORLIX_CAN_IFACE)")
    if error.errno == errno.ENODEV:
        return f"there is no CAN interface {iface} ({error}): {make}"
    return f"cannot serve the neck on the CAN interface {iface}: {error}"


def main() -> int:
    parser = _parser()
    args = parser.parse_args()
    if args.serial is None and args.can is None:
        parser.error("give --serial PATH, --can IFACE or both")
    if args.can is None and args.neck_start is not None:
        parser.error("--neck-start needs --can")

    stop_signals = {signal.SIGINT, signal.SIGTERM}
    # Blocked before the serving threads start, so they inherit the mask: a signal then
    # waits for sigwait below instead of landing in a thread that cannot wake the main one.
    signal.pthread_sigmask(signal.SIG_BLOCK, stop_signals)

    with ExitStack() as resources:
        if args.serial is not None:
            try:
                bus = resources.enter_context(VirtualServoBus(wire_time=args.wire_time))
                _link(bus.serial_path, args.serial)
            except OSError as error:
                print(f"vorlix-virtual-torso: {error}", file=sys.stderr)
                return 1
            resources.callback(_unlink_if_ours, args.serial, bus.serial_path)
        if args.can is not None:
            try:
                resources.enter_context(VirtualNeck(args.can, args.neck_start or (0.0, 0.0, 0.0)))
            except OSError as error:
                print(f"vorlix-virtual-torso: {_can_trouble(args.can, error)}", file=sys.stderr)
                return 1
        # A reply the controller waits for is never held up by its own busy process.
        serving_first()
        # Printed once everything serves: a reader of these lines may start at once.
        if args.serial is not None:
            print(f"serial: {args.serial}", flush=True)
        if args.can is not None:
            print(f"can: {args.can}", flush=True)
        signal.sigwait(stop_signals)
    return 0


if __name__ == "__main__":
    sys.exit(main())
