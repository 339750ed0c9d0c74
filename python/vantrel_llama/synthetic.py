"""A seeded synthetic LLaMA checkpoint (tokenizer, config.json, model.safetensors) with real
shapes, so decoding can be run and timed without downloading a model. Its weights are noise: the
text it generates is meaningless, but every kernel sees the shapes and value ranges of a real
one."""
import hashlib
import json
import os
from collections.abc import Mapping
from pathlib import Path
from typing import Optional

import torch

from .checkpoint import expected_tensors
from .config import config_from_dict
from .safetensors import write_safetensors
from .tokenizer import train_tokenizer

TRAINING_TEXT = """\
A language model does not write a sentence all at once. It writes one small piece, looks at \
everything it has written so far, and then decides on the next piece. This loop is called \
decoding, and most of the time spent running a model is spent inside it.
Each step starts with a single new token. The token is turned into a vector of numbers, and that \
vector passes through a stack of layers. In every layer the vector is normalised, projected into \
queries, keys and values, and compared with the keys of all earlier positions. The comparison \
tells the layer how much attention to pay to each earlier word. After attention comes a small \
feed-forward network that widens the vector, applies a smooth gate, and narrows it again.
At the end of the stack the vector is compared with every word the model knows. The result is a \
long list of scores, one for each word, and the next token is chosen from these scores. The \
simplest rule picks the highest score. A gentler rule divides the scores by a temperature, turns \
them into probabilities, keeps only the most likely words, and draws one of them at random.
Why is this slow? During decoding the model reads all of its weights for every single token, but \
it does only a little arithmetic with each weight. A graphics processor can multiply numbers far \
faster than it can fetch them from memory, so the time of a step is set by how quickly the \
weights stream in. Half precision numbers help, because they take two bytes instead of four. \
Careful kernels help too: they read each weight once, keep partial sums in registers, and let \
many threads share the work of one long row.
The keys and values of earlier positions are kept in a cache, so that each step only computes \
them for the newest token. The cache grows by one row per layer at every step. For a short \
prompt it is tiny, but for a long conversation it can become as large as the weights themselves.
Weather forecasting has a similar shape. A forecast model takes the state of the air today, \
advances it by a few minutes, and repeats. Each step depends on the step before, so the work \
cannot simply be spread across time. Instead the work inside a step is spread across many \
processors, each one responsible for a patch of sky. The forecaster waits for the slowest \
patch, just as a decoder waits for the slowest layer.
There is a quiet pleasure in watching such a loop run. Numbers go in, numbers come out, and \
somewhere in between a sentence appears, word by word, as if someone were thinking aloud. The \
machine is not thinking, of course. It is adding and multiplying, billions of times a second, \
following rules that people wrote down with patience and care.
Good engineering shows in the small things. A program that checks its input names the file and \
the value that went wrong. A test that fails says what it expected and what it found. A cache \
that can be interrupted is rebuilt the next time instead of being trusted half written. These \
habits cost a few lines each, and they save many hours later.
Rain fell on the city all afternoon. The streets shone under the lamps, and the trains ran a \
little late. In a small room above the station, a fan hummed beside a warm computer that was \
still counting: one token, then another, then another, until the answer was complete.
Numbers such as 7, 16, 128, 4096 and 11008 appear again and again in this work. They are the \
widths of vectors, the sizes of tiles, and the lengths of rows. Choosing them well is half of the \
craft; checking them is the other half.
"""

_VERSION = 1  # bump when the way the weights are generated changes, to invalidate old caches
_CHUNK = 1 << 22  # normals drawn per call: bounds the float32 scratch memory
_DTYPE_NAMES = {torch.float16: "float16", torch.bfloat16: "bfloat16", torch.float32: "float32"}
_FILES = ("tokenizer.model", "config.json", "model.safetensors")
_STAMP = "synthetic.json"


def _positive_int(name, v):
    if isinstance(v, bool) or not isinstance(v, int) or v <= 0:
        raise ValueError(f"{name} must be a positive int, got {v!r}")


