#!/usr/bin/env python3
"""The mutation check over the generated mutants, fast enough to run whole.

Each mutant (generate_mutants.py; or the kept list with --list) is planted in
a scratch copy of the tree and built incrementally: only the mutated file
recompiles, and only the programs its tests need relink. Then only the tests
that can see it run, stopping at the first failure:

- the CMake target graph (the file API's codemodel) names the programs a test
  needs, so only those are built;
- a coverage run of the unmutated tree (one test at a time, gcov after each)
  names the tests that execute each line. A test that never reaches the
  mutated line runs exactly as before, so it is skipped; a mutant on a line
  no test executes survives without a build. Lines gcov cannot see (named
  constants, tables, continuation lines) fall back to the tests that execute
  the file at all.

The cases of one GoogleTest program run in one process (--gtest_fail_fast),
unless that program fails so on the unmutated tree. --jobs workers, each with
its own copy of the tree and build directory, share the mutants. The scratch
copies are built at -O0 with --coverage (and so stay incremental from run to
run); the coverage is kept and reused while the tree is unchanged.

A mutant is caught when a test fails or hangs (a test taking five times its
coverage run and 30 s more is stopped); one that does not build is counted
apart. The run prints caught/total, the not-built count, the run time and the
survivors with their id, file:line and the mutated line; each verdict goes to
results.tsv in the scratch directory, so two runs can be compared.

    tests/mutation/run_generated_mutants.py [--jobs N] [--files F,...] [--kinds K,...]
        [--only ID,...] [--list tests/mutation/mutants.txt] [--scratch DIR]

Exit status: 0 when every built mutant was caught, 1 when one survived, 2 on
bad use or when the unmutated tree fails its tests.
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
INSTRUMENTED = "bbu_objects"
# Included after project(): coverage for the library's objects alone, added
# once the whole tree is read and the target exists.
INSTRUMENT_CMAKE = f"""cmake_language(DEFER DIRECTORY "${{CMAKE_SOURCE_DIR}}"
  CALL target_compile_options {INSTRUMENTED} PRIVATE -O0 --coverage)
