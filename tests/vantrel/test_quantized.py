"""Packed 4- and 8-bit weights: the quantizer against a float64 model of its formulas, the layout's
element formula, the dequantizer, forward_quantized equal to forward on the dequantized weights bit
for bit on every path, its kernels' launches, checks, registration and table entries."""
import numpy as np
import pytest
import torch
import xpuemu

import vantrel

XPU = torch.device("xpu")
WIDTHS = vantrel.linear_widths()


def packed_n(K):
    return 32 if vantrel.linear_layout(K) == "arranged" else 16


def quantized(K, N, bits, g, symmetric, seed=0, dtype=torch.half):
    w = torch.randn(N, K, generator=torch.Generator().manual_seed(seed)).to(dtype).to(XPU)
    return vantrel.quantize_weights(w, bits, g, symmetric)


def model(w, bits, g, symmetric):
    """The quantizer's formulas in float64: codes and scales row-major [N, K], [N, K/g]."""
    x = w.cpu().double().numpy().reshape(w.shape[0], -1, g)
    qmax, mid = 2 ** bits - 1, 2 ** (bits - 1)
    if symmetric:
        s, lo = np.abs(x).max(-1) / (mid - 1), None
    else:
        lo = np.minimum(x.min(-1), 0)
        s = (np.maximum(x.max(-1), 0) - lo) / qmax
    s = np.maximum(s.astype(np.float16), np.float16(2 ** -24))
    z = np.full(s.shape, mid) if symmetric else np.clip(np.round(-lo / s), 0, qmax)
    q = np.clip(np.round(x / s[..., None].astype(np.float64)) + z[..., None], 0, qmax)
    return q.reshape(w.shape).astype(np.uint8), s, z


