"""A checkpoint's tokenizer_config.json (its special tokens, add_bos_token, add_eos_token and chat
template) and
chat prompts: a list of {"role", "content"} messages rendered with the Jinja chat template in a
sandbox, then encoded with the special tokens the rendered text names."""
import copy
import datetime
import json
from dataclasses import dataclass, field
from pathlib import Path
from typing import Dict, List, Optional

from .errors import CheckpointError
from .jsonfile import read_json_object

SPECIAL_KEYS = ("bos_token", "eos_token", "unk_token", "pad_token")


@dataclass
class TokenizerConfig:
    """What this engine reads from a tokenizer_config.json."""
    path: Path
    special: Dict[str, str] = field(default_factory=dict)  # bos_token ... as their text
    add_bos_token: Optional[bool] = None
    add_eos_token: Optional[bool] = None
    chat_template: Optional[str] = None

    def token_id(self, tokenizer, key: str) -> Optional[int]:
        """The id of the special token `key` (e.g. "eos_token") through `tokenizer`; None when the
        file does not name one or there is no tokenizer to resolve it with."""
        token = self.special.get(key)
        if token is None or tokenizer is None or tokenizer.kind is None:
            return None
        i = tokenizer.token_to_id(token)
        if i is None:
            raise CheckpointError(f"{self.path}: {key} {token!r} is not a token of "
                                  f"{tokenizer.path.name}")
        return i


def read_tokenizer_config(path) -> Optional[TokenizerConfig]:
    """Reads and checks the tokenizer_config.json at `path`; None when there is none."""
    path = Path(path)
    if not path.is_file():
        return None

    def fail(key, problem):
        raise CheckpointError(f"{path}: {key} {problem}")

    d = read_json_object(path)
    out = TokenizerConfig(path)
    for key in SPECIAL_KEYS:
        v = d.get(key)
        if isinstance(v, dict):  # {"content": "<s>", "lstrip": ...}
            v = v.get("content")
            if not isinstance(v, str):
                fail(key + ".content", f"must be a string, got {v!r:.60}")
        if v is not None and not isinstance(v, str):
            fail(key, f"must be a string or {{\"content\": string}}, got {v!r:.60}")
        if v:
            out.special[key] = v
    for key in ("add_bos_token", "add_eos_token"):
        v = d.get(key)
        if v is not None and not isinstance(v, bool):
            fail(key, f"must be true or false, got {v!r:.60}")
        setattr(out, key, v)
    template = d.get("chat_template")
    if isinstance(template, list):  # named templates: the default one
        for k, t in enumerate(template):
            if not (isinstance(t, dict) and isinstance(t.get("name"), str)
                    and isinstance(t.get("template"), str)):
                fail(f"chat_template[{k}]", "must be {\"name\": string, \"template\": string}")
        named = {t["name"]: t["template"] for t in template}
        if "default" not in named:
            fail("chat_template", f"names no \"default\" template (it has {sorted(named)})")
        template = named["default"]
    if template is not None and not isinstance(template, str):
        fail("chat_template", f"must be a string or a list of named templates, got "
                              f"{template!r:.60}")
    out.chat_template = template
    return out


class _Refused(Exception):
    """raise_exception called by a template."""


def _raise_exception(message):
    raise _Refused(message)


def _strftime_now(fmt):
    return datetime.datetime.now().strftime(fmt)


def _tojson(value, indent=None, separators=None, sort_keys=False, ensure_ascii=False):
    # JSON as it is (jinja2's own filter escapes <, >, & and ' for HTML).
    return json.dumps(value, indent=indent, separators=separators, sort_keys=sort_keys,
                      ensure_ascii=ensure_ascii)


def _copy(value):
    try:
        return copy.deepcopy(value)
    except Exception:  # noqa: BLE001  (a value that cannot be copied is passed as it is)
        return value


