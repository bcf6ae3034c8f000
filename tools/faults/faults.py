#!/usr/bin/env python3
"""Fault-injection run of the skrivo program (see docs/reliability.md).

Drives the built program through corrupt studies, a full disk, a read-only
output folder, kill -9 and Ctrl-C at random moments and two processes
writing into one folder, and checks that nothing crashes or hangs, that study
folders stay as they were, that every output file with a final name is read
by EDFlib (EDF+D: by the strict checker) and that no outcome says "complete"
when data was left out. The last line is the summary:

    faults: cases=N crashes=0 hangs=0 silent_loss=0 unreadable_final=0

Usage: tools/faults/faults.py [--build build/dev] [--seed 1] [--quick]
"""

import argparse
import concurrent.futures
import hashlib
import json
import os
import random
import resource
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

SANITIZER_MARKS = ("ERROR: AddressSanitizer", "ERROR: LeakSanitizer", "runtime error:",
                   "ThreadSanitizer", "MemorySanitizer", "terminate called")
STUDY_TYPES = (".EEG", ".STC", ".ETC", ".ERD", ".ENT", ".EPO")


class Run:
    """Counters and findings, shared by the worker threads."""

    def __init__(self, verbose):
        self.lock = threading.Lock()
        self.verbose = verbose
        self.counts = dict(cases=0, crashes=0, hangs=0, silent_loss=0, unreadable_final=0,
                           study_changed=0, unlisted_final=0, left_temporary=0)
        self.findings = []

    def add(self, key, case, text):
        with self.lock:
            self.counts[key] += 1
            self.findings.append(f"{case}: {key}: {text}")
            print(f"  {case}: {key}: {text}", flush=True)

    def case_done(self, case, text):
        with self.lock:
            self.counts["cases"] += 1
            if self.verbose:
                print(f"  {case}: {text}", flush=True)


def digest(folder):
    """Checksums of every file under folder, by relative path."""
    sums = {}
    for root, _, files in os.walk(folder):
        for name in files:
            path = os.path.join(root, name)
            with open(path, "rb") as f:
                sums[os.path.relpath(path, folder)] = hashlib.sha256(f.read()).hexdigest()
    return sums


def is_final(name):
    # Outputs are written under a temporary name and renamed to *.EDF at the end.
    return name.lower().endswith(".edf")


class Program:
    def __init__(self, build, work, timeout):
        self.skrivo = os.path.join(build, "tools", "skrivo")
        self.checker = os.path.join(build, "tests", "skrivo_edfcheck")
        for p in (self.skrivo, self.checker):
            if not os.access(p, os.X_OK):
                sys.exit(f"faults: {p} not found; build the skrivo_cli and skrivo_edfcheck targets")
        self.config = os.path.join(work, "config")
        self.timeout = timeout
        self.env = dict(os.environ)
        self.env.setdefault("ASAN_OPTIONS", "detect_leaks=1:abort_on_error=0")
        self.env.setdefault("UBSAN_OPTIONS", "print_stacktrace=1:halt_on_error=1")
        self.env.pop("SKRIVO_TEST_HOLD_EXPORT", None)

    def start(self, args, logdir, tag="run", preexec=None):
        out = open(os.path.join(logdir, tag + ".out"), "wb")
        err = open(os.path.join(logdir, tag + ".err"), "wb")
        p = subprocess.Popen([self.skrivo, "--config", self.config] + args, stdout=out, stderr=err,
                             stdin=subprocess.DEVNULL, env=self.env, preexec_fn=preexec, start_new_session=True)
        p.logs = (out, err, os.path.join(logdir, tag))
        p.started = time.monotonic()
        return p

    def finish(self, p, timeout=None):
        """(returncode or None on a hang, stdout, stderr)."""
        try:
            rc = p.wait(timeout=timeout or self.timeout)
        except subprocess.TimeoutExpired:
            os.killpg(p.pid, signal.SIGKILL)
            p.wait()
            rc = None
        out, err, base = p.logs
        out.close()
        err.close()
        with open(base + ".out", "rb") as f:
            stdout = f.read().decode("utf-8", "replace")
        with open(base + ".err", "rb") as f:
            stderr = f.read().decode("utf-8", "replace")
        return rc, stdout, stderr

    def run(self, args, logdir, tag="run", preexec=None):
        return self.finish(self.start(args, logdir, tag, preexec))

    def check(self, files):
        if not files:
            return {}
        r = subprocess.run([self.checker] + files, capture_output=True, timeout=self.timeout)
        facts = {}
        for line in r.stdout.decode("utf-8", "replace").splitlines():
            j = json.loads(line)
            facts[j["file"]] = j
        return facts


