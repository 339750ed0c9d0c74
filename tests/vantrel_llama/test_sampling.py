"""vantrel_llama.sampling: greedy ties, temperature, the nucleus, seeds, +inf and bad arguments."""
import math

import pytest
import torch

from vantrel_llama.sampling import make_generator, sample

INF = math.inf


def test_greedy_takes_the_lowest_of_the_best():
    rows = [[1.0, 3.0, 3.0, 0.0], [0.0, 3.0, 3.0, 1.0], [-INF, 2.0, 5.0, 5.0],
            [0.0, INF, 2.0, INF], [-1e38, -INF, -3e38, -1e38], [-INF, -INF, -INF, 0.0]]
    assert sample(torch.tensor(rows)).tolist() == [1, 1, 2, 1, 0, 3]


def draws(probs, n=4000, seed=0, **kwargs):
    """The share of each token in n draws from logits log(probs)."""
    logits = torch.tensor(probs).log().expand(n, len(probs))
    ids = sample(logits, generator=make_generator(seed), **kwargs)
    return (torch.bincount(ids, minlength=len(probs)) / n).tolist()


@pytest.mark.parametrize("kwargs, shares", [
    (dict(temperature=1.0), [0.5, 0.3, 0.15, 0.05]),
    (dict(temperature=1.0, top_p=0.7), [0.625, 0.375, 0, 0]),     # 0.5 + 0.3 reach 0.7
    (dict(temperature=1.0, top_p=0.45), [1, 0, 0, 0]),            # the top one alone
    (dict(temperature=2.0, top_p=0.999), [0.5 ** .5, 0.3 ** .5, 0.15 ** .5, 0.05 ** .5]),
    (dict(temperature=1e-30), [1, 0, 0, 0]),
    # Temperatures that round to 0 or inf in float32 (a token at -inf stays out).
    (dict(temperature=1e-300), [1, 0, 0, 0]),
    (dict(temperature=1e300, probs=[0.5, 0.3, 0.2, 0.0]), [1, 1, 1, 0]),
])
def test_shares_of_draws(kwargs, shares):
    total = sum(shares)
    kwargs = dict(kwargs)
    got = draws(kwargs.pop("probs", [0.5, 0.3, 0.15, 0.05]), **kwargs)
    for g, s in zip(got, shares):
        assert g == pytest.approx(s / total, abs=0.035)
        assert (g == 0) == (s == 0)     # tokens outside the nucleus are never drawn


def test_seeds_and_infinities():
    logits = torch.randn(64, 50, generator=torch.Generator().manual_seed(1))
    a, b, c = (sample(logits, 1.0, 0.9, make_generator(s)) for s in (7, 7, 8))
    assert torch.equal(a, b) and not torch.equal(a, c) and a.dtype == torch.int64
    # +inf tokens share everything, whatever the temperature.
    inf = torch.tensor([[0.0, INF, 1e30, INF]]).expand(1000, 4)
    assert set(sample(inf, 5.0, generator=make_generator(0)).tolist()) == {1, 3}


@pytest.mark.parametrize("logits, kwargs, message", [
    ([[0.0, 1.0]], dict(temperature=-0.5), "temperature must be"),
    ([[0.0, 1.0]], dict(temperature=INF), "temperature must be"),
    ([[0.0, 1.0]], dict(temperature=math.nan), "temperature must be"),
    ([[0.0, 1.0]], dict(top_p=0.0), "top_p must be"),
    ([[0.0, 1.0]], dict(top_p=1.01), "top_p must be"),
    ([[0.0, 1.0]], dict(top_p=math.nan), "top_p must be"),
    ([[0.0, 1.0], [math.nan, 1.0]], {}, "logits contain NaN"),
    ([[0.0, 1.0], [-INF, -INF]], dict(temperature=1.0), "logits are -inf"),
    ([0.0, 1.0], {}, "logits must be"),
])
def test_bad_arguments(logits, kwargs, message):
    with pytest.raises(ValueError, match=message):
        sample(torch.tensor(logits), **kwargs)
