"""Attention step `vantrel.sdp_forward`: results, numeric model, cache views, grouped key/value
heads, geometry, errors."""
import re

import numpy as np
import pytest
import torch
import xpuemu

import vantrel
from host_models import sdp_model as model, sdp_reference as reference

HEAD_SIZES = vantrel.SDP_HEAD_SIZES  # the head sizes with kernels


def make_inputs(D, B, H, kv_len, dtype, seed, H_kv=None):
    """Normal q [B, H, 1, D] and k, v [B, H_kv, kv_len, D] (H_kv = H by default) on the CPU."""
    g = torch.Generator().manual_seed(seed)
    return tuple(torch.randn(B, h, n, D, generator=g).to(dtype)
                 for h, n in ((H, 1), (H_kv or H, kv_len), (H_kv or H, kv_len)))


def bits(t):
    return t.view(torch.int16 if t.dtype == torch.half else torch.int32)


def run(xpu, q, k, v):
    return vantrel.sdp_forward(q.to(xpu), k.to(xpu), v.to(xpu)).cpu()


RESULT_CASES = [  # (D, dtype, B, H, kv_len)
    (128, torch.half, 1, 1, 1), (128, torch.half, 2, 8, 5), (128, torch.half, 1, 32, 8),
    (128, torch.half, 2, 1, 13), (128, torch.half, 1, 8, 64), (128, torch.half, 2, 8, 100),
    (128, torch.half, 1, 32, 128), (128, torch.half, 2, 8, 129), (128, torch.half, 1, 1, 200),
    (128, torch.half, 2, 40, 256), (128, torch.half, 1, 8, 1000), (128, torch.half, 1, 32, 4096),
    (128, torch.float, 2, 8, 1), (128, torch.float, 1, 32, 65), (128, torch.float, 2, 40, 128),
    (128, torch.float, 1, 8, 4096),
    (64, torch.half, 1, 1, 1), (64, torch.half, 2, 8, 5), (64, torch.half, 1, 32, 8),
    (64, torch.half, 2, 12, 100), (64, torch.half, 1, 32, 128), (64, torch.half, 2, 8, 129),
    (64, torch.half, 1, 8, 1000), (64, torch.half, 1, 32, 4096),
    (64, torch.float, 2, 8, 1), (64, torch.float, 1, 32, 65), (64, torch.float, 2, 12, 300),
]


@pytest.mark.parametrize("D,dtype,B,H,kv_len", RESULT_CASES)
def test_matches_reference_and_model(xpu, D, dtype, B, H, kv_len):
    q, k, v = make_inputs(D, B, H, kv_len, dtype, seed=kv_len + 7 * H + B)
    out = run(xpu, q, k, v)
    assert out.shape == (B, H * D) and out.dtype == dtype
    assert torch.isfinite(out).all(), "an output element was left unwritten"
    ref = reference(q, k, v)
    vmax = v.abs().amax(dim=(2, 3)).double().repeat_interleave(D, dim=1).reshape(B, -1)
    # Half: dot products rounded to binary16 at |score| ~ 10 (ulp 2^-7) shift the weights by
    # up to ~0.05 %, plus the output's own rounding (2^-11); measured up to 6.5e-4 here.
    rel = 2e-3 if dtype == torch.half else 1e-6
    assert ((out.double() - ref).abs() <= rel * vmax).all()
    assert torch.equal(bits(out), bits(torch.from_numpy(model(q, k, v))))


@pytest.mark.parametrize("G", [1, 3, 4, 8, vantrel.SDP_MAX_GROUP])
@pytest.mark.parametrize("dtype,kv_len", [
    (torch.half, 7), (torch.half, 100), (torch.half, 129), (torch.float, 70)])
@pytest.mark.parametrize("D", HEAD_SIZES)
def test_grouped_heads_equal_repeated_heads(xpu, launches, D, dtype, kv_len, G):
    """k and v with H_kv = H / G heads (G = 1: plain heads): the call on heads repeated G times and
    the host model's bits, from the table's kernel reading each key and value row once. Half keys
    and values are views of longer caches."""
    B, H_kv = 2, 2
    q, k_cache, v_cache = make_inputs(D, B, H_kv * G, kv_len + 9, dtype, seed=kv_len + G,
                                      H_kv=H_kv)
    k, v = k_cache[:, :, :kv_len], v_cache[:, :, :kv_len]
    if dtype == torch.half:
        kd, vd = (t.to(xpu)[:, :, :kv_len] for t in (k_cache, v_cache))
    else:
        kd, vd = k.contiguous().to(xpu), v.contiguous().to(xpu)
    out = vantrel.sdp_forward(q.to(xpu), kd, vd).cpu()
    [rec] = launches()
    assert rec["kernel"] == vantrel.sdp_kernel(dtype, D, kv_len, G)
    for t in (kd, vd):
        addr = t.storage().data_ptr()
        assert rec["loads"][addr] == rec["loads_unique"][addr] == B * H_kv * kv_len * D * \
            t.element_size()
    repeated = run(xpu, q, k.repeat_interleave(G, dim=1), v.repeat_interleave(G, dim=1))
    assert torch.isfinite(out).all()
    assert torch.equal(bits(out), bits(repeated))
    assert torch.equal(bits(out), bits(torch.from_numpy(model(q, k, v))))


