#!/usr/bin/env python3
"""Mutation test of the pure code that builds natively (tests/native).

Each mutant is one single-line change made by a fixed rule: flip a comparison, move an integer
constant by one, swap && and ||, negate an if/while condition, or drop a statement that is a call or
an assignment. The mutant is rebuilt in a scratch copy, then the native tests run, then (if they pass)
every fuzz target briefly. A mutant that fails to build is not counted, nor one that the floor file marks as
equivalent (no input can tell it from the original).

The tests that kill each mutant are read from the test run's own output (a test that crashes or hangs
is found by running the tests after it again) and written to BUILD_FOLDER/kills.json. With --by-test
it also prints, per test, the mutants that no other test kills; a mutant that only one test kills is
then also given to the fuzzers that reach its file, which are named beside that test when they kill it.

    mutants.py BUILD_FOLDER [--floor FILE] [--jobs N] [--fuzz-seconds S] [--by-test] [--source src/FILE.cpp]...
"""
import argparse
import concurrent.futures
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.normpath(os.path.join(HERE, "..", ".."))

FLIPS = {"<": "<=", "<=": "<", ">": ">=", ">=": ">", "==": "!=", "!=": "=="}


def mutated_sources():
    """The product sources of the native library, in the order CMakeLists.txt lists them."""
    text = open(os.path.join(HERE, "CMakeLists.txt")).read()
    block = re.search(r"add_library\(pure \$\{pure_kind\}(.*?)\)", text, re.S).group(1)
    return re.findall(r"\$\{root\}/(src/\S+\.cpp)", block)


def mask_literals(line):
    """The line with string and character literals and the trailing comment blanked out."""
    out, i, quote = [], 0, None
    while i < len(line):
        c = line[i]
        if quote:
            if c == "\\":
                out.append("  ")
                i += 2
                continue
            out.append(c if c == quote else " ")
            if c == quote:
                quote = None
        elif c in "\"'":
            # a digit separator such as 1'000 is not a literal
            if c == "'" and i > 0 and line[i - 1].isalnum():
                out.append(c)
            else:
                quote = c
                out.append(c)
        elif line.startswith("//", i):
            out.append(" " * (len(line) - i))
            break
        else:
            out.append(c)
        i += 1
    return "".join(out)[: len(line)]


def closing_paren(text, open_at):
    depth = 0
    for i in range(open_at, len(text)):
        if text[i] == "(":
            depth += 1
        elif text[i] == ")":
            depth -= 1
            if depth == 0:
                return i
    return -1


CALL = re.compile(r"^\s*[A-Za-z_][\w:.\->\[\]]*\s*\(.*\)\s*;\s*$")
ASSIGNMENT = re.compile(r"^\s*\*?[A-Za-z_][\w.\->\[\]]*\s*([-+*/|&^]|<<|>>)?=[^=].*;\s*$")
NOT_A_STATEMENT = re.compile(r"^\s*(return|const|auto|static|constexpr|using|typedef|case|default|else|if|for|while|do|std::\w+(<.*>)?\s+\w)\b")


def mutants_of_line(line):
    """(description, new line) for every rule that applies to one line."""
    stripped = line.strip()
    if not stripped or stripped.startswith(("#", "//", "*", "/*")):
        return []
    masked = mask_literals(line)
    found = []
    for m in re.finditer(r"(?<=\s)(<=|>=|==|!=|<|>)(?=\s)", masked):
        op = m.group(1)
        found.append((f"{op} -> {FLIPS[op]}", line[: m.start()] + FLIPS[op] + line[m.end():]))
    for m in re.finditer(r"(?<![\w.])(\d+)([uU]?(?:ll|LL|l|L)?[uU]?)(?![\w.'])", masked):
        value = int(m.group(1))
        for moved in (value + 1, value - 1):
            if moved >= 0:
                found.append((f"{m.group(0)} -> {moved}{m.group(2)}",
                              line[: m.start()] + str(moved) + m.group(2) + line[m.end():]))
    for m in re.finditer(r"&&|\|\|", masked):
        other = "||" if m.group(0) == "&&" else "&&"
        found.append((f"{m.group(0)} -> {other}", line[: m.start()] + other + line[m.end():]))
    for m in re.finditer(r"\b(if|while)\s*\(", masked):
        open_at = m.end() - 1
        close_at = closing_paren(masked, open_at)
        if close_at > open_at + 1:
            condition = line[open_at + 1: close_at]
            found.append((f"negate {m.group(1)} condition",
                          line[: open_at + 1] + "!(" + condition + ")" + line[close_at:]))
    if (CALL.match(masked) or ASSIGNMENT.match(masked)) and not NOT_A_STATEMENT.match(masked):
        if masked.count("(") == masked.count(")") and masked.count("{") == masked.count("}"):
            indent = line[: len(line) - len(line.lstrip())]
            found.append(("drop statement", indent + ";\n"))
    return found


