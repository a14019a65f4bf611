#!/usr/bin/env python3
"""The mutation check over the generated mutants, fast enough to run whole.

Each mutant (generate_mutants.py, or the kept list with --list) is planted in
a scratch copy of the tree and built incrementally: only the mutated file
recompiles, and only the programs its tests need relink. Then only the tests
that can see it run, stopping at the first failure:

- the CMake target graph (the file API's codemodel) names the programs each
  test needs, so only those are built;
- one run of every test alone on the unmutated tree, with the library's
  objects counting their lines (gcov), names the tests that execute each
  line. A test that never reaches the mutated line runs exactly as before,
  so it is not run. A named constant's mutant runs the tests that execute
  the lines using it; a line gcov does not count (a continuation line, a
  type) the tests that execute its file; a file outside the library the
  tests whose programs are built from it. A test whose programs could not
  write their counts (a file size limit) is taken to run every line.

The chosen cases of one GoogleTest program run in one process
(--gtest_fail_fast), unless that program fails so on the unmutated tree.
--jobs workers, each with its own copy and build directory (the library at
-O0 with coverage, the rest at -O2), share the mutants. The builds stay
incremental from run to run, and the measured coverage is kept while the
tree is unchanged.

A mutant is caught when a test fails or hangs (a test taking 30 s more than
five times its measured time is stopped); one that does not build is counted
apart. The run prints caught/total, the not-built count, the run time and the
survivors with their id, file:line and the mutated line; the verdicts go to
results.tsv (--results), so that two runs can be compared.

    tests/mutation/run_generated_mutants.py [--jobs N] [--files F,...] [--kinds K,...]
        [--only ID,...] [--list tests/mutation/mutants.txt] [--scratch DIR] [--results FILE]

Exit status: 0 when every built mutant was caught, 1 when one survived or a
kept mutant is stale, 2 on bad use or when the unmutated tree fails.
"""
import argparse
import collections
import glob
import hashlib
import json
import os
import queue
import shutil
import signal
import subprocess
import sys
import threading
import time

sys.dont_write_bytecode = True  # no __pycache__ beside the scripts
import generate_mutants  # noqa: E402
import run_mutants  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
TOP = os.path.dirname(os.path.dirname(HERE))
# Included after project(): coverage for the library's objects alone, added
# once the whole tree is read and the target exists.
INSTRUMENT_CMAKE = """cmake_language(DEFER DIRECTORY "${CMAKE_SOURCE_DIR}"
  CALL target_compile_options bbu_objects PRIVATE -O0 --coverage)
"""


def in_parallel(fn, items):
    threads = [threading.Thread(target=fn, args=(i,)) for i in items]
    for t in threads:
        t.start()
    for t in threads:
        t.join()


def read_json(path):
    with open(path, encoding="utf-8") as f:
        return json.load(f)


def each(todo):
    """The items of a queue shared by the workers, until it is empty."""
    while True:
        try:
            yield todo.get_nowait()
        except queue.Empty:
            return


