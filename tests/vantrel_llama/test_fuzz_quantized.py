"""A seeded slice of the quantized checkpoint fuzzer (tests/vantrel_llama/fuzz_quantized.py runs
the long ones)."""
from fuzz_quantized import run


def test_seeded_slice():
    counts, failures = run(seed=7, files=200)
    assert not failures, "\n".join(failures[:20])
    loaded = sum(n for label, n in counts.items() if label.startswith("loaded"))
    refused = sum(n for label, n in counts.items() if label.startswith("CheckpointError: "
                                                                       "quantization_config"))
    # both outcomes, and config as well as tensor faults, are exercised
    assert 40 <= loaded <= 150 and counts["loaded (exact)"] >= 10 and refused >= 10, counts