def all_mutants():
    result = []
    for path in mutated_sources():
        lines = open(os.path.join(ROOT, path)).readlines()
        for number, line in enumerate(lines, 1):
            for description, new_line in mutants_of_line(line):
                if new_line != line:
                    result.append((path, number, line, new_line, description))
    return result


def names_of(mutants):
    """How each mutant is named in the floor file: file, rule and the changed line (the dropped one for a
    drop), with " #2", " #3"... for the later mutants of a file that would have the same name."""
    names, seen = [], {}
    for path, _, line, new_line, description in mutants:
        name = f"{path}: {description}: {(line if description == 'drop statement' else new_line).strip()}"
        seen[name] = seen.get(name, 0) + 1
        names.append(name if seen[name] == 1 else f"{name} #{seen[name]}")
    return names


def run(command, timeout, output=None, environment=None):
    """True when `command` succeeds within `timeout` seconds; on a time-out its whole process group goes.
    Its standard output goes to the file `output` when one is named; `environment` adds variables."""
    with open(output or os.devnull, "w") as out:
        process = subprocess.Popen(command, stdout=out, stderr=subprocess.DEVNULL, start_new_session=True,
                                   env={**os.environ, **(environment or {})})
        try:
            return process.wait(timeout=timeout) == 0
        except subprocess.TimeoutExpired:
            os.killpg(process.pid, signal.SIGKILL)
            process.wait()
            return False


# The explorer of every interleaving around a pause: run, like a fuzzer, when the tests let a mutant of a
# file it reaches live; to a lower depth than the native tests' (half a second instead of half a minute).
EXPLORER = "explore_sessions"
EXPLORE_DEPTH = 8

# The test program's exit failed although no test did: a sanitizer's report at exit, a fault outside
# the tests.
OUTSIDE_THE_TESTS = "(outside the tests)"


def read_test_log(path, finished, failed):
    """Adds the tests that a GoogleTest log shows ended to `finished`, those that failed also to
    `failed`; returns the test that started and never ended (it crashed or hung), or None."""
    running = None
    for line in open(path, errors="replace"):
        m = re.match(r"\[ *(RUN|OK|FAILED) *\] ([^\s,]+\.[^\s,]+)", line)
        if not m:
            continue
        if m.group(1) == "RUN":
            running = m.group(2)
        else:
            finished.add(m.group(2))
            if m.group(1) == "FAILED":
                failed.add(m.group(2))
            running = None
    return running


# Seconds spent in each phase of a mutant, over all workers: where the run's time goes.
PHASES = {"build": 0.0, "tests": 0.0, "fuzzers and explorer": 0.0}
PHASES_LOCK = threading.Lock()


def timed(phase, function, *arguments):
    start = time.time()
    try:
        return function(*arguments)
    finally:
        with PHASES_LOCK:
            PHASES[phase] += time.time() - start


