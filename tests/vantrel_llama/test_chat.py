"""vantrel_llama.chat and end tokens: tokenizer_config.json, a LLaMA-3.1-style chat template
rendered in the sandbox, chat prompt ids, and the union of the checkpoint's end tokens."""
import datetime
import json

import pytest
import torch

from fuzz_tokenizer_json import tokenizer_json
from vantrel_llama import CheckpointError, load
from vantrel_llama.bpe import read_tokenizer_json
from vantrel_llama.chat import chat_ids, read_tokenizer_config, render_chat

# In the style of LLaMA-3.1's: a system header with the date, tools as JSON, one header per turn.
BOS = "{{- bos_token }}"
TEMPLATE = BOS + """
{%- if not date_string is defined %}
    {%- set date_string = strftime_now("%d %b %Y") %}
{%- endif %}
{%- if messages[0]['role'] == 'system' %}
    {%- set system_message = messages[0]['content'] | trim %}
    {%- set messages = messages[1:] %}
{%- else %}
    {%- set system_message = "" %}
{%- endif %}
{{- "<|start_header_id|>system<|end_header_id|>\\n\\n" }}
{{- "Today Date: " + date_string + "\\n\\n" }}
{%- if tools is not none %}
    {%- for t in tools %}
        {{- t | tojson(indent=2) + "\\n\\n" }}
    {%- endfor %}
{%- endif %}
{{- system_message + "<|eot_id|>" }}
{%- for message in messages %}
    {%- if message['role'] not in ['user', 'assistant'] %}
        {{- raise_exception("Unknown role: " + message['role']) }}
    {%- endif %}
    {{- '<|start_header_id|>' + message['role'] + '<|end_header_id|>\\n\\n' }}
    {{- message['content'] | trim + '<|eot_id|>' }}
{%- endfor %}
{%- if add_generation_prompt %}
    {{- '<|start_header_id|>assistant<|end_header_id|>\\n\\n' }}
{%- endif %}
"""
CONFIG = {"bos_token": "<|begin_of_text|>", "eos_token": {"content": "<|eot_id|>"},
          "chat_template": TEMPLATE}
MESSAGES = [{"role": "system", "content": "Be brief. "}, {"role": "user", "content": "Hi <3"}]
RENDERED = ("<|begin_of_text|><|start_header_id|>system<|end_header_id|>\n\nToday Date: 26 Jul "
            "2024\n\nBe brief.<|eot_id|><|start_header_id|>user<|end_header_id|>\n\nHi <3"
            "<|eot_id|><|start_header_id|>assistant<|end_header_id|>\n\n")


def config(tmp_path, **changes):
    path = tmp_path / "tokenizer_config.json"
    path.write_text(json.dumps(dict(CONFIG, **changes)))
    return read_tokenizer_config(path)


def test_renders_the_llama3_format(tmp_path):
    cfg = config(tmp_path)
    assert render_chat(cfg, MESSAGES, date_string="26 Jul 2024") == RENDERED
    today = datetime.datetime.now().strftime("%d %b %Y")
    out = render_chat(cfg, MESSAGES[1:], add_generation_prompt=False,
                      tools=[{"name": "f", "note": "<&>é"}])
    assert f"Today Date: {today}\n\n" in out and not out.endswith("<|end_header_id|>\n\n")
    assert '{\n  "name": "f",\n  "note": "<&>é"\n}' in out  # JSON as it is, not HTML-escaped
    named = config(tmp_path, chat_template=[{"name": "tool_use", "template": "x"},
                                            {"name": "default", "template": TEMPLATE}])
    assert render_chat(named, MESSAGES, date_string="26 Jul 2024") == RENDERED


@pytest.mark.parametrize("template, messages, error, match", [
    (TEMPLATE, [{"role": "tool", "content": "x"}], ValueError, "refuses the messages: Unknown "
                                                               "role: tool"),
    ("{{ bos_token }}{{ some_helper() }}", MESSAGES, CheckpointError, "'some_helper' is undefined"),
    ("{{ messages[0].content.__class__.__mro__ }}", MESSAGES, CheckpointError, "chat_template"),
    ("{{ messages.append(1) }}", MESSAGES, CheckpointError, "chat_template fails"),
    ("{% if %}", MESSAGES, CheckpointError, "chat_template line 1"),
    (None, MESSAGES, CheckpointError, "has no chat_template"),
    (TEMPLATE, [{"role": "user"}], ValueError, "messages must be a list"),
])
def test_refusals(tmp_path, template, messages, error, match):
    cfg = config(tmp_path, chat_template=template)
    with pytest.raises(error, match=match) as e:
        render_chat(cfg, messages)
    if error is CheckpointError:
        assert str(e.value).startswith(str(cfg.path))


