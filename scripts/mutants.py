#!/usr/bin/env python3
"""The mutation check: do the tests notice a realistic fault?

    scripts/mutants.sh [--only REGEX] [--slice K/N] [--check] [--min-rate PCT]
                       [--equivalents] [--list FILE] [--dir DIR]

Each mutant of the list (scripts/mutants.list) is one small fault: its
edits are applied to a scratch copy of the tree (DIR/W/src, by default
build-mutants/1/src; the working tree is never touched), the scratch build
(DIR/W/build) is brought up to date for the first test step of the mutant's
area, and the steps run in order, each stopping at its first failing test.
Most of a mutant's time is spent waiting on tests (time-outs, real
processes), so --workers scratch trees (default 2) take mutants from one
queue side by side; with ccache installed they share compiled objects.
A mutant is killed by the first test that fails, and fails again when run
alone (a test that passes on the second run is reported as flaky and does
not count). A mutant no test notices survived.

An edit whose text no longer occurs exactly once in its file is stale: the
run names every stale edit and fails before building anything, so that the
list cannot rot unseen. A mutant that does not compile fails the run too.
After the mutants, every test that killed one runs again on the restored
tree: a test that fails there too was no evidence, and fails the run.

A step is a GoogleTest program, or for the gateway a unittest module of
tests/gateway run with the system's python3 against the scratch build's
qor-gateway and qor-sim.

The summary counts the kills per folder of the code; the closing line
gives the kill rate, equivalent mutants excluded (they are not run unless
--equivalents is given). The run fails when the rate is below --min-rate
(default 90).
"""

import argparse
import os
import re
import shutil
import subprocess
import sys
import threading
import time
from dataclasses import dataclass, field

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

# Test programs and the targets each needs; the filters leave the slow
# cases to the last step of an area.
SLOW_E2E = ("*RecoveryPeriodIsNever*:*ASilentPortDoesNotHoldUp*:"
            "*DeviceServerGoneAndBack*")
SLOW_COMM = "*LateReplyWithinTheRecoveryPeriod*:*InputDuringTheRecoveryWait*:*ChatteringLine*"
SLOW_SIM = "*OutOfDescriptors*"
SLOW_CLI = "*Scan*:*Demo*:*Sigint*"


@dataclass(frozen=True)
class Step:
    program: str  # a GoogleTest program, or with python a unittest module
    targets: tuple
    positive: str = "*"
    negative: str = ""
    python: bool = False  # program is a module of tests/gateway, run with unittest
    timeout_s: int = 60


E2E = ("e2e_library_test", "qor-sim", "qor_dll", "qor_comm")
GATEWAY_E2E = ("qor-gateway", "qor-sim")
CLI_E2E = ("cli_e2e", "qor", "qor-sim", "qor_dll", "qor_comm")

# Each area's fast stage, most likely catcher first.
STAGES = {
    "engine": [
        Step("engine_tests", ("engine_tests",)),
        Step("e2e_library_test", E2E, negative=SLOW_E2E),
        Step("e2e_library_test", E2E, positive=SLOW_E2E),
    ],
    "comm": [
        Step("comm_unit_test", ("comm_unit_test",)),
        Step("comm_link_test", ("comm_link_test",), negative=SLOW_COMM),
        Step("comm_syscall_test", ("comm_syscall_test",)),
        Step("comm_lookup_test", ("comm_lookup_test",)),
        Step("e2e_library_test", E2E, negative=SLOW_E2E),
        Step("comm_link_test", ("comm_link_test",), positive=SLOW_COMM),
        Step("e2e_library_test", E2E, positive=SLOW_E2E),
    ],
    "sim": [
        Step("sim_unit_tests", ("sim_unit_tests",)),
        Step("sim_process_tests", ("sim_process_tests", "qor-sim"), negative=SLOW_SIM),
        Step("e2e_library_test", E2E, negative=SLOW_E2E),
        Step("cli_e2e", CLI_E2E, negative=SLOW_CLI),
        Step("sim_process_tests", ("sim_process_tests", "qor-sim"), positive=SLOW_SIM),
    ],
    "cli": [
        Step("cli_unit", ("cli_unit",)),
        Step("cli_e2e", CLI_E2E, negative=SLOW_CLI),
        Step("cli_e2e", CLI_E2E, positive=SLOW_CLI),
    ],
    # The daemon's parts alone (the status page's among them), its poller
    # against a simulator, then the daemon with a broker and a subscriber
    # (reloads first: one test).
    "gateway": [
        Step("gateway_unit_tests", ("gateway_unit_tests",)),
        Step("gateway_page_tests", ("gateway_page_tests", "qor-sim")),
        Step("gateway_poller_tests", ("gateway_poller_tests", "qor-sim")),
        # The broker connection and the Sparkplug node against a real broker.
        Step("gateway_broker_tests", ("gateway_broker_tests",), timeout_s=120),
        Step("gateway_sparkplug_tests", ("gateway_sparkplug_tests",), timeout_s=120),
        Step("test_reload", GATEWAY_E2E, python=True, timeout_s=120),
        Step("mqtt.test_results", GATEWAY_E2E, python=True, timeout_s=120),
        Step("test_gateway", GATEWAY_E2E, python=True, timeout_s=240),
    ],
}
# The catalogue's rows are the qor tool's first: its tests catch them.
AREA_OF_FOLDER = {"engine": "engine", "commands": "engine", "comm": "comm", "sim": "sim",
                  "cli": "cli", "catalogue": "cli", "gateway": "gateway"}
