"""vantrel.forward: entry checks, kernel results (exact, and bit for bit against float16 models of
the kernels' summation orders), launch geometry and traffic, profiler records, PyTorch paths."""
import re

import numpy as np
import pytest
import torch
import xpuemu

import vantrel
from host_models import linear_depth, linear_model

MAX_ROWS = vantrel.LINEAR_MAX_ROWS
LAYOUTS = vantrel.kernel_table()["linear"]["layouts"]
K0 = vantrel.linear_widths()[0]  # a width with a kernel


def is_arranged(K):
    return vantrel.linear_layout(K) == "arranged"


def n_multiple(K):
    return LAYOUTS[vantrel.linear_layout(K)]["n_multiple"]


def msg_arranged(K):
    return re.escape(f"weights must be [N/16, {K}, 16] or [N, {K}] with N a multiple of 16")


def msg_row_major(K):
    return re.escape(f"weights must be [N, {K}] with N a multiple of 4")


def data(rng, M, K, N, exact=False):
    """Half input [M, K] and row-major weights [N, K]. Exact data are small integers whose products
    and partial sums are exact in binary16, so any summation order gives the float64 product."""
    if exact:
        return (rng.integers(-2, 3, (M, K)).astype(np.float16),
                rng.integers(-1, 2, (N, K)).astype(np.float16))
    return (rng.uniform(-1, 1, (M, K)).astype(np.float16),
            (rng.uniform(-1, 1, (N, K)) / 8).astype(np.float16))


def product(x, w):
    return x.astype(np.float64) @ w.astype(np.float64).T


def check_bound(y, x, w, K):
    """|y - x.w^T| <= gamma(depth) |x|.|w|^T, the worst case of half rounding along the path."""
    n = linear_depth(K) * 2.0**-11
    bound = n / (1 - n) * product(np.abs(x), np.abs(w)) + 1e-6
    assert np.all(np.abs(y - product(x, w)) <= bound)


