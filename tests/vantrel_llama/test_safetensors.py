"""vantrel_llama.safetensors: round trips, every kind of corrupt header, closing with live views,
and release giving pages back."""
import json
import re

import pytest
import torch

from vantrel_llama import CheckpointError
from vantrel_llama.safetensors import SafetensorsFile, write_safetensors


def raw_file(path, header, data=b"", n=None):
    raw = header if isinstance(header, bytes) else json.dumps(header).encode()
    path.write_bytes((len(raw) if n is None else n).to_bytes(8, "little") + raw + data)
    return path


def test_round_trip(tmp_path):
    tensors = {"h": torch.randn(3, 5).half(), "b": torch.randn(7).bfloat16(),
               "f": torch.randn(2, 2, 2), "empty": torch.zeros(0, 4), "scalar": torch.tensor(3.0),
               "i": torch.arange(5, dtype=torch.int64), "m": torch.tensor([True, False])}
    path = tmp_path / "a.safetensors"
    write_safetensors(path, tensors, metadata={"format": "pt"})
    assert (8 + int.from_bytes(path.read_bytes()[:8], "little")) % 8 == 0
    with SafetensorsFile(path) as f:
        assert f.metadata == {"format": "pt"}
        assert f.names() == list(tensors)
        for name, t in tensors.items():
            got = f.tensor(name)
            assert (got.dtype, got.shape, f.shape(name)) == (t.dtype, t.shape, tuple(t.shape))
            assert torch.equal(got, t) and f.nbytes(name) == t.numel() * t.element_size()
        assert f.tensor("f").data_ptr() == f.tensor("f").data_ptr()  # views of the mapping
        del got
        with pytest.raises(CheckpointError, match=f"{re.escape(str(path))}.*'nope'"):
            f.tensor("nope")


F32x2 = {"dtype": "F32", "shape": [2], "data_offsets": [0, 8]}


@pytest.mark.parametrize("header, data, n, match", [
    (b"", b"\x01\x02", 0, "fewer than the 8"),
    (b"{}", b"", 1000, "past the end of the file"),
    (b"{}", b"", 1 << 40, "exceeds"),
    (b"{\"a\": ", b"", None, "not UTF-8 JSON"),
    (b"\xff{}", b"", None, "not UTF-8 JSON"),
    (b"[1]", b"", None, "must be a JSON object"),
    (b"{\"a\": {}, \"a\": {}}", b"", None, "'a' appears twice"),
    ({"a": [1]}, b"", None, "tensor a: the header entry must be an object"),
    ({"a": {"dtype": "F32", "shape": [2]}}, bytes(8), None, "tensor a: .*lacks data_offsets"),
    ({"a": dict(F32x2, dtype="F8")}, bytes(8), None, "tensor a: unknown dtype 'F8'"),
    ({"a": dict(F32x2, shape=[-2])}, bytes(8), None, "tensor a: shape must be"),
    ({"a": dict(F32x2, shape=[0, 2 ** 63], data_offsets=[0, 0])}, b"", None,
     "tensor a: shape .*too large"),
    (b"{\"a\": " + b"[" * 100000 + b"]" * 100000 + b"}", b"", None, "nested too deeply"),
    ({"a": dict(F32x2, data_offsets=[0])}, bytes(8), None, "tensor a: data_offsets must be"),
    ({"a": dict(F32x2, data_offsets=[0, 16], shape=[4])}, bytes(8), None, "tensor a: .*outside"),
    ({"a": dict(F32x2, shape=[3])}, bytes(8), None, "tensor a: .*needs 12"),
    ({"a": F32x2, "b": dict(F32x2, data_offsets=[4, 12])}, bytes(12), None, "tensor b: .*overlap"),
    ({"a": F32x2, "__metadata__": {"k": 1}}, bytes(8), None, "__metadata__"),
])
def test_corrupt(tmp_path, header, data, n, match):
    path = raw_file(tmp_path / "bad.safetensors", header, data, n)
    if header == b"":
        path.write_bytes(data)
    with pytest.raises(CheckpointError, match=f"^{re.escape(str(path))}: .*{match}"):
        SafetensorsFile(path)


def test_zero_size_tensors_do_not_overlap(tmp_path):
    header = {"a": F32x2, "z": {"dtype": "F16", "shape": [0, 3], "data_offsets": [4, 4]}}
    with SafetensorsFile(raw_file(tmp_path / "z.safetensors", header, bytes(8))) as f:
        assert f.tensor("z").shape == (0, 3)


def test_close_with_a_live_view(tmp_path):
    path = tmp_path / "v.safetensors"
    write_safetensors(path, {"w": torch.arange(8.0)})
    f = SafetensorsFile(path)
    view = f.tensor("w")[2:]
    with pytest.raises(RuntimeError, match="still referenced"):
        f.close()
    assert view.sum() == 27  # the mapping outlives the failed close
    f.close()


def rss():
    with open("/proc/self/smaps_rollup") as f:
        return int(re.search(r"^Rss:\s+(\d+) kB", f.read(), re.M).group(1)) * 1024


def test_release_lowers_rss(tmp_path):
    size = 64 << 20
    path = tmp_path / "big.safetensors"
    write_safetensors(path, {"small": torch.ones(3), "big": torch.ones(size // 4)})
    with SafetensorsFile(path) as f:
        t = f.tensor("big")
        before = rss()
        assert t.sum() == size // 4  # every page touched
        touched = rss()
        f.release("big")
        released = rss()
        del t
    assert touched - before > size * 3 // 4
    assert touched - released > size * 3 // 4
