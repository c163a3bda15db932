"""A tour of vorlix_motor_controller: read the torso, move the arms, home the neck, then run
the control loop that a robot program runs on, recording it to MCAP and plotting it.

Run it against the virtual torso (``tools/demo`` starts one for you) or against the robot:

    python examples/demo.py --serial /dev/ttyUSB0 --can can0 [--calibrate-arms] [--record F.mcap]

On the robot the arms and the neck really move: keep clear of them. ``--calibrate-arms``
rewrites the arm servos' stored zero (EEPROM) and leaves the arms without torque, so it is
off unless asked for.
"""

import argparse
import logging
import math
import sys
import tempfile
import time
from collections.abc import Sequence
from datetime import timedelta
from pathlib import Path

from vorlix_motor_controller import VorlixMotorController, VorlixPyControlLoop
from vorlix_recording import Recorder
from vorlix_recording.output import RecordingOutput
from vorlix_recording.plot_command import plot_recording

ARM_AND_NOSE = [
    "left_arm_pitch", "left_arm_yaw", "right_arm_pitch", "right_arm_yaw",
    "nose_top", "nose_left", "nose_right",
]
NECK = ["neck_yaw", "neck_pitch", "neck_roll"]


def show(title: str, names: Sequence[str], positions: Sequence[float]) -> None:
    print(f"\n{title}")
    print(f"  {'joint':<16}{'rad':>9}{'deg':>9}")
    for name, rad in zip(names, positions):
        print(f"  {name:<16}{rad:>9.3f}{math.degrees(rad):>9.1f}")


def move_arms(torso: VorlixMotorController, goal: list[float],
              seconds: float = 2.0) -> list[float]:
    """Sends the arm goal, then watches the arms until they arrive or time runs out."""
    torso.set_arms_position(goal)
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        arms = torso.read_all_positions()[:4]
        if max(abs(a - g) for a, g in zip(arms, goal)) < 0.02:
            break
        time.sleep(0.05)
    return torso.read_all_positions()


def main() -> None:
    parser = argparse.ArgumentParser(description=(__doc__ or "").splitlines()[0])
    parser.add_argument("--serial", required=True, help="servo serial port, e.g. /dev/ttyUSB0")
    parser.add_argument("--can", default="can0", help="SocketCAN interface of the neck")
    parser.add_argument("--calibrate-arms", action="store_true",
                        help="make a new arm pose the stored zero (rewrites the servos' EEPROM)")
    parser.add_argument("--record", type=Path, metavar="FILE.mcap",
                        default=Path(tempfile.gettempdir()) / "vorlix-demo.mcap",
                        help="where the control loop's recording goes; its plot goes beside it")
    args = parser.parse_args()

    # The controller's warnings (the neck clamp, for one) arrive through Python logging.
    logging.basicConfig(level=logging.INFO, format="  [%(levelname)s %(name)s] %(message)s")
    # The port is held exclusively: the loop opens it once the direct controller is gone.
    turns = direct_tour(args)
    loop_tour(args.serial, args.can, turns, args.record)
    # The neck stays enabled: disabling it would let the head drop.
    print("\nDone.")


