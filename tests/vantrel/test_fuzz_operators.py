"""A seeded slice of the operator fuzzer (tests/vantrel/fuzz_operators.py runs the long ones)."""
import re

import pytest
import torch

import vantrel
from fuzz_operators import D, run

# Every attention kernel the table names for the fuzzer's calls (kv_len 1 to 200, grouped or not).
SDP_KERNELS = sorted({vantrel.sdp_kernel(dtype, D, kv_len, G) for dtype in (torch.half, torch.float)
                      for kv_len in range(1, 201) for G in (1, 2)})
PYTORCH_PATHS = {f"result: pytorch {t}": 10 for t in ("Half", "Float", "Double")}
# Every path and the calls each must take at least: the PyTorch paths and the attention kernels
# 10 each; every linear width at least once and 10 times per weight layout.
PATHS = {"forward": {**{f"result: kernel K={k}": 1 for k in vantrel.linear_widths()},
                     **PYTORCH_PATHS},
         "sdp_forward": {f"result: kernel {name}": 10 for name in SDP_KERNELS},
         "forward_quantized": PYTORCH_PATHS}
LAYOUT_CALLS = 10
# Labels naming the kernels of each layout, and of each code size, among forward_quantized's.
PACKED_KERNELS = {"arranged": "V0", "row_major": "NoReshape", "4 bits": "Int4", "8 bits": "Int8"}


def total(counts, keep):
    return sum(n for label, n in counts.items() if keep(label))


def dispatched(c, returned):
    """Calls through PyTorch's dispatcher that returned (or refused)."""
    return total(c, lambda label: label.startswith("result") == returned and "[torch.ops]" in label)


@pytest.mark.parametrize("op", sorted(PATHS))
def test_seeded_slice(op):
    counts, failures = run(seed=7, calls=500, ops=(op,))
    assert not failures, f"{len(failures)} failures:\n" + "\n".join(failures[:20])
    c = counts[op]
    assert all(c[path] >= least for path, least in PATHS[op].items()), c  # every path is exercised
    if op == "forward":
        for layout in ("arranged", "row_major"):
            assert sum(c[f"result: kernel K={k}"] for k in vantrel.linear_widths(layout)) >= \
                LAYOUT_CALLS, c
    if op == "forward_quantized":
        kernels = {label for label in c if label.startswith("result: kernel gemm")}
        for part in PACKED_KERNELS.values():
            assert total(c, lambda label: label in kernels and part in label) >= LAYOUT_CALLS, c
        assert dispatched(c, True) >= 10 and dispatched(c, False) >= 10, c
    assert total(c, lambda label: not label.startswith("result")) >= 100, c


# The decoding step's fused operators: every kernel their table lists (with the one for the other
# sizes), results on both entry points and refusals on both, and both sides of a variant: the
# residual updated or only read, key/value heads grouped or not.
FUSED_OPS = ("add_rms_norm", "rotary_cache", "silu_mul")
FUSED_CALLS = 300
VARIANTS = {"add_rms_norm": r"\(no delta\)", "rotary_cache": "grouped"}


def fused_kernels(op):
    entry = vantrel.kernel_table()[op]
    named = getattr(vantrel, f"{op}_kernel")
    return {named(size) for size in entry["sizes"]} | ({entry["other_sizes_kernel"]} - {None})


@pytest.mark.parametrize("op", FUSED_OPS)
def test_seeded_slice_fused(op):
    counts, failures = run(seed=7, calls=FUSED_CALLS, ops=(op,))
    assert not failures, f"{len(failures)} failures:\n" + "\n".join(failures[:20])
    c = counts[op]

    def results(pattern):
        return total(c, lambda label: label.startswith("result") and re.search(pattern, label))

    for kernel in fused_kernels(op):
        assert results(rf"kernel {kernel}\b") >= 1, (kernel, c)
    assert results("^result: empty") >= 1, c  # no rows or no positions: nothing launched
    if op in VARIANTS:
        assert 10 <= results(VARIANTS[op]) <= results("kernel") - 10, c
    assert dispatched(c, True) >= 10 and dispatched(c, False) >= 10, c
    assert total(c, lambda label: not label.startswith("result")) >= 60, c
