"""vantrel_llama.quantized with checkpoint.py: GPTQ and AWQ checkpoints written by
quantized_files.py decode to the weights the writer quantized; damaged ones are refused naming the
tensor or key."""
import json
import re
import time
from types import SimpleNamespace

import pytest
import torch
from quantized_files import write_awq_checkpoint, write_gptq_checkpoint

from vantrel_llama import CheckpointError
from vantrel_llama.checkpoint import Checkpoint, projections
from vantrel_llama.config import read_config
from vantrel_llama.quantized import QuantizationConfig, read_quantized
from vantrel_llama.safetensors import SafetensorsFile, write_safetensors
from vantrel_llama.synthetic import write_synthetic_checkpoint

Q = "model.layers.0.self_attn.q_proj"


@pytest.fixture(scope="module")
def source(tmp_path_factory):
    # K = 64 (hidden) and 96 (intermediate), N = 32 for the grouped key/value projections.
    return write_synthetic_checkpoint(tmp_path_factory.mktemp("float"), layers=2, hidden=64,
                                      intermediate=96, heads=4, kv_heads=2)


def write(tmp_path, source, method="gptq", **kwargs):
    folder = tmp_path / "q"
    writer = write_awq_checkpoint if method == "awq" else write_gptq_checkpoint
    return folder, writer(folder, source, **kwargs)


def rewrite(folder, edit=None, config=None, fmt="safetensors"):
    """Apply edit(tensors) to model.safetensors and config(its dict) to config.json; fmt "bin"
    stores the tensors as pytorch_model.bin instead."""
    path = folder / "model.safetensors"
    with SafetensorsFile(path) as f:
        tensors = {name: f.tensor(name).clone() for name in f.names()}
    if edit is not None:
        edit(tensors)
    if fmt == "bin":
        path.unlink()
        torch.save(tensors, folder / "pytorch_model.bin")
    else:
        write_safetensors(path, tensors)
    if config is not None:
        d = json.loads((folder / "config.json").read_text())
        config(d)
        (folder / "config.json").write_text(json.dumps(d))


def read_all(folder, release=True):
    cfg = read_config(folder / "config.json")
    with Checkpoint(folder, cfg) as ckpt:
        out = {p + ".weight": read_quantized(ckpt, p, cfg.quantization, release)
               for p in projections(cfg)}
        if release:
            with pytest.raises(CheckpointError, match=f"{Q}.qweight was already released"):
                ckpt.tensor(Q + ".qweight")
    return cfg, out  # the decoded tensors outlive the checkpoint: they own their memory


def weight(q):
    return q.scales.float()[:, q.g_idx] * (q.codes.int() - q.zeros[:, q.g_idx]).float()


def each(suffix, f):
    return lambda t: [t.__setitem__(n, f(v)) for n, v in list(t.items()) if n.endswith(suffix)]


