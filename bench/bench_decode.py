"""Decoding with a LLaMA-7B-shaped layer stack (the synthetic checkpoint, 2 layers by default):
device time per token step by operation kind, the host's CPU time per layer against the time a
1229 GB/s GPU needs to read that layer, bytes read per step, projected GPU tokens/s for a 32-layer
7B model, the peak memory of loading (safetensors and .bin) and the prompt paths; then one layer of
each model shape in SHAPES: the paths its operations take, the bytes a step reads and the tokens/s
they allow on a GPU; then one rank's share of a 7B and of the 70B shapes split 2, 4 and 8 ways
(tensor parallelism) and its projected tokens/s.

Usage: PYTHONPATH=build/lib /usr/bin/python3 bench/bench_decode.py [--layers N] [--reps N] [--only TABLE]
"""
import argparse
import json
import pathlib
import subprocess
import sys
import tempfile
import time

import torch
import vantrel
import xpuemu

from vantrel_llama import load
from vantrel_llama import parallel
from vantrel_llama.accounting import (bytes_read, checked_step, device_ops, layer_records,
                                      one_step, tp_layer_bytes, tp_projection)
from vantrel_llama.config import config_from_dict
from vantrel_llama.synthetic import synthetic_folder, write_synthetic_checkpoint

GPU = 1229e9  # bytes/s of the GPU whose pace the host must keep
GPUS = (560e9, 1229e9)
LAYERS_7B, VOCAB_7B, HIDDEN_7B = 32, 32000, 4096
# Model shapes people decode: hidden, intermediate, query heads, key/value heads, layers, vocab.
SHAPES = {
    "LLaMA-7B": (4096, 11008, 32, 32, 32, 32000),
    "LLaMA-2-13B": (5120, 13824, 40, 40, 40, 32000),
    "LLaMA-3-8B, 3.1-8B": (4096, 14336, 32, 8, 32, 128256),
    "Mistral-7B": (4096, 14336, 32, 8, 32, 32000),
    "LLaMA-2-70B": (8192, 28672, 64, 8, 80, 32000),
    "LLaMA-3.2-1B": (2048, 8192, 32, 8, 16, 128256),  # heads of 64, tied output layer
    "LLaMA-3.2-3B": (3072, 8192, 24, 8, 28, 128256),  # tied output layer
}
SHAPE_KV_LEN = 2048  # cached positions of the shapes table's step
# Models split over P devices (tensor parallelism): a 7B and the two 70B shapes.
TP_SHAPES = {"LLaMA-7B": SHAPES["LLaMA-7B"], "LLaMA-2-70B": SHAPES["LLaMA-2-70B"],
             "LLaMA-3.1-70B": (8192, 28672, 64, 8, 80, 128256)}
TP_WAYS = (1, 2, 4, 8)
TP_KV_LEN = 128


def host_time(model, cache, tokens, pos, reps):
    """Host CPU seconds per layer of a decoding step, as the submitting thread spends them while
    the device is busy so that its calls queue: a step is issued right behind another one, and
    the calling thread's CPU time inside the layers (one C++ call issuing nine operations per
    layer, Model.layers_cpu_seconds) is taken, best of reps. The thread does not spin while it
    waits. Also returns the whole step's CPU time (the fixed operations included: in the emulator
    the embedding is a host operation that waits for the device)."""
    layers, step = float("inf"), float("inf")
    for _ in range(reps):
        xpuemu.synchronize()
        model.forward(tokens, pos, cache)  # keeps the device busy
        t = time.thread_time()
        model.forward(tokens, pos, cache)
        step = min(step, time.thread_time() - t)
        layers = min(layers, model.layers_cpu_seconds)
    xpuemu.synchronize()
    return layers / len(model.layers), step


