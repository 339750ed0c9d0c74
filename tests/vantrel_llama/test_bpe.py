"""vantrel_llama.bpe and the choice of tokenizer: byte-level BPE round trips on the tests' own
tokenizer.json, merge order, special tokens, BOS, bad and unsupported files."""
import io
import json

import pytest
import sentencepiece

from fuzz_tokenizer_json import TEXT, tokenizer_json
from vantrel_llama import CheckpointError
from vantrel_llama.bpe import UnsupportedKind, byte_chars, read_tokenizer_json
from vantrel_llama.chat import read_tokenizer_config
from vantrel_llama.tokenizer import load_tokenizer


def write(folder, d, name="tokenizer.json"):
    path = folder / name
    path.write_text(d if isinstance(d, str) else json.dumps(d))
    return path


@pytest.fixture(scope="module")
def tok(tmp_path_factory):
    return read_tokenizer_json(write(tmp_path_factory.mktemp("bpe"), tokenizer_json(merges=80)))


@pytest.fixture(scope="module")
def tok_pairs(tmp_path_factory):  # the same merges written as pairs
    return read_tokenizer_json(write(tmp_path_factory.mktemp("bpe"),
                                     tokenizer_json(merges=80, pairs=True)))


def test_byte_map():
    chars = byte_chars()
    assert len(set(chars)) == 256 and all(c.isprintable() and not c.isspace() for c in chars)
    # As LLaMA-3's and GPT-2's files write them: space Ġ, newline Ċ, tab ĉ, letters unchanged.
    assert (chars[0x20], chars[0x0A], chars[0x09], chars[ord("A")], chars[0xAD], chars[0xFF]) \
        == ("\u0120", "\u010a", "\u0109", "A", "\u0143", "\xff")


@pytest.mark.parametrize("text", [
    "The weather on the coast", "", " ", "  two  spaces,\ttabs\r\nand\n\nnewlines \n",
    "Théâtre naïve café", "東京 \U0001F600 𝔘𝔫𝔦𝔠𝔬𝔡𝔢 e\u0301 \u200b\ufeff", "digits 1234567 3.14",
    "I'LL don't we've", "\x00\x01\x7f", " " * 3000 + "x", TEXT])
def test_round_trip(tok, tok_pairs, text):
    ids = tok.encode(text)
    assert ids[0] == tok.bos_id == tok.token_to_id("<|begin_of_text|>")
    assert ids[1:] == tok.encode(text, bos=False)
    assert all(0 <= i < tok.vocab_size for i in ids)
    assert tok.decode(ids[1:]) == text and tok_pairs.encode(text) == ids


def test_merges_learned_and_split_bytes(tok):
    ids = tok.encode("the weather", bos=False)
    assert len(ids) < len("the weather")   # merged
    ids = tok.encode("東京", bos=False)  # six bytes in tokens that split its characters
    assert tok.decode(ids) == "東京" and "\ufffd" in tok.decode(ids[:1])


@pytest.mark.parametrize("merges, ignore, vocab_extra, word, pieces", [
    ([("a", "b"), ("b", "c")], False, [], "abc", ["ab", "c"]),
    ([("b", "c"), ("a", "b")], False, [], "abc", ["a", "bc"]),   # lower rank first
    ([("a", "a"), ("aa", "aa")], False, [], "aaaaa", ["aaaa", "a"]),
    ([("a", "a")], False, [], "aaa", ["aa", "a"]),  # leftmost among equal ranks
    ([("a", "b"), ("b", "c")], False, ["abc"], "abc", ["ab", "c"]),
    ([("a", "b"), ("b", "c")], True, ["abc"], "abc", ["abc"]),  # whole pieces in the vocabulary
])
def test_merge_order(tmp_path, merges, ignore, vocab_extra, word, pieces):
    d = tokenizer_json(merges=merges, ignore_merges=ignore)
    for token in vocab_extra:
        d["model"]["vocab"][token] = len(d["model"]["vocab"])
        for t in d["added_tokens"]:
            t["id"] += 1
    t = read_tokenizer_json(write(tmp_path, d))
    assert t.encode(word, bos=False) == [t.token_to_id(p) for p in pieces]


def test_special_tokens_and_unknown_ids(tmp_path, tok):
    eot, header = tok.token_to_id("<|eot_id|>"), tok.token_to_id("<|start_header_id|>")
    text = "<|start_header_id|>user<|eot_id|>"
    plain = tok.encode(text, bos=False)
    assert not {eot, header} & set(plain) and tok.decode(plain) == text
    assert tok.encode(text, bos=False, allow_special=True) == [header] + \
        tok.encode("user", bos=False) + [eot]
    assert tok.decode([tok.bos_id, eot]) == "<|begin_of_text|><|eot_id|>"
    assert tok.decode([tok.vocab_size, -1] + tok.encode("hi", bos=False)) == \
        f"<id:{tok.vocab_size}><id:-1>hi"  # unknown ids print as placeholders
    # A non-special added token is matched in plain text.
    t = read_tokenizer_json(write(tmp_path, tokenizer_json(plain_added=["weather"])))
    assert t.encode("the weather", bos=False)[-1] == t.token_to_id("weather")


