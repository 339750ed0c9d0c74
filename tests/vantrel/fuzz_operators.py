"""Seeded fuzzing of vantrel.forward, sdp_forward, forward_quantized and the decoding step's fused
operators (add_rms_norm, rotary_cache, silu_mul) against an oracle that looks only at the arguments.

Every call is generated from (seed, operator, index) alone, so one line reproduces it. A call either
returns what the host models (kernel paths, bit for bit) or float64 within float accumulation
bounds (PyTorch's path) say, or raises one of the errors its faults allow. forward_quantized must
return vantrel.forward's result on the weights vantrel.dequantize_weights gives, bit for bit. The
fused operators must match their host models bit for bit, in the tensors they write in place too,
and change no other byte of any storage they were given. forward_quantized and the fused operators
are also called through PyTorch's dispatcher. After every call no launch may have failed.

    PYTHONPATH=build/lib /usr/bin/python3 tests/vantrel/fuzz_operators.py --calls 20000 --seed 1
    PYTHONPATH=build/lib /usr/bin/python3 tests/vantrel/fuzz_operators.py --seed 1 --op forward \
        --index 123 -v
"""
import argparse
import collections
import dataclasses
import math
import re
import sys
import time
from typing import Optional

import numpy as np

import torch
import xpuemu
import vantrel
from host_models import (add_rms_norm_model, linear_model, rotary_cache_model, sdp_model,
                         sdp_variant, silu_mul_model)

OPS = ("forward", "sdp_forward", "forward_quantized", "add_rms_norm", "rotary_cache", "silu_mul")
H16, F32, F64 = torch.half, torch.float, torch.double
OTHER_TYPES = (torch.bfloat16, torch.int32, torch.int64, torch.int16, torch.int8, torch.uint8,
               torch.bool, torch.complex64)
TYPE_NAME = {t: torch.empty(0, dtype=t).type()[6:-6] for t in (H16, F32, F64, *OTHER_TYPES)}
HUGE = 2 ** 40
BIG_OUTPUT = 1 << 30  # bytes; a result this large may fail to allocate
ARITY = ["ARGS+1", "ARGS-1", "KWARGS"]  # markers: an argument more or less, or a keyword misspelt
NON_TENSORS = [None, 1, 2.5, "x", [[1.0, 2.0]], (1,), np.zeros((2, 2), np.float16), object(),
               *ARITY]


# ---- arguments -----------------------------------------------------------------------------------

@dataclasses.dataclass
class Operand:
    """A tensor argument: `shape` viewed with `strides` (None: contiguous) at `offset` elements of
    random values, maybe a lazy negation view, on `device`; a view of the storage of the earlier
    argument `share` (with `reinterpret`, of its bytes as another element type)."""
    shape: tuple
    dtype: torch.dtype
    device: str = "xpu"
    strides: Optional[tuple] = None
    offset: int = 0
    neg: bool = False
    fill: str = "normal"
    share: Optional[str] = None
    reinterpret: bool = False

    def strides_or_default(self):
        if self.strides is not None:
            return self.strides
        st, acc = [], 1
        for s in reversed(self.shape):
            st.append(acc)
            acc *= max(s, 1)
        return tuple(reversed(st))

    def transpose(self):
        """Views the last two dimensions as the transpose of a contiguous tensor."""
        st = Operand(self.shape[:-2] + self.shape[:-3:-1], self.dtype).strides_or_default()
        self.strides = st[:-2] + st[:-3:-1]

    def every_other(self, rng):
        """Takes every other element along one random dimension."""
        st = list(self.strides_or_default())
        st[int(rng.integers(0, len(self.shape)))] *= 2
        self.strides = tuple(st)

    def extent(self):
        """Storage elements the view reaches."""
        if 0 in self.shape:
            return self.offset
        return self.offset + 1 + sum((s - 1) * st
                                     for s, st in zip(self.shape, self.strides_or_default()))

    def __str__(self):
        st = "" if self.strides is None else f" strides={self.strides}"
        extra = "".join(f" {k}={v}" for k, v in (("offset", self.offset), ("neg", self.neg),
                                                  ("fill", self.fill), ("share", self.share),
                                                  ("reinterpret", self.reinterpret))
                        if v and v != "normal")
        return f"{self.device}:{str(self.dtype)[6:]}{list(self.shape)}{st}{extra}"


def random_storage(rng, n, dtype, fill, scale=1.0):
    if dtype == torch.bool:
        return torch.from_numpy(rng.integers(0, 2, n).astype(bool))
    if not (dtype.is_floating_point or dtype.is_complex):
        if fill == "codes":  # packed codes: every byte value
            return torch.from_numpy(rng.integers(0, 256, n)).to(dtype)
        if fill.startswith("zeros"):  # zero points of b-bit codes, 0 .. 2^b
            return torch.from_numpy(rng.integers(0, 2 ** int(fill[5:]) + 1, n)).to(dtype)
        return torch.from_numpy(rng.integers(-50, 50, n)).to(dtype)
    a = rng.standard_normal(n) * (30 if fill == "big" else scale)
    if fill == "exact":  # small integers: every product and partial sum exact in half
        a = rng.integers(-2, 3, n).astype(np.float64)
    elif fill == "wild":  # large, tiny, infinite and NaN values among normal ones
        pick = rng.integers(0, 12, n)
        a = np.select([pick == 0, pick == 1, pick == 2, pick == 3],
                      [a * 3e4, a * 1e-6, np.inf * np.sign(a), np.nan], a)
    return torch.from_numpy(a).to(dtype)


# Spread of the random values by argument name: weights and scales of moderate size, so that most
# sums stay finite in half.
FILL_SCALE = {"weights": 0.125, "scales": 2.0 ** -6}


def itemsize(dtype):
    return torch.empty((), dtype=dtype).element_size()


def reinterpreted(flat, dtype):
    """The bytes of the 1-D tensor `flat` as elements of `dtype` (a whole number of them)."""
    if flat.numel() == 0:
        return torch.empty(0, dtype=dtype, device=flat.device)
    raw = flat.view(torch.uint8)
    return raw[:len(raw) - len(raw) % itemsize(dtype)].view(dtype)


