#!/usr/bin/env python3
"""Runs install.exe the way an install script would, on Wine, and shows what
it wrote: the command behind scripts/demo.sh and scripts/preview.sh.

    scripts/demo.sh                      a Windows 95 and an NT 4.0 machine
    scripts/preview.sh --machine PC.reg [--machine MORE.reg] [--script SETUP.TXT]
                       [--version NAME] [--com COM1,COM3]
                                         a preview on your own machine's registry
    scripts/preview.sh --site DIR [--jobs N] [--csv FILE] [--script SETUP.TXT]
                                         a preview of every machine in DIR, as a table
    ... --host                           the same on the native stand-in

scripts/demo.sh takes --machine and --site too.  With --machine the keys
install.exe reads are taken from the registry exported on a real PC and
loaded into a fresh, throw-away Wine prefix; the installation runs there
and the additions and changes it made are printed as a diff.  The PC itself
is never touched.  On NT the COM devices that exist are the ones the export
lists under HKEY_LOCAL_MACHINE\\HARDWARE\\DEVICEMAP\\SERIALCOMM (--com
names them by hand instead).  --version takes every name of
harness/versions.py and wins over the version the export tells.
`--as preview` (first) names the command
scripts/preview.sh, which wants --machine or --site.
"""
import argparse
import os
import sys
import tempfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent))

from harness import runners, versions  # noqa: E402
from harness.scenario import ROOT  # noqa: E402
from preview import machine, pc_export, report, site_table  # noqa: E402

DEFAULT_SCRIPT = "path=C:\\Program Files\\Quorbelle\\Redirector\r\nsv1=ip:10.1.2.3:3001\r\nsv2=ipx:server1\r\n"


def demo_plan(opts):
    """(title, export files, version) of each machine the demo runs."""
    if opts.machine:
        return [("your machine (%s)" % ", ".join(opts.machine), [Path(m) for m in opts.machine],
                 opts.version)]
    machines = ROOT / "scenarios/machines"
    plan = []
    if opts.version is None or versions.is_9x(opts.version):
        plan.append(("a default Windows 95 machine (COM1 0x3F8-0x3FF, COM2 0x2F8-0x2FF, LPT1)",
                     [machines / "win95-default.reg"], opts.version or "win95"))
    if not versions.is_9x(opts.version or "nt40"):
        plan.append(("an NT machine with COM1 and COM2", [machines / "nt40-com1-com2.reg"], opts.version))
    return plan


def preview_one(runner, title, files, version, coms, script_text, tmp, command):
    """Runs one machine and prints everything its run showed; returns the Row."""
    print("=" * 72)
    print("Silent installation on %s" % title)
    print("=" * 72)

    def details(outcome, version, before):
        print("reported as %s" % version)
        report.print_run(outcome, version)
        print("What the installation added (+) or changed (-/+) in the registry:")
        report.print_diff(before, outcome.registry, version, runner.name)
        print()

    work = Path(tempfile.mkdtemp(prefix="machine-", dir=tmp))
    row = machine.preview_machine(runner, title, files, script_text, work, version, coms, keep=details)
    report.print_summary(row, command)
    print()
    return row


def parse_coms(text, command):
    if text is None:
        return None
    names = [n.strip().upper() for n in text.replace(" ", ",").split(",") if n.strip()]
    bad = [n for n in names if not pc_export.COM_NAME.match(n)]
    if bad:
        raise SystemExit(command + ": --com takes COM names such as COM1,COM3, not %s" % ", ".join(bad))
    return names


def main(argv=None):
    args = sys.argv[1:] if argv is None else list(argv)
    command = "demo"
    if args[:2] == ["--as", "preview"]:
        command, args = "preview", args[2:]
    ap = argparse.ArgumentParser(prog="scripts/%s.sh" % command, description=__doc__.split("\n")[0])
    ap.add_argument("--machine", action="append",
                    help="a .reg file (or a folder of them) exported from a PC; may repeat")
    ap.add_argument("--site", help="a folder of machines: a .reg file or a folder of .reg files each")
    ap.add_argument("--script", help="an install script (default: an example)")
    ap.add_argument("--version", choices=versions.NAMES, metavar="NAME",
                    help="the Windows version, one of %s (default: told by the export)"
                         % " ".join(versions.NAMES))
    ap.add_argument("--com", help="NT: the COM devices that exist, such as COM1,COM3 "
                                  "(default: those the export lists under SERIALCOMM)")
    ap.add_argument("--jobs", type=int, default=os.cpu_count() or 1,
                    help="machines previewed at once (default: the number of cores)")
    ap.add_argument("--csv", help="--site: also write the table to this CSV file")
    ap.add_argument("--keep", help="--site: keep each machine's run in this folder")
    ap.add_argument("--host", action="store_true", help="run on the native stand-in instead of Wine")
    opts = ap.parse_args(args)
    if command == "preview" and not (opts.site or opts.machine):
        ap.error("give the PCs to preview: --machine PC.reg or --site DIR "
                 "(scripts/demo.sh runs the default machines)")
    if opts.site and opts.machine:
        ap.error("--site and --machine do not go together")
    if (opts.csv or opts.keep) and not opts.site:
        ap.error("--csv and --keep go with --site")
    coms = parse_coms(opts.com, command)

    runner = runners.make_runner("host" if opts.host else "wine")
    ok, why = runner.available()
    if not ok:
        print("%s: the %s runner cannot run: %s" % (command, runner.name, why))
        return 1
    print("Running the real program on %s." % runner.describe())
    script_text = Path(opts.script).read_bytes().decode("latin-1") if opts.script else DEFAULT_SCRIPT
    if not opts.script:
        print("Install script:\n  " + script_text.replace("\r\n", "\n  ").rstrip())
    print()

    try:
        if opts.site:
            return preview_site(runner, opts, coms, script_text)
        status = 0
        with tempfile.TemporaryDirectory(prefix="demo-") as tmp:
            for title, files, version in demo_plan(opts):
                row = preview_one(runner, title, files, version, coms, script_text, tmp, command)
                status |= site_table.status_of([row])
        return status
    finally:
        if hasattr(runner, "close"):
            runner.close()


def preview_site(runner, opts, coms, script_text):
    machines = site_table.site_machines(opts.site)
    print("Previewing %d machines of %s, %d at a time." % (len(machines), opts.site, opts.jobs))
    rows = site_table.preview_site(runner, opts.site, script_text, opts.jobs, opts.version, coms,
                                    out=lambda line: print(line, flush=True), keep=opts.keep)
    print()
    print(site_table.markdown_table(rows))
    if opts.csv:
        site_table.write_csv(rows, opts.csv)
        print("\nThe table is also in %s." % opts.csv)
    status = site_table.status_of(rows)
    print("\n%d machines: %d would install cleanly, %d would show an error box, %d not previewed."
          % (len(rows), sum(r.clean() for r in rows),
             sum(bool(r.error_boxes()) for r in rows if not r.problem),
             sum(bool(r.problem) for r in rows)))
    return status


if __name__ == "__main__":
    sys.exit(main())
