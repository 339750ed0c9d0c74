"""Accounting of decoding steps on the emulated device, for the command line and the benchmark:
device time by operation kind (kernels from the launch log's start and end times, plus the
PyTorch ops the emulated device runs on the host, charged to the kind that issued them), the
distinct bytes the kernels read (the launch log's "loads_unique", counted with checking on), and
the wall and thread time of a generation's prompt and decoding steps."""
import time
from typing import Callable, Optional

import torch
import xpuemu

KINDS = ("projections", "attention", "the rest")


def kernel_kind(kernel: str) -> str:
    """The operation kind a launch-log kernel name belongs to: "projections", "attention" or
    "the rest"."""
    return ("projections" if kernel.startswith("gemm") else
            "attention" if kernel.startswith("sdp") else "the rest")


def bytes_read(records, kinds=KINDS) -> int:
    """Distinct bytes the launch records of kernels of `kinds` read (zero unless checking was
    on)."""
    return sum(sum(r["loads_unique"].values()) for r in records
               if kernel_kind(r["kernel"]) in kinds)


def layer_records(records) -> list:
    """The launch records of a fused step's layers: all but the final norm's and the output
    layer's (the last two)."""
    return records[:-2]


class HostOpProfile:
    """Host-op seconds by operation kind. The emulated device runs PyTorch ops on the calling
    thread and xpuemu.host_op_time() counts them; a model runs its projections and attention
    through its profile, which charges them to their kind while on."""

    def __init__(self):
        self.seconds = None  # {kind: seconds} while on

    def __call__(self, kind: str, fn, *args):
        """fn(*args); while on, its host-op time is charged to `kind`."""
        if self.seconds is None:
            return fn(*args)
        before = xpuemu.host_op_time()[1]
        out = fn(*args)
        self.seconds[kind] = self.seconds.get(kind, 0.0) + xpuemu.host_op_time()[1] - before
        return out

    def start(self):
        self.seconds = {}

    def stop(self) -> Optional[dict]:
        out, self.seconds = self.seconds, None
        return out


class DeviceClock:
    """A model's device seconds by kind between reads: the kernels' launch-log times, plus the
    host ops its projections and attention issued; the other host ops count as "the rest". The
    launch log keeps only the latest launches: read after every step."""

    def __init__(self, model):
        self.model = model
        self.records = []  # launch records of the latest read

    def start(self):
        xpuemu.synchronize()
        xpuemu.clear_launch_log()
        self.model.profile_host_ops(True)
        self._host_mark = xpuemu.host_op_time()[1]

    def read(self) -> dict:
        """Device seconds by kind since start or the previous read."""
        self.records = xpuemu.launch_log()
        xpuemu.clear_launch_log()
        now = xpuemu.host_op_time()[1]
        host, self._host_mark = now - self._host_mark, now
        inside = self.model.profile_host_ops(False) or {}
        self.model.profile_host_ops(True)
        out = {"projections": inside.get("projections", 0.0),
               "attention": inside.get("attention", 0.0),
               "the rest": host - sum(inside.values())}
        for r in self.records:
            out[kernel_kind(r["kernel"])] += (r["end_ns"] - r["start_ns"]) * 1e-9
        return out

    def stop(self) -> dict:
        out = self.read()
        self.model.profile_host_ops(False)
        return out


def one_step(model, cache, tokens, pos):
    """One decoding step, model.forward of tokens [B, 1] at position pos: (device seconds by kind,
    CPU seconds of the calling thread, the step's launch records)."""
    clock = DeviceClock(model)
    clock.start()
    t = time.thread_time()
    with torch.no_grad():
        model.forward(tokens, pos, cache)
    host = time.thread_time() - t
    return clock.stop(), host, clock.records


def checked_step(model, cache, tokens, pos):
    """The launch records of one decoding step run with checking on, which counts the bytes."""
    xpuemu.set_checking(True)
    try:
        return one_step(model, cache, tokens, pos)[2]
    finally:
        xpuemu.set_checking(False)


