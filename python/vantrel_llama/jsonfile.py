"""Reading a checkpoint's small JSON files (tokenizer_config.json, generation_config.json): an
object, or a CheckpointError naming the file."""
import json
from pathlib import Path

from .errors import CheckpointError


def read_json_object(path: Path) -> dict:
    try:
        d = json.loads(path.read_bytes().decode("utf-8"))
    except OSError as e:
        raise CheckpointError(f"{path}: cannot read it ({e})") from None
    except (UnicodeDecodeError, ValueError, RecursionError) as e:
        raise CheckpointError(f"{path}: not valid JSON ({str(e)[:100]})") from None
    if not isinstance(d, dict):
        raise CheckpointError(f"{path}: the top level must be an object")
    return d
