#!/usr/bin/env python3
"""Plays scenarios (docs/scenarios.md) on the native stand-in and on Wine,
and checks what each run left behind against the scenario's expectations.

    python3 harness/play.py [--runner host|wine|both] [--jobs N] [--keep DIR]
                            [--shuffle [SEED]] [--version NAME] [PATHS...]

PATHS are .scn files or folders of them (default: scenarios/).  Prints one
line per scenario and runner and ends with "scenarios: N passed, M failed".
Exits non-zero on any failure, and when a runner cannot run at all.
--shuffle (host runner only) plays every scenario with the registry's
subkeys enumerated in an order drawn from SEED (drawn and printed when not
given), except those written `order: creation`.  --version plays only the
scenarios of that version (win95, nt351, ...).
"""
import argparse
import concurrent.futures
import random
import shutil
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent))

from harness import checker, runners  # noqa: E402
from harness.scenario import ROOT, RUNNER_NAMES, Outcome, Scenario, ScenarioError  # noqa: E402


def collect(paths):
    files = []
    for p in paths:
        p = Path(p)
        if p.is_dir():
            files += sorted(p.rglob("*.scn"))
        elif p.exists():
            files.append(p)
        else:
            raise SystemExit("scenario: no such file or folder: %s" % p)
    return files


def play(runner, scenario, keep):
    work = Path(tempfile.mkdtemp(prefix="scn-%s-" % runner.name, dir=keep))
    start = time.time()
    try:
        runner.run(scenario, work)
        problems = checker.check(scenario, Outcome(work))
    except Exception as e:  # a broken run is a failed scenario, never a skip
        problems = ["runner failed: %s: %s" % (type(e).__name__, e)]
    took = time.time() - start
    if not problems and keep is None:
        shutil.rmtree(work, ignore_errors=True)
    return problems, took, work


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--runner", choices=["host", "wine", "both"], default="both")
    ap.add_argument("--jobs", type=int, default=1)
    ap.add_argument("--keep", help="keep every outcome in this folder")
    ap.add_argument("--shuffle", nargs="?", const="draw", metavar="SEED",
                    help="host runner: enumerate subkeys in an order drawn from SEED "
                         "(a number; drawn and printed when left out)")
    ap.add_argument("--version", help="play only the scenarios of this version")
    ap.add_argument("paths", nargs="*")
    opts = ap.parse_args()
    seed = None
    if opts.shuffle is not None:
        if opts.runner != "host":
            ap.error("--shuffle plays on the host runner only (--runner host)")
        if opts.shuffle != "draw" and not opts.shuffle.isdigit() and Path(opts.shuffle).exists():
            opts.paths.insert(0, opts.shuffle)  # "--shuffle PATH...": no seed given
            opts.shuffle = "draw"
        if opts.shuffle == "draw":
            seed = random.SystemRandom().randrange(1, 2 ** 32)
        elif opts.shuffle.isdigit() and int(opts.shuffle) < 2 ** 64:
            seed = int(opts.shuffle)
        else:
            ap.error("--shuffle takes a number, not %r" % opts.shuffle)
        print("shuffle seed %d" % seed)
    if opts.keep:
        Path(opts.keep).mkdir(parents=True, exist_ok=True)

    try:
        files = collect(opts.paths or [ROOT / "scenarios"])
        scenarios = {name: [Scenario(p, name) for p in files] for name in RUNNER_NAMES}
    except ScenarioError as e:
        print("scenario: %s" % e)
        print("scenarios: 0 passed, 1 failed")
        return 1

    names = ["host", "wine"] if opts.runner == "both" else [opts.runner]
    counts = {}
    passed = failed = 0
    for name in names:
        runner = runners.make_runner(name, seed)
        todo = [s for s in scenarios[name] if name in s.runners and
                opts.version in (None, s.version)]
        ok, why = runner.available()
        if not ok:
            print("%s: cannot run: %s" % (name, why))
            failed += max(1, len(todo))
            counts[name] = (0, max(1, len(todo)))
            continue
        pinned = sum(1 for s in todo if s.order == "creation")
        print("== %s runner: %s, %d scenarios%s" % (
            name, runner.describe(), len(todo),
            "" if seed is None or name != "host" else
            " (shuffle seed %d; %d in the order of creation)" % (seed, pinned)))
        jobs = opts.jobs if name == "host" else min(opts.jobs, getattr(runner, "max_jobs", 1))
        p = f = 0
        with concurrent.futures.ThreadPoolExecutor(max_workers=max(1, jobs)) as pool:
            futures = {pool.submit(play, runner, s, opts.keep): s for s in todo}
            for fut in concurrent.futures.as_completed(futures):
                s = futures[fut]
                problems, took, work = fut.result()
                if problems:
                    f += 1
                    replay = "" if seed is None or s.order == "creation" else \
                        ", shuffle seed %d" % seed
                    print("FAIL %s [%s%s] %.1fs: %s (outcome %s)" % (s.name, name, replay, took,
                                                                     problems[0], work))
                    for extra in problems[1:4]:
                        print("     %s" % extra)
                else:
                    p += 1
                    print("PASS %s [%s] %.1fs" % (s.name, name, took))
        if hasattr(runner, "close"):
            runner.close()
        counts[name] = (p, f)
        passed += p
        failed += f
    print(", ".join("%s: %d passed, %d failed" % (n, c[0], c[1]) for n, c in counts.items()))
    print("scenarios: %d passed, %d failed" % (passed, failed))
    return 0 if failed == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
