"""Set-up of the decoding-engine tests: writers of small checkpoints."""
import json

import pytest
import torch

from vantrel_llama.checkpoint import expected_tensors
from vantrel_llama.config import config_from_dict
from vantrel_llama.safetensors import write_safetensors

# Grouped key/value heads: 4 query heads of 16 features share 2 key/value heads.
TINY_CONFIG = {"hidden_size": 64, "intermediate_size": 96, "num_hidden_layers": 2,
               "num_attention_heads": 4, "num_key_value_heads": 2, "vocab_size": 48,
               "max_position_embeddings": 64, "bos_token_id": 1, "eos_token_id": 2}


def _write(folder, config, seed, std, dtype=torch.float16, edit=None, fmt="safetensors", shards=1):
    """config.json and seeded weights N(0, std) (norms 1 + N(0, std)), which `edit(tensors)` may
    change, as "safetensors" or "bin": one file, or `shards` files and their index."""
    folder.mkdir(exist_ok=True)
    (folder / "config.json").write_text(json.dumps(config))
    gen = torch.Generator().manual_seed(seed)
    tensors = {name: (torch.randn(shape, generator=gen) * std + (len(shape) == 1)).to(dtype)
               for name, shape in expected_tensors(config_from_dict(config)).items()}
    if edit is not None:
        edit(tensors)
    stem, save = (("model", "safetensors"), write_safetensors) if fmt == "safetensors" else \
        (("pytorch_model", "bin"), lambda path, t: torch.save(t, path))
    if shards == 1:
        save(folder / "{}.{}".format(*stem), tensors)
        return folder, tensors
    names, weight_map = list(tensors), {}
    for k in range(shards):
        file = f"{stem[0]}-{k + 1:05}-of-{shards:05}.{stem[1]}"
        chunk = names[k * len(names) // shards:(k + 1) * len(names) // shards]
        save(folder / file, {n: tensors[n] for n in chunk})
        weight_map.update(dict.fromkeys(chunk, file))
    (folder / "{}.{}.index.json".format(*stem)).write_text(
        json.dumps({"metadata": {}, "weight_map": weight_map}))
    return folder, tensors


@pytest.fixture(scope="session")
def write_checkpoint():
    """write_checkpoint(folder, config, seed, std, dtype=float16) -> (folder, tensors)."""
    return _write


@pytest.fixture
def make_checkpoint(tmp_path):
    """make_checkpoint(fmt="safetensors" or "bin", shards=1, dtype, edit=None, **config): a new
    folder with TINY_CONFIG updated by `config`, weights of std 0.1. -> (folder, tensors)"""
    count = [0]

    def make(fmt="safetensors", shards=1, dtype=torch.float16, edit=None, **config):
        count[0] += 1
        return _write(tmp_path / f"checkpoint{count[0]}", dict(TINY_CONFIG, **config), count[0],
                      0.1, dtype, edit, fmt, shards)

    return make