def test_template_cannot_change_the_callers_data(tmp_path):
    # The sandbox lets list.pop and list.clear through: the template gets copies.
    cfg = config(tmp_path, chat_template="{{ tools.pop() }}{{ messages[0].parts.clear() }}"
                                         "{{ messages.pop() }}{{ extra.pop() }}")
    tools, messages, extra = [{"name": "f"}], [dict(MESSAGES[1], parts=[1])], [2]
    render_chat(cfg, messages, tools=tools, extra=extra)
    assert (tools, messages, extra) == ([{"name": "f"}], [dict(MESSAGES[1], parts=[1])], [2])


@pytest.mark.parametrize("changes, key", [
    ({"eos_token": 5}, "eos_token must be a string"),
    ({"bos_token": {"content": None}}, "bos_token.content"),
    ({"add_bos_token": "yes"}, "add_bos_token must be true or false"),
    ({"add_eos_token": 1}, "add_eos_token must be true or false"),
    ({"chat_template": 3}, "chat_template must be a string"),
    ({"chat_template": [{"name": "tool_use", "template": "x"}]}, "names no \"default\""),
    ({"chat_template": [{"name": "default"}]}, "chat_template[0]"),
])
def test_bad_tokenizer_config(tmp_path, changes, key):
    with pytest.raises(CheckpointError) as e:
        config(tmp_path, **changes)
    assert str(e.value).startswith(str(tmp_path / "tokenizer_config.json")) and key in str(e.value)


@pytest.mark.parametrize("template", [TEMPLATE, TEMPLATE[len(BOS):]],
                         ids=["bos in the template", "bos from the tokenizer"])
def test_chat_ids(tmp_path, template):
    (tmp_path / "tokenizer.json").write_text(json.dumps(tokenizer_json()))
    tok = read_tokenizer_json(tmp_path / "tokenizer.json")
    ids = chat_ids(tok, config(tmp_path, chat_template=template), MESSAGES,
                   date_string="26 Jul 2024")
    assert ids == tok.encode(RENDERED, bos=False, allow_special=True)  # BOS once either way
    assert ids.count(tok.bos_id) == 1 and ids.count(tok.token_to_id("<|eot_id|>")) == 2
    with pytest.raises(CheckpointError, match="tokenizer_config.json: not found"):
        chat_ids(tok, None, MESSAGES, source=str(tmp_path))


def _files(folder, generation=None, eos_token="<|eot_id|>"):
    (folder / "tokenizer.json").write_text(json.dumps(tokenizer_json(merges=10)))
    (folder / "tokenizer_config.json").write_text(json.dumps(dict(CONFIG, eos_token=eos_token)))
    if generation is not None:
        (folder / "generation_config.json").write_text(
            generation if isinstance(generation, str) else json.dumps(generation))


def test_end_tokens_are_the_union(make_checkpoint):
    folder, _ = make_checkpoint(vocab_size=288, max_position_embeddings=128)  # 271 tokens
    _files(folder, {"eos_token_id": [7, 2]})
    model = load(folder)
    eot = model.tokenizer.token_to_id("<|eot_id|>")
    assert model.end_token_ids == (2, 7, eot)
    ids = torch.tensor([model.chat_ids(MESSAGES[1:], date_string="1 Jan 2025")])
    free = model.generate(ids, 6, eos_token_id=())
    first = int(free[0, ids.shape[1]])
    # generation_config.json naming the first new token stops generation there.
    _files(folder, {"eos_token_id": first})
    out = load(folder).generate(ids, 6)
    assert not (free[0, ids.shape[1]:] == first).all()  # it would have gone on otherwise
    assert out.shape == free.shape and (out[0, ids.shape[1]:] == first).all()


@pytest.mark.parametrize("generation, eos_token, match", [
    ("{", "<|eot_id|>", "generation_config.json: not valid JSON"),
    ({"eos_token_id": 9999}, "<|eot_id|>", "generation_config.json: eos_token_id must be"),
    ({"eos_token_id": [True]}, "<|eot_id|>", "generation_config.json: eos_token_id must be"),
    (None, "<|nope|>", "tokenizer_config.json: eos_token '<|nope|>' is not a token"),
])
def test_bad_end_tokens(make_checkpoint, generation, eos_token, match):
    folder, _ = make_checkpoint(vocab_size=288, max_position_embeddings=128)
    _files(folder, generation, eos_token)
    with pytest.raises(CheckpointError, match=match):
        load(folder)