class Worker:
    """One copy of the tree and its build directory."""

    def __init__(self, scratch, index):
        self.root = os.path.join(scratch, f"w{index}")
        self.src = os.path.join(self.root, "src")
        self.build = os.path.join(self.root, "build")
        self.log = os.path.join(self.root, "worker.log")
        self.gcov_errors = os.path.join(self.root, "gcov-errors.log")
        self.tests = []

    def run(self, cmd, cwd=None, env=None, timeout=None):
        """The command's exit status (its output in the worker's log), or
        None when it ran out of time and its process group was stopped."""
        with open(self.log, "ab") as out:
            proc = subprocess.Popen(cmd, cwd=cwd or self.build, env=env, stdout=out,
                                    stderr=subprocess.STDOUT, start_new_session=True)
            try:
                return proc.wait(timeout=timeout)
            except subprocess.TimeoutExpired:
                os.killpg(proc.pid, signal.SIGKILL)
                proc.wait()
                return None

    def configure(self):
        """Refreshes the copy and configures it: the dev preset's settings,
        the library instrumented, Ninja and lld when they are there."""
        run_mutants.copy_tree(self.root)
        open(self.log, "w").close()
        instrument = os.path.join(self.root, "instrument.cmake")
        with open(instrument, "w", encoding="utf-8") as f:
            f.write(INSTRUMENT_CMAKE)
        cache = dict(dev_preset_cache(), CMAKE_BUILD_TYPE="Mutation",
                     CMAKE_C_FLAGS_MUTATION="-O2 -DNDEBUG", CMAKE_CXX_FLAGS_MUTATION="-O2 -DNDEBUG",
                     CMAKE_EXE_LINKER_FLAGS_MUTATION="--coverage",
                     CMAKE_SHARED_LINKER_FLAGS_MUTATION="--coverage",
                     CMAKE_PROJECT_INCLUDE=instrument,
                     # A changed library does not relink the programs that load it.
                     CMAKE_LINK_DEPENDS_NO_SHARED="ON")
        if shutil.which("ld.lld"):
            cache["CMAKE_EXE_LINKER_FLAGS"] = cache["CMAKE_SHARED_LINKER_FLAGS"] = "-fuse-ld=lld"
        generator = ["-G", "Ninja"] if shutil.which("ninja") else []
        cmd = ["cmake", "-S", self.src, "-B", self.build, *generator,
               *[f"-D{k}={v}" for k, v in sorted(cache.items())]]
        stamp = os.path.join(self.root, "configured-with.json")
        if os.path.exists(stamp) and read_json(stamp) != cmd:
            shutil.rmtree(self.build)  # configured otherwise before: start afresh
        query = os.path.join(self.build, ".cmake", "api", "v1", "query", "codemodel-v2")
        os.makedirs(os.path.dirname(query), exist_ok=True)
        open(query, "w").close()
        if self.run(cmd) != 0:
            return False
        with open(stamp, "w", encoding="utf-8") as f:
            json.dump(cmd, f)
        return True

    def test_env(self, env, measuring):
        """libgcov's complaints kept off the test's streams; a mutant's
        counts kept out of the build tree."""
        env = dict(env, GCOV_ERROR_FILE=self.gcov_errors)
        if not measuring:
            env["GCOV_PREFIX"] = os.path.join(self.root, "gcov-discard")
        return env

    def build_targets(self, targets):
        return self.run(["cmake", "--build", self.build, "-j", "1", "--target", *sorted(targets)])

    def counts(self, suffix):
        return glob.glob(os.path.join(self.build, "**", "*" + suffix), recursive=True)

    def gcov(self, files):
        """{source relative to the tree: (lines executed, lines counted)}."""
        found = {}
        for start in range(0, len(files), 50):
            out = subprocess.run(["gcov", "--stdout", "--json-format", *files[start:start + 50]],
                                 cwd=self.build, capture_output=True, text=True).stdout
            for doc in filter(lambda d: d.startswith("{"), out.splitlines()):
                for f in json.loads(doc)["files"]:
                    path = os.path.normpath(os.path.join(self.build, f["file"]))
                    if path.startswith(self.src + os.sep):
                        ran, lines = found.setdefault(os.path.relpath(path, self.src),
                                                      (set(), set()))
                        for line in f["lines"]:
                            lines.add(line["line_number"])
                            if line["count"] > 0:
                                ran.add(line["line_number"])
        return found


def dev_preset_cache():
    """The cache variables of the dev preset, with those it inherits."""
    presets = {p["name"]: p for p in read_json(os.path.join(TOP, "CMakePresets.json"))
               ["configurePresets"]}
    cache, name = {}, "dev"
    while name:
        cache = {**presets[name].get("cacheVariables", {}), **cache}
        name = presets[name].get("inherits")
        name = name[0] if isinstance(name, list) else name
    return {k: v if isinstance(v, str) else v["value"] for k, v in cache.items()}


def target_graph(build):
    """{artifact path: target}, {target: the targets it needs, itself too} and
    {target: its sources relative to the tree}, from the file API's codemodel."""
    reply = os.path.join(build, ".cmake", "api", "v1", "reply")
    index = read_json(sorted(glob.glob(os.path.join(reply, "index-*.json")))[-1])
    config = read_json(os.path.join(reply, index["reply"]["codemodel-v2"]["jsonFile"]))
    names, deps, artifacts, sources = {}, {}, {}, {}
    for ref in config["configurations"][0]["targets"]:
        target = read_json(os.path.join(reply, ref["jsonFile"]))
        names[target["id"]] = target["name"]
        deps[target["id"]] = [d["id"] for d in target.get("dependencies", [])]
        sources[target["name"]] = {s["path"] for s in target.get("sources", [])}
        for a in target.get("artifacts", []):
            artifacts[os.path.normpath(os.path.join(build, a["path"]))] = target["name"]
    needs = {}
    for tid, name in names.items():
        seen, todo = set(), [tid]
        while todo:
            t = todo.pop()
            if t not in seen:
                seen.add(t)
                todo += deps.get(t, [])
        needs[name] = {names[t] for t in seen}
    return artifacts, needs, sources


