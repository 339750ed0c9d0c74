"""Shared helpers of the benchmarks: the built modules on sys.path, timing with and without the
emulator's access checks, and the traffic of one call from the launch log."""
import os
import pathlib
import sys
import time

_REPO = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, os.environ.get("VANTREL_BUILD", str(_REPO / "build" / "lib")))

import xpuemu  # noqa: E402


def best_time(fn, reps):
    """Fastest of `reps` calls after a warm-up: the least disturbed by other work on the host."""
    fn()
    times = []
    for _ in range(reps):
        t = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t)
    return min(times)


def device_times(call, reps):
    """(unchecked, checked) best times of `call` followed by a wait for the device, with
    poisoning off in both, so that the ratio is the cost of the access checks and counters."""
    timed = lambda: (call(), xpuemu.synchronize())  # noqa: E731
    xpuemu.set_poison(False)
    try:
        xpuemu.set_checking(False)
        unchecked = best_time(timed, reps)
        xpuemu.set_checking(True)
        checked = best_time(timed, reps)
    finally:
        xpuemu.set_checking(True)
        xpuemu.set_poison(True)
    return unchecked, checked


def traffic(call):
    """(bytes loaded, distinct bytes loaded) by the one kernel that `call` launches."""
    xpuemu.set_checking(True)
    xpuemu.synchronize()
    xpuemu.clear_launch_log()
    result = call()
    (record,) = xpuemu.launch_log()
    return result, sum(record["loads"].values()), sum(record["loads_unique"].values())
