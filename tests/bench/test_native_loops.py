"""The native loops of bench/report.py compute bit for bit what the operators compute (half and
packed weights), count the bytes the launches read, and the bandwidth probe reads its whole buffer
once."""
import numpy as np
import pytest
import torch
import xpuemu

import vantrel
import vantrel_native as vn

XPU = torch.device("xpu")

# Input scales: ordinary values; exponents spread wide (products and sums in half's subnormal
# range, signed zeros); large values (sums overflowing to infinity, inf - inf).
SCALES = {"plain": lambda g, n: torch.ones(n),
          "wide": lambda g, n: 2.0 ** torch.randint(-14, 3, (n,), generator=g).float(),
          "large": lambda g, n: torch.full((n,), 300.0)}


def rand_half(g, shape, scale):
    n = int(np.prod(shape))
    return ((torch.rand(n, generator=g) - 0.5) * SCALES[scale](g, n)).reshape(shape).half()


def same_bits(a, b):
    return torch.equal(a.view(torch.int16), b.view(torch.int16))


def launch_bytes(out):
    xpuemu.synchronize()
    (record,) = xpuemu.launch_log()
    return out.cpu(), sum(record["loads_unique"].values())


# Output features per width: for the first width of each layout, several chunks of work of its
# loop (8 blocks of 16, or 64 features) with the last one partial; one chunk for the others.
N_OF = {"arranged": (320, 32), "row_major": (160, 8)}
LOOPS = {"arranged": vn.linear_arranged, "row_major": vn.linear_row_major}


def width_cases():
    return [(K, N_OF[layout][K != widths[0]]) for layout in LOOPS
            for widths in [vantrel.linear_widths(layout)] for K in widths]


@pytest.mark.parametrize("scale", SCALES)
@pytest.mark.parametrize("M", [1, 3, 6, vantrel.LINEAR_MAX_ROWS])
@pytest.mark.parametrize("K, N", width_cases())
def test_linear_matches_forward(K, N, M, scale):
    g = torch.Generator().manual_seed(K + 10 * M)
    x, w = rand_half(g, (M, K), scale), rand_half(g, (N, K), scale)
    w = vantrel.arrange_weights(w)
    expected, unique = launch_bytes(vantrel.forward(x.to(XPU), w.to(XPU)))
    out = torch.empty(M, N, dtype=torch.half)
    loop = LOOPS[vantrel.linear_layout(K)]
    result = loop(x.numpy(), w.numpy(), out.numpy(), reps=2, threads=3)
    assert same_bits(out, expected)
    assert result["bytes"] == unique


@pytest.mark.parametrize("layout, other", [("arranged", "row_major"), ("row_major", "arranged")])
def test_linear_loops_refuse_shapes_without_kernel(layout, other):
    """Too many or no rows, a width of the other layout or of none: refused, as by the table."""
    K, N = vantrel.linear_widths(layout)[0], N_OF[layout][1]
    for M, width in [(vantrel.LINEAR_MAX_ROWS + 1, K), (0, K), (1, vantrel.linear_widths(other)[0]),
                     (1, K + 16)]:
        x, w = np.zeros((M, width), np.float16), np.zeros((N, width), np.float16)
        with pytest.raises(ValueError):
            LOOPS[layout](x, w, np.zeros((M, N), np.float16))


