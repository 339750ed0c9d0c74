"""Byte-level BPE tokenizers read from a checkpoint's tokenizer.json (LLaMA-3's kind): text is split
by the pre-tokenizer's pattern, each piece's UTF-8 bytes are mapped to printable characters and
merged pair by pair in the order of the merge ranks; added tokens (<|begin_of_text|> ...) are
matched as whole strings, special ones only when asked for. The file is checked as it is read: a
malformed one raises CheckpointError naming the file and the key; a well-formed file of another
kind raises UnsupportedKind, which the caller may fall back from."""
import heapq
import json
from pathlib import Path
from typing import Dict, Iterable, List, Optional, Tuple

import regex

from .errors import CheckpointError

# What a ByteLevel pre-tokenizer splits with when its use_regex is true.
_BYTE_LEVEL_PATTERN = (r"'s|'t|'re|'ve|'m|'ll|'d| ?\p{L}+| ?\p{N}+| ?[^\s\p{L}\p{N}]+|\s+(?!\S)"
                       r"|\s+")
_WORD_CACHE = 1 << 16  # encoded pieces kept per tokenizer


def byte_chars() -> List[str]:
    """The reversible map of the 256 bytes to printable characters: bytes that print as Latin-1
    characters keep them, the others take the characters from U+0100 on, in byte order."""
    printable = set(range(0x21, 0x7F)) | set(range(0xA1, 0xAD)) | set(range(0xAE, 0x100))
    out, extra = [], 0
    for b in range(256):
        if b in printable:
            out.append(chr(b))
        else:
            out.append(chr(0x100 + extra))
            extra += 1
    return out


_BYTE_CHARS = byte_chars()
_CHAR_BYTES = {c: b for b, c in enumerate(_BYTE_CHARS)}


class UnsupportedKind(CheckpointError):
    """A well-formed tokenizer.json of a kind this reader does not implement."""


class _File:
    """Checks on the parsed JSON, raising errors that name the file and the key."""

    def __init__(self, path: Path):
        self.path = path

    def fail(self, key: str, problem: str):
        raise CheckpointError(f"{self.path}: {key} {problem}")

    def unsupported(self, key: str, what: str):
        raise UnsupportedKind(f"{self.path}: {key}: {what} is not supported (this engine reads "
                              f"byte-level BPE tokenizers)")

    def get(self, obj: dict, key: str, name: str, types, default=None, allow_none=True):
        v = obj.get(key, default)
        if v is None and allow_none:
            return None
        if not isinstance(v, types) or (isinstance(v, bool) and bool not in _tuple(types)):
            self.fail(name, f"must be {_type_names(types)}, got {_short(v)}")
        return v

    def node(self, v, name: str) -> dict:
        """A pre-tokenizer, post-processor or decoder object, with its type."""
        if not isinstance(v, dict):
            self.fail(name, f"must be an object, got {_short(v)}")
        if not isinstance(v.get("type"), str):
            self.fail(name + ".type", f"must be a string, got {_short(v.get('type'))}")
        return v


def _tuple(types):
    return types if isinstance(types, tuple) else (types,)


def _type_names(types) -> str:
    names = {dict: "an object", list: "a list", str: "a string", int: "an integer",
             bool: "true or false", float: "a number"}
    return " or ".join(names[t] for t in _tuple(types))


def _short(v) -> str:
    text = repr(v)
    return text if len(text) <= 60 else text[:57] + "..."


def _is_id(v) -> bool:
    return isinstance(v, int) and not isinstance(v, bool) and v >= 0


