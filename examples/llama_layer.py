"""The seven linear projections of one LLaMA-7B-shaped decoder layer through vantrel.forward on
the XPU device, for 1 and 8 rows (decoding steps), each checked against PyTorch in float32 on
the CPU. Prints the maximum error and the time per call; exits non-zero on a mismatch.

Usage: /usr/bin/python3 examples/llama_layer.py
"""
import os
import pathlib
import sys
import time

_REPO = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, os.environ.get("VANTREL_BUILD", str(_REPO / "build" / "lib")))

import torch  # noqa: E402
import xpuemu  # noqa: E402
import vantrel  # noqa: E402

HIDDEN, INTERMEDIATE = 4096, 11008
PROJECTIONS = [  # name, input features K, output features N
    ("q_proj", HIDDEN, HIDDEN), ("k_proj", HIDDEN, HIDDEN), ("v_proj", HIDDEN, HIDDEN),
    ("o_proj", HIDDEN, HIDDEN), ("gate_proj", HIDDEN, INTERMEDIATE),
    ("up_proj", HIDDEN, INTERMEDIATE), ("down_proj", INTERMEDIATE, HIDDEN),
]
# Rounding depth of the half-precision kernels (product, in-thread and cross-thread sums) and the
# unit roundoff of binary16. Rounding errors of random sign grow like sqrt(depth): allow four
# times that, relative to the output's own size plus the row's typical size.
DEPTH = {HIDDEN: 82, INTERMEDIATE: 73}
U16 = 2.0**-11


def arrange(w):
    """Row-major [N, 4096] weights to the [N/16, 4096, 16] blocks the K = 4096 kernel reads."""
    n, k = w.shape
    return w.reshape(n // 16, 16, k).transpose(1, 2).contiguous()


def main():
    xpu = torch.device("xpu")
    gen = torch.Generator().manual_seed(0)
    xpuemu.set_checking(False)  # time the kernels, not the memory checker
    xpuemu.set_poison(False)
    ok = True
    print(f"{'projection':<10} {'M':>2} {'K':>6} {'N':>6} {'max |err|':>10} {'bound':>9} "
          f"{'max |ref|':>9} {'ms/call':>8}")
    for name, K, N in PROJECTIONS:
        # Half-precision weights as a checkpoint would hold them.
        w = ((torch.rand(N, K, generator=gen) - 0.5) * (2 / K**0.5)).half()
        w_dev = (arrange(w) if K == HIDDEN else w).to(xpu)
        for M in (1, 8):
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
            bound = 4 * DEPTH[K]**0.5 * U16 * (ref.abs() + ref.abs().mean(dim=1, keepdim=True))
            good = bool((err <= bound).all())
            ok &= good
            print(f"{name:<10} {M:>2} {K:>6} {N:>6} {err.max().item():10.2e} "
                  f"{bound.max().item():9.2e} {ref.abs().max().item():9.3f} {ms:8.1f}"
                  f"{'' if good else '  MISMATCH'}")
    print("all projections match PyTorch" if ok else "MISMATCH against PyTorch")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
