"""vantrel_llama.synthetic: a tiny synthetic checkpoint, its layout, seeding and caching."""
import pytest
import torch

from vantrel_llama.checkpoint import expected_tensors
from vantrel_llama.config import read_config
from vantrel_llama.safetensors import SafetensorsFile
from vantrel_llama.synthetic import write_synthetic_checkpoint
from vantrel_llama.tokenizer import load_tokenizer

TINY = dict(layers=1, hidden=64, intermediate=128, heads=2)
FILES = ("tokenizer.model", "config.json", "model.safetensors", "synthetic.json")


def read(folder):
    with SafetensorsFile(folder / "model.safetensors") as f:
        return {name: f.tensor(name).clone() for name in f.names()}


def mtimes(folder):
    return [(folder / name).stat().st_mtime_ns for name in FILES]


def test_layout_and_tokenizer(tmp_path):
    folder = write_synthetic_checkpoint(tmp_path / "a", kv_heads=1, **TINY)
    cfg, tok, tensors = read_config(folder / "config.json"), load_tokenizer(folder), read(folder)
    assert cfg.vocab_size % 16 == 0 and 0 <= cfg.vocab_size - tok.vocab_size < 16
    assert (cfg.num_key_value_heads, cfg.bos_token_id, cfg.eos_token_id) == (1, tok.bos_id,
                                                                            tok.eos_id)
    assert {n: tuple(t.shape) for n, t in tensors.items()} == expected_tensors(cfg)
    assert all(t.dtype == torch.float16 for t in tensors.values())
    for name, t in tensors.items():
        if name.endswith("norm.weight"):
            assert torch.equal(t, torch.ones_like(t))
        else:
            assert t.float().std().item() == pytest.approx(0.02, rel=0.1)
    assert tok.decode(tok.encode("Rain fell on the city.")) == "Rain fell on the city."
    padded = tok.encode("the", bos=False) + [cfg.vocab_size - 1]
    if cfg.vocab_size > tok.vocab_size:
        assert tok.decode(padded) == f"the<id:{cfg.vocab_size - 1}>"


def test_seeding_and_caching(tmp_path):
    a = write_synthetic_checkpoint(tmp_path / "a", **TINY)
    before = mtimes(a)
    assert write_synthetic_checkpoint(tmp_path / "a", **TINY) == a and mtimes(a) == before
    b = write_synthetic_checkpoint(tmp_path / "b", **TINY)
    assert (a / "model.safetensors").read_bytes() == (b / "model.safetensors").read_bytes()
    # Other parameters, or a run that did not finish (no stamp), write everything again.
    write_synthetic_checkpoint(tmp_path / "b", seed=1, **TINY)
    assert (read(b)["lm_head.weight"] != read(a)["lm_head.weight"]).float().mean() > 0.99
    (a / "synthetic.json").unlink()
    write_synthetic_checkpoint(tmp_path / "a", **TINY)
    assert all(x < y for x, y in zip(before, mtimes(a)))


@pytest.mark.parametrize("kwargs, message", [
    (dict(heads=3), "hidden"), (dict(heads=4, kv_heads=3), "multiple of kv_heads"),
    (dict(layers=0), "layers"), (dict(dtype=torch.int8), "dtype"), (dict(seed=1.5), "seed")])
def test_bad_arguments(tmp_path, kwargs, message):
    with pytest.raises(ValueError, match=message):
        write_synthetic_checkpoint(tmp_path, **dict(TINY, **kwargs))
    assert not any(tmp_path.iterdir())
