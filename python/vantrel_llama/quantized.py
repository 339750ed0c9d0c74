"""Quantized projections of GPTQ and AWQ checkpoints (the Hugging Face layout): the
`quantization_config` of config.json, the shapes of the packed tensors that replace a projection's
`.weight`, and their decoding into one code per weight with a scale and a zero per group.

GPTQ packs 32/b codes of b bits into an int32 along the input features K (`qweight [K·b/32, N]`),
the zeros along the outputs N (`qzeros [ceil(K/G), N·b/32]`); the "gptq" checkpoint format stores
each zero one less than the true one, "gptq_v2" stores the true zero. `g_idx [K]` gives the group
of every input feature (k // G unless the file was quantized in activation order). AWQ packs eight
4-bit codes into an int32 along N in the interleaved order of AWQ_ORDER (`qweight [K, N/8]`,
`qzeros [K/G, N/8]`) and stores true zeros. Scales are float16 `[groups, N]` in both.
"""
from dataclasses import dataclass
from typing import Dict, Optional, Tuple

import torch

from .errors import CheckpointError

QUANTIZED_PROJECTIONS = ("self_attn.q_proj", "self_attn.k_proj", "self_attn.v_proj",
                         "self_attn.o_proj", "mlp.gate_proj", "mlp.up_proj", "mlp.down_proj")
# The column (of the eight a word covers) that AWQ stores in nibble i.
AWQ_ORDER = (0, 2, 4, 6, 1, 3, 5, 7)
# checkpoint_format -> what is added to a stored zero to get the true one.
GPTQ_FORMATS = {"gptq": 1, "gptq_v2": 0}
INT32 = (torch.int32,)
TENSOR_DTYPES = {"qweight": INT32, "qzeros": INT32, "scales": (torch.float16,),
                 "g_idx": (torch.int32, torch.int64)}
OPTIONAL = ("g_idx",)  # GPTQ files without it group the input features as k // group_size
# A float rounds to a finite half below this magnitude (65504 plus half its ulp).
HALF_LIMIT = 65520.0