def result_of(stdout):
    """The closing JSON result of an export run, or None."""
    for line in reversed(stdout.splitlines()):
        try:
            j = json.loads(line)
        except ValueError:
            continue
        if isinstance(j, dict) and j.get("event") == "result":
            return j
    return None


def outcome_of(entry):
    if "outcome" in entry:
        return entry["outcome"]
    return {"exported": "complete", "failed": "failed", "cancelled": "incomplete"}.get(entry.get("status"), "?")


class Checker:
    """Judges one finished (or killed) run against the clean export."""

    def __init__(self, run, program):
        self.run = run
        self.program = program

    def judge(self, case, rc, stdout, stderr, out_folder, study, before, ref, sent=None, others=""):
        """others: the output of processes that wrote into the same folder."""
        r = self.run
        if rc is None:
            r.add("hangs", case, "no exit within %d s" % self.program.timeout)
        else:
            mark = next((m for m in SANITIZER_MARKS if m in stderr), None)
            if mark is None and rc < 0 and -rc != sent:
                mark = "killed by signal %d" % -rc
            if mark:
                lines = [l for l in stderr.splitlines() if mark in l] or stderr.splitlines() or [""]
                r.add("crashes", case, lines[0][:200])
        if before is not None and digest(study) != before:
            r.add("study_changed", case, "the study folder was written to")
        names = sorted(os.listdir(out_folder)) if os.path.isdir(out_folder) else []
        finals = [os.path.join(out_folder, n) for n in names if is_final(n)]
        temps = [n for n in names if not is_final(n) and not n.endswith(".jsonl")]  # the batch manifest stays
        if temps and rc is not None and sent != signal.SIGKILL:
            r.add("left_temporary", case, "left behind " + ", ".join(temps[:3]))
        facts = self.program.check(finals)
        for f in finals:
            if not facts.get(f, {}).get("accepted"):
                j = facts.get(f, {})
                r.add("unreadable_final", case, "%s: %s" % (os.path.basename(f),
                                                            j.get("strict_error") or "EDFlib error %s" % j.get("edflib_error")))
        result = result_of(stdout) if rc is not None else None
        if result is None:
            # No outcome (killed, or it died): a final name alone says complete.
            for f in finals:
                self.complete_or_loss(case, [facts.get(f, {})], ref, "final name without an outcome")
            return "rc=%s no outcome, %d final file(s)" % (rc, len(finals))
        spoken = json.dumps(result, ensure_ascii=False) + others
        for f in finals:
            if os.path.basename(f) not in spoken:
                r.add("unlisted_final", case, os.path.basename(f) + " is named by no outcome")
        outcomes = []
        for entry in result.get("studies", []):
            o = outcome_of(entry)
            outcomes.append(o)
            if o == "complete":
                listed = [f for f in entry.get("files", [])]
                missing = [f for f in listed if not os.path.exists(f)]
                if missing or not listed:
                    r.add("silent_loss", case, "complete but its files are missing: %s" % (missing or "none listed"))
                    continue
                self.complete_or_loss(case, [self.program.check([f]).get(f, {}) for f in listed], ref,
                                      "outcome complete")
        return "rc=%s outcomes %s" % (rc, ",".join(outcomes) or "-")

    def complete_or_loss(self, case, facts, ref, why):
        if not all(f.get("accepted") for f in facts):
            return  # counted as unreadable
        seconds = sum(f["seconds"] for f in facts)
        notes = sum(f["notes"] for f in facts)
        signals = min(f["signals"] for f in facts)
        # More than the study holds is a loss too: another study's data
        # under this one's name.
        lost = []
        if abs(seconds - ref["seconds"]) > 1e-6:
            lost.append("%.1f of %.1f s" % (seconds, ref["seconds"]))
        if notes != ref["notes"]:
            lost.append("%d of %d notes" % (notes, ref["notes"]))
        if signals != ref["signals"]:
            lost.append("%d of %d signals" % (signals, ref["signals"]))
        if lost:
            self.run.add("silent_loss", case, why + ", but it holds " + ", ".join(lost))