"""


class Worker:
    """One copy of the tree and its build directory."""

    def __init__(self, scratch, index):
        self.index = index
        self.root = os.path.join(scratch, f"w{index}")
        self.src = os.path.join(self.root, "src")
        self.build = os.path.join(self.root, "build")
        self.log = os.path.join(self.root, "worker.log")
        self.gcov_errors = os.path.join(self.root, "gcov-errors.log")

    def run(self, cmd, cwd=None, env=None, timeout=None):
        """Runs a command with its output in the worker's log; returns its
        exit status, or None when it ran out of time (its process group is
        then stopped)."""
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
        """The worker's copy of the tree, configured once: the dev preset's
        settings, the library's objects at -O0 with --coverage (instrument.cmake),
        everything else at -O2."""
        run_mutants.copy_tree(self.root)
        open(self.log, "w").close()
        os.makedirs(self.build, exist_ok=True)
        instrument = os.path.join(self.root, "instrument.cmake")
        with open(instrument, "w", encoding="utf-8") as f:
            f.write(INSTRUMENT_CMAKE)
        cache = dev_preset_cache()
        cache.update({
            "CMAKE_BUILD_TYPE": "Mutation",
            "CMAKE_C_FLAGS_MUTATION": "-O2 -DNDEBUG",
            "CMAKE_CXX_FLAGS_MUTATION": "-O2 -DNDEBUG",
            "CMAKE_EXE_LINKER_FLAGS_MUTATION": "--coverage",
            "CMAKE_SHARED_LINKER_FLAGS_MUTATION": "--coverage",
            "CMAKE_PROJECT_INCLUDE": instrument,
            # A changed library does not relink the programs that load it.
            "CMAKE_LINK_DEPENDS_NO_SHARED": "ON",
        })
        if shutil.which("ld.lld"):
            cache["CMAKE_EXE_LINKER_FLAGS"] = cache["CMAKE_SHARED_LINKER_FLAGS"] = "-fuse-ld=lld"
        generator = ["-G", "Ninja"] if shutil.which("ninja") else []
        cmd = ["cmake", "-S", self.src, "-B", self.build, *generator,
               *[f"-D{k}={v}" for k, v in sorted(cache.items())]]
        stamp = os.path.join(self.root, "configured-with")
        if os.path.exists(stamp):
            with open(stamp, encoding="utf-8") as f:
                if f.read() != "\n".join(cmd):
                    shutil.rmtree(self.build)  # configured otherwise: start afresh
                    os.makedirs(self.build)
        query = os.path.join(self.build, ".cmake", "api", "v1", "query", "codemodel-v2")
        os.makedirs(os.path.dirname(query), exist_ok=True)
        open(query, "w").close()
        if self.run(cmd) != 0:
            return False
        with open(stamp, "w", encoding="utf-8") as f:
            f.write("\n".join(cmd))
        return True

    def test_env(self, env, measuring):
        """A test's environment: libgcov's complaints kept off the test's
        streams; the counts of a mutant's run kept out of the build tree."""
        env = dict(env, GCOV_ERROR_FILE=self.gcov_errors)
        if not measuring:
            env["GCOV_PREFIX"] = os.path.join(self.root, "gcov-discard")
        return env

    def build_targets(self, targets):
        return self.run(["cmake", "--build", self.build, "-j", "1", "--target", *sorted(targets)])

    def ctest_inventory(self):
        out = subprocess.run(["ctest", "--show-only=json-v1"], cwd=self.build, check=True,
                             capture_output=True).stdout
        return json.loads(out)["tests"]

    def reset_counters(self):
        for gcda in glob.glob(os.path.join(self.build, "**", "*.gcda"), recursive=True):
            os.unlink(gcda)

    def lines_run(self):
        """{source relative to the tree: (lines executed, lines executable)}
        since the last reset, from gcov."""
        found = {}
        gcdas = glob.glob(os.path.join(self.build, "**", "*.gcda"), recursive=True)
        for start in range(0, len(gcdas), 50):
            out = subprocess.run(["gcov", "--stdout", "--json-format", *gcdas[start:start + 50]],
                                 cwd=self.build, capture_output=True, text=True).stdout
            for doc in out.splitlines():
                if not doc.startswith("{"):
                    continue
                for f in json.loads(doc)["files"]:
                    path = os.path.normpath(os.path.join(self.build, f["file"]))
                    if not path.startswith(self.src + os.sep):
                        continue
                    rel = os.path.relpath(path, self.src)
                    ran, lines = found.setdefault(rel, (set(), set()))
                    for line in f["lines"]:
                        lines.add(line["line_number"])
                        if line["count"] > 0:
                            ran.add(line["line_number"])
        self.reset_counters()
        return found


def dev_preset_cache():
    """The cache variables of the dev preset, with what it inherits."""
    with open(os.path.join(TOP, "CMakePresets.json"), encoding="utf-8") as f:
        presets = {p["name"]: p for p in json.load(f)["configurePresets"]}
    cache, name = {}, "dev"
    while name:
        preset = presets[name]
        cache = {**preset.get("cacheVariables", {}), **cache}
        inherits = preset.get("inherits")
        name = inherits[0] if isinstance(inherits, list) else inherits
    return {k: v if isinstance(v, str) else v["value"] for k, v in cache.items()}


# ---- what a test needs and what it runs --------------------------------------

def target_graph(build):
    """{artifact path: target name}, {target name: set of targets it needs,
    itself included} and {target name: its sources, relative to the tree},
    from the file API's codemodel."""
    reply = os.path.join(build, ".cmake", "api", "v1", "reply")
    index = sorted(glob.glob(os.path.join(reply, "index-*.json")))[-1]
    with open(index, encoding="utf-8") as f:
        codemodel = json.load(f)["reply"]["codemodel-v2"]["jsonFile"]
    with open(os.path.join(reply, codemodel), encoding="utf-8") as f:
        config = json.load(f)["configurations"][0]
    names, deps, artifacts, sources = {}, {}, {}, {}
    for ref in config["targets"]:
        with open(os.path.join(reply, ref["jsonFile"]), encoding="utf-8") as f:
            target = json.load(f)
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
    """One ctest test: its command, environment and the targets it needs
    (None: it reaches into the whole build, as the install scripts do)."""

    def __init__(self, entry, artifacts, needs, sources):
        self.name = entry["name"]
        self.command = entry["command"]
        props = {p["name"]: p["value"] for p in entry.get("properties", [])}
        self.cwd = props.get("WORKING_DIRECTORY")
        self.env = dict(os.environ)
        for assignment in props.get("ENVIRONMENT", []):
            key, _, value = assignment.partition("=")
            self.env[key] = value
        self.disabled = props.get("DISABLED", False) is True
        self.program = artifacts.get(os.path.normpath(self.command[0]))
        self.targets = needs.get(self.program) if self.program else None
        # What the target graph lets this test reach; None: all of the tree.
        self.reach = set().union(*[sources[t] for t in self.targets]) if self.targets else None
        self.ran = None  # {file: lines executed}; None: not measured, taken as all
        self.gtest = next((a[len("--gtest_filter="):] for a in self.command
                           if a.startswith("--gtest_filter=")), None)
        self.seconds = 1.0

    def group(self):
        return self.command[0] if self.gtest else self.name


