"""The command line: a tiny checkpoint decoded and validated, a chat prompt on layers quantized at
load, and the errors a user meets first. Full runs start an interpreter as a user does; the errors
come from main() called in this process, with the exit status the interpreter would give."""
import json
import pathlib
import subprocess
import sys

import pytest
import torch

import vantrel_llama
from fuzz_tokenizer_json import tokenizer_json
from vantrel_llama import cli, parallel
from vantrel_llama.cli import main

_REPO = pathlib.Path(__file__).resolve().parents[2]
CHAT_TEMPLATE = (
    "{{ bos_token }}{% for m in messages %}<|start_header_id|>{{ m['role'] }}<|end_header_id|>"
    "\n\n{{ m['content'] }}<|eot_id|>{% endfor %}"
    "{% if add_generation_prompt %}<|start_header_id|>assistant<|end_header_id|>\n\n{% endif %}")


def run_cli(env, *args):
    return subprocess.run([sys.executable, "-m", "vantrel_llama", *map(str, args)], cwd=_REPO,
                          capture_output=True, text=True, timeout=300, env=env)


def chat_checkpoint(make_checkpoint, template):
    folder, _ = make_checkpoint(vocab_size=272, max_position_embeddings=128)
    (folder / "tokenizer.json").write_text(json.dumps(tokenizer_json(merges=0)))
    (folder / "tokenizer_config.json").write_text(json.dumps(
        {"bos_token": "<|begin_of_text|>", "eos_token": "<|eot_id|>", "chat_template": template}))
    return folder


def test_decodes_reports_and_validates(make_checkpoint, build_env):
    folder, _ = make_checkpoint()
    r = run_cli(build_env, folder, "--prompt-ids", "1,5,7", "--max-new-tokens", "4", "--batch",
                "9", "--validate")
    assert r.returncode == 0, r.stderr
    for line in ("paths: q/k/v projection: PyTorch linear", "tokens/s:", "device ms per token",
                 "host ms per token", "distinct bytes read per step:",
                 " per layer x 2 layers + 7 fixed (token upload",
                 "tokenizer: none (ids are printed as numbers)",
                 "top token agrees", ": ok", "[0] '1 5 7 ", "[1] "):
        assert line in r.stdout, r.stdout


def test_chat_prompt_on_layers_quantized_at_load(make_checkpoint, build_env):
    folder = chat_checkpoint(make_checkpoint, CHAT_TEMPLATE)
    r = run_cli(build_env, folder, "--chat", "--prompt", "Hi there", "--max-new-tokens", "3",
                "--quantize", "int8", "--group-size", "32", "--validate")
    assert r.returncode == 0, r.stderr
    for line in (f"tokenizer: byte-level BPE, 261 tokens (5 added), {folder}/tokenizer.json",
                 "[0] '<|begin_of_text|><|start_header_id|>user<|end_header_id|>\\n\\nHi there"
                 "<|eot_id|><|start_header_id|>assistant<|end_header_id|>\\n\\n",
                 "weights: int8, group 32 (quantized at load) layers", "half 0.", "int4 g128 0.",
                 "of the dequantized weights", ": ok",
                 "quantization's effect (quantized logits against the half model's float32 "
                 "reference): top token agrees at"):
        assert line in r.stdout, r.stdout


def test_unbuilt_operators_say_how_to_build(build_env):
    r = run_cli(dict(build_env, PYTHONPATH=str(_REPO / "python")), "--prompt-ids", "1")
    assert r.returncode != 0 and "run scripts/setup" in r.stderr, r.stderr


def run_main(capsys, *args):
    """main(args) -> (exit status, stdout, stderr) as the interpreter would end."""
    try:
        return main(list(map(str, args))), *capsys.readouterr()
    except SystemExit as e:  # a message is printed to stderr with status 1
        out, err = capsys.readouterr()
        return (e.code, out, err) if isinstance(e.code, int) else (1, out, err + e.code)


