"""A LLaMA-family decoder on the XPU device: the weights as vantrel's kernels want them, a key/value
cache preallocated per request, one step function for every position, logits and generation.

Every projection goes through `vantrel.forward`, which runs its kernels for half inputs of at most 8
rows with 4096, 5120 or 8192 (weights pre-arranged in blocks of 16 outputs) or 11008, 13824, 14336
or 28672 (row-major) input features, and PyTorch's linear otherwise; attention for one new position
goes through `vantrel.sdp_forward` when the heads are 128 wide (query heads sharing key/value heads
included), and through PyTorch otherwise. RMSNorm, rotary embeddings, the gated MLP and the
residual stream are PyTorch operations on the device, in float32 (this torch has no half kernels
for several of them).
"""
import math
import operator
import time
from dataclasses import dataclass
from typing import Callable, List, Optional, Sequence, Tuple, Union

import torch
import torch.nn.functional as F
import vantrel
import xpuemu

from .config import LlamaConfig
from .errors import CheckpointError
from .sampling import check_args, make_generator, sample
from .tokenizer import Tokenizer

# Input widths with a kernel, and the weight layout each wants: `forward` reads weights of the
# arranged widths in blocks of 16 output features on every path, the others row-major.
ARRANGED_WIDTHS = (4096, 5120, 8192)
ROW_MAJOR_KERNEL_WIDTHS = (11008, 13824, 14336, 28672)
KERNEL_NAMES = {**{k: f"gemmCommonDim{k}Fp16V0" for k in ARRANGED_WIDTHS},
                **{k: f"gemmCommonDim{k}Fp16NoReshape" for k in ROW_MAJOR_KERNEL_WIDTHS}}
MAX_KERNEL_ROWS = 8  # forward's kernels take at most 8 input rows
KERNEL_HEAD_DIM = 128
MAX_KERNEL_HEAD_GROUP = 32  # sdp_forward serves up to 32 query heads per key/value head


def kernel_kind(kernel: str) -> str:
    """The operation kind a launch-log kernel name belongs to: "projections", "attention" or
    "the rest"."""
    return ("projections" if kernel.startswith("gemm") else
            "attention" if kernel.startswith("sdp") else "the rest")


