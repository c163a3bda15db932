"""Records a VorlixPyControlLoop to MCAP (and serves it live over the Foxglove WebSocket
protocol): every tick's joints and timing, every executed command, and the module's log
records. Needs the `record` extra: `pip install vorlix_motor_controller[record]`."""

from vorlix_recording.messages import COMMANDS_TOPIC, JOINT_NAMES, JOINTS_TOPIC, LOG_TOPIC, TIMING_TOPIC
from vorlix_recording.recorder import Recorder

__all__ = ["COMMANDS_TOPIC", "JOINTS_TOPIC", "JOINT_NAMES", "LOG_TOPIC", "TIMING_TOPIC", "Recorder"]