FOLDERS = ("engine", "commands", "comm", "sim", "cli", "catalogue", "gateway")


@dataclass
class Edit:
    find: str
    into: str
    regex: bool


@dataclass
class Mutant:
    ident: str
    path: str
    line: int  # in the list file
    what: str = ""
    equivalent: str = ""
    edits: list = field(default_factory=list)

    @property
    def folder(self):
        return self.path.split("/")[0]

    @property
    def area(self):
        return AREA_OF_FOLDER.get(self.folder, "")


def parse_list(path):
    """The list file: '[ID] FILE' starts a mutant; 'what:', 'find:' (or
    'find-re:'), 'into:' and 'equivalent:' lines follow. '\\n' in a find or
    into text stands for a line break."""
    mutants = []
    errors = []
    with open(path, encoding="utf-8") as f:
        for number, raw in enumerate(f, 1):
            line = raw.rstrip("\n")
            stripped = line.strip()
            if not stripped or stripped.startswith("#"):
                continue
            head = re.fullmatch(r"\[([\w.-]+)\]\s+(\S+)", stripped)
            if head:
                mutants.append(Mutant(head.group(1), head.group(2), number))
                continue
            key, _, value = stripped.partition(":")
            value = value[1:] if value.startswith(" ") else value
            value = value.replace("\\n", "\n")
            if not mutants or key not in ("what", "find", "find-re", "into", "equivalent"):
                errors.append(f"{path}:{number}: cannot read '{stripped}'")
                continue
            m = mutants[-1]
            if key in ("find", "find-re"):
                m.edits.append(Edit(value, None, key == "find-re"))
            elif key == "into":
                if not m.edits or m.edits[-1].into is not None:
                    errors.append(f"{path}:{number}: 'into' without its 'find'")
                else:
                    m.edits[-1].into = value
            else:
                setattr(m, key, value)
    seen = set()
    for m in mutants:
        if m.ident in seen:
            errors.append(f"{path}:{m.line}: [{m.ident}] appears twice")
        seen.add(m.ident)
        if not m.what or not m.edits or any(e.into is None for e in m.edits):
            errors.append(f"{path}:{m.line}: [{m.ident}] needs 'what', and 'into' for each 'find'")
        if not m.area:
            errors.append(f"{path}:{m.line}: [{m.ident}] {m.path} is in no area with tests")
    return mutants, errors


def pattern_of(edit):
    """A literal matches with any run of blanks standing for any other."""
    if edit.regex:
        return re.compile(edit.find)
    words = edit.find.split()
    return re.compile(r"\s+".join(re.escape(w) for w in words))


def apply_edits(text, mutant):
    """The mutated text, or the list of stale edits."""
    stale = []
    for edit in mutant.edits:
        found = list(pattern_of(edit).finditer(text))
        if len(found) != 1:
            stale.append(f"{len(found)} matches for '{edit.find}'")
            continue
        begin, end = found[0].span()
        into = found[0].expand(edit.into) if edit.regex else edit.into
        text = text[:begin] + into + text[end:]
    return text, stale


def read(path):
    with open(path, encoding="utf-8") as f:
        return f.read()


def write(path, text):
    with open(path, "w", encoding="utf-8") as f:
        f.write(text)


