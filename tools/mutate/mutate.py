#!/usr/bin/env python3
"""Mutation check of the test suite.

Each fault in the data file (tools/mutate/faults.txt) is a realistic one-line
bug: in FILE, the one line containing FIND gets FIND replaced by REPLACE. The
harness applies each fault in turn to a scratch copy of the tree, rebuilds
what changed (Release, ccache), runs the test programs that link the changed
area in parallel, stopping at the first failure, and prints per fault
"killed by <test>", "survived", or "stale" when the pattern no longer names
exactly one line. The last line is
    mutation: faults=N killed=K score=P%
over the faults that were applied (stale and argued-equivalent ones are
listed but not scored).
"""

import argparse
import os
import re
import shutil
import signal
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
# Every fault relinks test programs; lld links them several times faster.
LLD = ["-DCMAKE_EXE_LINKER_FLAGS=-fuse-ld=lld", "-DCMAKE_SHARED_LINKER_FLAGS=-fuse-ld=lld"] if shutil.which("ld.lld") else []

# Test programs to run for a change in an area, most telling first. The first
# matching prefix wins.
AREA_TESTS = [
    ("platform/recording/", ["study", "platform", "writer", "recorddata", "engine", "cli"]),
    ("platform/", ["platform", "study", "module", "templates", "recorddata", "writer", "engine", "cli"]),
    ("module/", ["module", "templates", "engine", "cli"]),
    ("recorddata/", ["recorddata", "writer", "engine", "cli"]),
    ("templates/", ["templates", "engine", "writer", "cli"]),
    ("writer/", ["writer", "engine", "cli"]),
    ("engine/", ["engine", "cli"]),
    ("tools/", ["cli", "study", "writer"]),
]


class Fault:
    def __init__(self, ident, line):
        self.id = ident
        self.line = line
        self.file = self.find = self.replace = self.why = None
        self.quick = False
        self.equivalent = None
        self.nth = None


def parse_faults(path):
    faults, cur = [], None
    for n, raw in enumerate(path.read_text(encoding="utf-8").splitlines(), 1):
        if not raw.strip() or raw.lstrip().startswith("#"):
            continue
        m = re.match(r"^\[([\w.-]+)\]\s*$", raw)
        if m:
            cur = Fault(m.group(1), n)
            faults.append(cur)
            continue
        m = re.match(r"^(file|find|replace|why|quick|equivalent|line):(?: (.*))?$", raw)
        if not m or cur is None:
            sys.exit(f"{path}:{n}: cannot read: {raw!r}")
        key, value = m.group(1), m.group(2) or ""
        if key == "quick":
            cur.quick = value.strip() == "yes"
        elif key == "line":
            cur.nth = int(value)
        else:
            setattr(cur, key, value)
    seen = set()
    for f in faults:
        for key in ("file", "find", "replace", "why"):
            if getattr(f, key) is None:
                sys.exit(f"{path}:{f.line}: fault {f.id} has no '{key}:'")
        if f.id in seen:
            sys.exit(f"{path}:{f.line}: fault {f.id} listed twice")
        seen.add(f.id)
    return faults


def locate(text, fault):
    """Index of the one line holding the pattern (or of the Nth one when the
    fault names it), or an explanation."""
    hits = [i for i, l in enumerate(text.split("\n")) if fault.find in l]
    if fault.nth is not None:
        if 1 <= fault.nth <= len(hits):
            return hits[fault.nth - 1], None
        return None, f"pattern on {len(hits)} lines, not {fault.nth}"
    if len(hits) == 1:
        return hits[0], None
    return None, "pattern not found" if not hits else f"pattern on {len(hits)} lines"


def tests_for(path):
    for prefix, tests in AREA_TESTS:
        if path.startswith(prefix):
            return tests
    return ["platform", "study", "recorddata", "templates", "writer", "engine", "cli"]


def run(cmd, **kw):
    return subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, errors="replace", **kw)


