"""Two ranks started by parallel.launch (running parallel_worker.py): their collectives, a rank
killed or stalled without the other hanging, and backend names that are not available."""
import os
import pathlib
import socket
import subprocess
import sys
import time

import pytest

from vantrel_llama import parallel


def _running(pid):
    try:  # a zombie (exited, not yet reaped by its new parent) is not running
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rsplit(")", 1)[1].split()[0] != "Z"
    except FileNotFoundError:
        return False


@pytest.mark.parametrize("mode, messages", [
    ("kill", ["rank 1 exited with signal SIGKILL"]),  # rank 0 is waiting in an all-reduce
    # rank 0's all-reduce times out after 3 s
    ("stall", ["rank 0 exited with exit code 3",
               "CollectiveError: rank 0 of 2: the all-reduce failed (a rank stopped, or did not "
               "join within the group's timeout)"]),
])
def test_a_lost_rank_stops_the_run(build_env, monkeypatch, tmp_path, capfd, mode, messages):
    here = str(pathlib.Path(__file__).resolve().parent)
    monkeypatch.setenv("PYTHONPATH", os.pathsep.join([build_env["PYTHONPATH"], here]))
    with socket.socket() as busy:  # the first free port is taken before the agent binds it
        busy.bind(("127.0.0.1", 0))
        busy.listen()
        ports, free = iter([busy.getsockname()[1]]), parallel._free_port
        monkeypatch.setattr(parallel, "_free_port", lambda: next(ports, None) or free())
        start = time.monotonic()
        rc = parallel.launch([mode, str(tmp_path)], 2, module="parallel_worker")
        seconds = time.monotonic() - start
    out, err = capfd.readouterr()
    assert rc != 0 and all(m in err for m in messages), out + err
    if mode == "kill":  # the collectives held on both ranks first
        assert "rank 0 ok" in out and "rank 1 ok" in out, out + err
    assert seconds < 60
    pids = [int(p) for p in (tmp_path / "pids").read_text().split()]
    assert len(pids) == 2, "a rank was restarted"
    assert not any(map(_running, pids)), "a rank was left running"


def test_ranks_end_when_the_launcher_is_killed(build_env, tmp_path):
    """SIGKILL gives the launcher's agent no chance to stop the ranks: they end with it."""
    env = dict(build_env, PYTHONPATH=os.pathsep.join([build_env["PYTHONPATH"],
                                                      str(pathlib.Path(__file__).parent)]))
    code = ("import sys; from vantrel_llama import parallel; "
            "parallel.launch(['stall', sys.argv[1]], 2, module='parallel_worker')")
    launcher = subprocess.Popen([sys.executable, "-c", code, str(tmp_path)], env=env)
    pids = tmp_path / "pids"
    deadline = time.monotonic() + 60
    while time.monotonic() < deadline and len(pids.read_text().split() if pids.exists() else
                                               []) < 2:
        time.sleep(0.1)
    time.sleep(1)  # the ranks are in their process group (rank 1 then sleeps 70 s)
    launcher.kill()
    launcher.wait()
    ranks = [int(p) for p in pids.read_text().split()]
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline and any(map(_running, ranks)):
        time.sleep(0.1)
    assert not any(map(_running, ranks)), "a rank outlived its launcher"


@pytest.mark.parametrize("call, env, words", [
    (lambda: parallel.init(backend="nccl"), {}, ["--dist-backend", "'nccl'", "gloo"]),
    (lambda: parallel.launch([], 2, backend="mpi"), {}, ["--dist-backend", "'mpi'"]),
    (lambda: parallel.launch([], 0), {}, ["--tp"]),
    (lambda: parallel.init(), {"WORLD_SIZE": "2", "RANK": "0", "MASTER_ADDR": "127.0.0.1",
                               "MASTER_PORT": "1", "VANTREL_DIST_BACKEND": "bogus"},
     ["VANTREL_DIST_BACKEND", "'bogus'"]),
    (lambda: parallel.init(), {"WORLD_SIZE": "2", "RANK": "2"}, ["RANK", "0 to 1"]),
])
def test_bad_arguments_are_named(monkeypatch, call, env, words):
    for name, value in env.items():
        monkeypatch.setenv(name, value)
    with pytest.raises(ValueError) as e:
        call()
    assert all(w in str(e.value) for w in words), e.value


def test_a_single_process_has_no_group(monkeypatch):
    monkeypatch.delenv("WORLD_SIZE", raising=False)
    assert parallel.init() is None
