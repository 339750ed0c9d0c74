"""Loading a checkpoint directory onto the XPU device: every tensor converted to half once, the
projections fused (q/k/v, gate/up) and laid out as the kernel for their width reads them (the
layout vantrel's table names, through the model's Operators), one tensor at a time so that the
memory held besides the loaded model stays near one source tensor."""
import pathlib
import time
from typing import List, Optional, Union

import numpy as np
import torch
import xpuemu  # noqa: F401  (registers the XPU device)

from .chat import read_tokenizer_config
from .checkpoint import Checkpoint, expected_tensors
from .config import read_config
from .errors import CheckpointError
from .model import Layer, Model, Projection
from .operators import Operators
from .requests import end_token_ids, read_generation_eos
from .tokenizer import load_tokenizer

# A float rounds to a finite half below this magnitude (65504 plus half its ulp).
_HALF_LIMIT = 65520.0
_CHUNK = 1 << 22  # elements per range-check chunk


def _resident_kib(key: str) -> int:
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(key + ":"):
                return int(line.split()[1])
    return 0


def _reset_peak_rss() -> bool:
    """Resets the process's peak resident set to the current one (Linux); False if refused."""
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        return True
    except OSError:
        return False


def _copy_rows_arranged(blocks: torch.Tensor, r0: int, src: torch.Tensor):
    """Writes src [n, K] as output rows r0 .. r0 + n - 1 of the arranged weights [N/B, K, B] (as
    vantrel.arrange_weights lays them out), in place: whole blocks of B rows in one strided copy,
    rows off a block boundary one at a time."""
    n, k = src.shape
    size = blocks.shape[2]
    head = min(n, -r0 % size)
    whole = (n - head) // size

    def row(j):
        r = r0 + j
        blocks[r // size, :, r % size].copy_(src[j])

    for j in range(head):
        row(j)
    if whole:
        b0 = (r0 + head) // size
        part = src[head:head + size * whole].view(whole, size, k)
        blocks[b0:b0 + whole].copy_(part.transpose(1, 2))
    for j in range(head + size * whole, n):
        row(j)


class _Loader:
    def __init__(self, ckpt: Checkpoint, device: torch.device, ops: Operators):
        self.ckpt = ckpt
        self.ops = ops
        self.shapes = expected_tensors(ckpt.cfg)  # what the checkpoint holds, already checked
        self.device = device
        self.bytes = 0
        self.largest = 0
        self.checked = set()  # tensors already range-checked (the tied embedding is read twice)

    def _check_range(self, name: str, src: torch.Tensor):
        """Refuses a value that is not finite or does not fit in half, naming file and tensor."""
        flat = src.reshape(-1)
        for start in range(0, flat.numel(), _CHUNK):
            chunk = flat[start:start + _CHUNK].float()
            if bool(chunk.abs().max() < _HALF_LIMIT):
                continue
            bad = int((~(chunk.abs() < _HALF_LIMIT)).nonzero()[0])
            index = [int(i) for i in np.unravel_index(start + bad, tuple(src.shape))]
            raise CheckpointError(
                f"{self.ckpt.file_of(name)}: tensor {name} holds {float(chunk[bad])!r} at "
                f"{index}, which does not fit in half precision (finite, magnitude below "
                f"{_HALF_LIMIT:g})")

    def _empty(self, shape, dtype=torch.half) -> torch.Tensor:
        t = torch.empty(shape, dtype=dtype, device=self.device)
        nbytes = t.numel() * t.element_size()
        self.bytes += nbytes
        self.largest = max(self.largest, nbytes)
        return t

    def _source(self, name: str) -> torch.Tensor:
        src = self.ckpt.tensor(name)
        if name not in self.checked:
            self._check_range(name, src)
            self.checked.add(name)
        return src

    def vector(self, name: str) -> torch.Tensor:
        """A norm weight, kept in float32 on the device (the norms compute in float32)."""
        src = self._source(name)
        dst = self._empty(src.shape, torch.float)
        dst.copy_(src.half())  # the checkpoint's values as half, like every other weight
        del src
        self.ckpt.release(name)
        return dst

    def matrix(self, name: str) -> torch.Tensor:
        src = self._source(name)
        dst = self._empty(src.shape)
        dst.copy_(src)
        del src
        self.ckpt.release(name)
        return dst

    def projection(self, names: List[str], release: bool = True) -> Projection:
        """The named [n_i, K] weights stacked along their outputs, padded with zero rows to a
        multiple of ops.row_multiple, in the layout the kernel for width K reads."""
        shapes = [self.shapes[n] for n in names]
        k = shapes[0][1]
        rows = sum(s[0] for s in shapes)
        multiple = self.ops.row_multiple
        padded = -(-rows // multiple) * multiple
        dst = self._empty((padded, k))
        layout = self.ops.linear_layout(k)
        if layout == "arranged":
            block = self.ops.block_outputs(layout)
            dst = dst.view(padded // block, k, block)
            put = lambda r0, w: _copy_rows_arranged(dst, r0, w)  # noqa: E731
        else:
            put = lambda r0, w: dst[r0:r0 + len(w)].copy_(w)  # noqa: E731
        r0 = 0
        for name, (n, _) in zip(names, shapes):
            src = self._source(name)
            put(r0, src)
            del src
            if release:
                self.ckpt.release(name)
            r0 += n
        if padded > rows:
            put(rows, torch.zeros(padded - rows, k, dtype=torch.half))
        return Projection(dst, rows, k)


def load(path: Union[str, pathlib.Path], device: Union[str, torch.device] = "xpu",
         ops: Optional[Operators] = None) -> Model:
    """Loads the checkpoint directory `path` (config.json, *.safetensors or pytorch_model*.bin,
    single or sharded, the tokenizer (tokenizer.json or tokenizer.model), tokenizer_config.json and
    generation_config.json when present) onto `device`, which must be the XPU device, as a model
    running on `ops` (vantrel's operators by default). Raises CheckpointError naming the file and
    the key or tensor at fault."""
    started = time.perf_counter()
    path = pathlib.Path(path)
    device = torch.device(device)
    if device.type != "xpu":
        raise ValueError(f"device must be the XPU device (vantrel's operators run there), got "
                         f"{device}")
    if not path.is_dir():
        raise CheckpointError(f"{path}: not a checkpoint directory")
    ops = ops if ops is not None else Operators()
    peak_reset = _reset_peak_rss()
    rss_before = _resident_kib("VmRSS")

    cfg = read_config(path / "config.json")
    tokenizer_config = read_tokenizer_config(path / "tokenizer_config.json")  # None when absent
    tokenizer = load_tokenizer(path, tokenizer_config)
    end_ids = end_token_ids(
        cfg, read_generation_eos(path / "generation_config.json", cfg.vocab_size),
        tokenizer_config.token_id(tokenizer, "eos_token") if tokenizer_config else None,
        str(path / "tokenizer_config.json"))
    with Checkpoint(path, cfg) as ckpt:
        ld = _Loader(ckpt, device, ops)
        embed_name = "model.embed_tokens.weight"
        vocab, hidden = cfg.vocab_size, cfg.hidden_size
        if cfg.tie_word_embeddings and ops.linear_layout(hidden) != "arranged" \
                and vocab % ops.rows_multiple(hidden) == 0:
            # The kernel reads the row-major embedding as it is: no second copy.
            embed = ld.matrix(embed_name)
            lm_head = Projection(embed, vocab, hidden)
        else:
            # The output layer first: when tied it reads the embedding, released after its copy.
            head_name = embed_name if cfg.tie_word_embeddings else "lm_head.weight"
            lm_head = ld.projection([head_name], release=not cfg.tie_word_embeddings)
            embed = ld.matrix(embed_name)
        layers = []
        for i in range(cfg.num_hidden_layers):
            p = f"model.layers.{i}."
            layers.append(Layer(
                attn_norm=ld.vector(p + "input_layernorm.weight"),
                qkv=ld.projection([p + f"self_attn.{x}_proj.weight" for x in "qkv"]),
                o=ld.projection([p + "self_attn.o_proj.weight"]),
                mlp_norm=ld.vector(p + "post_attention_layernorm.weight"),
                gate_up=ld.projection([p + "mlp.gate_proj.weight", p + "mlp.up_proj.weight"]),
                down=ld.projection([p + "mlp.down_proj.weight"])))
        norm = ld.vector("model.norm.weight")
        fmt = ckpt.format
    xpuemu.synchronize()
    model = Model(cfg, embed, layers, norm, lm_head, tokenizer, device, source=str(path),
                  ops=ops)
    model.tokenizer_config, model.end_token_ids = tokenizer_config, end_ids
    peak = _resident_kib("VmHWM")
    model.load_stats = {
        "seconds": time.perf_counter() - started,
        "format": fmt,
        "bytes": ld.bytes,
        "largest_tensor_bytes": ld.largest,
        # Peak resident-set increase over the process before load (None when the peak cannot be
        # reset, as the peak may then predate the load).
        "peak_rss_increase_bytes": (peak - rss_before) * 1024 if peak_reset else None,
    }
    return model
