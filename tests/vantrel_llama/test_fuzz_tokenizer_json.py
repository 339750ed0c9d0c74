"""A seeded slice of the tokenizer.json fuzzer (tests/vantrel_llama/fuzz_tokenizer_json.py runs
the long ones)."""
from fuzz_tokenizer_json import run


def test_seeded_slice():
    counts, failures = run(seed=7, files=300)
    assert not failures, "\n".join(failures[:20])
    loaded = sum(n for label, n in counts.items() if label.startswith("loaded"))
    unsupported = sum(n for label, n in counts.items() if label.startswith("unsupported"))
    assert 30 <= loaded <= 200 and unsupported >= 5, counts  # every outcome is exercised
