"""The driver the file fuzzers share: seeded files run one by one into a scratch path, outcomes
counted by label, failures listed with the line that reproduces them."""
import argparse
import collections
import pathlib
import tempfile
import time


def unclear(path, error):
    """None when a CheckpointError names the file and says something, else the problem."""
    message = str(error)
    if message.startswith(f"{path}: ") and len(message) > len(str(path)) + 8:
        return None
    return f"unclear message {message[:200]!r}"


def not_checkpoint_error(error):
    """(label, problem) of an exception other than CheckpointError."""
    name = type(error).__name__
    return f"{name} (not CheckpointError)", f"raised {name}: {str(error)[:300]}"


def outcome(label, problem, script, seed, index, kind):
    """(label, failure or None) of one file, the failure with the line that reproduces it."""
    if not problem:
        return label, None
    return label, (f"file {index} ({kind}): {problem}\n    reproduce: PYTHONPATH=build/lib "
                   f"/usr/bin/python3 tests/vantrel_llama/{script} --seed {seed} --index {index} -v")


def run(run_file, filename, seed, files, start=0):
    """Files start .. start + files - 1 of `seed` through run_file(seed, index, path) ->
    (label, failure or None); returns (Counter of labels, list of failures)."""
    counts, failures = collections.Counter(), []
    with tempfile.TemporaryDirectory() as tmp:
        path = pathlib.Path(tmp) / filename
        for i in range(start, start + files):
            label, failure = run_file(seed, i, path)
            counts[label] += 1
            if failure:
                failures.append(failure)
    return counts, failures


def main(doc, make_file, run_file, filename, default_files):
    """The command line of a fuzzer: --files N --seed S, or --index I [-v] for one file."""
    ap = argparse.ArgumentParser(description=doc.split("\n\n")[0])
    ap.add_argument("--files", type=int, default=default_files)
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--index", type=int, help="run only this file")
    ap.add_argument("-v", "--verbose", action="store_true")
    a = ap.parse_args()
    if a.index is not None:
        blob, kind = make_file(a.seed, a.index)
        print(kind, len(blob), "bytes:", blob[:400] if a.verbose else blob[:100])
        with tempfile.TemporaryDirectory() as tmp:
            label, failure = run_file(a.seed, a.index, pathlib.Path(tmp) / filename)
        print(label)
        print(failure or "ok")
        return 1 if failure else 0
    t0 = time.time()
    counts, failures = run(run_file, filename, a.seed, a.files)
    print(f"{a.files} files in {time.time() - t0:.1f} s, {len(failures)} failures")
    for label, c in sorted(counts.items(), key=lambda kv: (-kv[1], kv[0])):
        print(f"  {c:6d}  {label}")
    for f in failures[:100]:
        print(f)
    return 1 if failures else 0
