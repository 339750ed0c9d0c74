"""vantrel_llama.checkpoint: finding the weights, checking them against the config, handing them
out and releasing them, in both file formats."""
import json
import re

import pytest
import torch

from vantrel_llama import CheckpointError
from vantrel_llama.checkpoint import Checkpoint, expected_tensors
from vantrel_llama.config import LlamaConfig, read_config

FORMATS = ["safetensors", "bin"]


def test_expected_tensors():
    cfg = LlamaConfig(64, 96, 2, 4, 48, num_key_value_heads=2, tie_word_embeddings=True)
    shapes = expected_tensors(cfg)
    layer = {k[len("model.layers.1."):]: v for k, v in shapes.items() if ".1." in k}
    assert layer == {"self_attn.q_proj.weight": (64, 64), "self_attn.k_proj.weight": (32, 64),
                     "self_attn.v_proj.weight": (32, 64), "self_attn.o_proj.weight": (64, 64),
                     "mlp.gate_proj.weight": (96, 64), "mlp.up_proj.weight": (96, 64),
                     "mlp.down_proj.weight": (64, 96), "input_layernorm.weight": (64,),
                     "post_attention_layernorm.weight": (64,)}
    assert len(shapes) == 2 + 2 * 9 and shapes["model.embed_tokens.weight"] == (48, 64)
    assert shapes["model.norm.weight"] == (64,) and "lm_head.weight" not in shapes


@pytest.mark.parametrize("fmt", FORMATS)
@pytest.mark.parametrize("shards, dtype", [(1, torch.float16), (3, torch.bfloat16)])
def test_load(make_checkpoint, fmt, shards, dtype):
    folder, tensors = make_checkpoint(fmt, shards, dtype)
    if fmt == "safetensors":  # preferred to a .bin beside it
        torch.save(tensors, folder / "pytorch_model.bin")
    with Checkpoint(folder, read_config(folder / "config.json")) as ckpt:
        assert ckpt.format == fmt and sorted(ckpt.names()) == sorted(tensors)
        assert len({ckpt.file_of(n) for n in tensors}) == shards
        for name in ckpt.names():
            t = ckpt.tensor(name)
            assert t.dtype == dtype and torch.equal(t, tensors[name])
            del t
            ckpt.release(name)
        with pytest.raises(CheckpointError, match="model.norm.weight was already released"):
            ckpt.tensor("model.norm.weight")


@pytest.mark.parametrize("fmt", FORMATS)
def test_tied_embeddings(make_checkpoint, fmt):
    def store_tie(t):  # torch.save writes a tied output projection as a second name
        t["lm_head.weight"] = t["model.embed_tokens.weight"]

    folder, _ = make_checkpoint(fmt, tie_word_embeddings=True)
    cfg = read_config(folder / "config.json")
    with Checkpoint(folder, cfg) as ckpt:
        assert "lm_head.weight" not in ckpt.names()
    folder, _ = make_checkpoint(fmt, tie_word_embeddings=True, edit=store_tie)
    if fmt == "bin":
        with Checkpoint(folder, cfg) as ckpt:
            assert "lm_head.weight" not in ckpt.names()
    else:  # two copies in the file: the config does not say they agree
        with pytest.raises(CheckpointError, match="lm_head.weight does not belong.*tie_word_emb"):
            Checkpoint(folder, cfg)


def drop(name):
    return lambda t: t.pop(name)


def put(name, value):
    return lambda t: t.__setitem__(name, value)


@pytest.mark.parametrize("fmt", FORMATS)
@pytest.mark.parametrize("edit, match", [  # FILE: the weights file; DIR: the checkpoint folder
    (put("model.layers.1.self_attn.rotary_emb.inv_freq", torch.ones(8)), None),
    (drop("model.layers.1.mlp.up_proj.weight"), "DIR: tensor model.layers.1.mlp.up_proj.weight"),
    (drop("lm_head.weight"), "DIR: tensor lm_head.weight is missing.*tie_word_embeddings is false"),
    (put("model.layers.2.mlp.up_proj.weight", torch.ones(96, 64)),
     "FILE: tensor model.layers.2.mlp.up_proj.weight does not belong.*num_hidden_layers is 2"),
    (put("model.layers.0.self_attn.q_proj.bias", torch.ones(64)), "FILE: .*q_proj.bias does not"),
    (put("model.layers.0.self_attn.k_proj.weight", torch.ones(64, 64).half()),
     r"FILE: .*k_proj.weight has shape \[64, 64\], expected \[32, 64\] = \[num_key_value_heads"),
    (put("model.norm.weight", torch.ones(64, dtype=torch.float64)), "FILE: .*norm.weight is "
                                                                     "torch.float64"),
])
def test_checked_against_config(make_checkpoint, fmt, edit, match):
    folder, _ = make_checkpoint(fmt, edit=edit)
    cfg = read_config(folder / "config.json")
    if match is None:
        with Checkpoint(folder, cfg) as ckpt:
            assert "model.layers.1.self_attn.rotary_emb.inv_freq" not in ckpt.names()
        return
    file = folder / ("model.safetensors" if fmt == "safetensors" else "pytorch_model.bin")
    match = match.replace("FILE", re.escape(str(file))).replace("DIR", re.escape(str(folder)))
    with pytest.raises(CheckpointError, match=f"^{match}"):
        Checkpoint(folder, cfg)


