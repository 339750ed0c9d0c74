"""A seeded slice of the operator fuzzer (tests/fuzz/fuzz_operators.py runs the long ones)."""
import pytest

from fuzz_operators import run

PATHS = {"forward": ["result: kernel K=4096", "result: kernel K=11008", "result: pytorch Half",
                     "result: pytorch Float", "result: pytorch Double"],
         "sdp_forward": ["result: kernel sdpDim128Fp16Keys128",
                         "result: kernel sdpDim128Fp16KeyBlocks64",
                         "result: kernel sdpDim128Fp32KeyBlocks64"]}


@pytest.mark.parametrize("op", sorted(PATHS))
def test_seeded_slice(op):
    counts, failures = run(seed=7, calls=500, ops=(op,))
    assert not failures, f"{len(failures)} failures:\n" + "\n".join(failures[:20])
    c = counts[op]
    assert all(c[path] >= 20 for path in PATHS[op]), c  # every path is exercised
    assert sum(n for label, n in c.items() if not label.startswith("result")) >= 100, c
