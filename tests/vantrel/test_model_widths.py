"""Every projection of the LLaMA-family models, whole and split 2, 4 and 8 ways for tensor
parallelism, has a linear kernel for its input width K and its output count N (each width's bits
against its host model are in test_linear.py)."""
import collections

import pytest

import vantrel

Shape = collections.namedtuple("Shape", "hidden intermediate heads kv_heads head_size vocab")

MODELS = {
    "LLaMA-2-7B": Shape(4096, 11008, 32, 32, 128, 32000),
    "LLaMA-2-13B": Shape(5120, 13824, 40, 40, 128, 32000),
    "LLaMA-2-70B": Shape(8192, 28672, 64, 8, 128, 32000),
    "LLaMA-3.1-8B": Shape(4096, 14336, 32, 8, 128, 128256),
    "LLaMA-3.1-70B": Shape(8192, 28672, 64, 8, 128, 128256),
    "LLaMA-3.2-1B": Shape(2048, 8192, 32, 8, 64, 128256),  # output layer tied to the embedding
    "LLaMA-3.2-3B": Shape(3072, 8192, 24, 8, 128, 128256),  # tied too: the same projection shape
    "Mistral-7B": Shape(4096, 14336, 32, 8, 128, 32000),
    "CodeLlama-34B": Shape(8192, 22016, 64, 8, 128, 32000),
}


def projections(s, P):
    """(name, K, N) of one rank's projections when a layer is split P ways: q/k/v (by whole heads,
    key/value heads replicated when P exceeds their count), gate/up and the output layer split
    their outputs; o and down split their inputs."""
    assert s.heads % P == 0 and s.intermediate % P == 0 and s.vocab % P == 0
    kv_heads = max(s.kv_heads // P, 1)
    return [("qkv", s.hidden, (s.heads // P + 2 * kv_heads) * s.head_size),
            ("o", s.heads * s.head_size // P, s.hidden),
            ("gate_up", s.hidden, 2 * s.intermediate // P),
            ("down", s.intermediate // P, s.hidden),
            ("output", s.hidden, s.vocab // P)]


def n_multiple(K):
    return vantrel.kernel_table()["linear"]["layouts"][vantrel.linear_layout(K)]["n_multiple"]


@pytest.mark.parametrize("model", MODELS)
def test_every_projection_has_a_kernel(model):
    unserved = [(P, name, K, N) for P in (1, 2, 4, 8)
                for name, K, N in projections(MODELS[model], P)
                if vantrel.linear_kernel(1, K) is None or N % n_multiple(K)]
    assert unserved == []