def mutate(rng, path):
    data = bytearray(open(path, "rb").read())
    kind = rng.choice(("flip", "truncate", "zero"))
    if not data:
        kind = "truncate"
    if kind == "flip":
        spots = []
        for _ in range(rng.randint(1, 8)):
            at = rng.randrange(len(data))
            bit = rng.randrange(8)
            data[at] ^= 1 << bit
            spots.append("%d.%d" % (at, bit))
        what = "flip " + " ".join(spots)
    elif kind == "truncate":
        n = rng.randrange(len(data)) if data else 0
        data = data[:n]
        what = "truncate to %d" % n
    else:
        at = rng.randrange(len(data))
        n = rng.randint(1, min(4096, len(data) - at))
        data[at:at + n] = bytes(n)
        what = "zero %d+%d" % (at, n)
    with open(path, "wb") as f:
        f.write(data)
    return what


class Mount:
    """A small tmpfs (root only), unmounted on exit."""

    def __init__(self, path, options):
        self.path, self.ok = path, False
        os.makedirs(path, exist_ok=True)
        if os.geteuid() == 0 and shutil.which("mount"):
            self.ok = subprocess.run(["mount", "-t", "tmpfs", "-o", options, "tmpfs", path],
                                     capture_output=True).returncode == 0

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        if self.ok:
            subprocess.run(["umount", "-l", self.path], capture_output=True)


def file_size_limit(limit):
    def apply():
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)  # write() fails with EFBIG instead
        resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))
    return apply


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--build", default="build/dev", help="build folder with skrivo and tests/skrivo_edfcheck")
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--quick", action="store_true", help="the short seeded subset run in CI")
    ap.add_argument("--corruptions", type=int, help="corrupt-study cases (default 240, quick 36)")
    ap.add_argument("--moments", type=int, help="kill -9 and Ctrl-C moments each (default 24, quick 3)")
    ap.add_argument("--jobs", type=int, default=2)
    ap.add_argument("--timeout", type=int, default=120, help="seconds before a run counts as hung")
    ap.add_argument("--work", help="work folder (default: a new temporary one, removed at the end)")
    ap.add_argument("--keep", action="store_true", help="keep the work folder")
    ap.add_argument("-v", "--verbose", action="store_true")
    a = ap.parse_args()
    corruptions = a.corruptions if a.corruptions is not None else (36 if a.quick else 240)
    moments = a.moments if a.moments is not None else (3 if a.quick else 24)

    work = a.work or tempfile.mkdtemp(prefix="skrivo-faults-")
    os.makedirs(work, exist_ok=True)
    program = Program(a.build, work, a.timeout)
    run = Run(a.verbose)
    judge = Checker(run, program)
    rng = random.Random(a.seed)
    t0 = time.monotonic()
    try:
        cases(a, work, program, run, judge, rng, corruptions, moments)
    finally:
        if not a.keep and not a.work:
            shutil.rmtree(work, ignore_errors=True)
    c = run.counts
    print("faults: seed=%d %.0f s study_changed=%d unlisted_final=%d left_temporary=%d" %
          (a.seed, time.monotonic() - t0, c["study_changed"], c["unlisted_final"], c["left_temporary"]))
    print("faults: cases=%d crashes=%d hangs=%d silent_loss=%d unreadable_final=%d" %
          (c["cases"], c["crashes"], c["hangs"], c["silent_loss"], c["unreadable_final"]))
    bad = sum(v for k, v in c.items() if k != "cases")
    return 1 if bad else 0


def simulate(program, folder, logdir, *args):
    rc, out, err = program.run(["simulate", folder, "--quiet"] + list(args), logdir, "simulate")
    if rc != 0:
        sys.exit("faults: simulate failed: " + err)


