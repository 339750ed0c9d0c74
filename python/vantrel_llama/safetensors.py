"""Reading and writing the safetensors format.

A file is an 8-byte little-endian header length N, N bytes of a UTF-8 JSON object mapping each
tensor name to {"dtype", "shape", "data_offsets": [begin, end]} (offsets relative to the data
section that starts at 8 + N) with an optional "__metadata__" object of strings, then the data.
The reader maps the file and hands out tensors that view the mapping, so loading copies nothing;
the whole header is checked before any tensor is handed out.
"""
import json
import math
import mmap
import os
import weakref
from pathlib import Path
from typing import Mapping, Optional

import torch

from .errors import CheckpointError

DTYPES = {"F16": torch.float16, "BF16": torch.bfloat16, "F32": torch.float32,
          "F64": torch.float64, "I64": torch.int64, "I32": torch.int32, "I16": torch.int16,
          "I8": torch.int8, "U8": torch.uint8, "BOOL": torch.bool}
CODES = {dtype: code for code, dtype in DTYPES.items()}
MAX_HEADER = 100 * 1000 * 1000
ALIGN = 8


def _itemsize(dtype):
    return torch.empty((), dtype=dtype).element_size()


class _Duplicate(Exception):
    pass


def _no_duplicates(pairs):
    d = {}
    for key, value in pairs:
        if key in d:
            raise _Duplicate(key)
        d[key] = value
    return d


class SafetensorsFile:
    """A safetensors file mapped into memory (a private copy-on-write mapping, never written).

    Tensors returned by `tensor` view the mapping: treat them as read-only, and delete them (and any
    view of them) before `close`."""

    def __init__(self, path):
        self.path = Path(path)
        self.metadata = {}
        self._mm = None
        self._views = {}
        try:
            with open(self.path, "rb") as f:
                size = os.fstat(f.fileno()).st_size
                prefix = f.read(8)
                if size < 8 or len(prefix) < 8:
                    self._fail(f"the file has {size} bytes, fewer than the 8 of the header length")
                n = int.from_bytes(prefix, "little")
                if n > MAX_HEADER:
                    self._fail(f"the header length {n} exceeds {MAX_HEADER} bytes")
                if 8 + n > size:
                    self._fail(f"the header length {n} runs past the end of the file "
                               f"({size} bytes)")
                header = f.read(n)
                self._parse(header, size - 8 - n)
                self._data = 8 + n
                self._mm = mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_COPY)
        except OSError as e:
            raise CheckpointError(f"{self.path}: cannot read the file ({e})") from e

    def _fail(self, why, name=None):
        where = f"{self.path}: tensor {name}" if name is not None else f"{self.path}"
        raise CheckpointError(f"{where}: {why}")

    def _parse(self, raw, data_len):
        try:
            header = json.loads(raw.decode("utf-8"), object_pairs_hook=_no_duplicates)
        except (UnicodeDecodeError, ValueError) as e:
            self._fail(f"the header is not UTF-8 JSON ({e})")
        except RecursionError:
            self._fail("the header is not UTF-8 JSON (nested too deeply)")
        except _Duplicate as e:
            self._fail(f"the name {e.args[0]!r} appears twice in the header")
        if not isinstance(header, dict):
            self._fail(f"the header must be a JSON object, not {type(header).__name__}")
        meta = header.pop("__metadata__", {})
        if not isinstance(meta, dict) or not all(isinstance(v, str) for v in meta.values()):
            self._fail("__metadata__ must be an object mapping strings to strings")
        self.metadata = meta
        entries = {}
        for name, e in header.items():
            if not isinstance(e, dict):
                self._fail("the header entry must be an object", name)
            for key in ("dtype", "shape", "data_offsets"):
                if key not in e:
                    self._fail(f"the header entry lacks {key}", name)
            if not isinstance(e["dtype"], str) or e["dtype"] not in DTYPES:
                self._fail(f"unknown dtype {e['dtype']!r} (known: {', '.join(DTYPES)})", name)
            dtype, shape, offsets = DTYPES[e["dtype"]], e["shape"], e["data_offsets"]
            if not (isinstance(shape, list)
                    and all(isinstance(d, int) and not isinstance(d, bool) and d >= 0
                            for d in shape)):
                self._fail(f"shape must be a list of non-negative integers, not {shape!r}", name)
            if math.prod(max(d, 1) for d in shape) >= 2 ** 63:  # even with a zero extent
                self._fail(f"shape {shape} is too large for a tensor (extents and their product "
                           f"must stay below 2^63)", name)
            if not (isinstance(offsets, list) and len(offsets) == 2
                    and all(isinstance(o, int) and not isinstance(o, bool) for o in offsets)):
                self._fail(f"data_offsets must be a list of two integers, not {offsets!r}", name)
            begin, end = offsets
            if not 0 <= begin <= end <= data_len:
                self._fail(f"data_offsets [{begin}, {end}] lie outside the data section of "
                           f"{data_len} bytes", name)
            nbytes = math.prod(shape) * _itemsize(dtype)
            if end - begin != nbytes:
                self._fail(f"data_offsets [{begin}, {end}] hold {end - begin} bytes but shape "
                           f"{shape} of {e['dtype']} needs {nbytes}", name)
            entries[name] = (dtype, tuple(shape), begin, end)
        # Names in data order; no two tensors may share a byte.
        self._entries = dict(sorted(entries.items(), key=lambda kv: (kv[1][2], kv[1][3])))
        last_end, last_name = 0, None
        for name, (_, _, begin, end) in self._entries.items():
            if begin == end:
                continue
            if begin < last_end:
                self._fail(f"its bytes [{begin}, {end}) overlap those of {last_name} "
                           f"(ending at {last_end})", name)
            last_end, last_name = end, name

    def _entry(self, name):
        try:
            return self._entries[name]
        except KeyError:
            raise CheckpointError(f"{self.path}: there is no tensor {name!r} in the file") from None

    def names(self) -> list:
        """The tensor names, in the order of their data."""
        return list(self._entries)

    def dtype(self, name) -> torch.dtype:
        """The stored dtype of tensor `name`."""
        return self._entry(name)[0]

    def shape(self, name) -> tuple:
        """The shape of tensor `name`."""
        return self._entry(name)[1]

    def nbytes(self, name) -> int:
        """The bytes of tensor `name`."""
        _, _, begin, end = self._entry(name)
        return end - begin

    def tensor(self, name) -> torch.Tensor:
        """A CPU tensor viewing the mapped data of `name` (no copy, unless its data is not aligned
        to its element size, which this format does not promise)."""
        dtype, shape, begin, end = self._entry(name)
        if self._mm is None:
            raise CheckpointError(f"{self.path}: tensor {name}: the file is closed")
        if begin == end:
            return torch.empty(shape, dtype=dtype)
        start = self._data + begin
        # A memoryview slice holds an export of the mapping for as long as the tensor's storage
        # lives, so the mapping cannot be closed under it.
        t = torch.frombuffer(memoryview(self._mm)[start:self._data + end], dtype=dtype)
        t = t.reshape(shape)
        if start % t.element_size():
            t = t.clone()
        else:
            self._views[name] = weakref.ref(t)
        return t

    def release(self, name) -> None:
        """Drop the pages of `name` from the resident set; no view of it may be used afterwards
        (pages shared with neighbouring tensors are read back from the file when next touched)."""
        _, _, begin, end = self._entry(name)
        if self._mm is None or begin == end:
            return
        start = (self._data + begin) // mmap.PAGESIZE * mmap.PAGESIZE
        self._mm.madvise(mmap.MADV_DONTNEED, start, self._data + end - start)

    def close(self) -> None:
        """Unmap the file. Every tensor returned (and every view of one) must be deleted first;
        otherwise the mapping is left to be unmapped when the last of them dies, and this raises."""
        if self._mm is None:
            return
        mm, self._mm = self._mm, None
        try:
            mm.close()
        except BufferError:
            alive = [n for n, ref in self._views.items() if ref() is not None]
            held = f"tensors {', '.join(alive)}" if alive else "views of tensors returned earlier"
            raise RuntimeError(f"{self.path}: cannot unmap the file while {held} are still "
                               f"referenced; delete them before close()") from None
        finally:
            self._views.clear()

    def __enter__(self):
        return self

    def __exit__(self, exc_type, exc, tb):
        if exc_type is None:
            self.close()
        else:
            try:
                self.close()
            except RuntimeError:
                pass  # the error in flight says more; the mapping goes with its last view