def group_commands(tests, apart):
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


def tree_hash(files):
    h = hashlib.sha256()
    for rel in sorted(files):
        h.update(rel.encode() + b"\0")
        with open(os.path.join(TOP, rel), "rb") as f:
            h.update(f.read())
    return h.hexdigest()


def tracked_files():
    """The files a test run depends on: the tree without the mutation check itself."""
    out = subprocess.run(["git", "ls-files", "-co", "--exclude-standard", "-z"], cwd=TOP,
                         check=True, capture_output=True).stdout.decode()
    return [f for f in out.split("\0") if f and not f.startswith(("build/", "tests/mutation/"))
            and os.path.isfile(os.path.join(TOP, f))]


# ---- the run -----------------------------------------------------------------

class Run:
    def __init__(self, args, mutants):
        self.args = args
        self.mutants = mutants
        self.workers = [Worker(args.scratch, i) for i in range(args.jobs)]
        self.lock = threading.Lock()
        self.catches = collections.defaultdict(collections.Counter)  # file -> group -> count
        self.results = {}
        self.done = 0
        self.start = time.monotonic()

    def prepare(self):
        """Configure and build every worker; find the tests; measure what
        each test runs. False when the unmutated tree fails."""
        errors = []

        def setup(w):
            if not w.configure() or w.build_targets(["all"]) != 0:
                errors.append(f"worker {w.index} does not build (see {w.log})")

        threads = [threading.Thread(target=setup, args=(w,)) for w in self.workers]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        if errors:
            print("\n".join(errors), file=sys.stderr)
            return False
        print(f"built in {(time.monotonic() - self.start) / 60:.1f} min", flush=True)
        for w in self.workers:
            graph = target_graph(w.build)
            w.tests = [Test(e, *graph) for e in w.ctest_inventory()]
            w.tests = [t for t in w.tests if not t.disabled]
        return self.measure()

    def measure(self):
        """Each test run alone on the unmutated tree, with the lines it ran;
        kept in coverage.json while the tree is unchanged."""
        cache = os.path.join(self.args.scratch, "coverage.json")
        tree_key = tree_hash(tracked_files()) + INSTRUMENT_CMAKE
        if os.path.exists(cache):
            with open(cache, encoding="utf-8") as f:
                saved = json.load(f)
            if saved.get("key") == tree_key:
                self.apply_measures(saved)
                return True
        print("measuring what each test runs on the unmutated tree ...", flush=True)
        per_test, failures = {}, []
        todo = queue.Queue()
        for i, t in enumerate(self.workers[0].tests):
            todo.put(i)

        def measure_on(w):
            w.reset_counters()
            while True:
                try:
                    i = todo.get_nowait()
                except queue.Empty:
                    return
                t = w.tests[i]
                open(w.gcov_errors, "w").close()
                start = time.monotonic()
                rc = w.run(t.command, cwd=t.cwd, env=w.test_env(t.env, True), timeout=600)
                seconds = time.monotonic() - start
                if rc != 0:
                    failures.append(t.name)
                ran = {f: sorted(r) for f, (r, _) in w.lines_run().items()}
                # A program that could not write its counts (a file size
                # limit, a signal) ran lines nobody saw: the test counts as
                # running everything.
                if os.path.getsize(w.gcov_errors) > 0:
                    ran = None
                per_test[t.name] = {"seconds": seconds, "ran": ran}

        threads = [threading.Thread(target=measure_on, args=(w,)) for w in self.workers]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        if failures:
            print(f"the unmutated tree fails {', '.join(sorted(failures))} "
                  f"(see {self.workers[0].log})", file=sys.stderr)
            return False
        # Which programs pass with their cases run together in one process.
        apart = []
        w = self.workers[0]
        for group, cmd, env, cwd, members in group_commands(w.tests, ()):
            if members[0].gtest and w.run(cmd, cwd=cwd, env=w.test_env(env, False),
                                          timeout=600) != 0:
                apart.append(group)
        w.reset_counters()
        print(f"measured in {(time.monotonic() - self.start) / 60:.1f} min", flush=True)
        saved = {"key": tree_key, "tests": per_test, "apart": apart,
                 "executable": {f: sorted(v) for f, v in self.executable_lines().items()}}
        with open(cache, "w", encoding="utf-8") as f:
            json.dump(saved, f)
        self.apply_measures(saved)
        return True

    def executable_lines(self):
        """Lines gcov counts, per source, from the notes files alone."""
        w = self.workers[0]
        found = collections.defaultdict(set)
        gcnos = glob.glob(os.path.join(w.build, "**", "*.gcno"), recursive=True)
        for start in range(0, len(gcnos), 50):
            out = subprocess.run(["gcov", "--stdout", "--json-format", *gcnos[start:start + 50]],
                                 cwd=w.build, capture_output=True, text=True).stdout
            for doc in out.splitlines():
                if doc.startswith("{"):
                    for f in json.loads(doc)["files"]:
                        path = os.path.normpath(os.path.join(w.build, f["file"]))
                        if path.startswith(w.src + os.sep):
                            found[os.path.relpath(path, w.src)].update(
                                line["line_number"] for line in f["lines"])
        return found

    def apply_measures(self, saved):
        self.apart = set()
        for w in self.workers:
            prefix = self.workers[0].root
            self.apart |= {k.replace(prefix, w.root, 1) for k in saved["apart"]}
            for t in w.tests:
                measured = saved["tests"].get(t.name, {"seconds": 60, "ran": None})
                t.seconds = measured["seconds"]
                if measured["ran"] is not None:
                    t.ran = {f: set(lines) for f, lines in measured["ran"].items()}
        self.executable = {f: set(lines) for f, lines in saved["executable"].items()}

    def tests_for(self, w, m):
        """The tests of worker w that can see the mutant: those that execute
        its lines; for a line gcov does not count, those that execute its
        file; for a file outside the measured library, those whose programs
        the target graph says are built from it (and the tests that reach
        into the whole build)."""
        lines = set(m.watch) or set(range(m.line, m.line + m.span_lines))
        measured = self.executable.get(m.file)
        chosen = []
        for t in w.tests:
            if measured is None:
                sees = t.reach is None or m.file in t.reach or not m.file.endswith(".cpp")
            elif t.ran is None:
                sees = True
            elif lines <= measured:
                sees = bool(lines & t.ran.get(m.file, set()))
            else:
                sees = m.file in t.ran
            if sees:
                chosen.append(t)
        return chosen

    def order(self, m, tests):
        """Programs that caught this file's mutants before first, then the quickest."""
        seen = self.catches[m.file]
        groups = collections.OrderedDict()
        for t in tests:
            groups.setdefault(os.path.basename(t.group()), []).append(t)
        ranked = sorted(groups.items(),
                        key=lambda g: (-seen[g[0]], sum(t.seconds for t in g[1])))
        return [t for _, members in ranked for t in members]

    def judge(self, w, m):
        tests = self.tests_for(w, m)
        if not tests:
            return "not run", "", 0
        path = os.path.join(w.src, m.file)
        with open(path, encoding="utf-8") as f:
            original = f.read()
        try:
            with open(path, "w", encoding="utf-8") as f:
                f.write(m.apply(original))
            built = set()
            for key, cmd, env, cwd, members in group_commands(self.order(m, tests), self.apart):
                targets = set().union(*[t.targets or {"all"} for t in members]) - built
                if targets:
                    if w.build_targets(targets) != 0:
                        return ("not built" if not built else "caught"), "build", 0
                    built |= targets
                budget = 30 + 5 * sum(t.seconds for t in members)
                rc = w.run(cmd, cwd=cwd, env=w.test_env(env, False), timeout=budget)
                if rc != 0:
                    return "caught", os.path.basename(key) + (" (hung)" if rc is None else ""), 0
            # Seen only by tests whose counts were lost: no measured test runs the line.
            return ("not run" if all(t.ran is None for t in tests) else "survived"), "", len(tests)
        finally:
            with open(path, "w", encoding="utf-8") as f:
                f.write(original)

    def work(self, w, todo):
        while True:
            try:
                m = todo.get_nowait()
            except queue.Empty:
                return
            start = time.monotonic()
            verdict, by, ran = self.judge(w, m)
            seconds = time.monotonic() - start
            with self.lock:
                if verdict == "caught" and by and by != "build":
                    self.catches[m.file][by.split(" ")[0]] += 1
                self.results[m.id] = (verdict, by, seconds)
                self.done += 1
                note = f" by {by}" if by else (f" ({ran} tests)" if ran else "")
                print(f"[{self.done}/{len(self.mutants)}] {m.id} {verdict}{note} "
                      f"({seconds:.0f} s)", flush=True)

    def execute(self):
        todo = queue.Queue()
        for m in self.mutants:
            todo.put(m)
        threads = [threading.Thread(target=self.work, args=(w, todo)) for w in self.workers]
        for t in threads:
            t.start()
        for t in threads:
            t.join()


