"""vantrel_llama.config: defaults, ignored and refused keys, malformed files, sequence limits."""
import pytest

from vantrel_llama import CheckpointError
from vantrel_llama.config import LlamaConfig, RopeScaling, config_from_dict, read_config
from vantrel_llama.quantized import QuantizationConfig

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
    ("attention_bias", True),
    ("mlp_bias", True), ("hidden_act", "gelu"), ("head_dim", 32),
    ("hidden_size", 66), ("num_key_value_heads", 3), ("hidden_size", 36),  # 36/4: odd head_dim
    ("bos_token_id", 32), ("eos_token_id", [2, 32]), ("eos_token_id", -1), ("eos_token_id", []),
    ("hidden_size", True), ("hidden_size", "64"), ("vocab_size", 32.0), ("num_hidden_layers", 0),
    ("intermediate_size", -96), ("rms_norm_eps", -1e-6), ("rms_norm_eps", float("nan")),
    ("rope_theta", 0), ("sliding_window", 0), ("tie_word_embeddings", "yes"),
    ("hidden_size", None), ("vocab_size", MISSING),
])
def test_refused(key, value):
    d = dict(BASE, **{key: value})
    if value is MISSING:
        del d[key]
    with pytest.raises(CheckpointError, match=rf"^m/config\.json: .*{key}"):
        config_from_dict(d, "m/config.json")


LLAMA3 = {"rope_type": "llama3", "factor": 8.0, "low_freq_factor": 1.0, "high_freq_factor": 4.0,
          "original_max_position_embeddings": 8192}


@pytest.mark.parametrize("scaling, expected", [
    ({"rope_type": "default"}, None),
    ({"type": "linear", "factor": 2}, RopeScaling("linear", 2.0)),
    (LLAMA3, RopeScaling("llama3", 8.0, 1.0, 4.0, 8192)),
    ({"type": "yarn", "factor": 4.0, "finetuned": True, "mscale": None},  # defaults
     RopeScaling("yarn", 4.0, original_max_position_embeddings=2048, beta_fast=32.0,
                 beta_slow=1.0)),
    ({"type": "yarn", "factor": 4, "beta_fast": 16, "beta_slow": 2, "attention_factor": 1.2,
      "original_max_position_embeddings": 1024},
     RopeScaling("yarn", 4.0, None, None, 1024, 16.0, 2.0, 1.2)),
])
def test_rope_scaling_accepted(scaling, expected):
    assert config_from_dict(dict(BASE, rope_scaling=scaling)).rope_scaling == expected
    assert LlamaConfig(64, 96, 1, 4, 32, rope_scaling=scaling).rope_scaling == expected


@pytest.mark.parametrize("scaling, names", [
    ({"type": "longrope", "factor": 2.0}, "type 'longrope'"),
    ({"factor": 2.0}, "rope_type"), ({"type": "linear", "rope_type": "yarn"}, "rope_type"),
    ([2.0], "JSON object"), ({"type": "linear"}, "factor"),
    ({"type": "linear", "factor": 0}, "factor"),
    ({"type": "dynamic", "factor": -2.0}, "factor"), ({"type": "yarn", "factor": True}, "factor"),
    (dict(LLAMA3, low_freq_factor=4.0), "high_freq_factor"),
    (dict(LLAMA3, original_max_position_embeddings=None), "original_max_position_embeddings"),
    (dict(LLAMA3, original_max_position_embeddings=8192.0), "original_max_position_embeddings"),
    ({"type": "yarn", "factor": 4.0, "beta_fast": 1, "beta_slow": 32}, "beta_fast"),
    ({"type": "yarn", "factor": 4.0, "attention_factor": 0}, "attention_factor"),
    ({"type": "yarn", "factor": 4.0, "mscale": 0.707, "mscale_all_dim": 0.707}, "mscale"),
    ({"type": "yarn", "factor": 4.0, "truncate": False}, "truncate"),
])
def test_rope_scaling_refused(scaling, names):
    with pytest.raises(CheckpointError, match=rf"^m/config\.json: rope_scaling.*{names}"):
        config_from_dict(dict(BASE, rope_scaling=scaling), "m/config.json")


def test_yarn_refuses_rope_theta_of_1():
    with pytest.raises(CheckpointError, match=r"^m/config\.json: rope_theta must be greater than 1"):
        config_from_dict(dict(BASE, rope_theta=1.0, rope_scaling={"type": "yarn", "factor": 4.0}),
                         "m/config.json")


@pytest.mark.parametrize("content", [b"{\"hidden_size\": 64", b"[1, 2]", b"\xff\xfe{}", None,
                                     pytest.param(b"[" * 100000 + b"]" * 100000, id="nested")])