def bytes_per_step(model, batch: int, kv_len: int, kinds=KINDS) -> int:
    """Distinct bytes the kernels (of `kinds`) read in one decoding step of `batch` rows at cache
    length kv_len."""
    cache = model.new_cache(batch, kv_len)
    token = torch.zeros(batch, 1, dtype=torch.long, device=model.device)
    return bytes_read(checked_step(model, cache, token, kv_len - 1), kinds)


def _step_ops(model, batch: int, kv_len: int) -> int:
    """Device operations of one decoding step from the token ids on the CPU to float32 logits on
    the CPU: kernel launches (launch log) plus the PyTorch operations the device runs."""
    cache = model.new_cache(batch, kv_len)
    token = torch.zeros(batch, 1, dtype=torch.long)
    xpuemu.synchronize()
    xpuemu.clear_launch_log()
    calls, collective = xpuemu.host_op_time()[0], model.collective_ops
    with torch.no_grad():
        model.forward(token.to(model.device), kv_len - 1, cache)[:, 0].float().cpu()
    xpuemu.synchronize()
    collective = model.collective_ops - collective
    return len(xpuemu.launch_log()) + xpuemu.host_op_time()[0] - calls - collective, collective


def device_ops(model, batch: int = 1, kv_len: int = 16) -> dict:
    """Device operations of a decoding step: "step" in all, "per_layer" = (step - fixed) /
    layers and "fixed" (the token upload, the embedding, the final norm, the output layer and
    the logits' copy), found by running the step again with one layer fewer (None for a
    one-layer model); under tensor parallelism, "collective": the PyTorch operations inside the
    step's collectives, not counted in the others."""
    (total, collective), layers = _step_ops(model, batch, kv_len), len(model.layers)
    out = {"step": total, "per_layer": None, "fixed": None}
    if model.group is not None:
        out["collective"] = collective  # counted apart: the copies of gloo's host collectives
    if layers >= 2:
        out["per_layer"] = total - _step_ops(model.first_layers(layers - 1), batch, kv_len)[0]
        out["fixed"] = total - out["per_layer"] * layers
    return out


# Weight formats of the bytes table: (name, bits, group size); 16 bits is half.
FORMATS = (("half", 16, 0), ("int8 g128", 8, 128), ("int4 g128", 4, 128))


