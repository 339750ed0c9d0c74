"""The decoding step's fused operators add_rms_norm, rotary_cache and silu_mul: the host models bit
for bit, the PyTorch formulas they replace, every input byte read once by the kernel the table
names, errors before any launch, the dispatcher."""
import re
from typing import Optional

import numpy as np
import pytest
import torch
import xpuemu

import vantrel
from host_models import add_rms_norm_model, norm_split, rotary_cache_model, silu_mul_model

XPU = torch.device("xpu")


def randn(*shape, seed=0, scale=1.0, dtype=torch.half):
    return (torch.randn(*shape, generator=torch.Generator().manual_seed(seed)) * scale).to(dtype)


def on_device(t, extra=0):
    """t on the device; with extra > 0, as the first columns of a wider tensor."""
    if extra == 0:
        return t.to(XPU)
    wide = torch.zeros(t.shape[0], t.shape[1] + extra, dtype=t.dtype)
    wide[:, :t.shape[1]] = t
    return wide.to(XPU)[:, :t.shape[1]]


def assert_bits(got, want):
    """A device tensor equal to a numpy array bit for bit."""
    want = torch.from_numpy(np.ascontiguousarray(want))
    assert got.dtype == want.dtype
    as_int = torch.int16 if got.dtype == torch.half else torch.int32
    assert torch.equal(got.cpu().view(as_int), want.view(as_int))


def assert_within_ulp(got, ref):
    """got (half) within one unit in the last place of ref rounded to half; equal where not
    finite."""
    want, got = ref.half(), got.cpu()
    with np.errstate(invalid="ignore"):
        ulp = torch.from_numpy(np.spacing(np.abs(want.numpy()))).float()
    assert (((got.float() - want.float()).abs() <= ulp) | (got == want) |
            (got.isnan() & want.isnan())).all()


def single_reads(rec, reads):
    """The launch read `reads` {tensor: bytes} once each, and nothing else."""
    assert "error" not in rec and len(rec["loads"]) == len(reads)
    for t, count in reads.items():
        addr = t.storage().data_ptr()
        assert rec["loads"][addr] == rec["loads_unique"][addr] == count


@pytest.mark.parametrize("H, M, delta_pad", [
    (16, 1, 0), (64, 3, None), (2112, 2, 32), (2048, 8, 0), (4096, 1, 4096), (4096, 8, None),
    (5120, 5, 0), (8192, 2, 16), (32768, 1, 0)])
def test_add_rms_norm(launches, H, M, delta_pad):
    """delta_pad None: no delta; else delta is the first H columns of rows H + pad wide."""
    residual = randn(M, H, seed=H, scale=4.0, dtype=torch.float)
    delta = None if delta_pad is None else randn(M, H, seed=M)
    weight = randn(H, seed=1, dtype=torch.float) + 1
    r, w = residual.to(XPU), weight.to(XPU)
    d = None if delta is None else on_device(delta, delta_pad)
    out = vantrel.add_rms_norm(r, d, w, 1e-6)
    x, want = add_rms_norm_model(residual.numpy(), None if delta is None else delta.numpy(),
                                 weight.numpy(), 1e-6)
    assert_bits(out, want)
    assert_bits(r, x)
    [rec] = launches()
    assert rec["kernel"] == vantrel.add_rms_norm_kernel(H)
    assert rec["local"] == (norm_split(H)[1], 1) and rec["barriers"] == M
    single_reads(rec, {r: M * H * 4, w: H * 4} | ({} if d is None else {d: M * H * 2}))
    assert (r.storage().data_ptr() in rec["stores"]) == (d is not None)
    # The formula of the PyTorch operations replaced, in float64.
    x64 = torch.from_numpy(x).double()
    assert_within_ulp(out, x64 * torch.rsqrt(x64.pow(2).mean(-1, keepdim=True) + 1e-6) *
                      weight.double())