@pytest.mark.parametrize("bos, add_bos_token, bos_token, first, add_eos_token, last", [
    (True, None, None, "<|begin_of_text|>", None, None),
    (False, None, None, None, False, None),
    (True, False, None, None, True, "<|eot_id|>"),
    (False, True, "<|begin_of_text|>", "<|begin_of_text|>", None, None),
    (True, True, "<|end_of_text|>", "<|end_of_text|>", True, "<|eot_id|>"),
])
def test_bos_and_eos_follow_the_checkpoint(tmp_path, bos, add_bos_token, bos_token, first,
                                           add_eos_token, last):
    write(tmp_path, tokenizer_json(bos=bos))
    cfg = {"add_bos_token": add_bos_token, "bos_token": bos_token, "eos_token": "<|eot_id|>",
           "add_eos_token": add_eos_token}
    t = load_tokenizer(tmp_path, read_tokenizer_config(write(tmp_path, cfg,
                                                             "tokenizer_config.json")))
    around = [t.token_to_id(first)] * bool(first), [t.token_to_id(last)] * bool(last)
    assert t.encode("hi") == around[0] + t.encode("hi", bos=False) + around[1]
    assert t.eos_id == t.token_to_id("<|eot_id|>")


def _set(path, value):
    def edit(d):
        *keys, last = path
        for k in keys:
            d = d[k]
        d[last] = value
    return edit


@pytest.mark.parametrize("edit, key", [
    (lambda d: "{not json", "not valid JSON"),
    (lambda d: "[]", "the top level must be an object"),
    (_set(["model", "merges", 3], "Ġ zz"), "model.merges[3]"),
    (_set(["model", "merges", 0], "a b c"), "model.merges[0]"),
    (_set(["model", "merges", 1], ["a"]), "model.merges[1]"),
    (lambda d: d["model"]["merges"].append(d["model"]["merges"][0]), "repeats model.merges[0]"),
    (_set(["model", "vocab", "a"], "7"), "model.vocab gives 'a' the id '7'"),
    (_set(["model", "vocab", "a"], 0), "model.vocab gives the id 0 to both"),
    (_set(["model", "vocab", "Ġthe"], 10 ** 9), "model.vocab holds the id 1000000000"),
    (lambda d: d["model"]["vocab"].pop("Ċ") and None,
     "lacks 1 of the 256 single bytes, e.g. byte 0x0A"),
    (lambda d: d["model"]["vocab"].__setitem__("a b", d["model"]["vocab"].pop("Ġthe")),
     "is not a string of byte-level characters"),  # a space is not one
    (_set(["added_tokens", 1, "id"], -1), "added_tokens[1].id"),
    (_set(["added_tokens", 1, "id"], 5), "added_tokens gives the id 5"),
    (_set(["added_tokens", 1, "content"], ""), "added_tokens[1].content must not be empty"),
    (_set(["pre_tokenizer", "pretokenizers", 0, "pattern"], {"Regex": "("}),
     "pre_tokenizer.pretokenizers[0].pattern is not a valid regular expression"),
    (_set(["post_processor", "processors", 1, "single", 0, "SpecialToken", "id"], "<|x|>"),
     "post_processor.processors[1].single[0]"),
    (_set(["model", "ignore_merges"], "yes"), "model.ignore_merges must be true or false"),
])
def test_bad_files_name_file_and_key(tmp_path, edit, key):
    d = tokenizer_json()
    d = edit(d) or d
    path = write(tmp_path, d)
    with pytest.raises(CheckpointError) as e:
        read_tokenizer_json(path)
    assert str(e.value).startswith(f"{path}: ") and key in str(e.value)
    assert not isinstance(e.value, UnsupportedKind)


def _sentencepiece_model(path):
    out = io.BytesIO()
    sentencepiece.SentencePieceTrainer.train(
        sentence_iterator=iter(["a tiny text", "another tiny text"]), model_writer=out,
        model_type="char", minloglevel=2)
    path.write_bytes(out.getvalue())


@pytest.mark.parametrize("edit, kind", [
    (_set(["model", "type"], "Unigram"), "model.type: a Unigram model"),
    (_set(["normalizer"], {"type": "NFC"}), "normalizer: a NFC normalizer"),
    (_set(["pre_tokenizer"], {"type": "Metaspace"}), "pre_tokenizer: a BPE model without a "
                                                      "ByteLevel pre-tokenizer last"),
    (_set(["added_tokens", 0, "lstrip"], True), "added_tokens[0].lstrip"),
])
def test_tokenizer_choice(tmp_path, edit, kind):
    d = tokenizer_json()
    edit(d)
    write(tmp_path, d)
    t = load_tokenizer(tmp_path)
    assert t.kind is None and kind in t.describe()
    for ask in (lambda: t.encode("hello"), lambda: t.decode([1])):
        with pytest.raises(CheckpointError, match="is not supported"):
            ask()
    _sentencepiece_model(tmp_path / "tokenizer.model")  # the next choice
    t = load_tokenizer(tmp_path)
    assert t.kind == "SentencePiece" and t.decode(t.encode("a tiny text")) == "a tiny text"


def test_sentencepiece_control_pieces_only_when_asked(tmp_path):
    _sentencepiece_model(tmp_path / "tokenizer.model")
    t = load_tokenizer(tmp_path)
    assert t.encode("<s>a", allow_special=True) == [t.bos_id, t.bos_id] + t.encode("a", bos=False)
    assert t.bos_id not in t.encode("<s>a", bos=False)