def projection_bytes(n: int, k: int, bits: int = 16, group_size: int = 128,
                     zeros: bool = True, rows_multiple: int = 16) -> int:
    """Distinct bytes of an [n, k] projection's weights as a kernel reads them: n padded to
    rows_multiple; packed codes plus a half scale (and an int16 zero) per group below 16 bits."""
    n = -(-n // rows_multiple) * rows_multiple
    if bits == 16:
        return n * k * 2
    return n * k * bits // 8 + n * (k // group_size) * 2 * (2 if zeros else 1)


def step_bytes(cfg, rows: int, kv_len: int, bits: int = 16, group_size: int = 128,
               zeros: bool = True) -> int:
    """Distinct bytes the projections and attention of one decoding step of `rows` sequences read
    when all run on kernels: the layers' projections in `bits` (the output layer in half), their
    half inputs, and the query and the kv_len cached keys and values of every layer. (The norm,
    rotary and gating kernels add a few KB per layer: their rows of activations.)"""
    h, hd, inter = cfg.hidden_size, cfg.head_dim, cfg.intermediate_size
    q, kv = cfg.num_attention_heads * hd, cfg.num_key_value_heads * hd
    layer = sum(projection_bytes(n, k, bits, group_size, zeros) + rows * k * 2
                for n, k in ((q + 2 * kv, h), (h, q), (2 * inter, h), (h, inter)))
    layer += rows * q * 2 + 2 * rows * kv_len * kv * 2
    return cfg.num_hidden_layers * layer + projection_bytes(cfg.vocab_size, h) + rows * h * 2


def bytes_table(cfg, rows: int, kv_len: int, bandwidths) -> list:
    """(format, bytes per step, [projected tokens/s at each bandwidth]) for each of FORMATS."""
    out = []
    for name, bits, group in FORMATS:
        nbytes = step_bytes(cfg, rows, kv_len, bits, group)
        out.append((name, nbytes, [rows * bw / nbytes for bw in bandwidths]))
    return out


def tp_layer_bytes(cfg, rows: int, kv_len: int, ways: int) -> int:
    """Distinct bytes one rank's share of a half layer reads in a decoding step split `ways`
    ways: 1/P of the projections, its key/value heads (at least one) and its rows' inputs."""
    h, hd, inter = cfg.hidden_size, cfg.head_dim, cfg.intermediate_size
    q = cfg.num_attention_heads * hd // ways
    kv = max(cfg.num_key_value_heads // ways, 1) * hd
    layer = sum(projection_bytes(n, k) + rows * k * 2
                for n, k in ((q + 2 * kv, h), (h, q), (2 * inter // ways, h), (h, inter // ways)))
    return layer + rows * q * 2 + 2 * rows * kv_len * kv * 2


def tp_projection(cfg, rows: int, kv_len: int, bandwidths, ways=(1, 2, 4, 8)) -> list:
    """(P, bytes one rank reads per step, seconds in collectives per step, [tokens/s at each
    bandwidth]) of a half decoding step split P ways: each rank reads its share of every layer
    (tp_layer_bytes) and 1/P of the output layer, then 2 all-reduces per layer of the hidden rows
    and a gather of the logits, costed by the model of parallel.py."""
    from . import parallel
    h, L = cfg.hidden_size, cfg.num_hidden_layers
    out = []
    for p in ways:
        vocab = -(-cfg.vocab_size // (16 * p)) * 16 * p
        nbytes = (L * tp_layer_bytes(cfg, rows, kv_len, p) + projection_bytes(vocab // p, h)
                  + rows * h * 2)
        comm = (2 * L * parallel.allreduce_seconds(rows * h * 2, p)
                + parallel.allgather_seconds(rows * vocab * 2, p))
        out.append((p, nbytes, comm, [rows / (nbytes / bw + comm) for bw in bandwidths]))
    return out


class GenerationLog:
    """The callback of Model.generate that accounts its steps: device seconds by kind and wall and
    thread seconds, for the prompts ("prefill": a group's first token ends its prompt's pass) and
    the decoding steps ("decode"), summed over the groups of rows that generate runs one after
    another. `tick`, if given, is called after each step."""

    def __init__(self, model, tick: Optional[Callable[[], None]] = None):
        self.clock, self.tick = DeviceClock(model), tick
        self.device = {phase: dict.fromkeys(KINDS, 0.0) for phase in ("prefill", "decode")}
        self.wall = {"prefill": 0.0, "decode": 0.0}
        self.group_seconds = 0.0  # in collectives during the decoding steps (tensor parallel)
        self.thread = {"prefill": 0.0, "decode": 0.0}

    def _collective_seconds(self) -> float:
        group = self.clock.model.group
        return 0.0 if group is None else group.stats()["seconds"]

    def start(self):
        self.clock.start()
        self.mark = (time.perf_counter(), time.thread_time())
        self.group_mark = self._collective_seconds()

    def _add(self, phase, device):
        for kind, seconds in device.items():
            self.device[phase][kind] += seconds
        now = (time.perf_counter(), time.thread_time())
        self.wall[phase] += now[0] - self.mark[0]
        self.thread[phase] += now[1] - self.mark[1]
        self.mark = now
        collective = self._collective_seconds()
        if phase == "decode":
            self.group_seconds += collective - self.group_mark
        self.group_mark = collective

    def __call__(self, generated: int):
        self._add("prefill" if generated == 1 else "decode", self.clock.read())
        if self.tick is not None:
            self.tick()

    def finish(self):
        self._add("decode", self.clock.stop())

    def device_ms(self, phase: str, steps: int) -> dict:
        """Device milliseconds per step of `phase` by kind."""
        return {kind: s * 1e3 / steps for kind, s in self.device[phase].items()}
