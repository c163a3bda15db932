"""The C++ face: `cmake --install` of the project gives a CMake package, and a program built
against it alone (examples/cpp) reads the virtual torso without Python."""

import math
import subprocess
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
# A build of the core from scratch, in the single-CPU test kernel included.
BUILD_TIMEOUT = 1800.0
RUN_TIMEOUT = 30.0


def cmake(*args) -> None:
    done = subprocess.run(
        ["cmake", *map(str, args)], capture_output=True, text=True, timeout=BUILD_TIMEOUT
    )
    assert done.returncode == 0, f"cmake {' '.join(map(str, args))}:\n{done.stdout}{done.stderr}"


@pytest.fixture(scope="module")
def prefix(tmp_path_factory) -> Path:
    """The core built and installed as a user does, into a folder of its own."""
    work = tmp_path_factory.mktemp("core")
    cmake("-S", ROOT, "-B", work / "build", "-G", "Ninja", "-DVORLIX_BUILD_TESTS=OFF")
    cmake("--build", work / "build", "-j2")
    cmake("--install", work / "build", "--prefix", work / "prefix")
    return work / "prefix"


@pytest.fixture(scope="module")
def example(prefix, tmp_path_factory) -> Path:
    build = tmp_path_factory.mktemp("example")
    cmake(
        "-S",
        ROOT / "examples/cpp",
        "-B",
        build,
        "-G",
        "Ninja",
        f"-DCMAKE_PREFIX_PATH={prefix}",
        "-DCMAKE_CXX_FLAGS=-Werror",
    )
    cmake("--build", build)
    return build / "vorlix_read_torso"


def test_the_package_holds_the_core_and_the_doctor(prefix):
    package = prefix / "lib/cmake/vorlix_motor_controller"
    assert {p.name for p in package.iterdir()} == {
        "vorlix_motor_controllerConfig.cmake",
        "vorlix_motor_controllerConfigVersion.cmake",
    }
    headers = prefix / "include/vorlix_motor_controller"
    assert (headers / "src/controller/controller.hpp").is_file()
    assert (headers / "src/control_loop/control_loop.hpp").is_file()
    assert not list(headers.rglob("*.cpp")) and not (headers / "src/bindings").exists()
    assert (prefix / "bin/vorlix-doctor").is_file()


def test_the_example_reads_every_joint(example, torso):
    for i, servo in torso.servo_bus.servos.items():
        servo.encoder = 2048 + 100 * i
    neck_positions = [0.25, -0.5, 1.5]
    for motor, position in zip(torso.neck.motors, neck_positions, strict=True):
        motor.position = position
    done = subprocess.run(
        [str(example), torso.serial_path, torso.can_iface],
        capture_output=True,
        text=True,
        timeout=RUN_TIMEOUT,
    )
    assert done.returncode == 0, done.stderr
    readings = [line.split() for line in done.stdout.splitlines()]
    assert [name for name, _ in readings] == [
        "left_arm_pitch",
        "left_arm_yaw",
        "right_arm_pitch",
        "right_arm_yaw",
        "nose_top",
        "nose_left",
        "nose_right",
        "neck_yaw",
        "neck_pitch",
        "neck_roll",
    ]
    expected = [100 * i * 2 * math.pi / 4096 for i in range(1, 8)] + neck_positions
    for (name, value), want in zip(readings, expected, strict=True):
        assert float(value) == pytest.approx(want, abs=1e-3), name