def check_patterns(mutants):
    """Names every stale edit; True when there is none."""
    fine = True
    for m in mutants:
        source = os.path.join(ROOT, m.path)
        if not os.path.exists(source):
            print(f"STALE   [{m.ident}] {m.path}: no such file", flush=True)
            fine = False
            continue
        _, stale = apply_edits(read(source), m)
        for s in stale:
            print(f"STALE   [{m.ident}] {m.path}: {s}", flush=True)
            fine = False
    return fine


def sync_sources(src):
    """Copies the tracked and new files into the scratch tree; a file whose
    content is already there keeps its time stamp, so nothing is rebuilt
    for it."""
    listed = subprocess.run(["git", "ls-files", "-co", "--exclude-standard", "-z"], cwd=ROOT,
                            check=True, capture_output=True).stdout.decode().split("\0")
    copied = 0
    for name in filter(None, listed):
        origin = os.path.join(ROOT, name)
        target = os.path.join(src, name)
        if not os.path.isfile(origin) or os.path.islink(origin):
            continue
        with open(origin, "rb") as f:
            content = f.read()
        if os.path.exists(target):
            with open(target, "rb") as f:
                if f.read() == content:
                    continue
        os.makedirs(os.path.dirname(target), exist_ok=True)
        with open(target, "wb") as f:
            f.write(content)
        shutil.copymode(origin, target)
        copied += 1
    return copied


def configure(src, build):
    cache = os.path.join(build, "CMakeCache.txt")
    if os.path.exists(cache) and "QOR_GATEWAY_BUILT:INTERNAL=ON" in read(cache):
        return
    # Unoptimised and without debug information: the fastest to rebuild.
    # One CTest test per program (no discovery step after each link), and
    # programs are not relinked when only a shared library changed.
    command = ["cmake", "-S", src, "-B", build, "-DCMAKE_BUILD_TYPE=Debug",
               "-DCMAKE_CXX_FLAGS_DEBUG=-O0", "-DCMAKE_C_FLAGS_DEBUG=-O0",
               "-DQOR_WERROR=OFF", "-DQOR_BUILD_BENCH=OFF", "-DQOR_GATEWAY=ON",
               "-DQOR_TEST_WHOLE_PROGRAMS=ON", "-DCMAKE_LINK_DEPENDS_NO_SHARED=ON"]
    if shutil.which("ninja"):
        command += ["-G", "Ninja"]
    if shutil.which("ccache"):
        command += ["-DCMAKE_C_COMPILER_LAUNCHER=ccache", "-DCMAKE_CXX_COMPILER_LAUNCHER=ccache"]
    subprocess.run(command, check=True, stdout=subprocess.DEVNULL)


def build_env(build):
    """The scratch trees lie side by side (DIR/1, DIR/2, ...): with their
    common folder as ccache's base, a file compiled in one is a cache hit in
    the others, its paths being the same relative to each build."""
    return dict(os.environ, CCACHE_BASEDIR=os.path.dirname(os.path.dirname(build)))


def build_targets(build, targets, jobs):
    """True when the targets built."""
    result = subprocess.run(["cmake", "--build", build, "-j", str(jobs), "--target", *targets],
                            capture_output=True, text=True, env=build_env(build))
    return result.returncode == 0, result.stdout[-3000:] + result.stderr[-3000:]


def run_gtest(build, step, extra_negative=""):
    """Runs one step; returns (failed test or None, why). A crash or hang
    is named after the test that was running."""
    if step.python:
        return run_unittest(build, step, extra_negative)
    negative = ":".join(filter(None, [step.negative, extra_negative]))
    test_filter = step.positive + (f"-{negative}" if negative else "")
    command = [os.path.join(build, step.program), f"--gtest_filter={test_filter}",
               "--gtest_fail_fast"]
    output, code = run_process(command, build, None, step.timeout_s)
    # "[  FAILED  ] Suite.Name" or, for a parameter, "Set/Suite.Name/Case, where ...".
    failed = re.findall(r"^\[  FAILED  \] ([^\s,]+)", output, re.M)
    if failed:
        return failed[0], "failed"
    if code == 0:
        return None, ""
    running = re.findall(r"^\[ RUN      \] (\S+)", output, re.M)
    name = running[-1] if running else step.program
    return name, ("hung" if code == "hang" else f"ended with {code}")


def run_process(command, cwd, env, timeout_s):
    """(output, exit code or "hang")."""
    try:
        process = subprocess.Popen(command, cwd=cwd, env=env, stdout=subprocess.PIPE,
                                   stderr=subprocess.STDOUT, text=True, start_new_session=True)
        output, _ = process.communicate(timeout=timeout_s)
        return output, process.returncode
    except subprocess.TimeoutExpired:
        os.killpg(process.pid, 9)
        output, _ = process.communicate()
        return output, "hang"


