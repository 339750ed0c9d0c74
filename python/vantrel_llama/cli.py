"""Command line: decode a prompt with a checkpoint (or a synthetic LLaMA-7B-shaped one) and report
speed, where the device time goes, bytes read per token and, with --validate, agreement with a
float32 reference."""
import argparse
import os
import pathlib
import sys

import torch
import vantrel
import xpuemu

from . import parallel
from .accounting import GenerationLog, bytes_per_step, bytes_table, device_ops, tp_projection
from .config import read_config
from .errors import CheckpointError
from .loader import load
from .reference import Reference, compare, drift
from .sampling import check_args, make_generator
from .sharding import check_split

DEFAULT_PROMPT = "The weather on the coast"
# Memory bandwidth of two GPUs, for the projected tokens/s of a decoding step bound by its reads.
GPU_BANDWIDTHS = (560e9, 1229e9)


def parse_args(argv):
    p = argparse.ArgumentParser(
        prog="python3 -m vantrel_llama",
        description="Decode with a LLaMA-family checkpoint on the XPU device through vantrel's "
                    "operators. Without MODEL_DIR, a seeded synthetic checkpoint of LLaMA-7B's "
                    "shapes is written once into the build folder and used.")
    p.add_argument("model_dir", nargs="?", type=pathlib.Path, metavar="MODEL_DIR")
    prompt = p.add_mutually_exclusive_group()
    prompt.add_argument("--prompt", metavar="TEXT",
                        help="prompt text (needs tokenizer.json or tokenizer.model)")
    prompt.add_argument("--prompt-ids", metavar="IDS", help="prompt as token ids, e.g. 1,2,3")
    p.add_argument("--chat", action="store_true",
                   help="the prompt text is one user message, rendered with the checkpoint's chat "
                        "template (tokenizer_config.json)")
    p.add_argument("--max-new-tokens", type=int, default=16, metavar="N")
    p.add_argument("--batch", type=int, default=1, metavar="B",
                   help="decode B samples of the prompt")
    p.add_argument("--temperature", type=float, default=0.0, metavar="T")
    p.add_argument("--top-p", type=float, default=1.0, metavar="P")
    p.add_argument("--seed", type=int, default=None, metavar="S")
    p.add_argument("--layers", type=int, default=None, metavar="N",
                   help="layers of the synthetic checkpoint (without MODEL_DIR; default 2)")
    p.add_argument("--quantize", choices=("int4", "int8"), default=None,
                   help="quantize the layers' projections at load to 4 or 8 bits (asymmetric, "
                        "per group of inputs); the embedding and output layer stay half")
    p.add_argument("--group-size", type=int, default=128, metavar="G",
                   help="inputs per scale and zero with --quantize: 32, 64 or 128 (default 128)")
    p.add_argument("--tp", type=int, default=1, metavar="P",
                   help="decode with the model split over P processes (tensor parallelism on "
                        "torch.distributed, each process with its own device), started here "
                        "through PyTorch's elastic agent")
    p.add_argument("--dist-backend", default=None, metavar="NAME",
                   help="torch.distributed backend for --tp (default: xccl or ccl when this "
                        "PyTorch has one, else gloo)")
    p.add_argument("--validate", action="store_true",
                   help="compare the logits with a float32 reference on the CPU (of the "
                        "dequantized weights when quantized), and a quantized model's with the "
                        "half model's")
    args = p.parse_args(argv)
    if args.max_new_tokens < 1:
        p.error("--max-new-tokens must be at least 1")
    if args.batch < 1:
        p.error("--batch must be at least 1")
    if args.model_dir is not None and args.layers is not None:
        p.error("--layers applies to the synthetic checkpoint only (no MODEL_DIR)")
    if args.layers is None:
        args.layers = 2
    if args.layers < 1:
        p.error("--layers must be at least 1")
    try:  # before a checkpoint is loaded or written
        check_args(args.temperature, args.top_p)
        make_generator(args.seed)
    except ValueError as e:
        p.error(str(e).replace("temperature", "--temperature").replace("top_p", "--top-p")
                .replace("seed", "--seed"))
    if args.tp < 1:
        p.error("--tp must be at least 1")
    if args.group_size not in vantrel.QUANT_GROUP_SIZES:
        p.error(f"--group-size must be one of {', '.join(map(str, vantrel.QUANT_GROUP_SIZES))}, "
                f"got {args.group_size}")
    if args.chat and args.prompt_ids is not None:
        p.error("--chat takes the prompt as text (--prompt), not --prompt-ids")
    if args.prompt_ids is not None:
        try:
            args.prompt_ids = [int(x) for x in args.prompt_ids.split(",")]
        except ValueError:
            p.error(f"--prompt-ids must be comma-separated integers, got {args.prompt_ids!r}")
    return args