@pytest.mark.parametrize("D", HEAD_SIZES)
@pytest.mark.parametrize("dtype,kv_len", [(torch.half, 6), (torch.half, 13), (torch.half, 300),
                                          (torch.float, 70)])
def test_zero_query_gives_mean_of_values(xpu, dtype, kv_len, D):
    _, k, v = make_inputs(D, 1, 2, kv_len, dtype, seed=3)
    out = run(xpu, torch.zeros(1, 2, 1, D, dtype=dtype), k, v)
    mean = v.double().mean(dim=2).reshape(1, -1)
    tol = np.spacing(mean.abs().numpy().astype(np.float16)) if dtype == torch.half else 1e-6
    assert (np.abs(out.double().numpy() - mean.numpy()) <= tol).all()


@pytest.mark.parametrize("D", HEAD_SIZES)
@pytest.mark.parametrize("dtype", [torch.half, torch.float])
@pytest.mark.parametrize("B, H", [(0, 32), (2, 0)])
def test_no_heads_no_launch(xpu, launches, dtype, B, H, D):
    q, k, v = (torch.zeros(B, H, n, D, dtype=dtype, device=xpu) for n in (1, 9, 9))
    assert vantrel.sdp_forward(q, k, v).shape == (B, H * D)
    assert launches() == []