def in_layout(a, K):
    """Per-row values [N, L] in the layout of width K: [N/16, L, 16] for the arranged widths."""
    if vantrel.linear_layout(K) != "arranged":
        return a
    return a.reshape(a.shape[0] // 16, 16, -1).transpose(0, 2, 1).copy()


def code_at(qweight, bits, K, n, k):
    """The code of (n, k) read at its documented byte and nibble."""
    flat = qweight.cpu().flatten()
    if vantrel.linear_layout(K) == "arranged":
        index = ((n // 16) * K + k) * 16 + n % 16
    else:
        index = n * K + k
    byte = int(flat[index * bits // 8])
    return byte if bits == 8 else (byte >> 4 if index % 2 else byte & 15)


def launched(call):
    """The result of call() and the record of its single launch."""
    xpuemu.clear_launch_log()
    out = call()
    (rec,) = xpuemu.launch_log()
    return out, rec


@pytest.mark.parametrize("bits", vantrel.QUANT_BITS)
@pytest.mark.parametrize("K", WIDTHS)
def test_same_result_as_forward_on_the_dequantized_weights(K, bits):
    """Bit for bit, from one launch of the table's kernel in the half kernel's geometry, reading
    every code, scale and zero exactly once and nothing dequantized."""
    N = packed_n(K)
    for g in (g for g in vantrel.QUANT_GROUP_SIZES if K % g == 0):
        for symmetric in (False, True):
            qw, s, z = quantized(K, N, bits, g, symmetric, seed=K + g)
            W = vantrel.arrange_weights(vantrel.dequantize_weights(qw, s, z, bits, g))
            packed = {t.storage().data_ptr(): t.numel() * t.element_size()
                      for t in (qw, s, z) if t is not None}
            for M in (1, 8, 2 + K % 6):
                case = (g, symmetric, M)
                x = torch.randn(M, K, generator=torch.Generator().manual_seed(M)).half().to(XPU)
                half, half_rec = launched(lambda: vantrel.forward(x, W))
                out, rec = launched(lambda: vantrel.forward_quantized(x, qw, s, z, bits, g))
                assert torch.equal(out.cpu(), half.cpu()), case
                assert rec["kernel"] == vantrel.quantized_kernel(M, K, bits, g), case
                assert "error" not in rec and rec["local"] == half_rec["local"], case
                assert rec["global"] == half_rec["global"], case
                for address, size in packed.items():
                    assert rec["loads"][address] == rec["loads_unique"][address] == size, case
                xa = x.storage().data_ptr()
                assert set(rec["loads"]) == set(packed) | {xa}, case
                assert rec["loads_unique"][xa] == M * K * 2, case
                assert rec["stores"] == {out.storage().data_ptr(): out.numel() * 2}, case


@pytest.mark.parametrize("K", [4096, 11008, 1376, 96])
@pytest.mark.parametrize("shape, dtype", [((0,), torch.half), ((9,), torch.half),
                                          ((2, 3), torch.half), ((3,), torch.float),
                                          ((5,), torch.double)])
def test_pytorch_paths_equal_forward(K, shape, dtype):
    qw, s, z = quantized(K, packed_n(K), 4, 32, False)
    W = vantrel.arrange_weights(vantrel.dequantize_weights(qw, s, z, 4, 32)).to(dtype)
    x = torch.randn(*shape, K).to(dtype).to(XPU)
    out = vantrel.forward_quantized(x, qw, s, z, 4, 32).cpu()
    assert out.dtype == dtype and torch.equal(out, vantrel.forward(x, W).cpu())


@pytest.mark.parametrize("K", [4096, 256])
@pytest.mark.parametrize("bits, g", [(4, 32), (8, 128)])
@pytest.mark.parametrize("symmetric", [False, True])
@pytest.mark.parametrize("dtype", [torch.half, torch.bfloat16, torch.float])
@pytest.mark.parametrize("device", [XPU, "cpu"])  # tensor formulas on the device, a loop on the CPU
def test_quantizer_follows_the_formulas(K, bits, g, symmetric, dtype, device):
    N = packed_n(K)
    w = torch.randn(N, K, generator=torch.Generator().manual_seed(bits)).to(dtype)
    w[0, :g] = 0  # an all-zero group: scale 2^-24, codes z
    w[1, :g] = 0.75  # a group of one sign
    q, s, z = model(w, bits, g, symmetric)
    qw, scales, zeros = vantrel.quantize_weights(w.to(device), bits, g, symmetric)
    assert (zeros is None) == symmetric and qw.device.type == torch.device(device).type
    codes = np.array([[code_at(qw, bits, K, n, k) for k in range(K)] for n in range(N)])
    assert np.array_equal(codes, q)
    assert np.array_equal(in_layout(s, K), scales.cpu().numpy())
    if not symmetric:
        assert np.array_equal(in_layout(z.astype(np.int16), K), zeros.cpu().numpy())
    # Round trip within s/2 plus the result's rounding to half; a code clamped at 0 or 2^b - 1
    # (rounded z and w / s pushing past the end) within s, plus s's rounding to half.
    back = vantrel.dequantize_weights(qw, scales, zeros, bits, g).cpu().double().numpy()
    x, s_k = w.double().numpy(), np.repeat(s.astype(np.float64), g, -1)
    unclamped = np.round(x / s_k) + np.repeat(z, g, -1)
    clamped = (unclamped < 0) | (unclamped > 2 ** bits - 1)
    bound = s_k * np.where(clamped, 1 + 2 ** -7, 0.5) + np.abs(back) * 2 ** -11
    assert (np.abs(back - x) <= bound).all()
    assert (back[0, :g] == 0).all()


def test_scale_rounds_to_half_once():
    """A range / 255 just above a half tie: through float it would become the tie, then 1.0."""
    w = torch.zeros(16, 256)
    w[0, 0], w[0, 1] = 255 * (1 + 2 ** -11), -2 ** -30
    _, s, _ = vantrel.quantize_weights(w, 8, 32)
    assert s[0, 0].item() == 1 + 2 ** -10


@pytest.mark.parametrize("K, bits", [(4096, 4), (4096, 8), (256, 4), (256, 8)])
def test_dequantize_a_hand_built_tensor(K, bits):
    """Codes placed at the documented byte and nibble: code (n, k) = (n + 3k) mod 2^bits."""
    N, g = 32, 64
    arranged = vantrel.linear_layout(K) == "arranged"
    n, k = np.meshgrid(np.arange(N), np.arange(K), indexing="ij")
    q = (n + 3 * k) % 2 ** bits
    flat = in_layout(q, K).reshape(-1)
    packed = flat if bits == 8 else flat[0::2] | (flat[1::2] << 4)
    qweight = torch.from_numpy(packed.astype(np.uint8)).reshape(
        (N // 16, K, 16 * bits // 8) if arranged else (N, K * bits // 8))
    s = (np.arange(N * K // g).reshape(N, K // g) % 7 + 1).astype(np.float16) / 64
    zr = (np.arange(N * K // g).reshape(N, K // g) % 2 ** bits).astype(np.int16)
    out = vantrel.dequantize_weights(qweight.to(XPU), torch.from_numpy(in_layout(s, K)).to(XPU),
                                     torch.from_numpy(in_layout(zr, K)).to(XPU), bits,
                                     g).cpu().numpy()
    expected = ((q - np.repeat(zr, g, -1)) * np.repeat(s, g, -1).astype(np.float32))
    assert np.array_equal(out, expected.astype(np.float16))


def args(K=4096, N=32, bits=4, g=32, M=2):
    qw, s, z = quantized(K, N, bits, g, False)
    return [torch.randn(M, K).half().to(XPU), qw, s, z, bits, g]


def changed(i, value, **kw):
    a = args(**kw)
    a[i] = value(a[i]) if callable(value) else value
    return a


@pytest.mark.parametrize("call, message", [
    (changed(0, lambda t: t.cpu()), "input must be a XPU tensor"),
    (changed(3, lambda t: t.cpu()), "zeros must be a XPU tensor"),
    (changed(1, lambda t: t.transpose(0, 1)), "qweight must be contiguous"),
    (changed(0, lambda t: t.bfloat16()), "input must be float16, float32 or float64"),
    (changed(1, lambda t: t.to(torch.int8)), "qweight must be uint8"),
    (changed(2, lambda t: t.float()), "scales must be float16"),
    (changed(3, lambda t: t.int()), "zeros must be int16"),
    (changed(4, 2), "bits must be 4 or 8, got 2"),
    (changed(5, 16), "group_size must be 32, 64 or 128, got 16"),
    (changed(0, lambda t: t[0]), r"input must be \[M, K\]"),
    (changed(5, 128, K=1376, N=16),
     "input width K = 1376 must be a multiple of group_size = 128"),
    (changed(4, 8), r"qweight must be \[N/16, 4096, 16\] \(8-bit codes of width 4096 in blocks"),
    (changed(1, lambda t: t[:, :128].contiguous(), K=256, N=16, bits=8),
     r"qweight must be \[N, 256\] \(8-bit codes of width 256, row-major\)"),
    (changed(2, lambda t: t[:, :64].contiguous()), r"scales must be \[2, 128, 16\]"),
    (changed(3, lambda t: t[:1].contiguous()), r"zeros must be \[2, 128, 16\]"),
    (args(K=256, N=6), "qweight must hold N a multiple of 4 outputs for K = 256, got N = 6"),
])
def test_bad_input_raises_before_a_launch(call, message):
    for fn in (vantrel.forward_quantized, torch.ops.vantrel.forward_quantized):
        with pytest.raises(RuntimeError, match=f"^{message}"):
            fn(*call)
    assert xpuemu.launch_log() == []


@pytest.mark.parametrize("call, problem", [
    ((torch.zeros(1),) * 3 + (None, 4), "missing argument 'group_size'"),
    ((torch.zeros(1),) * 3 + ([], 4, 32), "argument 3 (zeros) must be a torch.Tensor or None"),
    ((torch.zeros(1),) * 3 + (None, 4.0, 32), "argument 4 (bits) must be an int"),
    ((torch.zeros(1),) * 3 + (None, True, 32), "argument 4 (bits) must be an int"),
])
def test_wrong_arguments_raise_type_error(call, problem):
    with pytest.raises(TypeError, match="incompatible function arguments") as err:
        vantrel.forward_quantized(*call)
    assert problem in str(err.value)


def test_registration_and_names():
    x, qw, s, z, bits, g = args(K=256, N=16, bits=8, g=64, M=3)
    expected = vantrel.forward_quantized(x, qw, s, z, bits, g).cpu()
    assert torch.equal(torch.ops.vantrel.forward_quantized(x, qw, s, z, bits, g).cpu(), expected)
    assert torch.equal(vantrel.forward_quantized(group_size=g, bits=bits, zeros=z, scales=s,
                                                 qweight=qw, input=x).cpu(), expected)
    meta = [t.to("meta") for t in (x.view(1, 3, 256), qw, s, z)]
    out = torch.ops.vantrel.forward_quantized(*meta, bits, g)
    assert out.device.type == "meta" and tuple(out.shape) == (1, 3, 16)


def test_table():
    assert vantrel.QUANT_BITS == (4, 8) and vantrel.QUANT_GROUP_SIZES == (32, 64, 128)
    assert vantrel.kernel_table()["linear"]["quantized"] == {
        "bits": (4, 8), "group_sizes": (32, 64, 128), "kernels": True}
    assert [vantrel.quantized_kernel(1, K, b, g) for K, b, g in
            [(4096, 4, 128), (11008, 8, 64), (1376, 4, 32)]] == [
        "gemmCommonDim4096Int4G128V0", "gemmCommonDim11008Int8G64NoReshape",
        "gemmCommonDim1376Int4G32NoReshape"]
    for rows, K, b, g in [(0, 4096, 4, 32), (9, 4096, 4, 32), (1, 96, 4, 32), (1, 1376, 4, 64),
                          (1, 4096, 2, 32), (1, 4096, 4, 16)]:
        assert vantrel.quantized_kernel(rows, K, b, g) is None


@pytest.mark.parametrize("w, bits, g, message", [
    (torch.zeros(2, 16, 256), 4, 32, "w must be 2-D row-major weights"),
    (torch.zeros(16, 256, dtype=torch.int32), 4, 32, "w must be float16, bfloat16 or float32"),
    (torch.zeros(16, 256), 3, 32, "bits must be 4 or 8, got 3"),
    (torch.zeros(16, 96), 4, 64, "w width K = 96 must be a multiple of group_size = 64"),
    (torch.zeros(8, 4096), 4, 32, "w must have N a multiple of 16 for K = 4096"),
    (torch.full((16, 256), float("nan")), 8, 32, "w must be finite"),
    (torch.full((16, 256), 1e6), 4, 32, r"w: a group's scale exceeds half's range \(max\|w\| / 7"),
])
@pytest.mark.parametrize("device", [XPU, "cpu"])
def test_quantizer_refuses_bad_input(w, bits, g, message, device):
    with pytest.raises(RuntimeError, match=f"^{message}"):
        w = w.to(device)
        vantrel.quantize_weights(w.t().contiguous().t() if w.dim() == 2 else w, bits, g,
                                 symmetric=True)


@pytest.mark.parametrize("K", [4096, 256])
@pytest.mark.parametrize("negated", ["qweight", "scales", "zeros"])
def test_negation_views_read_as_pytorch_sees_them(K, negated):
    """A pending negation bit on any weight tensor is the negated values, on the kernel path as
    in dequantize_weights."""
    parts = dict(zip(("qweight", "scales", "zeros"), quantized(K, packed_n(K), 4, 32, False)))
    parts[negated] = torch._neg_view(parts[negated])
    x = torch.randn(3, K, generator=torch.Generator().manual_seed(1)).half().to(XPU)
    W = vantrel.arrange_weights(vantrel.dequantize_weights(*parts.values(), 4, 32))
    out = vantrel.forward_quantized(x, *parts.values(), 4, 32)
    assert torch.equal(out.cpu(), vantrel.forward(x, W).cpu())
