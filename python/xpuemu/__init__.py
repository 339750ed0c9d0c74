"""The emulated XPU device: waiting, launch log, host operation time and memory-checker switches.

Importing the package registers the device with PyTorch as `xpu`; the import fails if another XPU
backend was there first. Kernels still queued at interpreter exit run to completion, and a failure
nobody waited for is printed to stderr.
"""
from ._C import (clear_launch_log, host_op_time, launch_log, launch_timeout, set_checking,
                 set_launch_timeout, set_poison, synchronize)

__all__ = ["clear_launch_log", "host_op_time", "launch_log", "launch_timeout", "set_checking",
           "set_launch_timeout", "set_poison", "synchronize"]
