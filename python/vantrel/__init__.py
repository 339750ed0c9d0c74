# vantrel: decoding operators for PyTorch's XPU device, on hand-written ESIMD kernels.
#
#   forward(input, weights)  bias-free half linear for 1 to 8 rows
#   forward_quantized(input, qweight, scales, zeros, bits, group_size)
#                            the same on packed 4- or 8-bit weights, read by the kernels
#                            themselves (quantize_weights, dequantize_weights)
#   sdp_forward(q, k, v)     one decoding step of attention against a key/value cache
#   add_rms_norm(residual, delta, weight, eps)
#                            residual add (in place) and RMSNorm of the decoding step
#   rotary_cache(qkv, cos, sin, k_cache, v_cache, start, heads, kv_heads)
#                            rotary embedding of new queries and keys, keys and values cached
#   silu_mul(gate_up, intermediate)
#                            SiLU gating of the MLP
#
# The operators are also registered with PyTorch's dispatcher as torch.ops.vantrel.forward,
# torch.ops.vantrel.forward_quantized, torch.ops.vantrel.sdp_forward and the fused operators'
# torch.ops.vantrel.add_rms_norm, rotary_cache and silu_mul (schemas, XPU and meta
# implementations). What the kernels serve
# is one table, read through linear_layout, linear_widths, linear_kernel, quantized_kernel,
# arrange_weights,
# sdp_kernel, sdp_score_scale, add_rms_norm_kernel, rotary_cache_kernel, silu_mul_kernel,
# LINEAR_MAX_ROWS, QUANT_BITS, QUANT_GROUP_SIZES, SDP_HEAD_SIZES, SDP_MAX_GROUP and kernel_table.
# The package keeps no docstring: the module object has none.
import torch  # noqa: F401  (the compiled part converts torch.Tensor arguments)
import xpuemu  # noqa: F401  (registers the XPU device with PyTorch)

from ._C import (DecoderLayers, LINEAR_MAX_ROWS, QUANT_BITS, QUANT_GROUP_SIZES, SDP_HEAD_SIZES, SDP_MAX_GROUP,
                 add_rms_norm, add_rms_norm_kernel, arrange_weights, dequantize_weights, forward,
                 forward_quantized, kernel_table, linear_kernel, linear_layout, linear_widths,
                 quantize_weights, quantized_kernel, rotary_cache, rotary_cache_kernel,
                 sdp_forward, sdp_kernel, sdp_score_scale, silu_mul, silu_mul_kernel)

__all__ = ["DecoderLayers", "forward", "forward_quantized", "sdp_forward", "LINEAR_MAX_ROWS", "QUANT_BITS",
           "QUANT_GROUP_SIZES", "SDP_HEAD_SIZES", "SDP_MAX_GROUP", "arrange_weights",
           "dequantize_weights", "kernel_table", "linear_kernel", "linear_layout", "linear_widths",
           "quantize_weights", "quantized_kernel", "sdp_forward", "sdp_kernel", "sdp_score_scale",
           "add_rms_norm", "rotary_cache", "silu_mul", "add_rms_norm_kernel",
           "rotary_cache_kernel", "silu_mul_kernel"]