@pytest.mark.parametrize("D,dtype,B,H,H_kv,kv_len,glob,local,slm,barriers", [
    # One work-item per key (half, 8 to 128 keys), or blocks of 64 keys.
    (128, torch.half, 1, 32, 32, 100, (3200, 1), (100, 1), 33280, 32),
    (128, torch.half, 1, 32, 32, 128, (4096, 1), (128, 1), 33280, 32),
    (128, torch.half, 1, 32, 32, 129, (2048, 1), (64, 1), 16640, 32 * 6),
    (128, torch.half, 2, 3, 3, 7, (192, 2), (64, 1), 16640, 6 * 2),
    (128, torch.float, 2, 32, 32, 3, (2048, 2), (64, 1), 33024, 64 * 2),
    (64, torch.half, 1, 32, 32, 100, (3200, 1), (100, 1), 16896, 32),
    (64, torch.half, 1, 32, 32, 129, (2048, 1), (64, 1), 8448, 32 * 6),
    (64, torch.float, 2, 32, 32, 3, (2048, 2), (64, 1), 16640, 64 * 2),
    # Grouped: one work-group per (key/value head, batch entry); a barrier more for the staged
    # query rows.
    (128, torch.half, 1, 32, 8, 100, (800, 1), (100, 1), 57344, 8 * 2),
    (128, torch.half, 2, 8, 2, 129, (128, 2), (64, 1), 32768, 4 * 7),
    (128, torch.float, 1, 8, 1, 3, (64, 1), (64, 1), 57344, 3),
    (64, torch.half, 1, 24, 8, 100, (800, 1), (100, 1), 36864, 8 * 2),
    (64, torch.half, 2, 6, 2, 129, (128, 2), (64, 1), 20480, 4 * 7),
    (64, torch.float, 1, 8, 1, 3, (64, 1), (64, 1), 32768, 3),
])
def test_geometry(xpu, launches, D, dtype, B, H, H_kv, kv_len, glob, local, slm, barriers):
    vantrel.sdp_forward(*(t.to(xpu) for t in make_inputs(D, B, H, kv_len, dtype, 1, H_kv)))
    [rec] = launches()
    assert (rec["kernel"], rec["global"], rec["local"], rec["slm_bytes"], rec["barriers"]) == (
        vantrel.sdp_kernel(dtype, D, kv_len, H // H_kv), glob, local, slm, barriers)
    assert "error" not in rec


def test_profiler_scope_and_kernel_records(xpu):
    D = 128
    args = [tuple(t.to(xpu) for t in make_inputs(D, 1, 2, n, dt, seed=2))
            for dt, n in ((torch.half, 20), (torch.half, 150), (torch.float, 20))]
    with torch.profiler.profile(activities=[torch.profiler.ProfilerActivity.CPU],
                                record_shapes=True) as prof:
        for a in args:
            vantrel.sdp_forward(*a)
    scopes = [e for e in prof.events() if e.name == "ferrow_sdp_fp16_forward"]
    assert len(scopes) == 3 and all(len(e.input_shapes) == 3 for e in scopes)
    assert scopes[0].input_shapes == [[1, 2, 1, D], [1, 2, 20, D], [1, 2, 20, D]]
    assert sum(e.name == "dpcpp_kernel" for e in prof.events()) == 3


@pytest.mark.parametrize("D, x", [(128, 3.0), (64, 4.0)])
def test_huge_score_is_not_finite(xpu, D, x):
    """No maximum is subtracted: a raw score of D x^2 (1152, 1024) overflows its weight."""
    q = torch.full((1, 1, 1, D), x, dtype=torch.half)
    out = run(xpu, q, q.expand(1, 1, 16, D), q.expand(1, 1, 16, D))
    assert torch.isnan(out).all()


XPU = torch.device("xpu")
MAX_GROUP = vantrel.SDP_MAX_GROUP
Q, KV, Q64 = (1, 4, 1, 128), (1, 4, 10, 128), (1, 4, 1, 64)


def h(*shape, dtype=torch.half):
    return torch.randn(*shape).to(dtype).to(XPU)


def misaligned(*shape):
    return h(int(np.prod(shape)) + 1)[1:].view(*shape)


def odd_head_stride():  # [1, 2, 8, 128], heads 8 * 128 + 1 elements apart
    return h(2 * 1025 + 128).as_strided((1, 2, 8, 128), (2 * 1025, 1025, 128, 1))


ERROR_CASES = [  # (q, k, v) on the device, message; in the order the checks run
    (lambda: (h(1, 4, 2, 64), h(*KV), h(*KV)), "q_len must be 1 for this kernel impl"),
    (lambda: (h(1, 4, 1, 96), h(*KV), h(*KV)),
     "hidden dim must be 64 or 128 for this kernel impl"),
    (lambda: (h(1, 4, 1, 256), h(1, 4, 10, 256), h(1, 4, 10, 256)),
     "hidden dim must be 64 or 128 for this kernel impl"),
    (lambda: (h(4, 1, 128), h(*KV), h(*KV)),
     "q must be 4-D [B, H, 1, D] with D = 64 or 128, got 3 dimensions"),
    (lambda: (h(*Q, dtype=torch.bfloat16), h(*KV), h(*KV)), "q must be Half or Float"),
    (lambda: (h(1, 128, 4, 1).permute(0, 2, 3, 1), h(*KV), h(*KV)), "q must be contiguous"),
    (lambda: (h(*Q), h(1, 4, 10), h(*KV)),
     "k must be [B, H_kv, kv_len, D] with B = 1 and D = 128 of q"),
    (lambda: (h(2, 4, 1, 128), h(*KV), h(*KV)),
     "k must be [B, H_kv, kv_len, D] with B = 2 and D = 128 of q"),
    (lambda: (h(*Q64), h(*KV), h(*KV)),
     "k must be [B, H_kv, kv_len, D] with B = 1 and D = 64 of q"),
    (lambda: (h(1, 32, 1, 128), h(1, 5, 10, 128), h(1, 5, 10, 128)),
     "q and k: H = 32 of q must be a multiple of H_kv = 5 of k"),
    (lambda: (h(1, 2 * MAX_GROUP, 1, 128), h(1, 1, 10, 128), h(1, 1, 10, 128)),
     f"q and k: H = {2 * MAX_GROUP} of q must be at most {MAX_GROUP} times H_kv = 1 of k"),
    (lambda: (h(*Q), h(*KV, dtype=torch.float), h(*KV)), "k must have the element type of q"),
    (lambda: (h(*Q), h(*KV), h(1, 4, 11, 128)), "v must have the sizes of k"),
    (lambda: (h(1, 8, 1, 128), h(1, 2, 10, 128), h(1, 8, 10, 128)), "v must have the sizes of k"),
    (lambda: (h(*Q), h(*KV), h(*KV, dtype=torch.float)), "v must have the element type of q"),
    (lambda: (h(*Q), h(1, 4, 0, 128), h(1, 4, 0, 128)), "kv_len (k.size(2)) must be at least 1"),
    (lambda: (h(*Q), h(1, 4, 128, 10).transpose(2, 3), h(*KV)),
     "k rows must be 128 contiguous elements"),
    (lambda: (h(*Q), h(1, 4, 20, 128)[:, :, ::2], h(*KV)),
     "k rows must be 128 contiguous elements (stride 128 along dimension 2"),
    (lambda: (h(*Q), h(*KV), h(1, 4, 12, 128)[:, :, :10]), "v must be laid out like k"),
    (lambda: (h(*Q, dtype=torch.float), h(1, 4, 12, 128, dtype=torch.float)[:, :, :10],
              h(*KV, dtype=torch.float)), "k must be contiguous for Float"),
    (lambda: (h(*Q, dtype=torch.float), h(*KV, dtype=torch.float),
              h(1, 4, 12, 128, dtype=torch.float)[:, :, :10]), "v must be contiguous for Float"),
    (lambda: (misaligned(*Q), h(*KV), h(*KV)), "q data pointer must be 4-byte aligned"),
    (lambda: (h(*Q), misaligned(*KV), misaligned(*KV)), "k rows must be 4-byte aligned"),
    (lambda: (h(1, 2, 1, 128), odd_head_stride(), odd_head_stride()),
     "k rows must be 4-byte aligned"),
    (lambda: (h(*Q), h(*KV), misaligned(*KV)), "v data pointer must be 4-byte aligned"),
]


@pytest.mark.parametrize("make,message", ERROR_CASES, ids=[m for _, m in ERROR_CASES])
def test_rejected_before_launch(launches, make, message):
    with pytest.raises(RuntimeError, match="^" + re.escape(message)):
        vantrel.sdp_forward(*make())
    assert launches() == []


@pytest.mark.parametrize("on_cpu", "qkv")
def test_device_checks_come_first(on_cpu):
    args = [h(1, 4, 2, 64), h(*KV), h(*KV)]  # q also fails the q_len and head-dim checks
    args["qkv".index(on_cpu)] = args["qkv".index(on_cpu)].cpu()
    with pytest.raises(RuntimeError, match=f"^{on_cpu} must be a XPU tensor"):
        vantrel.sdp_forward(*args)


@pytest.mark.parametrize("D", HEAD_SIZES)
def test_32_bit_offset_limit(xpu, launches, D):
    """Key and value offsets are 32-bit: a span of exactly 4 GiB is served, one more row is not.
    Untouched storage costs no memory with poisoning and checking off."""
    xpuemu.set_poison(False)
    xpuemu.set_checking(False)
    store = torch.empty(2 ** 31 + D, dtype=torch.half, device=xpu)
    s1 = 2 ** 31 - D  # head 1's single row ends at byte 2^32
    store[:D].copy_(torch.ones(D))
    store[s1:s1 + D].copy_(torch.full((D,), 2.0))
    q = torch.zeros(1, 2, 1, D, dtype=torch.half, device=xpu)
    kv = store.as_strided((1, 2, 1, D), (2 * s1, s1, D, 1))
    out = vantrel.sdp_forward(q, kv, kv).cpu().float()
    assert (out[0, :D] == 1).all() and (out[0, D:] == 2).all()
    xpuemu.clear_launch_log()
    kv = store.as_strided((1, 2, 1, D), (2 * s1 + D, s1 + D // 2, D, 1))
    with pytest.raises(RuntimeError, match="^k must span at most 4 GiB"):
        vantrel.sdp_forward(q, kv, kv)
    del store
    store = torch.empty(2 ** 30 + D, dtype=torch.float, device=xpu)
    kv = store.view(1, 1, 2 ** 30 // D + 1, D)
    with pytest.raises(RuntimeError, match="^k must span at most 4 GiB"):
        vantrel.sdp_forward(q.float()[:, :1], kv, kv)
    assert launches() == []


@pytest.mark.parametrize("D", HEAD_SIZES)
@pytest.mark.parametrize("kv_len, H, B, count", [
    (128, 1, 2 ** 24, "H * kv_len"), (300, 1, 2 ** 25, "H * 64"),
    (128, 2, 2 ** 24, "H_kv * kv_len")])
def test_work_item_count_limit(xpu, launches, kv_len, H, B, count, D):
    """B * H_kv * (work-items per key/value head) must stay below 2^31: refused on the host,
    naming q and k."""
    xpuemu.set_poison(False)  # a q of 2 to 8 GiB left untouched
    q = torch.empty(B, H, 1, D, dtype=torch.half, device=xpu)
    kv = torch.zeros(kv_len, D, dtype=torch.half, device=xpu).expand(B, 1, kv_len, D)
    with pytest.raises(RuntimeError, match=re.escape(f"q and k must have B * {count} < 2^31")):
        vantrel.sdp_forward(q, kv, kv)
    assert launches() == []


@pytest.mark.parametrize("D, dtype, kv_len", [(128, torch.half, 100), (128, torch.half, 300),
                                             (128, torch.float, 9), (64, torch.half, 100)])
@pytest.mark.parametrize("negated", range(3))
def test_pending_negation_is_applied(xpu, D, dtype, kv_len, negated):
    """A lazily negated q, k or v (torch._neg_view) is read with its sign."""
    args = [t.to(xpu) for t in make_inputs(D, 1, 2, kv_len, dtype, seed=kv_len)]
    plain = [a.clone() for a in args]
    plain[negated] = -plain[negated]
    args[negated] = torch._neg_view(args[negated])
    assert torch.equal(vantrel.sdp_forward(*args).cpu(), vantrel.sdp_forward(*plain).cpu())
