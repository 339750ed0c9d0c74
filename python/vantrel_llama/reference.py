"""A float32 LLaMA decoder on the CPU in plain PyTorch, written apart from the engine (no fused
weights, no cache, no kernels): the yardstick that `--validate` and the tests compare against.

Quantized weights are dequantized here with code of its own, straight from the file formats (GPTQ,
AWQ) and the quantizer's formulas (load(quantize=...)), so that the comparison measures the
kernels' error and not a shared mistake."""
import math
import pathlib
from typing import Optional

import numpy as np
import torch

from .checkpoint import Checkpoint
from .config import LlamaConfig, read_config


# The kernels sum in binary16 (unit roundoff 2^-11) with up to 82 roundings on the way to one
# output; errors of random sign grow like the square root of that depth. A decoding step has
# 2 L + 1 such projections on the residual path (attention and MLP of L layers, the output layer),
# RMSNorm keeps them from compounding, so they add up like sqrt(2 L + 1); the largest of many
# thousand logits lies within about 5 standard deviations of its error distribution.
ROUNDING = 82 ** 0.5 * 2.0 ** -11


def max_relative_diff(layers: int) -> float:
    """Bound on the largest logit difference relative to the reference logits' standard deviation."""
    return 5 * (2 * layers + 1) ** 0.5 * ROUNDING