@pytest.mark.parametrize("D, B, C, H, H_kv, start", [
    (16, 1, 1, 4, 2, 0), (64, 3, 1, 32, 8, 9), (128, 2, 1, 32, 32, 17), (128, 1, 8, 8, 8, 0),
    (96, 8, 2, 6, 3, 1), (256, 1, 3, 2, 1, 5)])
def test_rotary_cache(launches, D, B, C, H, H_kv, start):
    L, P, width = start + C + 2, start + C + 4, (H + 2 * H_kv) * D
    qkv = randn(B * C, width + D, seed=D + B)  # one head more than needed: read only up to width
    angles = torch.arange(P, dtype=torch.float64)[:, None] * 10000.0 ** (-torch.arange(0, D, 2) / D)
    cos = torch.cat([angles.cos()] * 2, 1).float()
    sin = torch.cat([-angles.sin(), angles.sin()], 1).float()
    k_cache, v_cache = (randn(B, H_kv, L, D, seed=s) for s in (2, 3))
    xd, kd, vd = on_device(qkv, 3 * D), k_cache.to(XPU), v_cache.to(XPU)
    cd, sd = cos.to(XPU), sin.to(XPU)
    q = vantrel.rotary_cache(xd, cd, sd, kd, vd, start, H, H_kv)
    want = rotary_cache_model(qkv.numpy(), cos.numpy(), sin.numpy(), k_cache.numpy(),
                              v_cache.numpy(), start, H, H_kv)
    for got, expected in zip((q, kd, vd), want):
        assert_bits(got, expected)
    [rec] = launches()
    assert rec["kernel"] == vantrel.rotary_cache_kernel(D) and rec["global"][1] == C
    single_reads(rec, {xd: B * C * width * 2, cd: C * D * 4, sd: C * D * 4})
    # The engine's float32 PyTorch expression, within one rounding to half.
    qk = qkv[:, :(H + H_kv) * D].float().view(B, C, H + H_kv, D)
    ref = torch.addcmul(qk * cos[start:start + C, None], qk.roll(D // 2, -1),
                        sin[start:start + C, None])
    assert_within_ulp(torch.cat([q.cpu(), kd.cpu()[:, :, start:start + C]], 1).transpose(1, 2),
                      ref)


@pytest.mark.parametrize("I, M, pad", [
    (16, 1, 0), (96, 3, 2), (144, 5, 0), (1008, 8, 64), (11008, 1, 0), (14336, 8, 32)])
def test_silu_mul(launches, I, M, pad):
    gate_up = randn(M, 2 * I, seed=I, scale=4.0)
    gate_up[0, :6] = torch.tensor([-65504.0, 65504.0, -20.0, float("inf"), float("-inf"),
                                   float("nan")])
    gd = on_device(gate_up, pad)
    out = vantrel.silu_mul(gd, I)
    assert_bits(out, silu_mul_model(gate_up.numpy(), I))
    [rec] = launches()
    assert rec["kernel"] == vantrel.silu_mul_kernel(I)
    single_reads(rec, {gd: M * 2 * I * 2})
    g = gate_up.double()
    assert_within_ulp(out, torch.nn.functional.silu(g[:, :I]) * g[:, I:])


def test_table():
    t = vantrel.kernel_table()
    assert t["add_rms_norm"]["sizes"] == (2048, 3072, 4096, 5120, 8192)
    assert t["silu_mul"]["sizes"] == (8192, 11008, 13824, 14336, 22016, 28672)
    assert t["rotary_cache"]["sizes"] == tuple(range(16, 257, 16))
    assert t["rotary_cache"]["other_sizes_kernel"] is None
    assert [vantrel.add_rms_norm_kernel(H) for H in (4096, 64, 32768, 40, 32784)] == [
        "addRmsNormDim4096", "addRmsNormDimAny", "addRmsNormDimAny", None, None]
    assert [vantrel.silu_mul_kernel(I) for I in (11008, 96, 65536, 0, 65552)] == [
        "siluMulDim11008", "siluMulDimAny", "siluMulDimAny", None, None]
    assert [vantrel.rotary_cache_kernel(D) for D in (16, 128, 8, 272)] == [
        "rotaryCacheDim16", "rotaryCacheDim128", None, None]


def h(*shape, dtype=torch.half):
    return torch.ones(*shape, dtype=dtype, device=XPU)


def f(*shape):
    return h(*shape, dtype=torch.float)


def misaligned(*shape):
    return h(int(np.prod(shape)) + 1)[1:].view(*shape)


def rotary_args(**change):
    a = dict(qkv=h(2, 6 * 64), cos=f(8, 64), sin=f(8, 64), k_cache=h(2, 2, 8, 64),
             v_cache=h(2, 2, 8, 64), start=3, heads=2, kv_heads=2)
    return a | change


ERRORS = [  # operator, arguments, message; in the order the checks run
    ("add_rms_norm", lambda: (f(2, 64).cpu(), None, f(64), 0.0), "residual must be a XPU tensor"),
    ("add_rms_norm", lambda: (h(2, 64), None, f(64), 0.0), "residual must be Float (float32)"),
    ("add_rms_norm", lambda: (f(2, 4, 16), None, f(64), 0.0), "residual must be 2-D [M, H]"),
    ("add_rms_norm", lambda: (f(64, 2).t(), None, f(64), 0.0), "residual must be contiguous"),
    ("add_rms_norm", lambda: (f(2, 40), None, f(40), 0.0),
     "residual must have H (size of dimension 1) a multiple of 16 from 16 to 32768, got H = 40"),
    ("add_rms_norm", lambda: (torch._neg_view(f(2, 64)), h(2, 64), f(64), 0.0),
     "residual must not be a lazily negated view"),
    ("add_rms_norm", lambda: (f(2, 64), None, f(32), 0.0), "weight must be [64] (H of residual)"),
    ("add_rms_norm", lambda: (f(2, 64), h(2, 32), f(64), 0.0), "delta must be [M, H] = [2, 64]"),
    ("add_rms_norm", lambda: (f(2, 64), h(65).as_strided((2, 64), (1, 1)), f(64), 0.0),
     "delta rows must be 64 contiguous elements (stride 1 along dimension 1) at least 64"),
    ("add_rms_norm", lambda: (f(2, 64), None, f(64), -1e-6), "eps must be a number from 0 to"),
    ("add_rms_norm", lambda: (f(2, 64), None, f(64), 1e39),
     "eps must be a number from 0 to float32's largest"),
    ("add_rms_norm", lambda: (f(2, 64), h(2, 65)[:, :64], f(64), 0.0),
     "delta rows must be 4-byte aligned"),
    ("add_rms_norm", lambda: (lambda r: (r, r.view(torch.half)[:, :64], f(64), 0.0))(f(2, 64)),
     "delta must not overlap residual"),
    ("rotary_cache", lambda: rotary_args(sin=f(8, 64).cpu()), "sin must be a XPU tensor"),
    ("rotary_cache", lambda: rotary_args(k_cache=f(2, 2, 8, 64)), "k_cache must be Half"),
    ("rotary_cache", lambda: rotary_args(k_cache=h(2, 2, 8, 72)),
     "k_cache must have head size D (size of dimension 3) a multiple of 16 from 16 to 256"),
    ("rotary_cache", lambda: rotary_args(kv_heads=0), "kv_heads must be at least 1"),
    ("rotary_cache", lambda: rotary_args(heads=3), "heads must be a positive multiple of kv_heads"),
    ("rotary_cache", lambda: rotary_args(heads=2 ** 62, kv_heads=2),
     "qkv must have at least (heads + 2 * kv_heads) * D columns with heads = 4611686018427387904"),
    ("rotary_cache", lambda: rotary_args(heads=4, kv_heads=4), "k_cache must have kv_heads = 4"),
    ("rotary_cache", lambda: rotary_args(k_cache=torch._neg_view(h(2, 2, 8, 64))),
     "k_cache must not be a lazily negated view"),
    ("rotary_cache", lambda: rotary_args(v_cache=h(2, 2, 9, 64)), "v_cache must be Half"),
    ("rotary_cache", lambda: rotary_args(qkv=h(2, 5 * 64)), "qkv must have at least"),
    ("rotary_cache", lambda: rotary_args(qkv=h(3, 6 * 64)), "qkv must have B * C rows"),
    ("rotary_cache", lambda: rotary_args(cos=f(8, 32)), "cos must be [P, 64] (D of k_cache)"),
    ("rotary_cache", lambda: rotary_args(sin=f(7, 64)), "sin must have the sizes of cos"),
    ("rotary_cache", lambda: rotary_args(start=-1), "start must be at least 0"),
    ("rotary_cache", lambda: rotary_args(start=8), "start + C = 8 + 1 must be at most L = 8"),
    ("rotary_cache", lambda: rotary_args(k_cache=h(2, 2, 9, 64), v_cache=h(2, 2, 9, 64), start=8),
     "start + C = 8 + 1 must be at most P = 8 (cos.size(0))"),
    ("rotary_cache", lambda: rotary_args(qkv=misaligned(2, 6 * 64)), "qkv rows must be 4-byte"),
    ("rotary_cache", lambda: (lambda c: rotary_args(k_cache=c, v_cache=c))(h(2, 2, 8, 64)),
     "k_cache and v_cache must not overlap"),
    ("rotary_cache", lambda: (lambda c: rotary_args(v_cache=c, qkv=c.view(2, -1)[:, :384]))(
        h(2, 2, 8, 64)), "v_cache must not overlap qkv"),
    ("silu_mul", lambda: (h(2, 64).cpu(), 32), "gate_up must be a XPU tensor"),
    ("silu_mul", lambda: (f(2, 64), 32), "gate_up must be Half"),
    ("silu_mul", lambda: (h(2, 64), 24),
     "intermediate must be a multiple of 16 from 16 to 65536, got 24"),
    ("silu_mul", lambda: (h(2, 48), 32), "gate_up must have at least 2 * intermediate = 64"),
    ("silu_mul", lambda: (h(64, 2).t(), 32), "gate_up rows must be contiguous elements"),
    ("silu_mul", lambda: (misaligned(2, 64), 32), "gate_up rows must be 4-byte aligned"),
]


@pytest.mark.parametrize("op, make, message", ERRORS, ids=[m for _, _, m in ERRORS])
def test_refused_before_launch(launches, op, make, message):
    args = make()
    args = args.values() if isinstance(args, dict) else args
    for fn in (getattr(vantrel, op), getattr(torch.ops.vantrel, op)):
        with pytest.raises(RuntimeError, match="^" + re.escape(message)):
            fn(*args)
    assert launches() == []


@pytest.mark.parametrize("call, problem", [
    (lambda: vantrel.add_rms_norm(f(1, 64), None, f(64), "1e-6"), "argument 3 (eps) must be a"),
    (lambda: vantrel.add_rms_norm(f(1, 64), None, f(64), True), "argument 3 (eps) must be a"),
    (lambda: vantrel.rotary_cache(**rotary_args(start=1.0)), "argument 5 (start) must be an int"),
    (lambda: vantrel.silu_mul(h(1, 64)), "missing argument 'intermediate'"),
])
def test_wrong_arguments_raise_type_error(call, problem):
    with pytest.raises(TypeError, match="incompatible function arguments") as err:
        call()
    assert problem in str(err.value)


# Per operator: fresh arguments of a call, the arguments it writes, the shape it returns.
CALLS = {
    "add_rms_norm": (lambda: [randn(2, 64, dtype=torch.float).to(XPU), h(2, 64), f(64), 1e-6],
                     (0,), (2, 64)),
    "rotary_cache": (lambda: list(rotary_args(qkv=randn(2, 384).to(XPU)).values()), (3, 4),
                     (2, 2, 1, 64)),
    "silu_mul": (lambda: [randn(2, 64).to(XPU), 32], (), (2, 32)),
}


def script_add_rms_norm(residual, delta: Optional[torch.Tensor], weight, eps: float):
    return torch.ops.vantrel.add_rms_norm(residual, delta, weight, eps)


def script_rotary_cache(qkv, cos, sin, k_cache, v_cache, start: int, heads: int, kv_heads: int):
    return torch.ops.vantrel.rotary_cache(qkv, cos, sin, k_cache, v_cache, start, heads, kv_heads)


def script_silu_mul(gate_up, intermediate: int):
    return torch.ops.vantrel.silu_mul(gate_up, intermediate)


@pytest.mark.parametrize("op", CALLS)
def test_dispatcher(op):
    """torch.ops.vantrel.<op>, called or compiled by TorchScript, returns and writes what the
    module's function does; on meta tensors it gives the shape without a launch."""
    make, written, shape = CALLS[op]
    expected = make()
    out = getattr(vantrel, op)(*expected)
    for fn in (getattr(torch.ops.vantrel, op), torch.jit.script(globals()["script_" + op])):
        args = make()
        assert torch.equal(fn(*args).cpu(), out.cpu())
        assert all(torch.equal(args[i].cpu(), expected[i].cpu()) for i in written)
    xpuemu.clear_launch_log()
    meta = getattr(torch.ops.vantrel, op)(*[
        torch.empty(a.shape, dtype=a.dtype, device="meta") if torch.is_tensor(a) else a
        for a in make()])
    assert (meta.device.type, tuple(meta.shape), meta.dtype) == ("meta", shape, torch.half)
    assert xpuemu.launch_log() == []


@pytest.mark.parametrize("op", CALLS)
def test_profiler_scope(op):
    args = CALLS[op][0]()
    with torch.profiler.profile(activities=[torch.profiler.ProfilerActivity.CPU]) as prof:
        getattr(vantrel, op)(*args)
    names = [e.name for e in prof.events()]
    assert names.count(f"ferrow_{op}_forward") == names.count("dpcpp_kernel") == 1


@pytest.mark.parametrize("op, args, shape", [
    ("add_rms_norm", lambda: (f(0, 64), h(0, 64), f(64), 0.0), (0, 64)),
    ("rotary_cache", lambda: rotary_args(qkv=h(0, 384)).values(), (2, 2, 0, 64)),
    ("silu_mul", lambda: (h(0, 64), 32), (0, 32))])
def test_empty_calls_launch_nothing(launches, op, args, shape):
    assert getattr(vantrel, op)(*args()).shape == shape
    assert launches() == []


@pytest.mark.parametrize("op, args, negated", [
    ("add_rms_norm", lambda: [randn(2, 64, dtype=torch.float).to(XPU), h(2, 64), f(64), 0.0], 1),
    ("add_rms_norm", lambda: [randn(2, 64, dtype=torch.float).to(XPU), None, f(64), 0.0], 0),
    ("add_rms_norm", lambda: [f(2, 64), None, randn(64, dtype=torch.float).to(XPU), 0.0], 2),
    ("rotary_cache", lambda: list(rotary_args(qkv=randn(2, 384).to(XPU)).values()), 0),
    ("rotary_cache", lambda: list(rotary_args(sin=randn(8, 64, dtype=torch.float).to(XPU))
                                  .values()), 2),
    ("silu_mul", lambda: [randn(2, 64).to(XPU), 32], 0)])
def test_pending_negation_is_read(op, args, negated):
    """A lazily negated input (torch._neg_view) is read with its sign (residual when not
    written), through the module and the dispatcher."""
    def call(fn, negate):  # fresh arguments: add_rms_norm writes its residual
        a = args()
        a[negated] = negate(a[negated])
        return fn(*a).cpu()

    expected = call(getattr(vantrel, op), torch.neg)
    for fn in (getattr(vantrel, op), getattr(torch.ops.vantrel, op)):
        assert torch.equal(call(fn, torch._neg_view), expected)