class Built:
    """The tensors of a call on their devices, plus float64 CPU copies of their logical values."""

    def __init__(self, rng, plan):
        self.plan, self.tensors, self._views = plan, {}, {}
        # name -> (CPU storage as generated, device, device storage), shared by its views
        self.storages = storages = {}
        need = {n: s.extent() for n, s in plan.items() if isinstance(s, Operand)}
        for name, s in plan.items():
            same = next((n for n in self.tensors if plan[n] is s), None)
            if same is not None:  # the very same tensor object again
                self.tensors[name] = self.tensors[same]
                if same in self._views:
                    self._views[name] = self._views[same]
                continue
            if not isinstance(s, Operand):
                self.tensors[name] = s
                continue
            if s.device == "meta":
                self.tensors[name] = torch.empty(s.shape, dtype=s.dtype, device="meta")
                continue
            owner = s.share if s.share in storages and (storages[s.share][0].dtype == s.dtype or
                                                        s.reinterpret) \
                and storages[s.share][1] == s.device else None
            if owner is None:
                views = [(need[m], o) for m, o in plan.items()
                         if isinstance(o, Operand) and o.share == name]
                size = max([need[name]] + [-(-n * itemsize(o.dtype) // itemsize(s.dtype))
                                           if o.reinterpret else n for n, o in views])
                cpu = random_storage(rng, size, s.dtype, s.fill, FILL_SCALE.get(name, 1.0))
                storages[name] = (cpu, s.device, cpu.to(s.device))
            else:
                storages[name] = storages[owner]
            cpu, _, dev = storages[name]
            if cpu.dtype != s.dtype:  # another element type over the owner's bytes
                cpu, dev = reinterpreted(cpu, s.dtype), reinterpreted(dev, s.dtype)
            st = s.strides_or_default()
            t = dev.as_strided(s.shape, st, s.offset)
            self._views[name] = (cpu.as_strided(s.shape, st, s.offset), s.neg)
            self.tensors[name] = torch._neg_view(t) if s.neg else t

    def values(self, name):
        """float64 logical values (negation applied)."""
        view, neg = self._views[name]
        if view.numel() > 1e8:
            raise MemoryError(f"{name} is too large to check")
        v = view.to(torch.float64)
        return -v if neg else v

    def written(self, writes):
        """Problem text, or None when each contiguous view of `writes`, name -> (expected values,
        mask of the elements written or None for all), holds the expected bits where written and
        no other byte of any storage of the call has changed."""
        for name, (want, mask) in writes.items():
            got = self.tensors[name].cpu().numpy()
            problem = same_bits(got, want if mask is None else np.where(mask, want, got))
            if problem:
                return f"{name} after the call: {problem}"
        owners = {}
        for name, entry in self.storages.items():
            owners.setdefault(id(entry[0]), (entry, []))[1].append(name)
        for (cpu, _, dev), names in owners.values():
            if cpu.numel() == 0:
                continue
            changed = cpu.view(torch.uint8).numpy() != dev.cpu().view(torch.uint8).numpy()
            for name, (want, mask) in writes.items():
                if name not in names:
                    continue
                s, es = self.plan[name], itemsize(self.plan[name].dtype)
                assert self.tensors[name].is_contiguous()
                elements = np.arange(want.size) if mask is None else np.flatnonzero(mask)
                changed[((s.offset + elements)[:, None] * es + np.arange(es)).ravel()] = False
            if changed.any():
                return f"byte {int(np.argmax(changed))} of the storage of {'/'.join(names)} " \
                       f"changed ({int(changed.sum())} bytes), which the call does not write"
        return None


# ---- mutations the operators share ---------------------------------------------------------------

def pick(rng, seq):
    return seq[int(rng.integers(0, len(seq)))]


def mutate_common(rng, plan, name, what, choices=None):
    """Mutation `what` of argument `name`; `choices` are the element types, offsets or values to
    pick from."""
    s = plan[name]
    if what == "dtype":
        s.dtype = pick(rng, choices)
    elif what == "device":  # the dispatcher would take meta tensors to the shape function
        s.device = "cpu" if rng.random() < 0.8 or via_dispatcher(plan) else "meta"
    elif (what == "transpose" and len(s.shape) >= 2) or (what == "transpose 2-D" and
                                                         len(s.shape) == 2):
        s.transpose()
    elif what == "every other" and s.shape:
        s.every_other(rng)
    elif what == "expand" and s.shape:  # zero strides
        s.strides = tuple(0 if rng.random() < 0.5 else st for st in s.strides_or_default())
    elif what == "offset":  # misaligned for the kernels unless a multiple of 4 bytes
        s.offset = int(rng.choice(choices))
    elif what == "neg":
        s.neg = True
    elif what == "wild":
        s.fill = "wild"
    elif what == "value":  # not a tensor, or an arity marker
        plan[name] = pick(rng, choices)


def view_other(rng, plan, name, other, offset=True):
    """Aliasing: `name` views the storage of `other`, with its element type."""
    o = plan[other]
    if other != name and isinstance(o, Operand) and o.share != name:
        s = plan[name]
        s.share, s.dtype, s.device = other, o.dtype, o.device
        if offset:
            s.offset = int(rng.integers(0, 40)) * 2


def size_off(rng, s, deltas):
    """One size of `s` changed by one of `deltas`."""
    sh = list(s.shape)
    d = int(rng.integers(0, len(sh)))
    sh[d] = max(0, sh[d] + int(rng.choice(deltas)))
    s.shape, s.strides = tuple(sh), None


# ---- outcomes ------------------------------------------------------------------------------------

@dataclasses.dataclass
class Expect:
    """Either `errors` (acceptable (type, regex) pairs, one of which must be raised) or a result
    of `shape` checked by `check(y) -> problem or None`, launching `kernel`."""
    errors: list = dataclasses.field(default_factory=list)
    shape: tuple = ()
    dtype: object = None  # a torch.dtype, or a tuple of acceptable ones
    check: object = None
    kind: str = ""
    kernel: Optional[str] = None


class Refusal(Exception):
    """Raised by an oracle with its arguments, (type, regex) pairs: the call must raise one."""


def refused(message):
    """The RuntimeError of a message starting with `message`."""
    return (RuntimeError, "^" + re.escape(message))


def require(ok, message):
    if not ok:
        raise Refusal(refused(message))


TYPE_ERROR = (TypeError, ".*incompatible function arguments")
INDEX_ERROR = (IndexError, "")
OUT_OF_MEMORY = (RuntimeError, "out of memory")
ALLOC_ERROR = (RuntimeError, "(?i)alloc|memory|size calculation overflowed")


def is_tensor(t):
    return isinstance(t, torch.Tensor)


def same_bits(y, expected):
    """Problem text, or None when y has the bits of `expected` (NaN where it has NaN)."""
    y, expected = np.asarray(y), np.asarray(expected)
    if y.shape != expected.shape:
        return f"shape {y.shape}, model {expected.shape}"
    nan = np.isnan(expected)
    bad = (np.isnan(y) != nan) | (~nan & (y.view(np.uint8 if y.dtype.itemsize == 1 else
                                                 f"u{y.dtype.itemsize}")
                                          != expected.view(f"u{expected.dtype.itemsize}")))
    if bad.any():
        i = tuple(np.argwhere(bad)[0])
        return f"{int(bad.sum())} elements differ from the model, first at {i}: " \
               f"{y[i]!r} vs {expected[i]!r}"
    return None


def within_bound(y, x, w, u, out_half):
    """float accumulation: |y - x.w| <= gamma(K) |x|.|w| (+ one half rounding when out_half);
    non-finite only where the float64 product is, or where the sums may overflow."""
    K = x.shape[-1]
    with np.errstate(all="ignore"):
        exact, mag = x @ w.T, np.abs(x) @ np.abs(w).T
    n = K * u
    bound = n / (1 - n) * mag if n < 1 else np.full_like(mag, np.inf)
    top = 65504.0 if out_half else float(np.finfo(np.float32 if u > 1e-10 else np.float64).max)
    if out_half:
        bound = bound + (np.abs(exact) + bound) * 2.0 ** -11 + 2.0 ** -25
    y = y.astype(np.float64)
    with np.errstate(invalid="ignore"):
        finite = np.isfinite(exact) & np.isfinite(mag)
        may_overflow = ~finite | (mag * (1 + 2 * n) >= top) | (np.abs(exact) + bound >= top)
        ok = np.where(np.isnan(exact), np.isnan(y),
                      np.where(np.isinf(exact) & ~np.isnan(mag), (y == exact) | np.isnan(y),
                               (np.abs(y - exact) <= bound) | (~np.isfinite(y) & may_overflow)))
    if not ok.all():
        i = tuple(np.argwhere(~ok)[0])
        return f"{int((~ok).sum())} elements outside the bound, first at {i}: {y[i]} vs " \
               f"{exact[i]} (bound {bound[i]:.3g})"
    return None


def as_int(v, dispatcher):
    """The int a parameter receives, or None where the call refuses the value's type (PyTorch's
    dispatcher takes a bool and a NumPy integer as ints)."""
    if isinstance(v, bool):
        return int(v) if dispatcher else None
    if isinstance(v, int) or (dispatcher and isinstance(v, np.integer)):
        return int(v) if -2 ** 63 <= v < 2 ** 63 else None
    return None


def as_real(v, dispatcher):
    """The float a float parameter receives, or None where the call refuses the value's type."""
    if isinstance(v, bool):
        return float(v) if dispatcher else None
    if isinstance(v, (int, float)) or (dispatcher and isinstance(v, (np.integer, np.floating))):
        try:
            return float(v)
        except OverflowError:
            return None
    if dispatcher and is_tensor(v) and v.numel() == 1:
        return float(v)
    return None


def binds(v, kind, dispatcher):
    """Whether a value binds to a parameter of `kind` (the dispatcher binds None to a tensor)."""
    if kind in ("tensor", "optional"):
        return is_tensor(v) or (v is None and (dispatcher or kind == "optional"))
    return (as_int if kind == "int" else as_real)(v, dispatcher) is not None


def check_arity(op, first, dispatcher):
    """Raises the Refusal of a call with an argument more or less, or a keyword misspelt."""
    if isinstance(first, str) and first == "bad arity":
        raise Refusal((RuntimeError, "expected at most|missing value for argument|Expected a "
                                     "value of type") if dispatcher else
                      (TypeError, f"^{op}\\(\\): incompatible function arguments"))


def bad_argument(op, i, name):
    """The TypeError of vantrel's binding for argument i, `name`, of a wrong type."""
    return (TypeError, f"^{op}\\(\\): incompatible function arguments: argument {i} "
                       f"\\({name}\\) must be ")


# ---- vantrel.forward -----------------------------------------------------------------------------

KERNEL_WIDTHS = vantrel.linear_widths()
MAX_ROWS = vantrel.LINEAR_MAX_ROWS
# Output features N must be a multiple of this for a layout's kernels; the arranged weights come in
# blocks of that many output features (on every path).
N_MULTIPLE = {layout: d["n_multiple"]
              for layout, d in vantrel.kernel_table()["linear"]["layouts"].items()}
BLOCK = N_MULTIPLE["arranged"]


def is_arranged(K):
    return vantrel.linear_layout(K) == "arranged"


def gen_forward(rng):
    if rng.random() < 0.45:  # a kernel's width
        dt, K, M = H16, int(rng.choice(KERNEL_WIDTHS)), int(rng.integers(1, MAX_ROWS + 1))
        multiple = N_MULTIPLE[vantrel.linear_layout(K)]
        N = multiple * int(rng.integers(0, 4))
        if rng.random() < 0.004:  # a full layer
            N = 4096 if rng.random() < 0.5 else 11008 - 11008 % multiple
        x_shape = (M, K)
    else:
        dt = [H16, F32, F64][rng.integers(0, 3)]
        K = int(rng.choice([0, 1, 3, 17, 64, 100, 1376, 4096, 5120, 11008, 14336]))
        M = int(rng.choice([0, 1, 2, 5, 9, 12]))
        N = int(rng.choice([0, 1, 3, 16, 32]))
        x_shape = (M, K) if rng.random() < 0.7 else \
            tuple(int(d) for d in rng.integers(0, 4, rng.integers(1, 3))) + (K,)
    if is_arranged(K):
        N = N // BLOCK * BLOCK
    w_shape = (N // BLOCK, K, BLOCK) if is_arranged(K) and rng.random() < 0.5 else (N, K)
    fill = "wild" if rng.random() < 0.1 else "exact" if rng.random() < 0.1 else "normal"
    plan = {"input": Operand(x_shape, dt, fill=fill), "weights": Operand(w_shape, dt, fill=fill)}
    for _ in range(rng.poisson(0.8)):
        mutate_forward(rng, plan)
    return plan


FORWARD_MUTATIONS = {0: ("dtype", [H16, F32, F64, *OTHER_TYPES]), 1: ("device",),
                     2: ("transpose",), 3: ("every other",), 4: ("expand",),
                     5: ("offset", [1, 2, 3, 5, 8]), 6: ("neg",), 13: ("value", NON_TENSORS),
                     14: ("wild",)}


def mutate_forward(rng, plan):
    name = ["input", "weights"][rng.integers(0, 2)]
    s = plan[name]
    if not isinstance(s, Operand):
        return
    m = int(rng.integers(0, 15))
    if m in FORWARD_MUTATIONS:
        mutate_common(rng, plan, name, *FORWARD_MUTATIONS[m])
    elif m == 7 and name == "input":  # rank
        K = s.shape[-1] if s.shape else 64
        s.shape, s.strides = pick(rng, [(), (K,), (2, 1, K), (1, 1, 2, K)]), None
    elif m == 8 and name == "input" and s.shape:
        s.shape = (int(rng.choice([0, 9, 16, 1])),) + s.shape[1:]
    elif m == 9 and name == "input" and s.shape:
        s.shape = s.shape[:-1] + (int(rng.choice([1, 64, 256, 1376, 4095, 4096, 4097, 8192, 11008,
                                                  13824])),)
    elif m == 10 and name == "weights":
        K = s.shape[1] if len(s.shape) > 1 else 64
        s.shape = pick(rng, [(24, K), (6, K), (2, K, 8), (16 * K,), (), (1, 2, K, 16), (1, K, 4)])
        s.strides = None
    elif m == 11:  # one tensor views the other's storage
        view_other(rng, plan, name, "weights" if name == "input" else "input")
    elif m == 12:  # huge by metadata: zero strides, or a zero extent beside huge ones
        if rng.random() < 0.5 and s.shape:
            s.shape = (HUGE,) + s.shape[1:]
            s.strides = (0,) * len(s.shape)
        else:
            s.shape, s.strides = pick(rng, [(HUGE, 0), (0, HUGE), (0, HUGE, 16)]), None


def expect_forward(b):
    x, w = b.tensors["input"], b.tensors["weights"]
    if not (is_tensor(x) and is_tensor(w)):
        raise Refusal(TYPE_ERROR)
    for name, t in (("input", x), ("weights", w)):
        require(t.device.type == "xpu", f"{name} must be a XPU tensor")
        require(t.is_contiguous(), f"{name} must be contiguous")
    errors, pending = [], []
    if x.dtype not in (H16, F32, F64):
        errors.append(refused(f"\"qlinear_forward_xpu\" not implemented for "
                              f"'{TYPE_NAME[x.dtype]}'"))
    elif w.dtype != x.dtype and x.dtype == H16:
        errors.append(refused(f"expected scalar type Half but found {TYPE_NAME[w.dtype]}"))
    elif w.dtype != x.dtype:  # PyTorch's own check, after the layout's; an empty operand may
        pending.append((RuntimeError, "expected (scalar type|.*same dtype)"))  # skip it
        if w.is_neg() and w.dtype == torch.bool:  # PyTorch cannot even negate it first
            pending.append(refused("\"neg_cpu\" not implemented for 'Bool'"))
    if x.dim() < 2 or w.dim() == 0:  # a size accessor may fail before the types are looked at
        errors.append(INDEX_ERROR)
    if errors:
        raise Refusal(*errors)
    K = x.shape[-1]
    M = x.shape[0] if x.dim() == 2 else None
    half2d = x.dtype == H16 and x.dim() == 2 and K in KERNEL_WIDTHS
    kernel = vantrel.linear_kernel(M, K) if half2d else None
    if half2d and M == 0:
        N = w.shape[0] * (w.shape[2] if w.dim() >= 3 else 1)
        return Expect(shape=(0, N), dtype=x.dtype, kind="empty", check=lambda y: None)
    if is_arranged(K):
        if not (w.dim() in (2, 3) and w.shape[1] == K and
                (w.shape[0] % BLOCK == 0 if w.dim() == 2 else w.shape[2] == BLOCK)):
            raise Refusal(*pending, refused(f"weights must be [N/16, {K}, 16] or [N, {K}] with N "
                                            "a multiple of 16"))
        N = w.shape[0] * (BLOCK if w.dim() == 3 else 1)
    elif kernel:
        require(w.dim() == 2 and w.shape[1] == K and w.shape[0] % N_MULTIPLE["row_major"] == 0,
                f"weights must be [N, {K}] with N a multiple of 4")
        N = w.shape[0]
    else:
        if not (w.dim() == 2 and w.shape[1] == K):
            raise Refusal(*pending, refused(f"weights must be [N, {K}] (row-major) for an input "
                                            f"with {K} features"))
        N = w.shape[0]
    if pending and x.numel() and w.numel():
        raise Refusal(*pending)
    soft = pending
    if kernel:
        for name, t in (("input", x), ("weights", w)):
            if t.data_ptr() % 4:  # soft for a negation view: its materialised copy is aligned
                (soft if t.is_neg() else errors).append(
                    (RuntimeError, f"^{name} data must start at a 4-byte aligned"))
        if errors:
            raise Refusal(*errors, *soft)
    shape = tuple(x.shape[:-1]) + (N,)
    out_bytes = math.prod(shape) * x.element_size()

    def rowmajor():
        wv = b.values("weights")
        if is_arranged(K):
            wv = wv.reshape(N // BLOCK, K, BLOCK).transpose(1, 2).reshape(N, K)
        rows = math.prod(x.shape[:-1])
        return b.values("input").reshape(rows, K).numpy(), wv.numpy()

    if kernel:
        def check(y):
            xv, wv = rowmajor()
            cols = np.arange(N)
            if N > 64:  # wide layers: the first and last groups and a sample of the rest
                sample = np.random.default_rng(N).choice(N, 32, replace=False)
                cols = np.unique(np.r_[0:16, N - 16:N, sample])
            with np.errstate(all="ignore"):
                expected = linear_model(K)(xv.astype(np.float16), wv[cols].astype(np.float16))
            return same_bits(y.numpy()[:, cols], expected)
        return Expect(soft, shape=shape, dtype=x.dtype, check=check, kind=f"kernel K={K}",
                      kernel=kernel if N else None)

    def check(y):
        if out_bytes > BIG_OUTPUT or y.numel() == 0:
            return None
        xv, wv = rowmajor()
        u = 2.0 ** -53 if x.dtype == F64 else 2.0 ** -24
        return within_bound(y.reshape(len(xv), N).double().numpy(), xv, wv, u, x.dtype == H16)

    if out_bytes > BIG_OUTPUT:
        soft.append(ALLOC_ERROR)
    # Operands of two types whose product is empty: PyTorch's batched path may skip its type
    # check and return the weights' type.
    dtype = (x.dtype, w.dtype) if w.dtype != x.dtype else x.dtype
    return Expect(soft, shape=shape, dtype=dtype, check=check,
                  kind=f"pytorch {TYPE_NAME[x.dtype]}")


# ---- vantrel.forward_quantized -------------------------------------------------------------------

QUANT_BITS, QUANT_GROUPS = vantrel.QUANT_BITS, vantrel.QUANT_GROUP_SIZES
# Widths of the calls that take PyTorch's path: without a kernel (0: no features at all) and with
# one (more rows, more dimensions, float inputs).
QUANT_OTHER_WIDTHS = (0, 32, 64, 96, 160, 384, 1376, 4096, 5120, 11008)
QUANT_PARAMS = (("input", "tensor"), ("qweight", "tensor"), ("scales", "tensor"),
                ("zeros", "optional"), ("bits", "int"), ("group_size", "int"))
QUANT_NAMES = tuple(n for n, _ in QUANT_PARAMS)
# Values of an int parameter that are not Python ints: refused by vantrel's binding; PyTorch's
# dispatcher takes a bool and a NumPy integer as ints.
BAD_INTS = [4.0, True, "4", None, 2 ** 70, np.int64(8)]


def packed_shapes(K, N, bits, g):
    """(qweight, scales) shapes in the layout of width K (zeros have the scales' shape)."""
    if is_arranged(K):
        return (N // BLOCK, K, BLOCK * bits // 8), (N // BLOCK, K // g, BLOCK)
    return (N, K * bits // 8), (N, K // g)


def gen_quantized(rng):
    bits = int(rng.choice(QUANT_BITS))
    if rng.random() < 0.55:  # a packed kernel, either layout alike
        layout = ("arranged", "row_major")[rng.integers(0, 2)]
        dt, M = H16, int(rng.integers(1, MAX_ROWS + 1))
        K = int(rng.choice(vantrel.linear_widths(layout)))
        N = N_MULTIPLE[vantrel.linear_layout(K)] * int(rng.integers(0, 5))
        x_shape = (M, K)
    else:
        dt = [H16, F32, F64][rng.integers(0, 3)]
        K = int(rng.choice(QUANT_OTHER_WIDTHS))
        M = int(rng.choice([0, 1, 2, 9, 12]))
        N = int(rng.choice([0, 3, 4, 16, 32]))
        if vantrel.linear_layout(K):
            N -= N % N_MULTIPLE[vantrel.linear_layout(K)]
        x_shape = (M, K) if rng.random() < 0.6 else \
            tuple(int(d) for d in rng.integers(0, 4, rng.integers(1, 3))) + (K,)
    g = int(rng.choice([g for g in QUANT_GROUPS if K % g == 0]))
    q_shape, s_shape = packed_shapes(K, N, bits, g)
    fill = "wild" if rng.random() < 0.08 else "normal"
    plan = {"input": Operand(x_shape, dt, fill=fill),
            "qweight": Operand(q_shape, torch.uint8, fill="codes"),
            "scales": Operand(s_shape, H16, fill=fill),
            "zeros": None if rng.random() < 0.4 else Operand(s_shape, torch.int16,
                                                             fill=f"zeros{bits}"),
            "bits": bits, "group_size": g, "route": route(rng)}
    for _ in range(rng.poisson(0.9)):
        mutate_quantized(rng, plan)
    return plan


QUANT_DTYPES = {"input": [H16, F32, F64, torch.bfloat16, torch.int32, torch.uint8],
                "qweight": [torch.uint8, torch.int8, torch.int16, H16, torch.bool],
                "scales": [H16, F32, F64, torch.bfloat16, torch.int16],
                "zeros": [torch.int16, torch.int32, torch.uint8, H16, torch.int64]}
QUANT_MUTATIONS = {1: ("device",), 2: ("transpose",), 3: ("every other",),
                   5: ("offset", [1, 2, 3, 5, 8]), 6: ("neg",), 9: ("value", NON_TENSORS),
                   10: ("wild",)}


def mutate_quantized(rng, plan):
    name = pick(rng, QUANT_NAMES)
    s = plan[name]
    if name in ("bits", "group_size"):
        r = rng.random()
        if r < 0.4:  # an int outside the lists, or the other valid one (shapes no longer fit)
            plan[name] = int(rng.choice([2, 3, 0, -4, 16]) if name == "bits" else
                             rng.choice([16, 0, 48, -32, 256, *QUANT_GROUPS]))
            if name == "bits" and rng.random() < 0.5:
                plan[name] = 12 - s if s in QUANT_BITS else 4
        else:
            plan[name] = pick(rng, BAD_INTS) if r < 0.9 else pick(rng, ARITY)
        return
    if name == "zeros" and (s is None or rng.random() < 0.15):  # symmetric codes or not
        scales = plan["scales"]
        plan[name] = Operand(scales.shape, torch.int16, fill="zeros4") \
            if s is None and isinstance(scales, Operand) else None
        return
    if not isinstance(s, Operand):
        return
    m = int(rng.integers(0, 12))
    if m in QUANT_MUTATIONS:
        mutate_common(rng, plan, name, *QUANT_MUTATIONS[m])
    elif m == 0:
        mutate_common(rng, plan, name, "dtype", QUANT_DTYPES[name])
    elif m == 4 and s.shape:  # expanded, or huge by metadata
        if rng.random() < 0.3:
            s.shape = (HUGE,) + tuple(s.shape[1:])
        mutate_common(rng, plan, name, "expand")
    elif m == 7 and name == "input":  # rank, rows, width
        K = s.shape[-1] if s.shape else 64
        r = rng.integers(0, 3)
        if r == 0:
            s.shape = pick(rng, [(), (K,), (2, 1, K), (1, 1, 2, K)])
        elif r == 1 and s.shape:
            s.shape = (int(rng.choice([0, 9, 16, 1])),) + tuple(s.shape[1:])
        elif s.shape:
            s.shape = tuple(s.shape[:-1]) + (int(rng.choice([K + 32, K + 128, 100, 4096,
                                                             11008, 1376])),)
        s.strides = None
    elif m == 7 and s.shape:  # a packed tensor's shape: one size off, a dimension more or less
        r = rng.integers(0, 3)
        if r == 0:
            return size_off(rng, s, [-1, 1, 16])
        sh = list(s.shape)
        if r == 1:
            sh = sh[:-1] if len(sh) > 1 else sh + [1]
        else:
            sh = sh + [1] if len(sh) < 3 else [sh[0] * BLOCK, sh[1] * sh[2] // BLOCK]
        s.shape, s.strides = tuple(sh), None
    elif m == 8:  # one tensor views another's storage
        view_other(rng, plan, name, pick(rng, QUANT_NAMES[:4]))
    elif m == 11 and name == "input" and s.shape:  # the other element types of PyTorch's path
        s.dtype = [F32, F64][rng.integers(0, 2)]


def expect_quantized(b):
    t, ops = b.tensors, via_dispatcher(b.plan)
    check_arity("forward_quantized", t["input"], ops)
    # Parameters whose value has a wrong type, in order: vantrel names the first; the dispatcher
    # names one of them, or a None tensor fails its device lookup.
    wrong = [n for n, kind in QUANT_PARAMS
             if not binds(t[n], kind, ops) or (kind == "tensor" and t[n] is None)]
    if wrong and ops:
        raise Refusal((RuntimeError, f"for argument '({'|'.join(wrong)})'|^tensor does not have "
                                     "a device"))
    if wrong:
        raise Refusal(bad_argument("forward_quantized", QUANT_NAMES.index(wrong[0]), wrong[0]))
    x, qw, sc, z = (t[n] for n in QUANT_NAMES[:4])
    if ops:  # the dispatcher hands the operator negated copies of negation views, in order
        resolved = []
        for v in (x, qw, sc, z):
            if v is not None and v.is_neg():
                if v.dtype == torch.bool:
                    raise Refusal((RuntimeError, "not implemented for 'Bool'"))
                if v.numel() * v.element_size() > BIG_OUTPUT:
                    raise Refusal(OUT_OF_MEMORY)
                v = v.resolve_neg()
            resolved.append(v)
        x, qw, sc, z = resolved
    bits, g = as_int(t["bits"], ops), as_int(t["group_size"], ops)
    tensors = [(n, v) for n, v in zip(QUANT_NAMES, (x, qw, sc, z)) if v is not None]
    for name, v in tensors:
        require(v.device.type == "xpu", f"{name} must be a XPU tensor")
    for name, v in tensors:
        require(v.is_contiguous(), f"{name} must be contiguous")
    require(x.dtype in (H16, F32, F64),
            f"input must be float16, float32 or float64, got {TYPE_NAME[x.dtype]}")
    for name, v, want, text in (("qweight", qw, torch.uint8, "uint8"),
                                ("scales", sc, H16, "float16"), ("zeros", z, torch.int16, "int16")):
        if v is not None:
            require(v.dtype == want, f"{name} must be {text}, got {TYPE_NAME[v.dtype]}")
    require(bits in QUANT_BITS, f"bits must be 4 or 8, got {bits}")
    require(g in QUANT_GROUPS, f"group_size must be 32, 64 or 128, got {g}")
    require(x.dim() >= 2, "input must be [M, K] or have more dimensions")
    K = x.shape[-1]
    require(K % g == 0, f"input width K = {K} must be a multiple of group_size = {g}")
    q_want, grid = packed_shapes(K, (qw.shape[0] if qw.dim() else 0) *
                                 (BLOCK if is_arranged(K) else 1), bits, g)
    if is_arranged(K):
        require(qw.dim() == 3 and tuple(qw.shape[1:]) == q_want[1:],
                f"qweight must be [N/16, {K}, {q_want[2]}] ({bits}-bit codes of width {K}")
    else:
        require(qw.dim() == 2 and qw.shape[1] == q_want[1],
                f"qweight must be [N, {q_want[1]}] ({bits}-bit codes of width {K}")
    N = qw.shape[0] * (BLOCK if is_arranged(K) else 1)
    for name, v in (("scales", sc), ("zeros", z)):
        require(v is None or tuple(v.shape) == grid,
                f"{name} must be [{', '.join(map(str, grid))}] (one per {g} input")
    layout = vantrel.linear_layout(K)
    require(not layout or N % N_MULTIPLE[layout] == 0,
            f"qweight must hold N a multiple of {N_MULTIPLE.get(layout)} outputs for K = {K}")
    M = x.shape[0] if x.dim() == 2 else None
    kernel = vantrel.quantized_kernel(M, K, bits, g) if x.dtype == H16 and x.dim() == 2 else None
    soft = []
    if kernel:  # the data pointers as passed: a negation view's copy is aligned, so it may pass
        for name, v in tensors:
            if v.data_ptr() % 4:
                problem = (RuntimeError, f"^{name} data must start at a 4-byte aligned")
                if not v.is_neg():
                    raise Refusal(problem, *soft)
                soft.append(problem)
    shape = tuple(x.shape[:-1]) + (N,)
    out_bytes = math.prod(shape) * x.element_size()
    if out_bytes > BIG_OUTPUT:
        soft.append(ALLOC_ERROR)

    def check(y):
        if out_bytes > BIG_OUTPUT or y.numel() == 0:
            return None
        # Materialised copies (negation applied, aliasing undone) of what the call was given.
        clean = [None if v is None else v.resolve_neg().clone() for v in (x, qw, sc, z)]
        w = vantrel.arrange_weights(vantrel.dequantize_weights(*clean[1:], bits, g))
        expected = vantrel.forward(clean[0], w if x.dtype == H16 else w.to(x.dtype))
        return same_bits(y.numpy(), expected.cpu().numpy())

    return Expect(soft, shape=shape, dtype=x.dtype, check=check,
                  kind=f"kernel {kernel}" if kernel else f"pytorch {TYPE_NAME[x.dtype]}",
                  kernel=kernel if kernel and N else None)


# ---- vantrel.sdp_forward -------------------------------------------------------------------------

HEAD_SIZES = vantrel.SDP_HEAD_SIZES
D = HEAD_SIZES[-1]  # the head size of most calls generated; the others take a smaller one
# The head sizes as the messages list them: "64 or 128".
HEAD_SIZES_TEXT = " or ".join(filter(None, [", ".join(map(str, HEAD_SIZES[:-1])),
                                            str(HEAD_SIZES[-1])]))
MAX_GROUP = vantrel.SDP_MAX_GROUP
# Work-items per key/value head of each attention kernel (see host_models.sdp_variant), for n keys.
ITEMS_PER_HEAD = {"Fp16Keys128": lambda n: n, "Fp16KeyBlocks64": lambda n: 64,
                  "Fp32KeyBlocks64": lambda n: 64}


def gen_sdp(rng):
    dt = H16 if rng.random() < 0.7 else F32
    D = HEAD_SIZES[-1] if rng.random() < 0.6 else int(rng.choice(HEAD_SIZES[:-1] or HEAD_SIZES))
    if rng.random() < 0.05:
        B, H, n = 1, 32, 128
    else:
        B = int(rng.choice([0, 1, 1, 2, 3], p=[0.05, 0.35, 0.2, 0.25, 0.15]))
        H = int(rng.choice([0, 1, 2, 4, 6, 8], p=[0.05, 0.3, 0.2, 0.15, 0.1, 0.2]))
        n = int(rng.choice([1, 2, 7, 8, 9, 13, 64, 100, 128, 129, 200]))
    fill = "wild" if rng.random() < 0.08 else "normal"
    q = Operand((B, H, 1, D), dt, fill=fill)
    H_kv = H  # grouped key/value heads: H_kv = H / G
    if H > 1 and rng.random() < 0.3:
        H_kv = H // int(rng.choice([g for g in (2, 3, 4, 6, 8) if H % g == 0]))
    k = Operand((B, H_kv, n, D), dt, fill=fill)
    if dt == H16 and rng.random() < 0.5:  # a view of a larger cache, a padded or permuted layout
        cap, hs = n + int(rng.integers(0, 40)), int(rng.choice([0, 0, 2, 64]))
        st = (H_kv * (cap * D + hs) + 2 * int(rng.integers(0, 3)), cap * D + hs, D, 1)
        if rng.random() < 0.2:
            st = (st[0], 0, D, 1) if rng.random() < 0.5 else (0, st[1], D, 1)
        k.strides = st
    v = dataclasses.replace(k)
    if rng.random() < 0.3 and rng.random() < 0.5:
        q.fill = "big"
    plan = {"q": q, "k": k, "v": k if rng.random() < 0.05 else v}
    for _ in range(rng.poisson(0.8)):
        mutate_sdp(rng, plan, D)
    return plan


SDP_MUTATIONS = {0: ("dtype", [H16, F32, F64, torch.bfloat16, torch.int32]), 1: ("device",),
                 6: ("offset", [1, 2, 3, 64, 128]), 7: ("neg",), 10: ("value", NON_TENSORS),
                 12: ("wild",)}


def mutate_sdp(rng, plan, D):
    name = pick(rng, "qkv")
    s = plan[name]
    if not isinstance(s, Operand):
        return
    m = int(rng.integers(0, 14))
    if m in SDP_MUTATIONS:
        mutate_common(rng, plan, name, *SDP_MUTATIONS[m])
    elif m == 2 and s.shape:  # shape
        sh = list(s.shape)
        d = int(rng.integers(0, len(sh)))
        sh[d] = int(rng.choice([0, 1, 2, 3, 64, 96, 127, 128, 129, 256]))
        s.shape, s.strides = tuple(sh), None
    elif m == 3:  # rank
        s.shape, s.strides = pick(rng, [s.shape[1:], s.shape + (1,), s.shape[2:], ()]), None
    elif m == 4 and len(s.shape) == 4:  # rows not D contiguous elements, or permuted
        st = list(s.strides_or_default())
        r = rng.integers(0, 3)
        if r == 0:
            st[2] = 130
        elif r == 1:
            st[2], st[3] = 1, max(s.shape[2], 1)
        else:
            st[0], st[1] = st[1], st[0]
        s.strides = tuple(st)
    elif m == 5 and len(s.shape) == 4:  # odd batch or head stride
        st = list(s.strides_or_default())
        st[int(rng.integers(0, 2))] += 1
        s.strides = tuple(st)
    elif m == 8:  # aliasing: this tensor views another's storage
        view_other(rng, plan, name, pick(rng, "qkv"), offset=False)
    elif m == 9 and len(s.shape) == 4:  # huge by metadata
        B, H = pick(rng, [(HUGE, 1), (1, HUGE), (2 ** 16, 2 ** 16), (2 ** 31, 1), (1, 2 ** 24)])
        if name == "q" and rng.random() < 0.5:
            s.shape, s.strides = (0, H, 1, D), None
        else:
            s.shape = (B, H) + s.shape[2:]
            s.strides = (0, 0, D if s.shape[2] > 1 else 0, 1)
    elif m == 11 and name != "q":  # kv_len of zero
        s.shape, s.strides = s.shape[:2] + (0,) + s.shape[3:], None
    elif m == 13 and name == "q":  # scores of +-1000 and beyond: weights overflow or vanish
        s.fill = "big"


def row_span_bytes(k):
    e = k.shape[2] * k.shape[3]
    for d in (0, 1):
        if k.shape[d] > 1:
            e += (k.shape[d] - 1) * k.stride(d)
    return e * k.element_size()


def expect_sdp(b):
    q, k, v = (b.tensors[n] for n in "qkv")
    if not all(is_tensor(t) for t in (q, k, v)):
        raise Refusal(TYPE_ERROR)
    for name, t in zip("qkv", (q, k, v)):
        require(t.device.type == "xpu", f"{name} must be a XPU tensor")
    hard, soft = [], []

    def add(cond, msg, neg=False):
        """A fault; one of a negation view's own layout is soft: a materialised copy has none."""
        if cond:
            (soft if neg else hard).append(refused(msg))

    D = q.shape[3] if q.dim() >= 4 else None  # the head size of q
    if q.dim() >= 4:
        add(q.shape[2] != 1, "q_len must be 1")
        add(D not in HEAD_SIZES, f"hidden dim must be {HEAD_SIZES_TEXT} for this kernel impl")
    add(q.dim() != 4, f"q must be 4-D [B, H, 1, D] with D = {HEAD_SIZES_TEXT}, got {q.dim()}")
    add(q.dtype not in (H16, F32), "q must be Half or Float")
    add(not q.is_contiguous(), "q must be contiguous", q.is_neg())
    B, H = (q.shape[0], q.shape[1]) if q.dim() >= 2 else (0, 0)
    k_ok = k.dim() == 4 and k.shape[0] == B and k.shape[3] == D
    add(not k_ok, f"k must be [B, H_kv, kv_len, D] with B = {B} and D = {D} of q")
    if k_ok:  # query head h reads key/value head h // G
        H_kv = k.shape[1]
        k_ok = (H % H_kv == 0) if H_kv else H == 0
        add(not k_ok, f"q and k: H = {H} of q must be a multiple of H_kv = {H_kv} of k")
        G = H // H_kv if H_kv else 1
        k_ok = k_ok and G <= MAX_GROUP
        add(H_kv and H % H_kv == 0 and G > MAX_GROUP,
            f"q and k: H = {H} of q must be at most {MAX_GROUP} times")
    add(k.dtype != q.dtype, "k must have the element type of q")
    add(v.shape != k.shape, "v must have the sizes of k")
    add(v.dtype != q.dtype, "v must have the element type of q")
    if k_ok:
        n = k.shape[2]
        rows = lambda t: t.stride(3) == 1 and (n == 1 or t.stride(2) == D)  # noqa: E731
        add(n < 1, "kv_len (k.size(2)) must be at least 1")
        add(not rows(k), f"k rows must be {D} contiguous elements", k.is_neg())
        if q.dtype == H16 and v.shape == k.shape:
            add(any(k.shape[d] > 1 and k.stride(d) != v.stride(d) for d in range(4)),
                "v must be laid out like k", k.is_neg() or v.is_neg())
            add(k.is_neg() and not rows(v), "v must be laid out like k", True)
        if q.dtype == F32:
            add(not k.is_contiguous(), "k must be contiguous for Float", k.is_neg())
            add(not v.is_contiguous(), "v must be contiguous for Float", v.is_neg())
        add(not (B < 2 ** 31 and H * D < 2 ** 31), f"q must have B < 2^31 and H * {D} < 2^31")
        add(q.numel() * q.element_size() > 2 ** 32, "q must be at most 4 GiB")
        add(row_span_bytes(k) > 2 ** 32, "k must span at most 4 GiB", k.is_neg())
        add(q.data_ptr() % 4 != 0, "q data pointer must be 4-byte aligned", q.is_neg())
        add(k.data_ptr() % 4 != 0 or (B > 1 and k.stride(0) % 2) or (H_kv > 1 and k.stride(1) % 2),
            "k rows must be 4-byte aligned", k.is_neg())
        # Odd strides of a cache with no rows: refusing them is as good as returning nothing.
        add(B * H == 0 and ((B != 1 and k.stride(0) % 2) or (H_kv != 1 and k.stride(1) % 2)),
            "k rows must be 4-byte aligned", True)
        add(v.data_ptr() % 4 != 0, "v data pointer must be 4-byte aligned", v.is_neg())
        # None where a fault above is already certain (element type, kv_len).
        kernel = vantrel.sdp_kernel(q.dtype, D, n, G)
        per_head = ITEMS_PER_HEAD[sdp_variant(kernel)](n) if kernel else 0
        if B * H_kv * per_head >= 2 ** 31 or H_kv * per_head >= 2 ** 31:
            hard.append((RuntimeError, r"^(q|k|v)\b"))  # a host check naming the tensor
    if hard or not k_ok:
        raise Refusal(*hard, *soft)

    def check(y):
        if y.numel() == 0:
            return None
        qv, kv, vv = (b.values(name).to(q.dtype) for name in "qkv")
        with np.errstate(all="ignore"):
            return same_bits(y.numpy(), sdp_model(qv, kv, vv))

    return Expect(errors=soft, shape=(B, H * D), dtype=q.dtype, check=check,
                  kind=f"kernel {kernel}", kernel=kernel if B * H else None)


# ---- the decoding step's fused operators ---------------------------------------------------------

FUSED = {op: vantrel.kernel_table()[op] for op in ("add_rms_norm", "rotary_cache", "silu_mul")}
CHUNK = FUSED["add_rms_norm"]["multiple"]  # every size of the fused kernels is a multiple of this
NORM_MAX, ROTARY_MAX, GATED_MAX = (FUSED[op]["max_size"] for op in FUSED)
FLOAT32_MAX = float(np.finfo(np.float32).max)
# The parameters of each operator in order, and what each takes.
FUSED_PARAMS = {
    "add_rms_norm": (("residual", "tensor"), ("delta", "optional"), ("weight", "tensor"),
                     ("eps", "real")),
    "rotary_cache": (("qkv", "tensor"), ("cos", "tensor"), ("sin", "tensor"),
                     ("k_cache", "tensor"), ("v_cache", "tensor"), ("start", "int"),
                     ("heads", "int"), ("kv_heads", "int")),
    "silu_mul": (("gate_up", "tensor"), ("intermediate", "int")),
}
FUSED_NAMES = {op: tuple(n for n, _ in params) for op, params in FUSED_PARAMS.items()}
# Values of eps: valid ones (floats, and ints within float64's range); then ones only PyTorch's
# dispatcher converts (a bool, NumPy scalars, a one-element tensor), and ones refused either way
# (by their type or their value).
GOOD_EPS = [1e-5, 1e-6, 1e-5, 0.0, -0.0, 1e-12, 0.25, 1, 1e30, 1e-45, 1e-50, FLOAT32_MAX,
            np.float64(1e-6), 2 ** 70]
BAD_EPS = [True, np.float32(1e-5), np.int64(2), torch.tensor(1e-6), None, "1e-5", 2 ** 1100,
           math.nan, math.inf, -math.inf, -1e-5, 1e39, 2 ** 200, [1e-5]]
NEG_VIEW = "must not be a lazily negated view (torch._neg_view)"


def bad_ints(v):
    """Values standing for the int v that vantrel's binding refuses (the dispatcher converts a
    bool and a NumPy integer)."""
    return [float(v), True, str(v), None, v + 2 ** 64, -2 ** 63 - 1,
            np.int64(v if -2 ** 63 <= v < 2 ** 63 else 1), [v]]


def fused_size(rng, listed, top, small):
    """A size the kernels serve: a listed one, an end of the range, or any multiple of CHUNK up to
    `small` (mostly) or `top`."""
    r = rng.random()
    if r < 0.3:
        return int(rng.choice(listed))
    if r < 0.4:  # the ends, and around 64 chunks (where add_rms_norm's work-items take two)
        return int(rng.choice([CHUNK, top, top - CHUNK, 64 * CHUNK, 65 * CHUNK, 127 * CHUNK]))
    return CHUNK * int(rng.integers(1, (small if r < 0.85 else top) // CHUNK + 1))


def outside_size(rng, top):
    """A size just outside what the kernels serve."""
    return int(rng.choice([0, CHUNK // 2, CHUNK + 8, 3 * CHUNK - 1, top + CHUNK, 2 * top]))


def route(rng):
    return "torch.ops" if rng.random() < 0.25 else "vantrel"


def pick_fill(rng):
    r = rng.random()
    return "wild" if r < 0.1 else "big" if r < 0.2 else "normal"


def row_slice(rng, s, cols):
    """Makes `s` [rows, cols] the first columns of rows further apart (a column slice, 4-byte
    aligned), or a single row with any row stride."""
    if s.shape[0] == 1 and rng.random() < 0.3:
        s.strides = (int(rng.choice([1, 3, cols + 1, 2 ** 33 + 1])), 1)
    elif rng.random() < 0.5:
        s.strides = (cols + cols % 2 + 2 * int(rng.choice([1, 3, 8, 64])), 1)
        s.offset = 2 * int(rng.integers(0, 4))


def share(rng, plan, name, other, overlap):
    """`name` views the storage of the earlier argument `other` (its bytes when the element types
    differ), over it or just past it."""
    s, o = plan[name], plan[other]
    if not (isinstance(s, Operand) and isinstance(o, Operand)) or o.share or \
            list(plan).index(other) > list(plan).index(name) or \
            any(isinstance(x, Operand) and x.share == name for x in plan.values()) or \
            o.extent() > 1 << 24:
        return  # one owner per storage, earlier than the views of it, and of a size to allocate
    ratio = itemsize(o.dtype) / itemsize(s.dtype)  # elements of `s` per element of `o`
    end = math.ceil(o.extent() * ratio)
    s.share, s.device, s.reinterpret = other, o.device, o.dtype != s.dtype
    s.offset = int(rng.integers(0, max(end, 1))) if overlap else end + int(rng.integers(0, 3)) * 2
    s.offset += s.offset % 2  # aligned, for the half tensors


def set_last_size(plan, names, size, scalars=True):
    """Gives the tensors `names` (scalars too, when `scalars`) `size` as their last size."""
    for n in names:
        if isinstance(plan[n], Operand) and (scalars or plan[n].shape):
            plan[n].shape, plan[n].strides = plan[n].shape[:-1] + (size,), None


FUSED_MUTATIONS = {0: ("dtype", [H16, F32, F64, torch.bfloat16, torch.int32, torch.int16,
                                 torch.bool]),
                   1: ("device",), 2: ("transpose 2-D",), 3: ("every other",),
                   5: ("offset", [1, 3, 5]), 6: ("neg",), 7: ("wild",),
                   8: ("value", NON_TENSORS[:7]), 9: ("value", ARITY)}


def mutate_fused_tensor(rng, plan, name, m):
    """Mutation m (below 13) of tensor `name`, one every fused operator's tensors share."""
    s = plan[name]
    if m in FUSED_MUTATIONS:
        mutate_common(rng, plan, name, *FUSED_MUTATIONS[m])
    elif m == 4 and s.shape:  # rank
        s.shape, s.strides = pick(rng, [s.shape[1:], s.shape + (1,), (1,) + s.shape, ()]), None
    elif m == 10 and len(s.shape) == 2 and s.shape[0] > 1:  # rows that overlap, or expanded
        s.strides = (int(rng.choice([0, 1, s.shape[1] // 2, max(s.shape[1] - 1, 0)])), 1)
    elif m == 11 and len(s.shape) == 2 and s.shape[0] > 1:  # an odd row stride: rows misaligned
        s.strides = (s.shape[1] + 1, 1)
    elif m == 12 and len(s.shape) == 2:  # huge by metadata: rows of zero stride
        s.shape, s.strides = (HUGE, s.shape[1]), (0, 1)


def fused_arguments(op, b):
    """The tensors as the operator sees them; raises the Refusal of arguments that do not bind
    (their number, a value of a wrong type) or name a tensor that is not on the device. PyTorch's
    dispatcher converts more scalar types, takes None for a tensor (which then has no device) and
    hands silu_mul a materialised copy of a negation view."""
    t, ops, params = b.tensors, via_dispatcher(b.plan), FUSED_PARAMS[op]
    check_arity(op, t[params[0][0]], ops)
    wrong = [(i, n) for i, (n, kind) in enumerate(params) if not binds(t[n], kind, ops)]
    if wrong:
        i, name = wrong[0]
        raise Refusal((RuntimeError, f"Expected a value of type '[^']+' for argument '{name}'")
                      if ops else bad_argument(op, i, name))
    tensors = {n: t[n] for n, kind in params if kind in ("tensor", "optional")}
    require(not ops or any(v is not None for v in tensors.values()),
            "There were no tensor arguments")
    if ops and op == "silu_mul" and tensors["gate_up"].is_neg():
        v = tensors["gate_up"]
        if v.numel() * v.element_size() > BIG_OUTPUT:
            raise Refusal(OUT_OF_MEMORY)
        try:
            tensors["gate_up"] = v.resolve_neg()
        except RuntimeError as e:
            raise Refusal(refused(str(e))) from None
    for name, kind in params:
        v = tensors.get(name)
        require(not (kind == "tensor" and v is None and ops), "tensor does not have a device")
        require(v is None or v.device.type == "xpu", f"{name} must be a XPU tensor")
    return tensors


def sizes(t):
    return "[" + ", ".join(map(str, t.shape)) + "]"


def chunked(size, top):
    return CHUNK <= size <= top and size % CHUNK == 0


def require_rows(name, t, elements="contiguous elements"):
    """Rows of contiguous elements that do not overlap."""
    require(t.stride(1) == 1 and (t.shape[0] <= 1 or t.stride(0) >= t.shape[1]),
            f"{name} rows must be {elements} (stride 1 along dimension 1) at least {t.shape[1]} "
            "elements apart")


def require_aligned_rows(name, t):
    require(t.data_ptr() % 4 == 0 and (t.shape[0] <= 1 or t.stride(0) % 2 == 0),
            f"{name} rows must be 4-byte aligned (data pointer, and an even row stride)")


def overlap(a, b):
    """Whether the bytes two tensors reach from their data pointers (through their last row, for
    rows of contiguous elements) meet."""
    def span(t):
        if t.numel() == 0:
            return 0
        if t.dim() == 2 and t.stride(1) == 1:
            return ((t.shape[0] - 1) * t.stride(0) + t.shape[1]) * t.element_size()
        return t.numel() * t.element_size()

    a0, b0, na, nb = a.data_ptr(), b.data_ptr(), span(a), span(b)
    return na != 0 and nb != 0 and a0 < b0 + nb and b0 < a0 + na


def model_values(b, name, dtype):
    """The logical values of argument `name` as a numpy array of `dtype`."""
    return b.values(name).numpy().astype(dtype)


def empty(b, shape):
    """A result with no elements: nothing launched, nothing written."""
    return Expect(shape=shape, dtype=H16, check=lambda y: b.written({}), kind="empty")


# ---- vantrel.add_rms_norm ------------------------------------------------------------------------

def gen_add_rms_norm(rng):
    H = fused_size(rng, FUSED["add_rms_norm"]["sizes"], NORM_MAX, 2048) if rng.random() < 0.93 \
        else outside_size(rng, NORM_MAX)
    M = int(rng.choice([0, 1, 1, 2, 3, 4, 5, 8, 16, 33, 100]))
    M = min(M, max(1, 2 ** 17 // max(H, 1)))
    fill = pick_fill(rng)
    plan = {"residual": Operand((M, H), F32, fill=fill, offset=int(rng.choice([0, 0, 1, 3]))),
            "delta": Operand((M, H), H16, fill=fill) if rng.random() < 0.75 else None,
            "weight": Operand((H,), F32, offset=int(rng.choice([0, 0, 1, 7]))),
            "eps": pick(rng, GOOD_EPS), "route": route(rng)}
    if plan["delta"]:
        row_slice(rng, plan["delta"], H)
    r = rng.random()
    if r < 0.08 and plan["delta"]:  # delta in the residual's buffer, past its end
        share(rng, plan, "delta", "residual", overlap=False)
    elif r < 0.16:  # the weight in the residual's buffer: over it as well when nothing is added
        share(rng, plan, "weight", "residual", overlap=not plan["delta"] and rng.random() < 0.5)
    for _ in range(rng.poisson(0.9)):
        mutate_add_rms_norm(rng, plan)
    return plan


def mutate_add_rms_norm(rng, plan):
    name = pick(rng, ("residual", "delta", "weight", "eps"))
    if name == "eps":
        plan["eps"] = pick(rng, BAD_EPS)
        return
    s = plan[name]
    if name == "delta" and (s is None or rng.random() < 0.1):
        res = plan["residual"]
        plan["delta"] = None if s is not None or not isinstance(res, Operand) else \
            Operand(res.shape, H16)
        return
    if not isinstance(s, Operand):
        return
    m = int(rng.integers(0, 16))
    if m < 13:
        mutate_fused_tensor(rng, plan, name, m)
    elif m == 13 and len(s.shape) >= 1:
        size_off(rng, s, [-CHUNK, CHUNK, 1, -1])
    elif m == 14:  # over another argument's bytes (the weight over delta's: both only read)
        share(rng, plan, name, "delta" if name == "weight" and rng.random() < 0.5 else "residual",
              overlap=True)
    elif m == 15:  # a size the kernels do not serve, for every tensor alike
        set_last_size(plan, ("residual", "delta", "weight"), outside_size(rng, NORM_MAX))


def expect_add_rms_norm(b):
    t = fused_arguments("add_rms_norm", b)
    r, d, w = t["residual"], t["delta"], t["weight"]
    eps = as_real(b.tensors["eps"], via_dispatcher(b.plan))
    require(r.dtype == F32, f"residual must be Float (float32), got {TYPE_NAME[r.dtype]}")
    require(r.dim() == 2, f"residual must be 2-D [M, H], got {r.dim()} dimensions")
    require(r.is_contiguous(), "residual must be contiguous")
    M, H = r.shape
    require(chunked(H, NORM_MAX), f"residual must have H (size of dimension 1) a multiple of "
                                  f"{CHUNK} from {CHUNK} to {NORM_MAX}, got H = {H}")
    require(d is None or not r.is_neg(), f"residual {NEG_VIEW}")
    require(w.dtype == F32, f"weight must be Float (float32), got {TYPE_NAME[w.dtype]}")
    require(w.dim() == 1 and w.shape[0] == H, f"weight must be [{H}] (H of residual), got "
                                              f"{sizes(w)}")
    require(w.is_contiguous(), "weight must be contiguous")
    if d is not None:
        require(d.dtype == H16, f"delta must be Half, got {TYPE_NAME[d.dtype]}")
        require(d.shape == r.shape, f"delta must be [M, H] = {sizes(r)} like residual, got "
                                    f"{sizes(d)}")
        require_rows("delta", d, f"{H} contiguous elements")
    require(math.isfinite(eps) and 0 <= eps <= FLOAT32_MAX,
            "eps must be a number from 0 to float32's largest (3.4028235e38), got ")
    if M == 0:
        return empty(b, (0, H))
    if d is not None:
        require_aligned_rows("delta", d)
        require(not overlap(r, d), "delta must not overlap residual (written in place)")
        require(not overlap(r, w), "weight must not overlap residual (written in place)")

    def check(y):
        with np.errstate(all="ignore"):
            x, out = add_rms_norm_model(
                model_values(b, "residual", np.float32),
                None if d is None else model_values(b, "delta", np.float16),
                model_values(b, "weight", np.float32), eps)
        return same_bits(y.numpy(), out) or b.written({"residual": (x, None)} if d is not None
                                                      else {})

    kernel = vantrel.add_rms_norm_kernel(H)
    return Expect(shape=(M, H), dtype=H16, check=check, kernel=kernel,
                  kind=f"kernel {kernel}" + ("" if d is not None else " (no delta)"))


# ---- vantrel.rotary_cache ------------------------------------------------------------------------

def gen_rotary_cache(rng):
    D = CHUNK * int(rng.integers(1, ROTARY_MAX // CHUNK + 1)) if rng.random() < 0.7 else \
        int(rng.choice([64, 128]))
    kv = int(rng.choice([1, 1, 2, 3, 4, 8]))
    heads = kv * int(rng.choice([1, 1, 2, 3, 4, 8]))  # grouped key/value heads
    B = int(rng.choice([0, 1, 2, 3, 4], p=[0.05, 0.4, 0.25, 0.15, 0.15]))
    C = int(rng.choice([0, 1, 2, 3, 5, 8, 33], p=[0.05, 0.45, 0.15, 0.1, 0.1, 0.1, 0.05]))
    while B * C * (heads + 2 * kv) * D > 2 ** 17 and C > 1:
        C //= 2
    L = C + int(rng.choice([0, 1, 5, 17, 100]))
    start = L - C if rng.random() < 0.3 else int(rng.integers(0, L - C + 1))
    P = start + C + int(rng.choice([0, 0, 3, 50]))  # tables that end at the last new position too
    width = (heads + 2 * kv) * D
    extra = int(rng.choice([0, 0, 0, 1, 2, 16, D]))  # columns past the values: never read
    qkv = Operand((B * C, width + extra), H16, fill=pick_fill(rng))
    row_slice(rng, qkv, qkv.shape[1])
    tables = "wild" if rng.random() < 0.05 else "normal"
    k = Operand((B, kv, L, D), H16, offset=2 * int(rng.choice([0, 0, 1, 5])))
    plan = {"qkv": qkv, "cos": Operand((P, D), F32, fill=tables),
            "sin": Operand((P, D), F32, fill=tables, offset=int(rng.choice([0, 0, 1]))),
            "k_cache": k, "v_cache": dataclasses.replace(k), "start": start, "heads": heads,
            "kv_heads": kv, "route": route(rng)}
    if rng.random() < 0.2:  # both caches in one buffer, the values' after the keys'
        share(rng, plan, "v_cache", "k_cache", overlap=False)
    elif rng.random() < 0.1:  # the key cache in the buffer of qkv, past its end
        share(rng, plan, "k_cache", "qkv", overlap=False)
    if rng.random() < 0.05:  # one table for both (not a rotation, but readable twice)
        plan["sin"] = plan["cos"]
    if rng.random() < 0.03:  # huge by metadata, and empty: no sequences in a long cache
        plan["k_cache"].shape = plan["v_cache"].shape = (0, kv, HUGE, D)
        plan["qkv"].shape = (0,) + plan["qkv"].shape[1:]
        plan["start"] = P  # at the tables' end
    for _ in range(rng.poisson(0.8)):
        mutate_rotary_cache(rng, plan)
    return plan


def mutate_rotary_cache(rng, plan):
    names = FUSED_NAMES["rotary_cache"]
    name = pick(rng, names)
    s = plan[name]
    if name in ("start", "heads", "kv_heads"):
        if not isinstance(s, int) or isinstance(s, bool) or rng.random() < 0.3:
            plan[name] = pick(rng, bad_ints(s if isinstance(s, int) else 1))
            return

        def size(n, d, default=1):
            x = plan[n]
            return x.shape[d] if isinstance(x, Operand) and len(x.shape) > d else default

        L, P = size("k_cache", 2), size("cos", 0)
        C = size("qkv", 0) // max(size("k_cache", 0), 1)
        plan[name] = pick(rng, {
            "start": [L - C + 1, P - C + 1, -1, 2 ** 62, 2 ** 63 - 1, -2 ** 63],
            "heads": [s + 1, s - 1, 0, -s, 2 ** 62, 2 ** 31 * s,
                      plan["kv_heads"] if isinstance(plan["kv_heads"], int) else 1],
            "kv_heads": [s + 1, 0, -1, 2 * s, 2 ** 62]}[name])
        return
    if not isinstance(s, Operand):
        return
    m = int(rng.integers(0, 18))
    if m < 13:
        mutate_fused_tensor(rng, plan, name, m)
    elif m == 13 and s.shape:
        size_off(rng, s, [-1, 1, CHUNK, -CHUNK])
    elif m == 14 and len(s.shape) == 4:  # the cache as [B, L, kv_heads, D] in memory
        B, H, L, D = s.shape
        s.strides = (L * H * D, D, H * D, 1)
    elif m == 15:  # over another argument's bytes
        others = [n for n in names[:names.index(name)] if isinstance(plan[n], Operand)]
        if others:
            share(rng, plan, name, pick(rng, others), overlap=True)
    elif m == 16 and name == "v_cache":  # the key cache again
        plan["v_cache"] = plan["k_cache"]
    elif m == 17:  # a head size the kernels do not serve, for every tensor alike
        set_last_size(plan, ("cos", "sin", "k_cache", "v_cache"), outside_size(rng, ROTARY_MAX),
                      scalars=False)


def expect_rotary_cache(b):
    t = fused_arguments("rotary_cache", b)
    ops = via_dispatcher(b.plan)
    qkv, cos, sin, k, v = (t[n] for n in ("qkv", "cos", "sin", "k_cache", "v_cache"))
    start, heads, kv = (as_int(b.tensors[n], ops) for n in ("start", "heads", "kv_heads"))
    require(k.dtype == H16, f"k_cache must be Half, got {TYPE_NAME[k.dtype]}")
    require(k.dim() == 4, f"k_cache must be 4-D [B, kv_heads, L, D], got {k.dim()} dimensions")
    require(k.is_contiguous(), "k_cache must be contiguous")
    B, _, L, D = k.shape
    require(chunked(D, ROTARY_MAX), f"k_cache must have head size D (size of dimension 3) a "
            f"multiple of {CHUNK} from {CHUNK} to {ROTARY_MAX}, got D = {D}")
    require(kv >= 1, f"kv_heads must be at least 1, got {kv}")
    require(heads >= 1 and heads % kv == 0,
            f"heads must be a positive multiple of kv_heads = {kv}, got {heads}")
    require(k.shape[1] == kv, f"k_cache must have kv_heads = {kv} heads (size of dimension 1), got "
                              f"{k.shape[1]}")
    require(not k.is_neg(), f"k_cache {NEG_VIEW}")
    require(v.dtype == H16 and v.shape == k.shape, f"v_cache must be Half {sizes(k)} like k_cache, "
                                                   "got ")
    require(v.is_contiguous(), "v_cache must be contiguous")
    require(not v.is_neg(), f"v_cache {NEG_VIEW}")
    require(qkv.dtype == H16, f"qkv must be Half, got {TYPE_NAME[qkv.dtype]}")
    require(qkv.dim() == 2, f"qkv must be 2-D [B * C, (heads + 2 * kv_heads) * D], got "
                            f"{qkv.dim()} dimensions")
    require(qkv.shape[1] >= (heads + 2 * kv) * D, f"qkv must have at least (heads + 2 * kv_heads) "
            f"* D columns with heads = {heads}, kv_heads = {kv}, D = {D}, got {qkv.shape[1]}")
    require_rows("qkv", qkv)
    rows = qkv.shape[0]
    require(rows == 0 if B == 0 else rows % B == 0,
            f"qkv must have B * C rows, a multiple of B = {B} (k_cache.size(0)), got {rows}")
    C = rows // B if B else 0
    require(cos.dtype == F32, f"cos must be Float (float32), got {TYPE_NAME[cos.dtype]}")
    require(cos.dim() == 2 and cos.shape[1] == D, f"cos must be [P, {D}] (D of k_cache), got "
                                                  f"{sizes(cos)}")
    require(cos.is_contiguous(), "cos must be contiguous")
    require(sin.dtype == F32, f"sin must be Float (float32), got {TYPE_NAME[sin.dtype]}")
    require(sin.shape == cos.shape, f"sin must have the sizes of cos {sizes(cos)}, got "
                                    f"{sizes(sin)}")
    require(sin.is_contiguous(), "sin must be contiguous")
    require(start >= 0, f"start must be at least 0, got {start}")
    P = cos.shape[0]
    for end, text in ((L, f"L = {L} (k_cache.size(2))"), (P, f"P = {P} (cos.size(0))")):
        require(start <= end - C, f"start + C = {start} + {C} must be at most {text}")
    shape = (B, heads, C, D)
    if C == 0:
        return empty(b, shape)
    require_aligned_rows("qkv", qkv)
    for name, x in (("k_cache", k), ("v_cache", v)):
        require(x.data_ptr() % 4 == 0, f"{name} data pointer must be 4-byte aligned")
    require(not overlap(k, v), "k_cache and v_cache must not overlap")
    for name, cache in (("k_cache", k), ("v_cache", v)):
        for other, x in (("qkv", qkv), ("cos", cos), ("sin", sin)):
            require(not overlap(cache, x), f"{name} must not overlap {other}")

    def check(y):
        with np.errstate(all="ignore"):
            q, k_after, v_after = rotary_cache_model(
                model_values(b, "qkv", np.float16), model_values(b, "cos", np.float32),
                model_values(b, "sin", np.float32), model_values(b, "k_cache", np.float16),
                model_values(b, "v_cache", np.float16), start, heads, kv)
        new_rows = np.zeros(k.shape, bool)  # only these rows may change; the others keep their bits
        new_rows[:, :, start:start + C] = True
        return same_bits(y.numpy(), q) or b.written({"k_cache": (k_after, new_rows),
                                                     "v_cache": (v_after, new_rows)})

    kernel = vantrel.rotary_cache_kernel(D)
    return Expect(shape=shape, dtype=H16, check=check, kernel=kernel,
                  kind=f"kernel {kernel}" + (" grouped" if heads > kv else ""))


# ---- vantrel.silu_mul ----------------------------------------------------------------------------

def gen_silu_mul(rng):
    inside = rng.random() < 0.93
    I = fused_size(rng, FUSED["silu_mul"]["sizes"], GATED_MAX, 4096) if inside else \
        int(rng.choice([outside_size(rng, GATED_MAX), -CHUNK]))
    M = int(rng.choice([0, 1, 1, 2, 3, 4, 8, 16, 64]))
    M = min(M, max(1, 2 ** 15 // max(I, 1)))
    cols = 2 * max(I, CHUNK) + int(rng.choice([0, 0, 0, 1, 2, 16, max(I, CHUNK)]))
    gate_up = Operand((M, cols), H16, fill=pick_fill(rng))
    row_slice(rng, gate_up, cols)
    plan = {"gate_up": gate_up, "intermediate": I, "route": route(rng)}
    for _ in range(rng.poisson(0.8)):
        mutate_silu_mul(rng, plan)
    return plan


def mutate_silu_mul(rng, plan):
    if rng.random() < 0.3:
        I = plan["intermediate"]
        I = I if isinstance(I, int) and not isinstance(I, bool) else CHUNK
        plan["intermediate"] = pick(rng, [*bad_ints(I), I + CHUNK // 2, 0, -I, I + 1,
                                          GATED_MAX + CHUNK, 2 ** 62, 2 * I])
        return
    s = plan["gate_up"]
    if not isinstance(s, Operand):
        return
    m = int(rng.integers(0, 14))
    if m < 13:
        mutate_fused_tensor(rng, plan, "gate_up", m)
    elif len(s.shape) == 2:  # too few columns
        s.shape, s.strides = (s.shape[0], max(0, s.shape[1] - int(rng.choice([1, CHUNK])))), None


def expect_silu_mul(b):
    g = fused_arguments("silu_mul", b)["gate_up"]
    I = as_int(b.tensors["intermediate"], via_dispatcher(b.plan))
    require(g.dtype == H16, f"gate_up must be Half, got {TYPE_NAME[g.dtype]}")
    require(g.dim() == 2, f"gate_up must be 2-D [M, 2 * intermediate], got {g.dim()} dimensions")
    require(chunked(I, GATED_MAX),
            f"intermediate must be a multiple of {CHUNK} from {CHUNK} to {GATED_MAX}, got {I}")
    M, cols = g.shape
    require(cols >= 2 * I, f"gate_up must have at least 2 * intermediate = {2 * I} columns, got "
                           f"{cols}")
    require_rows("gate_up", g)
    if M == 0:
        return empty(b, (0, I))
    require_aligned_rows("gate_up", g)

    def check(y):
        with np.errstate(all="ignore"):
            expected = silu_mul_model(model_values(b, "gate_up", np.float16), I)
        return same_bits(y.numpy(), expected) or b.written({})

    kernel = vantrel.silu_mul_kernel(I)
    return Expect(shape=(M, I), dtype=H16, check=check, kernel=kernel, kind=f"kernel {kernel}")


# ---- running calls -------------------------------------------------------------------------------

GENERATORS = {"forward": (gen_forward, expect_forward, ("input", "weights")),
              "sdp_forward": (gen_sdp, expect_sdp, ("q", "k", "v")),
              "forward_quantized": (gen_quantized, expect_quantized, QUANT_NAMES),
              **{op: (globals()[f"gen_{op}"], globals()[f"expect_{op}"], FUSED_NAMES[op])
                 for op in FUSED}}


def via_dispatcher(plan):
    return plan.get("route") == "torch.ops"


def make_call(seed, op, index):
    """(function, args, kwargs, built, description) of call `index` of `op` for `seed`."""
    rng = np.random.default_rng([seed, OPS.index(op), index])
    gen, _, names = GENERATORS[op]
    plan = gen(rng)
    for s in plan.values():  # huge only by metadata: more than 2^26 elements get zero strides
        if not isinstance(s, Operand):
            continue
        while math.prod(s.shape) >= 1 << 60:  # beyond what a tensor can count
            s.shape = tuple(1 if d == max(s.shape) else d for d in s.shape)
        if s.extent() > 1 << 26:
            s.strides = (0,) * len(s.shape)
    built = Built(rng, plan)
    args = [built.tensors[n] for n in names]
    kwargs = {}
    marker = next((a for a in args if isinstance(a, str) and a in ARITY), None)
    if marker:
        args = [torch.zeros(1, 128, dtype=H16, device="xpu") if a is marker else a for a in args]
        built.tensors = dict(built.tensors, **{n: "bad arity" for n in names})
        if marker == "ARGS+1":
            args = args + [args[0]]
        elif marker == "ARGS-1":
            args = args[:-1]
        else:  # by keyword, the last name misspelt
            args, kwargs = [], dict(zip(list(names[:-1]) + [names[-1] + "_"], args))
    elif rng.random() < 0.1:  # a valid call by keyword, in reverse order
        args, kwargs = [], dict(reversed(list(zip(names, args))))
    fn = getattr(torch.ops.vantrel, op) if via_dispatcher(plan) else getattr(vantrel, op)

    def described(i, n):
        same = next((m for m in names[:i] if plan[m] is plan[n]), None)
        if isinstance(plan[n], Operand) and same:
            return f"{same} (the same tensor)"
        return str(plan[n]) if isinstance(plan[n], Operand) else repr(plan[n])[:40]

    desc = ("torch.ops." if via_dispatcher(plan) else "") + f"vantrel.{op}(" + ", ".join(
        described(i, n) for i, n in enumerate(names)) + ")"
    return fn, args, kwargs, built, desc


def family(e):
    """The message with numbers and shapes elided, for counting."""
    text = str(e).splitlines()[0] if str(e) else ""
    text = re.sub(r"\[[^\]]*\]", "[..]", re.sub(r"\d+", "N", text))
    return f"{type(e).__name__}: {text[:90]}"


def refusal_problem(expect, e, elapsed, launches):
    """Problem text, or None when the call refused as the oracle allows: quickly, briefly for a
    TypeError, and before launching anything."""
    if not isinstance(e, (RuntimeError, TypeError, IndexError)):
        return f"raised {type(e).__name__}: {e}"
    if not any(isinstance(e, t) and re.search(rx, str(e)) for t, rx in expect.errors):
        want = expect.errors or f"a result ({expect.kind})"
        return f"raised {type(e).__name__}: {str(e)[:300]!r}; expected {want}"
    if isinstance(e, TypeError) and (elapsed > 0.05 or "tensor(" in str(e)):
        return f"TypeError took {elapsed * 1e3:.1f} ms or printed tensor contents " \
               f"({len(str(e))} characters)"
    if elapsed > 5:
        return f"refused after {elapsed:.1f} s"
    if launches:
        return f"refused after launching {launches}"
    return None


def result_problem(expect, y, launches):
    """Problem text, or None when the result is the oracle's, from the kernel it names."""
    if expect.check is None:
        return f"returned {tuple(y.shape)} {y.dtype}; expected one of {expect.errors}"
    dtypes = expect.dtype if isinstance(expect.dtype, tuple) else (expect.dtype,)
    if not is_tensor(y) or y.device.type != "xpu" or tuple(y.shape) != expect.shape or \
            y.dtype not in dtypes:
        return f"returned {getattr(y, 'device', None)} {tuple(getattr(y, 'shape', ()))} " \
               f"{getattr(y, 'dtype', y)}; expected xpu {expect.shape} {expect.dtype}"
    want = [expect.kernel] if expect.kernel else []
    if launches != want:
        return f"launched {launches}, expected {want} ({expect.kind})"
    try:
        return expect.check(y.cpu())
    except Exception as e:  # noqa: BLE001
        return f"oracle: {type(e).__name__}: {e}"


def run_call(seed, op, index):
    """Runs one call; returns (outcome label, failure text or None)."""
    repro = f"\n    reproduce: PYTHONPATH=build/lib /usr/bin/python3 " \
            f"tests/vantrel/fuzz_operators.py --seed {seed} --op {op} --index {index} -v"
    try:
        fn, args, kwargs, built, desc = make_call(seed, op, index)
        try:
            expect = GENERATORS[op][1](built)
        except Refusal as r:
            expect = Expect(errors=list(r.args))
    except Exception as e:  # noqa: BLE001  (a fault of the fuzzer, reported like the others)
        return "fuzzer error", f"generating call {index}: {type(e).__name__}: {e}{repro}"
    xpuemu.clear_launch_log()
    start = time.perf_counter()
    try:
        y, raised = fn(*args, **kwargs), None
    except Exception as e:  # noqa: BLE001  (anything else than the allowed types is a failure)
        y, raised = None, e
    elapsed = time.perf_counter() - start
    try:
        xpuemu.synchronize()
        problem = None
    except RuntimeError as e:
        problem = f"the device reported a failure: {e}"
    launches = [r["kernel"] for r in xpuemu.launch_log()]
    if raised is not None:
        label = family(raised)
        problem = problem or refusal_problem(expect, raised, elapsed, launches)
    else:
        label = f"result: {expect.kind or 'unexpected'}"
        problem = problem or result_problem(expect, y, launches)
    if via_dispatcher(built.plan):
        label += " [torch.ops]"
    return label, problem and f"{desc}: {problem}{repro}"


def run(seed, calls, ops=OPS, start=0, progress=None):
    """Runs `calls` calls of each operator; returns {op: Counter of labels}, [failures]."""
    xpuemu.set_checking(True)
    xpuemu.set_poison(True)
    counts, failures = {op: collections.Counter() for op in ops}, []
    for i in range(start, start + calls):
        for op in ops:
            label, failure = run_call(seed, op, i)
            counts[op][label] += 1
            if failure:
                counts[op]["FAILED"] += 1
                failures.append(failure)
        if progress and (i - start + 1) % progress == 0:
            print(f"  {i - start + 1} calls per operator, {len(failures)} failures", flush=True)
    return counts, failures


def summary(counts, failures, seconds):
    lines = []
    for op, c in counts.items():
        lines.append(f"{op}: {sum(c.values()) - c['FAILED']} calls, {c['FAILED']} failed")
        for label, v in sorted(c.items(), key=lambda kv: (-kv[1], kv[0])):
            if label != "FAILED":
                lines.append(f"  {v:7d}  {label}")
    lines.append(f"{len(failures)} failures in {seconds:.1f} s")
    return "\n".join(lines + failures[:200])


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--calls", type=int, default=20000, help="calls per operator")
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--op", choices=OPS, help="only this operator")
    ap.add_argument("--index", type=int, help="run only this call (with --op), printing it")
    ap.add_argument("-v", "--verbose", action="store_true", help="(the call is always printed)")
    a = ap.parse_args()
    ops = (a.op,) if a.op else OPS
    if a.index is not None:
        failed = False
        for op in ops:
            print(make_call(a.seed, op, a.index)[4])
            label, failure = run_call(a.seed, op, a.index)
            print(label, failure or "ok", sep="\n")
            failed = failed or bool(failure)
        return 1 if failed else 0
    t0 = time.time()
    counts, failures = run(a.seed, a.calls, ops, progress=max(a.calls // 20, 1))
    print(summary(counts, failures, time.time() - t0))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
