# pyright: strict
"""A program that uses the installed package the way robot programs do. It is never run:
test_typing.py type-checks it strictly, so a stub that loses a type shows up as an error."""

import datetime
import logging

from vorlix_motor_controller import (
    ControlLoopStats,
    VorlixMotorController,
    VorlixPyControlLoop,
    VorlixTorsoPosition,
)

from vorlix_virtual_torso import VirtualNeck, VirtualServoBus


def mean_period_ms(stats: ControlLoopStats) -> float:
    return 1000.0 * sum(stats.period) / max(len(stats.period), 1)


def direct(serial_path: str, can_iface: str) -> list[float]:
    torso = VorlixMotorController(serial_path, can_bus=can_iface)
    arms: list[float] = torso.read_all_positions()[:4]
    torso.set_arms_position([a / 2 for a in arms])
    torso.enable_torque_on_ids(range(1, 5))
    lower, upper = torso.neck_position_limits()[1]
    yaw: float = torso.set_neck_yaw_position((lower + upper) / 2)
    torso.set_neck_gains(0, kp=8.0, kd=0.5)
    torso.write_raw_packet(b"\xff\xff\x01\x02\x01\xfb")
    return [yaw, *torso.neck_home(speed=0.2, kp=None)]


def looped(serial_path: str | None, can_iface: str) -> VorlixTorsoPosition:
    loop = VorlixPyControlLoop(
        serial_path,
        datetime.timedelta(milliseconds=10),
        can_bus=can_iface,
        stats_pub_period=datetime.timedelta(seconds=1),
    )
    position = loop.get_last_position()
    goal = VorlixTorsoPosition(position.left_arm, [0.0, 0.0], (0.1,) * 3, position.neck)
    loop.set_all_goal_positions(goal)
    names: dict[str, int] = loop.get_motor_name_id()
    p, i, d = loop.async_read_pid_gains(names["nose_top"])
    loop.async_write_pid_gains(1, p, i, d)
    stats = loop.get_stats()
    if stats is not None:
        logging.info("period %.2f ms at %.3f", mean_period_ms(stats), position.timestamp)
    answer: bytes = loop.write_raw_packet(loop.async_read_raw_bytes(1, 56, 2))
    logging.info("%r %r", position, answer)
    loop.close()
    return position


def on_virtual_torso(can_iface: str) -> None:
    with VirtualServoBus() as bus, VirtualNeck(can_iface, start_positions=(6.2, -3.0, 0.1)) as neck:
        bus.servos[6].absent = True
        neck.motors[1].blocked = True
        direct(bus.serial_path, can_iface)
        looped(None, neck.iface)
