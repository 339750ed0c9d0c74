"""A seeded slice of the safetensors fuzzer (tests/vantrel_llama/fuzz_safetensors.py
runs the long ones)."""
from fuzz_safetensors import run


def test_seeded_slice():
    counts, failures = run(seed=7, files=300)
    assert not failures, "\n".join(failures[:20])
    loaded = sum(n for label, n in counts.items() if label.startswith("loaded"))
    assert 50 <= loaded <= 250, counts  # both outcomes are exercised
