"""Seeded fuzzing of vantrel_llama's tokenizer.json reader with mutated files, and the small
byte-level BPE tokenizer.json the tests build (merges learned here on a short text).

File i is a valid tokenizer.json built from (seed, i) alone, then changed: a value anywhere in the
tree replaced, removed or duplicated, merges and ids made inconsistent, the split pattern broken,
bytes flipped, the file truncated. Reading it must either raise CheckpointError naming the file, or
give a tokenizer that encodes every test text to ids in its range, decodes them back to the text,
and produces a special token only when asked to.

    PYTHONPATH=build/lib /usr/bin/python3 tests/vantrel_llama/fuzz_tokenizer_json.py --files 5000
    PYTHONPATH=build/lib /usr/bin/python3 tests/vantrel_llama/fuzz_tokenizer_json.py --index 17 -v
"""
import collections
import functools
import json
import re
import sys

import file_fuzzing
import numpy as np
import regex

from vantrel_llama.bpe import UnsupportedKind, byte_chars, read_tokenizer_json

SPLIT = (r"(?i:'s|'t|'re|'ve|'m|'ll|'d)|[^\r\n\p{L}\p{N}]?\p{L}+|\p{N}{1,3}| ?[^\s\p{L}\p{N}]+"
         r"[\r\n]*|\s*[\r\n]+|\s+(?!\S)|\s+")
SPECIALS = ["<|begin_of_text|>", "<|end_of_text|>", "<|start_header_id|>", "<|end_header_id|>",
            "<|eot_id|>"]
TEXT = ("The weather on the coast is warm, the weather inland is not. Théâtre, café, naïve; "
        "東京 and 北京 are cities. Numbers: 1234, 56, 7.\nThe end of the text.\n\n")
TEXTS = ["", "The weather on the coast", "  spaces   and\ttabs\r\n\n", "naïve café 東京 \U0001F600",
         "<|eot_id|>Hello<|begin_of_text|>", "<|end_header_id|", "digits 0123456789 3.14",
         "I'LL don't", "e\u0301 \u200b\ufeff\x00\x7f"]


@functools.lru_cache(maxsize=None)
def learn_merges(text: str, count: int):
    """`count` merges learned on `text` (the most frequent adjacent pair of its split and
    byte-mapped pieces each time, ties broken by the pair), as pairs of strings."""
    chars = byte_chars()
    words = collections.Counter(tuple(chars[b] for b in w.encode())
                                for w in regex.findall(SPLIT, text))
    merges = []
    for _ in range(count):
        pairs = collections.Counter()
        for w, n in words.items():
            for p in zip(w, w[1:]):
                pairs[p] += n
        if not pairs:
            break
        best = max(pairs, key=lambda p: (pairs[p], p))
        merges.append(best)
        merged = collections.Counter()
        for w, n in words.items():
            out, i = [], 0
            while i < len(w):
                if w[i:i + 2] == best:
                    out.append(w[i] + w[i + 1])
                    i += 2
                else:
                    out.append(w[i])
                    i += 1
            merged[tuple(out)] += n
        words = merged
    return tuple(merges)


def tokenizer_json(merges=40, pairs=False, bos=True, ignore_merges=False, plain_added=()):
    """A byte-level BPE tokenizer.json (as a dict) in LLaMA-3's layout: the 256 bytes, then the
    tokens of `merges` merges learned on TEXT (or the given list of pairs), then SPECIALS and
    `plain_added` (non-special) added tokens; BOS put first by its post-processor when `bos`."""
    learned = learn_merges(TEXT, merges) if isinstance(merges, int) else merges
    vocab = {c: b for b, c in enumerate(byte_chars())}
    for a, b in learned:
        vocab.setdefault(a + b, len(vocab))
    added = [{"id": len(vocab) + k, "content": c, "single_word": False, "lstrip": False,
              "rstrip": False, "normalized": False, "special": k < len(SPECIALS)}
             for k, c in enumerate(SPECIALS + list(plain_added))]
    template = {"type": "TemplateProcessing",
                "single": [{"SpecialToken": {"id": SPECIALS[0], "type_id": 0}},
                           {"Sequence": {"id": "A", "type_id": 0}}],
                "pair": [], "special_tokens": {SPECIALS[0]: {
                    "id": SPECIALS[0], "ids": [len(vocab)], "tokens": [SPECIALS[0]]}}}
    return {
        "version": "1.0", "truncation": None, "padding": None, "added_tokens": added,
        "normalizer": None,
        "pre_tokenizer": {"type": "Sequence", "pretokenizers": [
            {"type": "Split", "pattern": {"Regex": SPLIT}, "behavior": "Isolated",
             "invert": False},
            {"type": "ByteLevel", "add_prefix_space": False, "trim_offsets": True,
             "use_regex": False}]},
        "post_processor": {"type": "Sequence", "processors": [
            {"type": "ByteLevel", "add_prefix_space": True, "trim_offsets": False,
             "use_regex": True}] + ([template] if bos else [])},
        "decoder": {"type": "ByteLevel", "add_prefix_space": True, "trim_offsets": True,
                    "use_regex": True},
        "model": {"type": "BPE", "dropout": None, "unk_token": None,
                  "continuing_subword_prefix": None, "end_of_word_suffix": None,
                  "fuse_unk": False, "byte_fallback": False, "ignore_merges": ignore_merges,
                  "vocab": vocab,
                  "merges": [list(m) if pairs else " ".join(m) for m in learned]}}


