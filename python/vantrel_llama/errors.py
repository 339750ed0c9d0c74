"""The engine's error for a checkpoint it cannot load or a request it cannot serve."""


class CheckpointError(ValueError):
    """A checkpoint that cannot be loaded as it stands: the message names the file and the key or
    tensor at fault, and what was expected."""
