"""The torso's joints as ROS 2 names them, and joint commands turned into the loop's group
setters: a command names any subset of joints; the rest of each group it touches keeps its
last goal, or its present position before any goal."""

from __future__ import annotations

import math
from collections.abc import Sequence
from dataclasses import dataclass

from vorlix_motor_controller import VorlixTorsoPosition


@dataclass(frozen=True)
class JointGroup:
    """Joints the loop sets together, with the setter that does it."""

    setter: str
    joints: tuple[str, ...]


# In the torso table's order: left arm, right arm, nose, neck, as a reading lists them.
LEFT_ARM = JointGroup("set_left_arm_position", ("left_arm_pitch", "left_arm_yaw"))
RIGHT_ARM = JointGroup("set_right_arm_position", ("right_arm_pitch", "right_arm_yaw"))
NOSE = JointGroup("set_nose_position", ("nose_top", "nose_left", "nose_right"))
NECK = JointGroup("set_neck_position", ("neck_yaw", "neck_pitch", "neck_roll"))
TORSO_GROUPS = (LEFT_ARM, RIGHT_ARM, NOSE, NECK)


def groups_of(neck_only: bool) -> tuple[JointGroup, ...]:
    return (NECK,) if neck_only else TORSO_GROUPS


def joint_names(groups: Sequence[JointGroup]) -> list[str]:
    return [name for group in groups for name in group.joints]


def joint_positions(reading: VorlixTorsoPosition, neck_only: bool) -> list[float]:
    """The reading's positions in the order of `joint_names(groups_of(neck_only))`."""
    if neck_only:
        return reading.neck
    return [*reading.left_arm, *reading.right_arm, *reading.nose, *reading.neck]


class JointGoals:
    """The goals posted so far, per group. Not thread-safe: one thread commands."""

    def __init__(self, groups: Sequence[JointGroup]) -> None:
        self._groups = tuple(groups)
        self._group_of = {name: group for group in self._groups for name in group.joints}
        self._goals: dict[str, float] = {}

    def refusal(self, names: Sequence[str], positions: Sequence[float]) -> str | None:
        """Why the command cannot be posted, or None when it can."""
        if len(names) != len(positions):
            return f"{len(names)} names but {len(positions)} positions"
        unknown = [name for name in names if name not in self._group_of]
        if unknown:
            return f"unknown joints {unknown} (this torso has {list(self._group_of)})"
        repeated = sorted({name for name in names if names.count(name) > 1})
        if repeated:
            return f"joints named more than once: {repeated}"
        bad = [name for name, value in zip(names, positions) if not math.isfinite(value)]
        if bad:
            return f"non-finite positions for {bad}"
        return None

    def plan(self, names: Sequence[str], positions: Sequence[float],
             present: dict[str, float]) -> list[tuple[str, list[float]]]:
        """The setter calls that carry out an accepted command, in table order; remembers
        their goals as posted."""
        wanted = dict(zip(names, positions))
        calls = []
        for group in self._groups:
            if not any(name in wanted for name in group.joints):
                continue
            goals = [wanted.get(name, self._goals.get(name, present[name]))
                     for name in group.joints]
            self._goals.update(zip(group.joints, goals))
            calls.append((group.setter, goals))
        return calls
