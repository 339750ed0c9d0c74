"""Choosing the next token from logits: greedy, or temperature and nucleus (top-p) sampling."""
import math
from typing import Optional

import torch


def check_args(temperature, top_p):
    """(temperature, top_p) as floats; ValueError naming the argument when out of range."""
    try:
        temperature = float(temperature)
    except (TypeError, ValueError):
        raise ValueError(f"temperature must be a number, got {temperature!r}") from None
    if not math.isfinite(temperature) or temperature < 0:
        raise ValueError(f"temperature must be finite and >= 0, got {temperature}")
    try:
        top_p = float(top_p)
    except (TypeError, ValueError):
        raise ValueError(f"top_p must be a number, got {top_p!r}") from None
    if not 0 < top_p <= 1:  # also rejects NaN
        raise ValueError(f"top_p must be in (0, 1], got {top_p}")
    return temperature, top_p


def _check_logits(logits) -> torch.Tensor:
    if not isinstance(logits, torch.Tensor):
        raise TypeError(f"logits must be a torch.Tensor, not {type(logits).__name__}")
    if logits.dim() != 2 or logits.shape[1] == 0 or not logits.is_floating_point():
        raise ValueError(f"logits must be a floating point [B, V] tensor with V >= 1, got "
                         f"{logits.dtype} {list(logits.shape)}")
    logits = logits.detach().to("cpu", torch.float32)
    bad = torch.isnan(logits).any(1).nonzero().flatten().tolist()
    if bad:
        raise ValueError(f"logits contain NaN (rows {bad})")
    bad = (logits == -math.inf).all(1).nonzero().flatten().tolist()
    if bad:
        raise ValueError(f"logits are -inf for every token (rows {bad}): no token can be chosen")
    return logits


def sample(logits: torch.Tensor, temperature: float = 0.0, top_p: float = 1.0,
           generator: Optional[torch.Generator] = None) -> torch.Tensor:
    """The next token of each row of `logits` [B, V]: a LongTensor [B].

    temperature 0 picks the most likely token (the lowest id among ties). Otherwise the tokens are
    drawn from softmax(logits / temperature), restricted to the smallest set of most likely tokens
    whose probability reaches `top_p`, with `generator` (the same seed draws the same tokens).
    Tokens at +inf share all the probability."""
    temperature, top_p = check_args(temperature, top_p)
    logits = _check_logits(logits)
    ids = torch.arange(logits.shape[1])
    top = logits.max(1, keepdim=True).values
    if temperature == 0:
        # The lowest id that reaches the maximum, whatever argmax does with ties.
        return torch.where(logits == top, ids, logits.shape[1]).min(1).values

    # Shifting by the maximum keeps every term <= 0, so no overflow even for tiny temperatures;
    # rows with +inf give their +inf tokens equal shares. The division is in float64: a
    # temperature beyond float32's range would round to 0 or inf there and make 0 / 0 or
    # -inf / inf NaN.
    inf_rows = torch.isinf(top)
    shifted = torch.where(inf_rows, torch.where(logits == top, 0.0, -math.inf), logits - top)
    probs = torch.softmax((shifted.double() / temperature).float(), dim=1)

    sorted_probs, order = torch.sort(probs, dim=1, descending=True, stable=True)
    before = sorted_probs.cumsum(1) - sorted_probs
    keep_sorted = (before < top_p) & (sorted_probs > 0)
    keep_sorted[:, 0] = True
    keep = torch.zeros_like(keep_sorted).scatter_(1, order, keep_sorted)
    probs = torch.where(keep, probs, 0.0)
    probs = probs / probs.sum(1, keepdim=True)
    return torch.multinomial(probs, 1, generator=generator).flatten()


def make_generator(seed: Optional[int]) -> torch.Generator:
    """A CPU generator seeded with `seed`, or with a nondeterministic seed when it is None."""
    generator = torch.Generator()
    if seed is None:
        generator.seed()
        return generator
    if isinstance(seed, bool) or not isinstance(seed, int):
        raise ValueError(f"seed must be an int or None, got {seed!r}")
    try:
        generator.manual_seed(seed)
    except RuntimeError:
        raise ValueError(f"seed must fit in 64 bits, got {seed}") from None
    return generator