def launch_cost_table(model, half_bytes, packed_bytes):
    """Projected tokens/s of a 32-layer LLaMA-7B (B = 1, kv_len 128) when every device operation
    also costs a fixed launch time: bytes / bandwidth + operations x cost per step."""
    ops = device_ops(model)
    per_step = LAYERS_7B * ops["per_layer"] + ops["fixed"]
    head = VOCAB_7B * HIDDEN_7B * 2
    print(f"\nDevice operations of a decoding step: {ops['per_layer']} per layer (launch log plus "
          f"PyTorch operations on the device), {ops['fixed']} fixed (token upload, embedding, "
          f"final norm, output layer, logits' copy): {per_step} for a 32-layer 7B step. Projected "
          f"7B tokens/s at B = 1, kv_len 128 with a launch cost per operation:")
    print("| weights | GPU | 0 us | 5 us | 10 us |")
    print("|---|---|---|---|---|")
    for name, layer in (("half", half_bytes), ("int4 g128", packed_bytes)):
        step = LAYERS_7B * layer + head
        for bw in GPUS:
            tps = [1 / (step / bw + per_step * cost) for cost in (0, 5e-6, 10e-6)]
            print(f"| {name} | {bw / 1e9:.0f} GB/s | " + " | ".join(f"{t:.0f}" for t in tps) + " |")


def step_table(model, reps):
    cfg = model.config
    rows = []
    for batch in (1, model.batch_rows):
        for kv_len in (128, 2048):
            cache = model.new_cache(batch, kv_len)
            for k, v in cache:  # stands for a prompt already decoded
                k.copy_(torch.randn(k.shape, dtype=torch.half))
                v.copy_(torch.randn(v.shape, dtype=torch.half))
            tokens = torch.randint(cfg.vocab_size, (batch, 1)).to(model.device)
            layer_bytes = bytes_read(layer_records(
                checked_step(model, cache, tokens, kv_len - 1))) / cfg.num_hidden_layers
            best = None
            for _ in range(reps):
                device, _, _ = one_step(model, cache, tokens, kv_len - 1)
                if best is None or sum(device.values()) < sum(best.values()):
                    best = device
            device = best
            host_layer, host_step = host_time(model, cache, tokens, kv_len - 1, 5)
            gpu_layer = layer_bytes / GPU
            # A 32-layer 7B model: 32 such layers plus a 32000-row output layer.
            step_bytes = LAYERS_7B * layer_bytes + VOCAB_7B * HIDDEN_7B * 2
            rows.append((batch, kv_len, device, host_layer, host_step, gpu_layer, layer_bytes,
                         [batch * bw / step_bytes for bw in GPUS]))
            del cache
    print(f"\nDecoding step, {cfg.num_hidden_layers} layers of LLaMA-7B's shapes "
          f"(checks off; bytes with checks on):")
    print("| B | kv_len | device ms: projections | attention | the rest | host CPU ms per layer "
          "(whole step) | GPU ms per layer at 1229 GB/s | host ÷ GPU | MB read per layer "
          "| projected 7B tokens/s at 560 / 1229 GB/s |")
    print("|---|---|---|---|---|---|---|---|---|---|")
    for b, n, dev, host_layer, host_step, gpu_layer, lb, tps in rows:
        print(f"| {b} | {n} | {dev['projections'] * 1e3:.1f} | {dev['attention'] * 1e3:.2f} | "
              f"{dev['the rest'] * 1e3:.2f} | {host_layer * 1e3:.3f} ({host_step * 1e3:.2f}) | "
              f"{gpu_layer * 1e3:.3f} | {host_layer / gpu_layer:.2f}x | {lb / 1e6:.1f} | "
              f"{tps[0]:.0f} / {tps[1]:.0f} |")


def packed_step_table(directory, half_model):
    """Bytes per layer of the 7B-shaped step with 4-bit group-128 weights (quantized at load)
    against half, and the host's CPU time per layer against the GPU's time to read the packed
    layer."""
    model = load(directory, quantize="int4", group_size=128)
    cfg = model.config
    print("\nDecoding step, 4-bit group-128 weights against half (same layers):")
    print("| B | kv_len | half MB per layer | int4 MB per layer | int4 ÷ half | host CPU ms per layer "
          "| GPU ms per layer at 1229 GB/s | host ÷ GPU |")
    print("|---|---|---|---|---|---|---|---|")
    first = None
    for batch in (1, model.batch_rows):
        for kv_len in (128, 2048):
            cache = model.new_cache(batch, kv_len)
            tokens = torch.randint(cfg.vocab_size, (batch, 1)).to(model.device)
            layers = cfg.num_hidden_layers
            packed = bytes_read(layer_records(
                checked_step(model, cache, tokens, kv_len - 1))) / layers
            half = bytes_read(layer_records(
                checked_step(half_model, cache, tokens, kv_len - 1))) / layers
            host, _ = host_time(model, cache, tokens, kv_len - 1, 5)
            print(f"| {batch} | {kv_len} | {half / 1e6:.1f} | {packed / 1e6:.1f} | "
                  f"{packed / half:.3f} | {host * 1e3:.3f} | {packed / GPU * 1e3:.3f} | "
                  f"{host / (packed / GPU):.2f}x |")
            first = first or (half, packed)
            del cache
    launch_cost_table(model, *first)


