"""A LLaMA-family decoder on the XPU device: the weights as vantrel's kernels want them, a key/value
cache preallocated per request, one step function for every position, logits and generation.

A layer is nine device operations: add + RMSNorm, q/k/v, rotary + cache writes, attention, o,
add + RMSNorm, gate/up, SiLU · up, down, the residual stream float32 on the device. The layers run
as one C++ call per step (vantrel.DecoderLayers, from the `Operators` the model is given,
operators.py); an Operators that declines gets the same operations from Python, one call at a
time through its methods: `linear` / `linear_quantized` for the projections (a kernel for the
row counts and widths vantrel's table lists, PyTorch's linear otherwise), `attention` for one new
position (vantrel.sdp_forward when the table has a kernel for the head size and grouping,
PyTorch otherwise), `add_rms_norm`, `rotary_cache`, `silu_mul`. Sizes the norm, rotary and
gating kernels do not serve take PyTorch operations in float32. Under tensor parallelism the
model holds one rank's shard and sums, or gathers, over the group after o, down and the output
layer.
"""
import copy
import math
import time
from dataclasses import dataclass
from typing import Callable, List, Optional, Sequence, Tuple, Union

import torch
import torch.nn.functional as F
import xpuemu

from . import rotary
from .accounting import HostOpProfile
from .config import LlamaConfig
from .operators import Operators, paths
from .requests import check_eos, check_ids, check_new_tokens
from .sampling import check_args, make_generator, sample
from .tokenizer import Tokenizer


@dataclass
class Projection:
    """One linear layer's weights on the device in the layout the kernel for their width reads
    (Operators.linear_layout), output rows padded to a multiple of Operators.row_multiple (sliced
    off the result): half weights, or packed 4- or 8-bit codes with their scales and zeros."""
    weight: torch.Tensor  # half [N_padded, K] row-major or [N_padded / block, K, block] arranged;
    # packed codes (uint8) in the same layouts when bits < 16
    out_features: int  # N before padding
    in_features: int
    bits: int = 16
    group_size: int = 0  # input features per scale and zero (packed weights)
    scales: Optional[torch.Tensor] = None  # half, per output and group
    zeros: Optional[torch.Tensor] = None  # int16 like scales; None: 2^(bits - 1)
    # The input order the packed groups follow (act-order checkpoints): inputs are gathered by it.
    order: Optional[torch.Tensor] = None  # long [K] on the device

    def nbytes(self) -> int:
        """Bytes the weights take on the device."""
        ts = (self.weight, self.scales, self.zeros)
        return sum(t.numel() * t.element_size() for t in ts if t is not None)


@dataclass
class Layer:
    attn_norm: torch.Tensor  # [hidden] float32
    qkv: Projection  # q, k and v fused: [(H + 2 H_kv) * head_dim, hidden]
    o: Projection
    mlp_norm: torch.Tensor
    gate_up: Projection  # gate and up fused: [2 * intermediate, hidden]
    down: Projection


