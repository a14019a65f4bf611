#!/usr/bin/env python3
"""The mutation check, fast enough to run whole.

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
apart. A generated mutant no test can observe is listed, under the reason
why, in unobservable.txt:

    why: one line saying why no test can observe these mutants
    FILE | the mutated line, stripped, as this script prints it

A survivor whose file and mutated line match an entry counts as listed; an
entry that matches no generated mutant of its file is stale. The run prints
caught/total, the listed, surviving and not-built counts, those on lines no
test runs, the run time, then the survivors with their id, file:line and
mutated line; the verdicts go to results.tsv (--results), so that two runs
can be compared.

    tests/mutation/run_generated_mutants.py [--jobs N] [--files F,...] [--kinds K,...]
        [--only ID,...] [--list tests/mutation/mutants.txt] [--scratch DIR] [--results FILE]

Exit status: 0 when every built mutant was caught or listed and nothing is
stale, 1 otherwise, 2 on bad use or when the unmutated tree fails.
"""
import argparse, collections, functools, glob, hashlib, json, os, queue, re, shutil
import signal, subprocess, sys, threading, time
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

sys.dont_write_bytecode = True  # no __pycache__ beside the scripts
import generate_mutants  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
TOP = os.path.dirname(os.path.dirname(HERE))
# Included after project(): coverage for the library's objects alone (bbu/ and
# i2c/), added once the whole tree is read and the targets exist.
INSTRUMENT_CMAKE = """cmake_language(DEFER DIRECTORY "${CMAKE_SOURCE_DIR}"
  CALL target_compile_options bbu_objects PRIVATE -O0 --coverage)
cmake_language(DEFER DIRECTORY "${CMAKE_SOURCE_DIR}"
  CALL target_compile_options i2c_objects PRIVATE -O0 --coverage)
"""
# Each worker builds with the dev preset, the library instrumented and the
# rest at -O2; a changed library does not relink the programs that load it.
# BBU_COVERAGE_BUILD lets a test's forked child write its counts before _exit.
MUTATION_CACHE = dict(CMAKE_BUILD_TYPE="Mutation", CMAKE_LINK_DEPENDS_NO_SHARED="ON",
                      CMAKE_C_FLAGS_MUTATION="-O2 -DNDEBUG",
                      CMAKE_CXX_FLAGS_MUTATION="-O2 -DNDEBUG -DBBU_COVERAGE_BUILD",
                      CMAKE_EXE_LINKER_FLAGS_MUTATION="--coverage",
                      CMAKE_SHARED_LINKER_FLAGS_MUTATION="--coverage")
KEPT_FIELDS = ("id", "file", "find", "replace", "why")


def read_json(path):
    return json.loads(Path(path).read_text(encoding="utf-8"))


def tree_files():
    """The tracked and new (not ignored) files of this tree, build/ aside."""
    out = subprocess.run(["git", "ls-files", "-co", "--exclude-standard", "-z"], cwd=TOP,
                         check=True, capture_output=True).stdout.decode()
    return [rel for rel in sorted(out.split("\0")) if rel and not rel.startswith("build/")
            and os.path.isfile(os.path.join(TOP, rel))]


def tree_key():
    """A digest of the tree the tests run on (the mutation check's own files aside)."""
    h = hashlib.sha256(INSTRUMENT_CMAKE.encode())
    for rel in (r for r in tree_files() if not r.startswith("tests/mutation/")):
        h.update(rel.encode() + b"\0" + Path(TOP, rel).read_bytes())
    return h.hexdigest()


def on_workers(workers, fn, items):
    """fn(worker, item) for every item: one thread per worker, each worker
    doing one item at a time."""
    free, mine = queue.SimpleQueue(), threading.local()
    for w in workers:
        free.put(w)
    with ThreadPoolExecutor(len(workers), initializer=lambda: setattr(mine, "w", free.get())) \
            as pool:
        return list(pool.map(lambda item: fn(mine.w, item), items))


