"""Host models of the kernels' order of operations (numpy rounds every float16 add and multiply
separately), shared by the operator tests and the fuzzer."""
import numpy as np
import torch

# ---- linear ------------------------------------------------------------------------------------

ARRANGED_WIDTHS = (4096, 5120, 8192)  # weights in blocks of 16 output features
ROW_MAJOR_WIDTHS = (11008, 13824, 14336, 28672)


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
    """K = 128 S features: lane l of work-item a sums features 128s + 16q + l over its slices
    s = a + 11j (j = 0, 1, .. while s < S), q = 0..7; a lane tree folds the lanes to P_a; with
    P_11 = 0, S_s = (P_s + P_s+4) + P_s+8 and y = (S0 + S2) + (S1 + S3)."""
    S = x.shape[1] // 128
    xs, ws = x.reshape(len(x), 1, S, 128), w.reshape(1, len(w), S, 128)
    acc = np.zeros((len(x), len(w), 11, 16), np.float16)
    a = np.arange(11)
    for j in range((S + 10) // 11):
        live, s = a + 11 * j < S, np.minimum(a + 11 * j, S - 1)
        for q in range(8):
            prod = ws[:, :, s, 16 * q:16 * q + 16] * xs[:, :, s, 16 * q:16 * q + 16]
            acc = np.where(live[:, None], acc + prod, acc)
    for width in (8, 4, 2):
        acc = acc[..., :width] + acc[..., width:2 * width]
    p = np.concatenate([acc[..., 0] + acc[..., 1], np.zeros((len(x), len(w), 1), np.float16)], -1)
    s = (p[..., 0:4] + p[..., 4:8]) + p[..., 8:12]
    return (s[..., 0] + s[..., 2]) + (s[..., 1] + s[..., 3])


model_4096, model_11008 = model_arranged, model_row_major  # the names from before K varied
MODELS = {**{K: model_arranged for K in ARRANGED_WIDTHS},
          **{K: model_row_major for K in ROW_MAJOR_WIDTHS}}
# Roundings between a product and the output: product, in-thread sums, cross-thread sums.
DEPTH = {**{K: 1 + K // 64 + 15 + 2 for K in ARRANGED_WIDTHS},
         **{K: 1 + 8 * ((K // 128 + 10) // 11) + 4 + 2 + 2 for K in ROW_MAJOR_WIDTHS}}


# ---- attention ---------------------------------------------------------------------------------

SCALE = np.float32(0.1275042)  # bit pattern 0x3E029076


def repeat_kv_heads(q, k, v):
    """k and v with H_kv heads (H_kv dividing the H of q) as H heads: query head h reads head
    h // (H / H_kv), as the grouped kernels do."""
    G = q.shape[1] // k.shape[1] if k.shape[1] else 1
    return (k, v) if G == 1 else (k.repeat_interleave(G, dim=1), v.repeat_interleave(G, dim=1))


def sdp_reference(q, k, v):
    """float64 softmax attention with the kernels' scale; [B, H * 128]."""
    k, v = repeat_kv_heads(q, k, v)
    q, k, v = (t.double() for t in (q, k, v))
    w = torch.softmax((q @ k.transpose(2, 3)) * float(SCALE) * np.log(2), dim=-1)
    return (w @ v).reshape(q.shape[0], -1)


def sdp_model(q, k, v):
    """The kernels' order of operations in numpy (float16 dot products for Half, float32 for
    Float, float32 weights and sums); [B, H * 128] in the input element type. Grouped key/value
    heads compute as repeated ones."""
    k, v = repeat_kv_heads(q, k, v)
    dt = {torch.half: np.float16, torch.float: np.float32}[q.dtype]
    B, H, n, _ = k.shape
    q, k, v = (t.reshape(B * H, -1, 128).numpy().astype(dt) for t in (q, k, v))
    acc = np.zeros((B * H, n, 16), dt)
    for i in range(8):
        acc = acc + q[:, :, 16 * i:16 * i + 16] * k[:, :, 16 * i:16 * i + 16]
    for width in (8, 4, 2):
        acc = acc[..., :width] + acc[..., width:2 * width]
    # exp2 of the float32 scaled score, rounded once to float32 (as the device library does).
    w = np.exp2(((acc[..., 0] + acc[..., 1]).astype(np.float32) * SCALE).astype(np.float64))
    w = w.astype(np.float32)
    out = np.zeros((B * H, 128), np.float32)
    for t in range(n):
        out = out + v[:, t].astype(np.float32) * w[:, t:t + 1]
    lanes = 8 if dt == np.float16 and 8 <= n <= 128 else 16  # weight-sum lanes (keys mod lanes)
    w = np.pad(w, ((0, 0), (0, -n % lanes))).reshape(B * H, -1, lanes)
    wsum = np.zeros((B * H, lanes), np.float32)
    for g in range(w.shape[1]):
        wsum = wsum + w[:, g]
    while lanes > 1:
        lanes //= 2
        wsum = wsum[:, :lanes] + wsum[:, lanes:2 * lanes]
    return (out * (np.float32(1) / wsum)).astype(dt).reshape(B, -1)
