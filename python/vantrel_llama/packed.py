"""Quantized weights in the packed layout vantrel's kernels read (README, "Quantized weights"):
codes, scales and zeros of a projection laid out for its input width, from the unpacked form the
checkpoint readers give, with the act-order permutation and the group size the kernels serve."""
from dataclasses import dataclass
from typing import Optional, Tuple

import torch
import vantrel

from .errors import CheckpointError


@dataclass
class Unpacked:
    """Codes of a projection one byte per weight, in the input order its groups are contiguous in:
    weight (n, k) is scales[n, k // group_size] * (codes[n, k] - zeros[n, k // group_size]) (the
    last group may be short)."""
    codes: torch.Tensor  # uint8 [N, K]
    scales: torch.Tensor  # float16 [N, ceil(K / group_size)]
    zeros: Optional[torch.Tensor]  # int16 like scales, None: 2^(bits - 1)
    group_size: int


def group_order(g_idx: torch.Tensor, group: int) -> Optional[torch.Tensor]:
    """The input order that makes the groups named by g_idx [K] contiguous (k // group), or None
    when they already are. The readers check that each group holds `group` inputs."""
    k = g_idx.shape[0]
    if torch.equal(g_idx, torch.arange(k, dtype=g_idx.dtype) // group):
        return None
    return torch.sort(g_idx, stable=True).indices


def served_group(group: int, k: int, bits: int, where: str) -> int:
    """The largest group size with a kernel that divides both `group` and the width k: a
    checkpoint's group of 256, one group per row, or groups whose last one is short (k not a
    multiple of `group`) are the same scales repeated over smaller groups. CheckpointError naming
    `where` when none divides both."""
    for g in sorted(vantrel.QUANT_GROUP_SIZES, reverse=True):
        if group % g == 0 and k % g == 0:
            return g
    raise CheckpointError(f"{where}: {bits}-bit weights in groups of {group} over {k} input "
                          f"features: no group size the kernels serve "
                          f"({', '.join(map(str, vantrel.QUANT_GROUP_SIZES))}) divides both")


def regroup(u: Unpacked, group: int) -> Unpacked:
    """The same weights with groups of `group` (which divides u.group_size and the width):
    scales and zeros repeated, a short last group's repeats cut at the width."""
    r = u.group_size // group
    if r == 1:
        return u
    count = u.codes.shape[1] // group

    def repeat(t):
        return t.repeat_interleave(r, 1)[:, :count]

    zeros = None if u.zeros is None else repeat(u.zeros)
    return Unpacked(u.codes, repeat(u.scales), zeros, group)


def pack(u: Unpacked, bits: int, layout: Optional[str], block: int
         ) -> Tuple[torch.Tensor, torch.Tensor, Optional[torch.Tensor]]:
    """(qweight, scales, zeros) of u in the packed layout of its width: row-major [N, K·b/8] (low
    nibble: even k), or for the "arranged" layout [N/block, K, block·b/8] (low nibble: even n %
    block) with scales and zeros [N/block, K/g, block]. N must be a multiple of `block` there."""
    codes, scales, zeros = u.codes, u.scales, u.zeros
    if layout == "arranged":
        n, k = codes.shape

        def blocked(t):
            return t.view(n // block, block, t.shape[1]).transpose(1, 2).contiguous()

        codes, scales = blocked(codes), blocked(scales)
        zeros = None if zeros is None else blocked(zeros)
    if bits == 4:
        codes = codes[..., 0::2] | (codes[..., 1::2] << 4)
    return codes.contiguous(), scales.contiguous(), zeros
