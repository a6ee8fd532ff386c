#!/usr/bin/env python3
"""Benchmark of the site preview (prints figures; not a test):

    python3 bench/site_preview.py [--runner wine|host|both] [--wine-machines 20]
                                  [--host-machines 1000] [--jobs 2]

Makes a site of N machines from the example site's machines (taken in turn,
the damaged one left out: it is never run) and previews it with the example
install script, as `scripts/preview.sh --site` does.  Prints the time a
machine and the whole run's time for each runner.  Goals: under 3 s a
machine on Wine with 2 jobs, under 60 s for 1,000 machines on the stand-in.
"""
import argparse
import shutil
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT))

from harness import runners  # noqa: E402
from preview import main as preview_main, site_table  # noqa: E402

GOALS = {"wine": ("a machine", 3.0), "host": ("for the whole run", 60.0)}


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
        started = time.time()
        rows = site_table.preview_site(runner, site, preview_main.DEFAULT_SCRIPT, jobs, out=lambda line: None)
        took = time.time() - started
    broken = [r for r in rows if r.problem]
    per = took / max(1, len(rows))
    what, goal = GOALS[name]
    figure = per if name == "wine" else took
    print("%s: %d machines, %d jobs: %.1f s in all, %.2f s a machine (goal: under %.0f s %s: %s)"
          % (runner.describe() if name == "host" else "wine (%s prefix)" % runner.arch, len(rows), jobs,
             took, per, goal, what, "met" if figure < goal else "NOT met"))
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
