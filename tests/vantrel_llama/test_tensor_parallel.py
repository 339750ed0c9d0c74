"""Tensor-parallel decoding with two processes on this machine (each its own emulated device):
the command line with --tp 2 decodes what one device decodes and validates against the float32
reference; what the engine refuses before loading; each rank's slices of the weights."""
import json
import re
import subprocess
import sys

import pytest
import torch

from quantized_files import write_gptq_checkpoint
from vantrel_llama.checkpoint import expected_tensors
from vantrel_llama.config import config_from_dict
from vantrel_llama.safetensors import write_safetensors
from vantrel_llama.sharding import check_split, plan

# Widths with kernels whole and halved: o reads 512 / 2, down 1536 / 2.
CONFIG = {"hidden_size": 512, "intermediate_size": 1536, "num_hidden_layers": 2,
          "num_attention_heads": 8, "num_key_value_heads": 2, "vocab_size": 100,
          "max_position_embeddings": 64}


def write(folder, **changes):
    folder.mkdir()
    config = dict(CONFIG, **changes)
    (folder / "config.json").write_text(json.dumps(config))
    gen = torch.Generator().manual_seed(1)
    write_safetensors(folder / "model.safetensors", {
        name: (torch.randn(shape, generator=gen) * 0.05 + (len(shape) == 1)).half()
        for name, shape in expected_tensors(config_from_dict(config)).items()})
    return folder


def run_cli(build_env, *args):
    return subprocess.run([sys.executable, "-m", "vantrel_llama", *map(str, args)],
                          capture_output=True, text=True, timeout=240, env=build_env)


def mb_read(out: str) -> list:
    return [float(x) for x in re.findall(r"distinct bytes read per step:? ([\d.]+) MB", out)]


@pytest.mark.parametrize("ways, changes, extra", [
    (2, {}, []),
    # One key/value head held by both ranks; 4-bit weights quantized from each rank's slices;
    # sampled without a seed, which the ranks must share to decode one sequence.
    (2, {"num_key_value_heads": 1, "tie_word_embeddings": True}, ["--quantize", "int4",
                                                                  "--group-size", "64",
                                                                  "--temperature", "1"]),
    # Each of the 2 key/value heads held by 2 of the 4 ranks; o reads 1024 / 4, down 3072 / 4.
    (4, {"hidden_size": 1024, "intermediate_size": 3072}, []),
])
def test_ranks_decode_as_one_device_does(tmp_path, build_env, ways, changes, extra):
    folder = write(tmp_path / "model", **changes)
    args = [folder, "--prompt-ids", "1,2,3", "--max-new-tokens", "6", *extra]
    one = run_cli(build_env, *args)
    many = run_cli(build_env, *args, "--tp", ways, "--validate")
    assert one.returncode == 0 and many.returncode == 0, many.stderr
    text = [line for line in many.stdout.splitlines() if line.startswith("[0] ")]
    if not extra:  # half weights: the same tokens (the sums' order differs, not the argmax)
        assert text == [line for line in one.stdout.splitlines() if line.startswith("[0] ")]
    each = changes.get("hidden_size", 512) * 2 / 1e3  # one row of the hidden size, in half
    for line in (f"tensor parallel: {ways} ranks (gloo)", f"rank {ways - 1}: distinct bytes",
                 f"4 all-reduces of {each:.1f} KB each", "P = 8:", "collectives apart",
                 "9 per layer x 2 layers + 7 fixed", ": ok"):
        assert line in many.stdout, many.stdout
    assert many.stdout.count("\ntokens/s:") == 1  # only rank 0 prints
    # Each rank reads about 1/P of one device's bytes (shared key/value heads, the embedding's
    # row and the norms are read by every rank).
    whole, ranks = mb_read(one.stdout)[0], mb_read(many.stdout)[1:]
    assert len(ranks) == ways and all(whole / ways <= r <= 1.15 * whole / ways for r in ranks)


@pytest.mark.parametrize("desc_act", [False, True])
def test_gptq_checkpoint_split_two_ways(tmp_path, build_env, desc_act):
    """Each rank takes its rows, or its whole groups of inputs, of the repacked codes; act-order
    scatters a row-parallel shard's groups, which is refused naming the layer."""
    write_gptq_checkpoint(tmp_path / "gptq", write(tmp_path / "model"), bits=4, group_size=64,
                          desc_act=desc_act)
    r = run_cli(build_env, tmp_path / "gptq", "--prompt-ids", "1,2,3", "--max-new-tokens", "3",
                "--tp", "2", "--validate")
    if desc_act:
        assert r.returncode != 0 and "self_attn.o_proj.qweight: this rank's inputs" in r.stderr, r.stderr
        assert "rank 0 exited" in r.stderr or "rank 1 exited" in r.stderr
        assert "failed (exitcode" not in r.stderr, r.stderr  # the agent's log lines are quieted
    else:
        assert r.returncode == 0 and "gemmCommonDim256Int4G64NoReshape" in r.stdout, r.stderr
        assert ": ok" in r.stdout


@pytest.mark.parametrize("changes, size, message", [
    ({}, 3, "--tp 3 does not divide the 8 query heads"),
    ({"num_attention_heads": 12, "num_key_value_heads": 3, "hidden_size": 768}, 2,
     "--tp 2 and the 3 key/value heads"),
    ({"intermediate_size": 1500}, 8, "--tp 8 does not divide the intermediate size 1500"),
    ({}, 8, "splits the intermediate size 1536 into shards of 192 inputs, a width no kernel"),
])
def test_splits_refused_before_loading(changes, size, message):
    with pytest.raises(ValueError, match=message):
        check_split(config_from_dict(dict(CONFIG, **changes)), size, "model")


@pytest.mark.parametrize("kv_heads, size", [(2, 2), (2, 4), (1, 2), (8, 4)])
def test_every_head_and_row_held_once_per_replica(kv_heads, size):
    cfg = config_from_dict(dict(CONFIG, num_key_value_heads=kv_heads))
    shards = [plan(cfg, r, size) for r in range(size)]
    q = sorted(s.slice_of("model.layers.0.self_attn.q_proj.weight")[1:] for s in shards)
    assert q == [(r * 512 // size, (r + 1) * 512 // size) for r in range(size)]
    for s in shards:  # each rank's query heads read the key/value heads they are grouped with
        first_q = s.rank * s.heads
        assert s.first_kv_head == first_q // (8 // kv_heads)
    kv = {s.slice_of("model.layers.0.self_attn.k_proj.weight") for s in shards}
    assert len(kv) == min(kv_heads, size)
    rows = [s.output_rows(100) for s in shards]
    assert rows[0][0] == 0 and rows[-1][1] == 100 and all(s.vocab_rows % 16 == 0 for s in shards)
