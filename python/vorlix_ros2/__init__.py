"""The torso in ROS 2: the node `vorlix_torso` (command `vorlix-ros2`), built on a
VorlixPyControlLoop and its capture, so that every reading reaches ROS 2 once. Needs rclpy and
the standard message packages (a ROS 2 installation, or the PyPI wheels)."""
