"""What pip installed: the module on CPython's stable ABI, with metadata that names the Python
running it."""

import importlib.metadata
import pathlib
import sys

import vorlix_motor_controller


def test_the_module_is_on_the_stable_abi_and_its_metadata_names_this_python():
    assert pathlib.Path(vorlix_motor_controller.__file__).name == "vorlix_motor_controller.abi3.so"
    metadata = importlib.metadata.metadata("vorlix_motor_controller")
    python = f"Programming Language :: Python :: {sys.version_info.major}.{sys.version_info.minor}"
    assert python in metadata.get_all("Classifier")
    assert metadata["License-Expression"] == "LicenseRef-Proprietary"