def run_unittest(build, step, extra_negative=""):
    """A module of the gateway's end-to-end tests, or (positive not "*")
    one of its tests, against the scratch build's programs; tests named in
    extra_negative are skipped by running the others one by one."""
    src = os.path.join(os.path.dirname(build), "src", "tests", "gateway")
    env = dict(os.environ, QOR_GATEWAY=os.path.join(build, "qor-gateway"),
               QOR_SIM=os.path.join(build, "qor-sim"))
    python = "/usr/bin/python3" if os.path.exists("/usr/bin/python3") else sys.executable
    names = [step.program if step.positive == "*" else step.positive]
    if extra_negative:
        listed, _ = run_process([python, "-c", "import unittest, sys; "
                                 "s = unittest.defaultTestLoader.loadTestsFromName(sys.argv[1]); "
                                 "[print(t.id()) for g in s for t in g]", step.program],
                                src, env, 30)
        names = [n for n in listed.split() if n not in extra_negative.split(":")]
    for name in names:
        output, code = run_process([python, "-m", "unittest", "-v", "-f", name], src, env,
                                   step.timeout_s)
        # "FAIL: test_x (module.Class.test_x)" (before Python 3.11: "(module.Class)").
        failed = re.findall(r"^(?:FAIL|ERROR): (\w+) \(([\w.]+)\)", output, re.M)
        if failed:
            test, where = failed[0]
            return (where if where.endswith("." + test) else f"{where}.{test}"), "failed"
        if code == "hang":
            running = re.findall(r"^(\w+) \(([\w.]+)\) \.\.\.", output, re.M)
            return (running[-1][1] if running else name), "hung"
        if code != 0:
            return name, f"ended with {code}"
    return None, ""


def confirm(build, step, test):
    """Runs the one test again; True when it fails again."""
    alone = Step(step.program, step.targets, positive=test, python=step.python,
                 timeout_s=step.timeout_s)
    return run_gtest(build, alone)[0] is not None


def test_mutant(build, mutant, jobs, notes):
    """(killing test, step) or (None, None)."""
    flaky = ""
    for step in STAGES[mutant.area]:
        built, log = build_targets(build, step.targets, jobs)
        if not built:
            raise RuntimeError(f"[{mutant.ident}] does not build:\n{log}")
        while True:
            test, why = run_gtest(build, step, flaky)
            if test is None:
                break
            if why != "failed" or test in flaky.split(":") or confirm(build, step, test):
                return (test if why == "failed" else f"{test} ({why})"), step
            notes.append(f"[{mutant.ident}] {test} failed, but passed alone (flaky, or upset "
                         "by an earlier test's state): not counted")
            flaky = ":".join(filter(None, [flaky, test]))
    return None, None


def select(mutants, only, slice_text):
    chosen = [m for m in mutants if not only or re.search(only, m.ident)]
    if slice_text:
        k, n = (int(x) for x in slice_text.split("/"))
        chosen = [m for i, m in enumerate(chosen) if i % n == k - 1]
    return chosen


def report(results, equivalents, notes, started):
    killed = [r for r in results if r[1]]
    survived = [r for r in results if not r[1]]
    print("\n== by folder")
    for folder in FOLDERS:
        mine = [r for r in results if r[0].folder == folder]
        skipped = sum(1 for m in equivalents if m.folder == folder)
        if mine or skipped:
            print(f"  {folder:9} {sum(1 for r in mine if r[1])} of {len(mine)} killed"
                  + (f", {skipped} equivalent" if skipped else ""))
    for note in notes:
        print(f"  note: {note}")
    for m in equivalents:
        print(f"  equivalent [{m.ident}]: {m.equivalent}")
    for m, _ in survived:
        print(f"  SURVIVED [{m.ident}] {m.path}: {m.what}")
    rate = 100.0 * len(killed) / len(results) if results else 100.0
    print(f"\n{len(killed)} of {len(results)} mutants killed ({len(equivalents)} equivalent, "
          f"not counted): kill rate {rate:.1f} %, in {time.monotonic() - started:.0f} s")
    return rate


