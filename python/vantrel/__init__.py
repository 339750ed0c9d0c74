# vantrel: decoding operators for PyTorch's XPU device, on hand-written ESIMD kernels.
#
#   forward(input, weights)  bias-free half linear for 1 to 8 rows
#   sdp_forward(q, k, v)     one decoding step of attention against a key/value cache
#
# Both are also registered with PyTorch's dispatcher as torch.ops.vantrel.forward and
# torch.ops.vantrel.sdp_forward. The package keeps no docstring: the module object has none.
import torch  # noqa: F401  (the compiled part converts torch.Tensor arguments)
import xpuemu  # noqa: F401  (registers the XPU device with PyTorch)

from ._C import forward, sdp_forward

__all__ = ["forward", "sdp_forward"]
