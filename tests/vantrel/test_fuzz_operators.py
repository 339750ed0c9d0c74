"""A seeded slice of the operator fuzzer (tests/vantrel/fuzz_operators.py runs the long ones)."""
import pytest
import torch

import vantrel
from fuzz_operators import D, run

# Every attention kernel the table names for the fuzzer's calls (kv_len 1 to 200, grouped or not).
SDP_KERNELS = sorted({vantrel.sdp_kernel(dtype, D, kv_len, G) for dtype in (torch.half, torch.float)
                      for kv_len in range(1, 201) for G in (1, 2)})
PATHS = {"forward": [f"result: kernel K={k}" for k in vantrel.linear_widths()] +
         ["result: pytorch Half", "result: pytorch Float", "result: pytorch Double"],
         "sdp_forward": [f"result: kernel {name}" for name in SDP_KERNELS]}


@pytest.mark.parametrize("op", sorted(PATHS))
def test_seeded_slice(op):
    counts, failures = run(seed=7, calls=500, ops=(op,))
    assert not failures, f"{len(failures)} failures:\n" + "\n".join(failures[:20])
    c = counts[op]
    assert all(c[path] >= 10 for path in PATHS[op]), c  # every path is exercised
    assert sum(n for label, n in c.items() if not label.startswith("result")) >= 100, c
