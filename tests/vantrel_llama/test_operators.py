"""The engine's seams: weights arranged in place as vantrel.arrange_weights lays them out, a model
reaching the operators only through the Operators it is given, and the accounting of a step."""
from types import SimpleNamespace

import pytest
import torch
import vantrel

from vantrel_llama import load
from vantrel_llama.accounting import bytes_per_step, device_ops, one_step
from vantrel_llama.loader import _copy_rows_arranged
from vantrel_llama.model import Projection
from vantrel_llama.operators import Operators, paths

HEAD = vantrel.SDP_HEAD_SIZES[0]
# Heads the attention kernels take, grouped: 2 query heads share 1 key/value head.
KERNEL_HEADS = {"hidden_size": 2 * HEAD, "num_attention_heads": 2, "num_key_value_heads": 1}
# One key/value head shared by more query heads than the kernels take.
WIDE_GROUP = {"hidden_size": (vantrel.SDP_MAX_GROUP + 1) * HEAD, "num_hidden_layers": 1,
              "num_attention_heads": vantrel.SDP_MAX_GROUP + 1, "num_key_value_heads": 1}


@pytest.mark.parametrize("pieces", [[48], [5, 43], [21, 3, 24], [1] * 48])
def test_rows_copied_in_place_are_arranged(pieces):
    w = torch.randn(sum(pieces), vantrel.linear_widths("arranged")[0]).half()
    blocks = torch.empty_like(vantrel.arrange_weights(w))
    r0 = 0
    for n in pieces:
        _copy_rows_arranged(blocks, r0, w[r0:r0 + n])
        r0 += n
    assert torch.equal(blocks, vantrel.arrange_weights(w))


class PerCallOperators(Operators):
    """The layers run from Python, one operator call at a time (replacing a method declines the
    C++ loop), each call recorded."""

    def __init__(self):
        self.calls = []

    def linear(self, x, w):
        self.calls.append("linear")
        return super().linear(x, w)

    def attention(self, q, k, v):
        self.calls.append("attention")
        return super().attention(q, k, v)


@pytest.mark.parametrize("config, kernel_attention", [
    ({}, False), (KERNEL_HEADS, True), (WIDE_GROUP, False)])
def test_model_runs_on_the_operators_it_is_given(make_checkpoint, config, kernel_attention):
    folder, _ = make_checkpoint(**config)
    ops = PerCallOperators()
    model = load(folder, ops=ops)
    assert model.paths()["attention"].startswith("vantrel.sdp_forward") == kernel_attention
    ids = torch.tensor([[1, 5, 7]])
    logits = model.logits(ids)
    # Each step: q/k/v, attention (when on the kernel), o, gate/up, down per layer; the output.
    layer = ["linear"] + ["attention"] * kernel_attention + ["linear"] * 3
    assert ops.calls == (layer * model.config.num_hidden_layers + ["linear"]) * 3
    assert torch.equal(logits, load(folder).logits(ids))


@pytest.mark.parametrize("ops", [None, PerCallOperators], ids=["layers in C++", "per call"])
@pytest.mark.parametrize("config, kernel_attention", [({}, False), (KERNEL_HEADS, True)])
def test_step_accounting(make_checkpoint, config, kernel_attention, ops):
    folder, _ = make_checkpoint(**config)
    model = load(folder, ops=ops and ops())
    cfg = model.config
    batch, kv_len = 2, 10
    tokens = torch.zeros(batch, 1, dtype=torch.long, device=model.device)
    device, host, records = one_step(model, model.new_cache(batch, kv_len), tokens, kv_len - 1)
    kernel = vantrel.sdp_kernel(torch.half, cfg.head_dim, kv_len, 2)
    assert [r["kernel"] for r in records if r["kernel"].startswith("sdp")] == \
        [kernel] * cfg.num_hidden_layers * kernel_attention
    # PyTorch's ops run on the host: charged to the projection or attention that issued them.
    assert all(device[kind] > 0 for kind in ("projections", "attention", "the rest")), device
    assert host > 0
    # The attention kernels read the queries and the cached keys and values, once each.
    per_layer = 2 * cfg.head_dim * batch * (cfg.num_attention_heads
                                            + 2 * kv_len * cfg.num_key_value_heads)
    assert bytes_per_step(model, batch, kv_len, ("attention",)) == \
        cfg.num_hidden_layers * per_layer * kernel_attention


@pytest.mark.parametrize("hidden, intermediate, heads, kv_heads", [
    (2048, 8192, 32, 8),  # LLaMA-3.2-1B: heads of 64
    (3072, 8192, 24, 8),  # LLaMA-3.2-3B
    (4096, 14336, 32, 8),  # LLaMA-3.1-8B
    (5120, 13824, 40, 40),  # LLaMA-2-13B
])
@pytest.mark.parametrize("rows", [1, vantrel.LINEAR_MAX_ROWS])
def test_current_checkpoints_run_every_operation_on_kernels(hidden, intermediate, heads,
                                                              kv_heads, rows):
    layer = SimpleNamespace(qkv=Projection(None, 0, hidden), o=Projection(None, 0, hidden),
                            gate_up=Projection(None, 0, hidden),
                            down=Projection(None, 0, intermediate))
    config = SimpleNamespace(num_attention_heads=heads, num_key_value_heads=kv_heads,
                             head_dim=hidden // heads, hidden_size=hidden)
    model = SimpleNamespace(ops=Operators(), layers=[layer], lm_head=layer.o, config=config,
                            shard=None)
    assert not [p for p in paths(model, rows).values() if p.startswith("PyTorch")]


ON_KERNELS = dict(hidden_size=256, intermediate_size=768, num_attention_heads=4,
                  num_key_value_heads=2, vocab_size=48)


@pytest.mark.parametrize("quantize", [None, "int4"])
def test_the_step_is_nine_operations_per_layer_either_way(make_checkpoint, quantize):
    """One C++ call per step or one Python call per operator: the same operations, the same bits
    (prompt positions several per call, then single steps)."""
    folder, _ = make_checkpoint(**ON_KERNELS)
    ids = torch.randint(48, (2, 7), generator=torch.Generator().manual_seed(2))
    results = []
    for ops in (None, PerCallOperators()):
        model = load(folder, ops=ops, quantize=quantize, group_size=32)
        for batch in (1, 8):
            assert device_ops(model, batch) == {"step": 25, "per_layer": 9, "fixed": 7}
        results.append((model.generate(ids, 4), model.logits(ids)))
    assert all(torch.equal(a, b) for a, b in zip(*results))
