"""The command line in a subprocess: a tiny checkpoint decoded and validated, its report, a chat
prompt, and the errors a user meets first (bad checkpoint, no tokenizer, module not built)."""
import json
import pathlib
import subprocess
import sys

import pytest

from fuzz_tokenizer_json import tokenizer_json

_REPO = pathlib.Path(__file__).resolve().parents[2]


@pytest.fixture
def run_cli(build_env):
    def run(*args, env=None):
        return subprocess.run([sys.executable, "-m", "vantrel_llama", *map(str, args)], cwd=_REPO,
                              capture_output=True, text=True, timeout=300,
                              env=dict(build_env, **(env or {})))
    return run


def test_decodes_reports_and_validates(make_checkpoint, run_cli):
    folder, _ = make_checkpoint()
    r = run_cli(folder, "--prompt-ids", "1,5,7", "--max-new-tokens", "4", "--batch", "9",
                "--validate")
    assert r.returncode == 0, r.stderr
    for line in ("paths: q/k/v projection: PyTorch linear", "tokens/s:", "device ms per token",
                 "host ms per token", "distinct bytes read per step:",
                 " per layer x 2 layers + 7 fixed (token upload",
                 "tokenizer: none (ids are printed as numbers)",
                 "top token agrees", ": ok"):
        assert line in r.stdout, r.stdout
    assert "[0] '1 5 7 " in r.stdout and "[1] " in r.stdout


def test_quantized_at_load_validates_and_reports_its_effect(make_checkpoint, run_cli):
    folder, _ = make_checkpoint()
    r = run_cli(folder, "--prompt-ids", "1,5,7", "--max-new-tokens", "3", "--quantize", "int8",
                "--group-size", "32", "--validate")
    assert r.returncode == 0, r.stderr
    for line in ("weights: int8, group 32 (quantized at load) layers", "half 0.",
                 "int4 g128 0.", "of the dequantized weights", ": ok",
                 "quantization's effect (quantized logits against the half model's float32 "
                 "reference): top token agrees at"):
        assert line in r.stdout, r.stdout


@pytest.mark.parametrize("args, code, message", [
    (["--prompt", "hello"], 1, "has no tokenizer (tokenizer.json or tokenizer.model): give the "
                               "prompt as --prompt-ids"),
    (["--chat", "--prompt-ids", "1"], 2, "--chat takes the prompt as text"),
    (["--prompt-ids", "1,,2"], 2, "--prompt-ids must be comma-separated integers"),
    (["--top-p", "1.5"], 2, "--top-p must be in (0, 1]"),
    (["--temperature", "nan"], 2, "--temperature must be finite"),
    (["--layers", "2"], 2, "--layers applies to the synthetic checkpoint only"),
    (["--prompt-ids", "1,99"], 1, "token id 99"),
    (["--prompt-ids", "1", "--max-new-tokens", "0"], 2, "--max-new-tokens must be at least 1"),
    (["--quantize", "int4", "--group-size", "48"], 2, "--group-size must be one of 32, 64, 128"),
    (["--prompt-ids", "1", "--quantize", "int4", "--group-size", "64"], 1,
     "cannot quantize model.layers.*.mlp.down_proj with group_size 64: its input width 96"),
])
def test_bad_arguments(make_checkpoint, args, code, message, run_cli):
    folder, _ = make_checkpoint()
    r = run_cli(folder, *args)
    assert r.returncode == code and message in r.stderr, r.stderr


def test_bad_checkpoint_names_the_file(make_checkpoint, run_cli):
    folder, _ = make_checkpoint()
    (folder / "config.json").write_text('{"hidden_size": 64}')
    r = run_cli(folder, "--prompt-ids", "1")
    assert r.returncode == 2 and "config.json" in r.stderr and "intermediate_size" in r.stderr


def test_unbuilt_operators_say_how_to_build(run_cli):
    """The engine's sources alone on the path: the command line says what to build."""
    r = run_cli("--prompt-ids", "1", env={"PYTHONPATH": str(_REPO / "python")})
    assert r.returncode != 0 and "run scripts/setup" in r.stderr, r.stderr


@pytest.mark.parametrize("template", [
    "{{ bos_token }}{% for m in messages %}<|start_header_id|>{{ m['role'] }}<|end_header_id|>"
    "\n\n{{ m['content'] }}<|eot_id|>{% endfor %}"
    "{% if add_generation_prompt %}<|start_header_id|>assistant<|end_header_id|>\n\n{% endif %}",
    None])
def test_chat(make_checkpoint, run_cli, template):
    folder, _ = make_checkpoint(vocab_size=272, max_position_embeddings=128)
    (folder / "tokenizer.json").write_text(json.dumps(tokenizer_json(merges=0)))
    (folder / "tokenizer_config.json").write_text(json.dumps(
        {"bos_token": "<|begin_of_text|>", "eos_token": "<|eot_id|>", "chat_template": template}))
    r = run_cli(folder, "--chat", "--prompt", "Hi there", "--max-new-tokens", "2")
    if template is None:
        assert r.returncode == 2 and "tokenizer_config.json: has no chat_template" in r.stderr
        return
    assert r.returncode == 0, r.stderr
    assert f"tokenizer: byte-level BPE, 261 tokens (5 added), {folder}/tokenizer.json" in r.stdout
    assert ("[0] '<|begin_of_text|><|start_header_id|>user<|end_header_id|>\\n\\nHi there"
            "<|eot_id|><|start_header_id|>assistant<|end_header_id|>\\n\\n") in r.stdout, r.stdout


def test_unsupported_tokenizer_is_named(make_checkpoint, run_cli):
    folder, _ = make_checkpoint()
    (folder / "tokenizer.json").write_text(json.dumps({"model": {"type": "WordPiece"}}))
    r = run_cli(folder, "--prompt", "hello")
    assert r.returncode == 2 and "model.type: a WordPiece model is not supported" in r.stderr
    assert "tokenizer: none (" in r.stdout