class BPETokenizer:
    """A byte-level BPE tokenizer: `encode` text to ids (the checkpoint's BOS first), `decode`
    ids to text. Build it with read_tokenizer_json."""

    kind = "byte-level BPE"

    def __init__(self, path: Path, vocab: Dict[str, int], ranks: Dict[Tuple[str, str], int],
                 added: Dict[str, Tuple[int, bool]], splits: List, ignore_merges: bool,
                 prefix: List[int], suffix: List[int]):
        self.path = path
        self._vocab = vocab
        self._ranks = ranks
        self._splits = splits  # compiled patterns, applied in turn ("Isolated": gaps kept)
        self._ignore_merges = ignore_merges
        self._prefix, self._suffix = prefix, suffix  # what encode(bos=True) puts around the text
        self._added = {content: i for content, (i, _) in added.items()}
        self.special_ids = frozenset(i for i, special in added.values() if special)
        self.vocab_size = 1 + max(list(vocab.values()) + list(self._added.values()))
        self._tokens: List[Optional[str]] = [None] * self.vocab_size
        for token, i in vocab.items():
            self._tokens[i] = token
        self._literal = {}  # id -> text of an added token (decoded as it is, not as bytes)
        for content, (i, _) in added.items():
            self._tokens[i] = content
            self._literal[i] = content
        self._match_plain = _alternation(c for c, (_, special) in added.items() if not special)
        self._match_all = _alternation(added)
        self._cache: Dict[str, List[int]] = {}
        self.bos_id = prefix[0] if prefix else None
        self.eos_id = None  # set from tokenizer_config.json by load_tokenizer

    def token_to_id(self, token: str) -> Optional[int]:
        i = self._added.get(token)
        return i if i is not None else self._vocab.get(token)

    def describe(self) -> str:
        return f"{self.kind}, {self.vocab_size} tokens ({len(self._added)} added), {self.path}"

    def encode(self, text: str, bos: bool = True, allow_special: bool = False) -> List[int]:
        """The ids of `text`, between the tokens the checkpoint's post-processor puts around a
        text (its BOS) when `bos`. Special added tokens are matched only when `allow_special`
        (a rendered chat prompt); otherwise their text is encoded as any other."""
        if not isinstance(text, str):
            raise TypeError(f"encode takes a str, not {type(text).__name__}")
        ids: List[int] = []
        pattern = self._match_all if allow_special else self._match_plain
        pos = 0
        if pattern is not None:
            for m in pattern.finditer(text):
                self._encode_plain(text[pos:m.start()], ids)
                ids.append(self._added[m.group()])
                pos = m.end()
        self._encode_plain(text[pos:], ids)
        return self._prefix + ids + self._suffix if bos else ids

    def _encode_plain(self, text: str, ids: List[int]):
        if not text:
            return
        pieces = [text]
        for pattern in self._splits:
            pieces = [p for piece in pieces for p in _split_isolated(pattern, piece)]
        for piece in pieces:
            try:
                raw = piece.encode("utf-8")
            except UnicodeEncodeError:
                raise ValueError(f"the text holds a lone surrogate {_short(piece)}, which has no "
                                 f"UTF-8 bytes") from None
            word = "".join(_BYTE_CHARS[b] for b in raw)
            found = self._cache.get(word)
            if found is None:
                found = self._word(word)
                if len(self._cache) >= _WORD_CACHE:
                    self._cache.clear()
                self._cache[word] = found
            ids.extend(found)

    def _word(self, word: str) -> List[int]:
        """BPE of one mapped piece: the adjacent pair of lowest rank merges first (the leftmost
        among equal ones) until no pair has a rank. A heap over a linked list of symbols keeps
        long pieces (runs of spaces) at n log n."""
        vocab = self._vocab
        if len(word) == 1 or (self._ignore_merges and word in vocab):
            return [vocab[word]]
        ranks = self._ranks
        syms: List[Optional[str]] = list(word)
        n = len(syms)
        nxt = list(range(1, n)) + [-1]
        prev = list(range(-1, n - 1))
        heap = []
        for i in range(n - 1):
            r = ranks.get((syms[i], syms[i + 1]))
            if r is not None:
                heap.append((r, i, syms[i], syms[i + 1]))
        heapq.heapify(heap)
        while heap:
            _, i, a, b = heapq.heappop(heap)
            j = nxt[i]
            if syms[i] != a or j < 0 or syms[j] != b:
                continue  # stale: a neighbour merged since this pair was queued
            syms[i], syms[j] = a + b, None
            nxt[i] = nxt[j]
            if nxt[j] >= 0:
                prev[nxt[j]] = i
            for left in (prev[i], i):
                right = nxt[left] if left >= 0 else -1
                if right >= 0:
                    r = ranks.get((syms[left], syms[right]))
                    if r is not None:
                        heapq.heappush(heap, (r, left, syms[left], syms[right]))
        return [vocab[s] for s in syms if s is not None]

    def decode(self, ids: Iterable[int]) -> str:
        """The text of `ids` (a list, or a 1-D tensor or array): the bytes of consecutive tokens
        joined before UTF-8 decoding (a character may span tokens; bytes that do not form one
        decode as U+FFFD), added tokens as their text, unknown ids as "<id:N>"."""
        if hasattr(ids, "tolist"):
            ids = ids.tolist()
        parts: List[str] = []
        run = bytearray()

        def flush():
            if run:
                parts.append(run.decode("utf-8", errors="replace"))
                run.clear()

        for i in ids:
            i = int(i)
            token = self._tokens[i] if 0 <= i < self.vocab_size else None
            if token is not None and i not in self._literal:
                run.extend(_CHAR_BYTES[c] for c in token)
                continue
            flush()
            parts.append(token if token is not None else f"<id:{i}>")
        flush()
        return "".join(parts)

    def __repr__(self):
        return f"BPETokenizer({str(self.path)!r}, vocab_size={self.vocab_size})"


