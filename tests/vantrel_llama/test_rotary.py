"""Rotary scaling (rope_scaling "linear", "llama3", "yarn", "dynamic"): the engine's logits against
the float32 reference, whose rotary code is written apart; known properties of the formulas; a
"dynamic" scaling refused past max_position_embeddings."""
import dataclasses
import math

import pytest
import torch

from vantrel_llama import load
from vantrel_llama.config import LlamaConfig
from vantrel_llama.reference import Reference, compare, rotary_frequencies
from vantrel_llama.rotary import attention_factor, inverse_frequencies

# head_dim 16, theta 10000: pair i has a wavelength of 2 pi 10000^(i/8) = 6.3, 20, 63, 199, ...
LLAMA3 = {"rope_type": "llama3", "factor": 8.0, "low_freq_factor": 1.0, "high_freq_factor": 4.0,
          "original_max_position_embeddings": 64}  # pair 0 kept, 1-2 blended, 3-7 divided
SCALINGS = {
    "linear": {"type": "linear", "factor": 4.0},
    "llama3": LLAMA3,
    "yarn": {"type": "yarn", "factor": 4.0},  # original 64 = max_position_embeddings
    "yarn-explicit": {"rope_type": "yarn", "factor": 8.0, "beta_fast": 16, "beta_slow": 2,
                      "original_max_position_embeddings": 4096, "attention_factor": 1.3},
    "dynamic": {"type": "dynamic", "factor": 2.0},
}


def config(scaling, **extra):
    return LlamaConfig(64, 96, 1, 4, 48, max_position_embeddings=64, rope_scaling=scaling, **extra)


@pytest.mark.parametrize("name", sorted(SCALINGS))
def test_logits_match_reference(make_checkpoint, name):
    folder, _ = make_checkpoint(rope_scaling=SCALINGS[name])
    model = load(folder)
    ids = torch.randint(48, (2, 24), generator=torch.Generator().manual_seed(1))
    logits = model.logits(ids)
    ref = Reference(folder)
    c = compare(logits, ref.logits(ids), 2)
    assert c["ok"], c
    # The scaling is visible in the logits (except dynamic's, which starts past this length).
    ref.config = dataclasses.replace(ref.config, rope_scaling=None)
    assert compare(logits, ref.logits(ids), 2)["ok"] == (name == "dynamic")
    # The two rotary codes agree to float64 rounding.
    inv, scale = rotary_frequencies(model.config)
    assert torch.allclose(inverse_frequencies(model.config), inv, rtol=1e-12, atol=0)
    assert attention_factor(model.config) == pytest.approx(scale, rel=1e-12)


def test_llama3_keeps_high_and_divides_low_frequencies():
    plain, inv = inverse_frequencies(config(None)), inverse_frequencies(config(LLAMA3))
    assert inv[0] == plain[0] and torch.equal(inv[3:], plain[3:] / 8)
    assert ((inv[1:3] < plain[1:3]) & (inv[1:3] > plain[1:3] / 8)).all()
    assert inv[1] / plain[1] > inv[2] / plain[2]  # the blend moves towards 1 / factor
    assert attention_factor(config(LLAMA3)) == 1.0


def test_linear_scales_positions():
    plain, inv = inverse_frequencies(config(None)), inverse_frequencies(config(SCALINGS["linear"]))
    assert torch.allclose(12 * inv, 3 * plain, rtol=1e-15)  # position 12 turns as 3 did
    assert attention_factor(config(SCALINGS["linear"])) == 1.0


@pytest.mark.parametrize("scaling, expected", [
    ({"type": "yarn", "factor": 4.0}, 0.1 * math.log(4) + 1),
    ({"type": "yarn", "factor": 0.5}, 1.0),
    (SCALINGS["yarn-explicit"], 1.3),
])
def test_yarn_attention_factor_and_ramp(make_checkpoint, scaling, expected):
    assert attention_factor(config(scaling)) == pytest.approx(expected, rel=1e-15)
    folder, _ = make_checkpoint(rope_scaling=scaling)
    model = load(folder)  # cos and sin scaled: every pair's (cos, sin) has length attention factor
    radius = (model._cos ** 2 + model._sin ** 2).sqrt().cpu()
    assert torch.allclose(radius, torch.full_like(radius, expected), rtol=1e-6)
    # Original 4096, beta 32 and 1: d(32) = 2.6, d(1) = 5.6, so pairs 0-2 keep their frequency,
    # 6-7 are divided by factor and 3-5 ramp linearly between.
    yarn = dict(scaling, original_max_position_embeddings=4096, beta_fast=32, beta_slow=1)
    plain, inv = inverse_frequencies(config(None)), inverse_frequencies(config(yarn))
    f = yarn["factor"]
    mask = torch.tensor([1, 1, 1, 0.75, 0.5, 0.25, 0, 0], dtype=torch.float64)
    assert torch.allclose(inv, plain * mask + plain / f * (1 - mask), rtol=1e-14)


def test_dynamic_refused_past_max_position_embeddings(make_checkpoint):
    folder, _ = make_checkpoint(rope_scaling=SCALINGS["dynamic"])
    model = load(folder)
    model.generate(torch.zeros(1, 60, dtype=torch.long), 4, eos_token_id=())  # 64: unscaled
    with pytest.raises(ValueError, match=r'rope_scaling "dynamic".* 65 positions'):
        model.generate(torch.zeros(1, 60, dtype=torch.long), 5)
