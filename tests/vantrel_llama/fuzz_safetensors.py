"""Seeded fuzzing of vantrel_llama's safetensors reader with mutated files.

File i is a valid file of a few tensors, built from (seed, i) alone, then changed: header fields
(dtype, shape, data_offsets, names, metadata), the header length, flipped bytes, truncation,
appended bytes, unusual JSON. Opening it must either raise CheckpointError naming the file, or
load: every tensor then has the dtype and shape its header entry gives and exactly the bytes its
data_offsets select, all inside the file, no two sharing a byte, and the file closes cleanly.

    PYTHONPATH=build/lib /usr/bin/python3 tests/vantrel_llama/fuzz_safetensors.py --files 10000 --seed 1
    PYTHONPATH=build/lib /usr/bin/python3 tests/vantrel_llama/fuzz_safetensors.py --seed 1 --index 17 -v
"""
import json
import math
import re
import sys

import file_fuzzing
import numpy as np
import torch

from vantrel_llama.safetensors import DTYPES, SafetensorsFile

CODES = list(DTYPES)
ODD_VALUES = [-1, 0, 1, 1.5, True, None, "2", [2], {}, 2 ** 31, 2 ** 40, 2 ** 62, 2 ** 63,
              2 ** 64, -2 ** 63, 10 ** 30]


def base_file(rng):
    """(header dict, data bytes) of a valid file of 1 to 4 tensors, sometimes with metadata,
    sometimes with data not aligned to the element size."""
    header, data = {}, b""
    if rng.random() < 0.3:
        header["__metadata__"] = {"format": "pt", "n": str(rng.integers(0, 9))}
    for t in range(int(rng.integers(1, 5))):
        code = CODES[rng.integers(0, len(CODES))]
        shape = [int(d) for d in rng.integers(0, 5, rng.integers(0, 4))]
        nbytes = math.prod(shape) * torch.empty((), dtype=DTYPES[code]).element_size()
        gap = int(rng.integers(0, 3)) if rng.random() < 0.2 else 0
        data += bytes(rng.integers(0, 256, gap, dtype=np.uint8))
        header[f"t{t}"] = {"dtype": code, "shape": shape,
                           "data_offsets": [len(data), len(data) + nbytes]}
        data += bytes(rng.integers(0, 256, nbytes, dtype=np.uint8))
    return header, data


def mutate_header(rng, header):
    """Changes one thing in the header object; may return a replacement (bytes or object)."""
    names = [n for n in header if n != "__metadata__" and isinstance(header[n], dict)]
    if not names:
        return None
    name = names[rng.integers(0, len(names))]
    e = header[name]
    m = int(rng.integers(0, 16))
    odd = ODD_VALUES[rng.integers(0, len(ODD_VALUES))]
    if m == 0:
        e["dtype"] = [CODES[rng.integers(0, len(CODES))], "F8", "f16", "", 5, None][
            rng.integers(0, 6)]
    elif m == 1 and isinstance(e.get("shape"), list) and e["shape"]:
        e["shape"][rng.integers(0, len(e["shape"]))] = odd
    elif m == 2:
        e["shape"] = [[0, 2 ** 63], [0, 2 ** 62, 2 ** 62], [0] + [2 ** 40] * 3, [1] * 70,
                      [1], [2, 0], [], "[2]", None][rng.integers(0, 9)]
    elif m == 3 and isinstance(e.get("data_offsets"), list) and len(e["data_offsets"]) == 2 \
            and all(isinstance(o, int) for o in e["data_offsets"]):
        i = int(rng.integers(0, 2))
        e["data_offsets"][i] += int(rng.integers(-9, 10))
    elif m == 4 and isinstance(e.get("data_offsets"), list) and len(e["data_offsets"]) == 2:
        e["data_offsets"] = [e["data_offsets"][::-1], e["data_offsets"] + [0],
                             e["data_offsets"][:1], [odd, e["data_offsets"][1]],
                             [e["data_offsets"][0], odd], "0,8"][rng.integers(0, 6)]
    elif m == 5:
        e.pop(["dtype", "shape", "data_offsets"][rng.integers(0, 3)], None)
    elif m == 6:
        e["extra"] = odd
    elif m == 7:  # a second name for the same bytes
        header[name + "_again"] = json.loads(json.dumps(e))
    elif m == 8:
        header["__metadata__"] = [{"k": odd}, odd, {"k": "v"}][rng.integers(0, 3)]
    elif m == 9:
        header[name] = odd
    elif m == 10:
        header["__metadata__"] = e
        del header[name]
    elif m == 11:
        return [b"[]", b"null", b"{}", b"\xef\xbb\xbf{}", b"\xff\xfe{}", b"{\"a\": NaN}",
                b"{\"a\": " + b"[" * 100000 + b"]" * 100000 + b"}",
                b"{\"a\": {\"dtype\": \"F32\", \"dtype\": \"F16\"}}",
                b"{\"a\": 1" + b"0" * 5000 + b"}"][rng.integers(0, 9)]
    elif m == 12:  # every entry moved by the same amount
        k = int(rng.integers(-4, 5))
        for n in names:
            offsets = header[n].get("data_offsets")
            if isinstance(offsets, list) and all(isinstance(o, int) for o in offsets):
                header[n]["data_offsets"] = [o + k for o in offsets]
    elif m == 13:  # a zero-size tensor at an arbitrary offset
        header["z"] = {"dtype": "F16", "shape": [0, int(rng.integers(0, 5))],
                       "data_offsets": [int(rng.integers(0, 20))] * 2}
    elif m == 14:
        header[name.upper() + "\u00e9\u2028"] = header.pop(name)
    else:
        e["shape"] = [int(rng.integers(0, 3)) for _ in range(rng.integers(0, 3))]
    return None