class Test:
    """One ctest test: its command, its environment, the targets it needs and
    the sources they are built from (None: the whole build, as the install
    scripts use it), and the lines it ran (None: unknown, taken as all)."""

    def __init__(self, entry, artifacts, needs, sources):
        self.name, self.command = entry["name"], entry["command"]
        props = {p["name"]: p["value"] for p in entry.get("properties", [])}
        self.cwd = props.get("WORKING_DIRECTORY")
        self.env = dict(os.environ, **dict(a.partition("=")[::2] for a in props.get(
            "ENVIRONMENT", [])))
        self.disabled = props.get("DISABLED") is True
        self.targets = needs.get(artifacts.get(os.path.normpath(self.command[0])))
        self.reach = set().union(*[sources[t] for t in self.targets]) if self.targets else None
        self.gtest = next((a[len("--gtest_filter="):] for a in self.command
                           if a.startswith("--gtest_filter=")), None)
        self.ran, self.seconds = None, 60.0

    def group(self):
        return self.command[0] if self.gtest else self.name


def processes(tests, apart):
    """(group, command, env, cwd, tests) of each process to start: the chosen
    cases of one GoogleTest program together, every other test alone."""
    groups = collections.OrderedDict()
    for t in tests:
        groups.setdefault(t.group(), []).append(t)
    for key, members in groups.items():
        first = members[0]
        if first.gtest and key not in apart:
            cmd = [first.command[0], "--gtest_filter=" + ":".join(t.gtest for t in members),
                   "--gtest_also_run_disabled_tests", "--gtest_fail_fast"]
            yield key, cmd, first.env, first.cwd, members
        else:
            for t in members:
                yield key, t.command, t.env, t.cwd, [t]


def tree_key():
    """A digest of the tree the tests run on (the mutation check's own files aside)."""
    out = subprocess.run(["git", "ls-files", "-co", "--exclude-standard", "-z"], cwd=TOP,
                         check=True, capture_output=True).stdout.decode()
    h = hashlib.sha256(INSTRUMENT_CMAKE.encode())
    for rel in sorted(out.split("\0")):
        path = os.path.join(TOP, rel)
        if rel and not rel.startswith(("build/", "tests/mutation/")) and os.path.isfile(path):
            with open(path, "rb") as f:
                h.update(rel.encode() + b"\0" + f.read())
    return h.hexdigest()


