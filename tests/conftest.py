"""Set-up shared by the Python tests: a clean device for every test, the build under test named in
the session header, and the environment for tests that start interpreters."""
import os
import pathlib

import pytest

# A kernel that never ends fails its test instead of hanging the suite.
os.environ.setdefault("XPUEMU_LAUNCH_TIMEOUT_S", "300")

import xpuemu  # noqa: E402  (registers the XPU device with PyTorch)
import torch  # noqa: E402, F401
import vantrel  # noqa: E402

# The folder the packages were imported from (pytest.ini's pythonpath).
BUILD_LIB = pathlib.Path(vantrel.__file__).parents[1]


def pytest_report_header(config):
    return f"vantrel, xpuemu and vantrel_llama from {BUILD_LIB}"


def pytest_terminal_summary(terminalreporter):
    # Also under -q, which drops the header: which build the results are for.
    terminalreporter.write_line(f"tested the build in {BUILD_LIB}")


@pytest.fixture(scope="session")
def build_env():
    """The environment of a child interpreter that imports the same build as the suite."""
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join([str(BUILD_LIB)] + [p for p in
                                         env.get("PYTHONPATH", "").split(os.pathsep) if p])
    return env


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