class Worker:
    """One copy of the tree and its build directory."""

    def __init__(self, scratch, index):
        self.root = os.path.join(os.path.abspath(scratch), f"w{index}")
        self.src, self.build, self.log, self.gcov_errors = (os.path.join(self.root, n) for n in (
            "src", "build", "worker.log", "gcov-errors.log"))
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

    def prepare(self):
        """The copy refreshed (unchanged files keep their time stamps, so the
        build stays incremental), configured (Ninja and lld when they are
        there, the codemodel asked for) and built."""
        files = tree_files()
        for rel in files:
            data, dst = Path(TOP, rel).read_bytes(), Path(self.src, rel)
            if not dst.exists() or dst.read_bytes() != data:
                dst.parent.mkdir(parents=True, exist_ok=True)
                dst.write_bytes(data)
                shutil.copymode(os.path.join(TOP, rel), dst)
        # A file gone from the tree goes from the copy too (a golden file
        # without its row would fail the unmutated tree).
        for old in set(str(p.relative_to(self.src)) for p in Path(self.src).rglob("*")
                       if p.is_file()) - set(files):
            os.remove(os.path.join(self.src, old))
        Path(self.log).write_text("")
        Path(self.root, "instrument.cmake").write_text(INSTRUMENT_CMAKE)
        cache = dict(MUTATION_CACHE, CMAKE_PROJECT_INCLUDE=f"{self.root}/instrument.cmake")
        if shutil.which("ld.lld"):
            cache["CMAKE_EXE_LINKER_FLAGS"] = cache["CMAKE_SHARED_LINKER_FLAGS"] = "-fuse-ld=lld"
        cmd = ["cmake", "--preset", "dev", "-S", self.src, "-B", self.build,
               *(["-G", "Ninja"] if shutil.which("ninja") else []),
               *[f"-D{k}={v}" for k, v in sorted(cache.items())]]
        stamp = Path(self.root, "configured-with.json")
        if stamp.exists() and read_json(stamp) != cmd:
            shutil.rmtree(self.build, ignore_errors=True)  # configured otherwise: start afresh
        Path(self.build, ".cmake/api/v1/query").mkdir(parents=True, exist_ok=True)
        Path(self.build, ".cmake/api/v1/query/codemodel-v2").touch()
        if self.run(cmd) != 0:
            return False
        stamp.write_text(json.dumps(cmd))
        return self.build_targets(["all"]) == 0

    def run_test(self, t, timeout, measuring=False):
        """A test run with libgcov's complaints kept off its streams and, for a
        mutant, its counts kept out of the build tree."""
        discard = {} if measuring else {"GCOV_PREFIX": os.path.join(self.root, "gcov-discard")}
        return self.run(t.command, t.cwd, dict(t.env, GCOV_ERROR_FILE=self.gcov_errors, **discard),
                        timeout)

    def build_targets(self, targets):
        return self.run(["cmake", "--build", self.build, "-j", "1", "--target", *sorted(targets)])

    def counts(self, suffix, clear=False):
        found = glob.glob(os.path.join(self.build, "**", "*" + suffix), recursive=True)
        return [os.unlink(f) for f in found] if clear else found

    def gcov(self, files):
        """{source relative to the tree: (lines executed, lines counted)}."""
        found = {}
        out = subprocess.run(["gcov", "--stdout", "--json-format", *files], cwd=self.build,
                             capture_output=True, text=True).stdout if files else ""
        for f in (f for d in out.splitlines() if d.startswith("{") for f in json.loads(d)["files"]):
            path = os.path.normpath(os.path.join(self.build, f["file"]))
            if path.startswith(self.src + os.sep):
                ran, lines = found.setdefault(os.path.relpath(path, self.src), (set(), set()))
                lines.update(line["line_number"] for line in f["lines"])
                ran.update(line["line_number"] for line in f["lines"] if line["count"] > 0)
        return found


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

    def closure(t, seen):
        if t not in seen:
            seen.add(t)
            for d in deps.get(t, []):
                closure(d, seen)
        return seen
    return artifacts, {name: {names[t] for t in closure(tid, set())}
                       for tid, name in names.items()}, sources


class Test:
    """One ctest test: its command, its environment, the targets it needs and
    the sources they are built from (None: the whole build, as the install
    scripts use it), and the lines it ran (None: unknown, taken as all)."""

    def __init__(self, entry, artifacts, needs, sources):
        self.name, self.command = entry["name"], entry["command"]
        props = {p["name"]: p["value"] for p in entry.get("properties", [])}
        self.cwd, self.disabled = props.get("WORKING_DIRECTORY"), props.get("DISABLED") is True
        self.env = dict(os.environ, **dict(a.partition("=")[::2]
                                           for a in props.get("ENVIRONMENT", [])))
        self.targets = needs.get(artifacts.get(os.path.normpath(self.command[0])))
        self.reach = set().union(*[sources[t] for t in self.targets]) if self.targets else None
        gtest = any(a.startswith("--gtest_filter=") for a in self.command)
        self.program = os.path.basename(self.command[0]) if gtest else self.name
        self.ran, self.seconds = None, 60.0