def _environment():
    import jinja2
    from jinja2.sandbox import ImmutableSandboxedEnvironment
    from jinja2.utils import missing

    class Undefined(jinja2.Undefined):
        """A name the template uses but nothing provides fails naming it (`is defined` still
        tests it); a missing key or attribute of a value stays an empty undefined."""
        __slots__ = ()

        def _check(self):
            if self._undefined_obj is missing:
                self._fail_with_undefined_error()

        def __str__(self):
            self._check()
            return ""

        def __bool__(self):
            self._check()
            return False

        def __iter__(self):
            self._check()
            return iter(())

        def __len__(self):
            self._check()
            return 0

        def __eq__(self, other):
            self._check()
            return type(self) is type(other)

        __hash__ = jinja2.Undefined.__hash__

    env = ImmutableSandboxedEnvironment(trim_blocks=True, lstrip_blocks=True, undefined=Undefined,
                                        extensions=["jinja2.ext.loopcontrols"])
    env.filters["tojson"] = _tojson
    env.globals.update(raise_exception=_raise_exception, strftime_now=_strftime_now)
    return env


def render_chat(config: TokenizerConfig, messages: List[dict], add_generation_prompt: bool = True,
                tools: Optional[list] = None, **variables) -> str:
    """The text of `messages` through the chat template of `config`, with its special tokens,
    add_generation_prompt, tools and any other `variables` (e.g. date_string). A template that
    calls raise_exception raises ValueError with its message; one that cannot be compiled or asks
    for something not provided raises CheckpointError naming the file."""
    import jinja2

    if config.chat_template is None:
        raise CheckpointError(f"{config.path}: has no chat_template (this checkpoint has no chat "
                              f"format)")
    if not isinstance(messages, list) or not all(
            isinstance(m, dict) and isinstance(m.get("role"), str)
            and isinstance(m.get("content"), str) for m in messages):
        raise ValueError("messages must be a list of {\"role\": str, \"content\": str}")
    env = _environment()
    try:
        template = env.from_string(config.chat_template)
    except jinja2.TemplateSyntaxError as e:
        raise CheckpointError(f"{config.path}: chat_template line {e.lineno}: {e.message}") \
            from None
    # The template works on copies: the sandbox lets it call list.pop and list.clear, which must
    # not reach the caller's messages, tools or variables.
    context = dict(config.special, add_generation_prompt=add_generation_prompt,
                   **{k: _copy(v) for k, v in dict(variables, messages=messages,
                                                   tools=tools).items()})
    try:
        return template.render(**context)
    except _Refused as e:
        raise ValueError(f"the chat template of {config.path} refuses the messages: {e}") \
            from None
    except jinja2.UndefinedError as e:
        raise CheckpointError(f"{config.path}: chat_template asks for something this engine does "
                              f"not provide: {e.message}") from None
    except Exception as e:  # noqa: BLE001  (any fault of a template the checkpoint brings)
        raise CheckpointError(f"{config.path}: chat_template fails: {type(e).__name__}: "
                              f"{str(e)[:200]}") from None


def chat_ids(tokenizer, config: Optional[TokenizerConfig], messages: List[dict],
             add_generation_prompt: bool = True, source: str = "", **variables) -> List[int]:
    """The prompt ids of `messages`: rendered with the checkpoint's chat template and encoded with
    the special tokens the text names, the tokenizer's BOS first unless the template wrote it."""
    if config is None:
        raise CheckpointError(f"{Path(source) / 'tokenizer_config.json'}: not found; a chat needs "
                              f"the chat_template it holds")
    text = render_chat(config, messages, add_generation_prompt, **variables)
    if tokenizer is None:
        raise CheckpointError(f"{source}: has no tokenizer (tokenizer.json or tokenizer.model) to "
                              f"encode the chat with")
    ids = tokenizer.encode(text, bos=False, allow_special=True)
    bos = tokenizer.bos_id
    if bos is not None and tokenizer.encode("", bos=True)[:1] == [bos] and ids[:1] != [bos]:
        ids = [bos] + ids
    return ids