class Model:
    """A loaded checkpoint, ready to decode on its device through `ops` (vantrel's operators by
    default). Build it with `vantrel_llama.load`."""

    # Set by load(): the checkpoint's tokenizer_config.json (chat.TokenizerConfig) and the ids
    # generate stops at by default (config.json's, generation_config.json's and
    # tokenizer_config.json's end tokens); None: config.json's eos_token_id alone.
    tokenizer_config = None
    # How the layers' projections are stored (set by load): "half", "int4, group 128 ..." .
    quantization = "half"
    end_token_ids: Optional[Tuple[int, ...]] = None

    def __init__(self, config: LlamaConfig, embed: torch.Tensor, layers: List[Layer],
                 norm: torch.Tensor, lm_head: Projection, tokenizer: Optional[Tokenizer],
                 device: torch.device, source: str = "", ops: Optional[Operators] = None,
                 group=None, shard=None):
        self.config = config
        self.tokenizer = tokenizer
        self.device = device
        self.source = source  # where the weights came from, for messages
        self.ops = ops if ops is not None else Operators()
        self.embed = embed  # [vocab, hidden] half, row-major
        self.layers = layers
        self.norm = norm
        self.lm_head = lm_head
        self.load_stats = {}  # filled by load(): seconds, bytes, peak resident-set increase
        # Rows that logits and generate decode together: as many as the projection kernels take.
        self.batch_rows = self.ops.max_rows

        # Tensor parallelism: the group this rank decodes with (parallel.Group) and its shard
        # (sharding.Shard) of heads, key/value heads, MLP width and output rows; None alone.
        self.group, self.shard = group, shard
        self.collective_ops = 0  # PyTorch operations on the device inside collectives
        self.layers_cpu_seconds = 0.0  # of the latest forward: see forward
        self._heads, self._kv_heads = config.num_attention_heads, config.num_key_value_heads
        self._intermediate = config.intermediate_size
        if shard is not None:
            self._heads, self._kv_heads = shard.heads, shard.kv_heads
            self._intermediate = shard.intermediate
        # Rotary tables for every position: dimension i turns with i + hd/2 by pos * inv_freq[i]
        # (theta^(-2i/hd) unless rope_scaling changes it), cos and sin times yarn's factor.
        # x * cos + roll(x, hd/2) * sin_signed equals x * cos + rotate_half(x) * sin.
        inv_freq, scale = rotary.inverse_frequencies(config), rotary.attention_factor(config)
        angles = torch.arange(config.max_position_embeddings, dtype=torch.float64)[:, None] * inv_freq
        self._cos = (torch.cat([angles.cos()] * 2, 1) * scale).float().to(device)
        self._sin = (torch.cat([-angles.sin(), angles.sin()], 1) * scale).float().to(device)
        # The norms, rotary embedding and gating on their kernels when they serve these sizes.
        self._fused = self.ops.fused_step(config.hidden_size, config.head_dim,
                                          self._intermediate)
        # The fused layers as one C++ call per step, unless the operators want each call.
        self._decoder = self._make_decoder(layers)
        self.host_ops = HostOpProfile()  # runs the projections and attention, timing them if on
        # Steps run again with attention through PyTorch because the kernel's output overflowed.
        self.attention_overflows = 0

    def _make_decoder(self, layers):
        if not self._fused:
            return None
        return self.ops.decoder(layers, self.norm, self._heads, self._kv_heads,
                                self.config.head_dim, self._intermediate,
                                self.config.rms_norm_eps)

    def _collective(self, fn, t: torch.Tensor) -> torch.Tensor:
        """fn(t), a collective, its PyTorch operations on the device counted apart (the device
        operations of a step exclude them)."""
        before = xpuemu.host_op_time()[0]
        out = fn(t)
        self.collective_ops += xpuemu.host_op_time()[0] - before
        return out

    def _partial_sum(self, t: torch.Tensor) -> torch.Tensor:
        """A row-parallel projection's output summed over the ranks (itself on one device)."""
        return t if self.group is None else self._collective(self.group.all_reduce_sum, t)

    def first_layers(self, n: int) -> "Model":
        """This model with its first n layers only, sharing the weights (for accounting)."""
        m = copy.copy(self)
        m.layers = self.layers[:n]
        m._decoder = self._make_decoder(m.layers)
        return m

    def paths(self, rows: int = 1) -> dict:
        """Which kernel (or PyTorch) serves each operation of a decoding step of `rows` rows."""
        return paths(self, rows)

    def profile_host_ops(self, on: bool):
        """Starts (on) or stops and returns {kind: seconds} of host ops inside projections and
        attention; the emulated device runs PyTorch ops on the calling thread."""
        if on:
            self.host_ops.start()
            return None
        return self.host_ops.stop()

    # ---- the step --------------------------------------------------------------------------------

    def new_cache(self, batch: int, length: int) -> List[Tuple[torch.Tensor, torch.Tensor]]:
        """Keys and values of every layer for `length` positions, in half on the device."""
        shape = (batch, self._kv_heads, length, self.config.head_dim)
        return [(torch.empty(shape, dtype=torch.half, device=self.device),
                 torch.empty(shape, dtype=torch.half, device=self.device))
                for _ in self.layers]

    def _check_cache(self, cache, batch: int, start: int, count: int):
        """ValueError unless `cache` holds every layer's keys and values of `batch` sequences with
        room for positions start .. start + count - 1, which the rotary tables cover too."""
        if len(cache) < len(self.layers):
            raise ValueError(f"cache must hold the keys and values of {len(self.layers)} layers, "
                             f"got {len(cache)}")
        if not cache:
            return
        rows, _, length, _ = cache[0][0].shape
        if rows != batch:
            raise ValueError(f"cache holds {rows} sequences, tokens {batch}")
        limit = min(length, self._cos.shape[0])
        if start < 0 or start + count > limit:
            raise ValueError(f"positions {start} .. {start + count - 1} must lie in 0 .. "
                             f"{limit - 1}: the cache holds {length} positions, "
                             f"max_position_embeddings is {self._cos.shape[0]}")

    def _rms_norm(self, h: torch.Tensor, weight: torch.Tensor) -> torch.Tensor:
        r = torch.rsqrt(h.pow(2).mean(-1, keepdim=True).add_(self.config.rms_norm_eps))
        return (h * r).mul_(weight).half()

    def _project(self, p: Projection, x: torch.Tensor) -> torch.Tensor:
        if p.bits == 16:
            y = self.ops.linear(x, p.weight)
        else:
            if p.order is not None:
                x = x.index_select(1, p.order)
            y = self.ops.linear_quantized(x, p.weight, p.scales, p.zeros, p.bits, p.group_size)
        return y if y.shape[1] == p.out_features else y[:, :p.out_features]

    def _attention_kernel(self, kv_len: int) -> bool:
        """Whether one new position attends over kv_len cached ones on a kernel."""
        group = self._heads // self._kv_heads
        return self.ops.attention_kernel(self.config.head_dim, kv_len, group) is not None

    def _attention(self, q, k_all, v_all, start, kernel):
        """Attention of the queries q [B, H, C, hd] (half or float32, positions start .. start + C - 1)
        over the cached positions 0 .. start + C - 1 of k_all, v_all [B, H_kv, L, hd]; on the
        kernel when `kernel` (one position only)."""
        b, h, c, hd = q.shape
        n = start + c
        if kernel:
            out = self.ops.attention(q.half().contiguous(), k_all[:, :, :n], v_all[:, :, :n])
            return out.view(b, 1, h * hd)
        g = h // self._kv_heads
        qg = q.float().reshape(b, self._kv_heads, g * c, hd)
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
        when there is one, unless kernel_attention is False."""
        b, c = tokens.shape
        self._check_cache(cache, b, start, c)
        kernel = c == 1 and kernel_attention and self._attention_kernel(start + c)
        h = F.embedding(tokens.reshape(-1), self.embed).float()  # [B * C, hidden], the residual
        started = time.thread_time()
        if self._decoder is not None:
            # While profiling, the layers' projections and attention charge their host ops
            # to host_ops.seconds as the per-call loop's do.
            x = self._decoder.run(h, [k for k, _ in cache], [v for _, v in cache], self._cos,
                                  self._sin, start, b, kernel,
                                  None if self.group is None else self._partial_sum,
                                  self.host_ops.seconds)
        else:
            layers = self._layers_fused if self._fused else self._layers_pytorch
            x = layers(h, cache, b, c, start, kernel)  # the final norm's output, half
        # The calling thread's CPU time in the layers (issuing them; it waits without spinning).
        self.layers_cpu_seconds = time.thread_time() - started
        if last_only:
            x = x.view(b, c, -1)[:, -1].contiguous()
            c = 1
        logits = self.host_ops("projections", self._project, self.lm_head, x)
        if self.group is not None:  # every rank's rows of the vocabulary, padding cut
            logits = self._collective(self.group.all_gather_columns, logits)
            logits = logits[:, :self.config.vocab_size]
        return logits.view(b, c, -1)

    def _layers_fused(self, h, cache, b, c, start, kernel):
        """The layers as nine device operations each: add + norm, q/k/v, rotary + cache writes,
        attention, o, add + norm, gate/up, SiLU · up, down (the next add + norm, or the final one,
        adds down's output)."""
        ops, op, project, eps = self.ops, self.host_ops, self._project, self.config.rms_norm_eps
        nh, nkv, hd = self._heads, self._kv_heads, self.config.head_dim
        delta = None
        for layer, (k_cache, v_cache) in zip(self.layers, cache):
            x = ops.add_rms_norm(h, delta, layer.attn_norm, eps)
            qkv = op("projections", project, layer.qkv, x)
            q = ops.rotary_cache(qkv, self._cos, self._sin, k_cache, v_cache, start, nh, nkv)
            att = op("attention", self._attention, q, k_cache, v_cache, start, kernel)
            o = op("projections", project, layer.o, att.view(b * c, nh * hd))
            x = ops.add_rms_norm(h, self._partial_sum(o), layer.mlp_norm, eps)
            gu = op("projections", project, layer.gate_up, x)
            delta = self._partial_sum(op("projections", project, layer.down,
                                         ops.silu_mul(gu, self._intermediate)))
        return ops.add_rms_norm(h, delta, self.norm, eps)

    def _layers_pytorch(self, h, cache, b, c, start, kernel):
        """The layers in PyTorch operations, for sizes the norm, rotary and gating kernels do not
        serve."""
        cfg, op, project = self.config, self.host_ops, self._project
        hd, nh, nkv = cfg.head_dim, self._heads, self._kv_heads
        end = start + c
        cos, sin = self._cos[start:end, None, :], self._sin[start:end, None, :]  # [C, 1, hd]
        for layer, (k_cache, v_cache) in zip(self.layers, cache):
            x = self._rms_norm(h, layer.attn_norm)
            qkv = op("projections", project, layer.qkv, x)
            # Rotary embedding of q and k together, in float32.
            qk = qkv[:, :(nh + nkv) * hd].float().view(b, c, nh + nkv, hd)
            qk = torch.addcmul(qk * cos, qk.roll(hd // 2, -1), sin)
            k_cache[:, :, start:end].copy_(qk[:, :, nh:].transpose(1, 2))
            v_cache[:, :, start:end].copy_(
                qkv[:, (nh + nkv) * hd:].view(b, c, nkv, hd).transpose(1, 2))
            q = qk[:, :, :nh].transpose(1, 2)  # [B, H, C, hd]
            att = op("attention", self._attention, q, k_cache, v_cache, start, kernel)
            h.add_(self._partial_sum(op("projections", project, layer.o,
                                        att.reshape(b * c, nh * hd))))
            x = self._rms_norm(h, layer.mlp_norm)
            gu = op("projections", project, layer.gate_up, x).float()
            inter = self._intermediate
            a = F.silu(gu[:, :inter]).mul_(gu[:, inter:2 * inter]).half()
            h.add_(self._partial_sum(op("projections", project, layer.down, a)))
        return self._rms_norm(h, self.norm)

    # ---- logits and generation -------------------------------------------------------------------

    def chat_ids(self, messages: List[dict], add_generation_prompt: bool = True,
                 **variables) -> List[int]:
        """The prompt ids of a conversation, a list of {"role", "content"} messages, through the
        checkpoint's chat template (tokenizer_config.json); `variables` reach the template
        (tools, date_string ...). CheckpointError when the checkpoint has no template."""
        from .chat import chat_ids
        return chat_ids(self.tokenizer, self.tokenizer_config, messages, add_generation_prompt,
                        source=self.source, **variables)

    @torch.no_grad()
    def logits(self, ids: torch.Tensor) -> torch.Tensor:
        """Logits [B, T, vocab] (float32, on the CPU) of every position of ids [B, T], fed one
        position at a time through the decoding step."""
        ids = check_ids(ids, 0, self.config, self.source)
        out = []
        for rows in ids.split(self.batch_rows):
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
        if self._attention_kernel(start + 1) and not bool(torch.isfinite(logits).all()):
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
        """Prompt positions per call: as many as keep every projection on the kernels (batch_rows
        rows), measured faster than one position per call and than the whole prompt at once
        (bench/bench_decode.py)."""
        return max(1, self.batch_rows // batch)

    @torch.no_grad()
    def generate(self, ids: torch.Tensor, max_new_tokens: int, temperature: float = 0.0,
                 top_p: float = 1.0, seed: Optional[int] = None,
                 eos_token_id: Optional[Union[int, Sequence[int]]] = None,
                 callback: Optional[Callable[[int], None]] = None) -> torch.Tensor:
        """Continues every row of ids [B, T] by max_new_tokens tokens: greedy at temperature 0,
        otherwise temperature then nucleus (top_p) sampling drawn from a generator seeded with
        `seed` (None: a random seed, rank 0's on every rank of a tensor-parallel group). A row
        that produces an end-of-sequence token (eos_token_id, by default the checkpoint's end
        tokens, end_token_ids) stops there and is padded with it. Rows are decoded batch_rows at
        a time.
        `callback`, if given, is called with the number of tokens generated so far after each
        step. Returns [B, T + max_new_tokens] token ids on the CPU."""
        check_new_tokens(max_new_tokens)
        ids = check_ids(ids, max_new_tokens, self.config, self.source)
        check_args(temperature, top_p)  # before any work
        eos = check_eos(eos_token_id, self.config, self.end_token_ids)
        if seed is None and temperature > 0 and self.group is not None:
            # Every rank must draw the same tokens: rank 0's random seed for all.
            seed = self.group.broadcast_object(make_generator(None).initial_seed())
        generator = make_generator(seed)
        out = [self._generate_rows(rows, max_new_tokens, temperature, top_p, generator, eos,
                                   callback)
               for rows in ids.split(self.batch_rows)]
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