def prefill_table(model, prompt_len):
    """Prompt of prompt_len tokens, B = 1: one position per call, batch_rows per call (every
    projection on the kernels) and the whole prompt in one call (PyTorch's linear for more rows)."""
    cfg = model.config
    tokens = torch.randint(cfg.vocab_size, (1, prompt_len)).to(model.device)
    print(f"\nPrompt of {prompt_len} tokens, B = 1 (ms):")
    print("| positions per call | ms |")
    print("|---|---|")
    for chunk in (1, model.batch_rows, prompt_len):
        cache = model.new_cache(1, prompt_len)
        xpuemu.synchronize()
        t = time.perf_counter()
        model.prefill(tokens, cache, chunk)
        xpuemu.synchronize()
        print(f"| {chunk} | {(time.perf_counter() - t) * 1e3:.0f} |")


def load_memory(directory, fmt, quantize=None):
    """Loads in a fresh process and returns its load statistics."""
    code = ("import sys, json; from vantrel_llama import load; "
            "m = load(sys.argv[1], quantize=sys.argv[2] or None);"
            "print(json.dumps(m.load_stats))")
    out = subprocess.run([sys.executable, "-c", code, str(directory), quantize or ""],
                         check=True, capture_output=True, text=True).stdout
    s = json.loads(out.strip().splitlines()[-1])
    target = s["bytes"] + s["largest_tensor_bytes"] + 300e6
    peak = s["peak_rss_increase_bytes"]
    print(f"| {fmt} | {s['bytes'] / 1e6:.0f} | {s['largest_tensor_bytes'] / 1e6:.0f} | "
          f"{peak / 1e6:.0f} | {target / 1e6:.0f} | {peak / target:.2f} | {s['seconds']:.1f} |")


def memory_table(directory):
    print("\nLoading (fresh process each):")
    print("| format | model MB | largest tensor MB | peak RSS increase MB | target MB "
          "| peak ÷ target | s |")
    print("|---|---|---|---|---|---|---|")
    load_memory(directory, "safetensors")
    load_memory(directory, "safetensors, int4 g128 at load", "int4")
    with tempfile.TemporaryDirectory(dir=synthetic_folder().parent) as tmp:
        tmp = pathlib.Path(tmp)
        from vantrel_llama.safetensors import SafetensorsFile
        with SafetensorsFile(directory / "model.safetensors") as f:
            torch.save({n: f.tensor(n).clone() for n in f.names()}, tmp / "pytorch_model.bin")
        for name in ("config.json", "tokenizer.model"):
            (tmp / name).write_bytes((directory / name).read_bytes())
        load_memory(tmp, ".bin")
        load_memory(tmp, ".bin, int4 g128 at load", "int4")