def test_bad_files(tmp_path, content):
    path = tmp_path / "config.json"
    if content is not None:
        path.write_bytes(content)
    with pytest.raises(CheckpointError, match=str(path)):
        read_config(path)


@pytest.mark.parametrize("extra, length, match", [
    ({}, 16, None), ({"sliding_window": 16}, 16, None), ({}, 17, "max_position_embeddings 16"),
    ({"sliding_window": 8}, 9, "sliding_window 8"),
    ({"rope_scaling": {"type": "dynamic", "factor": 2.0}}, 16, None),
    ({"rope_scaling": {"type": "dynamic", "factor": 2.0}}, 17, 'rope_scaling "dynamic".* 17 pos'),
    ({"rope_scaling": {"type": "linear", "factor": 2.0}}, 17, "max_position_embeddings 16"),
])
def test_check_sequence(extra, length, match):
    cfg = config_from_dict(dict(BASE, max_position_embeddings=16, **extra))
    if match is None:
        cfg.check_sequence(length)
    else:
        with pytest.raises(CheckpointError, match=f"^config.json: .*{match}"):
            cfg.check_sequence(length)


GPTQ = {"quant_method": "gptq", "bits": 4, "group_size": 128, "desc_act": False, "sym": True,
        "static_groups": False, "true_sequential": True, "damp_percent": 0.01}
AWQ = {"quant_method": "awq", "bits": 4, "group_size": 128, "zero_point": True,
       "version": "gemm"}


@pytest.mark.parametrize("raw, expected", [
    (None, None),
    (GPTQ, QuantizationConfig("gptq", 4, 128, True, 1, False)),
    ({"quant_method": "gptq", "bits": 8, "group_size": -1},  # sym defaults to true
     QuantizationConfig("gptq", 8, -1, True, 1, False)),
    (dict(GPTQ, checkpoint_format="gptq_v2", desc_act=True, sym=False),
     QuantizationConfig("gptq", 4, 128, False, 0, True)),
    (dict(GPTQ, checkpoint_format="gptq", lm_head=False),
     QuantizationConfig("gptq", 4, 128, True, 1, False)),
    (dict(AWQ, version="GEMM", modules_to_not_convert=["lm_head"]),
     QuantizationConfig("awq", 4, 128, False, 0, False)),
    ({"quant_method": "awq", "bits": 4, "group_size": 64},
     QuantizationConfig("awq", 4, 64, False, 0, False)),
])
def test_quantization_accepted(raw, expected):
    assert config_from_dict(dict(BASE, quantization_config=raw)).quantization == expected
    assert LlamaConfig(64, 96, 1, 4, 32, quantization=raw).quantization == expected
    if expected is not None:
        group = 4096 if expected.group_size == -1 else expected.group_size
        assert (expected.group(4096), expected.groups(4096)) == (group, 4096 // group)


@pytest.mark.parametrize("raw, names", [
    ([GPTQ], "quantization_config must be null or a JSON object"),
    ({"bits": 4}, "quantization_config.quant_method must be"),
    (dict(GPTQ, quant_method="bitsandbytes"), "quantization_config.quant_method 'bitsandbytes'"),
    (dict(GPTQ, bits=3), "quantization_config.bits"), (dict(GPTQ, bits=True), "bits"),
    ({"quant_method": "GPTQ", "group_size": 32}, "quantization_config.bits .*absent"),
    (dict(GPTQ, group_size=0), "group_size"), (dict(GPTQ, group_size=-2), "group_size"),
    (dict(GPTQ, group_size=128.0), "group_size"),
    (dict(GPTQ, checkpoint_format="marlin"), "quantization_config.checkpoint_format"),
    (dict(GPTQ, checkpoint_format=["gptq"]), "checkpoint_format"),
    (dict(GPTQ, sym="yes"), "quantization_config.sym"), (dict(GPTQ, desc_act=1), "desc_act"),
    (dict(GPTQ, lm_head=True), "quantization_config.lm_head"),
    (dict(GPTQ, modules_in_block_to_quantize=[["self_attn.q_proj"], ["mlp.down_proj"]]),
     "modules_in_block_to_quantize"),
    (dict(AWQ, version="gemv"), "quantization_config.version"),
    (dict(AWQ, version=None, bits=8), "quantization_config.bits"),
    (dict(AWQ, group_size=-1), "group_size"),
    (dict(AWQ, zero_point=False), "quantization_config.zero_point"),
    (dict(AWQ, modules_to_not_convert=["down_proj"]), "modules_to_not_convert"),
])
def test_quantization_refused(raw, names):
    with pytest.raises(CheckpointError, match=rf"^m/config\.json: .*{names}"):
        config_from_dict(dict(BASE, quantization_config=raw), "m/config.json")
