"""The XPU device in PyTorch: memory, copies, native kernels, the CPU fallback, waiting, the launch
log and the time spent in host operations."""
import io
import subprocess
import sys
import time
import warnings

import pytest
import torch

import xpuemu
import xpuemu_testkernels as kernels

XPU = torch.device("xpu")


def sample(shape, dtype=torch.float32, seed=0):
    g = torch.Generator().manual_seed(seed)
    return torch.randn(shape, generator=g).to(dtype)


VIEWS = {
    "contiguous": lambda t: t,
    "transposed": lambda t: t.t(),
    "offset_slice": lambda t: t[1:, 2:5],
    "stepped": lambda t: t[::2, 1::3],
}


@pytest.mark.parametrize("dtype", [torch.float32, torch.float16, torch.int64])
@pytest.mark.parametrize("view", VIEWS)
def test_round_trip_through_strided_views(dtype, view):
    f = VIEWS[view]
    x = sample((6, 8)).mul(10).to(dtype)
    assert torch.equal(f(x).to(XPU).cpu(), f(x))  # CPU view -> device -> CPU
    d = x.to(XPU)
    assert torch.equal(f(d).cpu(), f(x))  # device view -> CPU
    target = torch.zeros(6, 8, dtype=dtype, device=XPU)
    f(target).copy_(f(x))  # CPU -> device view
    expected = torch.zeros(6, 8, dtype=dtype)
    f(expected).copy_(f(x))
    assert torch.equal(target.cpu(), expected)


def test_printing_and_item():
    d = torch.tensor([[1.5, -2.0], [3.0, 4.25]], dtype=torch.float16).to(XPU)
    text = repr(d.t())
    assert "device='xpu:0'" in text and "-2." in text and "4.2500" in text
    assert d[1, 1].item() == 4.25


@pytest.mark.parametrize("shape", [(0,), (3, 0), (0, 4, 2)])
def test_zero_size_tensors(shape):
    d = torch.empty(shape, device=XPU)
    assert d.shape == shape and d.device == torch.device("xpu:0")
    assert d.cpu().shape == shape and d.sum().item() == 0
    assert torch.ones(shape).to(XPU).cpu().shape == shape


def test_allocations_are_aligned_and_poisoned():
    d = torch.empty(5, 3, device=XPU)
    assert d.data_ptr() % 64 == 0 and torch.isnan(d.cpu()).all()
    s = torch.empty_strided((2, 3), (1, 2), device=XPU)
    assert s.stride() == (1, 2)


@pytest.mark.parametrize("make", [
    lambda: torch.empty(2, device="xpu:1"),
    lambda: torch.ones(2).to("xpu:1"),
    lambda: torch.empty_strided((2,), (1,), device="xpu:1"),
])
def test_only_device_zero_exists(make):
    with pytest.raises(RuntimeError, match="xpu:1"):
        make()


@pytest.mark.parametrize("op, shapes", [
    ("mm", [(7, 300), (300, 5)]),
    ("addmm", [(5,), (7, 300), (300, 5)]),
    ("bmm", [(3, 4, 300), (3, 300, 6)]),
])
def test_half_gemm_rounds_once(op, shapes):
    args = [sample(s, torch.float16, seed=i) for i, s in enumerate(shapes)]
    kwargs = {"beta": 0.5, "alpha": 2.0} if op == "addmm" else {}
    got = getattr(torch, op)(*[a.to(XPU) for a in args], **kwargs)
    assert got.dtype == torch.float16 and got.device.type == "xpu"
    # Float accumulation, one rounding at the end.
    expected = getattr(torch, op)(*[a.float() for a in args], **kwargs).half()
    assert torch.equal(got.cpu(), expected)


def test_half_gemm_keeps_broadcast_operands_broadcast():
    # matmul hands bmm a weight expanded over the batch; widened whole, a batch of 2^40 empty rows
    # would need 2^46 bytes.
    x = torch.empty(0, dtype=torch.half, device=XPU).as_strided((2**40, 0, 1), (0, 0, 0))
    w = sample((16, 1), torch.float16, seed=0).to(XPU)
    assert torch.nn.functional.linear(x, w).shape == (2**40, 0, 16)
    a, b = sample((3, 4, 300), torch.float16, seed=1), sample((1, 300, 6), torch.float16, seed=2)
    got = torch.bmm(a.to(XPU), b.to(XPU).expand(3, 300, 6))
    assert torch.equal(got.cpu(), torch.bmm(a.float(), b.float().expand(3, 300, 6)).half())


FALLBACK_OPS = {
    "softmax": lambda t: torch.softmax(t, -1),
    "exp": torch.exp,
    "silu": torch.nn.functional.silu,
    "rsqrt": lambda t: torch.rsqrt(t.abs()),
    "mv": lambda t: torch.mv(t, t[0]),
    "max_dim": lambda t: torch.max(t, 1),
    "add": lambda t: t + t.t(),
}