class Worker:
    """A scratch copy of src/, tests/ and cmake/ (the native build reads them; a few tests read docs/ and
    resources/ too) with its own native build.
    The mutant build makes the product a shared library that the tests and fuzzers load, so a mutant
    recompiles one file and relinks that library only."""

    def __init__(self, folder):
        self.tree = os.path.join(folder, "tree")
        self.build = os.path.join(folder, "build")
        shutil.rmtree(self.tree, ignore_errors=True)
        # Fresh modification times: a build folder kept from an earlier run must not take the copied
        # sources for older than the objects it built from that run's last mutant.
        for part in ("src", "tests", "cmake", "docs", "resources"):  # some tests compare docs with the code
            shutil.copytree(os.path.join(ROOT, part), os.path.join(self.tree, part), copy_function=shutil.copy)
        native = os.path.join(self.tree, "tests", "native")
        # A mutant that only draws a warning (a variable set and never read) must still build and count.
        subprocess.run(["cmake", "-S", native, "-B", self.build, "-G", "Ninja", "-DCALMLANE_WARNINGS_AS_ERRORS=OFF", "-DCALMLANE_MUTANT_BUILD=ON",
                        "-DCMAKE_CXX_COMPILER=clang++", "-DCMAKE_BUILD_TYPE=Debug"],
                       check=True, stdout=subprocess.DEVNULL)
        subprocess.run(["cmake", "--build", self.build, "-j1"], check=True, stdout=subprocess.DEVNULL)
        self.corpora = os.path.join(folder, "corpus")
        shutil.rmtree(self.corpora, ignore_errors=True)
        shutil.copytree(os.path.join(HERE, "seeds"), self.corpora)
        self.fuzzers = sorted(f for f in os.listdir(self.build) if f.startswith("fuzz_")) + [EXPLORER]

    def source_of(self, checker):
        if checker == EXPLORER:
            return os.path.join(self.tree, "tests", "service", "session_explorer_test.cpp")
        return os.path.join(self.tree, "tests", "native", "fuzz", checker[len("fuzz_"):] + ".cpp")

    def fuzzers_for(self, source):
        """The fuzz targets, and the session explorer, whose source includes the header of `source` (all of
        them for None)."""
        if source is None:
            return self.fuzzers
        header = '#include "' + os.path.splitext(source)[0][len("src/"):] + '.h"'
        return [f for f in self.fuzzers if header in open(self.source_of(f)).read()]

    def tests_fail(self, every=True):
        """The set of tests that fail the current tree, empty when all pass. With `every`, one run tells,
        unless a test crashes or hangs: the tests after it then run again without it, as often as needed.
        Without, the run stops at the first failure, crash or hang: one killer is enough."""
        log = os.path.join(self.build, "pure_tests.log")
        program = os.path.join(self.build, "pure_tests")
        finished, failed = set(), set()
        while True:
            skipped = ":".join(sorted(finished))
            command = [program, "--gtest_color=no"] + ([f"--gtest_filter=-{skipped}"] if skipped else []) + (
                [] if every else ["--gtest_fail_fast"])
            passed = run(command, 3, log)  # they take a tenth of a second: longer is a hang
            before = len(finished)
            running = read_test_log(log, finished, failed)
            if running is not None:
                finished.add(running)
                failed.add(running)
            elif not passed and not failed:
                failed.add(OUTSIDE_THE_TESTS)
            if running is None or len(finished) == before or not every:
                return failed

    def fuzzers_fail(self, fuzz_seconds, source):
        """The first fuzz target reaching `source` that finds a fault in the current tree, as a set; None
        when one does not build."""
        for fuzzer in self.fuzzers_for(source):
            if not run(["ninja", "-C", self.build, "-j1", fuzzer], 300):
                return None
            if fuzzer == EXPLORER:
                passed = run([os.path.join(self.build, fuzzer), "--gtest_brief=1"], 300,
                             environment={"CALMLANE_EXPLORE_DEPTH": str(EXPLORE_DEPTH)})
            else:
                corpus = os.path.join(self.corpora, fuzzer[len("fuzz_"):])
                os.makedirs(corpus, exist_ok=True)
                passed = run([os.path.join(self.build, fuzzer), f"-max_total_time={fuzz_seconds}", "-timeout=5",
                              "-rss_limit_mb=1024", f"-artifact_prefix={corpus}/", corpus], fuzz_seconds + 30)
            if not passed:
                return {fuzzer}
        return set()

    def killers(self, fuzz_seconds, source=None, by_test=False):
        """What fails the current tree: the failing tests, else the fuzz target that reaches `source` and
        finds a fault; an empty set when all pass, None when the tree does not build. by_test: a single
        failing test is checked against the fuzzers too."""
        if not timed("build", run, ["ninja", "-C", self.build, "-j1", "pure_tests"], 300):
            return None
        failed = timed("tests", self.tests_fail, by_test)
        if failed and not (by_test and len(failed) == 1):
            return failed
        fuzzers = timed("fuzzers and explorer", self.fuzzers_fail, fuzz_seconds, source)
        return (failed or None) if fuzzers is None else failed | fuzzers

    def try_mutant(self, mutant, fuzz_seconds, by_test):
        """The outcome ("killed", "survived" or "stillborn") and the set of what killed it."""
        path, number, _, new_line, _ = mutant
        target = os.path.join(self.tree, path)
        original = open(os.path.join(ROOT, path)).readlines()
        changed = list(original)
        changed[number - 1] = new_line
        open(target, "w").writelines(changed)
        try:
            killers = self.killers(fuzz_seconds, path, by_test)
            return ("stillborn" if killers is None else "killed" if killers else "survived"), killers
        finally:
            open(target, "w").writelines(original)


