"""Waits that end: interrupted waits, forked children, the exit of a process with work pending.
Each case runs in its own interpreter under a hard timeout, so a hang fails the test."""
import subprocess
import sys

import pytest

PRELUDE = """
import os, signal, sys, threading, time
import torch, xpuemu, xpuemu_testkernels as kernels
"""


def run_python(code, env, timeout=60):
    try:
        return subprocess.run([sys.executable, "-c", PRELUDE + code], capture_output=True,
                              text=True, timeout=timeout, env=env)
    except subprocess.TimeoutExpired as e:
        pytest.fail(f"hung for {timeout} s; output so far:\n{e.stdout}\n{e.stderr}")


# Waits for a launch still running.
WAITS = {
    "synchronize": "xpuemu.synchronize()",
    "cpu": "t.cpu()",
    "item": "t[0].item()",
    "print": "print(t)",
    "launch_log": "xpuemu.launch_log()",
    "pytorch_linear_path": "vantrel.forward(torch.ones(9, 64, device='xpu'), w)",
}


def test_a_signal_interrupts_every_wait(build_env):
    """Each wait, Ctrl-C'd 0.3 s in while a 6 s launch runs, raises KeyboardInterrupt within a
    second; the launch runs to its end and later waits wait for it."""
    r = run_python(f"""
import vantrel
w = torch.ones(16, 64, device='xpu')
t = torch.zeros(4, device='xpu')
start = time.monotonic()
kernels.fill(t, 1.0, delay_ms=10000)
waits = {{{", ".join(f"{name!r}: lambda: {code}" for name, code in WAITS.items())}}}
for name, wait in waits.items():
    threading.Timer(0.3, os.kill, (os.getpid(), signal.SIGINT)).start()
    begin = time.monotonic()
    try:
        wait()
        print(name, 'not interrupted')
    except KeyboardInterrupt:
        print(name, round(time.monotonic() - begin - 0.3, 2))
print(t.sum().item(), time.monotonic() - start > 5.5)
""", build_env)
    assert r.returncode == 0, r.stderr
    *waits, last = r.stdout.strip().split("\n")
    assert [ln.split()[0] for ln in waits] == list(WAITS), r.stdout
    assert all(float(ln.split()[1]) < 1 for ln in waits), r.stdout
    assert last == "4.0 True"


def test_forked_children_get_errors_not_hangs(build_env):
    """Children forked while a 10 s launch is pending: each device call raises at once, neither
    exit waits for the parent's launch (7.5 s leaves room for a busy machine), and the parent's
    device is unaffected."""
    calls = ["t.cpu()", "torch.zeros(2, device='xpu')", "xpuemu.synchronize()",
             "kernels.fill(t, 2.0)"]
    r = run_python(f"""
t = torch.zeros(4, device='xpu')
kernels.fill(t, 1.0, delay_ms=10000)
for leave in ('sys.exit(0)', 'os._exit(0)'):
    start = time.monotonic()
    pid = os.fork()
    if pid == 0:
        for call in {calls!r}:
            try:
                eval(call)
                print('worked:', call)
            except RuntimeError as e:
                print('refused:', e)
        sys.stdout.flush()
        exec(leave)
    _, status = os.waitpid(pid, 0)
    print('exit', status, time.monotonic() - start < 7.5)
print(t.sum().item())
""", build_env)
    assert r.returncode == 0, r.stderr
    lines = r.stdout.strip().split("\n")
    refused = ("refused: the XPU device cannot be used in a process forked after it was "
               "initialised")
    child = [refused] * len(calls) + ["exit 0 True"]
    assert [ln[:len(refused)] for ln in lines] == child + child + ["4.0"], r.stdout


def test_failure_never_waited_for_is_printed_at_exit(build_env):
    r = run_python("kernels.overrun(torch.zeros(4, device='xpu'))\n", build_env)
    assert r.returncode == 0
    assert "xpuemu: a kernel failure was never reported: invalid global read" in r.stderr


def test_launch_time_limit_from_the_environment(build_env):
    """A kernel that never ends fails its launch; the device goes on."""
    r = run_python("""
t = torch.zeros(4, device='xpu')
kernels.fill(t, 1.0, delay_ms=-1)
try:
    xpuemu.synchronize()
except RuntimeError as e:
    print(e)
print(torch.ones(3, device='xpu').sum().item())
""", {**build_env, "XPUEMU_LAUNCH_TIMEOUT_S": "0.5"})
    assert r.returncode == 0, r.stderr
    assert r.stdout.startswith("time limit exceeded in kernel FillKernel, work-group (0, 0), "
                               "work-item (0, 0): the launch ran longer than its limit of 0.5 s")
    assert r.stdout.endswith("3.0\n")
