"""Writers of small GPTQ and AWQ checkpoints for the tests: the projections of a float checkpoint
folder (as vantrel_llama.synthetic writes one) quantized round-to-nearest per group and packed
here with integer shifts, straight from the layout of the file formats (not with the reader's
code). Each returns {projection weight name: its dequantized float32 weight [N, K]}."""
import json
import shutil
from pathlib import Path

import torch

from vantrel_llama.safetensors import SafetensorsFile, write_safetensors

PROJECTIONS = ("self_attn.q_proj", "self_attn.k_proj", "self_attn.v_proj", "self_attn.o_proj",
               "mlp.gate_proj", "mlp.up_proj", "mlp.down_proj")
# Projections reading the same input share one act-order permutation in real files.
SHARED = {"self_attn.k_proj": "self_attn.q_proj", "self_attn.v_proj": "self_attn.q_proj",
          "mlp.up_proj": "mlp.gate_proj"}
AWQ_ORDER = (0, 2, 4, 6, 1, 3, 5, 7)
COPIED = ("tokenizer.model", "tokenizer.json", "tokenizer_config.json", "generation_config.json")


def pack(values, bits, dim):
    """Non-negative ints < 2^bits, 32/bits of them per int32 along `dim`, value j of a word at
    bits j·bits."""
    per = 32 // bits
    v = values.long().movedim(dim, -1)
    v = v.reshape(*v.shape[:-1], v.shape[-1] // per, per)
    word = sum(v[..., j] << (bits * j) for j in range(per))
    word = torch.where(word >= 2 ** 31, word - 2 ** 32, word)  # the same 32 bits, signed
    return word.to(torch.int32).movedim(-1, dim).contiguous()


def quantize(w, members, bits, sym, zero_range):
    """Round-to-nearest of w [N, K] with one scale and zero per group, members[g] the input
    features of group g: (codes int [N, K], scales float16 [N, G], true zeros int [N, G])."""
    n, k = w.shape
    top = 2 ** bits - 1
    codes = torch.zeros(n, k, dtype=torch.long)
    scales = torch.zeros(n, len(members), dtype=torch.float16)
    zeros = torch.zeros(n, len(members), dtype=torch.long)
    for g, idx in enumerate(members):
        part = w[:, idx].float()
        if sym:
            s = part.abs().amax(1) / (2 ** (bits - 1) - 1)
            z = torch.full((n,), 2 ** (bits - 1))
        else:
            lo, hi = part.amin(1).clamp(max=0), part.amax(1).clamp(min=0)
            s = (hi - lo) / top
            z = (-lo / s.clamp(min=1e-4)).round().long().clamp(*zero_range)
        s = s.clamp(min=1e-4).half()
        codes[:, idx] = ((part / s.float()[:, None]).round().long() + z[:, None]).clamp(0, top)
        scales[:, g], zeros[:, g] = s, z
    return codes, scales, zeros


def dequantized(codes, scales, zeros, g_idx):
    return scales.float()[:, g_idx] * (codes - zeros[:, g_idx]).float()


def _copy(source_dir, directory, quantization, tensors):
    directory = Path(directory)
    directory.mkdir(parents=True, exist_ok=True)
    config = json.loads((Path(source_dir) / "config.json").read_text())
    config["quantization_config"] = quantization
    (directory / "config.json").write_text(json.dumps(config, indent=2))
    for name in COPIED:
        if (Path(source_dir) / name).is_file():
            shutil.copyfile(Path(source_dir) / name, directory / name)
    write_safetensors(directory / "model.safetensors", tensors, metadata={"format": "pt"})


def _float_weights(source_dir):
    with SafetensorsFile(Path(source_dir) / "model.safetensors") as f:
        return {name: f.tensor(name).clone() for name in f.names()}


def _projection(name):
    for p in PROJECTIONS:
        if name.endswith(f".{p}.weight"):
            return p
    return None


def write_gptq_checkpoint(directory, source_dir, bits=4, group_size=32, sym=False,
                          checkpoint_format="gptq", desc_act=False, seed=0,
                          distinct_g_idx=False) -> dict:
    """A GPTQ checkpoint of the float checkpoint in source_dir. With desc_act a seeded random
    permutation perm of the input features defines the groups: g_idx[perm[i]] = i // group."""
    offset = 1 if checkpoint_format == "gptq" else 0
    gen = torch.Generator().manual_seed(seed)
    out, expected, perms = {}, {}, {}
    for name, w in _float_weights(source_dir).items():
        proj = _projection(name)
        if proj is None:
            out[name] = w
            continue
        n, k = w.shape
        group = k if group_size == -1 else group_size
        key = (name.split(".")[2], proj if distinct_g_idx else SHARED.get(proj, proj))
        if key not in perms:
            perms[key] = torch.randperm(k, generator=gen) if desc_act else torch.arange(k)
        perm = perms[key]
        g_idx = torch.empty(k, dtype=torch.long)
        g_idx[perm] = torch.arange(k) // group
        members = [perm[i:i + group] for i in range(0, k, group)]
        # "gptq" stores zero - 1 in b bits: true zeros 1 .. 2^b
        codes, scales, zeros = quantize(w, members, bits, sym, (offset, 2 ** bits - 1 + offset))
        stem = name[:-len(".weight")]
        out[stem + ".qweight"] = pack(codes.t(), bits, 0)
        out[stem + ".qzeros"] = pack((zeros - offset).t(), bits, 1)
        out[stem + ".scales"] = scales.t().contiguous()
        out[stem + ".g_idx"] = g_idx.to(torch.int32)
        expected[name] = dequantized(codes, scales, zeros, g_idx)
    _copy(source_dir, directory, {
        "quant_method": "gptq", "bits": bits, "group_size": group_size, "desc_act": desc_act,
        "sym": sym, "checkpoint_format": checkpoint_format, "static_groups": False,
        "true_sequential": True, "damp_percent": 0.01}, out)
    return expected


def write_awq_checkpoint(directory, source_dir, group_size=32, seed=0) -> dict:
    """An AWQ ("gemm") checkpoint of the float checkpoint in source_dir (the seed is unused:
    AWQ files have no act-order)."""
    out, expected = {}, {}
    order = list(AWQ_ORDER)
    for name, w in _float_weights(source_dir).items():
        if _projection(name) is None:
            out[name] = w
            continue
        n, k = w.shape
        members = [torch.arange(i, i + group_size) for i in range(0, k, group_size)]
        codes, scales, zeros = quantize(w, members, 4, False, (0, 15))
        stem = name[:-len(".weight")]
        for suffix, values in (("qweight", codes.t()), ("qzeros", zeros.t())):
            # nibble i of the word for columns 8c..8c+7 holds column 8c + order[i]
            interleaved = values.reshape(values.shape[0], -1, 8)[..., order].reshape(values.shape)
            out[f"{stem}.{suffix}"] = pack(interleaved, 4, 1)
        out[stem + ".scales"] = scales.t().contiguous()
        expected[name] = dequantized(codes, scales, zeros, torch.arange(k) // group_size)
    _copy(source_dir, directory, {"quant_method": "awq", "bits": 4, "group_size": group_size,
                                  "zero_point": True, "version": "gemm"}, out)
    return expected
