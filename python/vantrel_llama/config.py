"""The model configuration of a LLaMA-family checkpoint (its config.json), checked against what this
engine computes: keys that would change the mathematics it does not implement are refused, keys that
only matter to training or to other libraries are ignored."""
import json
import math
from dataclasses import dataclass
from typing import Optional, Tuple, Union

from .errors import CheckpointError

REQUIRED = ("hidden_size", "intermediate_size", "num_hidden_layers", "num_attention_heads",
            "vocab_size")


@dataclass(frozen=True)
class LlamaConfig:
    """The sizes and constants of a LLaMA-family decoder. `num_key_value_heads` defaults to
    `num_attention_heads`; a list of end-of-sequence ids is kept as a tuple."""
    hidden_size: int
    intermediate_size: int
    num_hidden_layers: int
    num_attention_heads: int
    vocab_size: int
    num_key_value_heads: Optional[int] = None
    rms_norm_eps: float = 1e-6
    rope_theta: float = 10000.0
    max_position_embeddings: int = 2048
    tie_word_embeddings: bool = False
    bos_token_id: Optional[int] = None
    eos_token_id: Optional[Union[int, Tuple[int, ...]]] = None
    sliding_window: Optional[int] = None

    def __post_init__(self):
        if self.num_key_value_heads is None:
            object.__setattr__(self, "num_key_value_heads", self.num_attention_heads)
        if isinstance(self.eos_token_id, list):
            object.__setattr__(self, "eos_token_id", tuple(self.eos_token_id))
        _check_fields(self, "LlamaConfig")

    @property
    def head_dim(self) -> int:
        """Features per attention head."""
        return self.hidden_size // self.num_attention_heads

    def check_sequence(self, length: int, source: str = "config.json") -> None:
        """Refuse to run a sequence of `length` positions that this model does not cover: beyond
        max_position_embeddings, or beyond a sliding window (a window at least as long as the
        sequence changes nothing, a shorter one would mask keys this engine attends to)."""
        if length > self.max_position_embeddings:
            raise CheckpointError(
                f"{source}: a sequence of {length} positions is longer than the model's "
                f"max_position_embeddings {self.max_position_embeddings}")
        if self.sliding_window is not None and self.sliding_window < length:
            raise CheckpointError(
                f"{source}: sliding_window {self.sliding_window} is shorter than the sequence of "
                f"{length} positions; this engine attends to every earlier position, so the "
                f"window must be at least as long as the sequence")


def read_config(path) -> LlamaConfig:
    """Read and check a config.json."""
    try:
        with open(path, "rb") as f:
            raw = f.read()
    except OSError as e:
        raise CheckpointError(f"{path}: cannot read the model configuration ({e})") from e
    try:
        d = json.loads(raw.decode("utf-8"))
    except (UnicodeDecodeError, ValueError) as e:
        raise CheckpointError(f"{path}: the model configuration is not valid JSON ({e})") from e
    return config_from_dict(d, source=str(path))


def config_from_dict(d: dict, source: str = "config.json") -> LlamaConfig:
    """Check the keys of a parsed config.json and build its LlamaConfig; `source` names the file
    in error messages."""
    if not isinstance(d, dict):
        raise CheckpointError(f"{source}: the model configuration must be a JSON object, "
                              f"not {type(d).__name__}")
    for key in REQUIRED:
        if key not in d:
            raise CheckpointError(f"{source}: the required key {key} is missing")
    fields = {key: d[key] for key in REQUIRED}
    for key in ("num_key_value_heads", "rms_norm_eps", "rope_theta", "max_position_embeddings",
                "tie_word_embeddings", "bos_token_id", "eos_token_id", "sliding_window"):
        if d.get(key) is not None:
            fields[key] = d[key]
    _check_fields(fields, source)
    _refuse_unsupported(d, source)
    if isinstance(fields.get("eos_token_id"), list):
        fields["eos_token_id"] = tuple(fields["eos_token_id"])
    for key in ("rms_norm_eps", "rope_theta"):
        if key in fields:
            fields[key] = float(fields[key])
    return LlamaConfig(**fields)


def _refuse_unsupported(d, source):
    def refuse(key, why):
        raise CheckpointError(f"{source}: {key} {d[key]!r} is not supported: {why}")

    if d.get("rope_scaling") is not None:
        refuse("rope_scaling", "this engine implements unscaled rotary embeddings only "
                               "(rope_scaling must be null or absent)")
    for key in ("attention_bias", "mlp_bias"):
        if d.get(key) not in (None, False):
            refuse(key, "this engine's projections have no bias (it must be false or absent)")
    if d.get("hidden_act", "silu") != "silu":
        refuse("hidden_act", "the feed-forward activation must be \"silu\"")
    if d.get("head_dim") is not None:
        hidden, heads = d["hidden_size"], d["num_attention_heads"]
        if not (_is_int(d["head_dim"]) and d["head_dim"] * heads == hidden):
            refuse("head_dim", f"it must equal hidden_size / num_attention_heads "
                               f"({hidden!r} / {heads!r})")


def _is_int(v):
    return isinstance(v, int) and not isinstance(v, bool)


def _check_fields(fields, source):
    """Types and consistency of the LlamaConfig fields (a dict or a LlamaConfig)."""
    get = fields.get if isinstance(fields, dict) else lambda k, default=None: getattr(fields, k)

    def fail(key, requirement):
        raise CheckpointError(f"{source}: {key} must be {requirement}; got {get(key)!r}")

    for key in REQUIRED + ("num_key_value_heads", "max_position_embeddings"):
        v = get(key)
        if v is None and key not in REQUIRED:
            continue
        if not _is_int(v) or v <= 0:
            fail(key, "a positive integer")
    for key, low in (("rms_norm_eps", "non-negative"), ("rope_theta", "positive")):
        v = get(key)
        if v is None:
            continue
        if (not isinstance(v, (int, float)) or isinstance(v, bool) or not math.isfinite(v)
                or v < 0 or (low == "positive" and v == 0)):
            fail(key, f"a finite {low} number")
    if get("tie_word_embeddings") is not None and not isinstance(get("tie_word_embeddings"), bool):
        fail("tie_word_embeddings", "true or false")
    if get("sliding_window") is not None and (not _is_int(get("sliding_window"))
                                              or get("sliding_window") <= 0):
        fail("sliding_window", "null or a positive integer")

    hidden, heads, vocab = get("hidden_size"), get("num_attention_heads"), get("vocab_size")
    kv_heads = get("num_key_value_heads")
    if hidden % heads:
        fail("hidden_size", f"a multiple of num_attention_heads {heads}")
    if kv_heads is not None and heads % kv_heads:
        raise CheckpointError(f"{source}: num_attention_heads {heads} must be a multiple of "
                              f"num_key_value_heads {kv_heads}")
    if (hidden // heads) % 2:
        raise CheckpointError(f"{source}: hidden_size / num_attention_heads = {hidden // heads} "
                              f"must be even (rotary embeddings turn pairs of features)")

    def token_id(v):
        return _is_int(v) and 0 <= v < vocab

    if get("bos_token_id") is not None and not token_id(get("bos_token_id")):
        fail("bos_token_id", f"null or a token id in [0, vocab_size {vocab})")
    eos = get("eos_token_id")
    if eos is not None:
        ids = eos if isinstance(eos, (list, tuple)) else [eos]
        if not ids or not all(token_id(v) for v in ids):
            fail("eos_token_id", f"null, a token id or a non-empty list of token ids in "
                                 f"[0, vocab_size {vocab})")