class Run:
    def __init__(self, args):
        self.args, self.start = args, time.monotonic()
        self.workers = [Worker(args.scratch, i) for i in range(args.jobs)]
        self.catches = collections.defaultdict(collections.Counter)  # file -> program -> count
        self.results = {}

    def minutes(self):
        return f"{(time.monotonic() - self.start) / 60:.1f} min"

    def prepare(self):
        """Every worker built, its tests found and measured; False when the
        unmutated tree does not build or fails a test."""
        with ThreadPoolExecutor(len(self.workers)) as pool:
            built = list(pool.map(Worker.prepare, self.workers))
        if not all(built):
            print("\n".join(f"{w.build} does not build (see {w.log})"
                            for w, ok in zip(self.workers, built) if not ok), file=sys.stderr)
            return False
        print(f"built in {self.minutes()}", flush=True)
        for w in self.workers:
            out = subprocess.run(["ctest", "--show-only=json-v1"], cwd=w.build, check=True,
                                 capture_output=True).stdout
            graph = target_graph(w.build)
            w.tests = [t for t in (Test(e, *graph) for e in json.loads(out)["tests"])
                       if not t.disabled and re.search(self.args.tests, t.name)]
        # Measured again when the tree or the chosen tests change.
        cache, key = os.path.join(self.args.scratch, "coverage.json"), tree_key() + self.args.tests
        if (read_json(cache) if os.path.exists(cache) else {}).get("key") != key \
                and not self.measure(key, cache):
            return False
        saved = read_json(cache)
        for t in (t for w in self.workers for t in w.tests):
            measured = saved["tests"].get(t.name, {"seconds": 60, "ran": None})
            t.seconds, ran = measured["seconds"], measured["ran"]
            t.ran = None if ran is None else {f: set(lines) for f, lines in ran.items()}
        self.counted = {f: set(lines) for f, lines in saved["counted"].items()}
        return True

    def measure(self, key, cache):
        """Each test alone on the unmutated tree: its time and the lines it
        ran, kept in the cache; False when a test fails."""
        print("measuring what each test runs on the unmutated tree ...", flush=True)
        per_test, failures = {}, []

        def measure_one(w, i):
            t = w.tests[i]
            w.counts(".gcda", clear=True)
            Path(w.gcov_errors).write_text("")
            start = time.monotonic()
            if w.run_test(t, 600, measuring=True) != 0:
                failures.append(t.name)
            seconds, ran = time.monotonic() - start, w.gcov(w.counts(".gcda"))
            # Counts a program could not write leave its lines unknown.
            lost = os.path.getsize(w.gcov_errors) > 0
            per_test[t.name] = {"seconds": seconds, "ran": None if lost else
                                {f: sorted(r) for f, (r, _) in ran.items()}}

        on_workers(self.workers, measure_one, range(len(self.workers[0].tests)))
        if failures:
            print(f"the unmutated tree fails {', '.join(sorted(failures))} (see the worker "
                  f"logs in {self.args.scratch})", file=sys.stderr)
            return False
        w = self.workers[0]
        w.counts(".gcda", clear=True)
        print(f"measured in {self.minutes()}", flush=True)
        Path(cache).write_text(json.dumps({"key": key, "tests": per_test, "counted": {
            f: sorted(c) for f, (_, c) in w.gcov(w.counts(".gcno")).items()}}))
        return True

    @functools.lru_cache(maxsize=None)
    def source_lines(self, rel):
        return Path(TOP, rel).read_text(encoding="utf-8").split("\n")

    def tests_for(self, w, m):
        """The tests of worker w that can see the mutant."""
        lines = set(m.watch) or set(range(m.line, m.line + m.span_lines))
        # A line that continues a statement (a condition's second line) may
        # be counted only for some of the runs that evaluate it: the tests
        # that run the statement's first line see the mutant too.
        src, first = self.source_lines(m.file), m.line
        while first > 1 and src[first - 2].strip() and not src[first - 2].strip().startswith(
                ("//", "#")) and not src[first - 2].rstrip().endswith((";", "{", "}", ":")):
            first -= 1
        lines |= set(range(first, m.line))
        counted = self.counted.get(m.file)
        if counted is None:  # outside the library: by the target graph
            return [t for t in w.tests
                    if t.reach is None or m.file in t.reach or not m.file.endswith(".cpp")]
        return [t for t in w.tests if t.ran is None or (lines & t.ran.get(m.file, set())
                                                         if lines <= counted else m.file in t.ran)]

    def judge(self, w, m):
        """(verdict, the program that caught it, tests run)."""
        tests = self.tests_for(w, m)
        if not tests:
            return "not run", "", 0
        # The programs that caught this file's mutants most often first, then the quickest tests.
        tests.sort(key=lambda t: (-self.catches[m.file][t.program], t.seconds))
        path = Path(w.src, m.file)
        original = path.read_text(encoding="utf-8")
        try:
            path.write_text(m.apply(original), encoding="utf-8")
            built = set()
            for t in tests:
                todo = (t.targets or {"all"}) - built
                if todo and w.build_targets(todo) != 0:
                    return ("caught" if built else "not built"), "build", 0
                built |= todo
                rc = w.run_test(t, 30 + 5 * t.seconds)
                if rc != 0:
                    return "caught", t.program + (" (hung)" * (rc is None)), 0
            # Seen only by tests whose counts were lost: no measured test runs the line.
            return ("not run" if all(t.ran is None for t in tests) else "survived"), "", len(tests)
        finally:
            path.write_text(original, encoding="utf-8")

    def execute(self, mutants):
        def work(w, m):
            start = time.monotonic()
            verdict, by, ran = self.judge(w, m)
            if verdict == "caught" and by != "build":
                self.catches[m.file][by.split(" ")[0]] += 1
            self.results[m.id] = (verdict, by, time.monotonic() - start)
            note = f" by {by}" if by else (f" ({ran} tests)" if ran else "")
            print(f"[{len(self.results)}/{len(mutants)}] {m.id} {verdict}{note} "
                  f"({self.results[m.id][2]:.0f} s)", flush=True)

        on_workers(self.workers, work, mutants)


