"""A float32 LLaMA decoder on the CPU in plain PyTorch, written apart from the engine (no fused
weights, no cache, no kernels): the yardstick that `--validate` and the tests compare against."""
import math
import pathlib

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


class Reference:
    """The checkpoint's weights as float32 CPU tensors (after rounding to half, as the engine
    stores them), and a whole-sequence forward pass."""

    def __init__(self, path):
        path = pathlib.Path(path)
        self.config: LlamaConfig = read_config(path / "config.json")
        with Checkpoint(path, self.config) as ckpt:
            self.w = {}
            for name in ckpt.names():
                if name.endswith("rotary_emb.inv_freq"):
                    continue
                self.w[name] = ckpt.tensor(name).half().float()
                ckpt.release(name)

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