ODD = [None, True, 0, -1, 1.5, 2 ** 40, "", "x", "Ġ", [], {}, ["a", "b"], {"type": "Split"},
       "(", "[a-", "\\p{Nope}", "<|eot_id|>", 10 ** 30]


def _paths(node, path=()):
    """Every (path, value) under node, sampled so that long lists count a few entries."""
    yield path, node
    if isinstance(node, dict):
        for k, v in list(node.items())[:600]:
            yield from _paths(v, path + (k,))
    elif isinstance(node, list):
        picks = range(len(node)) if len(node) <= 8 else [0, 1, len(node) // 2, len(node) - 1]
        for i in picks:
            yield from _paths(node[i], path + (i,))


def _parent(root, path):
    for k in path[:-1]:
        root = root[k]
    return root


def mutate(rng, d):
    """Changes one thing in the tokenizer dict d (in place); may return raw bytes instead."""
    m = int(rng.integers(0, 12))
    model = d["model"]
    pick = lambda seq: seq[int(rng.integers(0, len(seq)))]  # noqa: E731
    if m <= 2:  # a value anywhere replaced or removed
        paths = [p for p, _ in _paths(d) if p]
        path = pick(paths)
        parent = _parent(d, path)
        if m == 2 and isinstance(parent, dict):
            del parent[path[-1]]
        else:
            parent[path[-1]] = pick(ODD)
    elif m == 3 and model["merges"]:  # a merge of unknown, empty or too many symbols
        model["merges"][int(rng.integers(0, len(model["merges"])))] = pick(
            ["Ġ zz", "a", "a b c", " a", ["a"], ["a", 1], "é x", "a  b"])
    elif m == 4 and model["merges"]:  # merges reordered or repeated
        k = int(rng.integers(0, len(model["merges"])))
        if rng.random() < 0.5:
            model["merges"].append(model["merges"][k])
        else:
            rng.shuffle(model["merges"])
    elif m == 5:  # an id moved onto another, out of range, or negative
        token = pick(list(model["vocab"]))
        model["vocab"][token] = pick([0, 255, len(model["vocab"]), 10 ** 9, -3,
                                      int(rng.integers(0, len(model["vocab"]) + 9))])
    elif m == 6 and d["added_tokens"]:
        t = pick(d["added_tokens"])
        t[pick(["id", "content", "special", "lstrip"])] = pick(ODD)
    elif m == 7:  # a token added to the vocabulary, a byte removed
        if rng.random() < 0.5:
            model["vocab"][pick(["abc", "Ġthe", "<|x|>", "a b", "\u0100\u0101"])] = \
                len(model["vocab"]) + len(d["added_tokens"])
        else:
            del model["vocab"][pick(byte_chars())]
    elif m == 8:
        d["pre_tokenizer"]["pretokenizers"][0]["pattern"] = pick(
            [{"Regex": "("}, {"Regex": "\\s+|"}, {"String": " "}, {"Regex": "."}, {"Regex": ""},
             {"Regex": "(?<=a)"}, {"Glob": "*"}, {"Regex": 5}])
    elif m == 9:
        d["post_processor"] = pick([
            {"type": "TemplateProcessing", "single": [{"SpecialToken": {"id": "<|eot_id|>"}},
                                                      {"Sequence": {"id": "A"}},
                                                      {"SpecialToken": {"id": "<|eot_id|>"}}]},
            {"type": "TemplateProcessing", "single": [{"SpecialToken": {"id": "<|nope|>"}},
                                                      {"Sequence": {"id": "A"}}]},
            {"type": "TemplateProcessing", "single": [{"Sequence": {"id": "B"}}]},
            {"type": "RobertaProcessing"}, None, {"type": "Sequence", "processors": 3}])
    elif m == 10:
        return pick([b"", b"[]", b"null", b"{\"model\": {}}", b"\xff\xfe{}",
                     b"{\"model\": " + b"[" * 100000 + b"]" * 100000 + b"}",
                     b"{\"model\": {\"type\": \"Unigram\"}}"])
    else:  # the kind changed
        target = pick([(model, "type"), (d, "normalizer"), (d["decoder"], "type"),
                       (d["pre_tokenizer"]["pretokenizers"][1], "add_prefix_space")])
        target[0][target[1]] = pick(["WordPiece", {"type": "NFC"}, "Metaspace", True])
    return None


def make_file(seed, index):
    """The bytes of file `index` and a short description of what was done to it."""
    rng = np.random.default_rng([seed, index])
    d = tokenizer_json(merges=int(rng.integers(0, 60)), pairs=bool(rng.random() < 0.5),
                       bos=bool(rng.random() < 0.7), ignore_merges=bool(rng.random() < 0.5),
                       plain_added=["wea"] if rng.random() < 0.3 else ())
    done, raw = [], None
    for _ in range(int(rng.integers(1, 3)) if rng.random() < 0.85 else 0):
        done.append("tree")
        try:
            raw = mutate(rng, d)
        except (TypeError, KeyError, IndexError, AttributeError, ValueError):
            raw = None  # an earlier change removed what this one edits
        if raw is not None:
            done[-1] = "raw"
            break
    blob = bytearray(raw if raw is not None else json.dumps(d).encode())
    if blob and rng.random() < 0.1:
        done.append("flips")
        for _ in range(int(rng.integers(1, 4))):
            i = int(rng.integers(0, len(blob)))
            blob[i] ^= 1 << int(rng.integers(0, 8))
    if rng.random() < 0.05:
        done.append("truncated")
        blob = blob[:int(rng.integers(0, len(blob) + 1))]
    return bytes(blob), "+".join(done) or "valid"


def check_tokenizer(tok):
    """Problem text, or None when the tokenizer encodes and decodes the test texts faithfully."""
    special = tok.special_ids
    around = tok.encode("", bos=True)
    for text in TEXTS:
        ids = tok.encode(text, bos=False)
        if not all(0 <= i < tok.vocab_size for i in ids):
            return f"{text!r}: ids {ids} outside [0, {tok.vocab_size})"
        if special & set(ids):
            return f"{text!r}: special tokens {special & set(ids)} from plain text"
        if tok.decode(ids) != text:
            return f"{text!r} decodes back as {tok.decode(ids)!r}"
        full = tok.encode(text)
        if not any(full[:k] + full[k + len(ids):] == around and full[k:k + len(ids)] == ids
                   for k in range(len(around) + 1)):
            return f"{text!r}: encode with bos is not the post-processor's tokens around the text"
        if tok.decode(tok.encode(text, bos=False, allow_special=True)) != text:
            return f"{text!r} with special tokens decodes back differently"
    return None


def run_file(seed, index, path):
    """(outcome label, problem or None, kind) of file `index`."""
    blob, kind = make_file(seed, index)
    path.write_bytes(blob)

    def refused(e):
        return ("unsupported: " if isinstance(e, UnsupportedKind) else "CheckpointError: ") + \
            re.sub(r"\(.*|'.*|\[.*|\d+|\".*", "..", str(e)[len(str(path)) + 2:])[:50]
    return (*file_fuzzing.outcome(lambda: check_tokenizer(read_tokenizer_json(path)), path,
                                  f"loaded ({kind})", refused), kind)


run, main = file_fuzzing.commands(__doc__, make_file, run_file, "tokenizer.json", 5000)

if __name__ == "__main__":
    sys.exit(main())
