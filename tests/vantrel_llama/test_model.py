"""The decoding engine end to end: loading onto the device, logits against the float32 reference,
generation (greedy consistency, sampling, EOS, batches above 8 rows), bad checkpoints and
requests, and layers of today's model shapes on vantrel's kernels."""
import pytest
import torch
import vantrel
import xpuemu

from vantrel_llama import CheckpointError, load
from vantrel_llama.reference import Reference, compare


def ids_for(vocab, shape, seed=0):
    return torch.randint(vocab, shape, generator=torch.Generator().manual_seed(seed))


def assert_matches_reference(model, folder, ids):
    c = compare(model.logits(ids), Reference(folder).logits(ids), model.config.num_hidden_layers)
    assert c["ok"], c


@pytest.mark.parametrize("fmt, shards, dtype, config", [
    ("safetensors", 1, torch.float16, {}),  # grouped key/value heads
    ("safetensors", 2, torch.bfloat16, {"num_key_value_heads": 4}),
    ("bin", 3, torch.float32, {"tie_word_embeddings": True}),
    ("bin", 1, torch.float16, {"num_key_value_heads": 1, "rope_theta": 500000.0}),
    # Wider than the gating kernel's largest size: the step's PyTorch operations.
    ("safetensors", 1, torch.float16, {"intermediate_size": 65552, "num_hidden_layers": 1}),
])
def test_logits_match_reference(make_checkpoint, fmt, shards, dtype, config):
    folder, _ = make_checkpoint(fmt=fmt, shards=shards, dtype=dtype, **config)
    model = load(folder)
    assert model.load_stats["format"] == fmt
    assert model.paths()["attention"].startswith("PyTorch")
    assert_matches_reference(model, folder, ids_for(48, (3, 9)))


def test_attention_kernel_overflow_reruns_the_step(make_checkpoint):
    # q and k scaled up: raw scores q.k of order 10^4 overflow the kernel's exponentials.
    def scale(t):
        for n in ("q_proj", "k_proj"):
            t[f"model.layers.0.self_attn.{n}.weight"] *= 8

    folder, _ = make_checkpoint(edit=scale, hidden_size=256, num_attention_heads=2,
                                num_key_value_heads=1, num_hidden_layers=1)
    model = load(folder)
    assert model.paths()["attention"].startswith("vantrel.sdp_forward")
    assert_matches_reference(model, folder, ids_for(48, (2, 5)))
    assert model.attention_overflows > 0
    out = model.generate(ids_for(48, (1, 3)), 3, eos_token_id=())  # sampled from finite logits
    assert torch.equal(out[0, 3:], model.logits(out)[0, 2:-1].argmax(-1))


@pytest.fixture
def tiny(make_checkpoint):
    folder, _ = make_checkpoint()
    return load(folder)


def test_greedy_generation_follows_logits(tiny):
    ids = ids_for(48, (3, 4))
    out = tiny.generate(ids, 8, eos_token_id=())
    assert out.shape == (3, 12) and torch.equal(out[:, :4], ids)
    logits = tiny.logits(out)[:, 3:-1]
    top2 = logits.topk(2, -1).values
    decided = top2[..., 0] - top2[..., 1] > 1e-2  # near-ties may go either way
    assert (logits.argmax(-1) == out[:, 4:])[decided].all()


def test_batches_above_8_rows_decode_like_single_rows(tiny):
    ids = ids_for(48, (10, 3))
    out = tiny.generate(ids, 3, eos_token_id=())
    for b in (0, 9):
        assert torch.equal(out[b:b + 1], tiny.generate(ids[b:b + 1], 3, eos_token_id=()))


def test_sampling_is_seeded_and_eos_pads(tiny):
    ids = ids_for(48, (2, 3))
    a = tiny.generate(ids, 12, temperature=1.0, top_p=0.9, seed=7, eos_token_id=())
    assert torch.equal(a, tiny.generate(ids, 12, temperature=1.0, top_p=0.9, seed=7,
                                        eos_token_id=()))
    assert not torch.equal(a, tiny.generate(ids, 12, temperature=1.0, seed=8, eos_token_id=()))
    eos = int(a[0, 5])  # row 0 reaches it at its third new token
    b = tiny.generate(ids, 12, temperature=1.0, top_p=0.9, seed=7, eos_token_id=eos)
    assert torch.equal(b[0, :6], a[0, :6]) and (b[0, 6:] == eos).all()
    first = (b[1, 3:] == eos).nonzero()
    if len(first):
        assert (b[1, 3 + int(first[0]):] == eos).all()
    # With several end tokens, a row is padded with the one it reached.
    other = next(i for i in range(48) if i not in a[:, 3:])
    assert torch.equal(tiny.generate(ids, 12, temperature=1.0, top_p=0.9, seed=7,
                                     eos_token_id=[other, eos]), b)


