"""Fixtures of the operator tests."""
import pytest
import torch
import xpuemu


@pytest.fixture(scope="session")
def xpu():
    return torch.device("xpu")


@pytest.fixture
def launches():
    """The launch records since the test started (waits for the device)."""
    return xpuemu.launch_log
