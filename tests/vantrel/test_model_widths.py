"""Every projection of the LLaMA-family models, whole and split 2, 4 and 8 ways for tensor
parallelism, has a linear kernel for its input width K and its output count N; the kernel of every
width met computes its host model's bits."""
import collections

import numpy as np
import pytest
import torch
import xpuemu

import vantrel
from host_models import linear_model

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
WAYS = (1, 2, 4, 8)

# The 28 widths of the family and its shards.
FAMILY_WIDTHS = {256, 384, 512, 640, 768, 1024, 1280, 1376, 1536, 1728, 1792, 2048, 2560, 2752,
                 3072, 3456, 3584, 4096, 5120, 5504, 6912, 7168, 8192, 11008, 13824, 14336, 22016,
                 28672}


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


WIDTHS = sorted({K for s in MODELS.values() for P in WAYS for _, K, _ in projections(s, P)})


def test_the_widths_met_are_the_familys():
    assert set(WIDTHS) == FAMILY_WIDTHS


@pytest.mark.parametrize("model", MODELS)
def test_every_projection_has_a_kernel(model):
    unserved = [(P, name, K, N) for P in WAYS for name, K, N in projections(MODELS[model], P)
                if vantrel.linear_kernel(1, K) is None or N % n_multiple(K)]
    assert unserved == []


@pytest.mark.parametrize("K", WIDTHS)
def test_kernel_of_each_width_matches_its_model(xpu, K):
    """16 output features of the width's kernel in its weight layout, bit for bit, for one row and
    for the most rows it takes."""
    rng = np.random.default_rng(K)
    w = (rng.uniform(-1, 1, (16, K)) / 8).astype(np.float16)
    wd = vantrel.arrange_weights(torch.from_numpy(w)).contiguous().to(xpu)
    for M in (1, vantrel.LINEAR_MAX_ROWS):
        x = rng.uniform(-1, 1, (M, K)).astype(np.float16)
        xpuemu.clear_launch_log()
        y = vantrel.forward(torch.from_numpy(x).to(xpu), wd).cpu().numpy()
        assert [r["kernel"] for r in xpuemu.launch_log()] == [vantrel.linear_kernel(M, K)]
        np.testing.assert_array_equal(y.view(np.uint16), linear_model(K)(x, w).view(np.uint16))
