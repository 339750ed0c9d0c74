"""The command line in a subprocess: a tiny checkpoint decoded and validated, its report, and the
errors a user meets first (bad checkpoint, no tokenizer, module not built)."""
import os
import pathlib
import subprocess
import sys

import pytest

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
                 "host ms per token", "distinct bytes read per step: not counted",
                 "top token agrees", ": ok"):
        assert line in r.stdout, r.stdout
    assert "[0] '1 5 7 " in r.stdout and "[1] " in r.stdout


@pytest.mark.parametrize("args, code, message", [
    (["--prompt", "hello"], 1, "has no tokenizer.model: give the prompt as --prompt-ids"),
    (["--prompt-ids", "1,,2"], 2, "--prompt-ids must be comma-separated integers"),
    (["--top-p", "1.5"], 2, "--top-p must be in (0, 1]"),
    (["--temperature", "nan"], 2, "--temperature must be finite"),
    (["--layers", "2"], 2, "--layers applies to the synthetic checkpoint only"),
    (["--prompt-ids", "1,99"], 1, "token id 99"),
    (["--prompt-ids", "1", "--max-new-tokens", "0"], 2, "--max-new-tokens must be at least 1"),
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