def direct_tour(args: argparse.Namespace) -> list[int]:
    """The direct controller: every call talks to the motors and returns when done. Returns
    how many turns each neck joint sits from its counter's zero after homing."""
    try:
        torso = VorlixMotorController(args.serial, args.can)
    except RuntimeError as error:
        sys.exit(f"Cannot open the torso on {args.serial} / {args.can}: {error}")
    print(f"Torso found on {args.serial} (servos) and {args.can} (neck).")

    show("Arms and nose", ARM_AND_NOSE, torso.read_all_positions())
    show("Neck", NECK, torso.read_neck_positions())

    print("\nMoving the arms: torque on, raise both pitches by 0.3 rad, then back.")
    torso.enable_arms(True)
    start = torso.read_all_positions()[:4]
    raised = [start[0] + 0.3, start[1], start[2] + 0.3, start[3]]
    show("Arms raised", ARM_AND_NOSE[:4], move_arms(torso, raised)[:4])
    show("Arms back", ARM_AND_NOSE[:4], move_arms(torso, start)[:4])

    print("\nHoming the neck to its nearest physical zero (each joint moves at most π).")
    homed = torso.neck_home(speed=1.0, tolerance=0.05)
    show("Neck after homing", NECK, homed)
    turns = [round(position / math.tau) for position in homed]
    for name, turn in zip(NECK, turns):
        if turn:
            print(f"  {name} sits {turn:+d} turn(s) from its counter's zero: physically at zero.")

    limits = torso.neck_position_limits()
    print("\nNeck limits (rad):", ", ".join(
        f"{name} [{lower:+.2f}, {upper:+.2f}]" for name, (lower, upper) in zip(NECK, limits)))
    # A joint homed a turn away would spin a full turn to reach any position within its
    # limits, so only joints whose zero is the counter's zero are commanded here.
    setters = [torso.set_neck_yaw_position, torso.set_neck_pitch_position,
               torso.set_neck_roll_position]
    for joint, (name, turn) in enumerate(zip(NECK, turns)):
        if turn:
            print(f"Leaving {name} where it is: commanding it would turn it {abs(turn)} turn(s).")
            continue
        upper = limits[joint][1]
        request = upper + 0.5
        print(f"Asking {name} for {request:.2f} rad, beyond its limit: it is clamped, with a warning.")
        reported = setters[joint](request)
        print(f"  {name} reports {reported:.3f} rad on its way to {upper:.2f}")
        setters[joint](0.0)

    if args.calibrate_arms:
        print("\nCalibrating the arm zero: left arm pitch raised 0.2 rad, and that pose becomes")
        print("the new 0 rad (written to the servos' EEPROM; the arms are left without torque).")
        move_arms(torso, [0.2, 0.0, 0.0, 0.0])
        show("Arms after calibration", ARM_AND_NOSE[:4], torso.set_arm_home())
    else:
        print("\nSkipping arm zero calibration (pass --calibrate-arms to rewrite the servos' zero).")

    return turns


def loop_tour(serial: str, can: str, turns: list[int], recording: Path) -> None:
    """The control loop: a worker reads every joint each 10 ms while this thread posts, and a
    recorder writes every tick and command to `recording`."""
    # The recording's file is opened before the loop starts: its first opening is slow (the
    # MCAP writer's library starts up), and would hold up the loop's first ticks.
    output = RecordingOutput(recording)
    print("\nStarting the control loop (checks every motor, waits for 12 V, reboots the servos).")
    try:
        loop = VorlixPyControlLoop(serial, timedelta(milliseconds=10), can,
                                   stats_pub_period=timedelta(milliseconds=250))
    except BaseException:
        output.discard()
        raise
    try:
        with Recorder(loop, output) as recorder:
            post_and_watch(loop, turns)
            loop.close()  # before the recorder ends its file: it gives way to the loop
        print("\nControl loop closed: every posted command was carried out.")
    finally:
        loop.close()
    print(f"Recorded {recorder.ticks} ticks and {recorder.commands} commands "
          f"({recorder.dropped} dropped) to {recording}")
    picture = recording.with_suffix(".png")
    plot_recording(recording, picture)
    print(f"Plot of the recording: {picture} (open the recording itself in Foxglove)")


def post_and_watch(loop: VorlixPyControlLoop, turns: list[int]) -> None:
    """Posts arm and neck goals and raw requests, and shows the readings meanwhile."""
    print("Motors:", loop.get_motor_name_id())
    loop.enable_arms(True)
    loop.set_arms_position([0.3, -0.2, 0.3, 0.2])
    # Only joints homed to their counter's zero are moved (see above).
    setters = [loop.set_neck_yaw_position, loop.set_neck_pitch_position,
               loop.set_neck_roll_position]
    neck_goal = [0.3, 0.3, -0.2]
    for setter, turn, goal in zip(setters, turns, neck_goal):
        if not turn:
            setter(goal)
    print("\nPosted: arms to [0.3, -0.2, 0.3, 0.2], neck joints at zero towards",
          neck_goal, "\nLast readings while they move:")
    for _ in range(6):
        position = loop.get_last_position()
        print(f"  t={position.timestamp:.2f}  arms {fmt(position.left_arm + position.right_arm)}"
              f"  neck {fmt(position.neck)}")
        time.sleep(0.2)
    print("\nRaw read of servo 1, present position (register 56, 2 bytes):",
          loop.async_read_raw_bytes(1, 56, 2).hex(" "))
    print("PID gains of servo 1 (P, I, D):", loop.async_read_pid_gains(1))
    loop.set_arms_position([0.0, 0.0, 0.0, 0.0])
    time.sleep(0.5)
    stats = loop.get_stats()
    if stats is not None:  # on, since the loop was given stats_pub_period
        print(f"\nStatistics over {len(stats.period)} ticks: {stats!r}")


def fmt(values: Sequence[float]) -> str:
    return "[" + ", ".join(f"{v:+.3f}" for v in values) + "]"


if __name__ == "__main__":
    main()