def _alternation(contents):
    contents = sorted(contents, key=lambda c: (-len(c), c))  # the longest match wins
    return regex.compile("|".join(regex.escape(c) for c in contents)) if contents else None


def _split_isolated(pattern, text: str) -> List[str]:
    """`text` cut at the pattern's matches, each match and each gap between them a piece."""
    out, pos = [], 0
    for m in pattern.finditer(text):
        if m.start() > pos:
            out.append(text[pos:m.start()])
        if m.end() > m.start():
            out.append(m.group())
        pos = m.end()
    if pos < len(text):
        out.append(text[pos:])
    return out


def read_tokenizer_json(path, add_bos: Optional[bool] = None, bos_token: Optional[str] = None,
                        add_eos: Optional[bool] = None,
                        eos_token: Optional[str] = None) -> BPETokenizer:
    """Reads and checks the tokenizer.json at `path`. `add_bos` and `bos_token` (from
    tokenizer_config.json, when it says) override whether and which BOS encode puts first, and
    `add_eos` and `eos_token` whether and which EOS it puts last; otherwise the file's
    post-processor decides."""
    path = Path(path)
    f = _File(path)
    try:
        raw = path.read_bytes()
    except OSError as e:
        raise CheckpointError(f"{path}: cannot read the tokenizer: {e}") from None
    try:
        root = json.loads(raw.decode("utf-8"))
    except (UnicodeDecodeError, ValueError, RecursionError) as e:
        raise CheckpointError(f"{path}: not valid JSON ({str(e)[:100]})") from None
    if not isinstance(root, dict):
        f.fail("the top level", f"must be an object, got {_short(root)}")
    model = root.get("model")
    if not isinstance(model, dict):
        f.fail("model", f"must be an object, got {_short(model)}")
    kind = model.get("type", "BPE" if "merges" in model else None)
    if not isinstance(kind, str):
        f.fail("model.type", f"must be a string, got {_short(kind)}")
    if kind != "BPE":
        f.unsupported("model.type", f"a {kind} model")
    splits = _pre_tokenizer(f, root.get("pre_tokenizer"))
    if root.get("normalizer") is not None:
        normalizer = f.node(root["normalizer"], "normalizer")
        f.unsupported("normalizer", f"a {normalizer['type']} normalizer")
    if root.get("decoder") is not None:
        decoder = f.node(root["decoder"], "decoder")
        if decoder["type"] != "ByteLevel":
            f.unsupported("decoder", f"a {decoder['type']} decoder")
    for key in ("continuing_subword_prefix", "end_of_word_suffix"):
        if f.get(model, key, f"model.{key}", str):
            f.unsupported(f"model.{key}", f"{model[key]!r}")
    if f.get(model, "dropout", "model.dropout", (int, float)):
        f.unsupported("model.dropout", "BPE dropout (random merges)")
    f.get(model, "unk_token", "model.unk_token", str)
    f.get(model, "fuse_unk", "model.fuse_unk", bool)
    f.get(model, "byte_fallback", "model.byte_fallback", bool)
    ignore_merges = bool(f.get(model, "ignore_merges", "model.ignore_merges", bool))

    added = _added_tokens(f, root.get("added_tokens"))
    vocab = _vocabulary(f, model.get("vocab"), added)
    ranks = _merges(f, model.get("merges"), vocab)
    ids = {i: t for t, i in vocab.items()}
    for content, (i, _) in added.items():
        ids[i] = content
    prefix, suffix = _post_processor(f, root.get("post_processor"), vocab, added, len(ids))
    def token_id(key, token):
        i = added.get(token, (vocab.get(token),))[0]
        if i is None:
            raise CheckpointError(f"{path.parent / 'tokenizer_config.json'}: {key} {token!r} is "
                                  f"not a token of {path.name}")
        return i

    if add_bos is not None:  # it replaces the post-processor's first token (its BOS)
        bos = [token_id("bos_token", bos_token)] if bos_token is not None else prefix[:1]
        prefix = (bos if add_bos else []) + prefix[1:]
    elif bos_token is not None:
        token_id("bos_token", bos_token)
    if add_eos is not None:  # it replaces the post-processor's last token (its EOS)
        eos = [token_id("eos_token", eos_token)] if eos_token is not None else suffix[-1:]
        suffix = suffix[:-1] + (eos if add_eos else [])
    return BPETokenizer(path, vocab, ranks, added, splits, ignore_merges, prefix, suffix)


