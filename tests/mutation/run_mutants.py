#!/usr/bin/env python3
"""The mutation check: proof that the tests bite.

Each mutant in mutants.txt is one small fault planted in the product code (a
wrong byte on the bus, a wrong retry count, a wrong character in a message, a
skipped check, an off-by-one, a wrong pause, a wrong exit status). For each,
this script plants it in a scratch copy of the tree, builds, runs the test
suite, and counts the mutant as caught when a test fails. It prints
caught/total and names every survivor.

    tests/mutation/run_mutants.py [--scratch DIR] [--only ID[,ID...]] [--jobs N]

The scratch copy (default build/mutation/ of this tree) is configured once with
the dev preset and rebuilt incrementally, so a mutant costs one incremental
build and one test run. Exit status: 0 when every mutant was caught, 1 when one
survived or could not be planted (its text no longer matches), 2 on bad use.
"""
import argparse
import os
import shutil
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
TOP = os.path.dirname(os.path.dirname(HERE))


def read_mutants(path):
    """Blocks of 'key: value' lines separated by blank lines; '#' starts a comment
    line; a line starting with '| ' continues the value above it on a new line."""
    mutants, block, last = [], {}, None
    with open(path, encoding="utf-8") as f:
        for n, raw in enumerate(f, 1):
            line = raw.rstrip("\n")
            if line.startswith("#"):
                continue
            if line.startswith("| ") or line == "|":
                if last is None:
                    sys.exit(f"{path}:{n}: a continuation line with nothing above it")
                block[last] += "\n" + line[2:]
                continue
            if not line.strip():
                if block:
                    mutants.append(block)
                    block = {}
                last = None
                continue
            key, sep, value = line.partition(": ")
            if not sep or key not in ("id", "file", "find", "replace", "why"):
                sys.exit(f"{path}:{n}: expected 'id|file|find|replace|why: VALUE'")
            if key in block:
                sys.exit(f"{path}:{n}: '{key}' given twice in one mutant")
            block[key] = value
            last = key
    if block:
        mutants.append(block)
    ids = set()
    for m in mutants:
        missing = {"id", "file", "find", "replace", "why"} - m.keys()
        if missing:
            sys.exit(f"{path}: mutant {m.get('id', '?')} lacks {', '.join(sorted(missing))}")
        if m["id"] in ids:
            sys.exit(f"{path}: mutant id {m['id']} given twice")
        ids.add(m["id"])
    return mutants


def copy_tree(scratch):
    """The tracked and new (not ignored) files of this tree, as they are now."""
    src = os.path.join(scratch, "src")
    files = subprocess.run(["git", "ls-files", "-co", "--exclude-standard", "-z"], cwd=TOP,
                           check=True, capture_output=True).stdout.decode().split("\0")
    for rel in filter(None, files):
        if rel.startswith("build/") or not os.path.isfile(os.path.join(TOP, rel)):
            continue
        dst = os.path.join(src, rel)
        os.makedirs(os.path.dirname(dst), exist_ok=True)
        with open(os.path.join(TOP, rel), "rb") as a:
            data = a.read()
        old = None
        if os.path.exists(dst):
            with open(dst, "rb") as b:
                old = b.read()
        if old != data:  # unchanged files keep their time stamps: the build stays incremental
            with open(dst, "wb") as b:
                b.write(data)
            shutil.copymode(os.path.join(TOP, rel), dst)
    return src


def run(cmd, cwd, log):
    with open(log, "ab") as out:
        return subprocess.run(cmd, cwd=cwd, stdout=out, stderr=subprocess.STDOUT).returncode


def main():
    ap = argparse.ArgumentParser(description="Plant each mutant, build, test, count the catches.")
    ap.add_argument("--scratch", default=os.path.join(TOP, "build", "mutation"))
    ap.add_argument("--only", default="", help="comma-separated mutant ids")
    ap.add_argument("--jobs", default="2")
    ap.add_argument("--list", default=os.path.join(HERE, "mutants.txt"))
    args = ap.parse_args()

    mutants = read_mutants(args.list)
    if args.only:
        wanted = set(args.only.split(","))
        unknown = wanted - {m["id"] for m in mutants}
        if unknown:
            print(f"run_mutants: no mutant {', '.join(sorted(unknown))}", file=sys.stderr)
            return 2
        mutants = [m for m in mutants if m["id"] in wanted]

    os.makedirs(args.scratch, exist_ok=True)
    src = copy_tree(args.scratch)
    log = os.path.join(args.scratch, "mutation.log")
    open(log, "w").close()
    build = ["cmake", "--build", "--preset", "dev", "-j", args.jobs]
    if run(["cmake", "--preset", "dev"], src, log) or run(build, src, log):
        print(f"run_mutants: the unmutated tree does not build (see {log})", file=sys.stderr)
        return 2
    test = ["ctest", "--preset", "dev", "--stop-on-failure", "-j", args.jobs]
    if run(test, src, log):
        print(f"run_mutants: the unmutated tree fails its tests (see {log})", file=sys.stderr)
        return 2

    caught, survivors, stale, unbuilt = [], [], [], []
    for m in mutants:
        path = os.path.join(src, m["file"])
        try:
            with open(path, encoding="utf-8") as f:
                original = f.read()
        except OSError:
            stale.append(m)
            print(f"{m['id']:<34} STALE (no file {m['file']})")
            continue
        if original.count(m["find"]) != 1:
            stale.append(m)
            print(f"{m['id']:<34} STALE (text found {original.count(m['find'])} times)")
            continue
        start = time.monotonic()
        with open(log, "a") as f:
            f.write(f"\n===== {m['id']}: {m['why']}\n")
        try:
            with open(path, "w", encoding="utf-8") as f:
                f.write(original.replace(m["find"], m["replace"]))
            if run(build, src, log):
                unbuilt.append(m)
                verdict = "DOES NOT BUILD"
            elif run(test, src, log):
                caught.append(m)
                verdict = "caught"
            else:
                survivors.append(m)
                verdict = "SURVIVED"
        finally:
            with open(path, "w", encoding="utf-8") as f:
                f.write(original)
        print(f"{m['id']:<34} {verdict} ({time.monotonic() - start:.0f} s)", flush=True)

    run(build, src, log)  # leave the scratch build matching the tree
    total = len(mutants)
    print(f"\nmutation check: {len(caught)}/{total} caught")
    for kind, group in (("survived", survivors), ("stale", stale), ("does not build", unbuilt)):
        for m in group:
            print(f"  {kind}: {m['id']} ({m['file']}): {m['why']}")
    return 0 if len(caught) == total else 1


if __name__ == "__main__":
    sys.exit(main())