class Run:
    def __init__(self, args, mutants):
        self.args, self.mutants = args, mutants
        self.workers = [Worker(args.scratch, i) for i in range(args.jobs)]
        self.lock = threading.Lock()
        self.catches = collections.defaultdict(collections.Counter)  # file -> program -> count
        self.results = {}
        self.start = time.monotonic()

    def minutes(self):
        return f"{(time.monotonic() - self.start) / 60:.1f} min"

    def prepare(self):
        """Every worker configured and built, its tests found and measured;
        False when the unmutated tree does not build or fails a test."""
        failed = []
        in_parallel(lambda w: (w.configure() and w.build_targets(["all"]) == 0)
                    or failed.append(f"{w.build} does not build (see {w.log})"), self.workers)
        if failed:
            print("\n".join(failed), file=sys.stderr)
            return False
        print(f"built in {self.minutes()}", flush=True)
        for w in self.workers:
            graph = target_graph(w.build)
            out = subprocess.run(["ctest", "--show-only=json-v1"], cwd=w.build, check=True,
                                 capture_output=True).stdout
            w.tests = [t for t in (Test(e, *graph) for e in json.loads(out)["tests"])
                       if not t.disabled]
        cache = os.path.join(self.args.scratch, "coverage.json")
        key = tree_key()
        saved = read_json(cache) if os.path.exists(cache) else {}
        if saved.get("key") != key:
            saved = self.measure(key)
            if saved is None:
                return False
            with open(cache, "w", encoding="utf-8") as f:
                json.dump(saved, f)
        self.apart = {k.replace(self.workers[0].root, w.root, 1)
                      for k in saved["apart"] for w in self.workers}
        for w in self.workers:
            for t in w.tests:
                measured = saved["tests"].get(t.name, {"seconds": 60, "ran": None})
                t.seconds = measured["seconds"]
                if measured["ran"] is not None:
                    t.ran = {f: set(lines) for f, lines in measured["ran"].items()}
        self.counted = {f: set(lines) for f, lines in saved["counted"].items()}
        return True

    def measure(self, key):
        """Each test alone on the unmutated tree: its time and the lines it ran."""
        print("measuring what each test runs on the unmutated tree ...", flush=True)
        per_test, failures, todo = {}, [], queue.Queue()
        for i in range(len(self.workers[0].tests)):
            todo.put(i)

        def measure_on(w):
            for gcda in w.counts(".gcda"):
                os.unlink(gcda)
            for i in each(todo):
                t = w.tests[i]
                open(w.gcov_errors, "w").close()
                start = time.monotonic()
                if w.run(t.command, cwd=t.cwd, env=w.test_env(t.env, True), timeout=600) != 0:
                    failures.append(t.name)
                seconds, gcdas = time.monotonic() - start, w.counts(".gcda")
                ran = {f: sorted(r) for f, (r, _) in w.gcov(gcdas).items()}
                for gcda in gcdas:
                    os.unlink(gcda)
                # Counts a program could not write leave its lines unknown.
                lost = os.path.getsize(w.gcov_errors) > 0
                per_test[t.name] = {"seconds": seconds, "ran": None if lost else ran}

        in_parallel(measure_on, self.workers)
        if failures:
            print(f"the unmutated tree fails {', '.join(sorted(failures))} (see the worker "
                  f"logs in {self.args.scratch})", file=sys.stderr)
            return None
        w = self.workers[0]
        apart = [group for group, cmd, env, cwd, members in processes(w.tests, ())
                 if members[0].gtest and w.run(cmd, cwd, w.test_env(env, False), 600) != 0]
        print(f"measured in {self.minutes()}", flush=True)
        return {"key": key, "tests": per_test, "apart": apart,
                "counted": {f: sorted(c) for f, (_, c) in w.gcov(w.counts(".gcno")).items()}}

    def tests_for(self, w, m):
        """The tests of worker w that can see the mutant."""
        lines = set(m.watch) or set(range(m.line, m.line + m.span_lines))
        counted = self.counted.get(m.file)
        if counted is None:  # outside the library: by the target graph
            return [t for t in w.tests
                    if t.reach is None or m.file in t.reach or not m.file.endswith(".cpp")]
        if lines <= counted:
            return [t for t in w.tests if t.ran is None or lines & t.ran.get(m.file, set())]
        return [t for t in w.tests if t.ran is None or m.file in t.ran]

    def judge(self, w, m):
        """(verdict, the program that caught it, tests run)."""
        tests = self.tests_for(w, m)
        if not tests:
            return "not run", "", 0
        # The programs that caught this file's mutants most often first, then the quickest.
        seen, groups = self.catches[m.file], collections.OrderedDict()
        for t in tests:
            groups.setdefault(os.path.basename(t.group()), []).append(t)
        ranked = sorted(groups.items(), key=lambda g: (-seen[g[0]], sum(t.seconds for t in g[1])))
        path = os.path.join(w.src, m.file)
        with open(path, encoding="utf-8") as f:
            original = f.read()
        try:
            with open(path, "w", encoding="utf-8") as f:
                f.write(m.apply(original))
            built = set()
            for group, cmd, env, cwd, members in processes(
                    [t for _, g in ranked for t in g], self.apart):
                targets = set().union(*[t.targets or {"all"} for t in members]) - built
                if targets and w.build_targets(targets) != 0:
                    return ("caught" if built else "not built"), "build", 0
                built |= targets
                budget = 30 + 5 * sum(t.seconds for t in members)
                rc = w.run(cmd, cwd, w.test_env(env, False), budget)
                if rc != 0:
                    return "caught", os.path.basename(group) + (" (hung)" * (rc is None)), 0
            # Seen only by tests whose counts were lost: no measured test runs the line.
            return ("not run" if all(t.ran is None for t in tests) else "survived"), "", len(tests)
        finally:
            with open(path, "w", encoding="utf-8") as f:
                f.write(original)

    def execute(self):
        todo = queue.Queue()
        for m in self.mutants:
            todo.put(m)

        def work(w):
            for m in each(todo):
                start = time.monotonic()
                verdict, by, ran = self.judge(w, m)
                with self.lock:
                    if verdict == "caught" and by != "build":
                        self.catches[m.file][by.split(" ")[0]] += 1
                    self.results[m.id] = (verdict, by, time.monotonic() - start)
                    note = f" by {by}" if by else (f" ({ran} tests)" if ran else "")
                    print(f"[{len(self.results)}/{len(self.mutants)}] {m.id} {verdict}{note} "
                          f"({self.results[m.id][2]:.0f} s)", flush=True)

        in_parallel(work, self.workers)


