"""Set-up shared by the Python tests: the built modules on sys.path (VANTREL_BUILD overrides
build/lib) and a clean device for every test."""
import os
import pathlib
import sys

import pytest

_REPO = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, os.environ.get("VANTREL_BUILD", str(_REPO / "build" / "lib")))
# A kernel that never ends fails its test instead of hanging the suite.
os.environ.setdefault("XPUEMU_LAUNCH_TIMEOUT_S", "300")

import xpuemu  # noqa: E402  (registers the XPU device with PyTorch)
import torch  # noqa: E402, F401


@pytest.fixture(autouse=True)
def device_state():
    """Every test runs with access checking and poisoning on (unwritten outputs read as NaN), no
    pending failure and an empty launch log; a failed launch fails the test that caused it."""
    xpuemu.set_checking(True)
    xpuemu.set_poison(True)
    xpuemu.synchronize()
    xpuemu.clear_launch_log()
    yield
    xpuemu.synchronize()
    xpuemu.set_checking(True)
    xpuemu.set_poison(True)
