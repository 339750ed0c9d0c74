"""Command line: decode a prompt with a checkpoint (or a synthetic LLaMA-7B-shaped one) and report
speed, where the device time goes, bytes read per token and, with --validate, agreement with a
float32 reference."""
import argparse
import pathlib
import sys
import time

import torch
import xpuemu

from .errors import CheckpointError
from .loader import load
from .model import MAX_KERNEL_ROWS, kernel_kind
from .reference import Reference, compare
from .sampling import check_args

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
    prompt.add_argument("--prompt", metavar="TEXT", help="prompt text (needs tokenizer.model)")
    prompt.add_argument("--prompt-ids", metavar="IDS", help="prompt as token ids, e.g. 1,2,3")
    p.add_argument("--max-new-tokens", type=int, default=16, metavar="N")
    p.add_argument("--batch", type=int, default=1, metavar="B",
                   help="decode B samples of the prompt")
    p.add_argument("--temperature", type=float, default=0.0, metavar="T")
    p.add_argument("--top-p", type=float, default=1.0, metavar="P")
    p.add_argument("--seed", type=int, default=None, metavar="S")
    p.add_argument("--layers", type=int, default=None, metavar="N",
                   help="layers of the synthetic checkpoint (without MODEL_DIR; default 2)")
    p.add_argument("--validate", action="store_true",
                   help="compare the logits with a float32 reference on the CPU")
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
    except ValueError as e:
        p.error(str(e).replace("temperature", "--temperature").replace("top_p", "--top-p"))
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
    if model.tokenizer is None:
        raise SystemExit(f"{model.source} has no tokenizer.model: give the prompt as "
                         f"--prompt-ids")
    return model.tokenizer.encode(args.prompt if args.prompt is not None else DEFAULT_PROMPT)


def decode_text(model, ids) -> str:
    if model.tokenizer is None:
        return " ".join(str(i) for i in ids)
    return model.tokenizer.decode(ids)


class StepLog:
    """Harvests the launch log after every step (it keeps only the latest launches): device time
    of the kernels by kind, and host-op time, for the prompts and for the decoding steps; wall and
    thread time of each phase, summed over the groups of 8 rows that generate runs one after
    another (each group's first token ends its prompt's pass)."""

    def __init__(self, model, bar):
        self.model, self.bar = model, bar
        self.kernel = {"prefill": {}, "decode": {}}
        self.host = {"prefill": 0.0, "decode": 0.0}
        self.host_in = {"prefill": {}, "decode": {}}
        self.wall = {"prefill": 0.0, "decode": 0.0}
        self.thread = {"prefill": 0.0, "decode": 0.0}

    def start(self):
        xpuemu.synchronize()
        xpuemu.clear_launch_log()
        self.model.profile_host_ops(True)
        self.host_mark = xpuemu.host_op_time()[1]
        self.mark = (time.perf_counter(), time.thread_time())

    def harvest(self, phase):
        for r in xpuemu.launch_log():
            kind = kernel_kind(r["kernel"])
            k = self.kernel[phase]
            k[kind] = k.get(kind, 0.0) + (r["end_ns"] - r["start_ns"]) * 1e-9
        xpuemu.clear_launch_log()
        now = xpuemu.host_op_time()[1]
        self.host[phase] += now - self.host_mark
        self.host_mark = now
        for kind, s in (self.model.profile_host_ops(False) or {}).items():
            self.host_in[phase][kind] = self.host_in[phase].get(kind, 0.0) + s
        self.model.profile_host_ops(True)

    def _lap(self, phase):
        now = (time.perf_counter(), time.thread_time())
        self.wall[phase] += now[0] - self.mark[0]
        self.thread[phase] += now[1] - self.mark[1]
        self.mark = now

    def __call__(self, generated):
        phase = "prefill" if generated == 1 else "decode"
        self.harvest(phase)
        self._lap(phase)
        self.bar.update(1)

    def finish(self):
        self.harvest("decode")
        self.model.profile_host_ops(False)
        self._lap("decode")

    def device_ms(self, phase, steps) -> dict:
        """Device milliseconds per step by kind: kernels from the launch log's times, plus the
        PyTorch ops the emulated device ran on the host, charged to the kind that issued them."""
        out = {}
        inside = self.host_in[phase]
        for kind in ("projections", "attention"):
            out[kind] = (self.kernel[phase].get(kind, 0.0) + inside.get(kind, 0.0)) * 1e3 / steps
        rest = self.kernel[phase].get("the rest", 0.0) + self.host[phase] - sum(inside.values())
        out["the rest"] = rest * 1e3 / steps
        return out


