"""A rank started by test_parallel.py through parallel.launch: python -m parallel_worker MODE DIR.

kill: both ranks check the collectives and counters against values every rank can compute and
    print "rank R ok"; then rank 1 SIGKILLs itself while rank 0 waits in an all-reduce.
stall: rank 1 never joins; rank 0's all-reduce must time out (3 s), and it exits with 3.
Each rank first appends its pid to DIR/pids (a restarted rank would add a line).
"""
import os
import pathlib
import signal
import sys
import time

import torch
import xpuemu  # noqa: F401  (registers the XPU device)

from vantrel_llama import parallel


def rank_tensor(rank, shape, seed):
    # Values up to ~8 with 10 fraction bits: two ranks' sum usually needs rounding to half.
    gen = torch.Generator().manual_seed(seed * 100 + rank)
    return (torch.randn(shape, generator=gen) * 3).half()


def collectives(group):
    assert (group.size, group.backend) == (2, "gloo") and not group.device_collectives, group
    exact = sum(rank_tensor(r, (3, 40), 1).double() for r in range(group.size)).half()
    out = group.all_reduce_sum(rank_tensor(group.rank, (3, 40), 1).to("xpu"))
    assert out.device.type == "xpu" and out.dtype == torch.half, (out.device, out.dtype)
    assert torch.equal(out.cpu(), exact), (out.cpu() - exact).abs().max()

    cols = group.all_gather_columns(rank_tensor(group.rank, (3, 5), 2).to("xpu"))
    expect = torch.cat([rank_tensor(r, (3, 5), 2) for r in range(group.size)], dim=1)
    assert cols.device.type == "xpu" and torch.equal(cols.cpu(), expect)

    got = group.broadcast_object({"tokens": [7, 9]} if group.rank == 0 else None)
    assert got == {"tokens": [7, 9]}, got
    group.barrier()
    s = group.stats()
    assert (s["all_reduce"], s["all_reduce_bytes"]) == (1, 3 * 40 * 2), s
    assert (s["all_gather"], s["all_gather_bytes"]) == (1, 3 * 10 * 2), s
    assert s["seconds"] > 0, s
    print(f"rank {group.rank} ok", flush=True)


def main():
    mode, folder = sys.argv[1], pathlib.Path(sys.argv[2])
    with open(folder / "pids", "a") as f:
        f.write(f"{os.getpid()}\n")
    if mode == "stall":  # both ranks up before the 3 s timeout starts to count
        while len((folder / "pids").read_text().split()) < 2:
            time.sleep(0.05)
    group = parallel.init(timeout_s=3 if mode == "stall" else 60)
    if mode == "kill":
        collectives(group)
    group.barrier()
    if group.rank == 1:
        if mode == "kill":
            time.sleep(0.5)
            os.kill(os.getpid(), signal.SIGKILL)
        time.sleep(70)  # past the launch time the test allows
        return 0
    try:
        group.all_reduce_sum(torch.ones(4, dtype=torch.half).to("xpu"))
    except RuntimeError as e:
        print(f"{type(e).__name__}: {e}", file=sys.stderr, flush=True)
        return 3
    return 0


if __name__ == "__main__":
    sys.exit(main())