def _pre_tokenizer(f: _File, node) -> list:
    """The split patterns of a pre-tokenizer that ends with its ByteLevel step."""
    if node is None:
        f.unsupported("pre_tokenizer", "a BPE model without a ByteLevel pre-tokenizer")
    steps = []

    def walk(v, name):
        v = f.node(v, name)
        if v["type"] == "Sequence":
            items = f.get(v, "pretokenizers", name + ".pretokenizers", list, allow_none=False)
            for i, item in enumerate(items):
                walk(item, f"{name}.pretokenizers[{i}]")
        else:
            steps.append((v, name))

    walk(node, "pre_tokenizer")
    if not steps or steps[-1][0]["type"] != "ByteLevel":
        f.unsupported("pre_tokenizer", "a BPE model without a ByteLevel pre-tokenizer last")
    patterns = []
    for v, name in steps:
        if v["type"] == "Split":
            pattern = f.get(v, "pattern", name + ".pattern", dict, allow_none=False)
            if len(pattern) != 1 or not isinstance(next(iter(pattern.values())), str) \
                    or next(iter(pattern)) not in ("Regex", "String"):
                f.fail(name + ".pattern", f"must be {{\"Regex\": str}} or {{\"String\": str}}, "
                                          f"got {_short(pattern)}")
            (how, text), = pattern.items()
            behavior = f.get(v, "behavior", name + ".behavior", str, allow_none=False)
            if behavior != "Isolated":
                f.unsupported(name + ".behavior", f"{behavior!r}")
            if f.get(v, "invert", name + ".invert", bool):
                f.unsupported(name + ".invert", "an inverted split")
            try:
                patterns.append(regex.compile(text if how == "Regex" else regex.escape(text)))
            except (regex.error, ValueError, RecursionError, OverflowError) as e:
                f.fail(name + ".pattern", f"is not a valid regular expression ({e})")
        elif v["type"] == "ByteLevel":
            if v is not steps[-1][0]:
                f.unsupported(name, "a ByteLevel step before the last")
            if f.get(v, "add_prefix_space", name + ".add_prefix_space", bool, default=True):
                f.unsupported(name + ".add_prefix_space", "a space put before the text")
            f.get(v, "trim_offsets", name + ".trim_offsets", bool)
            if f.get(v, "use_regex", name + ".use_regex", bool, default=True):
                patterns.append(regex.compile(_BYTE_LEVEL_PATTERN))
        else:
            f.unsupported(name, f"a {v['type']} pre-tokenizer")
    return patterns