def test_names(program):
    """Every test of the program, as Suite.Name."""
    listing = subprocess.run([program, "--gtest_list_tests"], capture_output=True, text=True, check=True).stdout
    names, suite = [], ""
    for line in listing.splitlines():
        if line.startswith(" "):
            names.append(suite + line.split("#")[0].strip())
        else:
            suite = line.split("#")[0].strip()
    return names


def print_by_test(mutants, names, outcomes, tests):
    """Per test: how many mutants it kills and those that no other test kills (noting a fuzzer that kills
    one too); then the tests without a mutant of their own."""
    kills = {test: 0 for test in tests}
    own = {test: [] for test in tests}
    fuzz_only = 0
    for index, (path, number, _, _, _) in enumerate(mutants):
        outcome, killers = outcomes[index]
        if outcome != "killed":
            continue
        by_tests = sorted(k for k in killers if not k.startswith("fuzz_"))
        fuzzers = sorted(k for k in killers if k.startswith("fuzz_"))
        for test in by_tests:
            kills[test] = kills.get(test, 0) + 1
        if not by_tests:
            fuzz_only += 1
        elif len(by_tests) == 1:
            also = f" ({', '.join(fuzzers)} kills it too)" if fuzzers else ""
            text = f"{path}:{number}: {names[index][len(path) + 2:]}{also}"
            own.setdefault(by_tests[0], []).append((text, not fuzzers))
    alone = []
    for test in sorted(kills):
        mine = own.get(test, [])
        print(f"by test: {test}: kills {kills[test]}, {sum(1 for _, only in mine if only)} of them alone")
        for text, _ in mine:
            print(f"    {text}")
        if not any(only for _, only in mine):
            alone.append(test)
    print(f"by test: {len(alone)} tests kill no mutant that another test or a fuzzer does not: {' '.join(alone)}")
    print(f"by test: {fuzz_only} mutants are killed by a fuzzer only")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build")
    parser.add_argument("--floor", help="file holding the lowest acceptable score in percent")
    parser.add_argument("--jobs", type=int, default=2)
    parser.add_argument("--fuzz-seconds", type=int, default=2)
    parser.add_argument("--list", action="store_true", help="only list the mutants")
    parser.add_argument("--by-test", action="store_true", help="print, per test, the mutants that only it kills")
    parser.add_argument("--source", action="append", help="only the mutants of this file (src/...; repeatable)")
    args = parser.parse_args()

    mutants = all_mutants()
    if args.source:
        args.source = [os.path.normpath(path) for path in args.source]
        unknown = sorted(set(args.source) - set(mutated_sources()))
        if unknown:
            print(f"mutants: not a file of the native build: {' '.join(unknown)}; the files are:\n  "
                  + "\n  ".join(mutated_sources()), file=sys.stderr)
            return 2
        mutants = [m for m in mutants if m[0] in args.source]
    equivalent = set()
    if args.floor:
        for line in open(args.floor):
            if line.startswith("equivalent: "):
                equivalent.add(line[len("equivalent: "):].strip())
    all_names = names_of(mutants)
    marked = [name for name in all_names if name in equivalent]
    named = [(m, name) for m, name in zip(mutants, all_names) if name not in equivalent]
    mutants = [m for m, _ in named]
    names = [name for _, name in named]
    if args.list:
        for (path, number, _, _, _), name in zip(mutants, names_of(mutants)):
            print(f"{path}:{number}: {name[len(path) + 2:]}")
        print(f"{len(mutants)} mutants")
        return 0

    start = time.time()
    with concurrent.futures.ThreadPoolExecutor(args.jobs) as pool:
        workers = list(pool.map(lambda i: Worker(os.path.join(args.build, f"worker{i}")), range(args.jobs)))
    # The unmutated code passes its tests in every worker's build, and the fuzzers of the files tried.
    sources = args.source or [None]
    for worker in workers:
        fuzzed = worker is workers[0]
        if not run(["ninja", "-C", worker.build, "-j1", "pure_tests"], 300) or worker.tests_fail() or (
                fuzzed and any(worker.fuzzers_fail(args.fuzz_seconds, source) != set() for source in sources)):
            print("mutants: the unmutated code fails its own tests", file=sys.stderr)
            return 1
    numbered = list(enumerate(mutants))
    shares = [numbered[i::args.jobs] for i in range(args.jobs)]
    outcomes = {}

    progress = threading.Lock()

    def work(worker, share):
        for index, mutant in share:
            outcome = worker.try_mutant(mutant, args.fuzz_seconds, args.by_test)
            with progress:
                outcomes[index] = outcome
                if len(outcomes) % 25 == 0:
                    print(f"mutants: {len(outcomes)} of {len(mutants)} tried", file=sys.stderr, flush=True)

    with concurrent.futures.ThreadPoolExecutor(args.jobs) as pool:
        for future in [pool.submit(work, w, s) for w, s in zip(workers, shares)]:
            future.result()

    with open(os.path.join(args.build, "kills.json"), "w") as record:
        json.dump([{"mutant": names[i], "line": mutants[i][1], "outcome": outcomes[i][0],
                    "killers": sorted(outcomes[i][1] or [])} for i in range(len(mutants))], record, indent=1)
    if args.by_test:
        print_by_test(mutants, names, outcomes, test_names(os.path.join(workers[0].build, "pure_tests")))

    killed = survived = 0
    for index, (path, number, line, new_line, description) in enumerate(mutants):
        outcome = outcomes[index][0]
        if outcome == "killed":
            killed += 1
        elif outcome == "survived":
            survived += 1
            print(f"survived {path}:{number}: {names[index][len(path) + 2:]}")
    counted = killed + survived
    score = 100.0 * killed / counted if counted else 0.0
    print(f"mutants: {len(mutants) - counted} did not build, {len(marked)} marked equivalent and not run; "
          f"{time.time() - start:.0f} s ({', '.join(f'{phase} {seconds:.0f} s' for phase, seconds in PHASES.items())}, "
          f"summed over {args.jobs} workers)")
    stale = set() if args.source else equivalent - set(marked)
    for entry in sorted(stale):
        print(f"mutants: no longer made (remove it from the floor file): {entry}")
    print(f"mutants: {killed} killed of {counted} ({score:.1f} %)")
    if args.floor:
        floor = float(open(args.floor).read().split()[0])
        if score < floor:
            print(f"mutants: the score fell below the floor of {floor} %", file=sys.stderr)
            return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