def verify_killers(build, killers, jobs):
    """Each test that killed a mutant passes on the restored tree."""
    fine = True
    for (step, test), idents in killers.items():
        built, _ = build_targets(build, step.targets, jobs)
        name = test.split(" ")[0]
        alone = Step(step.program, step.targets, positive=name, python=step.python,
                     timeout_s=step.timeout_s)
        if built and run_gtest(build, alone)[0] is None:
            continue
        print(f"FAILS UNMUTATED  {name} ({step.program}), which killed {', '.join(idents)}")
        fine = False
    return fine


class Worker:
    """One scratch tree (DIR/N/src, DIR/N/build) and the mutants it tests."""

    def __init__(self, root, number):
        self.src = os.path.join(root, str(number), "src")
        self.build = os.path.join(root, str(number), "build")

    def prepare(self):
        copied = sync_sources(self.src)
        configure(self.src, self.build)
        return copied

    def test(self, mutant, jobs, notes):
        """(killing test, step, seconds); RuntimeError when it does not build."""
        path = os.path.join(self.src, mutant.path)
        original = read(path)
        mutated, _ = apply_edits(original, mutant)
        began = time.monotonic()
        write(path, mutated)
        try:
            test, step = test_mutant(self.build, mutant, jobs, notes)
        finally:
            write(path, original)  # a new time stamp: the next build recompiles it
        return test, step, time.monotonic() - began


def run_all(workers, to_run, jobs):
    """Each worker takes the next mutant from one queue. Returns the
    results in list order, the notes, and a build failure or None."""
    results = [None] * len(to_run)
    notes = []
    broken = []
    lock = threading.Lock()
    queue = iter(list(enumerate(to_run)))

    def work(worker):
        while True:
            with lock:
                if broken:
                    return
                item = next(queue, None)
            if item is None:
                return
            index, m = item
            mine = []
            try:
                test, step, took = worker.test(m, jobs, mine)
            except RuntimeError as error:
                with lock:
                    broken.append(str(error))
                return
            with lock:
                notes.extend(mine)
                results[index] = (m, test, step)
                if test:
                    print(f"killed    [{m.ident}] by {test} ({step.program}) {took:.0f} s",
                          flush=True)
                else:
                    print(f"SURVIVED  [{m.ident}] {m.what} {took:.0f} s", flush=True)

    threads = [threading.Thread(target=work, args=(w,)) for w in workers]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return results, notes, (broken[0] if broken else None)


def run(args):
    mutants, errors = parse_list(args.list)
    for e in errors:
        print(f"LIST    {e}")
    if errors or not check_patterns(mutants):
        print("the list needs fixing (see above): nothing was run")
        return 1
    chosen = select(mutants, args.only, args.slice)
    equivalents = [m for m in chosen if m.equivalent and not args.equivalents]
    to_run = [m for m in chosen if m not in equivalents]
    print(f"{len(mutants)} mutants listed ({len(mutants) - len([m for m in mutants if m.equivalent])}"
          " counted), every pattern found once")
    if args.check:
        return 0
    workers = [Worker(args.dir, n + 1) for n in range(max(1, min(args.workers, len(to_run))))]
    print(f"running {len(to_run)} on {len(workers)} scratch trees", flush=True)
    started = time.monotonic()
    for w in workers:
        print(f"scratch tree {w.src}: {w.prepare()} files updated", flush=True)
    outcome, notes, broken = run_all(workers, to_run, args.jobs)
    if broken:
        print(f"BROKEN  {broken}")
        return 1
    results = [(m, test) for m, test, _ in outcome]
    killers = {}
    for m, test, step in outcome:
        if test:
            killers.setdefault((step, test), []).append(m.ident)
    rate = report(results, equivalents, notes, started)
    if not verify_killers(workers[0].build, killers, args.jobs):
        return 1
    return 0 if rate >= args.min_rate else 1


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--list", default=os.path.join(ROOT, "scripts", "mutants.list"))
    parser.add_argument("--dir", default=os.path.join(ROOT, "build-mutants"))
    parser.add_argument("--only", help="run the mutants whose id matches this regex")
    parser.add_argument("--slice", help="K/N: every Nth mutant from the Kth (1-based)")
    parser.add_argument("--check", action="store_true", help="check the patterns only")
    parser.add_argument("--equivalents", action="store_true", help="run those marked too")
    parser.add_argument("--min-rate", type=float, default=90.0)
    parser.add_argument("--jobs", type=int, default=os.cpu_count() or 2,
                        help="build jobs of each worker")
    parser.add_argument("--workers", type=int, default=2,
                        help="scratch trees testing mutants side by side")
    return run(parser.parse_args())


if __name__ == "__main__":
    sys.exit(main())