@dataclass(frozen=True)
class QuantizationConfig:
    """A checked `quantization_config` of config.json."""
    method: str  # "gptq" or "awq"
    bits: int  # 4 or 8 (AWQ: 4)
    group_size: int  # as stored; -1 = one group per row (GPTQ)
    sym: bool  # GPTQ "sym"; AWQ: not zero_point
    zero_offset: int  # added to the stored zeros: 1 for GPTQ "gptq", 0 for "gptq_v2" and AWQ
    desc_act: bool  # GPTQ act-order

    def group(self, k: int) -> int:
        """The group size for input width k."""
        return k if self.group_size == -1 else self.group_size

    def groups(self, k: int) -> int:
        """Groups per output row for input width k (the last one may be short in GPTQ)."""
        return -(-k // self.group(k))

    def tensors(self) -> Tuple[str, ...]:
        """The suffixes of a projection's tensors (g_idx may be absent, see OPTIONAL)."""
        return ("qweight", "qzeros", "scales") + (("g_idx",) if self.method == "gptq" else ())


def _is_int(v):
    return isinstance(v, int) and not isinstance(v, bool)


def read_quantization_config(raw, source) -> Optional[QuantizationConfig]:
    """Check config.json's "quantization_config" value (None when absent: not quantized). `source`
    names config.json in error messages."""
    if raw is None:
        return None
    if not isinstance(raw, dict):
        raise CheckpointError(f"{source}: quantization_config must be null or a JSON object; got "
                              f"{raw!r:.100}")

    def fail(key, requirement):
        got = f"got {raw[key]!r:.100}" if key in raw else "it is absent"
        raise CheckpointError(f"{source}: quantization_config.{key} must be {requirement}; {got}")

    method = raw.get("quant_method")
    if not isinstance(method, str):
        fail("quant_method", "\"gptq\" or \"awq\"")
    if method.lower() not in ("gptq", "awq"):
        raise CheckpointError(f"{source}: quantization_config.quant_method {method!r:.100} is not "
                              f"supported: this engine reads \"gptq\" and \"awq\" checkpoints")
    method = method.lower()
    if raw.get("lm_head") not in (None, False):
        fail("lm_head", "false or absent (this engine reads lm_head unquantized)")
    _check_unconverted(raw, source, fail)

    def flag(key, default):
        v = raw.get(key)
        if v is None:
            return default
        if not isinstance(v, bool):
            fail(key, "true or false")
        return v

    bits, group = raw.get("bits"), raw.get("group_size")
    if method == "gptq":
        if not _is_int(bits) or bits not in (4, 8):
            fail("bits", "4 or 8 for quant_method \"gptq\" (other widths, such as 3 bits whose "
                         "codes straddle words, are not supported)")
        if not _is_int(group) or not (group == -1 or group > 0):
            fail("group_size", "-1 (one group per row) or a positive integer")
        fmt = raw.get("checkpoint_format")
        if fmt is not None and (not isinstance(fmt, str) or fmt not in GPTQ_FORMATS):
            fail("checkpoint_format", "\"gptq\" (or absent) or \"gptq_v2\"")
        return QuantizationConfig("gptq", bits, group, flag("sym", True),
                                  GPTQ_FORMATS[fmt or "gptq"], flag("desc_act", False))
    if bits != 4 or not _is_int(bits):
        fail("bits", "4 for quant_method \"awq\"")
    if not _is_int(group) or group <= 0:
        fail("group_size", "a positive integer for quant_method \"awq\"")
    version = raw.get("version")
    if version is not None and (not isinstance(version, str) or version.lower() != "gemm"):
        fail("version", "\"gemm\" (or absent): it is the only AWQ layout this engine reads "
                        "(\"gemv\" packs along the input features)")
    if not flag("zero_point", True):
        fail("zero_point", "true (or absent): this engine reads AWQ files with zeros")
    return QuantizationConfig("awq", 4, group, False, 0, False)


def _check_unconverted(raw, source, fail):
    """Lists that would leave some of the projections unquantized are refused: this engine expects
    all seven of every layer quantized."""
    skip = raw.get("modules_to_not_convert")
    if skip is not None:
        if not isinstance(skip, list) or not all(isinstance(s, str) for s in skip):
            fail("modules_to_not_convert", "null or a list of module names")
        # A module is left out when an entry is part of its name (layer numbers below 1000 are
        # tried: more than any model has).
        for s in skip:
            if s and any(s in f"model.layers.{i}.{p}" for p in QUANTIZED_PROJECTIONS
                         for i in range(1000)):
                fail("modules_to_not_convert", "free of the decoder layers' projections (this "
                                               "engine reads all seven of every layer quantized)")
    listed = raw.get("modules_in_block_to_quantize")
    if listed is not None:
        flat = []
        for item in listed if isinstance(listed, list) else [None]:
            flat.extend(item if isinstance(item, list) else [item])
        if not all(isinstance(s, str) for s in flat) or set(QUANTIZED_PROJECTIONS) - set(flat):
            fail("modules_in_block_to_quantize", "null or lists naming all seven projections "
                                                 f"({', '.join(QUANTIZED_PROJECTIONS)})")


def packing_problem(qc: QuantizationConfig, k: int, n: int, k_keys: Optional[str] = None,
                    n_keys: Optional[str] = None) -> Optional[Tuple[str, str]]:
    """(tensor suffix, why) when a projection of k inputs and n outputs cannot be packed as `qc`
    says, else None; k_keys and n_keys name the config keys k and n follow from."""
    inputs = f"its {k} input features" + (f" ({k_keys} of config.json)" if k_keys else "")
    outputs = f"its {n} outputs" + (f" ({n_keys} of config.json)" if n_keys else "")
    if qc.method == "gptq":
        per = 32 // qc.bits
        if k % per:
            return "qweight", (f"{inputs} are not a multiple of {per}: qweight packs {per} "
                               f"{qc.bits}-bit codes per int32 along the inputs")
        if n % per:
            return "qzeros", (f"{outputs} are not a multiple of {per}: qzeros packs {per} "
                              f"{qc.bits}-bit zeros per int32 along the outputs")
        return None
    if n % 8:
        return "qweight", (f"{outputs} are not a multiple of 8: AWQ packs 8 codes per int32 "
                           f"along them")
    if k % qc.group_size:
        return "scales", (f"{inputs} are not a multiple of quantization_config.group_size "
                          f"{qc.group_size}")
    return None


def packed_layout(qc: QuantizationConfig, k: int, n: int, k_keys: str = "K",
                  n_keys: str = "N") -> Dict[str, Tuple[Tuple[int, ...], str]]:
    """suffix -> (shape, the formula of the shape in k_keys and n_keys) of the tensors of a
    projection of k inputs and n outputs (packing_problem must be None)."""
    b, g = qc.bits, qc.group(k)
    if qc.method == "gptq":
        groups = "1" if qc.group_size == -1 else f"ceil({k_keys} / {g})"
        rows = qc.groups(k)
        return {"qweight": ((k * b // 32, n), f"{k_keys} * {b} / 32, {n_keys}"),
                "qzeros": ((rows, n * b // 32), f"{groups}, {n_keys} * {b} / 32"),
                "scales": ((rows, n), f"{groups}, {n_keys}"),
                "g_idx": ((k,), k_keys)}
    return {"qweight": ((k, n // 8), f"{k_keys}, {n_keys} / 8"),
            "qzeros": ((k // g, n // 8), f"{k_keys} / {g}, {n_keys} / 8"),
            "scales": ((k // g, n), f"{k_keys} / {g}, {n_keys}")}


@dataclass
class QuantizedTensor:
    """A decoded projection: the dequantized weight (n, k) is
    scales[n, g_idx[k]] * (codes[n, k] - zeros[n, g_idx[k]])."""
    codes: torch.Tensor  # uint8 [N, K], input features in the file's order
    scales: torch.Tensor  # float16 [N, G]
    zeros: torch.Tensor  # int16 [N, G], true zeros
    g_idx: torch.Tensor  # int64 [K], the group of input feature k
    group_size: int  # resolved (K when the file says -1)

    def dequantize(self) -> torch.Tensor:
        """The weight as float32 [N, K]."""
        g = self.g_idx
        return self.scales.float()[:, g] * (self.codes.to(torch.int16) - self.zeros[:, g]).float()


def _split(octets, out):
    """out[..., 0] = the low nibble, out[..., 1] = the high nibble of every byte of `octets`."""
    torch.bitwise_and(octets, 15, out=out[..., 0])
    torch.bitwise_right_shift(octets, 4, out=out[..., 1])


# The unpacking below reads the int32 words' bytes in place: safetensors is little-endian, as are
# the hosts this runs on, so byte j of a word holds its bits [8j, 8j + 8). Producing the codes is
# cheap; most of the time goes to touching the fresh output, so no temporary is larger than the
# packed words.

def _octets(words: torch.Tensor) -> torch.Tensor:
    """int32 [R, C] -> its bytes uint8 [R, 4·C], copied only when `words` is not row-major (a
    column [R, 1] or row [1, C] "is contiguous" at any stride: .contiguous() keeps it as it is,
    and a byte view needs the strides themselves)."""
    r, c = words.shape
    if words.stride(1) != 1 or (r > 1 and words.stride(0) != c):
        words = words.clone(memory_format=torch.contiguous_format)
    return words.view(torch.uint8)


def _unpack_rows(words: torch.Tensor, bits: int) -> torch.Tensor:
    """int32 [R, C] packed along C (unit j of a word at bits [b·j, b·j + b)) -> uint8
    [R, C·32/b], a new tensor."""
    r, c = words.shape
    if bits == 8:
        return words.clone(memory_format=torch.contiguous_format).view(torch.uint8)
    out = torch.empty((r, c * 8), dtype=torch.uint8)
    _split(_octets(words), out.view(r, c * 4, 2))
    return out


def _unpack_awq(words: torch.Tensor) -> torch.Tensor:
    """int32 [R, N/8] packed along N in AWQ's order -> uint8 [N, R] (transposed), a new tensor.
    The low nibble of byte b of a word holds column AWQ_ORDER[2b] = 4·(b % 2) + b // 2 of its
    eight, the high nibble AWQ_ORDER[2b + 1] = that + 2."""
    r, c = words.shape
    octets = _octets(words).t().contiguous()  # row 4w + b
    src = octets.view(c, 2, 2, r).permute(0, 2, 1, 3)  # [word, b % 2, b // 2, R]
    out = torch.empty((c, 2, 2, 2, r), dtype=torch.uint8)  # [word, b % 2, nibble, b // 2, R]
    _split(src, out.permute(0, 1, 3, 4, 2))
    return out.view(8 * c, r)


def read_quantized(ckpt, prefix: str, qc: QuantizationConfig, release: bool = True,
                   part: Optional[Tuple[int, int, int]] = None) -> QuantizedTensor:
    """Read, unpack and check the quantized projection `prefix` (e.g.
    "model.layers.0.self_attn.q_proj") of Checkpoint `ckpt`; its tensors are released from the
    checkpoint afterwards when `release`. The result owns its memory (nothing views the file).

    `part` = (dimension, start, stop) of the weight [N, K] reads only those outputs (dimension
    0) or inputs (dimension 1): of a mapped file, only the packed words, zeros and scales they
    need are read (g_idx, K entries, is read whole). A part of the inputs must hold whole groups
    of the file's."""
    present = set(ckpt.names())
    names = {s: f"{prefix}.{s}" for s in qc.tensors()
             if s not in OPTIONAL or f"{prefix}.{s}" in present}
    out = _decode({s: ckpt.tensor(name) for s, name in names.items()},
                  {s: f"{ckpt.file_of(name)}: tensor {name}" for s, name in names.items()}, qc,
                  part)
    if release:
        for name in names.values():
            ckpt.release(name)
    return out


def _decode(t: dict, where: dict, qc: QuantizationConfig, part=None) -> QuantizedTensor:
    """Decode the tensors `t` (suffix -> tensor; mapped ones are read only where `part` needs);
    where[suffix] starts its error messages."""
    def fail(suffix, why):
        raise CheckpointError(f"{where[suffix]}: {why}")

    for s, v in t.items():
        if v.dtype not in TENSOR_DTYPES[s]:
            fail(s, f"is {v.dtype}; {s} must be "
                    f"{' or '.join(str(d).replace('torch.', '') for d in TENSOR_DTYPES[s])}")
    if t["qweight"].dim() != 2 or 0 in t["qweight"].shape:
        fail("qweight", f"has shape {list(t['qweight'].shape)}; it must be a non-empty matrix")
    rows, cols = t["qweight"].shape
    k, n = (rows * 32 // qc.bits, cols) if qc.method == "gptq" else (rows, cols * 8)
    problem = packing_problem(qc, k, n)
    if problem is not None:
        fail(problem[0] if problem[0] in t else "qweight", problem[1])
    for s, (shape, formula) in packed_layout(qc, k, n).items():
        if s in t and tuple(t[s].shape) != shape:
            fail(s, f"has shape {list(t[s].shape)}, expected {list(shape)} = [{formula}] with "
                    f"K = {k} inputs and N = {n} outputs (from qweight)")

    group, groups = qc.group(k), qc.groups(k)
    plain = torch.arange(k) // group
    if "g_idx" not in t:
        g_idx = plain
    else:
        g_idx = t["g_idx"].to(torch.int64, copy=True)
        _check_g_idx(g_idx, plain, group, groups, fail)
    n0 = k0 = g0 = 0  # where a part starts in the file's weight [N, K] and scales [G, N]
    if part is not None:
        t, g_idx, group, (n0, k0, g0) = _part(t, g_idx, qc, k, group, part, fail)

    scales = t["scales"].t().clone(memory_format=torch.contiguous_format)
    bad = (~torch.isfinite(t["scales"])).nonzero()
    if len(bad):
        g, j = bad[0].tolist()
        fail("scales", f"holds {float(t['scales'][g, j])!r} at [{g + g0}, {j + n0}]; scales must "
                       f"be finite")
    if qc.method == "gptq":
        codes = _unpack_rows(t["qweight"].t(), qc.bits)
        stored = _unpack_rows(t["qzeros"], qc.bits).t()
    else:
        codes, stored = _unpack_awq(t["qweight"]), _unpack_awq(t["qzeros"])
    _check_sym_zeros(qc, stored, fail)
    # Stored zeros are below 2^b, so true ones are at most 2^b: int16 holds them.
    zeros = stored.to(torch.int16, memory_format=torch.contiguous_format) + qc.zero_offset
    _check_half_range(codes, scales, zeros, g_idx, qc.bits, fail, n0, k0)
    return QuantizedTensor(codes, scales, zeros, g_idx, group)


def _check_half_range(codes, scales, zeros, g_idx, bits, fail, n0, k0):
    """Refuses a weight s·(q - z) beyond half's range (the kernels compute it in half). As
    |q - z| <= 2^b, only rows with a scale of at least HALF_LIMIT / 2^b can hold one."""
    rows = (scales.float().abs() * (1 << bits) >= HALF_LIMIT).any(1).nonzero().flatten()
    for n in rows.tolist():
        w = (scales[n].float()[g_idx] * (codes[n].to(torch.int16) - zeros[n, g_idx]).float())
        bad = (~torch.isfinite(w.half())).nonzero()
        if len(bad):
            k = int(bad[0])
            g = int(g_idx[k])
            fail("scales", f"weight [{n + n0}, {k + k0}] = {float(scales[n, g])!r} · (code "
                           f"{int(codes[n, k])} - zero {int(zeros[n, g])}) does not fit in half "
                           f"precision (magnitude below {HALF_LIMIT:g})")


def _part(t: dict, g_idx, qc: QuantizationConfig, k: int, group: int, part, fail):
    """The views of the packed tensors `t` that hold part = (dimension, start, stop) of the
    weight [N, K], with the part's g_idx and group size, and where it starts: (output, input,
    group)."""
    dim, a, b = part
    per = 32 // qc.bits  # codes per int32 word
    if dim == 0:  # outputs a .. b - 1: columns of every tensor (packed ones by whole words)
        unit = per if qc.method == "gptq" else 8
        if a % unit or b % unit:
            fail("qzeros", f"outputs {a} .. {b - 1} do not start and end on a packed word "
                           f"({unit} outputs)")
        packed = (lambda v: v[:, a // unit:b // unit])
        t = dict(t, qzeros=packed(t["qzeros"]), scales=t["scales"][:, a:b],
                 qweight=t["qweight"][:, a:b] if qc.method == "gptq" else packed(t["qweight"]))
        return t, g_idx, group, (a, 0, 0)
    one_group = t["scales"].shape[0] == 1  # (GPTQ's one group per row: any slice is that group)
    g0, g1 = (0, 1) if one_group else (a // group, b // group)
    idx = g_idx[a:b]
    if qc.method == "gptq" and (a % per or b % per):
        fail("qweight", f"this rank's inputs {a} .. {b - 1} do not start and end on a packed "
                        f"word ({per} inputs)")
    if not one_group and (a % group or b % group or not bool(((idx >= g0) & (idx < g1)).all())):
        fail("qweight", f"this rank's inputs {a} .. {b - 1} of {k} do not hold whole groups of "
                        f"{group} (act-order, or a group straddling the split)")
    rows = slice(a // per, b // per) if qc.method == "gptq" else slice(a, b)
    t = dict(t, qweight=t["qweight"][rows], qzeros=t["qzeros"][g0:g1], scales=t["scales"][g0:g1])
    return (t, idx * 0 if one_group else idx - g0, b - a if one_group else group, (0, a, g0))


def _check_sym_zeros(qc, stored, fail):
    """A symmetric GPTQ file stores 2^(b-1) - 1 in format "gptq" and 2^(b-1) in "gptq_v2"; one whose
    every zero is the other format's value says the wrong format and would decode off by one."""
    if qc.method != "gptq" or not qc.sym or stored.numel() == 0:
        return
    mid = 1 << (qc.bits - 1)
    other = mid if qc.zero_offset == 1 else mid - 1
    if bool((stored == other).all()):
        said, looks = ("\"gptq\" (or absent)", "gptq_v2") if qc.zero_offset == 1 \
            else ("\"gptq_v2\"", "gptq")
        fail("qzeros", f"every stored zero is {other}, which is how checkpoint format "
                       f"\"{looks}\" stores a symmetric {qc.bits}-bit file; config.json's "
                       f"quantization_config.checkpoint_format is {said}, which stores "
                       f"{mid - qc.zero_offset}: the file looks like \"{looks}\"")


def _check_g_idx(g_idx, plain, group, groups, fail):
    """Every entry names a group, and (unless it is the plain k // group) every group holds
    `group` input features, the last one what remains."""
    outside = ((g_idx < 0) | (g_idx >= groups)).nonzero()
    if len(outside):
        i = int(outside[0])
        fail("g_idx", f"g_idx[{i}] is {int(g_idx[i])}, outside [0, {groups}) (the {groups} "
                      f"groups of {group} input features)")
    if torch.equal(g_idx, plain):
        return
    counts = torch.bincount(g_idx, minlength=groups)
    wanted = torch.bincount(plain, minlength=groups)
    wrong = (counts != wanted).nonzero()
    if len(wrong):
        g = int(wrong[0])
        fail("g_idx", f"puts {int(counts[g])} input features in group {g}, expected "
                      f"{int(wanted[g])}: every group holds group_size features")