class OneRankOfTwo:
    """A rank of a tensor-parallel pair, alone: its sums and gathers return its own part, and a
    broadcast from rank 0 gives `seed`."""
    size = 2

    def __init__(self, rank=0, seed=None):
        self.rank, self.seed = rank, seed

    def broadcast_object(self, obj, src=0):
        return self.seed

    def all_reduce_sum(self, t):
        return t.clone()

    def all_gather_columns(self, t):
        return t.repeat(1, self.size)


def test_sampling_in_a_group_takes_rank_0s_seed(make_checkpoint):
    """Ranks that sampled with seeds of their own would sum parts of different sequences."""
    folder, _ = make_checkpoint(hidden_size=512, intermediate_size=512)  # shards on kernels
    model = load(folder, group=OneRankOfTwo(seed=11))
    ids = ids_for(48, (1, 3))
    assert torch.equal(model.generate(ids, 8, temperature=1.0),
                       model.generate(ids, 8, temperature=1.0, seed=11))
    assert model.paths(1)["attention"] == "vantrel.sdp_forward (2 query heads sharing 1 " \
                                          "key/value heads)"  # this rank's heads


@pytest.mark.parametrize("ids, new, eos, message", [
    (torch.zeros(2, 3, dtype=torch.int32), 1, None, "ids must be a LongTensor"),
    (torch.zeros(3, dtype=torch.long), 1, None, "ids must be a LongTensor"),
    (torch.zeros(1, 0, dtype=torch.long), 1, None, "at least one token"),
    (torch.zeros(0, 3, dtype=torch.long), 1, None, "at least one row"),
    (torch.tensor([[1, 48]]), 1, None, "token id 48 at \\[0, 1\\], outside the vocabulary"),
    (torch.tensor([[-1]]), 1, None, "token id -1"),
    (torch.zeros(1, 60, dtype=torch.long), 5, None, "max_position_embeddings"),
    (torch.zeros(1, 2, dtype=torch.long), -1, None, "max_new_tokens"),
    *((torch.tensor([[1, 5]]), 2, eos, "eos_token_id must be a token id in \\[0, 48\\)")
      for eos in (2.0, "2", True, -1, 48, [2, 99])),
])
def test_bad_requests(tiny, ids, new, eos, message):
    with pytest.raises(ValueError, match=message):
        tiny.generate(ids, new, eos_token_id=eos)


@pytest.mark.parametrize("heads", [4, 8])  # heads of 16: the fused step; of 8: PyTorch's
@pytest.mark.parametrize("batch, start, count, message", [
    (1, 0, 2, "cache holds 2 sequences, tokens 1"),
    (2, 63, 2, r"positions 63 \.\. 64 must lie in 0 \.\. 63: the cache holds 70 positions, "
               "max_position_embeddings is 64"),
    (2, -1, 1, r"positions -1 \.\. -1 must lie in 0 \.\. 63")])
def test_forward_refuses_what_the_cache_does_not_hold(make_checkpoint, heads, batch, start,
                                                     count, message):
    model = load(make_checkpoint(num_attention_heads=heads, num_key_value_heads=2)[0])
    cache = model.new_cache(2, 70)
    tokens = torch.zeros(batch, count, dtype=torch.long, device=model.device)
    with pytest.raises(ValueError, match=message):
        model.forward(tokens, start, cache)
    if model._decoder is not None:  # the C++ loop checks the batch it is given too
        h = torch.zeros(2, 64, device=model.device)
        with pytest.raises(RuntimeError, match=r"k_caches\[0\] must be \[batch = 1"):
            model._decoder.run(h, [k for k, _ in cache], [v for _, v in cache], model._cos,
                               model._sin, 0, 1, False)


@pytest.mark.parametrize("dtype, value", [(torch.float32, 7e4), (torch.bfloat16, float("inf")),
                                          (torch.float32, float("nan"))])
