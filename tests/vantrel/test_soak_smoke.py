"""A short run of the load script: threads, results equal to a single-threaded run, no growth."""
import pathlib
import subprocess
import sys


def test_soak_smoke(build_env):
    script = pathlib.Path(__file__).with_name("soak.py")
    out = subprocess.run([sys.executable, str(script), "--calls", "60", "--threads", "2",
                          "--rss-slack", "100"], capture_output=True, text=True, timeout=300,
                         env=build_env)
    assert out.returncode == 0, out.stdout + out.stderr
    assert "0 mismatches" in out.stdout and "0 errors" in out.stdout
