"""The model configuration of a LLaMA-family checkpoint (its config.json), checked against what this
engine computes: keys that would change the mathematics it does not implement are refused, keys that
only matter to training or to other libraries are ignored."""
import json
import math
from dataclasses import dataclass, replace
from typing import Optional, Tuple, Union

from .errors import CheckpointError
from .quantized import QuantizationConfig, read_quantization_config

REQUIRED = ("hidden_size", "intermediate_size", "num_hidden_layers", "num_attention_heads",
            "vocab_size")
ROPE_TYPES = ("linear", "dynamic", "llama3", "yarn")


@dataclass(frozen=True)
class RopeScaling:
    """A checked `rope_scaling` of config.json, applied by rotary.py; the keys its type does not
    use are None. A yarn scaling without original_max_position_embeddings takes the config's
    max_position_embeddings (the length the unscaled model was trained for), and without
    attention_factor uses 0.1 ln(factor) + 1 (1 when factor <= 1)."""
    rope_type: str  # one of ROPE_TYPES
    factor: float
    low_freq_factor: Optional[float] = None  # llama3
    high_freq_factor: Optional[float] = None  # llama3
    original_max_position_embeddings: Optional[int] = None  # llama3, yarn
    beta_fast: Optional[float] = None  # yarn
    beta_slow: Optional[float] = None  # yarn
    attention_factor: Optional[float] = None  # yarn, None for the default


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
    rope_scaling: Optional[RopeScaling] = None  # a dict is checked by read_rope_scaling
    # config.json's quantization_config (a dict is checked by read_quantization_config); None
    # when the projections are not quantized
    quantization: Optional[QuantizationConfig] = None

    def __post_init__(self):
        if self.num_key_value_heads is None:
            object.__setattr__(self, "num_key_value_heads", self.num_attention_heads)
        if isinstance(self.eos_token_id, list):
            object.__setattr__(self, "eos_token_id", tuple(self.eos_token_id))
        _check_fields(self, "LlamaConfig")
        if not isinstance(self.rope_scaling, (RopeScaling, type(None))):
            object.__setattr__(self, "rope_scaling", read_rope_scaling(
                self.rope_scaling, self.max_position_embeddings, "LlamaConfig"))
        if not isinstance(self.quantization, (QuantizationConfig, type(None))):
            object.__setattr__(self, "quantization",
                               read_quantization_config(self.quantization, "LlamaConfig"))

    @property
    def head_dim(self) -> int:
        """Features per attention head."""
        return self.hidden_size // self.num_attention_heads

    def check_sequence(self, length: int, source: str = "config.json") -> None:
        """Refuse to run a sequence of `length` positions that this model does not cover: beyond
        max_position_embeddings, or beyond a sliding window (a window at least as long as the
        sequence changes nothing, a shorter one would mask keys this engine attends to). A
        "dynamic" rope_scaling changes nothing within max_position_embeddings and rescales the
        frequencies past it, which this engine does not do."""
        scaling = self.rope_scaling
        if (length > self.max_position_embeddings and scaling is not None
                and scaling.rope_type == "dynamic"):
            raise CheckpointError(
                f"{source}: rope_scaling \"dynamic\" would rescale the rotary frequencies of a "
                f"sequence of {length} positions, longer than max_position_embeddings "
                f"{self.max_position_embeddings}; this engine runs it up to that length only")
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
    except (UnicodeDecodeError, ValueError, RecursionError) as e:
        raise CheckpointError(f"{path}: the model configuration is not valid JSON "
                              f"({str(e)[:100]})") from None
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
    fields["rope_scaling"] = read_rope_scaling(
        d.get("rope_scaling"),
        fields.get("max_position_embeddings", LlamaConfig.max_position_embeddings), source)
    theta = fields.get("rope_theta", LlamaConfig.rope_theta)
    if fields["rope_scaling"] is not None and fields["rope_scaling"].rope_type == "yarn" \
            and theta <= 1:
        raise CheckpointError(f"{source}: rope_theta must be greater than 1 for rope_scaling type "
                              f"'yarn' (its correction range divides by ln rope_theta); got {theta!r}")
    fields["quantization"] = read_quantization_config(d.get("quantization_config"), source)
    if isinstance(fields.get("eos_token_id"), list):
        fields["eos_token_id"] = tuple(fields["eos_token_id"])
    for key in ("rms_norm_eps", "rope_theta"):
        if key in fields:
            fields[key] = float(fields[key])
    return LlamaConfig(**fields)


def _refuse_unsupported(d, source):
    def refuse(key, why):
        raise CheckpointError(f"{source}: {key} {d[key]!r} is not supported: {why}")

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


def read_rope_scaling(value, max_positions: int,
                      source: str = "config.json") -> Optional[RopeScaling]:
    """Check a config.json's rope_scaling (null, or an object naming its type in "rope_type" or
    "type"); None when it scales nothing (null or type "default"). max_positions is the config's
    max_position_embeddings, yarn's default original_max_position_embeddings."""
    if value is None:
        return None
    if not isinstance(value, dict):
        raise CheckpointError(f"{source}: rope_scaling must be null or a JSON object; "
                              f"got {value!r}")
    names = [value[k] for k in ("rope_type", "type") if value.get(k) is not None]
    if not names or any(n != names[0] for n in names):
        raise CheckpointError(f"{source}: rope_scaling must name one type in rope_type "
                              f"(or type); got {value!r}")
    kind = names[0]
    if kind == "default":
        return None
    if kind not in ROPE_TYPES:
        raise CheckpointError(
            f"{source}: rope_scaling type {kind!r} is not supported: this engine implements "
            f"{', '.join(repr(t) for t in ROPE_TYPES)}")

    def fail(key, requirement):
        raise CheckpointError(f"{source}: rope_scaling.{key} must be {requirement} for "
                              f"rope_scaling type {kind!r}; got {value.get(key)!r}")

    def number(key, default=None):
        v = value.get(key)
        if v is None and default is not None:
            return default
        if (not isinstance(v, (int, float)) or isinstance(v, bool) or not math.isfinite(v)
                or v <= 0):
            fail(key, "a finite positive number")
        return float(v)

    def positions(key, default=None):
        v = value.get(key)
        v = default if v is None else v
        if not _is_int(v) or v <= 0:
            fail(key, "a positive integer")
        return v

    s = RopeScaling(kind, number("factor"))
    if kind == "llama3":
        s = replace(s, low_freq_factor=number("low_freq_factor"),
                    high_freq_factor=number("high_freq_factor"),
                    original_max_position_embeddings=positions("original_max_position_embeddings"))
        if s.high_freq_factor <= s.low_freq_factor:
            fail("high_freq_factor", f"greater than low_freq_factor {s.low_freq_factor}")
    elif kind == "yarn":
        for key in ("mscale", "mscale_all_dim"):
            if value.get(key) is not None:
                raise CheckpointError(
                    f"{source}: rope_scaling.{key} {value[key]!r} is not supported: this engine "
                    f"scales yarn's cos and sin by attention_factor only")
        if value.get("truncate") is not None and value["truncate"] is not True:
            fail("truncate", "true or absent (the correction range is rounded to whole "
                             "dimensions)")
        s = replace(s, beta_fast=number("beta_fast", 32.0), beta_slow=number("beta_slow", 1.0),
                    original_max_position_embeddings=positions(
                        "original_max_position_embeddings", max_positions),
                    attention_factor=None if value.get("attention_factor") is None
                    else number("attention_factor"))
        if s.beta_fast <= s.beta_slow:
            fail("beta_fast", f"greater than beta_slow {s.beta_slow}")
    return s


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
