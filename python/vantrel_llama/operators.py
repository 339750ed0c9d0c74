"""The engine's way to vantrel's operators: `Operators` runs them and answers, from vantrel's
table, which kernel serves a projection or an attention call; `paths` reports the answers for a
model. A model is given an Operators (the real one by default); the benchmark passes one that
records or stubs the calls."""
import torch
import vantrel

_LAYOUTS = vantrel.kernel_table()["linear"]["layouts"]
# The methods the layers call one at a time when they run from Python.
_PER_CALL = ("linear", "linear_quantized", "attention", "add_rms_norm", "rotary_cache",
             "silu_mul")


class Operators:
    """vantrel.forward and vantrel.sdp_forward, and the table of what their kernels serve."""

    # Input rows the projection kernels take at most: the engine decodes this many rows together.
    max_rows = vantrel.LINEAR_MAX_ROWS
    # Projections keep their output rows padded to a multiple of this, the largest multiple any
    # weight layout asks for, so that one padding fits whichever path serves them.
    row_multiple = max(layout["n_multiple"] for layout in _LAYOUTS.values())
    attention_head_sizes = vantrel.SDP_HEAD_SIZES  # head sizes with an attention kernel

    def linear(self, x: torch.Tensor, w: torch.Tensor) -> torch.Tensor:
        """x [rows, K] half times the weights w (laid out as linear_layout(K) says)."""
        return vantrel.forward(x, w)

    def linear_quantized(self, x: torch.Tensor, qweight: torch.Tensor, scales: torch.Tensor,
                         zeros, bits: int, group_size: int) -> torch.Tensor:
        """x [rows, K] half times packed bits-wide weights (the packed layout of width K)."""
        return vantrel.forward_quantized(x, qweight, scales, zeros, bits, group_size)

    def attention(self, q: torch.Tensor, k: torch.Tensor, v: torch.Tensor) -> torch.Tensor:
        """One position's attention: q [B, H, 1, D] half over k, v [B, H_kv, n, D]."""
        return vantrel.sdp_forward(q, k, v)

    def add_rms_norm(self, residual, delta, weight, eps: float) -> torch.Tensor:
        """residual (float32 [M, H]) += delta (half, or None) in place; returns its RMSNorm times
        weight in half."""
        return vantrel.add_rms_norm(residual, delta, weight, eps)

    def rotary_cache(self, qkv, cos, sin, k_cache, v_cache, start: int, heads: int,
                     kv_heads: int) -> torch.Tensor:
        """Turns the new positions' queries and keys, writes keys and values into the cache rows
        start.., returns the queries [B, heads, C, D] half."""
        return vantrel.rotary_cache(qkv, cos, sin, k_cache, v_cache, start, heads, kv_heads)

    def silu_mul(self, gate_up, intermediate: int) -> torch.Tensor:
        """SiLU(gate) · up of the fused gate/up output, half [M, intermediate]."""
        if hasattr(vantrel, "silu_mul"):
            return vantrel.silu_mul(gate_up, intermediate)
        g = gate_up[:, :2 * intermediate].float()
        return torch.nn.functional.silu(g[:, :intermediate]).mul_(g[:, intermediate:]).half()

    def decoder(self, layers, final_norm, heads: int, kv_heads: int, head_dim: int,
                intermediate: int, eps: float):
        """The layers run by one C++ call per step (vantrel.DecoderLayers), or None to run them
        from Python one operator call at a time (through this object's methods): None when a
        subclass replaces any of those methods, which the C++ loop would not call."""
        if any(name in vars(self) or getattr(type(self), name) is not getattr(Operators, name)
               for name in _PER_CALL):
            return None

        def proj(p):
            return (p.weight, p.scales, p.zeros, p.order, p.bits, p.group_size, p.out_features)
        return vantrel.DecoderLayers(
            [(l.attn_norm, l.mlp_norm, proj(l.qkv), proj(l.o), proj(l.gate_up), proj(l.down))
             for l in layers], final_norm, heads, kv_heads, head_dim, intermediate, eps)

    def fused_kernels(self, hidden: int, head_size: int, intermediate: int):
        """The norm, rotary and gating kernels serving a model of these sizes, or None when one
        of them does not (the step's PyTorch operations then)."""
        names = (vantrel.add_rms_norm_kernel(hidden), vantrel.rotary_cache_kernel(head_size),
                 vantrel.silu_mul_kernel(intermediate))
        return None if None in names else names

    def fused_step(self, hidden: int, head_size: int, intermediate: int) -> bool:
        """Whether the norm, rotary and gating kernels serve a model of these sizes."""
        return self.fused_kernels(hidden, head_size, intermediate) is not None

    def linear_kernel(self, rows: int, k: int):
        """The kernel serving a half input [rows, k], or None (PyTorch's linear)."""
        return vantrel.linear_kernel(rows, k)

    def quantized_kernel(self, rows: int, k: int, bits: int, group_size: int):
        """The kernel serving a half input [rows, k] on packed weights, or None (dequantized
        weights through PyTorch's linear)."""
        return vantrel.quantized_kernel(rows, k, bits, group_size)

    def linear_layout(self, k: int):
        """'arranged', 'row_major' or None (PyTorch's linear, row-major weights) for width k."""
        return vantrel.linear_layout(k)

    def rows_multiple(self, k: int) -> int:
        """The multiple of output rows the kernel for width k needs: 16 for 'arranged', 4 for
        'row_major', 1 without a kernel."""
        layout = self.linear_layout(k)
        return 1 if layout is None else _LAYOUTS[layout]["n_multiple"]

    def block_outputs(self, layout: str) -> int:
        """Output rows per block of an 'arranged' layout: its weights are [N / block, K, block]."""
        return _LAYOUTS[layout]["n_multiple"]

    def attention_kernel(self, head_size: int, kv_len: int, group: int):
        """The kernel serving one half query position against kv_len cached ones, `group` query
        heads per key/value head; None when PyTorch's attention serves it."""
        return vantrel.sdp_kernel(torch.half, head_size, kv_len, group)


def paths(model, rows: int = 1) -> dict:
    """Which kernel (or PyTorch) serves each operation of `model`'s decoding step of `rows` rows."""
    ops, layer = model.ops, model.layers[0]  # every layer has the same widths
    projections = {"q/k/v projection": layer.qkv, "o projection": layer.o,
                   "gate/up projection": layer.gate_up, "down projection": layer.down,
                   "output projection": model.lm_head}
    out = {op: (ops.linear_kernel(rows, p.in_features) if p.bits == 16 else
                ops.quantized_kernel(rows, p.in_features, p.bits, p.group_size))
           or "PyTorch linear" for op, p in projections.items()}
    cfg = model.config
    fused = ops.fused_kernels(cfg.hidden_size, cfg.head_dim, layer.down.in_features)
    out["norm, rotary, gating"] = ", ".join(fused) if fused else "PyTorch"
    heads, kv_heads = cfg.num_attention_heads, cfg.num_key_value_heads
    if model.shard is not None:  # this rank's heads, under tensor parallelism
        heads, kv_heads = model.shard.heads, model.shard.kv_heads
    shared = f"{heads} query heads sharing {kv_heads} key/value heads"
    if ops.attention_kernel(cfg.head_dim, 1, heads // kv_heads):
        out["attention"] = "vantrel.sdp_forward" + (f" ({shared})" if heads != kv_heads else "")
    elif cfg.head_dim not in ops.attention_head_sizes:
        out["attention"] = f"PyTorch (head dimension {cfg.head_dim})"
    else:
        out["attention"] = f"PyTorch ({shared})"
    return out