def read_kept(path):
    """The kept list's mutants, and the ids of those whose text is no longer
    found exactly once. The list is blocks of 'key: value' lines (id, file,
    find, replace, why) separated by blank lines; '#' starts a comment line; a
    line starting with '| ' continues the value above it on a new line."""
    text = re.sub(r"(?m)^#.*\n?", "", Path(path).read_text(encoding="utf-8"))
    mutants, stale, ids = [], [], set()
    for block in filter(str.strip, re.split(r"\n[ \t]*\n", text)):
        k = {}
        for line in re.sub(r"(?m)\n\|(?: |$)", "\0", block.strip("\n")).split("\n"):
            key, sep, value = line.partition(": ")
            if not sep or key not in KEPT_FIELDS or key in k:
                sys.exit(f"{path}: expected 'id|file|find|replace|why: VALUE' (each once, "
                         f"a '| ' line continuing one), not {line!r}")
            k[key] = value.replace("\0", "\n")
        if set(KEPT_FIELDS) - k.keys() or k["id"] in ids:
            sys.exit(f"{path}: mutant {k.get('id', '?')} lacks a field or is given twice")
        ids.add(k["id"])
        src = Path(TOP, k["file"]).read_text(encoding="utf-8") \
            if os.path.isfile(os.path.join(TOP, k["file"])) else ""
        if src.count(k["find"]) != 1:
            stale.append(k["id"])
            continue
        at = src.find(k["find"])  # a kept mutant is shown by its mutated line alone
        mutants.append(generate_mutants.Mutant(
            k["id"], k["file"], src.count("\n", 0, at) + 1, "kept", at, at + len(k["find"]),
            k["replace"], "", k["replace"].split("\n")[0].strip(), k["find"].count("\n") + 1))
    return mutants, stale


