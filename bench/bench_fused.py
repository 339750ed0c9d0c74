"""Times the decoding step's fused operators (add_rms_norm, rotary_cache, silu_mul) on the emulated
XPU device for LLaMA-7B shapes against the PyTorch operations on the device they replace
(python/vantrel_llama/model.py's step), one decoding position per sequence.

Usage: PYTHONPATH=build/lib /usr/bin/python3 bench/bench_fused.py [--reps N]
Device time of a kernel is its launch record's (checks and poisoning off); the PyTorch operations
run on the host in the emulator, so theirs is xpuemu.host_op_time(), with their count. Wall time is
a call (or the PyTorch sequence) and the wait for the device: host dispatch included. MB read are
the kernel's distinct bytes (checks on).
"""
import argparse
import time

import torch
import torch.nn.functional as F
import xpuemu

import vantrel

HIDDEN, HEADS, HEAD_DIM, INTERMEDIATE, EPS = 4096, 32, 128, 11008, 1e-6
CACHE_LEN, START = 2048, 1000
XPU = torch.device("xpu")


def kernel_ms(call, reps):
    """Best device time of the one kernel `call` launches, checks off."""
    xpuemu.set_checking(False)
    best = float("inf")
    for _ in range(reps + 1):
        xpuemu.synchronize()
        xpuemu.clear_launch_log()
        call()
        (rec,) = xpuemu.launch_log()
        best = min(best, (rec["end_ns"] - rec["start_ns"]) / 1e6)
    xpuemu.set_checking(True)
    return best


def distinct_mb(call):
    xpuemu.synchronize()
    xpuemu.clear_launch_log()
    call()
    (rec,) = xpuemu.launch_log()
    return sum(rec["loads_unique"].values()) / 1e6


def host_ops(call, reps):
    """(best seconds in host operations on the device, their count) of `call`."""
    best, count = float("inf"), 0
    for _ in range(reps + 1):
        xpuemu.synchronize()
        calls0, seconds0 = xpuemu.host_op_time()
        call()
        xpuemu.synchronize()
        calls1, seconds1 = xpuemu.host_op_time()
        best, count = min(best, seconds1 - seconds0), calls1 - calls0
    return best * 1e3, count


def wall_ms(call, reps):
    """Best time of `call` and the wait for the device, checks off."""
    xpuemu.set_checking(False)
    best = float("inf")
    for _ in range(reps + 1):
        xpuemu.synchronize()
        t = time.perf_counter()
        call()
        xpuemu.synchronize()
        best = min(best, time.perf_counter() - t)
    xpuemu.set_checking(True)
    return best * 1e3


def cases(M):
    """(name, fused call, the PyTorch operations it replaces) for M sequences at one position."""
    g = torch.Generator().manual_seed(M)
    h = torch.randn(M, HIDDEN, generator=g).to(XPU)
    delta = torch.randn(M, HIDDEN, generator=g).half().to(XPU)
    weight = torch.ones(HIDDEN, device=XPU)
    qkv = torch.randn(M, 3 * HIDDEN, generator=g).half().to(XPU)
    angles = torch.arange(CACHE_LEN, dtype=torch.float64)[:, None] * \
        10000.0 ** (-torch.arange(0, HEAD_DIM, 2) / HEAD_DIM)
    cos = torch.cat([angles.cos()] * 2, 1).float().to(XPU)
    sin = torch.cat([-angles.sin(), angles.sin()], 1).float().to(XPU)
    k_cache, v_cache = (torch.zeros(M, HEADS, CACHE_LEN, HEAD_DIM, dtype=torch.half, device=XPU)
                        for _ in range(2))
    gate_up = torch.randn(M, 2 * INTERMEDIATE, generator=g).half().to(XPU)

    def torch_norm():
        h.add_(delta)
        r = torch.rsqrt(h.pow(2).mean(-1, keepdim=True).add_(EPS))
        return (h * r).mul_(weight).half()

    def torch_rotary():
        c, s = cos[START:START + 1, None, :], sin[START:START + 1, None, :]
        qk = qkv[:, :2 * HIDDEN].float().view(M, 1, 2 * HEADS, HEAD_DIM)
        qk = torch.addcmul(qk * c, qk.roll(HEAD_DIM // 2, -1), s)
        k_cache[:, :, START:START + 1].copy_(qk[:, :, HEADS:].transpose(1, 2))
        v_cache[:, :, START:START + 1].copy_(
            qkv[:, 2 * HIDDEN:].view(M, 1, HEADS, HEAD_DIM).transpose(1, 2))
        return qk[:, :, :HEADS].transpose(1, 2).half().contiguous()

    def torch_silu():
        gu = gate_up.float()
        return F.silu(gu[:, :INTERMEDIATE]).mul_(gu[:, INTERMEDIATE:]).half()

    return [
        ("add_rms_norm", lambda: vantrel.add_rms_norm(h, delta, weight, EPS), torch_norm),
        ("rotary_cache", lambda: vantrel.rotary_cache(qkv, cos, sin, k_cache, v_cache, START,
                                                      HEADS, HEADS), torch_rotary),
        ("silu_mul", lambda: vantrel.silu_mul(gate_up, INTERMEDIATE), torch_silu),
    ]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--reps", type=int, default=10, help="timed calls per measurement")
    args = parser.parse_args()
    xpuemu.set_poison(False)
    print(f"LLaMA-7B shapes: hidden {HIDDEN}, {HEADS} heads of {HEAD_DIM}, intermediate "
          f"{INTERMEDIATE}; best of {args.reps}")
    print(f"{'M':>2} {'operator':>13} | {'device ms':>9} {'wall ms':>8} {'MB read':>8} | "
          f"{'PyTorch ops':>11} {'device ms':>9} {'wall ms':>8}")
    for M in (1, 8):
        for name, fused, replaced in cases(M):
            ms, wall, mb = kernel_ms(fused, args.reps), wall_ms(fused, args.reps), distinct_mb(fused)
            torch_ms, ops = host_ops(replaced, args.reps)
            torch_wall = wall_ms(replaced, args.reps)
            print(f"{M:>2} {name:>13} | {ms:9.3f} {wall:8.3f} {mb:8.3f} | {ops:11d} "
                  f"{torch_ms:9.3f} {torch_wall:8.3f}")


if __name__ == "__main__":
    main()
