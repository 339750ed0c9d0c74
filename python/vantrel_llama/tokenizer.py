"""A checkpoint's tokenizer: its tokenizer.json when that is a byte-level BPE (bpe.py), otherwise
its tokenizer.model (SentencePiece: loading, decoding ids it does not know, padded output rows,
without failing, and training a small LLaMA-style model), otherwise none."""
import io
import re
from pathlib import Path
from typing import Iterable, List, Optional

import sentencepiece

from .bpe import UnsupportedKind, read_tokenizer_json
from .errors import CheckpointError

# The piece SentencePiece uses for a space; a decoded run that starts with it after a placeholder
# must keep its space (SentencePiece drops it at the start of a text).
_SPACE = "\u2581"


class Tokenizer:
    """A SentencePiece model: `encode` text to ids (BOS first), `decode` ids to text."""

    kind = "SentencePiece"

    def __init__(self, path, add_bos: bool = True, add_eos: bool = False):
        """Loads the SentencePiece model at `path`; raises CheckpointError naming the file when it
        cannot be read or is not a SentencePiece model. `add_bos` False: encode puts no BOS;
        `add_eos` True: it puts EOS last (a tokenizer_config.json's add_bos_token and
        add_eos_token)."""
        self.path = Path(path)
        self.add_bos, self.add_eos = add_bos, add_eos
        try:
            data = self.path.read_bytes()
        except OSError as e:
            raise CheckpointError(f"{self.path}: cannot read the tokenizer: {e}") from None
        self._sp = sentencepiece.SentencePieceProcessor()
        try:
            self._sp.LoadFromSerializedProto(data)
        except RuntimeError:
            raise CheckpointError(f"{self.path}: not a SentencePiece tokenizer model") from None
        # An empty file parses as a model without pieces.
        self.vocab_size = self._sp.get_piece_size()
        if self.vocab_size <= 0:
            raise CheckpointError(f"{self.path}: the SentencePiece tokenizer model has no pieces")
        self.bos_id = self._special(self._sp.bos_id())
        self.eos_id = self._special(self._sp.eos_id())
        # Control pieces (<s>, </s>) as text: matched in a rendered chat prompt only.
        controls = {self._sp.id_to_piece(i): i for i in range(self.vocab_size)
                    if self._sp.is_control(i)}
        self._control_ids = controls
        self._controls = re.compile("|".join(
            map(re.escape, sorted(controls, key=len, reverse=True)))) if controls else None

    def _special(self, i: int) -> Optional[int]:
        return i if 0 <= i < self.vocab_size else None

    def token_to_id(self, token: str) -> Optional[int]:
        i = self._sp.piece_to_id(token)
        return i if self._sp.id_to_piece(i) == token else None

    def describe(self) -> str:
        return f"{self.kind}, {self.vocab_size} pieces, {self.path}"

    def encode(self, text: str, bos: bool = True, allow_special: bool = False) -> List[int]:
        """The ids of `text`, with the BOS (and EOS) the model adds when `bos`. Control pieces
        written in the text (<s>) become their ids only when `allow_special`."""
        if not isinstance(text, str):
            raise TypeError(f"encode takes a str, not {type(text).__name__}")
        try:
            text.encode("utf-8")
        except UnicodeEncodeError as e:
            raise ValueError(f"the text holds a lone surrogate {text[e.start:e.end]!r} at "
                             f"{e.start}, which has no UTF-8 bytes") from None
        if allow_special and self._control_ids:
            ids, pos = [], 0
            for m in self._controls.finditer(text):
                ids += self._sp.encode(text[pos:m.start()]) + [self._control_ids[m.group()]]
                pos = m.end()
            ids += self._sp.encode(text[pos:])
        else:
            ids = self._sp.encode(text)
        if bos and self.add_bos and self.bos_id is not None:
            ids = [self.bos_id] + ids
        return ids + [self.eos_id] if bos and self.add_eos and self.eos_id is not None else ids

    def decode(self, ids: Iterable[int]) -> str:
        """The text of `ids` (a list, or a 1-D tensor or array). Ids the tokenizer does not know
        (negative, or >= vocab_size as padded output rows are) appear as "<id:N>"."""
        if hasattr(ids, "tolist"):
            ids = ids.tolist()
        ids = [int(i) for i in ids]
        parts, run = [], []

        def flush():
            if run:
                text = self._sp.decode(run)
                # SentencePiece drops the space of the run's first word (control pieces such as
                # <s> before it write nothing); after a placeholder it belongs to the text.
                first = next((i for i in run if not self._sp.is_control(i)), None)
                if parts and first is not None and self._sp.id_to_piece(first).startswith(_SPACE):
                    text = " " + text
                parts.append(text)
                run.clear()

        for i in ids:
            if 0 <= i < self.vocab_size:
                run.append(i)
            else:
                flush()
                parts.append(f"<id:{i}>")
        flush()
        return "".join(parts)

    def __repr__(self):
        return f"Tokenizer({str(self.path)!r}, vocab_size={getattr(self, 'vocab_size', None)})"


