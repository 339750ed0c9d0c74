"""Loading a checkpoint directory onto the XPU device: every tensor converted to half once, the
projections fused (q/k/v, gate/up) and laid out as the kernel for their width reads them (the
layout vantrel's table names, through the model's Operators), one tensor at a time so that the
memory held besides the loaded model stays near one source tensor.

The layers' projections may instead hold packed 4- or 8-bit weights: read from a GPTQ or AWQ
checkpoint and repacked once, or quantized at load (quantize="int4" or "int8") from the
checkpoint's own values, a block of rows at a time. The embedding, the norms and the output layer
stay half."""
import pathlib
import time
from dataclasses import replace
from typing import List, Optional, Union

import numpy as np
import torch
import vantrel
import xpuemu  # noqa: F401  (registers the XPU device)

from . import parallel
from .chat import read_tokenizer_config
from .checkpoint import Checkpoint, expected_tensors
from .config import read_config
from .errors import CheckpointError
from .model import Layer, Model, Projection
from .operators import Operators
from .packed import Unpacked, group_order, pack, regroup, served_group
from .sharding import Shard, check_split, plan
from .quantized import HALF_LIMIT, read_quantized
from .requests import end_token_ids, read_generation_eos
from .tokenizer import load_tokenizer

_CHUNK = 1 << 22  # elements per range-check chunk
QUANTIZE = {"int4": 4, "int8": 8}  # load(quantize=...) -> bits
_QUANTIZE_ROWS = 512  # rows quantized per call at load: a multiple of every layout's block


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


def _finite(src: torch.Tensor) -> bool:
    flat = src.reshape(-1)
    return all(bool(torch.isfinite(flat[i:i + _CHUNK]).all())
               for i in range(0, flat.numel(), _CHUNK))


def _whole_index(index: list, part) -> list:
    """An index into part = (dimension, start, stop) of a tensor (None: all of it) as an index
    into the whole tensor."""
    if part is not None:
        index[part[0]] += part[1]
    return index


def _beyond_half(qweight, scales, zeros, bits: int, group: int):
    """(row, column) of the first weight whose dequantized value (q - z)·s rounds beyond half's
    range (the kernels compute it in half), or None. |q - z| <= 2^b, so groups whose scale is
    below HALF_LIMIT / 2^b need no look."""
    if float(scales.abs().max()) * (1 << bits) < HALF_LIMIT:
        return None
    w = vantrel.dequantize_weights(qweight, scales, zeros, bits, group)
    bad = (~torch.isfinite(w)).nonzero()
    return tuple(bad[0].tolist()) if len(bad) else None