def _added_tokens(f: _File, items) -> Dict[str, Tuple[int, bool]]:
    """{content: (id, special)} of the added tokens."""
    if items is None:
        return {}
    if not isinstance(items, list):
        f.fail("added_tokens", f"must be a list, got {_short(items)}")
    added, by_id = {}, {}
    for k, t in enumerate(items):
        name = f"added_tokens[{k}]"
        if not isinstance(t, dict):
            f.fail(name, f"must be an object, got {_short(t)}")
        i = t.get("id")
        if not _is_id(i):
            f.fail(name + ".id", f"must be a non-negative integer, got {_short(i)}")
        content = f.get(t, "content", name + ".content", str, allow_none=False)
        if not content:
            f.fail(name + ".content", "must not be empty")
        special = bool(f.get(t, "special", name + ".special", bool))
        for flag in ("single_word", "lstrip", "rstrip"):
            if f.get(t, flag, f"{name}.{flag}", bool):
                f.unsupported(f"{name}.{flag}", "an added token that takes in its whitespace")
        f.get(t, "normalized", name + ".normalized", bool)
        if content in added and added[content][0] != i:
            f.fail(name, f"gives {content!r} the id {i}, which had id {added[content][0]}")
        if by_id.get(i, content) != content:
            f.fail(name + ".id", f"{i} is already the id of {by_id[i]!r}")
        added[content], by_id[i] = (i, special), content
    return added


def _vocabulary(f: _File, vocab, added) -> Dict[str, int]:
    if not isinstance(vocab, dict):
        f.fail("model.vocab", f"must be an object of tokens and ids, got {_short(vocab)}")
    by_id = {}
    for token, i in vocab.items():
        if not _is_id(i):
            f.fail("model.vocab", f"gives {_short(token)} the id {_short(i)}, not a "
                                  f"non-negative integer")
        if i in by_id:
            f.fail("model.vocab", f"gives the id {i} to both {_short(by_id[i])} and "
                                  f"{_short(token)}")
        by_id[i] = token
        if token in added:
            if added[token][0] != i:
                f.fail("model.vocab", f"gives {_short(token)} the id {i}; added_tokens gives it "
                                      f"{added[token][0]}")
        elif not token or any(c not in _CHAR_BYTES for c in token):
            f.fail("model.vocab", f"token {_short(token)} (id {i}) is not a string of "
                                  f"byte-level characters")
    for content, (i, _) in added.items():
        if by_id.get(i, content) != content:
            f.fail("added_tokens", f"gives the id {i} to {_short(content)}; model.vocab gives "
                                   f"it to {_short(by_id[i])}")
    missing = [b for b, c in enumerate(_BYTE_CHARS) if c not in vocab]
    if missing:
        f.fail("model.vocab", f"lacks {len(missing)} of the 256 single bytes, e.g. byte "
                              f"0x{missing[0]:02X} ({_BYTE_CHARS[missing[0]]!r}): some texts "
                              f"could not be encoded")
    count = len(set(by_id) | {i for i, _ in added.values()})
    top = max(list(by_id) + [i for i, _ in added.values()])
    if top >= count:
        f.fail("model.vocab" if top in by_id else "added_tokens",
               f"holds the id {top}, outside 0 .. {count - 1} for its {count} tokens (ids must "
               f"number the tokens without gaps)")
    return vocab


