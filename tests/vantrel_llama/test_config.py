"""vantrel_llama.config: defaults, ignored and refused keys, malformed files, sequence limits."""
import pytest

from vantrel_llama import CheckpointError
from vantrel_llama.config import LlamaConfig, config_from_dict, read_config

BASE = {"hidden_size": 64, "intermediate_size": 96, "num_hidden_layers": 1,
        "num_attention_heads": 4, "vocab_size": 32}
MISSING = object()


def test_defaults_and_ignored_keys():
    cfg = config_from_dict(dict(BASE))
    assert cfg == LlamaConfig(64, 96, 1, 4, 32, num_key_value_heads=4, rms_norm_eps=1e-6,
                              rope_theta=10000.0, max_position_embeddings=2048)
    assert (cfg.head_dim, cfg.tie_word_embeddings, cfg.eos_token_id, cfg.sliding_window) == \
        (16, False, None, None)
    cfg = config_from_dict(dict(
        BASE, num_key_value_heads=2, rope_theta=500000, eos_token_id=[2, 3], bos_token_id=1,
        rope_scaling=None, attention_bias=False, mlp_bias=False, hidden_act="silu", head_dim=16,
        pretraining_tp=1, use_cache=True, initializer_range=0.02, torch_dtype="bfloat16",
        pad_token_id=0, transformers_version="4.40", architectures=["LlamaForCausalLM"],
        model_type="llama", attention_dropout=0.0, sliding_window=None))
    assert (cfg.num_key_value_heads, cfg.rope_theta, cfg.eos_token_id) == (2, 500000.0, (2, 3))
    assert isinstance(cfg.rope_theta, float)


@pytest.mark.parametrize("key, value", [
    ("rope_scaling", {"type": "linear", "factor": 2.0}), ("attention_bias", True),
    ("mlp_bias", True), ("hidden_act", "gelu"), ("head_dim", 32),
    ("hidden_size", 66), ("num_key_value_heads", 3), ("hidden_size", 36),  # 36/4: odd head_dim
    ("bos_token_id", 32), ("eos_token_id", [2, 32]), ("eos_token_id", -1), ("eos_token_id", []),
    ("hidden_size", True), ("hidden_size", "64"), ("vocab_size", 32.0), ("num_hidden_layers", 0),
    ("intermediate_size", -96), ("rms_norm_eps", -1e-6), ("rms_norm_eps", float("nan")),
    ("rope_theta", 0), ("sliding_window", 0), ("tie_word_embeddings", "yes"),
    ("hidden_size", None), ("hidden_size", MISSING), ("vocab_size", MISSING),
])
def test_refused(key, value):
    d = dict(BASE, **{key: value})
    if value is MISSING:
        del d[key]
    with pytest.raises(CheckpointError, match=rf"^m/config\.json: .*{key}"):
        config_from_dict(d, "m/config.json")


@pytest.mark.parametrize("content", [b"{\"hidden_size\": 64", b"[1, 2]", b"\xff\xfe{}", None])
def test_bad_files(tmp_path, content):
    path = tmp_path / "config.json"
    if content is not None:
        path.write_bytes(content)
    with pytest.raises(CheckpointError, match=str(path)):
        read_config(path)


@pytest.mark.parametrize("extra, length, match", [
    ({}, 16, None), ({"sliding_window": 16}, 16, None), ({}, 17, "max_position_embeddings 16"),
    ({"sliding_window": 8}, 9, "sliding_window 8"),
])
def test_check_sequence(extra, length, match):
    cfg = config_from_dict(dict(BASE, max_position_embeddings=16, **extra))
    if match is None:
        cfg.check_sequence(length)
    else:
        with pytest.raises(CheckpointError, match=f"^config.json: .*{match}"):
            cfg.check_sequence(length)
