"""One LLaMA-7B-shaped decoder layer's operators on the XPU device, each checked against PyTorch in
float32 on the CPU: the seven linear projections through vantrel.forward for 1 row and for the
most rows its kernels take (decoding steps), then one attention step per element type through
vantrel.sdp_forward on a cache of B = 1, H = 32, kv_len = 1024 (the half-precision step reads its
keys and values as views of a cache allocated for 2048 positions, without a copy). Prints the
maximum error and the time per call; exits non-zero on a mismatch.

Usage: PYTHONPATH=build/lib /usr/bin/python3 examples/llama_layer.py
"""
import math
import sys
import time

import torch
import xpuemu
import vantrel

HIDDEN, INTERMEDIATE = 4096, 11008
PROJECTIONS = [  # name, input features K, output features N
    ("q_proj", HIDDEN, HIDDEN), ("k_proj", HIDDEN, HIDDEN), ("v_proj", HIDDEN, HIDDEN),
    ("o_proj", HIDDEN, HIDDEN), ("gate_proj", HIDDEN, INTERMEDIATE),
    ("up_proj", HIDDEN, INTERMEDIATE), ("down_proj", INTERMEDIATE, HIDDEN),
]
# Rounding depth of the half-precision kernels (product, in-thread and cross-thread sums) by the
# layout the kernel of width K reads, and the unit roundoff of binary16. Rounding errors of random
# sign grow like sqrt(depth): allow four times that, relative to the output's own size plus the
# row's typical size.
DEPTH = {"arranged": lambda K: 1 + K // 64 + 15 + 2,  # 64 work-items of K/64 features each
         "row_major": lambda K: 1 + 8 * ((K // 128 + 10) // 11) + 4 + 2 + 2}  # 11 work-items
U16 = 2.0**-11

B, H, HEAD_DIM, KV_LEN, MAX_LEN = 1, 32, 128, 1024, 2048
# The kernels' weights are 2^(s * q.k): a softmax of q.k scaled by s * ln 2 (s is about
# log2(e) / sqrt(HEAD_DIM)).
SCALE = vantrel.sdp_score_scale(HEAD_DIM) * math.log(2)
# Allowed error relative to the largest |value|: half-precision dot products move the weights by
# well under 0.1 % (plus the output's rounding); single precision is exact to a few ulps.
TOLERANCE = {torch.half: 2e-3, torch.float: 1e-6}


def projections(xpu, gen):
    ok = True
    print(f"{'projection':<10} {'M':>2} {'K':>6} {'N':>6} {'max |err|':>10} {'bound':>9} "
          f"{'max |ref|':>9} {'ms/call':>8}")
    for name, K, N in PROJECTIONS:
        # Half-precision weights as a checkpoint would hold them, in the layout forward reads.
        w = ((torch.rand(N, K, generator=gen) - 0.5) * (2 / K**0.5)).half()
        w_dev = vantrel.arrange_weights(w).to(xpu)
        depth = DEPTH[vantrel.linear_layout(K)](K)
        for M in (1, vantrel.LINEAR_MAX_ROWS):
            x = (torch.rand(M, K, generator=gen) * 2 - 1).half()
            x_dev = x.to(xpu)
            vantrel.forward(x_dev, w_dev)  # warm-up
            xpuemu.synchronize()
            t = time.perf_counter()
            y = vantrel.forward(x_dev, w_dev)
            xpuemu.synchronize()
            ms = (time.perf_counter() - t) * 1e3

            ref = torch.nn.functional.linear(x.float(), w.float())
            err = (y.cpu().float() - ref).abs()
            bound = 4 * depth**0.5 * U16 * (ref.abs() + ref.abs().mean(dim=1, keepdim=True))
            good = bool((err <= bound).all())
            ok &= good
            print(f"{name:<10} {M:>2} {K:>6} {N:>6} {err.max().item():10.2e} "
                  f"{bound.max().item():9.2e} {ref.abs().max().item():9.3f} {ms:8.1f}"
                  f"{'' if good else '  MISMATCH'}")
    return ok


def attention_steps(xpu, gen):
    ok = True
    print(f"B = {B}, H = {H}, kv_len = {KV_LEN}, head dim {HEAD_DIM}")
    print(f"{'dtype':<8} {'k, v on device':<28} {'max |err|':>10} {'bound':>9} {'ms/call':>8}")
    for dtype in (torch.half, torch.float):
        q = torch.randn(B, H, 1, HEAD_DIM, generator=gen).to(dtype)
        if dtype == torch.half:
            # A preallocated cache; the step uses its first KV_LEN positions in place.
            k_cache, v_cache = (torch.randn(B, H, MAX_LEN, HEAD_DIM, generator=gen).half()
                                for _ in range(2))
            k, v = k_cache[:, :, :KV_LEN], v_cache[:, :, :KV_LEN]
            k_dev, v_dev = (c.to(xpu)[:, :, :KV_LEN] for c in (k_cache, v_cache))
            layout = f"views of [{B}, {H}, {MAX_LEN}, {HEAD_DIM}]"
        else:  # the single-precision kernel reads contiguous keys and values
            k, v = (torch.randn(B, H, KV_LEN, HEAD_DIM, generator=gen) for _ in range(2))
            k_dev, v_dev = k.to(xpu), v.to(xpu)
            layout = "contiguous"
        q_dev = q.to(xpu)
        vantrel.sdp_forward(q_dev, k_dev, v_dev)  # warm-up
        xpuemu.synchronize()
        t = time.perf_counter()
        out = vantrel.sdp_forward(q_dev, k_dev, v_dev)
        xpuemu.synchronize()
        ms = (time.perf_counter() - t) * 1e3

        q32, k32, v32 = q.float(), k.float(), v.float()
        ref = (torch.softmax((q32 @ k32.transpose(2, 3)) * SCALE, dim=-1) @ v32).reshape(B, -1)
        err = (out.cpu().float() - ref).abs().max().item()
        bound = TOLERANCE[dtype] * v32.abs().max().item()
        good = err <= bound
        ok &= good
        print(f"{str(dtype).replace('torch.', ''):<8} {layout:<28} {err:10.2e} {bound:9.2e} "
              f"{ms:8.1f}{'' if good else '  MISMATCH'}")
    return ok


def main():
    xpu = torch.device("xpu")
    gen = torch.Generator().manual_seed(0)
    xpuemu.set_checking(False)  # time the kernels, not the memory checker
    xpuemu.set_poison(False)
    ok = projections(xpu, gen)
    print()
    ok &= attention_steps(xpu, gen)
    print("all operators match PyTorch" if ok else "MISMATCH against PyTorch")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