def write_safetensors(path, tensors: Mapping[str, torch.Tensor],
                      metadata: Optional[Mapping[str, str]] = None) -> None:
    """Write `tensors` (in the order given) as a safetensors file, streaming one tensor at a time.
    The header is padded with spaces so that the data section starts 8-byte aligned."""
    path = Path(path)
    header, offset = {}, 0
    if metadata is not None:
        if not all(isinstance(k, str) and isinstance(v, str) for k, v in metadata.items()):
            raise CheckpointError(f"{path}: metadata must map strings to strings")
        header["__metadata__"] = dict(metadata)
    for name, t in tensors.items():
        if not isinstance(name, str) or name == "__metadata__":
            raise CheckpointError(f"{path}: {name!r} cannot name a tensor")
        if not isinstance(t, torch.Tensor) or t.dtype not in CODES or t.layout != torch.strided:
            raise CheckpointError(f"{path}: tensor {name}: a dense tensor of "
                                  f"{', '.join(map(str, CODES))} is required, not {t!r:.60}")
        nbytes = t.numel() * t.element_size()
        header[name] = {"dtype": CODES[t.dtype], "shape": list(t.shape),
                        "data_offsets": [offset, offset + nbytes]}
        offset += nbytes
    raw = json.dumps(header, separators=(",", ":")).encode("utf-8")
    raw += b" " * (-(8 + len(raw)) % ALIGN)
    tmp = path.with_name(path.name + ".partial")
    try:
        with open(tmp, "wb") as f:
            f.write(len(raw).to_bytes(8, "little"))
            f.write(raw)
            for t in tensors.values():
                if t.numel():
                    t = t.detach().to("cpu").contiguous().reshape(-1)
                    f.write(t.view(torch.uint8).numpy().data)
        os.replace(tmp, path)
    finally:
        if tmp.exists():
            tmp.unlink()
