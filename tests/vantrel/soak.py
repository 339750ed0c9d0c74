"""Load and lifetime run: decode-shaped calls from several Python threads at once.

Call i (inputs seeded by i, created for the call and dropped after it) is one of
  forward, M = 1, weights 4096 x 4096 in the layout forward reads (vantrel.arrange_weights);
  forward, M = 1, K = 4096, N = 11008 likewise;
  sdp_forward, half, B = 1, H = 32, kv_len = 128.
The weights, as in decoding, live on the device for the whole run (VARIANTS per shape, picked by
i). Every Nth call (--reference-every) first runs single-threaded; its result's digest must be
that of the same call among the threads. Resident memory (VmRSS) at the end must be within
--rss-slack MB of its value after the warm-up calls (both measured with no call in flight).

    PYTHONPATH=build/lib /usr/bin/python3 tests/vantrel/soak.py     # 100,000 calls, 4 threads
    PYTHONPATH=build/lib /usr/bin/python3 tests/vantrel/soak.py --calls 200 --threads 2
"""
import argparse
import hashlib
import sys
import threading
import time

import torch
import xpuemu
import vantrel

KINDS = ("forward 4096x4096", "forward 4096x11008", "sdp 32x128")
VARIANTS = 2  # distinct weights per forward shape


def rss_mb():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) / 1024
    return 0.0


def device_weights():
    """VARIANTS half weights [N, 4096] per forward shape, on the device as forward reads them."""
    g = torch.Generator().manual_seed(1234)
    return {n: [vantrel.arrange_weights((torch.randn(n, 4096, generator=g) / 64).half()).to("xpu")
                for _ in range(VARIANTS)] for n in (4096, 11008)}


def call(i, weights):
    """Runs call i; returns the digest of its result."""
    g = torch.Generator().manual_seed(i)
    kind = i % 3
    if kind < 2:
        x = torch.randn(1, 4096, generator=g).half().to("xpu")
        w = weights[(4096, 11008)[kind]][(i // 3) % VARIANTS]
        y = vantrel.forward(x, w)
    else:
        q, k, v = (torch.randn(1, 32, n, 128, generator=g).half().to("xpu") for n in (1, 128, 128))
        y = vantrel.sdp_forward(q, k, v)
    return hashlib.blake2b(y.cpu().numpy().tobytes(), digest_size=16).hexdigest()


def run_threaded(indices, threads, weights, reference, mismatches, errors, done):
    """Runs the calls of `indices` from `threads` threads taking the next index in turn."""
    it, lock = iter(indices), threading.Lock()

    def worker():
        while True:
            with lock:
                i = next(it, None)
            if i is None:
                return
            try:
                digest = call(i, weights)
                if i in reference and digest != reference[i]:
                    mismatches.append(i)
            except Exception as e:  # noqa: BLE001  (reported, never fatal)
                errors.append(f"call {i} ({KINDS[i % 3]}): {type(e).__name__}: {e}")
            with lock:
                done[0] += 1

    pool = [threading.Thread(target=worker) for _ in range(threads)]
    for t in pool:
        t.start()
    for t in pool:
        t.join()
    xpuemu.synchronize()


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--calls", type=int, default=100_000)
    ap.add_argument("--threads", type=int, default=4)
    ap.add_argument("--warmup", type=int, default=1000, help="calls before the RSS baseline")
    ap.add_argument("--reference-every", type=int, default=1,
                    help="re-run every Nth call single-threaded for the comparison")
    ap.add_argument("--rss-slack", type=float, default=50.0, help="MB")
    a = ap.parse_args()
    warmup = min(a.warmup, a.calls // 2)
    weights = device_weights()
    t1 = time.time()
    reference = {i: call(i, weights) for i in range(0, a.calls, a.reference_every)}
    xpuemu.synchronize()
    ref_seconds = time.time() - t1
    print(f"  single-threaded reference: {len(reference)} calls in {ref_seconds:.1f} s",
          flush=True)
    mismatches, errors, done = [], [], [0]
    max_rss, stop = [rss_mb()], threading.Event()

    def monitor():
        last = time.time()
        while not stop.wait(0.2):
            max_rss[0] = max(max_rss[0], rss_mb())
            if time.time() - last >= 30:
                last = time.time()
                print(f"  {done[0]} calls, {time.time() - t0:.0f} s, RSS {rss_mb():.0f} MB "
                      f"(max {max_rss[0]:.0f}), {len(mismatches)} mismatches, "
                      f"{len(errors)} errors", flush=True)

    t0 = time.time()
    mon = threading.Thread(target=monitor, daemon=True)
    mon.start()
    run_threaded(range(warmup), a.threads, weights, reference, mismatches, errors, done)
    rss_warm = rss_mb()
    print(f"  after {warmup} calls: RSS {rss_warm:.0f} MB", flush=True)
    run_threaded(range(warmup, a.calls), a.threads, weights, reference, mismatches, errors,
                 done)
    seconds = time.time() - t0
    stop.set()
    mon.join()
    rss_end = rss_mb()
    max_rss[0] = max(max_rss[0], rss_end)
    growth = rss_end - rss_warm
    print(f"calls: {a.calls} from {a.threads} threads in {seconds:.1f} s "
          f"({a.calls / seconds:.1f} calls/s), {len(errors)} errors")
    print(f"RSS: {rss_warm:.1f} MB after {warmup} calls, {rss_end:.1f} MB at the end "
          f"({growth:+.1f} MB), max {max_rss[0]:.1f} MB")
    print(f"compared with the single-threaded run: {len(reference)} calls "
          f"({ref_seconds:.1f} s single-threaded), {len(mismatches)} mismatches "
          f"{sorted(mismatches)[:20]}")
    for e in errors[:20]:
        print("  " + e)
    ok = not errors and not mismatches and growth <= a.rss_slack
    print("OK" if ok else "FAILED")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