def synthetic_dir(layers: int) -> pathlib.Path:
    from .synthetic import synthetic_folder, write_synthetic_checkpoint
    directory = synthetic_folder() / f"llama-7b-shapes-{layers}-layers"
    print(f"synthetic checkpoint: {directory}", flush=True)
    return write_synthetic_checkpoint(directory, layers=layers)


def prompt_ids(args, model) -> list:
    if args.prompt_ids is not None:
        return args.prompt_ids
    text = args.prompt if args.prompt is not None else DEFAULT_PROMPT
    if args.chat:
        try:
            return model.chat_ids([{"role": "user", "content": text}])
        except ValueError as e:
            if isinstance(e, CheckpointError):
                raise
            raise SystemExit(f"error: {e}")
    if model.tokenizer is None:
        raise SystemExit(f"{model.source} has no tokenizer (tokenizer.json or tokenizer.model): "
                         f"give the prompt as --prompt-ids")
    return model.tokenizer.encode(text)


def decode_text(model, ids) -> str:
    if model.tokenizer is None or model.tokenizer.kind is None:
        return " ".join(str(i) for i in ids)
    return model.tokenizer.decode(ids)


def run(args, group=None) -> int:
    from tqdm import tqdm

    model_dir = args.model_dir if args.model_dir is not None else synthetic_dir(args.layers)
    try:
        model = load(model_dir, quantize=args.quantize, group_size=args.group_size, group=group)
    except ValueError as e:
        if isinstance(e, CheckpointError):
            raise
        raise SystemExit(f"error: {e}")
    if model.group is not None:
        print(f"tensor parallel: {model.group.size} ranks ({model.group.backend}), this rank "
              f"holds {model.shard.heads} query heads, {model.shard.kv_heads} key/value heads, "
              f"{model.shard.intermediate} of the MLP's width, {model.shard.vocab_rows} output "
              f"rows" + ("; every rank read the .bin files whole (this torch's loader), P times "
                         "their memory at once" if model.load_stats["format"] == "bin" else ""))
    ls = model.load_stats
    peak = ls["peak_rss_increase_bytes"]
    print(f"loaded {model_dir} ({ls['format']}): {ls['bytes'] / 1e6:.0f} MB on the device in "
          f"{ls['seconds']:.1f} s; peak resident-set increase "
          f"{'unknown' if peak is None else f'{peak / 1e6:.0f} MB'} (model + largest tensor + "
          f"300 MB = {(ls['bytes'] + ls['largest_tensor_bytes']) / 1e6 + 300:.0f} MB)")
    cfg = model.config
    print(f"config: hidden {cfg.hidden_size}, intermediate {cfg.intermediate_size}, "
          f"{cfg.num_hidden_layers} layers, {cfg.num_attention_heads} heads "
          f"({cfg.num_key_value_heads} key/value) of {cfg.head_dim}, vocabulary {cfg.vocab_size}")
    print(f"weights: {model.quantization} layers, half embedding and output layer"
          + (f"; kept as half (their parts order inputs differently): "
             f"{', '.join(ls['dequantized'])}" if ls.get("dequantized") else ""))
    print("tokenizer:", "none (ids are printed as numbers)" if model.tokenizer is None
          else model.tokenizer.describe())

    prompt = prompt_ids(args, model)
    ids = torch.tensor([prompt] * args.batch, dtype=torch.long)
    new = args.max_new_tokens
    rows = min(args.batch, model.batch_rows)
    print("paths:", "; ".join(f"{op}: {path}" for op, path in model.paths(rows).items()))

    # Timed generation with the emulator's access checks off (they are a debugging aid).
    xpuemu.set_checking(False)
    groups = -(-args.batch // model.batch_rows)  # generate decodes batch_rows rows at a time
    # Tokens each group of rows produced: a group ends early when all its rows reached EOS.
    produced = []

    def count(generated: int):
        if generated == 1:
            produced.append(0)
        produced[-1] = generated
        log(generated)

    try:
        quiet = model.group is not None and model.group.rank != 0
        with tqdm(total=new * groups, unit="tok", desc="decoding", file=sys.stderr,
                  disable=quiet) as bar:
            log = GenerationLog(model, tick=lambda: bar.update(1))
            log.start()
            out = model.generate(ids, new, temperature=args.temperature, top_p=args.top_p,
                                 seed=args.seed, callback=count)
            log.finish()
    except (ValueError, CheckpointError) as e:
        raise SystemExit(f"error: {e}")

    if model.attention_overflows:
        print(f"attention: {model.attention_overflows} steps ran again through PyTorch (the "
              f"kernel's exponentials overflowed: raw scores beyond about +-1000)")
    for b in range(min(args.batch, 4)):
        print(f"[{b}] {decode_text(model, out[b].tolist())!r}")
    if args.batch > 4:
        print(f"... {args.batch - 4} more samples")

    generated = int(out.shape[1] - len(prompt))
    # Rows and tokens of each group as decoded (rows that stopped early are padded, not decoded).
    sizes = [len(r) for r in ids.split(model.batch_rows)]
    tokens = sum(b * n for b, n in zip(sizes, produced))
    step_tokens = sum(b * (n - 1) for b, n in zip(sizes, produced))
    steps = max(1, sum(n - 1 for n in produced))  # decoding steps after the prompts' passes
    total = log.wall["prefill"] + log.wall["decode"]
    decode = log.wall["decode"]
    stopped = sum(n < new for n in produced)
    print(f"tokens/s: {tokens / total:.2f} overall "
          f"({tokens} tokens in {total:.2f} s), "
          f"{step_tokens / decode if step_tokens else 0.0:.2f} "
          f"in the decoding steps; prompt of {len(prompt)} tokens took "
          f"{log.wall['prefill'] * 1e3:.0f} ms"
          + (f" ({groups} groups of up to {model.batch_rows} rows)" if groups > 1 else "")
          + (f"; {stopped} of {groups} groups stopped early, every row at an end token"
             if stopped else ""))
    ms = log.device_ms("decode", steps)
    print("device ms per token step: " + ", ".join(f"{k} {v:.1f}" for k, v in ms.items())
          + f" (total {sum(ms.values()):.1f})")
    host = log.thread["decode"] * 1e3 / steps
    print(f"host ms per token step: {host:.2f} (CPU time of the calling thread, which also runs "
          f"the emulated device's PyTorch ops)")
    nbytes = bytes_per_step(model, rows, len(prompt) + generated)
    if nbytes:
        proj = ", ".join(f"{rows * bw / nbytes:.0f} on a {bw / 1e9:.0f} GB/s GPU"
                         for bw in GPU_BANDWIDTHS)
        shard = "; this rank's shard, collectives not counted" if model.group is not None else ""
        print(f"distinct bytes read per step: {nbytes / 1e6:.1f} MB ({rows} rows, vantrel's "
              f"kernels{shard}); projected tokens/s: {proj}")
    else:
        print("distinct bytes read per step: not counted (no operation of the step runs on "
              "vantrel's kernels; the launch log counts only kernel reads)")
    kv_len = len(prompt) + generated
    ops = device_ops(model, rows, kv_len)
    print(f"device operations per decoding step: {ops['step']}"
          + (f" = {ops['per_layer']} per layer x {len(model.layers)} layers + {ops['fixed']} fixed "
             f"(token upload, embedding, final norm, output layer, logits' copy)"
             if ops["per_layer"] is not None else "")
          + " (kernel launches plus PyTorch operations on the device)"
          + (f"; collectives apart: {ops['collective']} operations on the device (gloo's copies)"
             if "collective" in ops else ""))
    print(f"bytes per step with every operation on a kernel ({rows} rows, kv_len {kv_len}) and "
          f"projected tokens/s at " + " / ".join(f"{bw / 1e9:.0f}" for bw in GPU_BANDWIDTHS)
          + " GB/s: " + "; ".join(
              f"{name} {nb / 1e6:.1f} MB, " + " / ".join(f"{t:.0f}" for t in tps)
              for name, nb, tps in bytes_table(cfg, rows, kv_len, GPU_BANDWIDTHS)))

    if model.group is not None:
        parallel_figures(model, rows, len(prompt) + generated, log.group_seconds / steps)
    if args.validate:
        return validate(model, model_dir, out, args)
    return 0


def parallel_figures(model, rows: int, kv_len: int, collective_s: float):
    """Per rank: distinct bytes per step, all-reduces and their bytes per step, time in
    collectives; projected tokens/s for P = 1, 2, 4, 8 from the bytes and a cost model."""
    group = model.group
    before = group.stats()
    nbytes = bytes_per_step(model, rows, kv_len)
    after = group.stats()
    mine = (group.rank, nbytes, after["all_reduce"] - before["all_reduce"],
            after["all_reduce_bytes"] - before["all_reduce_bytes"], collective_s)
    for rank, b, count, rbytes, secs in group.all_gather_object(mine):
        print(f"rank {rank}: distinct bytes read per step {b / 1e6:.1f} MB; {count} all-reduces "
              f"of {rbytes / max(count, 1) / 1e3:.1f} KB each per step; {secs * 1e3:.2f} ms per "
              f"step in collectives")
    print(f"projected tokens/s with the model's half weights split P ways ({rows} rows, kv_len "
          f"{kv_len}; {parallel.cost_model()}):")
    heads, kv_heads = model.config.num_attention_heads, model.config.num_key_value_heads
    for p_ways, _, _, tps in tp_projection(model.config, rows, kv_len, GPU_BANDWIDTHS):
        if heads % p_ways or (kv_heads % p_ways and p_ways % kv_heads):
            print(f"  P = {p_ways}: none, the {heads} query heads ({kv_heads} key/value) do not "
                  f"split {p_ways} ways")
            continue
        print(f"  P = {p_ways}: " + ", ".join(f"{t:.0f} at {bw / 1e9:.0f} GB/s"
                                           for t, bw in zip(tps, GPU_BANDWIDTHS)))


def _available_bytes() -> int:
    with open("/proc/meminfo") as f:
        for line in f:
            if line.startswith("MemAvailable:"):
                return int(line.split()[1]) * 1024
    return 0


def validate(model, model_dir, out, args) -> int:
    quantized = model.quantization != "half"
    what = " of the dequantized weights" if quantized else ""
    print(f"validating against a float32 reference{what} on the CPU ...", flush=True)
    ids = out[:model.batch_rows]
    got = model.logits(ids)  # every rank of a group takes part; rank 0 alone compares
    if model.group is not None and model.group.rank != 0:
        return 0
    ref = Reference(model_dir, args.quantize, args.group_size)
    c = compare(got, ref.logits(ids), model.config.num_hidden_layers)
    print(f"largest logit difference {c['max_diff']:.4f} = {c['relative']:.4f} x the reference "
          f"logits' standard deviation (bound {c['bound']:.4f}); top token agrees at "
          f"{100 * c['top1_agreement']:.1f} % of positions (required wherever the reference's "
          f"best two logits are not a near-tie): {'ok' if c['ok'] else 'OUT OF BOUNDS'}")
    if quantized:
        _quantization_effect(model, model_dir, ids, got, ref, args)
    return 0 if c["ok"] else 1


def _quantization_effect(model, model_dir, ids, got, ref, args):
    """The quantization's own effect: the quantized model's logits against the half model's (a
    second float32 copy of the weights, when it fits in memory)."""
    label = "quantization's effect (quantized logits against the half model's float32 reference)"
    if model.config.quantization is not None:
        print(f"{label}: skipped, the checkpoint holds no half weights to compare with")
        return
    need = sum(w.numel() * 4 for w in ref.w.values())
    if need * 1.5 > _available_bytes():
        print(f"{label}: skipped, a second float32 copy of the model ({need / 1e9:.1f} GB) does "
              f"not fit in the memory available")
        return
    del ref
    d = drift(got, Reference(model_dir).logits(ids))
    print(f"{label}: top token agrees at {100 * d['top1_agreement']:.1f} % of positions, mean KL "
          f"divergence {d['mean_kl']:.5f} nats")


def _check_split(model_dir, tp: int):
    """Refuses a split of the model the ranks would refuse, before P interpreters start."""
    if not model_dir.is_dir():
        raise CheckpointError(f"{model_dir}: not a checkpoint directory")
    check_split(read_config(model_dir / "config.json"), tp, model_dir)


def _worker_argv(argv: list, model_dir) -> list:
    """The command line of a rank: without --tp (and --layers, as MODEL_DIR is then given; any
    prefix argparse accepts for it)."""
    out, skip, options = [], False, True
    for a in argv:
        name = a.split("=", 1)[0]
        if skip:
            skip = False
        elif options and (name == "--tp" or (len(name) > 2 and "--layers".startswith(name))):
            skip = "=" not in a
        else:
            options = options and a != "--"
            out.append(a)
    return out if model_dir is None else [str(model_dir)] + out


def main(argv=None) -> int:
    argv = sys.argv[1:] if argv is None else list(argv)
    args = parse_args(argv)
    group, stdout = None, sys.stdout
    try:
        if args.tp > 1 and not parallel.in_group():
            # Start the ranks, each running this command line without --tp.
            model_dir = None if args.model_dir is not None else synthetic_dir(args.layers)
            _check_split(args.model_dir or model_dir, args.tp)
            return parallel.launch(_worker_argv(argv, model_dir), args.tp, args.dist_backend)
        group = parallel.init(args.dist_backend)
        if group is not None:
            if args.tp > 1 and args.tp != group.size:
                raise SystemExit(f"error: --tp {args.tp} but the process group has "
                                 f"{group.size} ranks")
            if group.rank != 0:  # rank 0 prints the text and the figures
                sys.stdout = open(os.devnull, "w")
        return run(args, group)
    except CheckpointError as e:
        print(f"error: {e}", file=sys.stderr)
        return 2
    except ValueError as e:  # a bad --dist-backend or distributed environment
        print(f"error: {e}", file=sys.stderr)
        return 2
    except parallel.CollectiveError as e:  # another rank failed first: it says why
        print(f"error: {e}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        if group is None:
            raise
        return 130  # Ctrl-C reaches every rank; the launcher reports it once
    finally:
        if sys.stdout is not stdout:
            sys.stdout.close()
            sys.stdout = stdout
        if group is not None:
            group.close()
