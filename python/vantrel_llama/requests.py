"""Checks of what a caller asks a model for (prompt ids, number of new tokens, end-of-sequence
ids), each refusing with a ValueError that names the value at fault; the checkpoint's end tokens."""
import operator
from pathlib import Path
from typing import Iterable, Optional, Tuple

import torch

from .config import LlamaConfig
from .errors import CheckpointError
from .jsonfile import read_json_object


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


def check_eos(eos_token_id, config: LlamaConfig,
              default: Optional[Tuple[int, ...]] = None) -> Tuple[int, ...]:
    """The end-of-sequence ids generation stops at: eos_token_id (an id or a sequence of ids), or
    when None `default` (the checkpoint's end tokens, see end_token_ids), or else the config's."""
    if eos_token_id is None:
        if default is not None:
            return tuple(default)
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


def read_generation_eos(path, vocab_size: int) -> Tuple[int, ...]:
    """The eos_token_id of a generation_config.json (an id or a list of ids) as a tuple; () when
    the file is absent or gives none. A bad file raises CheckpointError naming it and the key."""
    path = Path(path)
    if not path.is_file():
        return ()
    d = read_json_object(path)
    eos = d.get("eos_token_id")
    if eos is None:
        return ()
    ids = eos if isinstance(eos, list) else [eos]
    if not ids or not all(isinstance(v, int) and not isinstance(v, bool) and 0 <= v < vocab_size
                          for v in ids):
        raise CheckpointError(f"{path}: eos_token_id must be a token id or a non-empty list of "
                              f"token ids in [0, vocab_size {vocab_size}); got {eos!r:.80}")
    return tuple(ids)


def end_token_ids(config: LlamaConfig, generation_eos: Iterable[int] = (),
                  tokenizer_eos: Optional[int] = None,
                  tokenizer_source: str = "tokenizer_config.json") -> Tuple[int, ...]:
    """The ids generation stops at by default, each once: config.json's eos_token_id, then
    generation_config.json's, then the id of tokenizer_config.json's eos_token (`tokenizer_eos`,
    None when it names none), which must be in the model's vocabulary."""
    eos = config.eos_token_id
    out = [] if eos is None else [eos] if isinstance(eos, int) else list(eos)
    if tokenizer_eos is not None and not 0 <= tokenizer_eos < config.vocab_size:
        raise CheckpointError(f"{tokenizer_source}: eos_token is token {tokenizer_eos}, outside "
                              f"the model's vocabulary [0, {config.vocab_size})")
    for i in list(generation_eos) + [tokenizer_eos]:
        if i is not None and i not in out:
            out.append(i)
    return tuple(out)