class _Weights(Mapping):
    """The checkpoint's tensors, each drawn when it is looked up (never held), from a generator
    seeded by the checkpoint seed and the tensor's name: the values do not depend on the order or
    the number of look-ups."""

    def __init__(self, shapes: dict, seed: int, dtype: torch.dtype):
        self._shapes, self._seed, self._dtype = shapes, seed, dtype
        # One float32 scratch buffer for all draws (a fresh one per tensor fragments the heap).
        self._scratch = torch.empty(0)

    def __len__(self):
        return len(self._shapes)

    def __iter__(self):
        return iter(self._shapes)

    def __getitem__(self, name):
        shape = self._shapes[name]
        if name.endswith("norm.weight"):
            return torch.ones(shape, dtype=self._dtype)
        digest = hashlib.sha256(f"{self._seed}:{name}".encode()).digest()
        generator = torch.Generator().manual_seed(int.from_bytes(digest[:8], "little") >> 1)
        out = torch.empty(shape, dtype=self._dtype)
        flat = out.view(-1)
        if self._scratch.numel() < min(_CHUNK, flat.numel()):
            self._scratch = torch.empty(min(_CHUNK, flat.numel()))
        scratch = self._scratch
        for begin in range(0, flat.numel(), _CHUNK):
            part = scratch[:min(_CHUNK, flat.numel() - begin)]
            flat[begin:begin + part.numel()] = part.normal_(0.0, 0.02, generator=generator)
        return out


def synthetic_folder() -> Path:
    """Where synthetic checkpoints are cached: `synthetic/` in the build folder that the operators
    were imported from (build/synthetic for build/lib)."""
    import vantrel._C
    return Path(vantrel._C.__file__).parents[2] / "synthetic"


def write_synthetic_checkpoint(directory, *, layers: int = 2, hidden: int = 4096,
                               intermediate: int = 11008, heads: int = 32,
                               kv_heads: Optional[int] = None, seed: int = 0,
                               dtype=torch.float16) -> Path:
    """Writes a LLaMA checkpoint of random weights (N(0, 0.02^2), norms 1, seeded by `seed`) with
    a tokenizer trained on TRAINING_TEXT into `directory` and returns the directory. Its vocabulary
    is the tokenizer's rounded up to a multiple of 16 (the extra output rows are padding). A
    directory already holding one written with the same arguments is returned as it is."""
    for name, v in (("layers", layers), ("hidden", hidden), ("intermediate", intermediate),
                    ("heads", heads)):
        _positive_int(name, v)
    kv_heads = heads if kv_heads is None else kv_heads
    _positive_int("kv_heads", kv_heads)
    if hidden % heads or (hidden // heads) % 2:
        raise ValueError(f"hidden ({hidden}) must be heads ({heads}) times an even head size")
    if heads % kv_heads:
        raise ValueError(f"heads ({heads}) must be a multiple of kv_heads ({kv_heads})")
    if isinstance(seed, bool) or not isinstance(seed, int):
        raise ValueError(f"seed must be an int, got {seed!r}")
    if dtype not in _DTYPE_NAMES:
        raise ValueError(f"dtype must be one of {', '.join(_DTYPE_NAMES.values())}, got {dtype}")

    directory = Path(directory)
    stamp = {"version": _VERSION, "layers": layers, "hidden": hidden,
             "intermediate": intermediate, "heads": heads, "kv_heads": kv_heads, "seed": seed,
             "dtype": _DTYPE_NAMES[dtype],
             "text": hashlib.sha256(TRAINING_TEXT.encode()).hexdigest()[:16]}
    stamp_path = directory / _STAMP
    try:
        cached = json.loads(stamp_path.read_text())
    except (OSError, ValueError):
        cached = None
    if cached == stamp and all((directory / f).is_file() for f in _FILES):
        return directory

    # Whatever is there is stale or half written: the stamp goes first and comes back last.
    directory.mkdir(parents=True, exist_ok=True)
    stamp_path.unlink(missing_ok=True)
    tokenizer = train_tokenizer(TRAINING_TEXT, directory / "tokenizer.model")
    vocab = -(-tokenizer.vocab_size // 16) * 16
    config = {
        "architectures": ["LlamaForCausalLM"], "model_type": "llama",
        "hidden_size": hidden, "intermediate_size": intermediate,
        "num_hidden_layers": layers, "num_attention_heads": heads,
        "num_key_value_heads": kv_heads, "vocab_size": vocab, "rms_norm_eps": 1e-6,
        "rope_theta": 10000.0, "max_position_embeddings": 2048,
        "bos_token_id": tokenizer.bos_id, "eos_token_id": tokenizer.eos_id,
        "hidden_act": "silu", "tie_word_embeddings": False, "torch_dtype": _DTYPE_NAMES[dtype],
    }
    (directory / "config.json").write_text(json.dumps(config, indent=2) + "\n")
    weights = _Weights(expected_tensors(config_from_dict(config)), seed, dtype)
    write_safetensors(directory / "model.safetensors", weights, metadata={"format": "pt"})
    partial = directory / (_STAMP + ".partial")
    partial.write_text(json.dumps(stamp, indent=2) + "\n")
    os.replace(partial, stamp_path)
    return directory
