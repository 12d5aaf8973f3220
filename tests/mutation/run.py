#!/usr/bin/python3
"""Mutation run: each fault of mutations.txt alone, in a copy of the tree.

A fault is an exact text replacement in one file, made in a copy of the
checkout under /tmp (one build folder, rebuilt incrementally), then judged by
its tier: killed when the tier fails, survived when it passes, build-failed
when the copy does not build. Every tier first passes on the unchanged copy.
Prints a markdown table and the figures. Usage: run.py [--quick] [N...]
(--quick: the first fault of each folder; N: those faults only).
"""
import contextlib
import os
import pathlib
import shlex
import shutil
import signal
import subprocess
import sys
import time

ROOT = pathlib.Path(__file__).resolve().parents[2]
WORK = pathlib.Path("/tmp/patrold-mutation")
BUILD = str(WORK / "build")


def load(path):
    """Blocks of "key: value" lines apart by blank lines; "\\n" is a line break."""
    blocks = [b for b in path.read_text().split("\n\n") if b.strip() and not b.startswith("#")]
    faults = [dict(line.replace("\\n", "\n").split(": ", 1) for line in b.strip().splitlines())
              for b in blocks]
    assert all({"file", "from", "to", "tier"} <= f.keys() for f in faults), "a fault lacks a key"
    return faults


def command(tier):
    """"suite NAME", "gtest PROGRAM FILTER" or "pytest ARGS..."."""
    kind, *rest = shlex.split(tier)
    return {"suite": lambda: ["meson", "test", "-C", BUILD, "--no-rebuild", "--suite", *rest],
            "gtest": lambda: [f"{BUILD}/tests/{rest[0]}", f"--gtest_filter={rest[1]}"],
            "pytest": lambda: ["/usr/bin/python3", "-m", "pytest", "-p", "no:cacheprovider", "-q",
                               "-x", *rest]}[kind]()


def run(cmd, timeout=600):  # in a group of its own: what a killed test left goes too
    proc = subprocess.Popen(cmd, cwd=WORK, env=dict(os.environ, PATROLD_BUILD_DIR=BUILD),
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                            start_new_session=True)
    try:
        return proc.wait(timeout=timeout)
    except subprocess.TimeoutExpired:
        return -1
    finally:
        with contextlib.suppress(ProcessLookupError):
            os.killpg(proc.pid, signal.SIGKILL)
        proc.wait()


def refresh_copy():  # what differs, with a new time: ninja rebuilds just that
    names = subprocess.run(["git", "ls-files", "-co", "--exclude-standard", "-z"], cwd=ROOT,
                           check=True, capture_output=True).stdout.decode().split("\0")
    for src, out in ((ROOT / n, WORK / n) for n in names if (ROOT / n).is_file()):
        if not out.is_file() or out.read_bytes() != src.read_bytes():
            out.parent.mkdir(parents=True, exist_ok=True)
            shutil.copy(src, out)
    if not (WORK / "build/build.ninja").exists():
        subprocess.run(["meson", "setup", "build"], cwd=WORK, check=True, stdout=subprocess.DEVNULL)


def main(args):
    start = time.monotonic()
    faults = list(enumerate(load(ROOT / "tests/mutation/mutations.txt"), 1))
    folders = [pathlib.Path(f["file"]).parent for _, f in faults]
    if "--quick" in args:
        faults = [(n, f) for n, f in faults if folders.index(folders[n - 1]) == n - 1]
    if chosen := {int(a) for a in args if a.isdigit()}:
        faults = [(n, f) for n, f in faults if n in chosen]
    refresh_copy()
    ninja = ["ninja", "-C", BUILD, "-j2"]
    if run(ninja, 3600) != 0:
        sys.exit("the unchanged copy does not build")
    for tier in sorted({f["tier"] for _, f in faults}):
        # twice: the install tier shares the system's accounts with other runs
        if all(run(command(tier)) != 0 for _ in range(2)):
            sys.exit(f"tier fails on the unchanged copy: {tier}")
    rows, counts = [], {}
    for n, f in faults:
        path, began = WORK / f["file"], time.monotonic()
        original = path.read_text()
        if original.count(f["from"]) != 1:
            sys.exit(f"fault {n}: its text is not found exactly once in {f['file']}")
        path.write_text(original.replace(f["from"], f["to"]))
        try:
            result = ("build-failed" if run(ninja, 3600) != 0 else
                      "killed" if run(command(f["tier"])) != 0 else
                      "equivalent" if "equivalent" in f else "survived")
        finally:
            path.write_text(original)
        counts[result] = counts.get(result, 0) + 1
        cell = [s.replace("|", "\\|").replace("\n", "⏎") for s in (f["from"], f["to"])]
        rows.append(f"| {n} | `{f['file']}` | `{cell[0]}` → `{cell[1]}` | `{f['tier']}` | "
                    f"{result} | {f.get('equivalent', '')} |")
        print(rows[-1], f"({time.monotonic() - began:.0f} s)", file=sys.stderr, flush=True)
    run(ninja, 3600)  # the copy left built as it was found
    killed = counts.get("killed", 0)
    built = len(rows) - counts.get("build-failed", 0) - counts.get("equivalent", 0)
    print("| # | file | fault | tier | result | why equivalent |\n|---|---|---|---|---|---|")
    print("\n".join(rows))
    print(f"\n{len(rows)} faults: " + ", ".join(f"{v} {k}" for k, v in sorted(counts.items()))
          + f"; {killed} of {built} built and not equivalent killed ({100 * killed / max(built, 1):.1f}%);"
          f" wall time {(time.monotonic() - start) / 60:.1f} min")
    return 1 if "survived" in counts else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
