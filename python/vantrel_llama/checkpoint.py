"""The weights of a checkpoint directory: found, opened and checked against the configuration before
any of their data is used.

Safetensors files are mapped (tensors view the mapping, nothing is copied); PyTorch .bin files are
loaded whole, one shard at a time, and kept until their tensors are released.

When config.json has a quantization_config, every layer projection is held as its packed GPTQ or
AWQ tensors instead of `.weight`: checked here by name, shape and dtype, decoded by
quantized.read_quantized.
"""
import json
import re
from pathlib import Path

import torch

from .config import LlamaConfig
from .errors import CheckpointError
from .quantized import (OPTIONAL, QUANTIZED_PROJECTIONS, TENSOR_DTYPES, packed_layout,
                        packing_problem)
from .safetensors import SafetensorsFile

SAFETENSORS, SAFETENSORS_INDEX = "model.safetensors", "model.safetensors.index.json"
BIN, BIN_INDEX = "pytorch_model.bin", "pytorch_model.bin.index.json"
WEIGHT_DTYPES = (torch.float16, torch.bfloat16, torch.float32)
# A buffer older checkpoints store; this engine computes the rotary frequencies itself.
IGNORED = re.compile(r"model\.layers\.\d+\.self_attn\.rotary_emb\.inv_freq")
_LAYER = re.compile(r"model\.layers\.(\d+)\.")


def projections(cfg: LlamaConfig) -> dict:
    """Layer projection prefix -> (outputs N, inputs K, the config keys of N, of K)."""
    h, inter = cfg.hidden_size, cfg.intermediate_size
    q, kv = cfg.num_attention_heads * cfg.head_dim, cfg.num_key_value_heads * cfg.head_dim
    kv_keys = "num_key_value_heads * hidden_size / num_attention_heads"
    dims = {"self_attn.q_proj": (q, h, "hidden_size", "hidden_size"),
            "self_attn.k_proj": (kv, h, kv_keys, "hidden_size"),
            "self_attn.v_proj": (kv, h, kv_keys, "hidden_size"),
            "self_attn.o_proj": (h, q, "hidden_size", "hidden_size"),
            "mlp.gate_proj": (inter, h, "intermediate_size", "hidden_size"),
            "mlp.up_proj": (inter, h, "intermediate_size", "hidden_size"),
            "mlp.down_proj": (h, inter, "hidden_size", "intermediate_size")}
    return {f"model.layers.{i}.{p}": d for i in range(cfg.num_hidden_layers)
            for p, d in dims.items()}


def _layout(cfg: LlamaConfig, place=lambda name: "config.json") -> dict:
    """name -> (shape, the config keys the shape follows from, the dtypes allowed, whether it may
    be absent). A quantized projection that cannot be packed raises CheckpointError starting with
    place(name of the tensor at fault)."""
    h, vocab, qc = cfg.hidden_size, cfg.vocab_size, cfg.quantization
    out = {"model.embed_tokens.weight": ((vocab, h), "vocab_size, hidden_size", WEIGHT_DTYPES,
                                         False)}
    proj = projections(cfg)
    for i in range(cfg.num_hidden_layers):
        p = f"model.layers.{i}."
        for prefix in (p + name for name in QUANTIZED_PROJECTIONS):
            n, k, n_keys, k_keys = proj[prefix]
            if qc is None:
                out[prefix + ".weight"] = ((n, k), f"{n_keys}, {k_keys}", WEIGHT_DTYPES, False)
                continue
            problem = packing_problem(qc, k, n, k_keys, n_keys)
            if problem is not None:
                name = f"{prefix}.{problem[0]}"
                raise CheckpointError(f"{place(name)}: tensor {name}: {problem[1]}")
            for suffix, (shape, keys) in packed_layout(qc, k, n, k_keys, n_keys).items():
                out[f"{prefix}.{suffix}"] = (shape, keys, TENSOR_DTYPES[suffix],
                                             suffix in OPTIONAL)
        for norm in ("input_layernorm.weight", "post_attention_layernorm.weight"):
            out[p + norm] = ((h,), "hidden_size", WEIGHT_DTYPES, False)
    out["model.norm.weight"] = ((h,), "hidden_size", WEIGHT_DTYPES, False)
    if not cfg.tie_word_embeddings:
        out["lm_head.weight"] = ((vocab, h), "vocab_size, hidden_size", WEIGHT_DTYPES, False)
    return out


def expected_tensors(cfg: LlamaConfig) -> dict:
    """The weight names of a model with configuration `cfg` and their shapes (a quantized one's
    g_idx tensors included, though a checkpoint may leave them out)."""
    return {name: entry[0] for name, entry in _layout(cfg).items()}