def bytes_per_step(model, batch, kv_len) -> int:
    """Distinct bytes the kernels read in one decoding step of `batch` rows at cache length kv_len
    (the launch log's "loads_unique", counted with checking on)."""
    cache = model.new_cache(batch, kv_len)
    token = torch.zeros(batch, 1, dtype=torch.long, device=model.device)
    xpuemu.set_checking(True)
    try:
        xpuemu.synchronize()
        xpuemu.clear_launch_log()
        with torch.no_grad():
            model.forward(token, kv_len - 1, cache)
        total = sum(sum(r["loads_unique"].values()) for r in xpuemu.launch_log())
    finally:
        xpuemu.set_checking(False)
    return total


def run(args) -> int:
    from tqdm import tqdm

    model_dir = args.model_dir if args.model_dir is not None else synthetic_dir(args.layers)
    model = load(model_dir)
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

    prompt = prompt_ids(args, model)
    ids = torch.tensor([prompt] * args.batch, dtype=torch.long)
    new = args.max_new_tokens
    rows = min(args.batch, MAX_KERNEL_ROWS)
    print("paths:", "; ".join(f"{op}: {path}" for op, path in model.paths(rows).items()))

    # Timed generation with the emulator's access checks off (they are a debugging aid).
    xpuemu.set_checking(False)
    groups = -(-args.batch // MAX_KERNEL_ROWS)  # generate decodes 8 rows at a time
    try:
        with tqdm(total=new * groups, unit="tok", desc="decoding", file=sys.stderr) as bar:
            log = StepLog(model, bar)
            log.start()
            out = model.generate(ids, new, temperature=args.temperature, top_p=args.top_p,
                                 seed=args.seed, callback=log)
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
    steps = max(1, generated - 1)  # decoding steps after the prompt's pass
    total = log.wall["prefill"] + log.wall["decode"]
    decode = log.wall["decode"]
    print(f"tokens/s: {args.batch * generated / total:.2f} overall "
          f"({args.batch * generated} tokens in {total:.2f} s), "
          f"{args.batch * (generated - 1) / decode if generated > 1 else 0.0:.2f} "
          f"in the decoding steps; prompt of {len(prompt)} tokens took "
          f"{log.wall['prefill'] * 1e3:.0f} ms"
          + (f" ({groups} groups of up to {MAX_KERNEL_ROWS} rows)" if groups > 1 else ""))
    ms = log.device_ms("decode", steps * groups)
    print(f"device ms per token step: " + ", ".join(f"{k} {v:.1f}" for k, v in ms.items())
          + f" (total {sum(ms.values()):.1f})")
    host = log.thread["decode"] * 1e3 / (steps * groups)
    print(f"host ms per token step: {host:.2f} (CPU time of the calling thread, which also runs "
          f"the emulated device's PyTorch ops)")
    nbytes = bytes_per_step(model, rows, len(prompt) + generated)
    if nbytes:
        proj = ", ".join(f"{rows * bw / nbytes:.0f} on a {bw / 1e9:.0f} GB/s GPU"
                         for bw in GPU_BANDWIDTHS)
        print(f"distinct bytes read per step: {nbytes / 1e6:.1f} MB ({rows} rows, vantrel's "
              f"kernels); projected tokens/s: {proj}")
    else:
        print("distinct bytes read per step: not counted (no operation of the step runs on "
              "vantrel's kernels; the launch log counts only kernel reads)")

    if args.validate:
        return validate(model, model_dir, out)
    return 0


def validate(model, model_dir, out) -> int:
    print("validating against a float32 reference on the CPU ...", flush=True)
    ref = Reference(model_dir).logits(out[:8])
    got = model.logits(out[:8])
    c = compare(got, ref, model.config.num_hidden_layers)
    print(f"largest logit difference {c['max_diff']:.4f} = {c['relative']:.4f} x the reference "
          f"logits' standard deviation (bound {c['bound']:.4f}); top token agrees at "
          f"{100 * c['top1_agreement']:.1f} % of positions (required wherever the reference's "
          f"best two logits are not a near-tie): {'ok' if c['ok'] else 'OUT OF BOUNDS'}")
    return 0 if c["ok"] else 1


def main(argv=None) -> int:
    args = parse_args(sys.argv[1:] if argv is None else argv)
    try:
        return run(args)
    except CheckpointError as e:
        print(f"error: {e}", file=sys.stderr)
        return 2