def kept_mutants(path):
    """The kept list's find/replace mutants, as generated ones."""
    mutants = []
    for k in run_mutants.read_mutants(path):
        with open(os.path.join(TOP, k["file"]), encoding="utf-8") as f:
            src = f.read()
        at = src.find(k["find"])
        if at < 0 or src.count(k["find"]) != 1:
            sys.exit(f"{path}: mutant {k['id']}: its text is found {src.count(k['find'])} times")
        line = src.count("\n", 0, at) + 1
        mutants.append(generate_mutants.Mutant(
            k["id"], k["file"], line, "kept", at, at + len(k["find"]), k["replace"],
            src.split("\n")[line - 1].strip(), k["replace"].split("\n")[0].strip(),
            k["find"].count("\n") + 1))
    return mutants


def report(run, mutants, seconds, results_path):
    by_verdict = collections.defaultdict(list)
    for m in mutants:
        by_verdict[run.results[m.id][0]].append(m)
    built = len(mutants) - len(by_verdict["not built"])
    caught = len(by_verdict["caught"])
    survivors = by_verdict["survived"] + by_verdict["not run"]
    with open(results_path, "w", encoding="utf-8") as f:
        f.write("id\tverdict\tby\tseconds\tmutated line\n")
        for m in mutants:
            verdict, by, secs = run.results[m.id]
            f.write(f"{m.id}\t{verdict}\t{by}\t{secs:.1f}\t{m.after}\n")
    hung = sum(1 for m in by_verdict["caught"] if run.results[m.id][1].endswith("(hung)"))
    print(f"\nmutation check: {caught}/{built} caught ({hung} by a hang; {len(mutants)} mutants, "
          f"{len(by_verdict['not built'])} do not build, "
          f"{len(by_verdict['not run'])} on lines no test runs) in {seconds / 60:.1f} min")
    if survivors:
        families = collections.Counter((m.kind, m.file) for m in survivors)
        print("survivors by kind and file:")
        for (kind, file), n in sorted(families.items()):
            print(f"  {kind:<8} {file}: {n}")
        print("survivors:")
        for m in survivors:
            note = "  [no test runs this line]" if run.results[m.id][0] == "not run" else ""
            print(f"  {m.id}  {m.file}:{m.line}  {m.after}{note}")
    print(f"verdicts: {results_path}")
    return 0 if not survivors else 1


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

    if args.list:
        mutants = kept_mutants(args.list)
    else:
        mutants = generate_mutants.generate([f for f in args.files.split(",") if f] or None,
                                            args.kinds)
    if args.only:
        wanted = set(args.only.split(","))
        unknown = wanted - {m.id for m in mutants}
        if unknown:
            print(f"run_generated_mutants: no mutant {', '.join(sorted(unknown))}",
                  file=sys.stderr)
            return 2
        mutants = [m for m in mutants if m.id in wanted]

    start = time.monotonic()
    os.makedirs(args.scratch, exist_ok=True)
    run = Run(args, mutants)
    if not run.prepare():
        return 2
    print(f"ready after {(time.monotonic() - start) / 60:.1f} min; {len(mutants)} mutants",
          flush=True)
    run.execute()
    return report(run, mutants, time.monotonic() - start,
                  args.results or os.path.join(args.scratch, "results.tsv"))


if __name__ == "__main__":
    sys.exit(main())