def reference(program, study, work, tag, fmt):
    """Facts of the clean export of a study: the yardstick of the cases."""
    out = os.path.join(work, "ref-" + tag)
    t = time.monotonic()
    rc, stdout, stderr = program.run(["export", study, "-o", out, "--json", "--format", fmt], work, "ref-" + tag)
    took = time.monotonic() - t
    finals = [os.path.join(out, n) for n in sorted(os.listdir(out)) if is_final(n)] if rc == 0 else []
    facts = list(program.check(finals).values())
    if rc != 0 or not facts or not all(f["accepted"] for f in facts):
        sys.exit("faults: the clean export of %s failed: %s" % (study, stderr or facts))
    return dict(seconds=sum(f["seconds"] for f in facts), notes=sum(f["notes"] for f in facts),
                signals=min(f["signals"] for f in facts), took=took, bytes=sum(os.path.getsize(f) for f in finals))


def cases(a, work, program, run, judge, rng, corruptions, moments):
    # A sleep study with a gap that starts a second segment holds every kind
    # of study file: .EEG, .STC, two .ETC/.ERD pairs, .ENT and .EPO.
    base = os.path.join(work, "base")
    simulate(program, base, work, "--sleep", "--gaps", "--minutes", "1", "--rate", "128", "--seed", "3")
    refs = {fmt: reference(program, base, work, fmt.replace("+", "p"), fmt) for fmt in ("edf", "edf+")}
    files = {}
    for n in sorted(os.listdir(base)):
        files.setdefault(os.path.splitext(n)[1].upper(), []).append(n)
    missing = [t for t in STUDY_TYPES if t not in files]
    if missing:
        sys.exit("faults: the simulated study lacks " + " ".join(missing))

    print("faults: %d corrupt studies" % corruptions, flush=True)
    plans = []
    for i in range(corruptions):
        kind = STUDY_TYPES[i % len(STUDY_TYPES)]
        plans.append((i, rng.choice(files[kind]), rng.choice(("edf", "edf+")), rng.getrandbits(32)))

    def corrupt(plan):
        i, name, fmt, seed = plan
        case_dir = os.path.join(work, "c%03d" % i)
        study = os.path.join(case_dir, "study")
        shutil.copytree(base, study)
        what = mutate(random.Random(seed), os.path.join(study, name))
        case = "corrupt %s %s (%s)" % (name[-4:], what[:60], fmt)
        before = digest(study)
        out = os.path.join(case_dir, "out")
        rc, stdout, stderr = program.run(["export", study, "-o", out, "--json", "--format", fmt], case_dir)
        n = run.counts["silent_loss"] + run.counts["unreadable_final"] + run.counts["crashes"] + run.counts["hangs"]
        text = judge.judge(case, rc, stdout, stderr, out, study, before, refs[fmt])
        run.case_done(case, text)
        if n == run.counts["silent_loss"] + run.counts["unreadable_final"] + run.counts["crashes"] + run.counts["hangs"] and not a.keep:
            shutil.rmtree(case_dir, ignore_errors=True)

    with concurrent.futures.ThreadPoolExecutor(max_workers=max(1, a.jobs)) as pool:
        list(pool.map(corrupt, plans))

    # A full disk: a tmpfs too small for the file (root), and a file size
    # limit (anyone), each at several points of the file.
    print("faults: full disk", flush=True)
    full = refs["edf+"]["bytes"]
    limits = [0.002, 0.3, 0.9] if a.quick else [0.0005, 0.002, 0.1, 0.3, 0.6, 0.9, 0.99]
    for frac in limits:
        size = max(4096, int(full * frac)) // 4096 * 4096
        case_dir = os.path.join(work, "full-%g" % frac)
        os.makedirs(case_dir)
        before = digest(base)
        out = os.path.join(case_dir, "out")
        rc, stdout, stderr = program.run(["export", base, "-o", out, "--json", "--format", "edf+"], case_dir,
                                         preexec=file_size_limit(size))
        case = "file size limit %d of %d bytes" % (size, full)
        run.case_done(case, judge.judge(case, rc, stdout, stderr, out, base, before, refs["edf+"]))
        with Mount(os.path.join(work, "disk"), "size=%d" % size) as m:
            if m.ok:
                out = os.path.join(m.path, "out")
                rc, stdout, stderr = program.run(["export", base, "-o", out, "--json", "--format", "edf+"], case_dir,
                                                 "tmpfs")
                case = "tmpfs of %d of %d bytes" % (size, full)
                run.case_done(case, judge.judge(case, rc, stdout, stderr, out, base, before, refs["edf+"]))
                if rc == 0 and result_of(stdout) and all(outcome_of(e) == "complete" for e in result_of(stdout)["studies"]):
                    run.add("silent_loss", case, "the disk was full, yet the outcome is complete")

    # A read-only output folder.
    print("faults: read-only output folder", flush=True)
    with Mount(os.path.join(work, "ro"), "ro,size=65536") as m:
        folder = m.path
        if not m.ok:
            os.chmod(folder, 0o555)
        for sub in ("", "new") if m.ok or os.geteuid() != 0 else ():  # root writes past a mode of 555
            out = os.path.join(folder, sub) if sub else folder
            rc, stdout, stderr = program.run(["export", base, "-o", out, "--json", "--format", "edf"], work, "ro")
            case = "read-only output folder%s" % (" (a folder to create in it)" if sub else "")
            run.case_done(case, judge.judge(case, rc, stdout, stderr, out, base, digest(base), refs["edf"]))
            if rc == 0:
                run.add("silent_loss", case, "exit status 0 though nothing could be written")
        if not m.ok:
            os.chmod(folder, 0o755)

    # kill -9 and Ctrl-C at random moments of a long export.
    long_study = os.path.join(work, "long")
    simulate(program, long_study, work, "--minutes", "20" if a.quick else "60", "--rate", "256", "--seed", "5")
    long_ref = reference(program, long_study, work, "long", "edf+")
    print("faults: kill -9 and Ctrl-C at %d moments each of a %.1f s export" % (moments, long_ref["took"]), flush=True)
    before = digest(long_study)
    for sig in (signal.SIGKILL, signal.SIGINT):
        for i in range(moments):
            at = rng.uniform(0.0, 1.1) * long_ref["took"]
            case_dir = os.path.join(work, "sig%d-%d" % (sig, i))
            os.makedirs(case_dir)
            out = os.path.join(case_dir, "out")
            p = program.start(["export", long_study, "-o", out, "--json", "--format", "edf+"], case_dir)
            time.sleep(max(0.0, at - (time.monotonic() - p.started)))
            if p.poll() is None:
                os.kill(p.pid, sig)
            rc, stdout, stderr = program.finish(p)
            case = "%s at %.2f s" % ("kill -9" if sig == signal.SIGKILL else "Ctrl-C", at)
            run.case_done(case, judge.judge(case, rc, stdout, stderr, out, long_study, before,
                                            long_ref, sent=int(sig)))
            shutil.rmtree(case_dir, ignore_errors=True)

    # Two processes exporting into one folder: the same study, and two
    # different studies with one name (seeds 3 and 10003 both name their
    # files "..._0003").
    print("faults: two processes, one folder", flush=True)
    other = os.path.join(work, "other")
    simulate(program, other, work, "--sleep", "--minutes", "2", "--rate", "128", "--seed", "10003")
    other_ref = reference(program, other, work, "other", "edf+")
    for i in range(2 if a.quick else 6):
        case_dir = os.path.join(work, "two-%d" % i)
        os.makedirs(case_dir)
        out = os.path.join(case_dir, "out")
        pair = (base, base) if i % 2 == 0 else (base, other)
        procs = [program.start(["export", s, "-o", out, "--json", "--format", "edf+"], case_dir, "p%d" % k)
                 for k, s in enumerate(pair)]
        ends = [program.finish(p) for p in procs]
        for k, ((rc, stdout, stderr), s) in enumerate(zip(ends, pair)):
            ref = other_ref if s == other else refs["edf+"]
            case = "two processes (%s) #%d" % ("same study" if pair[0] == pair[1] else "two studies, one name", k)
            run.case_done(case, judge.judge(case, rc, stdout, stderr, out, s, None, ref, others=ends[1 - k][1]))


if __name__ == "__main__":
    sys.exit(main())