def rotary_frequencies(cfg: LlamaConfig):
    """The inverse frequency of each feature pair (float64 [head_dim / 2]) and the factor on cos and
    sin, the config's rope_scaling applied pair by pair ("dynamic" scales nothing up to
    max_position_embeddings, the only lengths the engine runs)."""
    hd, theta, rs = cfg.head_dim, cfg.rope_theta, cfg.rope_scaling
    kind = "none" if rs is None else rs.rope_type
    freqs, mscale = [], 1.0
    if kind == "yarn":
        # The pair index at which a frequency turns r times over the original context.
        def pair_at(r):
            return hd * math.log(rs.original_max_position_embeddings / (2 * math.pi * r)) \
                / (2 * math.log(theta))
        lo = min(max(math.floor(pair_at(rs.beta_fast)), 0), hd - 1)
        hi = min(max(math.ceil(pair_at(rs.beta_slow)), 0), hd - 1)
        if lo == hi:
            hi += 0.001
        if rs.attention_factor is not None:
            mscale = rs.attention_factor
        elif rs.factor > 1:
            mscale = 1 + 0.1 * math.log(rs.factor)
    for i in range(hd // 2):
        f = 1.0 / theta ** (2 * i / hd)
        if kind == "linear":
            f = f / rs.factor
        elif kind == "llama3":
            wavelength = 2 * math.pi / f
            orig = rs.original_max_position_embeddings
            if wavelength > orig / rs.low_freq_factor:
                f = f / rs.factor
            elif wavelength >= orig / rs.high_freq_factor:
                w = (orig / wavelength - rs.low_freq_factor) \
                    / (rs.high_freq_factor - rs.low_freq_factor)
                f = w * f + (1 - w) * f / rs.factor
        elif kind == "yarn":
            # 0 keeps the frequency (extrapolates), 1 divides it by factor (interpolates).
            interpolated = min(max((i - lo) / (hi - lo), 0.0), 1.0)
            f = (1 - interpolated) * f + interpolated * f / rs.factor
        elif kind not in ("none", "dynamic"):
            raise ValueError(f"rope_scaling type {kind!r} is not supported")
        freqs.append(f)
    return torch.tensor(freqs, dtype=torch.float64), mscale


_PACKED = (".qweight", ".qzeros", ".scales", ".g_idx")
_AWQ_ORDER = (0, 2, 4, 6, 1, 3, 5, 7)  # the column of nibble i within 8 columns


def _fields(words: torch.Tensor, bits: int) -> torch.Tensor:
    """The b-bit fields of int32 words, lowest first, along a new last dimension."""
    shifts = torch.arange(0, 32, bits, dtype=torch.int64)
    return (words.long()[..., None] >> shifts) & ((1 << bits) - 1)


def gptq_weight(t: dict, bits: int, group_size: int, zero_offset: int) -> torch.Tensor:
    """Float32 [N, K] of a GPTQ layer (tensors by suffix): qweight packed along K, qzeros along N,
    scales[g_idx[k], n] * (q - (z + offset)), rounded to half as the engine stores weights."""
    q = _fields(t[".qweight"], bits).permute(0, 2, 1).reshape(-1, t[".qweight"].shape[1])  # [K, N]
    k = q.shape[0]
    z = _fields(t[".qzeros"], bits).reshape(t[".qzeros"].shape[0], -1) + zero_offset  # [G, N]
    g = t[".g_idx"].long() if ".g_idx" in t else \
        torch.arange(k) // (k if group_size == -1 else group_size)
    w = (q - z[g]).float() * t[".scales"].float()[g]
    return w.half().float().T.contiguous()


def awq_weight(t: dict, group_size: int) -> torch.Tensor:
    """Float32 [N, K] of an AWQ layer: qweight and qzeros packed along N, nibble i of a word holding
    column 8c + _AWQ_ORDER[i]; scales[k // G, n] * (q - z)."""
    def columns(words):
        nib = _fields(words, 4)  # [rows, N/8, 8] by nibble
        out = torch.empty_like(nib)
        out[..., list(_AWQ_ORDER)] = nib
        return out.reshape(words.shape[0], -1)

    q, z = columns(t[".qweight"]), columns(t[".qzeros"])  # [K, N], [K/G, N]
    g = torch.arange(q.shape[0]) // group_size
    w = (q - z[g]).float() * t[".scales"].float()[g]
    return w.half().float().T.contiguous()


def quantized_at_load(w: torch.Tensor, bits: int, group_size: int) -> torch.Tensor:
    """Float32 [N, K] of w quantized as load(quantize=...) does, in float64 from w's own values:
    per group s = (max - min) / (2^b - 1) over a range that holds 0, rounded to half (at least
    2^-24), z = round(-min / s), q = clamp(round(w / s) + z, 0, 2^b - 1), half to even; the weight
    (q - z)·s rounded to half."""
    n, k = w.shape
    x = w.double().view(n, k // group_size, group_size)
    lo, hi = x.amin(-1).clamp(max=0), x.amax(-1).clamp(min=0)
    top = 2 ** bits - 1
    s = ((hi - lo) / top).clamp(min=2.0 ** -24).numpy().astype(np.float16)  # rounded once
    s = torch.from_numpy(s.astype(np.float64))[..., None]
    z = torch.round(-lo[..., None] / s).clamp(0, top)
    q = (torch.round(x / s) + z).clamp(0, top)
    return ((q - z) * s).float().half().float().view(n, k)


class Reference:
    """The checkpoint's weights as float32 CPU tensors (after rounding to half, as the engine
    stores them; quantized weights dequantized, or quantized as load(quantize=...) does), and a
    whole-sequence forward pass."""

    def __init__(self, path, quantize: Optional[str] = None, group_size: int = 128):
        path = pathlib.Path(path)
        self.config: LlamaConfig = read_config(path / "config.json")
        qc = self.config.quantization
        bits = {"int4": 4, "int8": 8}[quantize] if quantize else None
        packed = {}  # layer prefix -> {suffix: tensor}
        with Checkpoint(path, self.config) as ckpt:
            self.w = {}
            for name in ckpt.names():
                if name.endswith("rotary_emb.inv_freq"):
                    continue
                suffix = next((x for x in _PACKED if name.endswith(x)), None)
                if qc is not None and suffix is not None:
                    packed.setdefault(name[:-len(suffix)], {})[suffix] = ckpt.tensor(name).clone()
                elif bits and name.startswith("model.layers.") and name.endswith("proj.weight"):
                    self.w[name] = quantized_at_load(ckpt.tensor(name), bits, group_size)
                else:
                    self.w[name] = ckpt.tensor(name).half().float()
                ckpt.release(name)
        for prefix, t in packed.items():
            self.w[prefix + ".weight"] = (
                gptq_weight(t, qc.bits, qc.group_size, qc.zero_offset) if qc.method == "gptq"
                else awq_weight(t, qc.group_size))

    @staticmethod
    def _rms_norm(x, weight, eps):
        return x * torch.rsqrt(x.pow(2).mean(-1, keepdim=True) + eps) * weight

    @torch.no_grad()
    def logits(self, ids: torch.Tensor) -> torch.Tensor:
        """Logits [B, T, vocab] of every position of ids [B, T], causal attention over the whole
        sequence at once."""
        cfg, w = self.config, self.w
        b, t = ids.shape
        nh, nkv, hd = cfg.num_attention_heads, cfg.num_key_value_heads, cfg.head_dim
        inv_freq, mscale = rotary_frequencies(cfg)
        angles = torch.outer(torch.arange(t, dtype=torch.float64), inv_freq)
        cos = (torch.cat([angles.cos(), angles.cos()], -1) * mscale).float()
        sin = (torch.cat([angles.sin(), angles.sin()], -1) * mscale).float()

        def rotate(x):  # [B, heads, T, hd]: dimension i turns together with i + hd/2
            x1, x2 = x[..., :hd // 2], x[..., hd // 2:]
            return x * cos + torch.cat([-x2, x1], -1) * sin

        causal = torch.full((t, t), float("-inf")).triu(1)
        h = w["model.embed_tokens.weight"][ids]
        for i in range(cfg.num_hidden_layers):
            p = f"model.layers.{i}."
            x = self._rms_norm(h, w[p + "input_layernorm.weight"], cfg.rms_norm_eps)
            q = (x @ w[p + "self_attn.q_proj.weight"].T).view(b, t, nh, hd).transpose(1, 2)
            k = (x @ w[p + "self_attn.k_proj.weight"].T).view(b, t, nkv, hd).transpose(1, 2)
            v = (x @ w[p + "self_attn.v_proj.weight"].T).view(b, t, nkv, hd).transpose(1, 2)
            q, k = rotate(q), rotate(k)
            k = k.repeat_interleave(nh // nkv, dim=1)
            v = v.repeat_interleave(nh // nkv, dim=1)
            att = torch.softmax(q @ k.transpose(2, 3) / math.sqrt(hd) + causal, dim=-1) @ v
            h = h + att.transpose(1, 2).reshape(b, t, nh * hd) @ w[p + "self_attn.o_proj.weight"].T
            x = self._rms_norm(h, w[p + "post_attention_layernorm.weight"], cfg.rms_norm_eps)
            gate = torch.nn.functional.silu(x @ w[p + "mlp.gate_proj.weight"].T)
            h = h + (gate * (x @ w[p + "mlp.up_proj.weight"].T)) @ w[p + "mlp.down_proj.weight"].T
        head = w["model.embed_tokens.weight" if cfg.tie_word_embeddings else "lm_head.weight"]
        return self._rms_norm(h, w["model.norm.weight"], cfg.rms_norm_eps) @ head.T


def drift(logits: torch.Tensor, reference: torch.Tensor) -> dict:
    """How far logits [..., vocab] move from reference ones: the share of positions whose top
    token agrees and the mean KL divergence KL(reference || logits) in nats, in float64."""
    p = torch.log_softmax(reference.double(), -1)
    q = torch.log_softmax(logits.double(), -1)
    kl = (p.exp() * (p - q)).sum(-1)
    return {"top1_agreement": (logits.argmax(-1) == reference.argmax(-1)).double().mean().item(),
            "mean_kl": kl.mean().item()}


def compare(logits: torch.Tensor, reference: torch.Tensor, layers: int) -> dict:
    """The largest logit difference relative to the reference logits' standard deviation, the
    share of positions whose top token agrees, and whether both are within bounds: the difference
    below max_relative_diff(layers) and the top token agreeing wherever the reference's best two
    logits are further apart than twice the allowed difference (elsewhere they are near-ties)."""
    diff = (logits.float() - reference).abs().max().item()
    std = reference.std().item()
    bound = max_relative_diff(layers)
    agree = logits.argmax(-1) == reference.argmax(-1)
    top2 = reference.topk(min(2, reference.shape[-1]), -1).values
    decided = (top2[..., 0] - top2[..., -1]) > 2 * bound * std
    return {"max_diff": diff, "std": std, "relative": diff / std, "bound": bound,
            "top1_agreement": agree.float().mean().item(),
            "ok": diff / std <= bound and bool(agree[decided].all())}