def results(r):
    return list(r) if isinstance(r, tuple) else [r]


def softmax_grad(x, softmax=torch.softmax):
    return torch.autograd.grad(softmax(x, -1).pow(2).sum(), x)[0]


@pytest.mark.parametrize("op, ref", [
    (softmax_grad, softmax_grad),
    (lambda x: softmax_grad(x, torch.log_softmax), lambda x: softmax_grad(x, torch.log_softmax)),
    (lambda x: x.cumsum(-1, dtype=torch.half), lambda x: x.cumsum(-1)),
])
def test_half_op_widened_with_a_half_dtype_argument(op, ref):
    # The CPU lacks these half kernels; run in float, the dtype argument must say float too.
    x = sample((4, 6), torch.float16, seed=3)
    got = op(x.to(XPU).requires_grad_())
    assert got.dtype == torch.float16
    torch.testing.assert_close(got.cpu().float(), ref(x.float().requires_grad_()),
                               rtol=2e-2, atol=2e-3)


@pytest.mark.parametrize("op, ref", [(torch._foreach_exp_, torch.exp),
                                     (torch._foreach_sqrt_, torch.sqrt),
                                     (torch._foreach_sqrt, torch.sqrt)])
def test_foreach_over_half_and_float(op, ref):
    # Element by element on the CPU: a retry after the half element failed applied the op twice
    # to the float elements before it.
    base = sample((5,), torch.float32, seed=4).abs() + 0.5
    ts = [base.to(XPU), base.half().to(XPU)]
    out = op(ts) or ts
    assert [t.dtype for t in out] == [torch.float32, torch.float16]
    assert torch.equal(out[0].cpu(), ref(base))
    assert torch.equal(out[1].cpu(), ref(base.half().float()).half())


@pytest.mark.parametrize("dtype", [torch.float32, torch.float16])
@pytest.mark.parametrize("name", FALLBACK_OPS)
def test_fallback_matches_cpu(name, dtype):
    f = FALLBACK_OPS[name]
    x = sample((6, 6), dtype)
    got = results(f(x.to(XPU)))
    if dtype == torch.float16:  # as on CPU, else widened to float and rounded once to half
        expected = [r.half() if r.is_floating_point() else r for r in results(f(x.float()))]
    else:
        expected = results(f(x))
    assert len(got) == len(expected)
    for g, e in zip(got, expected):
        assert g.device.type == "xpu" and g.dtype == e.dtype
        assert torch.equal(g.cpu(), e)


@pytest.mark.parametrize("dtype", [torch.float32, torch.float16])
def test_in_place_on_view_and_out_with_resize(dtype):
    x = sample((4, 5), dtype)
    d = x.to(XPU)
    d[:, 1:3].exp_()
    x[:, 1:3] = x[:, 1:3].float().exp().to(dtype)
    assert torch.equal(d.cpu(), x)
    out = torch.empty(1, dtype=dtype, device=XPU)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UserWarning)  # resizing a non-empty out is deprecated
        result = torch.mul(d, 2, out=out)
    assert result is out and out.shape == (4, 5) and torch.equal(out.cpu(), x * 2)


@pytest.mark.parametrize("make_view", [
    lambda d: d.view(-1).unfold(0, 4, 2),
    lambda d: torch.view_as_real(d.view(torch.complex64)),
    lambda d: torch.empty(0, device=XPU).set_(d.storage(), 4, (3, 2), (4, 1)),
])
def test_views_alias_device_memory(make_view):
    d = torch.zeros(4, 4, device=XPU)
    v = make_view(d)
    assert v.device.type == "xpu" and v.storage().data_ptr() == d.storage().data_ptr()
    v.fill_(7)
    expected = torch.zeros(16)
    expected.as_strided(v.shape, v.stride(), v.storage_offset()).fill_(7)
    assert torch.equal(d.cpu().view(-1), expected)


@pytest.mark.parametrize("op", [
    lambda d, c: torch.cat([d, c]),
    lambda d, c: torch.equal(d, c),
    lambda d, c: torch.mm(d, c),
    lambda d, c: c.index_put_((d[0].long(),), torch.tensor(9.0)),  # c[index on the device] = 9
])
def test_mixing_devices_is_refused(op):
    d = torch.ones(2, 2, device=XPU)
    with pytest.raises(RuntimeError, match="same device"):
        op(d, torch.ones(2, 2))
    assert torch.equal((d * torch.tensor(2.0)).cpu(), torch.full((2, 2), 2.0))  # CPU scalars mix


def test_deferred_free_and_resize_wait_for_pending_kernel():
    t = torch.empty(1 << 12, device=XPU)
    kernels.fill(t, 1.0, delay_ms=100)
    del t  # freed only after the fill has run
    d = torch.zeros(16, device=XPU)
    kernels.fill(d, 3.0, delay_ms=50)
    d.resize_(4096)  # moves the storage: waits for the fill first
    assert (d[:16].cpu() == 3).all()
    xpuemu.synchronize()
    assert [r["kernel"] for r in xpuemu.launch_log()] == ["FillKernel", "FillKernel"]
    assert all("error" not in r for r in xpuemu.launch_log())