@pytest.mark.parametrize("method, kwargs, change", [
    ("gptq", dict(), None),
    ("gptq", dict(bits=8, sym=True, checkpoint_format="gptq_v2"), None),
    ("gptq", dict(bits=8, group_size=-1, sym=True), None),
    ("gptq", dict(sym=True, desc_act=True, checkpoint_format="gptq_v2", seed=3), None),
    ("gptq", dict(group_size=40, desc_act=True, distinct_g_idx=True), None),  # a short last group
    ("gptq", dict(bits=8, group_size=-1, desc_act=True), "bin"),
    ("gptq", dict(), "no g_idx"),
    ("gptq", dict(desc_act=True), "int64 g_idx"),
    ("gptq", dict(), "zeros 15"),  # "gptq" stores 2^b - 1 for a true zero of 2^b
    ("awq", dict(), None),
    ("awq", dict(group_size=16), "bin"),
])
def test_decodes_the_written_weights(tmp_path, source, method, kwargs, change):
    folder, expected = write(tmp_path, source, method, **kwargs)
    rewrite(folder, {"no g_idx": lambda t: [t.pop(n) for n in list(t) if n.endswith("g_idx")],
                     "int64 g_idx": each("g_idx", lambda v: v.long()),
                     "zeros 15": each("qzeros", lambda v: torch.full_like(v, -1))}.get(change),
            fmt="bin" if change == "bin" else "safetensors")
    cfg, got = read_all(folder, release=change != "bin")
    bits, group = kwargs.get("bits", 4), kwargs.get("group_size", 32)
    assert (cfg.quantization.method, cfg.quantization.bits) == (method, bits)
    for name, q in got.items():
        n, k = expected[name].shape
        assert q.group_size == (k if group == -1 else group)
        assert (q.codes.dtype, q.scales.dtype, q.zeros.dtype, q.g_idx.dtype) == \
            (torch.uint8, torch.float16, torch.int16, torch.int64)
        assert q.codes.shape == (n, k)
        assert q.zeros.shape == q.scales.shape == (n, -(-k // q.group_size))
        assert torch.equal(q.dequantize(), weight(q))
        if change == "zeros 15":
            assert bool((q.zeros == 16).all())
        else:
            assert torch.equal(weight(q), expected[name])
        if not kwargs.get("desc_act"):
            assert torch.equal(q.g_idx, torch.arange(k) // q.group_size)
    if kwargs.get("desc_act"):  # q, k and v share a permutation unless asked otherwise
        shared = torch.equal(got[Q + ".weight"].g_idx, got[Q.replace("q_", "v_") + ".weight"].g_idx)
        assert shared != kwargs.get("distinct_g_idx", False)


@pytest.mark.parametrize("method, kwargs", [
    ("gptq", dict()),
    ("gptq", dict(bits=8, sym=True, checkpoint_format="gptq_v2")),
    ("gptq", dict(bits=8, group_size=-1)),
    ("gptq", dict(group_size=-1)),
    ("gptq", dict(desc_act=True)),
    ("awq", dict()),
])
def test_a_part_reads_as_the_whole_sliced(tmp_path, source, method, kwargs):
    """A tensor-parallel rank's part (outputs, or inputs in whole groups) decodes to the whole
    weight's slice; inputs that act-order scattered over the groups are refused."""
    folder, _ = write(tmp_path, source, method, **kwargs)
    cfg, whole = read_all(folder)
    with Checkpoint(folder, cfg) as ckpt:
        for p in projections(cfg):
            w = weight(whole[p + ".weight"])
            n, k = w.shape
            # Parts one packed word wide: 8 inputs (one group per row) crashed the unpacking, the
            # column of words qweight[a/8].T "is contiguous" at a stride a byte view refuses.
            one = ((1, k - 8, k),) if kwargs.get("group_size") == -1 else ()
            for dim, a, b in ((0, n // 2, n), (0, n - 8, n), (1, 32, k)) + one:
                if dim == 1 and kwargs.get("desc_act"):
                    with pytest.raises(CheckpointError, match="this rank's inputs 32 .. "):
                        read_quantized(ckpt, p, cfg.quantization, False, (dim, a, b))
                    continue
                q = read_quantized(ckpt, p, cfg.quantization, False, (dim, a, b))
                assert torch.equal(weight(q), w.narrow(dim, a, b - a))


def poke(suffix, index, value):
    def edit(t):
        t[f"{Q}.{suffix}"].view(-1)[index] = value
    return edit


def set_all(suffix, value):
    return lambda t: t[f"{Q}.{suffix}"].fill_(value)


def move_feature(t):  # feature 0 changes group: one group holds 31 features, the other 33
    t[f"{Q}.g_idx"][0] ^= 1


@pytest.mark.parametrize("method, kwargs, edit, match", [
    ("gptq", {}, poke("g_idx", 5, 2), r"g_idx: g_idx\[5\] is 2, outside \[0, 2\)"),
    ("gptq", {}, poke("g_idx", 5, -1), r"g_idx: g_idx\[5\] is -1"),
    ("gptq", dict(desc_act=True), move_feature,
     "g_idx: puts (31|33) input features in group 0, expected 32"),
    ("gptq", {}, poke("scales", 3, float("inf")), r"scales: holds inf at \[0, 3\]"),
    ("awq", {}, poke("scales", 40, float("nan")), r"scales: holds nan at \[0, 40\]"),
    # A weight s·(q - z) beyond half's range was decoded (and computed as inf).
    ("gptq", {}, poke("scales", 3, 30000.0),
     r"scales: weight \[3, \d+\] = 30000.0 · \(code \d+ - zero \d+\) does not fit in half"),
    # a symmetric 4-bit "gptq" file stores 7; 8 is the true zero "gptq_v2" stores, and back
    ("gptq", dict(sym=True), set_all("qzeros", 0x88888888 - 2 ** 32),
     r"qzeros: every stored zero is 8.*checkpoint_format is \"gptq\".*looks like \"gptq_v2\""),
    ("gptq", dict(sym=True, checkpoint_format="gptq_v2"), set_all("qzeros", 0x77777777),
     r"qzeros: every stored zero is 7.*checkpoint_format is \"gptq_v2\".*looks like \"gptq\""),
])
def test_decoding_refuses(tmp_path, source, method, kwargs, edit, match):
    folder, _ = write(tmp_path, source, method, **kwargs)
    rewrite(folder, edit)
    file = re.escape(str(folder / "model.safetensors"))
    with pytest.raises(CheckpointError, match=f"^{file}: tensor {Q}.{match}"):
        read_all(folder)


def config_edit(key, value):
    return lambda d: d["quantization_config"].__setitem__(key, value)


def float_q_proj(t):
    for s in ("qweight", "qzeros", "scales"):
        del t[f"{Q}.{s}"]
    t[f"{Q}.weight"] = torch.zeros(64, 64, dtype=torch.float16)


@pytest.mark.parametrize("method, edit, config, match", [  # FILE: the weights; DIR: the folder
    ("gptq", lambda t: t.__setitem__(f"{Q}.qweight", t[f"{Q}.qweight"][:4]), None,
     rf"FILE: tensor {Q}.qweight has shape \[4, 64\], expected \[8, 64\] = "
     r"\[hidden_size \* 4 / 32, hidden_size\]"),
    ("gptq", each("scales", lambda v: v.float()), None,
     r"FILE: tensor .*scales is torch.float32; the scales of a quantized projection must be "
     "float16"),
    ("gptq", each("g_idx", lambda v: v.short()), None, r"FILE: .*g_idx is torch.int16"),
    ("awq", lambda t: t.pop(f"{Q}.qzeros"), None, f"DIR: tensor {Q}.qzeros is missing"),
    ("gptq", None, lambda d: d["quantization_config"].clear(),  # refused by read_config
     "CONFIG: quantization_config.quant_method must be"),
    ("gptq", None, lambda d: d.pop("quantization_config"),
     rf"DIR: tensor {Q}.weight .*is missing .*hold {Q}.qweight: a quantized checkpoint needs "
     "quantization_config"),
    ("awq", float_q_proj, None,
     rf"DIR: tensor {Q}.qweight .*is missing .*quantized \(\"awq\"\): but the weights hold "
     rf"{Q}.weight"),
    ("gptq", None, config_edit("bits", 8),
     rf"FILE: tensor {Q}.qweight has shape \[8, 64\], expected \[16, 64\]"),
    ("awq", None, config_edit("group_size", 64),  # down_proj has 96 inputs
     r"FILE: tensor model.layers.0.mlp.down_proj.scales: its 96 input features "
     r"\(intermediate_size of config.json\) are not a multiple of "
     "quantization_config.group_size 64"),
    ("awq", None, config_edit("quant_method", "gptq"), r"FILE: tensor .*qweight has shape"),
])
def test_checkpoint_refuses(tmp_path, source, method, edit, config, match):
    folder, _ = write(tmp_path, source, method)
    rewrite(folder, edit, config)
    match = match.replace("FILE", re.escape(str(folder / "model.safetensors"))) \
        .replace("DIR", re.escape(str(folder))) \
        .replace("CONFIG", re.escape(str(folder / "config.json")))
    with pytest.raises(CheckpointError, match=f"^{match}"):
        Checkpoint(folder, read_config(folder / "config.json"))


@pytest.mark.parametrize("method", ["gptq", "awq"])
def test_unpacks_a_large_projection_quickly(method):
    k, n, g = 4096, 11008, 128
    gen = torch.Generator().manual_seed(0)
    words = lambda *shape: torch.randint(-2 ** 31, 2 ** 31, shape, generator=gen,  # noqa: E731
                                         dtype=torch.int32)
    if method == "gptq":
        t = {"p.qweight": words(k // 8, n), "p.qzeros": words(k // g, n // 8)}
    else:
        t = {"p.qweight": words(k, n // 8), "p.qzeros": words(k // g, n // 8)}
    t["p.scales"] = torch.ones(k // g, n, dtype=torch.float16)
    ckpt = SimpleNamespace(names=lambda: list(t), tensor=t.get, file_of=str, release=len)
    start = time.perf_counter()
    q = read_quantized(ckpt, "p", QuantizationConfig(method, 4, g, False, 0, False))
    assert time.perf_counter() - start < 1.5 and q.codes.shape == (n, k)
