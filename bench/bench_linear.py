"""Times vantrel.forward on the emulated XPU device for the shapes of one LLaMA-7B decoding step
against PyTorch's CPU linear in bfloat16 (oneDNN) and float32 (the active BLAS).

Usage: PYTHONPATH=build/lib /usr/bin/python3 bench/bench_linear.py [--reps N]
Kernels run with access checking and poisoning off; the bytes read per call come from the launch
log of a call with checking on ("MB loaded": every load, "MB unique": distinct bytes, mostly the
weights; GB/s = unique bytes / time). The "checked" column times calls with checking on (poisoning still
off), so its ratio is the cost of the emulator's checks.
"""
import argparse
import os
import pathlib
import re

from benchlib import best_time, device_times, traffic
import torch
import vantrel

SHAPES = [(4096, 4096), (4096, 11008), (11008, 4096)]  # (K, N)
ROWS = [1, 4, 8]


def blas_in_use():
    a = torch.randn(64, 64)
    a @ a  # make sure the BLAS library is loaded
    libs = {pathlib.Path(line.split()[-1]).name for line in open("/proc/self/maps")
            if re.search(r"blas|mkl|dnnl", line)}
    info = re.search(r"BLAS_INFO=(\w+)", torch.__config__.show())
    return f"BLAS_INFO={info.group(1) if info else '?'}, loaded: {', '.join(sorted(libs))}"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--reps", type=int, default=5, help="timed calls per measurement")
    args = parser.parse_args()

    torch.set_num_threads(os.cpu_count())
    print(f"torch {torch.__version__}, {torch.get_num_threads()} threads; {blas_in_use()}; "
          f"oneDNN {'on' if torch.backends.mkldnn.is_available() else 'off'}")
    print(f"best of {args.reps} calls; ratios = CPU time / XPU time")
    header = (f"{'M':>2} {'K':>6} {'N':>6} | {'xpu ms':>8} {'checked':>8} {'chk x':>6} | "
              f"{'bf16 ms':>8} {'ratio':>6} | {'fp32 ms':>8} {'ratio':>6} | {'MB loaded':>9} "
              f"{'MB unique':>9} {'GB/s':>6}")
    print(header)
    print("-" * len(header))
    xpu = torch.device("xpu")
    gen = torch.Generator().manual_seed(0)
    for K, N in SHAPES:
        w_cpu = (torch.rand(N, K, generator=gen) - 0.5) / K**0.5
        # In the layout the kernel of width K reads (blocks of 16 output features, or row-major).
        w = vantrel.arrange_weights(w_cpu.half()).to(xpu)
        w_bf16 = w_cpu.bfloat16()
        for M in ROWS:
            x_cpu = torch.rand(M, K, generator=gen) - 0.5
            x = x_cpu.half().to(xpu)
            x_bf16 = x_cpu.bfloat16()

            call = lambda: vantrel.forward(x, w)  # noqa: E731
            _, loaded, unique = traffic(call)
            t_xpu, checked = device_times(call, args.reps)

            t_bf16 = best_time(lambda: torch.nn.functional.linear(x_bf16, w_bf16), args.reps)
            t_fp32 = best_time(lambda: torch.nn.functional.linear(x_cpu, w_cpu), args.reps)
            print(f"{M:>2} {K:>6} {N:>6} | {t_xpu * 1e3:8.2f} {checked * 1e3:8.2f} "
                  f"{checked / t_xpu:6.2f} | {t_bf16 * 1e3:8.2f} {t_bf16 / t_xpu:6.2f} | "
                  f"{t_fp32 * 1e3:8.2f} {t_fp32 / t_xpu:6.2f} | {loaded / 1e6:9.2f} "
                  f"{unique / 1e6:9.2f} {unique / t_xpu / 1e9:6.2f}")


if __name__ == "__main__":
    main()
