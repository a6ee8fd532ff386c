#!/usr/bin/env python3
"""Benchmark of the site preview (prints figures; not a test):

    python3 bench/site_preview.py [--runner wine|host|both] [--wine-machines 20]
                                  [--host-machines 1000] [--jobs 2]

Makes a site of N machines from the example site's machines (taken in turn,
the damaged one left out: it is never run) and previews it with the example
install script, as `scripts/preview.sh --site` does.  Prints the time a
machine and the whole run's time for each runner, and on Wine where a
machine's run spends its time (each phase's mean, from the runs'
timing.json) beside the program's own run.  Goals: at most 0.7 s a machine
on Wine with 2 jobs and at most twice the program's own run, under 60 s
for 1,000 machines on the stand-in.
"""
import argparse
import json
import shutil
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT))

from harness import runners  # noqa: E402
from preview import main as preview_main, site_table  # noqa: E402

GOALS = {"wine": ("a machine", 0.7), "host": ("for the whole run", 60.0)}
# The phases of a Wine run as timing.json names them, in the order they happen.
PHASES = [("prepare", "prefix, drive and plan laid out"), ("display", "Xvfb started and stopped"),
          ("session server start", "wineserver started"),
          ("session import", "the machine's keys imported"),
          ("session program", "driver.exe: the program, the export, the driver's start as NT's"),
          ("session server stop", "wineserver and the run's Wine processes ended"),
          ("session", "the whole session, namespace and Python included")]


def phase_means(folder):
    """Each phase's mean seconds over the runs kept in folder, and how many runs."""
    runs = [json.loads(p.read_text()) for p in Path(folder).glob("*/run/timing.json")]
    names = sorted({k for r in runs for k in r})
    return {k: sum(r.get(k, 0.0) for r in runs) / max(1, len(runs)) for k in names}, len(runs)


def print_phases(means, count, per):
    own = means.get("install.exe", 0.0)
    print("  where a machine's run goes (mean of %d runs, seconds; phases run two at a time):" % count)
    for name, what in PHASES:
        if name in means:
            print("    %-18s %5.2f  %s" % (name, means[name], what))
    print("    %-18s %5.2f  %s" % ("install.exe", own, "the program's own run (its exit event)"))
    if own:
        print("  %.2f s a machine is %.1f times the program's own run (goal: at most 2)"
              % (per, per / own))


def make_site(folder, count):
    """count machines copied into folder, in turn from the example site's previewable ones."""
    examples = [p for _, p in site_table.site_machines(ROOT / "examples/site") if "cut-short" not in p.name]
    for i in range(count):
        src = examples[i % len(examples)]
        dest = folder / ("pc%04d-%s" % (i + 1, src.stem))
        if src.is_dir():
            shutil.copytree(src, dest)
        else:
            shutil.copy2(src, dest.with_suffix(".reg"))


def bench(name, count, jobs):
    runner = runners.make_runner(name)
    ok, why = runner.available()
    if not ok:
        print("%s: cannot run: %s" % (name, why))
        return False
    with tempfile.TemporaryDirectory(prefix="bench-site-") as tmp:
        site = Path(tmp) / "site"
        site.mkdir()
        make_site(site, count)
        runs = Path(tmp) / "runs"
        started = time.time()
        rows = site_table.preview_site(runner, site, preview_main.DEFAULT_SCRIPT, jobs,
                                       out=lambda line: None, keep=runs if name == "wine" else None)
        took = time.time() - started
        means, count = phase_means(runs) if name == "wine" else ({}, 0)
    broken = [r for r in rows if r.problem]
    per = took / max(1, len(rows))
    what, goal = GOALS[name]
    figure = per if name == "wine" else took
    print("%s: %d machines, %d jobs: %.1f s in all, %.2f s a machine (goal: at most %.1f s %s: %s)"
          % (runner.describe() if name == "host" else "wine (%s prefix)" % runner.arch, len(rows), jobs,
             took, per, goal, what, "met" if figure <= goal else "NOT met"))
    if count:
        print_phases(means, count, per)
    if broken:
        print("  %d machines could not be previewed, first: %s" % (len(broken), broken[0].problem))
    if hasattr(runner, "close"):
        runner.close()
    return not broken


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--runner", choices=["wine", "host", "both"], default="both")
    ap.add_argument("--wine-machines", type=int, default=20)
    ap.add_argument("--host-machines", type=int, default=1000)
    ap.add_argument("--jobs", type=int, default=2)
    opts = ap.parse_args()
    ok = True
    for name in (["host", "wine"] if opts.runner == "both" else [opts.runner]):
        count = opts.wine_machines if name == "wine" else opts.host_machines
        ok = bench(name, count, opts.jobs) and ok
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