def sync_scratch(scratch):
    """Copies the tracked files (with local changes) into the scratch tree;
    unchanged files keep their times so nothing rebuilds needlessly. A copied
    file gets the time of the copy, not of its source: a source edited before
    the scratch build compiled the old copy would otherwise look older than
    that build's object and never be compiled."""
    files = run(["git", "-C", str(ROOT), "ls-files", "-z"]).stdout.split("\0")
    scratch.mkdir(parents=True, exist_ok=True)
    for rel in filter(None, files):
        src, dst = ROOT / rel, scratch / rel
        if not src.is_file():
            continue
        if dst.exists() and dst.stat().st_size == src.stat().st_size and dst.read_bytes() == src.read_bytes():
            continue
        dst.parent.mkdir(parents=True, exist_ok=True)
        shutil.copy(src, dst)
    # A file deleted or renamed since the last run must go from the copy too:
    # the build globs its folders and would compile the stale one.
    tracked = {Path(rel) for rel in files if rel}
    for dst in list(scratch.rglob("*")):
        rel = dst.relative_to(scratch)
        if rel.parts[0] in ("build", ".git") or "node_modules" in rel.parts:
            continue
        if dst.is_file() and rel.suffix in (".cpp", ".h", ".txt", ".cmake") and rel not in tracked:
            dst.unlink()
    # The BIDS validator is installed by npm, not tracked: the copy uses the
    # checkout's, or the BIDS tests fail and would seem to kill every fault.
    modules = ROOT / "tools/bids-validator/node_modules"
    link = scratch / "tools/bids-validator/node_modules"
    if modules.is_dir() and not link.exists():
        link.parent.mkdir(parents=True, exist_ok=True)
        link.symlink_to(modules.resolve())