def kept_mutants(path):
    """The kept list's mutants, and the ids of those whose text is no longer
    found exactly once."""
    mutants, stale = [], []
    for k in run_mutants.read_mutants(path):
        with open(os.path.join(TOP, k["file"]), encoding="utf-8") as f:
            src = f.read()
        at = src.find(k["find"])
        if src.count(k["find"]) != 1:
            stale.append(k["id"])
            continue
        line = src.count("\n", 0, at) + 1
        mutants.append(generate_mutants.Mutant(
            k["id"], k["file"], line, "kept", at, at + len(k["find"]), k["replace"],
            src.split("\n")[line - 1].strip(), k["replace"].split("\n")[0].strip(),
            k["find"].count("\n") + 1))
    return mutants, stale


def report(run, mutants, results_path):
    by_verdict = collections.defaultdict(list)
    for m in mutants:
        by_verdict[run.results[m.id][0]].append(m)
    survivors = by_verdict["survived"] + by_verdict["not run"]
    with open(results_path, "w", encoding="utf-8") as f:
        f.write("id\tverdict\tby\tseconds\tmutated line\n")
        for m in mutants:
            verdict, by, secs = run.results[m.id]
            f.write(f"{m.id}\t{verdict}\t{by}\t{secs:.1f}\t{m.after}\n")
    hung = sum(run.results[m.id][1].endswith("(hung)") for m in by_verdict["caught"])
    print(f"\nmutation check: {len(by_verdict['caught'])}/"
          f"{len(mutants) - len(by_verdict['not built'])} caught ({hung} by a hang; "
          f"{len(mutants)} mutants, {len(by_verdict['not built'])} do not build, "
          f"{len(by_verdict['not run'])} on lines no test runs) in {run.minutes()}")
    if survivors:
        print("survivors by kind and file:")
        for (kind, file), n in sorted(collections.Counter((m.kind, m.file)
                                                          for m in survivors).items()):
            print(f"  {kind:<8} {file}: {n}")
        print("survivors:")
        for m in survivors:
            note = "  [no test runs this line]" if run.results[m.id][0] == "not run" else ""
            print(f"  {m.id}  {m.file}:{m.line}  {m.after}{note}")
    print(f"verdicts: {results_path}")
    return 1 if survivors else 0


def main():
    ap = argparse.ArgumentParser(description="Plant the generated mutants and run the tests "
                                 "that can see each, stopping at the first failure.")
    ap.add_argument("--scratch", default=os.path.join(TOP, "build", "mutation-generated"))
    ap.add_argument("--jobs", type=int, default=2, help="workers, each building and testing alone")
    ap.add_argument("--files", default="", help="comma-separated sources (default: bbu/ and i2c/)")
    ap.add_argument("--kinds", type=generate_mutants.parse_kinds, default=generate_mutants.KINDS)
    ap.add_argument("--only", default="", help="comma-separated mutant ids")
    ap.add_argument("--list", help="a kept list (mutants.txt) instead of the generated mutants")
    ap.add_argument("--results", help="where the verdicts go (default: results.tsv in the scratch)")
    args = ap.parse_args()
    if args.jobs < 1:
        ap.error("--jobs must be at least 1")

    stale = []
    if args.list:
        mutants, stale = kept_mutants(args.list)
    else:
        mutants = generate_mutants.generate([f for f in args.files.split(",") if f] or None,
                                            args.kinds)
    if args.only:
        wanted = set(args.only.split(","))
        stale = [i for i in stale if i in wanted]
        unknown = wanted - {m.id for m in mutants} - set(stale)
        if unknown:
            print(f"run_generated_mutants: no mutant {', '.join(sorted(unknown))}",
                  file=sys.stderr)
            return 2
        mutants = [m for m in mutants if m.id in wanted]

    os.makedirs(args.scratch, exist_ok=True)
    run = Run(args, mutants)
    if not run.prepare():
        return 2
    print(f"ready after {run.minutes()}; {len(mutants)} mutants", flush=True)
    run.execute()
    status = report(run, mutants, args.results or os.path.join(args.scratch, "results.tsv"))
    for i in stale:
        print(f"  stale: {i} (its text is no longer found exactly once)")
    return 1 if stale else status


if __name__ == "__main__":
    sys.exit(main())
