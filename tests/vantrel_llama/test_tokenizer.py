"""vantrel_llama.tokenizer: training, encode/decode round trips, placeholders for unknown ids,
unreadable models."""
import io
import json

import pytest
import sentencepiece
import torch

from vantrel_llama import CheckpointError
from vantrel_llama.chat import read_tokenizer_config
from vantrel_llama.synthetic import TRAINING_TEXT
from vantrel_llama.tokenizer import Tokenizer, load_tokenizer, train_tokenizer


@pytest.fixture(scope="module")
def tok(tmp_path_factory):
    return train_tokenizer(TRAINING_TEXT, tmp_path_factory.mktemp("tok") / "tokenizer.model")


@pytest.mark.parametrize("text", [
    "The weather is warm.", "  two  spaces, tabs\tand\nnewlines ", "digits 1234567890",
    "unseen: Zürich, 東京, emoji \U0001F600", ""])
def test_round_trip(tok, text):
    ids = tok.encode(text)
    assert ids[0] == tok.bos_id == 1 and tok.eos_id == 2
    assert tok.encode(text, bos=False) == ids[1:]
    assert all(0 <= i < tok.vocab_size for i in ids)
    assert tok.decode(ids) == tok.decode(torch.tensor(ids)) == text


@pytest.mark.parametrize("config, first, last", [
    ({}, 1, None), ({"add_bos_token": False, "add_eos_token": True}, None, 2)])
def test_bos_and_eos_follow_the_checkpoint(tmp_path, tok, config, first, last):
    (tmp_path / "tokenizer.model").write_bytes(tok.path.read_bytes())
    (tmp_path / "tokenizer_config.json").write_text(json.dumps(config))
    t = load_tokenizer(tmp_path, read_tokenizer_config(tmp_path / "tokenizer_config.json"))
    body = t.encode("hi", bos=False)
    assert t.encode("hi") == [first] * bool(first) + body + [last] * bool(last)


@pytest.mark.parametrize("after", [[], [1, 2]], ids=["word", "control pieces"])
def test_unknown_ids_print_as_placeholders(tok, after):
    text = "Each step starts with a single new token, then another."
    ids = tok.encode(text, bos=False)
    bad = tok.vocab_size + 3
    for k in range(len(ids) + 1):   # spacing survives a placeholder at every position
        decoded = tok.decode(ids[:k] + [bad, -1] + after + ids[k:])
        assert f"<id:{bad}><id:-1>" in decoded
        # A word after a placeholder keeps its space, even at the start.
        assert decoded.replace(f"<id:{bad}><id:-1>", "") == " " * (k == 0) + text


def test_training(tmp_path, tok, capfd):
    a = train_tokenizer(TRAINING_TEXT, tmp_path / "a.model")
    assert (tmp_path / "a.model").read_bytes() == tok.path.read_bytes()    # deterministic
    assert capfd.readouterr().err == ""                                     # quiet
    assert 1000 < a.vocab_size < 32000      # as many pieces as the text allows
    assert train_tokenizer(TRAINING_TEXT, tmp_path / "b.model", max_vocab=400).vocab_size == 400
    with pytest.raises(ValueError, match="max_vocab=50"):   # fewer than the bytes and characters
        train_tokenizer(TRAINING_TEXT, tmp_path / "c.model", max_vocab=50)
    with pytest.raises(ValueError, match="non-blank line"):
        train_tokenizer(" \n\n", tmp_path / "c.model")


def test_model_without_bos_or_eos(tmp_path):
    out = io.BytesIO()
    sentencepiece.SentencePieceTrainer.train(
        sentence_iterator=iter(["a tiny text", "another tiny text"]), model_writer=out,
        model_type="char", bos_id=-1, eos_id=-1, minloglevel=2)
    (tmp_path / "tokenizer.model").write_bytes(out.getvalue())
    tok = load_tokenizer(tmp_path)
    assert (tok.bos_id, tok.eos_id) == (None, None)
    assert tok.decode(tok.encode("a tiny text")) == "a tiny text"


def test_lone_surrogate_is_named(tok):
    with pytest.raises(ValueError, match=r"lone surrogate '\\ud800' at 1"):
        tok.encode("a\ud800b")


@pytest.mark.parametrize("content", [None, b"", b"not a sentencepiece model"])
def test_unreadable_models(tmp_path, content):
    path = tmp_path / "tokenizer.model"
    if content is not None:
        path.write_bytes(content)
    with pytest.raises(CheckpointError, match="tokenizer.model"):
        Tokenizer(path)
    if content is None:
        assert load_tokenizer(tmp_path) is None