class _Loader:
    def __init__(self, ckpt: Checkpoint, device: torch.device, ops: Operators,
                 bits: int = 16, group_size: int = 0, shard: Optional[Shard] = None):
        self.ckpt = ckpt
        self.ops = ops
        self.shard = shard  # this rank's part of a tensor-parallel model, or None
        # The weights' shapes [N, K] (a quantized checkpoint holds them packed), already checked;
        # this rank's parts of them when sharded.
        self.shapes = expected_tensors(replace(ckpt.cfg, quantization=None))
        for name, shape in self.shapes.items():
            part = self._slice(name)
            if part is not None:
                dim, a, b = part
                self.shapes[name] = tuple(b - a if d == dim else n for d, n in enumerate(shape))
        self.device = device
        self.bits, self.group_size = bits, group_size  # quantizing at load when bits < 16
        self.bytes = 0
        self.largest = 0
        self.checked = set()  # tensors already range-checked (the tied embedding is read twice)
        # Fused projections of a checkpoint whose parts order their inputs differently: kept as
        # dequantized half weights.
        self.dequantized = []

    def _check_range(self, name: str, src: torch.Tensor, part=None):
        """Refuses a value that is not finite or does not fit in half, naming file and tensor and
        the value's index in the whole tensor (src is its part (dimension, start, stop))."""
        flat = src.reshape(-1)
        for start in range(0, flat.numel(), _CHUNK):
            chunk = flat[start:start + _CHUNK].float()
            if bool(chunk.abs().max() < HALF_LIMIT):
                continue
            bad = int((~(chunk.abs() < HALF_LIMIT)).nonzero()[0])
            at = np.unravel_index(start + bad, tuple(src.shape))
            index = _whole_index([int(i) for i in at], part)
            raise CheckpointError(
                f"{self.ckpt.file_of(name)}: tensor {name} holds {float(chunk[bad])!r} at "
                f"{index}, which does not fit in half precision (finite, magnitude below "
                f"{HALF_LIMIT:g})")

    def _empty(self, shape, dtype=torch.half) -> torch.Tensor:
        t = torch.empty(shape, dtype=dtype, device=self.device)
        nbytes = t.numel() * t.element_size()
        self.bytes += nbytes
        self.largest = max(self.largest, nbytes)
        return t

    def _slice(self, name: str):
        return None if self.shard is None else self.shard.slice_of(name)

    def _source(self, name: str, half: bool = True, part=None) -> torch.Tensor:
        """Tensor `name` (this rank's part of it: (dimension, start, stop), by default its shard's
        slice), refused unless its values fit in half (when `half`) or are finite. A part of a
        mapped file is read from its own bytes only."""
        src = self.ckpt.tensor(name)
        part = part or self._slice(name)
        if part is not None:
            dim, a, b = part
            src = src.narrow(dim, a, b - a)
        key = (name, part)
        if not half:
            if not _finite(src):
                raise CheckpointError(f"{self.ckpt.file_of(name)}: tensor {name} holds values "
                                      f"that are not finite")
            self.largest = max(self.largest, src.numel() * 2)  # as half, for the memory bound
        elif key not in self.checked:
            self._check_range(name, src, part)
            self.checked.add(key)
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

    def _geometry(self, names):
        """(rows, K, padded rows, layout, block) of the projection stacking the named weights."""
        shapes = [self.shapes[n] for n in names]
        k, rows = shapes[0][1], sum(s[0] for s in shapes)
        multiple = self.ops.row_multiple
        layout = self.ops.linear_layout(k)
        block = self.ops.block_outputs(layout) if layout == "arranged" else 1
        return rows, k, -(-rows // multiple) * multiple, layout, block

    def projection(self, names: List[str], release: bool = True,
                   weights: Optional[List[torch.Tensor]] = None, rows_of=None,
                   pad_to: int = 0) -> Projection:
        """The named [n_i, K] weights (or `weights` standing for them; or the rows rows_of =
        (start, stop) of the one named) stacked along their outputs, padded with zero rows to a
        multiple of ops.row_multiple (or to pad_to rows), as half weights in the layout the kernel
        for width K reads."""
        rows, k, padded, layout, block = self._geometry(names)
        part = None
        if rows_of is not None:
            part = (0, *rows_of)
            rows = rows_of[1] - rows_of[0]
            padded = max(pad_to, -(-rows // self.ops.row_multiple) * self.ops.row_multiple)
        dst = self._empty((padded, k))
        if layout == "arranged":
            dst = dst.view(padded // block, k, block)
            put = lambda r0, w: _copy_rows_arranged(dst, r0, w)  # noqa: E731
        else:
            put = lambda r0, w: dst[r0:r0 + len(w)].copy_(w)  # noqa: E731
        r0 = 0
        for i, name in enumerate(names):
            src = self._source(name, part=part) if weights is None else weights[i]
            put(r0, src)
            r0 += len(src)
            del src
            if release and weights is None:
                self.ckpt.release(name)
        if padded > rows:
            put(rows, torch.zeros(padded - rows, k, dtype=torch.half))
        return Projection(dst, rows, k)

    def layer_projection(self, names: List[str]) -> Projection:
        """A projection of a layer: packed when the checkpoint is quantized or quantizing at load,
        half otherwise."""
        if self.ckpt.cfg.quantization is not None:
            return self._from_checkpoint(names)
        if self.bits < 16:
            return self._quantized(names)
        return self.projection(names)

    def _packed(self, padded, k, layout, block, bits, group, symmetric):
        """Device tensors (qweight, scales, zeros) for `padded` outputs of width k."""
        g = k // group
        if layout == "arranged":
            shapes = ((padded // block, k, block * bits // 8), (padded // block, g, block))
        else:
            shapes = ((padded, k * bits // 8), (padded, g))
        qweight = self._empty(shapes[0], torch.uint8)
        scales = self._empty(shapes[1])
        zeros = None if symmetric else self._empty(shapes[1], torch.int16)
        return qweight, scales, zeros

    def _quantized(self, names) -> Projection:
        """The named weights quantized from their own values (vantrel.quantize_weights,
        asymmetric), _QUANTIZE_ROWS rows at a time, into the packed layout of their width."""
        rows, k, padded, layout, block = self._geometry(names)
        bits, group = self.bits, self.group_size
        qweight, scales, zeros = self._packed(padded, k, layout, block, bits, group, False)
        aligned = all(self.shapes[n][0] % block == 0 for n in names)
        if not aligned:
            # A part ends inside a block of outputs: quantize the stack at once, its padding
            # included, so that every chunk is whole blocks.
            srcs = [self._source(n, half=False) for n in names]
            if padded > rows:
                srcs.append(torch.zeros(padded - rows, k, dtype=srcs[0].dtype))
            whole = torch.cat(srcs)
            del srcs
            for n in names:
                self.ckpt.release(n)
            parts = [(whole, 0)]
        else:
            parts = []
            r0 = 0
            for n in names:
                parts.append((n, r0))
                r0 += self.shapes[n][0]
            if padded > rows:
                parts.append((torch.zeros(padded - rows, k), rows))
        for part, r0 in parts:
            src = self._source(part, half=False) if isinstance(part, str) else part
            for c0 in range(0, len(src), _QUANTIZE_ROWS):
                chunk = src[c0:c0 + _QUANTIZE_ROWS]
                try:
                    q, s, z = vantrel.quantize_weights(chunk, bits, group)
                except RuntimeError as e:
                    raise CheckpointError(f"{self.ckpt.file_of(names[0])}: tensor "
                                          f"{part if isinstance(part, str) else names[0]}: {e}"
                                          ) from None
                bad = _beyond_half(q, s, z, bits, group)
                if bad is not None:
                    r, c = bad
                    self._refuse_quantized(names, r0 + c0 + r, c, float(chunk[r, c]), bits,
                                           group)
                a, b = (r0 + c0) // block, (r0 + c0 + len(chunk)) // block
                qweight[a:b].copy_(q)
                scales[a:b].copy_(s)
                zeros[a:b].copy_(z)
            del src
            if isinstance(part, str):  # its pages leave the resident set before the next part
                self.ckpt.release(part)
        return Projection(qweight, rows, k, bits, group, scales, zeros)

    def _refuse_quantized(self, names, row: int, col: int, value: float, bits: int, group: int):
        """CheckpointError for the weight at row `row` of the stack of `names`, column `col`,
        whose quantized weight does not fit in half; named by its tensor and index there."""
        for name in names:
            if row < self.shapes[name][0]:
                break
            row -= self.shapes[name][0]
        index = _whole_index([row, col], self._slice(name))
        raise CheckpointError(
            f"{self.ckpt.file_of(name)}: tensor {name} holds {value!r} at {index}: quantized to "
            f"{bits} bits in groups of {group}, its weight (q - z)·s does not fit in half "
            f"precision (magnitude below {HALF_LIMIT:g})")

    def _from_checkpoint(self, names) -> Projection:
        """The named projections of a GPTQ or AWQ checkpoint, repacked: inputs sorted by group
        once when act-order scattered them, the group size re-expressed as one the kernels serve
        (a scale repeated), symmetric files read without zeros."""
        qc = self.ckpt.cfg.quantization
        # This rank's part of each (outputs or inputs), read from its own bytes.
        parts = [read_quantized(self.ckpt, n[:-len(".weight")], qc, part=self._slice(n))
                 for n in names]
        rows, k, padded, layout, block = self._geometry(names)
        orders = [group_order(p.g_idx, p.group_size) for p in parts]
        same = all((o is None) == (orders[0] is None) and (o is None or torch.equal(o, orders[0]))
                   for o in orders)
        if not same:
            # One input order for the stack is what keeps it one call; the parts disagree.
            self.dequantized.append(names[0][:-len(".weight")])
            # (q - z)·s in float32, rounded to half once, as the kernels compute it.
            return self.projection(names, weights=[p.dequantize().half() for p in parts])
        order = orders[0]
        stem = names[0][:-len(".weight")]
        where = f"{self.ckpt.file_of(stem + '.qweight')}: {stem}"
        group_size = parts[0].group_size
        group = served_group(group_size, k, qc.bits, where)
        codes = torch.cat([p.codes for p in parts])
        scales = torch.cat([p.scales for p in parts])
        zeros = torch.cat([p.zeros for p in parts])
        del parts
        if order is not None:
            codes = codes[:, order]
        symmetric = bool((zeros == 1 << (qc.bits - 1)).all())
        if padded > rows:
            codes = torch.cat([codes, codes.new_zeros(padded - rows, k)])
            scales = torch.cat([scales, scales.new_zeros(padded - rows, scales.shape[1])])
            zeros = torch.cat([zeros, zeros.new_full((padded - rows, zeros.shape[1]),
                                                     1 << (qc.bits - 1))])
        u = regroup(Unpacked(codes, scales, None if symmetric else zeros, group_size), group)
        q, s, z = pack(u, qc.bits, layout, block)
        qweight, scales_d, zeros_d = self._packed(padded, k, layout, block, qc.bits, group,
                                                  symmetric)
        qweight.copy_(q)
        scales_d.copy_(s)
        if zeros_d is not None:
            zeros_d.copy_(z)
        if order is not None:
            order = order.to(self.device)
        return Projection(qweight, rows, k, qc.bits, group, scales_d, zeros_d, order)


def _check_quantize(quantize, group_size) -> int:
    """The bits load(quantize=...) asks for (16: none); ValueError naming the argument."""
    if quantize is None:
        return 16
    if not isinstance(quantize, str) or quantize not in QUANTIZE:
        raise ValueError(f"quantize must be None, \"int4\" or \"int8\", got {quantize!r}")
    if (isinstance(group_size, bool) or not isinstance(group_size, (int, np.integer))
            or group_size not in vantrel.QUANT_GROUP_SIZES):
        raise ValueError(f"group_size must be one of "
                         f"{', '.join(map(str, vantrel.QUANT_GROUP_SIZES))}, got {group_size!r}")
    return QUANTIZE[quantize]


def _check_groups(cfg, group_size: int, path, size: int = 1):
    """Refuses quantizing at load a model whose projection widths (this rank's shards of them,
    split `size` ways) are not whole groups."""
    widths = {"self_attn.q_proj, k_proj, v_proj and mlp.gate_proj, up_proj": cfg.hidden_size,
              "self_attn.o_proj": cfg.num_attention_heads * cfg.head_dim // size,
              "mlp.down_proj": cfg.intermediate_size // size}
    for layer, k in widths.items():
        if k % group_size:
            raise ValueError(f"{path}: cannot quantize model.layers.*.{layer} with group_size "
                             f"{group_size}: its input width {k} is not a multiple of it")


def describe_quantization(cfg, bits: int, group_size: int) -> str:
    """How the layers' projections are stored, for messages: "half", "int4, group 128 (quantized
    at load)", "GPTQ 4-bit, group 128, act-order" ..."""
    qc = cfg.quantization
    if qc is not None:
        group = "one group per row" if qc.group_size == -1 else f"group {qc.group_size}"
        return (f"{qc.method.upper()} {qc.bits}-bit, {group}" + (", act-order" if qc.desc_act
                                                                  else ""))
    if bits < 16:
        return f"int{bits}, group {group_size} (quantized at load)"
    return "half"


def load(path: Union[str, pathlib.Path], device: Union[str, torch.device] = "xpu",
         ops: Optional[Operators] = None, quantize: Optional[str] = None,
         group_size: int = 128, group=None) -> Model:
    """Loads the checkpoint directory `path` (config.json, *.safetensors or pytorch_model*.bin,
    single or sharded, the tokenizer (tokenizer.json or tokenizer.model), tokenizer_config.json and
    generation_config.json when present) onto `device`, which must be the XPU device, as a model
    running on `ops` (vantrel's operators by default). GPTQ and AWQ checkpoints keep their packed
    weights; quantize="int4" or "int8" quantizes a half, bfloat16 or float32 checkpoint's layers
    at load (asymmetric, groups of group_size inputs), the embedding and output layer staying half.
    In each process of a tensor-parallel group (`group`, a parallel.Group; by default the
    initialised torch.distributed group, when there is one of several processes) the model is
    split over the ranks and each loads only its own parts of the weights.
    Raises CheckpointError naming the file and the key or tensor at fault."""
    started = time.perf_counter()
    path = pathlib.Path(path)
    device = torch.device(device)
    if device.type != "xpu":
        raise ValueError(f"device must be the XPU device (vantrel's operators run there), got "
                         f"{device}")
    bits = _check_quantize(quantize, group_size)
    if not path.is_dir():
        raise CheckpointError(f"{path}: not a checkpoint directory")
    ops = ops if ops is not None else Operators()
    peak_reset = _reset_peak_rss()
    rss_before = _resident_kib("VmRSS")

    cfg = read_config(path / "config.json")
    group = group if group is not None else parallel.init()
    shard = None
    if group is not None and group.size > 1:
        check_split(cfg, group.size, path)
        shard = plan(cfg, group.rank, group.size)
    if bits < 16:
        if cfg.quantization is not None:
            raise ValueError(f"{path}: the checkpoint is already quantized "
                             f"({cfg.quantization.method}); load it without quantize")
        _check_groups(cfg, group_size, path, shard.size if shard else 1)
    tokenizer_config = read_tokenizer_config(path / "tokenizer_config.json")  # None when absent
    tokenizer = load_tokenizer(path, tokenizer_config)
    end_ids = end_token_ids(
        cfg, read_generation_eos(path / "generation_config.json", cfg.vocab_size),
        tokenizer_config.token_id(tokenizer, "eos_token") if tokenizer_config else None,
        str(path / "tokenizer_config.json"))
    with Checkpoint(path, cfg) as ckpt:
        ld = _Loader(ckpt, device, ops, bits, group_size if bits < 16 else 0, shard)
        embed_name = "model.embed_tokens.weight"
        vocab, hidden = cfg.vocab_size, cfg.hidden_size
        if shard is not None:
            # This rank's rows of the output layer, padded to the same count on every rank.
            head_name = embed_name if cfg.tie_word_embeddings else "lm_head.weight"
            lm_head = ld.projection([head_name], release=not cfg.tie_word_embeddings,
                                    rows_of=shard.output_rows(vocab), pad_to=shard.vocab_rows)
            lm_head.out_features = shard.vocab_rows
            embed = ld.matrix(embed_name)
        elif cfg.tie_word_embeddings and ops.linear_layout(hidden) != "arranged" \
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
                qkv=ld.layer_projection([p + f"self_attn.{x}_proj.weight" for x in "qkv"]),
                o=ld.layer_projection([p + "self_attn.o_proj.weight"]),
                mlp_norm=ld.vector(p + "post_attention_layernorm.weight"),
                gate_up=ld.layer_projection([p + "mlp.gate_proj.weight",
                                             p + "mlp.up_proj.weight"]),
                down=ld.layer_projection([p + "mlp.down_proj.weight"])))
        norm = ld.vector("model.norm.weight")
        fmt = ckpt.format
    xpuemu.synchronize()
    model = Model(cfg, embed, layers, norm, lm_head, tokenizer, device, source=str(path),
                  ops=ops, group=group if shard is not None else None, shard=shard)
    model.tokenizer_config, model.end_token_ids = tokenizer_config, end_ids
    model.quantization = describe_quantization(cfg, bits, group_size)
    peak = _resident_kib("VmHWM")
    model.load_stats = {
        "seconds": time.perf_counter() - started,
        "format": fmt,
        "bytes": ld.bytes,
        "largest_tensor_bytes": ld.largest,
        # Fused projections kept as half: their parts order their inputs differently.
        "dequantized": ld.dequantized,
        # Peak resident-set increase over the process before load (None when the peak cannot be
        # reset, as the peak may then predate the load).
        "peak_rss_increase_bytes": (peak - rss_before) * 1024 if peak_reset else None,
    }
    return model
