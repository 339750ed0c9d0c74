"""Shared set-up for the operator tests: the built modules, the XPU device, the device switches."""
import os
import pathlib
import sys

import pytest

_REPO = pathlib.Path(__file__).resolve().parents[2]
sys.path.insert(0, os.environ.get("VANTREL_BUILD", str(_REPO / "build" / "lib")))

import torch  # noqa: E402
import xpuemu  # noqa: E402  (registers the XPU device with PyTorch)
import vantrel  # noqa: E402, F401


@pytest.fixture(scope="session")
def xpu():
    return torch.device("xpu")


@pytest.fixture(autouse=True)
def device_checks():
    """Every test runs with access checking and poisoning on (unwritten outputs read as NaN) and
    starts with an empty launch log; a failed launch fails the test that caused it."""
    xpuemu.set_checking(True)
    xpuemu.set_poison(True)
    xpuemu.synchronize()
    xpuemu.clear_launch_log()
    yield
    xpuemu.synchronize()
    xpuemu.set_checking(True)
    xpuemu.set_poison(True)


@pytest.fixture
def launches():
    """The launch records since the test started (waits for the device)."""
    return xpuemu.launch_log
