"""Seeded fuzzing of vantrel_llama's reading of GPTQ and AWQ checkpoints with mutated files.

Checkpoint i is one of a few small quantized checkpoints (quantized_files.py's writers applied to a
tiny synthetic model), picked and changed from (seed, i) alone: config.json's quantization_config
(keys removed or set to odd values; method, bits, group size, format or symmetry switched), the
quantized tensors (removed, renamed, reshaped, retyped, random bytes, scales inf or nan, zeros all
one value, g_idx permuted or out of range) and their header entries (dtype, shape, offsets).
Reading config.json, opening the folder with Checkpoint and reading every projection with
read_quantized must either raise CheckpointError naming a file of the checkpoint and the key or
tensor, or succeed: every projection then has codes, scales, zeros and g_idx of the shapes and
ranges the config gives, owns its memory (the checkpoint closes while they live), and an unchanged
checkpoint decodes to the weights its writer quantized.

    PYTHONPATH=build/lib /usr/bin/python3 tests/vantrel_llama/fuzz_quantized.py --files 3000 --seed 1
    PYTHONPATH=build/lib /usr/bin/python3 tests/vantrel_llama/fuzz_quantized.py --seed 1 --index 17 -v
"""
import json
import math
import re
import shutil
import sys
import tempfile
from pathlib import Path

import file_fuzzing
import numpy as np
import torch
from quantized_files import write_awq_checkpoint, write_gptq_checkpoint

from vantrel_llama.checkpoint import Checkpoint, projections
from vantrel_llama.config import read_config
from vantrel_llama.quantized import read_quantized
from vantrel_llama.safetensors import CODES, DTYPES, SafetensorsFile
from vantrel_llama.synthetic import write_synthetic_checkpoint

BASES = [("gptq", dict()),
         ("gptq", dict(bits=8, sym=True, checkpoint_format="gptq_v2", group_size=-1)),
         ("gptq", dict(sym=True, desc_act=True, group_size=40)),
         ("awq", dict(group_size=16))]
KEYS = ["quant_method", "bits", "group_size", "sym", "desc_act", "checkpoint_format", "version",
        "zero_point", "lm_head", "modules_to_not_convert", "static_groups"]
ODD = [-1, 0, 1, 3, 4, 8, 16, 32, 40, 64, 96, 128, 2 ** 31, True, False, None, 1.5, "4", "gptq",
       "awq", "GEMM", "gemv", "gptq_v2", "marlin", [], {}, ["down_proj"], ["lm_head"]]
SUFFIXES = ("qweight", "qzeros", "scales", "g_idx")
_bases = []


def bases():
    """[(config dict, {name: tensor}, {weight name: dequantized weight})], written once."""
    if not _bases:
        with tempfile.TemporaryDirectory() as tmp:
            source = write_synthetic_checkpoint(Path(tmp) / "float", layers=1, hidden=64,
                                                intermediate=96, heads=4, kv_heads=2)
            for i, (method, kwargs) in enumerate(BASES):
                folder = Path(tmp) / str(i)
                writer = write_awq_checkpoint if method == "awq" else write_gptq_checkpoint
                expected = writer(folder, source, **kwargs)
                with SafetensorsFile(folder / "model.safetensors") as f:
                    tensors = {n: f.tensor(n).clone() for n in f.names()}
                _bases.append((json.loads((folder / "config.json").read_text()), tensors,
                               expected))
    return _bases


def pick(rng, seq):
    return seq[int(rng.integers(0, len(seq)))]


def mutate_config(rng, qc):
    """Changes one thing in quantization_config; returns a replacement of it, or qc."""
    m = int(rng.integers(0, 13))
    if m == 0 and qc:
        qc.pop(pick(rng, list(qc)))
    elif m == 1:
        qc[pick(rng, KEYS)] = pick(rng, ODD)
    elif m == 2:
        qc["quant_method"] = "awq" if qc.get("quant_method") == "gptq" else "gptq"
    elif m == 3:
        qc["bits"] = 12 - qc["bits"] if qc.get("bits") in (4, 8) else 4
    elif m == 4:
        qc["group_size"] = pick(rng, [-1, 16, 32, 40, 48, 64, 96, 128, 7])
    elif m == 5:
        key = pick(rng, ["checkpoint_format", "sym", "desc_act"])
        qc[key] = {"checkpoint_format": pick(rng, ["gptq", "gptq_v2"])}.get(key, not qc.get(key))
    elif m == 6:
        return pick(rng, [None, [], "gptq", 4, {}])
    else:
        qc[pick(rng, KEYS)] = pick(rng, ODD)
    return qc