@pytest.mark.parametrize("files, args, code, message", [
    ({}, ["--prompt", "hello"], 1, "has no tokenizer (tokenizer.json or tokenizer.model): give "
                                   "the prompt as --prompt-ids"),
    ({}, ["--chat", "--prompt-ids", "1"], 2, "--chat takes the prompt as text"),
    ({}, ["--prompt-ids", "1,,2"], 2, "--prompt-ids must be comma-separated integers"),
    ({}, ["--top-p", "1.5"], 2, "--top-p must be in (0, 1]"),
    ({}, ["--temperature", "nan"], 2, "--temperature must be finite"),
    ({}, ["--seed", str(2 ** 64)], 2, "--seed must fit in 64 bits"),
    ({}, ["--layers", "2"], 2, "--layers applies to the synthetic checkpoint only"),
    ({}, ["--prompt-ids", "1,99"], 1, "token id 99"),
    ({}, ["--prompt-ids", "1", "--max-new-tokens", "0"], 2, "--max-new-tokens must be at least 1"),
    ({}, ["--quantize", "int4", "--group-size", "48"], 2,
     "--group-size must be one of 32, 64, 128"),
    ({}, ["--prompt-ids", "1", "--quantize", "int4", "--group-size", "64"], 1,
     "cannot quantize model.layers.*.mlp.down_proj with group_size 64: its input width 96"),
    ({"config.json": '{"hidden_size": 64}'}, ["--prompt-ids", "1"], 2,
     "config.json: the required key intermediate_size is missing"),
    ({"tokenizer.json": '{"model": {"type": "WordPiece"}}'}, ["--prompt", "hello"], 2,
     "model.type: a WordPiece model is not supported"),
    (None, ["--chat", "--prompt", "Hi"], 2, "tokenizer_config.json: has no chat_template"),
])
def test_errors(make_checkpoint, capsys, files, args, code, message):
    if files is None:  # a chat checkpoint without a template
        folder = chat_checkpoint(make_checkpoint, None)
    else:
        folder, _ = make_checkpoint()
        for name, text in files.items():
            (folder / name).write_text(text)
    status, out, err = run_main(capsys, folder, *args)
    assert status == code and message in err, err
    if files and "tokenizer.json" in files:
        assert "tokenizer: none (" in out, out


def test_figures_count_the_steps_of_rows_that_end_early(make_checkpoint, capsys):
    folder, _ = make_checkpoint()
    first = int(vantrel_llama.load(folder).generate(torch.tensor([[1, 5, 7]]), 1)[0, -1])
    config = json.loads((folder / "config.json").read_text())
    (folder / "config.json").write_text(json.dumps(dict(config, eos_token_id=first)))
    status, out, err = run_main(capsys, folder, "--prompt-ids", "1,5,7", "--max-new-tokens",
                                "20", "--batch", "9")
    # Each group of rows stops after its first token: 9 tokens decoded, not 9 x 20.
    assert status == 0 and "(9 tokens in" in out and "2 of 2 groups stopped early" in out, out


def test_tp_launches_ranks_from_a_single_process(make_checkpoint, capsys, monkeypatch):
    folder, _ = make_checkpoint(hidden_size=512, intermediate_size=1536, num_attention_heads=8)
    calls = []
    monkeypatch.setattr(parallel, "launch", lambda argv, tp, backend: calls.append((argv, tp)))
    monkeypatch.setattr(cli, "synthetic_dir", lambda layers: folder)
    monkeypatch.setenv("WORLD_SIZE", "1")  # one process: not a rank of a group
    run_main(capsys, "--tp", "2", "--lay", "3", "--prompt-ids", "1")
    assert calls == [([str(folder), "--prompt-ids", "1"], 2)]  # --layers as argparse spells it
    # A split the ranks would refuse is refused before they start.
    status, out, err = run_main(capsys, folder, "--tp", "3")
    assert status == 2 and "--tp 3 does not divide the 8 query heads" in err and len(calls) == 1