class Runner:
    def __init__(self, build, jobs, timeout):
        self.build, self.jobs, self.timeout = build, jobs, timeout

    def binary(self, name):
        return self.build / "tests" / f"skrivo_test_{name}"

    def compile(self, names):
        targets = [f"skrivo_test_{n}" for n in names]
        if "cli" in names:
            targets.append("skrivo_cli")
        r = run(["cmake", "--build", str(self.build), "-j", str(self.jobs), "--target", *targets])
        return r.returncode == 0, r.stdout

    def first_failure(self, names):
        """Builds and runs one test program after the other (most telling
        first), so that a fault the first program catches costs one link.
        Returns (None, None) when all pass, ("build", output) when the tree
        does not build, else (description of the first failure, None)."""
        for name in names:
            ok, out = self.compile([name])
            if not ok:
                return "build", out
            failure = self.test([name])
            if failure:
                return failure, None
        return None, None

    def test(self, names):
        """Runs the programs, each split in `jobs` shards, at most `jobs` at a
        time, stopping at the first failure. Returns None when all pass, else
        a description of the first failure."""
        queue = []
        for name in names:
            if self.binary(name).exists():
                queue += [(name, k) for k in range(self.jobs)]
        env = dict(os.environ, SKRIVO_TEST="1", QT_QPA_PLATFORM="offscreen", GTEST_TOTAL_SHARDS=str(self.jobs))
        running, failure = [], None
        while (queue or running) and failure is None:
            while queue and len(running) < self.jobs:
                name, shard = queue.pop(0)
                e = dict(env, GTEST_SHARD_INDEX=str(shard))
                p = subprocess.Popen([str(self.binary(name)), "--gtest_fail_fast", "--gtest_brief=1"],
                                     stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, errors="replace",
                                     env=e, cwd=str(self.build), start_new_session=True)
                running.append((p, name, time.monotonic()))
            time.sleep(0.05)
            for item in list(running):
                p, name, started = item
                if p.poll() is None:
                    if time.monotonic() - started > self.timeout:
                        os.killpg(p.pid, signal.SIGKILL)
                        p.wait()
                        failure = f"skrivo_test_{name} (no end within {self.timeout} s)"
                    continue
                running.remove(item)
                out = p.stdout.read()
                if p.returncode != 0:
                    failed = re.findall(r"^\[  FAILED  \] ([\w/.]+)", out, re.M)
                    failure = f"skrivo_test_{name}: " + (failed[0] if failed else f"exit {p.returncode}")
        for p, _, _ in running:
            try:
                os.killpg(p.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
            p.wait()
        return failure


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--faults", type=Path, default=ROOT / "tools/mutate/faults.txt")
    ap.add_argument("--scratch", type=Path, default=Path(os.environ.get("TMPDIR", "/tmp")) / f"skrivo-mutate-{os.getuid()}")
    ap.add_argument("--build-type", default="Release")
    ap.add_argument("-j", "--jobs", type=int, default=2)
    ap.add_argument("--timeout", type=int, default=240, help="seconds one test program may run")
    ap.add_argument("--quick", action="store_true", help="only the faults marked 'quick: yes'")
    ap.add_argument("--only", help="regular expression of fault ids to run")
    ap.add_argument("--check", action="store_true", help="only check that every pattern still names one line")
    ap.add_argument("--min-score", type=float, default=0.0, help="fail below this score (percent)")
    ap.add_argument("--skip-baseline", action="store_true",
                    help="do not first run the unchanged tree's tests (they just passed)")
    ap.add_argument("--prepare", action="store_true", help="only copy the tree and build it (no tests)")
    ap.add_argument("--in-place", metavar="BUILD_DIR", type=Path,
                    help="mutate this tree itself and rebuild in BUILD_DIR, an existing build of it (for a fresh"
                         " clone, as in CI); every file is restored afterwards, also on interruption")
    args = ap.parse_args()

    faults = parse_faults(args.faults)
    if args.quick:
        faults = [f for f in faults if f.quick]
    if args.only:
        faults = [f for f in faults if re.search(args.only, f.id)]

    stale = []
    for f in faults:
        path = ROOT / f.file
        _, why = locate(path.read_text(encoding="utf-8"), f) if path.exists() else (None, "file not found")
        if why:
            stale.append((f, why))
    if args.check:
        for f, why in stale:
            print(f"stale: {f.id} ({f.file}): {why}")
        print(f"patterns: faults={len(faults)} stale={len(stale)}")
        return 1 if stale else 0

    started = time.monotonic()
    if args.in_place:
        return run_faults(args, faults, stale, ROOT, args.in_place.resolve(), started)
    scratch = args.scratch
    build = scratch / "build"
    sync_scratch(scratch)
    # -O1: a Release build without assertions that compiles about twice as
    # fast as -O3 on a busy machine; faults behave the same.
    r = run(["cmake", "-S", str(scratch), "-B", str(build), "-G", "Ninja", f"-DCMAKE_BUILD_TYPE={args.build_type}",
             "-DCMAKE_CXX_FLAGS_RELEASE=-O1 -DNDEBUG", "-DSKRIVO_BUILD_BENCH=OFF", "-DSKRIVO_BUILD_EDITOR=OFF",
             "-DSKRIVO_SANITIZE="] + LLD)
    if r.returncode != 0:
        sys.exit(r.stdout)
    return run_faults(args, faults, stale, scratch, build, started)


def run_faults(args, faults, stale, tree, build, started):
    runner = Runner(build, args.jobs, args.timeout)
    needed = sorted({t for f in faults for t in tests_for(f.file)})
    ok, out = runner.compile(needed)
    if not ok:
        sys.exit("the unchanged tree does not build:\n" + out[-4000:])
    if args.prepare:
        print(f"scratch tree built in {time.monotonic() - started:.0f} s")
        return 0
    if not args.skip_baseline:
        base = runner.test(needed)
        if base:
            sys.exit(f"the unchanged tree fails its tests: {base}")
        print(f"baseline built and passed in {time.monotonic() - started:.0f} s", flush=True)

    stale_ids = {f.id for f, _ in stale}
    killed, scored, equivalent, broken = 0, 0, [], []
    for n, f in enumerate(faults, 1):
        tag = f"[{n:2}/{len(faults)}] {f.id:<34}"
        if f.id in stale_ids:
            print(f"{tag} stale: {dict((x.id, w) for x, w in stale)[f.id]} in {f.file}", flush=True)
            continue
        path = tree / f.file
        original = path.read_text(encoding="utf-8")
        index, _ = locate(original, f)
        lines = original.split("\n")
        lines[index] = lines[index].replace(f.find, f.replace, 1)
        t0 = time.monotonic()
        path.write_text("\n".join(lines), encoding="utf-8")
        previous = signal.signal(signal.SIGTERM, lambda *_: sys.exit("interrupted"))
        try:
            failure, out = runner.first_failure(tests_for(f.file))
            if failure == "build":
                broken.append(f)
                print(f"{tag} does not build (fix the entry): {f.file}", flush=True)
                continue
        finally:
            path.write_text(original, encoding="utf-8")
            signal.signal(signal.SIGTERM, previous)
        secs = time.monotonic() - t0
        if f.equivalent is not None:
            equivalent.append(f)
            state = f"killed by {failure}" if failure else "survived"
            print(f"{tag} equivalent ({f.equivalent}); {state} ({secs:.0f} s)", flush=True)
            continue
        scored += 1
        if failure:
            killed += 1
            print(f"{tag} killed by {failure} ({secs:.0f} s)", flush=True)
        else:
            print(f"{tag} survived: {f.file}: {f.why} ({secs:.0f} s)", flush=True)
    # Leave the build matching the tree again.
    runner.compile(needed)
    score = 100.0 * killed / scored if scored else 0.0
    print(f"mutation: faults={scored} killed={killed} score={score:.1f}%"
          f" (stale={len(stale)} equivalent={len(equivalent)} unbuildable={len(broken)};"
          f" {time.monotonic() - started:.0f} s)")
    return 1 if stale or broken or score < args.min_score else 0


if __name__ == "__main__":
    sys.exit(main())
