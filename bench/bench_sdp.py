"""Times vantrel.sdp_forward on the emulated XPU device for one LLaMA-7B-shaped attention step
(B = 1, H = 32, head dim 128) against a float32 PyTorch reference on the CPU (matmul, softmax,
matmul) in the same run.

Usage: PYTHONPATH=build/lib /usr/bin/python3 bench/bench_sdp.py [--reps N]
Kernels run with access checking and poisoning off; the bytes read per call come from the launch
log of one extra call with checking on. The "checked" column times calls with checking on
(poisoning still off), so its ratio is the cost of the emulator's checks.
"""
import argparse
import math
import os

from benchlib import best_time, device_times, traffic
import torch
import vantrel

B, H, HEAD_DIM = 1, 32, 128
KV_LENS = [128, 1024, 4096]


def reference(q, k, v):
    # The kernels' weights 2^(s q.k) as a natural-base softmax scale s ln 2.
    scale = vantrel.sdp_score_scale(q.shape[-1]) * math.log(2)
    return (torch.softmax((q @ k.transpose(2, 3)) * scale, dim=-1) @ v).reshape(q.shape[0], -1)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--reps", type=int, default=5, help="timed calls per measurement")
    args = parser.parse_args()

    torch.set_num_threads(os.cpu_count())
    print(f"torch {torch.__version__}, {torch.get_num_threads()} threads; B = {B}, H = {H}; "
          f"best of {args.reps} calls")
    print("ratio = CPU reference time / XPU time; MB read = bytes loaded (distinct bytes); "
          "GB/s = bytes loaded / XPU time; chk x = checked / unchecked time")
    header = (f"{'dtype':>7} {'kv_len':>6} | {'xpu ms':>8} {'checked':>8} {'chk x':>6} | "
              f"{'ref ms':>8} {'ratio':>6} | {'MB read':>16} {'GB/s':>6} | {'max err':>8}")
    print(header)
    print("-" * len(header))
    xpu = torch.device("xpu")
    gen = torch.Generator().manual_seed(0)
    for dtype in (torch.half, torch.float):
        for kv_len in KV_LENS:
            q32, k32, v32 = (torch.randn(B, H, n, HEAD_DIM, generator=gen)
                             for n in (1, kv_len, kv_len))
            q, k, v = (t.to(dtype).to(xpu) for t in (q32, k32, v32))
            q32, k32, v32 = (t.to(dtype).float() for t in (q32, k32, v32))
            call = lambda: vantrel.sdp_forward(q, k, v)  # noqa: E731
            out, read, unique = traffic(call)
            err = (out.cpu().float() - reference(q32, k32, v32)).abs().max().item()
            t_xpu, checked = device_times(call, args.reps)

            t_ref = best_time(lambda: reference(q32, k32, v32), args.reps)
            name = str(dtype).replace("torch.", "")
            print(f"{name:>7} {kv_len:>6} | {t_xpu * 1e3:8.2f} {checked * 1e3:8.2f} "
                  f"{checked / t_xpu:6.2f} | {t_ref * 1e3:8.2f} {t_ref / t_xpu:6.2f} | "
                  f"{read / 1e6:7.2f} ({unique / 1e6:6.2f}) {read / t_xpu / 1e9:6.2f} | {err:8.1e}")


if __name__ == "__main__":
    main()
