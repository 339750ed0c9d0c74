"""Rotary embeddings of a LLaMA-family config: the inverse frequency at which each pair of features
(i, i + head_dim/2) turns per position, and the factor cos and sin are multiplied by, without
scaling or with the config's rope_scaling ("linear", "llama3", "yarn"; "dynamic" changes nothing
within max_position_embeddings, and LlamaConfig.check_sequence refuses longer sequences)."""
import math

import torch

from .config import LlamaConfig, RopeScaling


def inverse_frequencies(config: LlamaConfig) -> torch.Tensor:
    """float64 [head_dim / 2]: pair i turns by position * inv_freq[i]."""
    d, base, s = config.head_dim, config.rope_theta, config.rope_scaling
    inv = base ** (-torch.arange(0, d, 2, dtype=torch.float64) / d)
    if s is None or s.rope_type == "dynamic":
        return inv
    if s.rope_type == "linear":  # positions divided by factor
        return inv / s.factor
    if s.rope_type == "llama3":
        return _llama3(inv, s)
    if s.rope_type == "yarn":
        return _yarn(inv, s, d, base)
    raise ValueError(f"rope_scaling type {s.rope_type!r} is not supported")


def attention_factor(config: LlamaConfig) -> float:
    """The factor on cos and sin (so on the attention scores, squared): yarn's, 1 otherwise."""
    s = config.rope_scaling
    if s is None or s.rope_type != "yarn":
        return 1.0
    if s.attention_factor is not None:
        return s.attention_factor
    return 0.1 * math.log(s.factor) + 1.0 if s.factor > 1 else 1.0


def _llama3(inv: torch.Tensor, s: RopeScaling) -> torch.Tensor:
    """Wavelengths shorter than original / high_freq_factor kept, longer than
    original / low_freq_factor divided by factor, blended in between."""
    wavelen = 2 * math.pi / inv
    original = s.original_max_position_embeddings
    smooth = (original / wavelen - s.low_freq_factor) / (s.high_freq_factor - s.low_freq_factor)
    blended = (1 - smooth) * inv / s.factor + smooth * inv
    return torch.where(wavelen < original / s.high_freq_factor, inv,
                       torch.where(wavelen > original / s.low_freq_factor, inv / s.factor,
                                   blended))


def _yarn(inv: torch.Tensor, s: RopeScaling, d: int, base: float) -> torch.Tensor:
    """Pairs turning more than beta_fast times over the original length keep their frequency,
    those turning fewer than beta_slow times are interpolated (divided by factor), with a linear
    ramp over the pairs in between."""
    def dim(rotations):  # the (fractional) feature index turning `rotations` times
        return d * math.log(s.original_max_position_embeddings / (rotations * 2 * math.pi)) \
            / (2 * math.log(base))

    low = min(max(math.floor(dim(s.beta_fast)), 0), d - 1)
    high = min(max(math.ceil(dim(s.beta_slow)), 0), d - 1)
    if high == low:
        high += 0.001
    ramp = ((torch.arange(d // 2, dtype=torch.float64) - low) / (high - low)).clamp(0, 1)
    extrapolation = 1 - ramp
    return inv / s.factor * (1 - extrapolation) + inv * extrapolation