def make_file(seed, index):
    """The bytes of file `index` and a short description of what was done to it."""
    rng = np.random.default_rng([seed, index])
    header, data = base_file(rng)
    done, raw = [], None
    for _ in range(int(rng.integers(0, 3)) if rng.random() < 0.8 else 0):
        raw = mutate_header(rng, header)  # the header object, or a replacement of its bytes
        done.append("header" if raw is None else "json")
        if raw is not None:
            break
    if raw is None:
        raw = json.dumps(header).encode()
        pad = int(rng.integers(0, 8)) if rng.random() < 0.5 else 0
        raw += b" " * pad
    n = len(raw)
    if rng.random() < 0.15:
        done.append("length")
        n = [max(0, n + int(rng.integers(-8, 9))), 0, 2 ** 63, 2 ** 64 - 1, len(data) + n,
             int(rng.integers(0, 2 ** 20))][rng.integers(0, 6)]
    blob = bytearray(n.to_bytes(8, "little") + raw + data)
    if rng.random() < 0.25:
        done.append("flips")
        for _ in range(int(rng.integers(1, 4))):
            i = int(rng.integers(0, len(blob)))
            blob[i] ^= 1 << int(rng.integers(0, 8))
    if rng.random() < 0.15:
        done.append("truncated")
        blob = blob[:int(rng.integers(0, len(blob) + 1))]
    if rng.random() < 0.1:
        done.append("extended")
        blob += bytes(rng.integers(0, 256, rng.integers(1, 64), dtype=np.uint8))
    return bytes(blob), "+".join(done) or "valid"


def check_load(path, blob):
    """Problem text, or None when the file loaded as its bytes say."""
    f = SafetensorsFile(path)
    n = int.from_bytes(blob[:8], "little")
    header = json.loads(blob[8:8 + n].decode("utf-8"))
    start = 8 + n
    if set(f.names()) != set(header) - {"__metadata__"}:
        return f"names {f.names()} for a header of {list(header)}"
    if f.metadata != header.get("__metadata__", {}):
        return f"metadata {f.metadata!r}"
    spans = []
    for name in f.names():
        e = header[name]
        begin, end = e["data_offsets"]
        if not (0 <= begin <= end and start + end <= len(blob)):
            return f"tensor {name}: data_offsets {e['data_offsets']} outside the file"
        t = f.tensor(name)
        if t.dtype != DTYPES[e["dtype"]] or list(t.shape) != e["shape"]:
            return f"tensor {name}: {t.dtype} {list(t.shape)} for {e}"
        got = t.reshape(-1).view(torch.uint8).numpy().tobytes() if t.numel() else b""
        if got != blob[start + begin:start + end]:
            return f"tensor {name}: bytes differ from [{begin}, {end})"
        if begin < end:
            spans.append((begin, end, name))
        del t
    spans.sort()
    for (b0, e0, n0), (b1, e1, n1) in zip(spans, spans[1:]):
        if b1 < e0:
            return f"tensors {n0} and {n1} share bytes"
    f.close()
    return None


def run_file(seed, index, path):
    """(outcome label, problem or None, kind) of file `index`."""
    blob, kind = make_file(seed, index)
    path.write_bytes(blob)

    def refused(e):
        why = re.sub(r"\(.*|'.*|\[.*|\d+", "..", str(e)[len(str(path)) + 2:])
        return "CheckpointError: " + re.sub(r"tensor .+?: ", "tensor ..: ", why)[:60]
    return (*file_fuzzing.outcome(lambda: check_load(path, blob), path, f"loaded ({kind})",
                                  refused), kind)


run, main = file_fuzzing.commands(__doc__, make_file, run_file, "fuzz.safetensors", 10000)

if __name__ == "__main__":
    sys.exit(main())
