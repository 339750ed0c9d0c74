"""Host models of the kernels' order of operations (numpy rounds every float16 add and multiply
separately), shared by the operator tests and the fuzzer. Which kernel, and so which model, serves
a shape is read from vantrel's table."""
import ctypes
import ctypes.util
import re

import numpy as np
import torch

import vantrel

# ---- linear ------------------------------------------------------------------------------------


def model_arranged(x, w):
    """K = 64 F features: work-item v sums features Fv..Fv+F-1 in order; the partial sums P_v meet
    as [(P0+P2+..+P30) + (P1+P3+..+P31)] + [(P32+P34+..+P62) + (P33+..+P63)]."""
    F = x.shape[1] // 64
    xs, ws = x.reshape(len(x), 1, 64, F), w.reshape(1, len(w), 64, F)
    p = np.zeros((len(x), len(w), 64), np.float16)
    for k in range(F):
        p = p + ws[..., k] * xs[..., k]

    def fold(q):
        even, odd = q[..., 0], q[..., 1]
        for i in range(1, 16):
            even, odd = even + q[..., 2 * i], odd + q[..., 2 * i + 1]
        return even + odd

    return fold(p[..., :32]) + fold(p[..., 32:])


def model_row_major(x, w):
    """K features in S = ceil(K / 128) slices of 128, the last one partial when 128 does not divide
    K: lane l of work-item a sums features 128s + 16q + l over its slices s = a + 11j (j = 0, 1, ..
    while s < S) and chunks q = 0..7 with 128s + 16q < K; a lane tree folds the lanes to P_a; with
    P_11 = 0, S_s = (P_s + P_s+4) + P_s+8 and y = (S0 + S2) + (S1 + S3)."""
    K = x.shape[1]
    S = -(-K // 128)
    pad = ((0, 0), (0, 128 * S - K))
    xs = np.pad(x, pad).reshape(len(x), 1, S, 128)
    ws = np.pad(w, pad).reshape(1, len(w), S, 128)
    acc = np.zeros((len(x), len(w), 11, 16), np.float16)
    a = np.arange(11)
    for j in range((S + 10) // 11):
        s = np.minimum(a + 11 * j, S - 1)
        for q in range(8):
            live = (a + 11 * j < S) & (128 * s + 16 * q < K)  # held, and within the row
            prod = ws[:, :, s, 16 * q:16 * q + 16] * xs[:, :, s, 16 * q:16 * q + 16]
            acc = np.where(live[:, None], acc + prod, acc)
    for width in (8, 4, 2):
        acc = acc[..., :width] + acc[..., width:2 * width]
    p = np.concatenate([acc[..., 0] + acc[..., 1], np.zeros((len(x), len(w), 1), np.float16)], -1)
    s = (p[..., 0:4] + p[..., 4:8]) + p[..., 8:12]
    return (s[..., 0] + s[..., 2]) + (s[..., 1] + s[..., 3])


# The model and the rounding depth (roundings between a product and the output: product,
# in-thread sums, cross-thread sums) of each weight layout's kernels.
MODELS = {"arranged": model_arranged, "row_major": model_row_major}
DEPTHS = {"arranged": lambda K: 1 + K // 64 + 15 + 2,
          "row_major": lambda K: 1 + 8 * ((-(-K // 128) + 10) // 11) + 4 + 2 + 2}


def linear_model(K):
    """The model of the kernel of width K (KeyError for a width without a kernel)."""
    return MODELS[vantrel.linear_layout(K)]


def linear_depth(K):
    return DEPTHS[vantrel.linear_layout(K)](K)


# ---- attention ---------------------------------------------------------------------------------

# Lanes of the weight sum (key t in lane t mod lanes) of each attention kernel, by its name without
# the head size and the Grouped suffix.
WEIGHT_SUM_LANES = {"Fp16Keys128": 8, "Fp16KeyBlocks64": 16, "Fp32KeyBlocks64": 16}


def sdp_variant(kernel):
    """The variant of an attention kernel's name: 'sdpDim128Fp16Keys128Grouped' -> 'Fp16Keys128'."""
    return re.fullmatch(r"sdpDim\d+(\w+?)(Grouped)?", kernel).group(1)


# The device's exp2 of a float is the C library's exp2f, which is not always correctly rounded: the
# models call it element by element rather than rounding a float64 exp2.
_LIBM = ctypes.CDLL(ctypes.util.find_library("m"))
_LIBM.exp2f.restype, _LIBM.exp2f.argtypes = ctypes.c_float, [ctypes.c_float]
_EXP2F = np.frompyfunc(_LIBM.exp2f, 1, 1)


def exp2f(x):
    """exp2 of the float32 array x as the device computes it, as float32."""
    return _EXP2F(np.asarray(x, np.float32).astype(np.float64)).astype(np.float32)


def score_scale(q):
    """The kernels' factor s of 2^(s q.k) for the head size of q."""
    return np.float32(vantrel.sdp_score_scale(q.shape[-1]))


def group(q, k):
    """Query heads per key/value head: G = H / H_kv."""
    return q.shape[1] // k.shape[1] if k.shape[1] else 1


def repeat_kv_heads(q, k, v):
    """k and v with H_kv heads (H_kv dividing the H of q) as H heads: query head h reads head
    h // (H / H_kv), as the grouped kernels do."""
    G = group(q, k)
    return (k, v) if G == 1 else (k.repeat_interleave(G, dim=1), v.repeat_interleave(G, dim=1))


def sdp_reference(q, k, v):
    """float64 softmax attention with the kernels' scale; [B, H * D]."""
    scale = float(score_scale(q)) * np.log(2)
    k, v = repeat_kv_heads(q, k, v)
    q, k, v = (t.double() for t in (q, k, v))
    w = torch.softmax((q @ k.transpose(2, 3)) * scale, dim=-1)
    return (w @ v).reshape(q.shape[0], -1)


def sdp_model(q, k, v):
    """The kernels' order of operations in numpy (float16 dot products for Half, float32 for
    Float, float32 weights and sums); [B, H * D] in the input element type, D the head size of q.
    Grouped key/value heads compute as repeated ones."""
    D, scale = q.shape[-1], score_scale(q)
    lanes = WEIGHT_SUM_LANES[sdp_variant(vantrel.sdp_kernel(q.dtype, D, k.shape[2], group(q, k)))]
    k, v = repeat_kv_heads(q, k, v)
    dt = {torch.half: np.float16, torch.float: np.float32}[q.dtype]
    B, H, n, _ = k.shape
    q, k, v = (t.reshape(B * H, -1, D).numpy().astype(dt) for t in (q, k, v))
    acc = np.zeros((B * H, n, 16), dt)
    for i in range(D // 16):
        acc = acc + q[:, :, 16 * i:16 * i + 16] * k[:, :, 16 * i:16 * i + 16]
    for width in (8, 4, 2):
        acc = acc[..., :width] + acc[..., width:2 * width]
    w = exp2f((acc[..., 0] + acc[..., 1]).astype(np.float32) * scale)
    out = np.zeros((B * H, D), np.float32)
    for t in range(n):
        out = out + v[:, t].astype(np.float32) * w[:, t:t + 1]
    w = np.pad(w, ((0, 0), (0, -n % lanes))).reshape(B * H, -1, lanes)
    wsum = np.zeros((B * H, lanes), np.float32)
    for g in range(w.shape[1]):
        wsum = wsum + w[:, g]
    while lanes > 1:
        lanes //= 2
        wsum = wsum[:, :lanes] + wsum[:, lanes:2 * lanes]
    return (out * (np.float32(1) / wsum)).astype(dt).reshape(B, -1)


# ---- the decoding step's fused kernels ---------------------------------------------------------
# numpy float32 rounds every operation, np.sqrt and the divisions are IEEE like the kernels'
# sqrt_ieee and div_ieee, exp2f is the device's exp2.


def norm_split(H):
    """(c, W): work-item a of add_rms_norm's W holds chunks a c .. a c + c - 1 of the row's H / 16
    chunks of 16 elements (the last fewer), c = ceil(H / 16 / 64)."""
    n = H // 16
    c = -(-n // 64)
    return c, -(-n // c)


def add_rms_norm_model(residual, delta, weight, eps):
    """add_rms_norm on numpy arrays: (the residual after the add, the half output). Per row,
    x = residual + float(delta); lane l of work-item a sums x^2 at its chunks' element l in order;
    the lanes fold by halving to P_a; the 64 slots P_0 .. P_{W-1}, 0, .. fold by halving to S;
    r = 1 / sqrt(S / H + eps); out = half((x r) weight)."""
    x = residual.astype(np.float32)
    if delta is not None:
        x = x + delta.astype(np.float32)
    M, H = x.shape
    c, W = norm_split(H)
    # Chunks past the row's end add +0 to sums of squares (never -0): nothing changes.
    squares = np.pad((x * x).reshape(M, H // 16, 16), ((0, 0), (0, W * c - H // 16), (0, 0)))
    squares = squares.reshape(M, W, c, 16)
    lanes = np.zeros((M, W, 16), np.float32)
    for q in range(c):
        lanes = lanes + squares[:, :, q]
    for width in (8, 4, 2):
        lanes = lanes[..., :width] + lanes[..., width:2 * width]
    slots = np.zeros((M, 64), np.float32)
    slots[:, :W] = lanes[..., 0] + lanes[..., 1]
    for width in (32, 16, 8, 4, 2, 1):
        slots = slots[:, :width] + slots[:, width:2 * width]
    with np.errstate(invalid="ignore", divide="ignore", over="ignore"):
        r = np.float32(1) / np.sqrt(slots[:, 0] / np.float32(H) + np.float32(eps))
        out = ((x * r[:, None]) * weight.astype(np.float32)).astype(np.float16)
    return x, out


def rotary_cache_model(qkv, cos, sin, k_cache, v_cache, start, heads, kv_heads):
    """rotary_cache on numpy arrays: (q [B, heads, C, D], k_cache, v_cache) with the new rows
    written (copies of the caches). Query and key rows turn as x_i cos[p, i] +
    x_{(i + D/2) mod D} sin[p, i] in float32, each product rounded, then the sum, then to half;
    value rows are copied bit for bit."""
    B, _, _, D = k_cache.shape
    C = qkv.shape[0] // B
    rows = qkv[:, :(heads + 2 * kv_heads) * D].reshape(B, C, heads + 2 * kv_heads, D)
    x = rows[:, :, :heads + kv_heads].astype(np.float32)
    table = slice(start, start + C)
    turned = np.roll(x, D // 2, axis=-1)  # element i: x_{(i + D/2) mod D}
    with np.errstate(invalid="ignore", over="ignore"):
        out = (x * cos[None, table, None] + turned * sin[None, table, None]).astype(np.float16)
    k_cache, v_cache = k_cache.copy(), v_cache.copy()
    k_cache[:, :, table] = out[:, :, heads:].transpose(0, 2, 1, 3)
    v_cache[:, :, table] = rows[:, :, heads + kv_heads:].transpose(0, 2, 1, 3)
    return np.ascontiguousarray(out[:, :, :heads].transpose(0, 2, 1, 3)), k_cache, v_cache


def silu_mul_model(gate_up, intermediate):
    """silu_mul on a numpy array [M, >= 2 I]: half(g / (1 + exp2f(-g * 1.442695)) * u), g and u
    the first and second I columns in float32, every operation rounded to float32."""
    g = gate_up[:, :intermediate].astype(np.float32)
    u = gate_up[:, intermediate:2 * intermediate].astype(np.float32)
    with np.errstate(invalid="ignore", over="ignore"):
        e = exp2f(-g * np.float32(1.442695))
        return (g / (np.float32(1) + e) * u).astype(np.float16)