@pytest.mark.parametrize("fmt, fault, match", [
    ("safetensors", "no weights", "looked for model.safetensors, .*pytorch_model.bin.index.json"),
    ("safetensors", "shard missing", "00002-of-00002.safetensors: the file listed by the index"),
    ("safetensors", "name moved", "00001-of-00002.safetensors: the index maps tensor model.norm"),
    ("safetensors", "outside", "weight_map maps tensor .* to '../x.safetensors'"),
    ("safetensors", "nested", "index.json: cannot read the index"),
    ("bin", "truncated", "pytorch_model.bin: cannot load"),
    ("bin", "not a pickle", "pytorch_model.bin: cannot load"),
    ("bin", "non-tensor", "pytorch_model.bin: tensor model.norm.weight: holds int"),
])
def test_bad_files(make_checkpoint, fmt, fault, match):
    folder, tensors = make_checkpoint(fmt, 1 if fmt == "bin" else 2)
    index, path = folder / "model.safetensors.index.json", folder / "pytorch_model.bin"
    if fault == "no weights":
        for p in folder.glob("model*"):
            p.unlink()
    elif fault == "shard missing":
        (folder / "model-00002-of-00002.safetensors").unlink()
    elif fault in ("name moved", "outside"):
        d = json.loads(index.read_text())
        d["weight_map"]["model.norm.weight"] = ("model-00001-of-00002.safetensors"
                                               if fault == "name moved" else "../x.safetensors")
        index.write_text(json.dumps(d))
    elif fault == "nested":
        index.write_text("[" * 100000 + "]" * 100000)
    elif fault == "non-tensor":
        torch.save(dict(tensors, **{"model.norm.weight": 3}), path)
    else:
        path.write_bytes(path.read_bytes()[:5000] if fault == "truncated" else b"not a pickle")
    with pytest.raises(CheckpointError, match=match):
        Checkpoint(folder, read_config(folder / "config.json"))


@pytest.mark.parametrize("quantization, layer", [
    ({"quant_method": "gptq", "bits": 8, "group_size": -1},
     {"self_attn.q_proj.qweight": (16, 64), "self_attn.q_proj.qzeros": (1, 16),
      "self_attn.q_proj.scales": (1, 64), "self_attn.q_proj.g_idx": (64,),
      "self_attn.k_proj.qweight": (16, 32), "self_attn.k_proj.qzeros": (1, 8),
      "mlp.down_proj.qweight": (24, 64), "mlp.down_proj.scales": (1, 64)}),
    ({"quant_method": "gptq", "bits": 4, "group_size": 40},  # a short last group
     {"self_attn.q_proj.qweight": (8, 64), "self_attn.q_proj.qzeros": (2, 8),
      "mlp.down_proj.qzeros": (3, 8), "mlp.down_proj.g_idx": (96,), "mlp.up_proj.scales": (2, 96)}),
    ({"quant_method": "awq", "bits": 4, "group_size": 32},
     {"self_attn.q_proj.qweight": (64, 8), "self_attn.k_proj.qzeros": (2, 4),
      "self_attn.k_proj.scales": (2, 32), "mlp.down_proj.qweight": (96, 8),
      "mlp.down_proj.qzeros": (3, 8), "mlp.up_proj.qweight": (64, 12)}),
])
def test_expected_quantized_tensors(quantization, layer):
    cfg = LlamaConfig(64, 96, 1, 4, 48, num_key_value_heads=2, quantization=quantization)
    shapes = expected_tensors(cfg)
    assert {k: shapes["model.layers.0." + k] for k in layer} == layer
    per_projection = 4 if quantization["quant_method"] == "gptq" else 3
    assert len(shapes) == 2 + 7 * per_projection + 2 + 1
    assert "model.layers.0.self_attn.q_proj.weight" not in shapes
