"""A tour of vorlix_motor_controller: read the torso, move the arms, home the neck.

Run it against the virtual torso (``tools/demo`` starts one for you) or against the robot:

    python examples/demo.py --serial /dev/ttyUSB0 --can can0

On the robot the arms and the neck really move: keep clear of them.
"""

import argparse
import logging
import math
import sys
import time

from vorlix_motor_controller import VorlixMotorController

ARM_AND_NOSE = [
    "left_arm_pitch", "left_arm_yaw", "right_arm_pitch", "right_arm_yaw",
    "nose_top", "nose_left", "nose_right",
]
NECK = ["neck_yaw", "neck_pitch", "neck_roll"]


def show(title, names, positions):
    print(f"\n{title}")
    print(f"  {'joint':<16}{'rad':>9}{'deg':>9}")
    for name, rad in zip(names, positions):
        print(f"  {name:<16}{rad:>9.3f}{math.degrees(rad):>9.1f}")


def move_arms(torso, goal, seconds=2.0):
    """Sends the arm goal, then watches the arms until they arrive or time runs out."""
    torso.set_arms_position(goal)
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        arms = torso.read_all_positions()[:4]
        if max(abs(a - g) for a, g in zip(arms, goal)) < 0.02:
            break
        time.sleep(0.05)
    return torso.read_all_positions()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--serial", required=True, help="servo serial port, e.g. /dev/ttyUSB0")
    parser.add_argument("--can", default="can0", help="SocketCAN interface of the neck")
    args = parser.parse_args()

    # The controller's warnings (the neck clamp, for one) arrive through Python logging.
    logging.basicConfig(level=logging.INFO, format="  [%(levelname)s %(name)s] %(message)s")

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

    lower_upper = torso.neck_position_limits()
    print("\nNeck limits (rad):", ", ".join(
        f"{name} [{lo:+.2f}, {hi:+.2f}]" for name, (lo, hi) in zip(NECK, lower_upper)))
    print("Asking for yaw 1.0 and pitch -1.0: both are clamped, with a warning each.")
    show("Neck as the motors report it", NECK, torso.set_neck_position([1.0, -1.0, 0.0]))
    torso.set_neck_position([0.0, 0.0, 0.0])
    torso.enable_neck(False)

    print("\nCalibrating the arm zero: the current arm pose becomes 0 rad (arms left torque-off).")
    torso.set_arm_home()
    show("Arms after calibration", ARM_AND_NOSE[:4], torso.read_all_positions()[:4])

    print("\nDone.")


if __name__ == "__main__":
    main()