def _hint(cfg, name, present=()):
    """Why a tensor is or is not expected, when the config says (`present`: the names found)."""
    stem, qc = name.rsplit(".", 1)[0], cfg.quantization
    layer = _LAYER.match(name)
    if layer and int(layer.group(1)) < cfg.num_hidden_layers:
        if qc is None and name.endswith(".weight") and stem + ".qweight" in present:
            return (f" (the weights hold {stem}.qweight: a quantized checkpoint needs "
                    f"quantization_config in config.json)")
        if qc is not None and stem.endswith(QUANTIZED_PROJECTIONS):
            held = f"but the weights hold {stem}.weight" if stem + ".weight" in present else \
                (f"each is stored as its qweight, qzeros and scales"
                 f"{' (and g_idx)' if qc.method == 'gptq' else ''}")
            return (f" (config.json's quantization_config says the projections are quantized "
                    f"(\"{qc.method}\"): {held})")
    if layer:
        return f" (num_hidden_layers is {cfg.num_hidden_layers})"
    if name == "lm_head.weight":
        return f" (tie_word_embeddings is {str(cfg.tie_word_embeddings).lower()})"
    return ""


class Checkpoint:
    """The weights in a checkpoint directory, checked against `cfg`: model.safetensors or
    safetensors shards listed by model.safetensors.index.json; else pytorch_model.bin or .bin
    shards listed by pytorch_model.bin.index.json. Use as a context manager."""

    def __init__(self, directory, cfg: LlamaConfig):
        self.directory = Path(directory)
        self.cfg = cfg
        self.format = None
        self._files = {}     # path -> SafetensorsFile, or the dict of a .bin shard's tensors
        self._where = {}     # name -> path, in file order
        self._released = set()
        if not self.directory.is_dir():
            raise CheckpointError(f"{self.directory}: not a checkpoint directory")
        try:
            self._open()
            self._validate()
        except BaseException:
            self._drop()
            raise

    # ---- finding and opening the files --------------------------------------------------------

    def _open(self):
        d = self.directory
        for fmt, single, index in (("safetensors", SAFETENSORS, SAFETENSORS_INDEX),
                                   ("bin", BIN, BIN_INDEX)):
            if (d / single).is_file():
                self.format, listed = fmt, {d / single: None}
                break
            if (d / index).is_file():
                self.format, listed = fmt, self._read_index(d / index)
                break
        else:
            shards = sorted(p.name for p in d.iterdir() if p.suffix in (".safetensors", ".bin"))
            found = f" (found {', '.join(shards)} without an index)" if shards else ""
            raise CheckpointError(f"{d}: no weights found: looked for {SAFETENSORS}, "
                                  f"{SAFETENSORS_INDEX}, {BIN} and {BIN_INDEX}{found}")
        for path, mapped in listed.items():
            if not path.is_file():
                raise CheckpointError(f"{path}: the file listed by the index does not exist")
            if self.format == "safetensors":
                self._files[path] = SafetensorsFile(path)
                names = self._files[path].names()
            else:
                self._files[path] = self._load_bin(path)
                names = list(self._files[path])
            if mapped is not None:
                extra = [n for n in names if n not in mapped]
                if extra:
                    raise CheckpointError(f"{path}: holds tensor {extra[0]}, which the index "
                                          f"does not map to this file")
                lacking = sorted(mapped.difference(names))
                if lacking:
                    raise CheckpointError(f"{path}: the index maps tensor {lacking[0]} to this "
                                          f"file, which does not hold it")
            for name in names:
                if IGNORED.fullmatch(name):
                    if self.format == "bin":
                        del self._files[path][name]
                else:
                    self._where[name] = path
        if self.format == "bin":
            self._drop_tied_copy()

    def _read_index(self, path):
        """file path -> the set of names the index maps to it, in file name order."""
        try:
            index = json.loads(path.read_bytes().decode("utf-8"))
        except (OSError, UnicodeDecodeError, ValueError, RecursionError) as e:
            raise CheckpointError(f"{path}: cannot read the index ({str(e)[:100]})") from None
        weight_map = index.get("weight_map") if isinstance(index, dict) else None
        if not isinstance(weight_map, dict):
            raise CheckpointError(f"{path}: the index must be a JSON object with a weight_map "
                                  f"object mapping tensor names to file names")
        listed = {}
        for name, file in weight_map.items():
            if not isinstance(file, str) or Path(file).name != file or file in ("", ".", ".."):
                raise CheckpointError(f"{path}: weight_map maps tensor {name} to {file!r}, which "
                                      f"is not a file name in the checkpoint directory")
            listed.setdefault(file, set()).add(name)
        return {self.directory / file: listed[file] for file in sorted(listed)}

    @staticmethod
    def _load_bin(path):
        try:
            state = torch.load(path, map_location="cpu", weights_only=True)
        except Exception as e:  # a truncated file, not a pickle, or objects other than tensors
            raise CheckpointError(f"{path}: cannot load the PyTorch weights file: it is damaged, "
                                  f"not a torch.save file, or holds objects other than tensors "
                                  f"({type(e).__name__}: {e})") from e
        if not isinstance(state, dict):
            raise CheckpointError(f"{path}: must hold a dict of tensors, not "
                                  f"{type(state).__name__}")
        for name, t in state.items():
            if not isinstance(name, str):
                raise CheckpointError(f"{path}: holds the key {name!r}; tensor names are strings")
            if not isinstance(t, torch.Tensor) or t.layout != torch.strided:
                raise CheckpointError(f"{path}: tensor {name}: holds {type(t).__name__} where "
                                      f"a dense tensor is required")
        return dict(state)

    def _drop_tied_copy(self):
        # torch.save keeps a tied output projection as a second name of the embedding's storage.
        emb, head = "model.embed_tokens.weight", "lm_head.weight"
        if not self.cfg.tie_word_embeddings or emb not in self._where or head not in self._where:
            return
        a, b = self._files[self._where[emb]][emb], self._files[self._where[head]][head]
        if (a.data_ptr() == b.data_ptr() and a.shape == b.shape and a.stride() == b.stride()
                and a.dtype == b.dtype):
            del self._files[self._where.pop(head)][head]

    # ---- checks --------------------------------------------------------------------------------

    def _info(self, name):
        f = self._files[self._where[name]]
        if self.format == "safetensors":
            return f.shape(name), f.dtype(name)
        return tuple(f[name].shape), f[name].dtype

    def _validate(self):
        layout = _layout(self.cfg, lambda name: self._where.get(name, self.directory))
        missing = [n for n, entry in layout.items() if n not in self._where and not entry[3]]
        if missing:
            more = f" (and {len(missing) - 1} more)" if len(missing) > 1 else ""
            raise CheckpointError(f"{self.directory}: tensor {missing[0]}{more} is missing from "
                                  f"the weights{_hint(self.cfg, missing[0], self._where)}")
        extra = [n for n in self._where if n not in layout]
        if extra:
            raise CheckpointError(f"{self._where[extra[0]]}: tensor {extra[0]} does not belong to "
                                  f"the model config.json describes{_hint(self.cfg, extra[0])}")
        for name, path in self._where.items():
            shape, dtype = self._info(name)
            want, keys, dtypes, _ = layout[name]
            if shape != want:
                raise CheckpointError(f"{path}: tensor {name} has shape {list(shape)}, expected "
                                      f"{list(want)} = [{keys}] of config.json")
            if dtype not in dtypes:
                if dtypes is WEIGHT_DTYPES:
                    need = "weights must be float16, bfloat16 or float32"
                else:
                    kind = name.rsplit(".", 1)[1]
                    need = (f"the {kind} of a quantized projection must be "
                            f"{' or '.join(str(d).replace('torch.', '') for d in dtypes)}")
                raise CheckpointError(f"{path}: tensor {name} is {dtype}; {need}")

    # ---- access --------------------------------------------------------------------------------

    def names(self) -> list:
        """The weight names, in file order."""
        return list(self._where)

    def file_of(self, name) -> Path:
        """The file that holds tensor `name`."""
        try:
            return self._where[name]
        except KeyError:
            raise CheckpointError(f"{self.directory}: there is no weight {name!r}") from None

    def tensor(self, name) -> torch.Tensor:
        """Tensor `name` on the CPU in its stored dtype (from safetensors, a view of the mapped
        file: read-only, delete it before close)."""
        path = self.file_of(name)
        if name in self._released:
            raise CheckpointError(f"{path}: tensor {name} was already released")
        if path not in self._files:
            raise CheckpointError(f"{path}: tensor {name}: the checkpoint is closed")
        f = self._files[path]
        return f.tensor(name) if self.format == "safetensors" else f[name]

    def release(self, name) -> None:
        """The caller is done with tensor `name`: its pages leave the resident set (safetensors), or
        the checkpoint's reference goes and a .bin shard is freed with its last tensor."""
        path = self.file_of(name)
        if name in self._released or path not in self._files:
            return
        self._released.add(name)
        if self.format == "safetensors":
            self._files[path].release(name)
        else:
            del self._files[path][name]
            if not self._files[path]:
                del self._files[path]

    def close(self) -> None:
        """Unmap or free every file; tensors handed out must be deleted first (see
        SafetensorsFile.close)."""
        files, self._files = self._files, {}
        error = None
        for f in files.values():
            if isinstance(f, SafetensorsFile):
                try:
                    f.close()
                except RuntimeError as e:
                    error = error or e
        if error is not None:
            raise error

    def _drop(self):
        try:
            self.close()
        except RuntimeError:
            pass

    def __enter__(self):
        return self

    def __exit__(self, exc_type, exc, tb):
        if exc_type is None:
            self.close()
        else:
            self._drop()
