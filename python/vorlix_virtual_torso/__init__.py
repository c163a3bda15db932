"""The virtual torso: the robot's servo line and neck CAN bus, simulated for use without
hardware, for the demo and as the peer of the end-to-end tests."""

from .neck import VirtualNeck
from .servo_bus import VirtualServoBus

__all__ = ["VirtualNeck", "VirtualServoBus"]