class NoText:
    """Stands for a tokenizer.json of a kind this engine does not read (and no tokenizer.model):
    ids work, asking for text raises CheckpointError naming the file and the kind."""

    kind = None
    vocab_size = 0
    bos_id = eos_id = None

    def __init__(self, error: CheckpointError):
        self.error = error

    def describe(self) -> str:
        return f"none ({self.error}; ids are printed as numbers)"

    def token_to_id(self, token):
        return None

    def encode(self, text, bos=True, allow_special=False):
        raise CheckpointError(str(self.error))

    decode = encode


def load_tokenizer(directory, tokenizer_config=None):
    """The tokenizer of the checkpoint in `directory`: its tokenizer.json when that is a byte-level
    BPE, else its tokenizer.model (SentencePiece), else a NoText naming the tokenizer.json's
    kind, else None. `tokenizer_config` (chat.TokenizerConfig) may set the BOS and EOS."""
    directory = Path(directory)
    add_bos = tokenizer_config.add_bos_token if tokenizer_config is not None else None
    add_eos = tokenizer_config.add_eos_token if tokenizer_config is not None else None
    bos_token = tokenizer_config.special.get("bos_token") if tokenizer_config else None
    eos_token = tokenizer_config.special.get("eos_token") if tokenizer_config else None
    unsupported = None
    if (directory / "tokenizer.json").is_file():
        try:
            tok = read_tokenizer_json(directory / "tokenizer.json", add_bos, bos_token, add_eos,
                                      eos_token)
            if tokenizer_config is not None:
                tok.eos_id = tokenizer_config.token_id(tok, "eos_token")
            return tok
        except UnsupportedKind as e:
            unsupported = e
    if (directory / "tokenizer.model").is_file():
        return Tokenizer(directory / "tokenizer.model", add_bos=add_bos is not False,
                         add_eos=add_eos is True)
    return NoText(unsupported) if unsupported is not None else None


def _train(lines: List[str], vocab_size: int) -> bytes:
    out = io.BytesIO()
    sentencepiece.SentencePieceTrainer.train(
        sentence_iterator=iter(lines), model_writer=out, model_type="bpe", vocab_size=vocab_size,
        # LLaMA's layout: <unk>, <s>, </s> first, no padding piece, unknown characters as bytes,
        # digits one by one, text taken as it is (no normalisation, spaces kept).
        unk_id=0, bos_id=1, eos_id=2, pad_id=-1, byte_fallback=True, split_digits=True,
        character_coverage=1.0, normalization_rule_name="identity", remove_extra_whitespaces=False,
        allow_whitespace_only_pieces=True,
        max_sentence_length=max(4192, max(len(s.encode()) for s in lines) + 1),
        num_threads=1, minloglevel=2)
    return out.getvalue()


def train_tokenizer(text: str, model_path, max_vocab: int = 32000) -> Tokenizer:
    """Trains a BPE SentencePiece model on `text` with as many pieces as the text allows, at most
    `max_vocab`, writes it to `model_path` and returns it. The same text gives the same file."""
    if isinstance(max_vocab, bool) or not isinstance(max_vocab, int) or max_vocab <= 0:
        raise ValueError(f"max_vocab must be a positive int, got {max_vocab!r}")
    lines = [line for line in text.splitlines() if line.strip()]
    if not lines:
        raise ValueError("train_tokenizer needs a text with at least one non-blank line")
    try:
        model = _train(lines, max_vocab)
    except RuntimeError as e:
        # BPE needs the exact size; the trainer reports the largest one the text allows.
        found = re.search(r"Vocabulary size too high \(\d+\)\. Please set it to a value <= (\d+)",
                          str(e))
        if not found:
            raise ValueError(f"cannot train a tokenizer with max_vocab={max_vocab}: {e}") from None
        model = _train(lines, int(found.group(1)))
    Path(model_path).write_bytes(model)
    return Tokenizer(model_path)