def mutate_tensors(rng, t):
    """Changes one quantized tensor (or its name); returns whether the decoded weights stay the
    writer's."""
    m = int(rng.integers(0, 9))
    kind = {3: "scales", 4: "qzeros", 5: "g_idx"}.get(m)
    names = [n for n in t if n.rsplit(".", 1)[-1] in ((kind,) if kind else SUFFIXES)]
    if not names:  # no g_idx left
        return False
    name = pick(rng, names)
    v = t[name]
    if m == 0:
        del t[name]
        # A g_idx of k // group (group 0 holds `group` features) may go.
        return name.endswith("g_idx") and torch.equal(
            v.long(), torch.arange(len(v)) // int(torch.bincount(v.long())[0]))
    if m == 1:
        stem, suffix = name.rsplit(".", 1)
        new = pick(rng, [f"{stem}.weight", f"{stem}.bias", stem.replace("layers.0", "layers.1")
                         + "." + suffix, f"{stem}.{pick(rng, SUFFIXES)}", name + "_"])
        t[new] = t.pop(name)
    elif m == 2:  # random bytes
        raw = v.reshape(-1).view(torch.uint8)
        for i in rng.integers(0, max(1, raw.numel()), int(rng.integers(1, 6))):
            if raw.numel():
                raw[int(i)] = int(rng.integers(0, 256))
    elif m == 3 and v.dtype == torch.float16 and v.numel():  # scales
        v.view(-1)[int(rng.integers(0, v.numel()))] = pick(
            rng, [math.inf, -math.inf, math.nan, -0.0, 65504.0, 6e-8, 0.0])
    elif m == 4:
        v.fill_(pick(rng, [0x88888888 - 2 ** 32, 0x77777777, -1, 0, 0x10101010]))
    elif m == 5:
        k = int(rng.integers(0, 4))
        if k == 0:
            t[name] = v[torch.from_numpy(rng.permutation(len(v)))]
        elif k == 1:
            v[int(rng.integers(0, len(v)))] = pick(rng, [-1, 2, 3, 2 ** 31 - 1, -2 ** 31])
        elif k == 2:
            t[name] = v.long()
            return True
        else:
            t[name] = torch.arange(len(v), dtype=torch.int32) // pick(rng, [8, 16, 32, 64])
    elif m == 6:  # another dtype: the same bytes reinterpreted or the values converted
        other = pick(rng, [torch.int32, torch.int64, torch.float16, torch.float32, torch.int16,
                           torch.uint8])
        if v.numel() * v.element_size() % torch.empty((), dtype=other).element_size() == 0 \
                and rng.random() < 0.5:
            t[name] = v.reshape(-1).view(other)
        else:
            t[name] = v.to(other)
    elif m == 7:  # another shape of the same elements
        shapes = [(v.numel(),), tuple(reversed(v.shape)), (1, v.numel())]
        if v.dim() == 2 and v.shape[0] % 2 == 0:
            shapes.append((v.shape[0] // 2, v.shape[1] * 2))
        t[name] = v.reshape(pick(rng, shapes))
    else:
        stem = name.rsplit(".", 1)[0]
        t[pick(rng, [f"{stem}.bias", f"{stem}.weight", f"{stem}.g_idx"])] = pick(
            rng, [torch.zeros(64, dtype=torch.float16), torch.zeros(64, dtype=torch.int32)])
    return False


def serialize(rng, tensors, mutate_header):
    """The safetensors bytes of `tensors`, the header first changed when mutate_header."""
    header, data = {}, bytearray()
    for name, v in tensors.items():
        raw = v.contiguous().reshape(-1).view(torch.uint8).numpy().tobytes() if v.numel() else b""
        header[name] = {"dtype": CODES[v.dtype], "shape": list(v.shape),
                        "data_offsets": [len(data), len(data) + len(raw)]}
        data += raw
    if mutate_header:
        e = header[pick(rng, [n for n in header if n.rsplit(".", 1)[-1] in SUFFIXES])]
        m = int(rng.integers(0, 3))
        if m == 0:
            e["dtype"] = pick(rng, list(DTYPES))
        elif m == 1:
            e["shape"] = pick(rng, [[], [0], [0, 64], [64, 0], e["shape"][::-1],
                                    e["shape"] + [1], [2 ** 40, 0]])
        else:
            e["data_offsets"] = [o + int(rng.integers(-4, 5)) for o in e["data_offsets"]]
    raw = json.dumps(header).encode()
    raw += b" " * (-len(raw) % 8)
    return len(raw).to_bytes(8, "little") + raw + bytes(data)


def make_checkpoint(seed, index):
    """(config.json bytes, model.safetensors bytes, what was done, the expected weights when the
    decoded ones must equal them, else None)."""
    rng = np.random.default_rng([seed, index])
    base = int(rng.integers(0, len(bases())))
    config, tensors, expected = bases()[base]
    config = json.loads(json.dumps(config))
    tensors = {n: v.clone() for n, v in tensors.items()}
    done, exact = [f"base {base}"], True
    for _ in range(int(rng.integers(1, 3)) if rng.random() < 0.85 else 0):
        if rng.random() < 0.35:
            done.append("config")
            qc = config.get("quantization_config")
            qc = mutate_config(rng, qc) if isinstance(qc, dict) else {"quant_method": "gptq"}
            config["quantization_config"] = qc
            if qc is None:
                del config["quantization_config"]
            exact = False
        else:
            done.append("tensor")
            exact = mutate_tensors(rng, tensors) and exact
    header = rng.random() < 0.1
    if header:
        done.append("header")
    blob = serialize(rng, tensors, header)
    return (json.dumps(config).encode(), blob, "+".join(done),
            expected if exact and not header else None)


def make_file(seed, index):
    config, blob, kind, _ = make_checkpoint(seed, index)
    return config + b"\n" + blob, kind


def check_load(path, expected):
    """Read the checkpoint in `path`; problem text, or None when what it read is consistent."""
    cfg = read_config(path / "config.json")
    qc = cfg.quantization
    with Checkpoint(path, cfg) as ckpt:
        if qc is None:
            return None
        got = {p: read_quantized(ckpt, p, qc) for p in projections(cfg)}
    # The checkpoint is closed: the tensors read own their memory, or close would have raised.
    for prefix, q in got.items():
        n, k = projections(cfg)[prefix][:2]
        groups, group = qc.groups(k), qc.group(k)
        if q.codes.dtype != torch.uint8 or q.codes.shape != (n, k) or q.group_size != group:
            return f"{prefix}: codes {q.codes.dtype} {list(q.codes.shape)} group {q.group_size}"
        if int(q.codes.max()) >= 2 ** qc.bits:
            return f"{prefix}: a code of {int(q.codes.max())}"
        for what, v, dtype in (("scales", q.scales, torch.float16),
                               ("zeros", q.zeros, torch.int16)):
            if v.dtype != dtype or v.shape != (n, groups):
                return f"{prefix}: {what} {v.dtype} {list(v.shape)}"
        if not bool(torch.isfinite(q.scales).all()):
            return f"{prefix}: scales not finite"
        if not 0 <= int(q.zeros.min()) <= int(q.zeros.max()) <= 2 ** qc.bits:
            return f"{prefix}: zeros in [{int(q.zeros.min())}, {int(q.zeros.max())}]"
        if q.g_idx.dtype != torch.int64 or q.g_idx.shape != (k,) or not torch.equal(
                torch.bincount(q.g_idx, minlength=groups),
                torch.bincount(torch.arange(k) // group, minlength=groups)):
            return f"{prefix}: g_idx {q.g_idx.dtype} {list(q.g_idx.shape)} not {groups} groups"
        if expected is not None and not torch.equal(q.dequantize(), expected[prefix + ".weight"]):
            return f"{prefix}: the weights differ from those written"
    return None


def unclear(path, error):
    """None when the message names a file of the checkpoint (or the folder) and the key or
    tensor, else the problem."""
    problems = [file_fuzzing.unclear(p, error)
                for p in (path, path / "config.json", path / "model.safetensors")]
    if all(problems):
        return problems[0]
    if "tensor" not in str(error) and "quantization_config" not in str(error):
        return f"names no tensor or key: {str(error)[:200]!r}"
    return None


def run_file(seed, index, path):
    """(outcome label, problem or None, kind) of checkpoint `index`, written into the folder
    `path`."""
    config, blob, kind, expected = make_checkpoint(seed, index)
    shutil.rmtree(path, ignore_errors=True)
    path.mkdir()
    (path / "config.json").write_bytes(config)
    (path / "model.safetensors").write_bytes(blob)

    def refused(e):
        why = re.sub(r"tensor \S+", "tensor ..", re.sub(r"^\S+: ", "", str(e)))
        return "CheckpointError: " + re.sub(r"\(.*|'.*|\[.*|\d+", "..", why)[:60]
    return (*file_fuzzing.outcome(lambda: check_load(path, expected), path,
                                  f"loaded ({'exact' if expected else 'changed'})", refused,
                                  unclear), kind)


run, main = file_fuzzing.commands(__doc__, make_file, run_file, "checkpoint", 3000)

if __name__ == "__main__":
    sys.exit(main())
