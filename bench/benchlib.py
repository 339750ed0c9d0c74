"""Shared helpers of the benchmarks: timing with and without the emulator's access checks, host
time per call, the traffic of one call from the launch log and the native loops module. The
benchmarks import the build from the path: PYTHONPATH=build/lib /usr/bin/python3 bench/..."""
import importlib
import statistics
import time

import xpuemu


def best_time(fn, reps):
    """Fastest of `reps` calls after a warm-up: the least disturbed by other work on the host."""
    fn()
    times = []
    for _ in range(reps):
        t = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t)
    return min(times)


def median_call_time(fn, calls, before=None):
    """Median wall time of `calls` calls of fn, each timed alone (`before` runs untimed ahead of
    each): host-side costs of microseconds, robust against the odd preemption."""
    times = []
    for _ in range(calls):
        if before:
            before()
        t = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t)
    return statistics.median(times)


def interleaved_best(timers, reps):
    """Best of `reps` rounds for each of `timers` (functions returning the seconds they measured),
    called in turn in every round after a warm-up round, so that a change of load on the host
    affects them alike and their ratios hold."""
    best = [float("inf")] * len(timers)
    for round_ in range(reps + 1):
        for i, timer in enumerate(timers):
            seconds = timer()
            if round_:
                best[i] = min(best[i], seconds)
    return best


def wall_timer(fn):
    """A timer (see interleaved_best) of one call of fn."""
    def timer():
        t = time.perf_counter()
        fn()
        return time.perf_counter() - t
    return timer


def device_timer(call, checking, runs=1):
    """A timer of `call` followed by a wait for the device, with access checks on or off: the
    best of `runs` back-to-back runs (the first of a turn may find the host's cores asleep).
    Poisoning is the caller's to switch off."""
    def timer():
        xpuemu.set_checking(checking)
        best = float("inf")
        for _ in range(runs):
            t = time.perf_counter()
            call()
            xpuemu.synchronize()
            best = min(best, time.perf_counter() - t)
        return best
    return timer


def native_loops():
    """The vantrel_native module, or SystemExit saying how to build it."""
    try:
        return importlib.import_module("vantrel_native")
    except ImportError as e:
        raise SystemExit(f"{e}: build the project first (scripts/setup)") from None


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