def arrange(w: torch.Tensor) -> torch.Tensor:
    """Row-major [N, K] weights (N a multiple of 16) as the [N/16, K, 16] blocks that `forward`
    reads for the arranged widths: output n, input k at ((n // 16) * K + k) * 16 + n % 16."""
    n, k = w.shape
    return w.reshape(n // 16, 16, k).transpose(1, 2)


@dataclass
class Projection:
    """One linear layer's weights on the device in the layout `vantrel.forward` reads for their
    width, with output rows padded to a multiple of 16 (sliced off the result)."""
    weight: torch.Tensor  # [N_padded, K] row-major, or [N_padded/16, K, 16] for ARRANGED_WIDTHS
    out_features: int  # N before padding
    in_features: int

    def __call__(self, x: torch.Tensor) -> torch.Tensor:
        y = vantrel.forward(x, self.weight)
        return y if y.shape[1] == self.out_features else y[:, :self.out_features]

    def path(self, rows: int) -> str:
        """The kernel that serves `rows` input rows, or "PyTorch linear"."""
        name = KERNEL_NAMES.get(self.in_features)
        return name if name and 1 <= rows <= MAX_KERNEL_ROWS else "PyTorch linear"


@dataclass
class Layer:
    attn_norm: torch.Tensor  # [hidden] float32
    qkv: Projection  # q, k and v fused: [(H + 2 H_kv) * head_dim, hidden]
    o: Projection
    mlp_norm: torch.Tensor
    gate_up: Projection  # gate and up fused: [2 * intermediate, hidden]
    down: Projection


class Model:
    """A loaded checkpoint, ready to decode on its device. Build it with `vantrel_llama.load`."""

    def __init__(self, config: LlamaConfig, embed: torch.Tensor, layers: List[Layer],
                 norm: torch.Tensor, lm_head: Projection, tokenizer: Optional[Tokenizer],
                 device: torch.device, source: str = ""):
        self.config = config
        self.tokenizer = tokenizer
        self.device = device
        self.source = source  # where the weights came from, for messages
        self.embed = embed  # [vocab, hidden] half, row-major
        self.layers = layers
        self.norm = norm
        self.lm_head = lm_head
        self.load_stats = {}  # filled by load(): seconds, bytes, peak resident-set increase

        hd = config.head_dim
        self._heads, self._kv_heads = config.num_attention_heads, config.num_key_value_heads
        self._kernel_attention = (hd == KERNEL_HEAD_DIM
                                  and self._heads // self._kv_heads <= MAX_KERNEL_HEAD_GROUP)
        # Rotary tables for every position: dimension i turns with i + hd/2 by pos * theta^(-2i/hd).
        # x * cos + roll(x, hd/2) * sin_signed equals x * cos + rotate_half(x) * sin.
        inv_freq = config.rope_theta ** (-torch.arange(0, hd, 2, dtype=torch.float64) / hd)
        angles = torch.arange(config.max_position_embeddings, dtype=torch.float64)[:, None] * inv_freq
        self._cos = torch.cat([angles.cos()] * 2, 1).float().to(device)
        self._sin = torch.cat([-angles.sin(), angles.sin()], 1).float().to(device)
        self._profile = None  # {kind: host-op seconds} while profile_host_ops() is running
        # Steps run again with attention through PyTorch because the kernel's output overflowed.
        self.attention_overflows = 0

    # ---- what runs where -----------------------------------------------------------------------

    def paths(self, rows: int = 1) -> dict:
        """Which kernel (or PyTorch) serves each operation of a decoding step of `rows` rows."""
        layer = self.layers[0]  # every layer has the same widths
        out = {"q/k/v projection": layer.qkv.path(rows), "o projection": layer.o.path(rows),
               "gate/up projection": layer.gate_up.path(rows),
               "down projection": layer.down.path(rows),
               "output projection": self.lm_head.path(rows)}
        shared = f"{self._heads} query heads sharing {self._kv_heads} key/value heads"
        if self._kernel_attention:
            out["attention"] = "vantrel.sdp_forward" + (
                f" ({shared})" if self._heads != self._kv_heads else "")
        else:
            why = (f"head dimension {self.config.head_dim}" if self.config.head_dim != KERNEL_HEAD_DIM
                   else shared)
            out["attention"] = f"PyTorch ({why})"
        return out

    # ---- the step --------------------------------------------------------------------------------

    def new_cache(self, batch: int, length: int) -> List[Tuple[torch.Tensor, torch.Tensor]]:
        """Keys and values of every layer for `length` positions, in half on the device."""
        shape = (batch, self._kv_heads, length, self.config.head_dim)
        return [(torch.empty(shape, dtype=torch.half, device=self.device),
                 torch.empty(shape, dtype=torch.half, device=self.device))
                for _ in self.layers]

    def _rms_norm(self, h: torch.Tensor, weight: torch.Tensor) -> torch.Tensor:
        r = torch.rsqrt(h.pow(2).mean(-1, keepdim=True).add_(self.config.rms_norm_eps))
        return (h * r).mul_(weight).half()

    def _attention(self, q, k_all, v_all, start, kernel):
        """Attention of the queries q [B, H, C, hd] (float32, positions start .. start + C - 1)
        over the cached positions 0 .. start + C - 1 of k_all, v_all [B, H_kv, L, hd]; one
        position goes through the kernel when `kernel` allows."""
        b, h, c, hd = q.shape
        n = start + c
        if c == 1 and kernel and self._kernel_attention:
            out = vantrel.sdp_forward(q.half().contiguous(), k_all[:, :, :n], v_all[:, :, :n])
            return out.view(b, 1, h * hd)
        g = h // self._kv_heads
        qg = q.reshape(b, self._kv_heads, g * c, hd)
        scores = qg @ k_all[:, :, :n].float().transpose(2, 3) / math.sqrt(hd)
        if c > 1:  # causal: query i (at position start + i) sees positions up to start + i
            seen = torch.arange(n)[None, :] <= torch.arange(start, n)[:, None]
            mask = torch.zeros(c, n).masked_fill_(~seen, float("-inf")).to(q.device)
            scores = (scores.view(b, self._kv_heads, g, c, n) + mask).view(b, self._kv_heads, g * c, n)
        out = torch.softmax(scores, dim=-1) @ v_all[:, :, :n].float()  # [B, H_kv, g * C, hd]
        return out.view(b, h, c, hd).transpose(1, 2).reshape(b, c, h * hd).half()

    def forward(self, tokens: torch.Tensor, start: int, cache, last_only: bool = False,
                kernel_attention: bool = True):
        """Runs C new positions of B sequences through the model: tokens [B, C] on the device, at
        positions start .. start + C - 1, their keys and values written into `cache` (which holds
        the earlier positions). Returns half logits [B, C, vocab] on the device, or [B, 1, vocab]
        for the last position only. C = 1 is the decoding step; its attention runs on the kernel
        unless kernel_attention is False."""
        cfg = self.config
        b, c = tokens.shape
        hd, nh, nkv = cfg.head_dim, self._heads, self._kv_heads
        end = start + c
        cos, sin = self._cos[start:end, None, :], self._sin[start:end, None, :]  # [C, 1, hd]
        op = self._op

        h = F.embedding(tokens.reshape(-1), self.embed).float()  # [B * C, hidden], the residual
        for layer, (k_cache, v_cache) in zip(self.layers, cache):
            x = self._rms_norm(h, layer.attn_norm)
            qkv = op("projections", layer.qkv, x)
            # Rotary embedding of q and k together, in float32.
            qk = qkv[:, :(nh + nkv) * hd].float().view(b, c, nh + nkv, hd)
            qk = torch.addcmul(qk * cos, qk.roll(hd // 2, -1), sin)
            k_cache[:, :, start:end].copy_(qk[:, :, nh:].transpose(1, 2))
            v_cache[:, :, start:end].copy_(
                qkv[:, (nh + nkv) * hd:].view(b, c, nkv, hd).transpose(1, 2))
            q = qk[:, :, :nh].transpose(1, 2)  # [B, H, C, hd]
            att = op("attention", self._attention, q, k_cache, v_cache, start, kernel_attention)
            h.add_(op("projections", layer.o, att.reshape(b * c, nh * hd)))
            x = self._rms_norm(h, layer.mlp_norm)
            gu = op("projections", layer.gate_up, x).float()
            a = F.silu(gu[:, :cfg.intermediate_size]).mul_(gu[:, cfg.intermediate_size:]).half()
            h.add_(op("projections", layer.down, a))
        if last_only:
            h = h.view(b, c, -1)[:, -1].contiguous()
            c = 1
        return op("projections", self.lm_head, self._rms_norm(h, self.norm)).view(b, c, -1)

    # ---- host-op accounting (the emulated device runs PyTorch ops on the host) ----------------------

    def _op(self, kind: str, fn, *args):
        """fn(*args); while profiling, its host-op time is charged to `kind`."""
        if self._profile is None:
            return fn(*args)
        before = xpuemu.host_op_time()[1]
        out = fn(*args)
        self._profile[kind] = self._profile.get(kind, 0.0) + xpuemu.host_op_time()[1] - before
        return out

    def profile_host_ops(self, on: bool):
        """Starts (on) or stops and returns {kind: seconds} of host ops inside projections and
        attention; the emulated device runs PyTorch ops on the calling thread."""
        if on:
            self._profile = {}
            return None
        out, self._profile = self._profile, None
        return out

    # ---- requests --------------------------------------------------------------------------------

    def _check_ids(self, ids, new_tokens: int) -> torch.Tensor:
        if not isinstance(ids, torch.Tensor) or ids.dtype != torch.long or ids.dim() != 2:
            got = (f"{ids.dtype} tensor of shape {list(ids.shape)}" if isinstance(ids, torch.Tensor)
                   else type(ids).__name__)
            raise ValueError(f"ids must be a LongTensor [B, T] of token ids, got {got}")
        if ids.shape[0] < 1 or ids.shape[1] < 1:
            raise ValueError(f"ids must hold at least one row of at least one token, got shape "
                             f"{list(ids.shape)}")
        ids = ids.cpu()
        vocab = self.config.vocab_size
        bad = (ids < 0) | (ids >= vocab)
        if ids.numel() and bool(bad.any()):
            i = int(bad.flatten().nonzero()[0])
            raise ValueError(f"ids holds token id {int(ids.flatten()[i])} at "
                             f"{list(divmod(i, ids.shape[1]))}, outside the vocabulary "
                             f"[0, {vocab}) of {self.source or 'the model'}")
        try:
            self.config.check_sequence(ids.shape[1] + new_tokens)
        except CheckpointError as e:
            raise ValueError(f"prompt of {ids.shape[1]} tokens + {new_tokens} new tokens: {e}") from e
        return ids

    def _check_eos(self, eos_token_id) -> Tuple[int, ...]:
        """The end-of-sequence ids generate stops at: eos_token_id (an id or a sequence of ids),
        or the config's when None."""
        if eos_token_id is None:
            eos = self.config.eos_token_id
            return () if eos is None else (eos,) if isinstance(eos, int) else tuple(eos)
        single = not isinstance(eos_token_id, (list, tuple))
        vocab = self.config.vocab_size
        values = []
        for v in [eos_token_id] if single else eos_token_id:
            try:
                if isinstance(v, bool):
                    raise TypeError
                v = operator.index(v)  # int, numpy integer, integer 0-d tensor
            except TypeError:
                v = None
            if v is None or not 0 <= v < vocab:
                raise ValueError(f"eos_token_id must be a token id in [0, {vocab}) or a list of "
                                 f"them, got {eos_token_id!r}")
            values.append(v)
        return tuple(values)

    @torch.no_grad()
    def logits(self, ids: torch.Tensor) -> torch.Tensor:
        """Logits [B, T, vocab] (float32, on the CPU) of every position of ids [B, T], fed one
        position at a time through the decoding step."""
        ids = self._check_ids(ids, 0)
        out = []
        for rows in ids.split(MAX_KERNEL_ROWS):
            b, t = rows.shape
            cache = self.new_cache(b, t)
            dev = rows.to(self.device)
            out.append(torch.stack([self.step(dev[:, i:i + 1], i, cache) for i in range(t)], 1))
        return torch.cat(out)

    def step(self, tokens: torch.Tensor, start: int, cache) -> torch.Tensor:
        """The decoding step for tokens [B, 1] at position `start`; returns float32 logits [B, vocab]
        on the CPU. The attention kernel subtracts no maximum before its exponentials, so raw
        scores beyond about +-1000 make its output infinite or NaN: a step whose logits are not
        finite runs again with attention through PyTorch (the cache rows it wrote are rewritten),
        before any later position attends over them."""
        logits = self.forward(tokens, start, cache)[:, 0].float().cpu()
        if self._kernel_attention and not bool(torch.isfinite(logits).all()):
            self.attention_overflows += 1
            logits = self.forward(tokens, start, cache, kernel_attention=False)[:, 0].float().cpu()
        return logits

    def prefill(self, tokens: torch.Tensor, cache, chunk: int) -> torch.Tensor:
        """Runs the prompt tokens [B, T] (on the device) through the model `chunk` positions per
        call; returns the last position's float32 logits [B, vocab] on the CPU."""
        for start in range(0, tokens.shape[1], chunk):
            part = tokens[:, start:start + chunk]
            if part.shape[1] == 1:  # one position: the decoding step, attention on the kernel
                logits = self.step(part, start, cache)
            else:
                logits = self.forward(part, start, cache, last_only=True)[:, 0]
        return logits.float().cpu()

    def prefill_chunk(self, batch: int) -> int:
        """Prompt positions per call: as many as keep every projection on the kernels (at most 8
        rows), measured faster than one position per call and than the whole prompt at once
        (bench/bench_decode.py)."""
        return max(1, MAX_KERNEL_ROWS // batch)

    @torch.no_grad()
    def generate(self, ids: torch.Tensor, max_new_tokens: int, temperature: float = 0.0,
                 top_p: float = 1.0, seed: Optional[int] = None,
                 eos_token_id: Optional[Union[int, Sequence[int]]] = None,
                 callback: Optional[Callable[[int], None]] = None) -> torch.Tensor:
        """Continues every row of ids [B, T] by max_new_tokens tokens: greedy at temperature 0,
        otherwise temperature then nucleus (top_p) sampling drawn from a generator seeded with
        `seed`. A row that produces an end-of-sequence token (eos_token_id, by default the
        config's) stops there and is padded with it. Rows are decoded 8 at a time. `callback`, if
        given, is called with the number of tokens generated so far after each step. Returns
        [B, T + max_new_tokens] token ids on the CPU."""
        if isinstance(max_new_tokens, bool) or not isinstance(max_new_tokens, int) \
                or max_new_tokens < 0:
            raise ValueError(f"max_new_tokens must be an int >= 0, got {max_new_tokens!r}")
        ids = self._check_ids(ids, max_new_tokens)
        check_args(temperature, top_p)  # before any work
        eos = self._check_eos(eos_token_id)
        generator = make_generator(seed)
        out = [self._generate_rows(rows, max_new_tokens, temperature, top_p, generator, eos,
                                   callback)
               for rows in ids.split(MAX_KERNEL_ROWS)]
        return torch.cat(out)

    def _generate_rows(self, ids, new, temperature, top_p, generator, eos, callback):
        b, t = ids.shape
        out = torch.empty(b, t + new, dtype=torch.long)
        out[:, :t] = ids
        if new == 0:
            return out
        cache = self.new_cache(b, t + new)
        logits = self.prefill(ids.to(self.device), cache, self.prefill_chunk(b))
        done = torch.zeros(b, dtype=torch.bool)
        eos_ids = torch.tensor(eos, dtype=torch.long)
        pad = torch.zeros(b, dtype=torch.long)  # the end token each finished row repeats
        for i in range(new):
            token = sample(logits, temperature, top_p, generator)
            if eos:
                token = torch.where(done, pad, token)
                pad = torch.where(done, pad, token)
                done |= (token[:, None] == eos_ids).any(1)
            out[:, t + i] = token
            if callback is not None:
                callback(i + 1)
            if eos and bool(done.all()):
                out[:, t + i + 1:] = pad[:, None]
                break
            if i + 1 < new:
                logits = self.step(token[:, None].to(self.device), t + i, cache)
        return out