def layouts(w, K):
    """The accepted device layouts of row-major weights: pre-arranged [N/16, K, 16] and its [N, K]
    view for the arranged widths, row-major otherwise."""
    if not is_arranged(K):
        return {"2d": w}
    arranged = np.ascontiguousarray(w.reshape(len(w) // 16, 16, K).transpose(0, 2, 1))
    return {"3d": arranged, "2d": arranged.reshape(len(w), K)}


def dev(a, xpu):
    return torch.from_numpy(np.ascontiguousarray(a)).to(xpu)


def forward_np(x, w, xpu):
    return vantrel.forward(dev(x, xpu), dev(w, xpu)).cpu().numpy()


def refused(call, message):
    with pytest.raises(RuntimeError, match=f"^{message}"):
        call()
    assert xpuemu.launch_log() == []


# ---- entry point and checks -------------------------------------------------------------------

I32, BF16, F16, F32, F64 = torch.int32, torch.bfloat16, torch.half, torch.float32, torch.float64
DISPATCH = "\"qlinear_forward_xpu\" not implemented for "


@pytest.mark.parametrize("x_on, x_t, w_on, w_t, types, message", [
    ("cpu", False, "cpu", True, (I32, I32), "input must be a XPU tensor"),
    ("cpu", True, "xpu", False, (I32, I32), "input must be a XPU tensor"),
    ("xpu", True, "cpu", True, (I32, I32), "input must be contiguous"),
    ("xpu", False, "cpu", True, (I32, I32), "weights must be a XPU tensor"),
    ("xpu", False, "xpu", True, (I32, I32), "weights must be contiguous"),
    ("xpu", False, "xpu", False, (I32, F32), DISPATCH + "'Int'"),
    ("xpu", False, "xpu", False, (BF16, BF16), DISPATCH + "'BFloat16'"),
    ("xpu", False, "xpu", False, (F16, F32), "expected scalar type Half but found Float"),
    ("xpu", False, "xpu", False, (F16, F32, 64), "expected scalar type Half but found Float"),
    ("xpu", False, "xpu", False, (F16, BF16), "expected scalar type Half but found BFloat16"),
    ("xpu", False, "xpu", False, (torch.bool, F16), DISPATCH + "'Bool'"),
])
@pytest.mark.parametrize("rows", [(MAX_ROWS,), (MAX_ROWS + 1,), (2, 5)])
def test_checks_in_order(x_on, x_t, w_on, w_t, types, message, rows):
    """The element types decide, whatever the number of rows or dimensions of the input."""
    K = types[2] if len(types) > 2 else K0  # the typed-pointer check precedes the K choice
    x = torch.zeros(*rows, K, dtype=types[0], device=x_on)
    w = torch.zeros(16, K, dtype=types[1], device=w_on)
    refused(lambda: vantrel.forward(x.transpose(-1, -2) if x_t else x, w.t() if w_t else w),
            message)


# ---- kernel results -----------------------------------------------------------------------------

@pytest.mark.parametrize("K", vantrel.linear_widths())
@pytest.mark.parametrize("M", range(1, MAX_ROWS + 1))
def test_small_n(xpu, M, K):
    """Exact data give the float64 product, random data the model's bits, in every layout."""
    N = n_multiple(K)
    rng = np.random.default_rng(M * K)
    (xe, we), (x, w) = data(rng, M, K, N, exact=True), data(rng, M, K, N)
    expected = linear_model(K)(x, w).view(np.uint16)
    for wl, wle in zip(layouts(w, K).values(), layouts(we, K).values()):
        ye = forward_np(xe, wle, xpu)
        assert ye.shape == (M, N) and ye.dtype == np.float16
        np.testing.assert_array_equal(ye, product(xe, we))
        np.testing.assert_array_equal(forward_np(x, wl, xpu).view(np.uint16), expected)


@pytest.mark.parametrize("K, N, M", [(4096, 11008, 1), (4096, 4096, 8), (11008, 4096, 1),
                                     (11008, 4096, 5), (5120, 1024, 3), (28672, 256, 6),
                                     (1376, 4096, 8), (2752, 2048, 1), (256, 2048, 5)])
def test_full_width_layers(xpu, K, N, M):
    """All outputs within the rounding bound; sampled columns (first and last group included)
    bit for bit against the model."""
    rng = np.random.default_rng(N + M)
    x, w = data(rng, M, K, N)
    y = forward_np(x, layouts(w, K)["3d" if is_arranged(K) else "2d"], xpu)
    check_bound(y, x, w, K)
    cols = np.unique(np.r_[0:16, N - 16:N, rng.choice(N, 32, replace=False)])
    np.testing.assert_array_equal(y[:, cols].view(np.uint16),
                                  linear_model(K)(x, w[cols]).view(np.uint16))


# ---- launch geometry, SLM and traffic ----------------------------------------------------------

@pytest.mark.parametrize("K, N, M, glob, local, slm, barriers", [
    (4096, 11008, 1, (44032, 1), (64, 1), 16384, 688 * 2),
    (4096, 16, 5, (64, 1), (64, 1), 16384, 2 * 2),
    (5120, 32, 3, (128, 1), (64, 1), 16384, 2 * 2),
    (8192, 48, 8, (192, 1), (64, 1), 16384, 3 * 2 * 2),
    (11008, 4096, 1, (11264, 4), (11, 4), 384, 1024 * 2),
    (11008, 4, 5, (11, 4), (11, 4), 384, 2 * 2),
    (13824, 8, 2, (22, 4), (11, 4), 384, 2 * 2),
    (14336, 4, 7, (11, 4), (11, 4), 384, 2 * 2),
    (28672, 12, 4, (33, 4), (11, 4), 384, 3 * 2),
    # Small and partial-slice widths: most work-items of 256 hold no slice; 1376, 1728 and 2752
    # end in a slice of 96, 64 and 64 features.
    (256, 8, 8, (22, 4), (11, 4), 384, 2 * 2 * 2),
    (1376, 4, 1, (11, 4), (11, 4), 384, 2),
    (1728, 12, 6, (33, 4), (11, 4), 384, 3 * 2 * 2),
    (2752, 8, 3, (22, 4), (11, 4), 384, 2 * 2),
])
def test_launch_record(xpu, K, N, M, glob, local, slm, barriers):
    x = torch.ones(M, K, dtype=torch.half, device=xpu)
    w = torch.ones(N, K, dtype=torch.half, device=xpu)
    out = vantrel.forward(x, w)
    (rec,) = xpuemu.launch_log()
    assert (rec["kernel"], rec["global"], rec["local"], rec["slm_bytes"], rec["barriers"],
            rec.get("error") or None) == (vantrel.linear_kernel(M, K), glob, local, slm, barriers,
                                          None)
    wa, xa, oa = (t.storage().data_ptr() for t in (w, x, out))
    # Each weight byte read exactly once per call; no input row at or past M read.
    assert rec["loads"][wa] == rec["loads_unique"][wa] == w.numel() * 2
    assert rec["loads_unique"][xa] == x.numel() * 2 and set(rec["loads"]) == {wa, xa}
    assert rec["stores"] == {oa: out.numel() * 2}
    assert torch.equal(out.cpu().float(), torch.full((M, N), float(K)))


@pytest.mark.parametrize("M, kernels", [(1, 1), (MAX_ROWS, 1), (MAX_ROWS + 1, 0)])
def test_profiler_records(xpu, M, kernels):
    x = torch.zeros(M, K0, dtype=torch.half, device=xpu)
    w = torch.zeros(16, K0, dtype=torch.half, device=xpu)
    with torch.profiler.profile(activities=[torch.profiler.ProfilerActivity.CPU],
                                record_shapes=True) as prof:
        vantrel.forward(x, w)
    scopes = [e for e in prof.events() if e.name == "ferrow_linear_fp16_forward"]
    assert len(scopes) == 1 and scopes[0].input_shapes == [[M, K0]]
    assert sum(e.name == "dpcpp_kernel" for e in prof.events()) == kernels
    assert len(xpuemu.launch_log()) == kernels


# ---- PyTorch paths and refused operands ---------------------------------------------------------

@pytest.mark.parametrize("dtype, M, K, x_shape, layout", [
    (F32, 4, 4096, None, "3d"), (F64, 2, 11008, None, "2d"), (F32, 12, 4096, None, "3d"),
    (F16, 3, 64, None, "2d"), (F16, 2, 4096, (1, 2, 4096), "3d"), (F32, 6, 64, (2, 3, 64), "2d"),
    (F32, 2, 8192, None, "3d"), (F64, 3, 13824, None, "2d"), (F16, 12, 14336, None, "2d"),
    (F16, 3, 2080, None, "2d"), (F16, 5, 11136, None, "2d"), (F16, 9, 28672, None, "2d"),
    (F16, 8, 1728, (1, 8, 1728), "2d"),
    # The [N, K] view of the blocked layout is blocks on these paths too, as for the kernel.
    (F16, 9, 4096, None, "2d"), (F32, 8, 5120, None, "2d"), (F16, 8, 8192, (2, 4, 8192), "2d"),
])
def test_pytorch_paths_give_the_product(xpu, dtype, M, K, x_shape, layout):
    """Float/Double, more rows than the kernels take, other K (also widths the kernels' geometry
    would fit), 3-D inputs: no kernel of ours, same product from the same weight bytes."""
    assert dtype != F16 or x_shape or vantrel.linear_kernel(M, K) is None  # a case without kernel
    x, w = data(np.random.default_rng(M + K), M, K, 32, exact=True)
    xd = dev(x, xpu).to(dtype).reshape(x_shape or (M, K))
    wd = dev(layouts(w, K)[layout], xpu).to(dtype)
    y = vantrel.forward(xd, wd)
    assert y.dtype == dtype and y.shape == (*xd.shape[:-1], 32)
    assert xpuemu.launch_log() == []
    np.testing.assert_array_equal(y.cpu().reshape(M, 32).double().numpy(), product(x, w))


@pytest.mark.parametrize("M", [3, MAX_ROWS + 4])
@pytest.mark.parametrize("negated", ["input", "weights"])
def test_pending_negation_is_applied(xpu, M, negated):
    """A lazily negated operand (torch._neg_view) is read with its sign, on the kernel path and on
    PyTorch's."""
    x, w = (dev(a, xpu) for a in data(np.random.default_rng(M), M, K0, 16, exact=True))
    args = {"input": x, "weights": w}
    args[negated] = torch._neg_view(args[negated])
    assert args[negated].is_neg()
    np.testing.assert_array_equal(vantrel.forward(args["input"], args["weights"]).cpu().numpy(),
                                  -vantrel.forward(x, w).cpu().numpy())


@pytest.mark.parametrize("K, w_shape, n", [(4096, (256, 4096, 16), 4096), (11008, (6, 11008), 6),
                                           (100, (3, 100), 3), (8192, (2, 8192, 16), 32),
                                           (28672, (8, 28672), 8)])
def test_zero_rows_give_empty_output_without_launch(xpu, K, w_shape, n):
    y = vantrel.forward(torch.empty(0, K, dtype=torch.half, device=xpu),
                        torch.empty(w_shape, dtype=torch.half, device=xpu))
    assert y.shape == (0, n) and y.device.type == "xpu"
    assert xpuemu.launch_log() == []


@pytest.mark.parametrize("M, K, w_shape, message", [
    (1, 4096, (24, 4096), msg_arranged(4096)), (9, 4096, (24, 4096), msg_arranged(4096)),
    (2, 4096, (2, 4096, 8), msg_arranged(4096)), (2, 4096, (16 * 4096,), msg_arranged(4096)),
    (1, 5120, (24, 5120), msg_arranged(5120)), (9, 8192, (2, 8192, 8), msg_arranged(8192)),
    (1, 11008, (6, 11008), msg_row_major(11008)), (1, 11008, (1, 11008, 4), msg_row_major(11008)),
    (1, 14336, (6, 14336), msg_row_major(14336)), (2, 28672, (1, 28672, 4), msg_row_major(28672)),
    (1, 1376, (6, 1376), msg_row_major(1376)), (3, 256, (1, 256, 4), msg_row_major(256)),
    (1, 64, (1, 64, 16), r"weights must be \[N, 64\] \(row-major\) for an input with 64 features"),
])
def test_refused_weights(xpu, M, K, w_shape, message):
    x = torch.zeros(M, K, dtype=torch.half, device=xpu)
    refused(lambda: vantrel.forward(x, torch.zeros(w_shape, dtype=torch.half, device=xpu)), message)


@pytest.mark.parametrize("which", ["input", "weights"])
@pytest.mark.parametrize("K", [widths[0] for widths in map(vantrel.linear_widths, LAYOUTS)])
def test_misaligned_operands_are_refused(xpu, which, K):
    shapes = {"input": (1, K), "weights": (16, K)}
    t = {name: torch.zeros(s, dtype=torch.half, device=xpu) for name, s in shapes.items()}
    t[which] = torch.zeros(16 * K + 1, dtype=torch.half, device=xpu)[1:1 + t[which].numel()]
    t[which] = t[which].view(shapes[which])  # 2 bytes past an aligned start
    refused(lambda: vantrel.forward(t["input"], t["weights"]),
            f"{which} data must start at a 4-byte aligned address")


def test_weights_of_4_gib_are_refused(xpu):
    xpuemu.set_poison(False)  # leave the 4 GiB untouched
    max_bytes = vantrel.kernel_table()["linear"]["max_weight_bytes"]
    w = torch.empty(max_bytes // (2 * K0), K0, dtype=torch.half, device=xpu)
    refused(lambda: vantrel.forward(torch.zeros(1, K0, dtype=torch.half, device=xpu), w),
            "weights must be smaller than 4 GiB")
