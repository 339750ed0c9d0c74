"""Checks of what a caller asks a model for (prompt ids, number of new tokens, end-of-sequence
ids), each refusing with a ValueError that names the value at fault."""
import operator
from typing import Tuple

import torch

from .config import LlamaConfig
from .errors import CheckpointError


def check_new_tokens(max_new_tokens) -> int:
    if isinstance(max_new_tokens, bool) or not isinstance(max_new_tokens, int) \
            or max_new_tokens < 0:
        raise ValueError(f"max_new_tokens must be an int >= 0, got {max_new_tokens!r}")
    return max_new_tokens


def check_ids(ids, new_tokens: int, config: LlamaConfig, source: str = "") -> torch.Tensor:
    """ids [B, T] of token ids in the vocabulary, with room for new_tokens more positions, on the
    CPU; `source` names the model in messages."""
    if not isinstance(ids, torch.Tensor) or ids.dtype != torch.long or ids.dim() != 2:
        got = (f"{ids.dtype} tensor of shape {list(ids.shape)}" if isinstance(ids, torch.Tensor)
               else type(ids).__name__)
        raise ValueError(f"ids must be a LongTensor [B, T] of token ids, got {got}")
    if ids.shape[0] < 1 or ids.shape[1] < 1:
        raise ValueError(f"ids must hold at least one row of at least one token, got shape "
                         f"{list(ids.shape)}")
    ids = ids.cpu()
    vocab = config.vocab_size
    bad = (ids < 0) | (ids >= vocab)
    if ids.numel() and bool(bad.any()):
        i = int(bad.flatten().nonzero()[0])
        raise ValueError(f"ids holds token id {int(ids.flatten()[i])} at "
                         f"{list(divmod(i, ids.shape[1]))}, outside the vocabulary "
                         f"[0, {vocab}) of {source or 'the model'}")
    try:
        config.check_sequence(ids.shape[1] + new_tokens)
    except CheckpointError as e:
        raise ValueError(f"prompt of {ids.shape[1]} tokens + {new_tokens} new tokens: {e}") from e
    return ids


def check_eos(eos_token_id, config: LlamaConfig) -> Tuple[int, ...]:
    """The end-of-sequence ids generation stops at: eos_token_id (an id or a sequence of ids), or
    the config's when None."""
    if eos_token_id is None:
        eos = config.eos_token_id
        return () if eos is None else (eos,) if isinstance(eos, int) else tuple(eos)
    single = not isinstance(eos_token_id, (list, tuple))
    vocab = config.vocab_size
    values = []
    for v in [eos_token_id] if single else eos_token_id:
        try:
            if isinstance(v, bool):
                raise TypeError
            v = operator.index(v)  # int, numpy integer, integer 0-d tensor
        except TypeError:
            v = None
        if v is None or not 0 <= v < vocab:
            raise ValueError(f"eos_token_id must be a token id in [0, {vocab}) or a list of "
                             f"them, got {eos_token_id!r}")
        values.append(v)
    return tuple(values)