def packed_operands(g, K, N, bits, group, symmetric):
    """Random codes, scales over a wide range of exponents (subnormal weights, products rounded
    in float before half) and zeros anywhere in [0, 2^bits], in the layout of width K."""
    blocks = vantrel.linear_layout(K) == "arranged"
    grid = (N // 16, K // group, 16) if blocks else (N, K // group)
    codes = (N // 16, K, 2 * bits) if blocks else (N, K * bits // 8)
    qweight = torch.randint(0, 256, codes, generator=g, dtype=torch.uint8)
    scales = rand_half(g, grid, "wide") * 2.0 ** torch.randint(-12, 4, grid, generator=g)
    zeros = None if symmetric else \
        torch.randint(0, 2**bits + 1, grid, generator=g, dtype=torch.int16)
    return qweight, scales.half(), zeros


# Each layout's first width, widths whose work-items straddle groups (5120: 80 features) or end in
# a partial slice (1376), and a wide row-major one.
PACKED_CASES = [(4096, 320), (5120, 32), (8192, 32), (256, 160), (1376, 8), (11008, 8)]
PACKED_LOOPS = {"arranged": vn.linear_arranged_packed, "row_major": vn.linear_row_major_packed}


@pytest.mark.parametrize("symmetric", [False, True])
@pytest.mark.parametrize("bits", vantrel.QUANT_BITS)
@pytest.mark.parametrize("K, N", PACKED_CASES)
def test_packed_linear_matches_forward_quantized(K, N, bits, symmetric):
    loop = PACKED_LOOPS[vantrel.linear_layout(K)]
    for group in (g for g in vantrel.QUANT_GROUP_SIZES if K % g == 0):
        for M in (1, 3, vantrel.LINEAR_MAX_ROWS):
            g = torch.Generator().manual_seed(K + group + M + bits)
            x = rand_half(g, (M, K), "plain")
            qw, s, z = packed_operands(g, K, N, bits, group, symmetric)
            on_xpu = [None if t is None else t.to(XPU) for t in (x, qw, s, z)]
            xpuemu.clear_launch_log()
            expected, unique = launch_bytes(vantrel.forward_quantized(*on_xpu, bits, group))
            out = torch.empty(M, N, dtype=torch.half)
            result = loop(x.numpy(), qw.numpy(), s.numpy(), None if z is None else z.numpy(),
                          bits, group, out.numpy(), reps=2, threads=3)
            assert same_bits(out, expected), (group, M)
            assert result["bytes"] == unique


@pytest.mark.parametrize("change", ["bits", "group", "zeros type", "scales count", "width"])
def test_packed_loops_refuse_other_formats(change):
    K, N, bits, group = 4096, 32, 4, 128
    x, out = np.zeros((1, K), np.float16), np.zeros((1, N), np.float16)
    qw, s, z = (t.numpy() for t in packed_operands(torch.Generator(), K, N, bits, group, False))
    args = dict(x=x, qweight=qw, scales=s, zeros=z, bits=bits, group_size=group, out=out)
    args.update({"bits": {"bits": 2}, "group": {"group_size": 16},
                 "zeros type": {"zeros": z.astype(np.int32)}, "scales count": {"scales": s[:1]},
                 "width": {"x": np.zeros((1, 4096 + 128), np.float16)}}[change])
    with pytest.raises(ValueError):
        vn.linear_arranged_packed(**args)


@pytest.mark.parametrize("scale", ["plain", "wide"])
@pytest.mark.parametrize("kv_len", [1, 7, 8, 100, 128, 129, 300])
@pytest.mark.parametrize("kv_heads", [16, 4])
def test_attention_matches_sdp_forward(kv_len, scale, kv_heads):
    g = torch.Generator().manual_seed(kv_len)
    q = rand_half(g, (2, 16, 1, 128), scale) * 8
    k, v = (rand_half(g, (2, kv_heads, kv_len, 128), scale) * 8 for _ in range(2))
    expected, unique = launch_bytes(vantrel.sdp_forward(q.to(XPU), k.to(XPU), v.to(XPU)))
    out = torch.empty(2, 16 * 128, dtype=torch.half)
    result = vn.sdp_fp16(q.numpy(), k.numpy(), v.numpy(), out.numpy(), threads=2)
    assert same_bits(out, expected)
    assert result["bytes"] == unique


@pytest.mark.parametrize("threads", [1, 3])
def test_dram_read_sums_every_word_once(threads):
    # Megabyte c of the buffer holds the byte c % 256 everywhere.
    words = 2**20 // 8
    expected = sum(c % 256 * 0x0101010101010101 * words for c in range(40)) % 2**64
    result = vn.dram_read(40, reps=1, threads=threads)
    assert result["checksum"] == expected and result["bytes"] == 40 * 2**20


# The decoding step's fused operators: LLaMA-7B's sizes (hidden 4096, intermediate 11008, head 128)
# and small ones (one chunk per work-item, partial last slot; 8 work-items), M = 1 and 8.
@pytest.mark.parametrize("with_delta", [True, False])
@pytest.mark.parametrize("M", [1, 8])
@pytest.mark.parametrize("H", [4096, 1360, 128])
def test_add_rms_norm_matches_operator(H, M, with_delta):
    g = torch.Generator().manual_seed(H + M)
    residual = torch.randn(M, H, generator=g) * 4
    # delta a column slice of a wider tensor, as the operator reads it
    delta = rand_half(g, (M, H + 32), "wide")[:, 16:H + 16] * 8 if with_delta else None
    weight = torch.randn(H, generator=g)
    on_xpu = residual.to(XPU)
    expected, unique = launch_bytes(vantrel.add_rms_norm(
        on_xpu, None if delta is None else delta.to(XPU), weight.to(XPU), 1e-5))
    out, summed = torch.empty(M, H, dtype=torch.half), torch.empty(M, H)
    delta_np = None if delta is None else delta.contiguous().numpy()
    result = vn.add_rms_norm(residual.numpy(), delta_np, weight.numpy(), 1e-5, out.numpy(),
                             summed.numpy() if with_delta else None, reps=2, threads=3)
    assert same_bits(out, expected)
    if with_delta:
        assert torch.equal(summed.view(torch.int32), on_xpu.cpu().view(torch.int32))
    assert result["bytes"] == unique


@pytest.mark.parametrize("B, C, heads, kv_heads, D", [(1, 1, 32, 32, 128), (8, 1, 32, 32, 128),
                                                      (2, 3, 8, 2, 128), (1, 8, 4, 1, 48)])
def test_rotary_cache_matches_operator(B, C, heads, kv_heads, D):
    g = torch.Generator().manual_seed(B * C + D)
    start, L, P = 5, 16, 20
    qkv = rand_half(g, (B * C, (heads + 2 * kv_heads) * D), "wide") * 64
    angles = torch.rand(P, D, generator=g) * 6.3
    cos, sin = angles.cos(), angles.sin()
    k_cache, v_cache = (rand_half(g, (B, kv_heads, L, D), "plain") for _ in range(2))
    k_x, v_x = k_cache.to(XPU), v_cache.to(XPU)
    expected, unique = launch_bytes(vantrel.rotary_cache(
        qkv.to(XPU), cos.to(XPU), sin.to(XPU), k_x, v_x, start, heads, kv_heads))
    out = torch.empty(B, heads, C, D, dtype=torch.half)
    result = vn.rotary_cache(qkv.numpy(), cos.numpy(), sin.numpy(), k_cache.numpy(),
                             v_cache.numpy(), start, heads, kv_heads, out.numpy(), reps=2,
                             threads=3)
    assert same_bits(out, expected)
    assert same_bits(k_cache, k_x.cpu()) and same_bits(v_cache, v_x.cpu())
    assert result["bytes"] == unique


@pytest.mark.parametrize("M", [1, 8])
@pytest.mark.parametrize("I, width", [(11008, 22016), (11008, 22016 + 64), (1040, 2080)])
def test_silu_mul_matches_operator(I, width, M):
    g = torch.Generator().manual_seed(I + M)
    # gates far out on both sides: exp2 overflowing to infinity and underflowing to zero
    gate_up = rand_half(g, (M, width), "wide") * torch.tensor([200.0, 8.0]).repeat(width // 2)
    gate_up = gate_up.half()
    expected, unique = launch_bytes(vantrel.silu_mul(gate_up.to(XPU), I))
    out = torch.empty(M, I, dtype=torch.half)
    result = vn.silu_mul(gate_up.numpy(), I, out.numpy(), reps=2, threads=3)
    assert same_bits(out, expected)
    assert result["bytes"] == unique


def rotary_args(D, start):
    return (np.zeros((1, 3 * D), np.float16), *[np.zeros((4, D), np.float32)] * 2,
            *[np.zeros((1, 1, 4, D), np.float16)] * 2, start, 1, 1,
            np.zeros((1, 1, 1, D), np.float16))


@pytest.mark.parametrize("loop, args", [
    ("add_rms_norm", lambda: (np.zeros((1, 24), np.float32), None, np.zeros(24, np.float32), 0.0,
                              np.zeros((1, 24), np.float16))),
    ("add_rms_norm", lambda: (np.zeros((1, 32), np.float32), np.zeros((1, 32), np.float16),
                              np.zeros(32, np.float32), 0.0, np.zeros((1, 32), np.float16))),
    ("rotary_cache", lambda: rotary_args(40, 0)),
    ("rotary_cache", lambda: rotary_args(32, 4)),
    ("silu_mul", lambda: (np.zeros((1, 60), np.float16), 24, np.zeros((1, 24), np.float16))),
    ("silu_mul", lambda: (np.zeros((1, 60), np.float16), 32, np.zeros((1, 32), np.float16))),
])
def test_fused_loops_refuse_what_the_operators_refuse(loop, args):
    """Sizes not a multiple of 16, a delta without its residual_out, a position past the caches, a
    gate_up narrower than 2 I."""
    with pytest.raises(ValueError):
        getattr(vn, loop)(*args())