def test_value_outside_half_is_refused(make_checkpoint, dtype, value):
    def plant(t):
        t["model.layers.1.mlp.up_proj.weight"][5, 7] = value
    folder, _ = make_checkpoint(dtype=dtype, edit=plant)
    with pytest.raises(CheckpointError, match=r"model\.layers\.1\.mlp\.up_proj\.weight.*\[5, 7\]"):
        load(folder)


def test_a_ranks_bad_value_is_named_at_its_index_in_the_tensor(make_checkpoint):
    def plant(t):
        t["model.layers.0.self_attn.q_proj.weight"][300, 7] = 7e4  # rank 1 holds rows 256..511
    folder, _ = make_checkpoint(hidden_size=512, intermediate_size=512, dtype=torch.float32,
                                edit=plant)
    with pytest.raises(CheckpointError, match=r"q_proj\.weight holds 70000\.0 at \[300, 7\]"):
        load(folder, group=OneRankOfTwo(rank=1))


# ---- today's model shapes on the kernels -------------------------------------------------------

# hidden, intermediate, query heads, key/value heads: LLaMA-7B, LLaMA-3-8B/Mistral-7B. (LLaMA-2-13B
# takes the same paths at other widths: test_operators checks that its paths are the kernels.)
SHAPES = {"7b": (4096, 11008, 32, 32), "8b": (4096, 14336, 32, 8)}


@pytest.fixture(scope="module", params=sorted(SHAPES))
def layer(request, tmp_path_factory, write_checkpoint):
    """One layer of a model shape with a 200-token vocabulary (output rows padded to 208)."""
    hidden, inter, heads, kv_heads = SHAPES[request.param]
    cfg = {"hidden_size": hidden, "intermediate_size": inter, "num_hidden_layers": 1,
           "num_attention_heads": heads, "num_key_value_heads": kv_heads, "vocab_size": 200}
    folder, _ = write_checkpoint(tmp_path_factory.mktemp(f"llama{request.param}"), cfg, 0, 0.02)
    return folder, hidden, inter, heads != kv_heads


def test_layer_runs_the_kernels_and_matches_reference(layer):
    folder, hidden, inter, grouped = layer
    model = load(folder)
    stats = model.load_stats
    assert stats["peak_rss_increase_bytes"] < stats["bytes"] + stats["largest_tensor_bytes"] + 300e6
    assert not any(p.startswith("PyTorch") for p in model.paths(2).values()), model.paths(2)
    ids = ids_for(200, (2, 3))
    xpuemu.clear_launch_log()
    logits = model.logits(ids)
    kernels = [r["kernel"] for r in xpuemu.launch_log()]
    per_step = len(kernels) // 3
    expected = {f"gemmCommonDim{hidden}Fp16V0", f"gemmCommonDim{inter}Fp16NoReshape"}
    attention = "sdpDim128Fp16KeyBlocks64" + ("Grouped" if grouped else "")  # 1 to 3 keys
    for step in range(3):  # q/k/v, attention, o, gate/up, down, output layer
        names = kernels[step * per_step:(step + 1) * per_step]
        assert {n for n in names if n.startswith("gemm")} == expected
        assert names.count(attention) == 1, names
    c = compare(logits, Reference(folder).logits(ids), 1)
    assert logits.shape == (2, 3, 200)
    assert c["ok"] and c["top1_agreement"] > 0.8, c


def test_compare_catches_wrong_logits():
    ref = torch.randn(2, 5, 40, generator=torch.Generator().manual_seed(3))
    assert compare(ref + 1e-4, ref, 1)["ok"]
    assert not compare(ref * 1.2, ref, 1)["ok"]  # every logit off by a fifth


@pytest.mark.parametrize("hidden", [64, 256])
def test_tied_output_layer_reads_the_embedding(make_checkpoint, hidden):
    """A tied output layer whose width reads row-major weights (or has no kernel) is the embedding
    itself on the device: no second copy, the same logits as the reference."""
    folder, _ = make_checkpoint(tie_word_embeddings=True, hidden_size=hidden)
    model = load(folder)
    assert model.lm_head.weight.data_ptr() == model.embed.data_ptr()
    assert model.paths()["output projection"] == (vantrel.linear_kernel(1, hidden)
                                                  or "PyTorch linear")
    assert_matches_reference(model, folder, ids_for(48, (2, 5)))
