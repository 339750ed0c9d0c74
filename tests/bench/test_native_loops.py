"""The native loops of bench/report.py compute bit for bit what the operators compute, count the
bytes the launches read, and the bandwidth probe reads its whole buffer once."""
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
