"""Drives the virtual torso through the installed module and doctor from the interpreter that
runs it: what tools/check-wheels asks of the aarch64 wheel under qemu. With a vcan interface
(tools/with-vcan) the controller reads positions, follows goals and switches torque; without
one (qemu-user emulates no CAN socket option, and every controller opens the CAN bus) the
module is imported and the doctor checks the servo line alone. Usage: drive_torso.py
DOCTOR_COMMAND... (the doctor as this system runs it). Exits non-zero, saying why, when
anything is off."""

import json
import os
import subprocess
import sys
import time

from vorlix_motor_controller import VorlixMotorController

from vorlix_virtual_torso import VirtualNeck, VirtualServoBus

GOAL_STEP = 0.1  # radians from where each servo rests
TOLERANCE = 0.02


def wait_for(condition, timeout: float = 30.0) -> bool:
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if condition():
            return True
        time.sleep(0.05)
    return False


def drive(bus: VirtualServoBus, iface: str) -> None:
    with VirtualNeck(iface):
        controller = VorlixMotorController(bus.serial_path, iface)
        start = controller.read_all_positions()
        print(f"servo positions: {[round(p, 3) for p in start]}")
        print(f"neck positions: {[round(p, 3) for p in controller.read_neck_positions()]}")
        controller.enable_torque()
        assert controller.is_torque_enabled(), "torque did not come on"
        goals = [p + GOAL_STEP for p in start]
        controller.set_all_goal_positions(goals)
        reached = wait_for(lambda: all(
            abs(p - g) < TOLERANCE for p, g in zip(controller.read_all_positions(), goals)))
        now = controller.read_all_positions()
        assert reached, f"the servos did not reach {goals}: {now}"
        print(f"goals reached: {[round(p, 3) for p in now]}")
        controller.disable_torque()
        assert not controller.is_torque_enabled(), "torque did not go off"
        print("torque on and off: ok")


def main() -> None:
    iface = os.environ.get("VORLIX_CAN_IFACE")
    print(f"module: {VorlixMotorController.__module__} from {sys.modules['vorlix_motor_controller'].__file__}")
    with VirtualServoBus() as bus:
        if iface:
            drive(bus, iface)
        buses = ["--serial", bus.serial_path, *(["--can", iface] if iface else [])]
        done = subprocess.run([*sys.argv[1:], *buses, "--reply-wait", "200", "--json"],
                              capture_output=True, text=True, timeout=300)
        report = json.loads(done.stdout)
        print(f"vorlix-doctor: exit {done.returncode}, verdict {report['verdict']}, "
              f"{len(report['checks'])} checks")
        assert done.returncode == 0 and report["verdict"] == "ok", done.stdout + done.stderr


if __name__ == "__main__":
    main()