@pytest.mark.parametrize("failures", [1, 3])
@pytest.mark.parametrize("wait", [xpuemu.synchronize, lambda: torch.ones(1, device=XPU).cpu()])
def test_failure_raised_once_by_next_wait(failures, wait):
    t = torch.empty(8, device=XPU)
    for _ in range(failures):
        kernels.overrun(t)
    with pytest.raises(RuntimeError, match="OverrunKernel") as info:
        wait()
    message = str(info.value)
    assert (f"and {failures - 1} more" in message) if failures > 1 else ("more" not in message)
    xpuemu.synchronize()  # forgotten once reported
    assert sum("error" in r for r in xpuemu.launch_log()) == failures


def test_launch_log_records_and_profiler():
    t = torch.empty(64, device=XPU)
    (t.to("cpu") + 1).to(XPU).sum().item()  # host work: no launch
    assert xpuemu.launch_log() == []
    before = time.monotonic_ns()
    with torch.profiler.profile() as prof:
        kernels.fill(t, 2.0)
    xpuemu.synchronize()
    after = time.monotonic_ns()
    (record,) = xpuemu.launch_log()
    assert set(record) == {"kernel", "global", "local", "slm_bytes", "barriers", "loads",
                           "loads_unique", "stores", "start_ns", "end_ns"}
    assert before <= record["start_ns"] <= record["end_ns"] <= after  # the same clock
    assert (record["kernel"], record["global"], record["local"]) == ("FillKernel", (64, 1), (1, 1))
    assert record["stores"] == {t.storage().data_ptr(): 64 * 4} and record["loads"] == {}
    assert "dpcpp_kernel" in [e.key for e in prof.key_averages()]
    xpuemu.clear_launch_log()
    assert xpuemu.launch_log() == []


HOST_OPS = {
    "fallback": lambda d, h: d.exp_(),  # in place: no allocation outside the op
    "widened_fallback": lambda d, h: h[:, 1:].exp_(),  # its float copies are part of it
    "copy_inside_copy": lambda d, h: torch._copy_from_and_resize(d, torch.empty(0, device=XPU)),
    "to_cpu": lambda d, h: d.cpu(),
    "half_gemm": lambda d, h: h[:64] @ h[:, :64],
}


@pytest.mark.parametrize("name", HOST_OPS)
def test_host_op_time_counts_outermost_ops_after_their_wait(name):
    # One call per op, however many host operations run inside it; its time is most of the
    # op's wall time, but not the wait for a kernel still running.
    d = sample((1024, 1024)).to(XPU)
    h = d.half()
    for delay_ms in (0, 50):
        if delay_ms:
            kernels.fill(torch.empty(1, device=XPU), 0.0, delay_ms=delay_ms)  # waited for first
        calls, seconds = xpuemu.host_op_time()
        start = time.monotonic()
        result = HOST_OPS[name](d, h)  # noqa: F841  (freed after the measurement)
        wall = time.monotonic() - start
        calls_after, seconds_after = xpuemu.host_op_time()
        work = seconds_after - seconds
        assert calls_after - calls == 1
        if delay_ms:
            assert 0 < work < wall - 0.04
        else:
            assert wall / 4 < work <= wall


def run_python(code, env):
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          timeout=120, env=env)


@pytest.mark.parametrize("map_location", [None, "cpu"])
def test_save_and_load(map_location):
    t = sample((4, 6), torch.float16, seed=5).to(XPU)
    saved = {"t": t.t(), "row": t[1]}  # two views of one storage
    buf = io.BytesIO()
    torch.save(saved, buf)
    buf.seek(0)
    loaded = torch.load(buf, map_location=map_location)
    for name, v in saved.items():
        assert loaded[name].device.type == (map_location or "xpu")
        assert loaded[name].stride() == v.stride() and torch.equal(loaded[name].cpu(), v.cpu())
    loaded["row"].fill_(0)  # the views still share their storage
    assert not loaded["t"][:, 1].cpu().any()


@pytest.mark.parametrize("first, second", [("xpuemu", "torch"), ("torch", "xpuemu")])
def test_import_order(first, second, build_env):
    r = run_python(f"import {first}, {second}\n"
                   "print(torch.arange(3.0).to('xpu').mul(2).sum().item())", build_env)
    assert r.returncode == 0 and r.stdout.strip() == "6.0", r.stderr


def test_import_fails_when_another_backend_is_registered(build_env):
    r = run_python("import torch\n"
                   "lib = torch.library.Library('aten', 'IMPL', 'XPU')\n"
                   "lib.impl('empty.memory_format', lambda *args, **kwargs: None)\n"
                   "import xpuemu", build_env)
    assert r.returncode != 0
    assert r.stderr.rstrip().endswith("ImportError: an XPU backend is already registered")
