"""vantrel_llama: decoding LLaMA-family checkpoints on the XPU device with vantrel's operators.

    model = vantrel_llama.load("path/to/checkpoint")
    out = model.generate(torch.tensor([[1, 15043]]), max_new_tokens=16)
"""
from .errors import CheckpointError

__all__ = ["CheckpointError", "load", "Model"]


def __getattr__(name):
    # The model pulls in the built operators; the checkpoint readers and the tokenizer do not.
    if name == "load":
        from .loader import load
        return load
    if name == "Model":
        from .model import Model
        return Model
    raise AttributeError(f"module 'vantrel_llama' has no attribute {name!r}")