def read_reasons(path):
    """{(file, mutated line): why} of the generated mutants no test can observe."""
    reasons, why = {}, None
    lines = Path(path).read_text(encoding="utf-8").split("\n") if os.path.exists(path) else []
    for n, line in enumerate(lines, 1):
        file, sep, mutated = line.partition(" | ")
        if line.startswith("why: "):
            why = line[len("why: "):].strip()
        elif line.strip() and not line.startswith("#"):
            if not sep or not why:
                sys.exit(f"{path}:{n}: expected 'why: REASON', or 'FILE | MUTATED LINE' below one")
            reasons[file.strip(), mutated.strip()] = why
    return reasons


def report(run, mutants, reasons, results_path):
    """The summary and the survivors printed, the verdicts written; 1 when a
    mutant survived and is not listed."""
    for m in mutants:
        if run.results[m.id][0] in ("survived", "not run") and (m.file, m.after) in reasons:
            run.results[m.id] = ("listed", *run.results[m.id][1:])
    Path(results_path).write_text("id\tverdict\tby\tseconds\tmutated line\n" + "".join(
        f"{m.id}\t{v}\t{by}\t{secs:.1f}\t{m.after}\n"
        for m in mutants for v, by, secs in [run.results[m.id]]), encoding="utf-8")
    n = collections.Counter(run.results[m.id][0] for m in mutants)
    hung = sum(run.results[m.id][1].endswith("(hung)") for m in mutants)
    survivors = [m for m in mutants if run.results[m.id][0] in ("survived", "not run")]
    print(f"\nmutation check: {n['caught']}/{len(mutants) - n['not built']} caught ({hung} by a "
          f"hang), {n['listed']} listed, {len(survivors)} survived ({n['not run']} on lines no "
          f"test runs), {n['not built']} do not build; {len(mutants)} mutants in {run.minutes()}")
    if survivors:
        print("survivors (id, file:line, the mutated line):")
    for m in survivors:
        note = "  [no test runs this line]" if run.results[m.id][0] == "not run" else ""
        print(f"  {m.id}  {m.file}:{m.line}  {m.after}{note}")
    print(f"verdicts: {results_path}")
    return 1 if survivors else 0


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--scratch", default=os.path.join(TOP, "build", "mutation-generated"))
    ap.add_argument("--jobs", type=int, default=2, help="workers, each building and testing alone")
    ap.add_argument("--files", default="", help="comma-separated sources (default: bbu/ and i2c/)")
    ap.add_argument("--kinds", type=generate_mutants.parse_kinds, default=generate_mutants.KINDS)
    ap.add_argument("--only", default="", help="comma-separated mutant ids")
    ap.add_argument("--tests", default="", help="only the tests whose name matches this regex")
    ap.add_argument("--list", help="a kept list (mutants.txt) instead of the generated mutants")
    ap.add_argument("--reasons", default=os.path.join(HERE, "unobservable.txt"))
    ap.add_argument("--results", help="where the verdicts go (default: results.tsv in the scratch)")
    args = ap.parse_args(argv)
    if args.jobs < 1:
        ap.error("--jobs must be at least 1")
    reasons = {} if args.list else read_reasons(args.reasons)
    mutants, stale = read_kept(args.list) if args.list else (generate_mutants.generate(
        [f for f in args.files.split(",") if f] or None, args.kinds), [])
    if args.only:
        wanted = set(args.only.split(","))
        stale = [i for i in stale if i in wanted]
        if wanted - {m.id for m in mutants} - set(stale):
            ap.error(f"no mutant {', '.join(sorted(wanted - {m.id for m in mutants} - set(stale)))}")
        mutants = [m for m in mutants if m.id in wanted]
    stale = [f"{i} (its text is no longer found exactly once)" for i in stale]
    # A listed entry whose file no longer has a generated mutant making its line.
    generated = {(m.file, m.after) for f in {f for f, _ in reasons}
                 if os.path.isfile(os.path.join(TOP, f)) for m in generate_mutants.generate([f])}
    stale += [f"{f} | {line} (listed: no generated mutant makes this line)"
              for f, line in reasons if (f, line) not in generated]

    os.makedirs(args.scratch, exist_ok=True)
    run = Run(args)
    if not run.prepare():
        return 2
    print(f"ready after {run.minutes()}; {len(mutants)} mutants", flush=True)
    run.execute(mutants)
    status = report(run, mutants, reasons,
                    args.results or os.path.join(args.scratch, "results.tsv"))
    print("".join(f"  stale: {i}\n" for i in stale), end="")
    return 1 if stale else status


if __name__ == "__main__":
    sys.exit(main())
