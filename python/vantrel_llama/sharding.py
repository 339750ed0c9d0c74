"""How a model splits over the P ranks of a tensor-parallel group: q/k/v and gate/up by whole
heads and rows (column-parallel), o and down by their inputs (row-parallel, summed over the ranks
after each), the output layer by vocabulary rows (gathered), the embedding and norms replicated.
When P exceeds the key/value heads, each key/value head is held by P / H_kv ranks."""
from dataclasses import dataclass
from typing import Optional, Tuple

import vantrel

BLOCK = 16  # output rows per block: every shard of the output layer is a whole number of them


@dataclass(frozen=True)
class Shard:
    """Rank `rank` of `size`: its heads, key/value heads, MLP width and output rows, and the slice
    of every weight it holds."""
    rank: int
    size: int
    heads: int  # query heads of this rank
    kv_heads: int  # key/value heads of this rank
    head_dim: int
    intermediate: int  # this rank's share of the MLP's width
    vocab_rows: int  # output rows per rank: the vocabulary padded to a multiple of size * 16
    first_kv_head: int  # the first key/value head this rank holds

    def slice_of(self, name: str) -> Optional[Tuple[int, int, int]]:
        """(dimension, start, stop) of weight `name` that this rank holds; None: all of it."""
        hd = self.head_dim
        if name.endswith("self_attn.q_proj.weight"):
            return 0, self.rank * self.heads * hd, (self.rank + 1) * self.heads * hd
        if name.endswith(("self_attn.k_proj.weight", "self_attn.v_proj.weight")):
            return 0, self.first_kv_head * hd, (self.first_kv_head + self.kv_heads) * hd
        if name.endswith("self_attn.o_proj.weight"):
            return 1, self.rank * self.heads * hd, (self.rank + 1) * self.heads * hd
        if name.endswith(("mlp.gate_proj.weight", "mlp.up_proj.weight")):
            return 0, self.rank * self.intermediate, (self.rank + 1) * self.intermediate
        if name.endswith("mlp.down_proj.weight"):
            return 1, self.rank * self.intermediate, (self.rank + 1) * self.intermediate
        return None

    def output_rows(self, vocab: int) -> Tuple[int, int]:
        """The rows of the vocabulary this rank's output layer computes (the rest of its
        vocab_rows are padding)."""
        start = self.rank * self.vocab_rows
        return min(start, vocab), min(start + self.vocab_rows, vocab)


def check_split(cfg, size: int, where: str):
    """Refuses, before loading, a P the model does not split into shards the kernels serve; the
    message names the numbers."""
    heads, kv_heads, inter = cfg.num_attention_heads, cfg.num_key_value_heads, cfg.intermediate_size
    if heads % size:
        raise ValueError(f"{where}: --tp {size} does not divide the {heads} query heads "
                         f"(num_attention_heads)")
    if kv_heads % size and size % kv_heads:
        raise ValueError(f"{where}: --tp {size} and the {kv_heads} key/value heads "
                         f"(num_key_value_heads) must divide one another")
    if inter % size:
        raise ValueError(f"{where}: --tp {size} does not divide the intermediate size {inter}")
    for what, k in (("intermediate size", inter), ("attention width", heads * cfg.head_dim)):
        if vantrel.linear_kernel(1, k // size) is None:
            raise ValueError(f"{where}: --tp {size} splits the {what} {k} into shards of "
                             f"{k // size} inputs, a width no kernel serves (served: "
                             f"{', '.join(map(str, vantrel.linear_widths()))})")


def plan(cfg, rank: int, size: int) -> Shard:
    """Rank `rank`'s shard of a model with configuration cfg split `size` ways (check_split
    first)."""
    heads, kv_heads = cfg.num_attention_heads // size, cfg.num_key_value_heads
    if kv_heads >= size:
        kv_heads //= size
        first_kv = rank * kv_heads
    else:  # each key/value head on size / H_kv ranks
        first_kv = rank // (size // kv_heads)
        kv_heads = 1
    multiple = size * BLOCK
    padded = -(-cfg.vocab_size // multiple) * multiple
    return Shard(rank, size, heads, kv_heads, cfg.head_dim, cfg.intermediate_size // size,
                 padded // size, first_kv)
