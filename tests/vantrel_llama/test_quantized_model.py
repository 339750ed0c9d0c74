"""Quantized models end to end: layers quantized at load and GPTQ / AWQ checkpoints decode on the
packed kernels within the bound of the float32 reference of their dequantized weights (which the
reference computes with code of its own), bytes per step as the launch log counts them, and the
refusals."""
import pytest
import torch

from quantized_files import write_awq_checkpoint, write_gptq_checkpoint
from vantrel_llama import CheckpointError, load
from vantrel_llama.accounting import bytes_per_step, step_bytes
from vantrel_llama.reference import Reference, compare

# Every width has a kernel (256 and 768 row-major; 4096 arranged below), heads of 64 on the
# attention kernel, 2 query heads per key/value head.
CONFIG = {"hidden_size": 256, "intermediate_size": 768, "num_hidden_layers": 2,
          "num_attention_heads": 4, "num_key_value_heads": 2, "vocab_size": 100,
          "max_position_embeddings": 64}
IDS = torch.randint(100, (2, 5), generator=torch.Generator().manual_seed(7))


@pytest.fixture(scope="module")
def source(tmp_path_factory, write_checkpoint):
    return write_checkpoint(tmp_path_factory.mktemp("q") / "float", CONFIG, 0, 0.05,
                            torch.bfloat16)[0]


def assert_packed_paths(model, bits, group, half=()):
    for op, path in model.paths(2).items():
        if op == "output projection" or op in half:
            assert "Fp16" in path, (op, path)
        elif op not in ("attention", "norm, rotary, gating"):
            assert f"Int{bits}G{group}" in path, (op, path)


@pytest.mark.parametrize("quantize, bits, group, config", [
    ("int4", 4, 128, CONFIG),
    ("int8", 8, 32, CONFIG),
    # Blocked width 4096: packed blocks of 16 outputs, several quantizer calls per part.
    ("int4", 4, 64, dict(CONFIG, hidden_size=4096, num_attention_heads=32, num_hidden_layers=1,
                         intermediate_size=256, vocab_size=32)),
    # q/k/v of 4096 + 2 x 4 rows (heads of 4) end inside a block: chunks and padding off the
    # blocks were refused as N not a multiple of 16.
    ("int4", 4, 128, dict(CONFIG, hidden_size=4096, num_attention_heads=1024,
                          num_key_value_heads=1, num_hidden_layers=1, intermediate_size=256,
                          vocab_size=32)),
])
def test_quantized_at_load_matches_its_reference(tmp_path, source, write_checkpoint, quantize, bits,
                                                 group, config):
    folder = source if config is CONFIG else \
        write_checkpoint(tmp_path / "wide", config, 0, 0.05, torch.float)[0]
    model = load(folder, quantize=quantize, group_size=group)
    assert model.quantization == f"{quantize}, group {group} (quantized at load)"
    assert_packed_paths(model, bits, group)
    ids = IDS % config["vocab_size"]
    c = compare(model.logits(ids), Reference(folder, quantize, group).logits(ids),
                config["num_hidden_layers"])
    assert c["ok"], c
    # The launch log's distinct bytes are the table's for every format (attention on a kernel).
    if "PyTorch" not in model.paths(2)["attention"]:
        assert bytes_per_step(model, 2, 9, ("projections", "attention")) == \
            step_bytes(model.config, 2, 9, bits, group)


@pytest.mark.parametrize("writer, options, half", [
    (write_gptq_checkpoint, dict(bits=4, group_size=32), ()),
    (write_gptq_checkpoint, dict(bits=4, group_size=64, sym=True, desc_act=True), ()),
    (write_gptq_checkpoint, dict(bits=8, group_size=-1, checkpoint_format="gptq_v2"), ()),
    # A last group shorter than the others (256 = 2 x 96 + 64) in groups of 32: was refused.
    (write_gptq_checkpoint, dict(bits=4, group_size=96, desc_act=True), ()),
    (write_gptq_checkpoint, dict(bits=8, group_size=128, desc_act=True, sym=True,
                                 checkpoint_format="gptq_v2"), ()),
    # Parts of q/k/v and gate/up with orders of their own stay fused, as half weights.
    (write_gptq_checkpoint, dict(bits=4, group_size=32, desc_act=True, distinct_g_idx=True),
     ("q/k/v projection", "gate/up projection")),
    (write_awq_checkpoint, dict(group_size=64), ()),
])
def test_quantized_checkpoints_decode_within_the_bound(tmp_path, source, writer, options, half):
    folder = tmp_path / "quantized"
    expected = writer(folder, source, **options)
    model = load(folder)
    group = {-1: 128, 96: 32}.get(options["group_size"], options["group_size"])
    assert_packed_paths(model, options.get("bits", 4), group, half)
    assert len(model.load_stats["dequantized"]) == len(half) * CONFIG["num_hidden_layers"]
    ref = Reference(folder)
    for name, w in expected.items():  # the reference's own reading of the files
        assert torch.equal(ref.w[name], w.half().float()), name
    c = compare(model.logits(IDS), ref.logits(IDS), CONFIG["num_hidden_layers"])
    assert c["ok"], c


def test_refusals(tmp_path, source, write_checkpoint):
    cases = [
        (dict(quantize="int3"), 'quantize must be None, "int4" or "int8"'),
        (dict(quantize="int4", group_size=48), "group_size must be one of 32, 64, 128"),
        (dict(quantize="int4", group_size=128.0), "group_size must be one of .*, got 128.0"),
        (dict(quantize=["int4"]), 'quantize must be None, "int4" or "int8"'),
    ]
    for kwargs, message in cases:
        with pytest.raises(ValueError, match=message):
            load(source, **kwargs)
    narrow, _ = write_checkpoint(tmp_path / "narrow", dict(CONFIG, intermediate_size=96), 0, 0.05,
                                 torch.bfloat16)
    with pytest.raises(ValueError, match=r"model\.layers\.\*\.mlp\.down_proj with group_size 64: "
                                         r"its input width 96"):
        load(narrow, quantize="int8", group_size=64)
    # 65519 fits in half, but its 8-bit weight (q - z)·s rounds to inf: was loaded, logits NaN.
    down = "model.layers.1.mlp.down_proj.weight"
    big, _ = write_checkpoint(tmp_path / "big", CONFIG, 0, 0.05, torch.float,
                              edit=lambda t: t[down].__setitem__((3, 5), 65519.0))
    with pytest.raises(CheckpointError, match=rf"{down} holds 65519\.0 at \[3, 5\].*not fit in"):
        load(big, quantize="int8", group_size=32)
    write_awq_checkpoint(tmp_path / "awq", source, group_size=32)
    with pytest.raises(ValueError, match="already quantized"):
        load(tmp_path / "awq", quantize="int4")