def _merges(f: _File, merges, vocab) -> Dict[Tuple[str, str], int]:
    if not isinstance(merges, list):
        f.fail("model.merges", f"must be a list, got {_short(merges)}")
    ranks = {}
    for rank, m in enumerate(merges):
        if m.__class__ is str:
            a, space, b = m.partition(" ")
            ok = space and a and b and " " not in b
        else:
            ok = isinstance(m, list) and len(m) == 2 and all(isinstance(x, str) and x for x in m)
            a, b = m if ok else ("", "")
        if not ok:
            f.fail(f"model.merges[{rank}]", f"must be \"a b\" or [\"a\", \"b\"] (two non-empty "
                                            f"symbols), got {_short(m)}")
        if a not in vocab or b not in vocab or a + b not in vocab:
            missing = next(x for x in (a, b, a + b) if x not in vocab)
            f.fail(f"model.merges[{rank}]", f"{_short(m)}: {_short(missing)} is not in model.vocab")
        if ranks.setdefault((a, b), rank) != rank:
            f.fail(f"model.merges[{rank}]", f"{_short(m)} repeats model.merges[{ranks[(a, b)]}]")
    return ranks


def _post_processor(f: _File, node, vocab, added, count) -> Tuple[List[int], List[int]]:
    """The ids the post-processor puts before and after a single text."""
    if node is None:
        return [], []
    found = []

    def walk(v, name):
        v = f.node(v, name)
        if v["type"] == "Sequence":
            items = f.get(v, "processors", name + ".processors", list, allow_none=False)
            for i, item in enumerate(items):
                walk(item, f"{name}.processors[{i}]")
        elif v["type"] == "TemplateProcessing":
            found.append((v, name))
        elif v["type"] != "ByteLevel":  # ByteLevel only adjusts offsets
            f.unsupported(name, f"a {v['type']} post-processor")

    walk(node, "post_processor")
    if not found:
        return [], []
    if len(found) > 1:
        f.unsupported(found[1][1], "a second TemplateProcessing")
    v, name = found[0]
    single = f.get(v, "single", name + ".single", list, allow_none=False)
    table = f.get(v, "special_tokens", name + ".special_tokens", dict) or {}
    before, after, seen = [], [], False
    for k, item in enumerate(single):
        where = f"{name}.single[{k}]"
        if not isinstance(item, dict) or len(item) != 1 \
                or next(iter(item)) not in ("SpecialToken", "Sequence") \
                or not isinstance(next(iter(item.values())), dict) \
                or not isinstance(next(iter(item.values())).get("id"), str):
            f.fail(where, f"must be {{\"SpecialToken\": {{\"id\": str}}}} or "
                          f"{{\"Sequence\": {{\"id\": \"A\"}}}}, got {_short(item)}")
        (what, body), = item.items()
        if what == "Sequence":
            if body["id"] != "A" or seen:
                f.fail(where, f"must be the one sequence \"A\", got {_short(item)}")
            seen = True
            continue
        token = body["id"]
        if token in table:
            entry = table[token]
            ids = entry.get("ids") if isinstance(entry, dict) else None
            if not isinstance(ids, list) or not all(_is_id(i) and i < count for i in ids):
                f.fail(f"{name}.special_tokens.{token}.ids",
                       f"must be a list of token ids in [0, {count}), got {_short(ids)}")
        else:
            i = added.get(token, (vocab.get(token),))[0]
            if i is None:
                f.fail(where, f"names {_short(token)}, which is neither in "
                              f"{name}.special_tokens nor a token")
            ids = [i]
        (after if seen else before).extend(ids)
    if not seen:
        f.fail(name + ".single", "has no sequence \"A\" (the text)")
    return before, after
