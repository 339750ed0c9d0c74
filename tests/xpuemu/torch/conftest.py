"""Set-up for the XPU device tests: the built modules on sys.path and clean device state."""
import os
import pathlib
import sys

import pytest

_REPO = pathlib.Path(__file__).resolve().parents[3]
BUILD_LIB = os.environ.get("VANTREL_BUILD", str(_REPO / "build" / "lib"))
sys.path.insert(0, BUILD_LIB)

import xpuemu  # noqa: E402  (registers the XPU device with PyTorch)
import torch  # noqa: E402, F401


@pytest.fixture(autouse=True)
def device_state():
    """Checking and poisoning on, no pending failure and an empty launch log for every test."""
    xpuemu.set_checking(True)
    xpuemu.set_poison(True)
    xpuemu.synchronize()
    xpuemu.clear_launch_log()
    yield
    xpuemu.synchronize()
