"""A seeded slice of the operator fuzzer (tests/fuzz/fuzz_operators.py runs the long ones)."""
import pytest

from fuzz_operators import run

WIDTHS = (4096, 5120, 8192, 11008, 13824, 14336, 28672)
SDP_KERNELS = ("sdpDim128Fp16Keys128", "sdpDim128Fp16KeyBlocks64", "sdpDim128Fp32KeyBlocks64")
PATHS = {"forward": [f"result: kernel K={k}" for k in WIDTHS] +
         ["result: pytorch Half", "result: pytorch Float", "result: pytorch Double"],
         "sdp_forward": [f"result: kernel {name}{grouped}" for name in SDP_KERNELS
                         for grouped in ("", "Grouped")]}


@pytest.mark.parametrize("op", sorted(PATHS))
def test_seeded_slice(op):
    counts, failures = run(seed=7, calls=500, ops=(op,))
    assert not failures, f"{len(failures)} failures:\n" + "\n".join(failures[:20])
    c = counts[op]
    assert all(c[path] >= 10 for path in PATHS[op]), c  # every path is exercised
    assert sum(n for label, n in c.items() if not label.startswith("result")) >= 100, c