def shapes_table(reps):
    """One layer of each shape in SHAPES, B = 1, a step at position SHAPE_KV_LEN - 1: whether every
    projection and the attention run on the kernels, the distinct bytes the layer reads (launch
    log, checks on) beside what repeating the key/value heads for the ungrouped kernel would read,
    the device time per layer (checks off), and the projected tokens/s of the whole model (its
    layers plus its output layer) at 560 and 1229 GB/s."""
    rows = []
    for name, (hidden, inter, heads, kv_heads, layers, vocab) in SHAPES.items():
        directory = write_synthetic_checkpoint(
            synthetic_folder() / f"{name.split(',')[0].lower()}-shapes-1-layer", layers=1,
            hidden=hidden, intermediate=inter, heads=heads, kv_heads=kv_heads)
        model = load(directory)
        paths = model.paths(1)
        on_kernels = all(not p.startswith("PyTorch") for p in paths.values())
        cache = model.new_cache(1, SHAPE_KV_LEN)
        for k, v in cache:
            k.copy_(torch.randn(k.shape, dtype=torch.half))
            v.copy_(torch.randn(v.shape, dtype=torch.half))
        tokens = torch.randint(model.config.vocab_size, (1, 1)).to(model.device)
        log = checked_step(model, cache, tokens, SHAPE_KV_LEN - 1)
        layer_bytes = bytes_read(layer_records(log))  # (then the final norm and the output)
        kv_bytes = 2 * SHAPE_KV_LEN * kv_heads * model.config.head_dim * 2
        repeated = layer_bytes + kv_bytes * (heads // kv_heads - 1)
        best = float("inf")
        for _ in range(reps):
            device, _, step_log = one_step(model, cache, tokens, SHAPE_KV_LEN - 1)
            best = min(best, sum((r["end_ns"] - r["start_ns"]) * 1e-9
                                 for r in layer_records(step_log)))
        step_bytes = layers * layer_bytes + vocab * hidden * 2
        packed = {}
        del model
        for quantize in ("int8", "int4"):
            qmodel = load(directory, quantize=quantize, group_size=128)
            on_kernels = on_kernels and all(not p.startswith("PyTorch")
                                            for p in qmodel.paths(1).values())
            qbytes = bytes_read(layer_records(
                checked_step(qmodel, cache, tokens, SHAPE_KV_LEN - 1)))
            packed[quantize] = (qbytes, [bw / (layers * qbytes + vocab * hidden * 2)
                                         for bw in GPUS])
            del qmodel
        rows.append((name, hidden, inter, heads, kv_heads, on_kernels, layer_bytes, repeated, best,
                     [bw / step_bytes for bw in GPUS], packed))
        del cache
    print(f"\nOne layer of each model shape, B = 1, kv_len {SHAPE_KV_LEN} "
          f"(bytes with checks on, time with checks off):")
    print("| shape | hidden / intermediate | heads / kv heads | all on kernels | MB read per layer "
          "| with kv heads repeated | device ms per layer | projected tokens/s at 560 / 1229 GB/s |")
    print("|---|---|---|---|---|---|---|---|")
    for name, hid, inter, h, hkv, ok, lb, rep, t, tps, _ in rows:
        print(f"| {name} | {hid} / {inter} | {h} / {hkv} | {'yes' if ok else 'NO'} | "
              f"{lb / 1e6:.1f} | {rep / 1e6:.1f} | {t * 1e3:.1f} | {tps[0]:.1f} / {tps[1]:.1f} |")
    print(f"\nThe same layers with 4- and 8-bit weights (group 128, asymmetric, quantized at load; "
          f"embedding and output layer half), B = 1, kv_len {SHAPE_KV_LEN}: MB read per layer "
          f"(launch log) and projected tokens/s of the whole model at 560 / 1229 GB/s:")
    print("| shape | half MB | int8 MB | int4 MB | int4 ÷ half | half tokens/s | int8 tokens/s "
          "| int4 tokens/s |")
    print("|---|---|---|---|---|---|---|---|")
    for name, _, _, _, _, _, lb, _, _, tps, packed in rows:
        (b8, t8), (b4, t4) = packed["int8"], packed["int4"]
        print(f"| {name} | {lb / 1e6:.1f} | {b8 / 1e6:.1f} | {b4 / 1e6:.1f} | {b4 / lb:.3f} | "
              f"{tps[0]:.0f} / {tps[1]:.0f} | {t8[0]:.0f} / {t8[1]:.0f} | "
              f"{t4[0]:.0f} / {t4[1]:.0f} |")


class OneRank:
    """Rank `rank` of `size` with no other rank running: load() keeps that rank's shard, and its
    sums and gathers return this rank's part (shaped as the whole). Only what the rank reads is
    measured with it, not what it computes."""
    backend, device_collectives = "none (one rank measured alone)", True

    def __init__(self, rank: int, size: int):
        self.rank, self.size = rank, size

    def stats(self) -> dict:
        return {"all_reduce": 0, "all_reduce_bytes": 0, "all_gather": 0, "all_gather_bytes": 0,
                "seconds": 0.0}

    def all_reduce_sum(self, t):
        return t.clone()

    def all_gather_columns(self, t):
        return t.repeat(1, self.size)


def measured_collectives(directory, tokens: int = 4) -> list:
    """Runs the command line with --tp 2 on `directory`; returns rank 0's lines of per-rank
    figures (bytes, all-reduces and milliseconds per step in collectives)."""
    out = subprocess.run([sys.executable, "-m", "vantrel_llama", str(directory), "--tp", "2",
                          "--prompt-ids", "1,2,3", "--max-new-tokens", str(tokens)],
                         check=True, capture_output=True, text=True).stdout
    return [line for line in out.splitlines() if line.startswith("rank ")]


def tp_table():
    """Tensor parallelism: for each shape in TP_SHAPES and P in TP_WAYS, one rank's distinct
    bytes per layer measured from the launch log (one synthetic layer, rank 0's shard loaded
    alone under OneRank: a 70B layer split eight ways does not fit eight processes in this
    machine's memory) beside the formula's; the whole model's bytes per rank and step, its
    all-reduces and the cost model's time in collectives, and the projected tokens/s. Then the
    collectives measured with two real ranks on this machine."""
    print(f"\nTensor parallelism, B = 1, kv_len {TP_KV_LEN}: one rank's share of a half step "
          f"(a layer measured with rank 0's shard of one synthetic layer, loaded alone), 2 "
          f"all-reduces per layer and a gather of the logits costed by the model "
          f"({parallel.cost_model()}):")
    print("| shape | P | MB per layer per rank (launch log) | formula | MB per step per rank "
          "| all-reduces per step (KB each) | ms per step in collectives (model) "
          "| projected tokens/s at 560 / 1229 GB/s |")
    print("|---|---|---|---|---|---|---|---|")
    measured = {}
    for name, (hidden, inter, heads, kv_heads, layers, vocab) in TP_SHAPES.items():
        folder = "llama-2-70b" if hidden == 8192 else "llama-7b"  # the 70B layers are alike
        directory = write_synthetic_checkpoint(
            synthetic_folder() / f"{folder}-shapes-1-layer", layers=1, hidden=hidden,
            intermediate=inter, heads=heads, kv_heads=kv_heads)
        cfg = config_from_dict({"hidden_size": hidden, "intermediate_size": inter,
                                "num_attention_heads": heads, "num_key_value_heads": kv_heads,
                                "num_hidden_layers": layers, "vocab_size": vocab})
        projection = tp_projection(cfg, 1, TP_KV_LEN, GPUS, TP_WAYS)
        for ways, nbytes, comm, tps in projection:
            if (folder, ways) not in measured:
                model = load(directory, group=OneRank(0, ways) if ways > 1 else None)
                cache = model.new_cache(1, TP_KV_LEN)
                tokens = torch.zeros(1, 1, dtype=torch.long, device=model.device)
                measured[folder, ways] = bytes_read(layer_records(
                    checked_step(model, cache, tokens, TP_KV_LEN - 1)))
                del model, cache
            formula = tp_layer_bytes(cfg, 1, TP_KV_LEN, ways)
            print(f"| {name} | {ways} | {measured[folder, ways] / 1e6:.1f} | {formula / 1e6:.1f} "
                  f"| {nbytes / 1e6:.0f} | "
                  f"{f'{2 * layers} ({hidden * 2 / 1e3:.1f})' if ways > 1 else 'none'} "
                  f"| {comm * 1e3:.2f} | {tps[0]:.1f} / {tps[1]:.1f} |")
    directory = write_synthetic_checkpoint(synthetic_folder() / "llama-7b-shapes-2-layers",
                                           layers=2)
    print("\nMeasured with --tp 2 on this machine (the 2-layer LLaMA-7B-shaped synthetic "
          "checkpoint; both ranks' emulated devices share its 2 cores, so the time in "
          "collectives is mostly one rank waiting for the other's device):")
    for line in measured_collectives(directory):
        print(f"  {line}")


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--layers", type=int, default=2)
    p.add_argument("--reps", type=int, default=3)
    p.add_argument("--only", choices=("memory", "steps", "prompt", "shapes", "tp"), help="run one table")
    args = p.parse_args()
    xpuemu.set_poison(False)
    if args.only in (None, "memory", "steps", "prompt"):
        directory = write_synthetic_checkpoint(
            synthetic_folder() / f"llama-7b-shapes-{args.layers}-layers",
            layers=args.layers)
        if args.only in (None, "memory"):
            memory_table(directory)
        model = load(directory)
        with torch.no_grad():
            if args.only in (None, "steps"):
                step_table(model, args.reps)
                packed_step_table(directory, model)
            if args.only in (None, "prompt"):
                prefill_table(model, 16)
        del model
    if args.only in (None, "shapes"):
        with torch.no_grad():
            shapes_table(args.reps)
    if args.only in (None, "tp"):
        with torch.no_grad():
            tp_table()

if __name__ == "__main__":
    main()
