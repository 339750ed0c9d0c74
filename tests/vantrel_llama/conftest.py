"""Set-up of the decoding-engine tests: a writer of tiny checkpoints."""
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


@pytest.fixture
def make_checkpoint(tmp_path):
    """make_checkpoint(fmt="safetensors", shards=1, dtype=torch.float16, edit=None, **config)
    writes config.json (TINY_CONFIG updated by `config`) and seeded random weights into a new
    folder under tmp_path, as "safetensors" or "bin", one file or `shards` files with their index.
    `edit(tensors)` may change the dict of weights before it is written. Returns (folder, tensors).
    """
    count = [0]

    def make(fmt="safetensors", shards=1, dtype=torch.float16, edit=None, **config):
        count[0] += 1
        folder = tmp_path / f"checkpoint{count[0]}"
        folder.mkdir()
        d = dict(TINY_CONFIG, **config)
        (folder / "config.json").write_text(json.dumps(d))
        gen = torch.Generator().manual_seed(count[0])
        tensors = {name: (torch.randn(shape, generator=gen) * 0.1
                          + (len(shape) == 1)).to(dtype)
                   for name, shape in expected_tensors(config_from_dict(d)).items()}
        if edit is not None:
            edit(tensors)
        if fmt == "safetensors":
            single, pattern, save = "model.safetensors", "model-{:05}-of-{:05}.safetensors", \
                write_safetensors
        else:
            single, pattern, save = "pytorch_model.bin", "pytorch_model-{:05}-of-{:05}.bin", \
                lambda path, t: torch.save(t, path)
        names = list(tensors)
        if shards == 1:
            save(folder / single, tensors)
            return folder, tensors
        weight_map = {}
        for k in range(shards):
            file = pattern.format(k + 1, shards)
            chunk = names[k * len(names) // shards:(k + 1) * len(names) // shards]
            save(folder / file, {n: tensors[n] for n in chunk})
            weight_map.update(dict.fromkeys(chunk, file))
        index = {"metadata": {}, "weight_map": weight_map}
        (folder / (single + ".index.json")).write_text(json.dumps(index))
        return folder, tensors

    return make
