"""The driver the file fuzzers share: seeded files written one by one into a scratch path and read,
outcomes counted by label, failures listed with the line that reproduces them."""
import argparse
import collections
import inspect
import pathlib
import tempfile
import time

from vantrel_llama import CheckpointError


def unclear(path, error):
    """None when a CheckpointError names the file and says something, else the problem."""
    message = str(error)
    if message.startswith(f"{path}: ") and len(message) > len(str(path)) + 8:
        return None
    return f"unclear message {message[:200]!r}"


def outcome(read, path, loaded, refused, clear=unclear):
    """(label, problem or None) of read() -> problem or None: `loaded` when it returns; for a
    CheckpointError e, refused(e) and clear(path, e); any other exception is a problem."""
    try:
        return loaded, read()
    except CheckpointError as e:
        return refused(e), clear(path, e)
    except Exception as e:  # noqa: BLE001
        name = type(e).__name__
        return f"{name} (not CheckpointError)", f"raised {name}: {str(e)[:300]}"


def commands(doc, make_file, run_file, filename, default_files):
    """(run(seed, files, start=0) -> (Counter of labels, failures), main()) of a fuzzer whose
    run_file(seed, index, path) -> (label, problem or None, kind) writes file `index` and reads it;
    make_file(seed, index) -> (bytes, kind)."""
    script = pathlib.Path(inspect.getfile(run_file)).name

    def run_one(seed, index, path):
        label, problem, kind = run_file(seed, index, path)
        return label, problem and (
            f"file {index} ({kind}): {problem}\n    reproduce: PYTHONPATH=build/lib "
            f"/usr/bin/python3 tests/vantrel_llama/{script} --seed {seed} --index {index} -v")

    def run(seed, files, start=0):
        counts, failures = collections.Counter(), []
        with tempfile.TemporaryDirectory() as tmp:
            for i in range(start, start + files):
                label, failure = run_one(seed, i, pathlib.Path(tmp) / filename)
                counts[label] += 1
                if failure:
                    failures.append(failure)
        return counts, failures

    def main():
        """--files N --seed S, or --index I [-v] for one file."""
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
                label, failure = run_one(a.seed, a.index, pathlib.Path(tmp) / filename)
            print(label, failure or "ok", sep="\n")
            return 1 if failure else 0
        t0 = time.time()
        counts, failures = run(a.seed, a.files)
        print(f"{a.files} files in {time.time() - t0:.1f} s, {len(failures)} failures")
        for label, c in sorted(counts.items(), key=lambda kv: (-kv[1], kv[0])):
            print(f"  {c:6d}  {label}")
        for f in failures[:100]:
            print(f)
        return 1 if failures else 0

    return run, main
