#!/usr/bin/env python3
"""Runs install.exe the way an install script would, on Wine, and shows what
it wrote.

    scripts/demo.py                      a Windows 95 and an NT 4.0 machine
    scripts/demo.py --machine PC.reg [--machine MORE.reg] [--script SETUP.TXT]
                    [--version win95|nt40|nt351] [--com COM1,COM3]
                                         a preview on your own machine's registry
    scripts/demo.py --site DIR [--jobs N] [--csv FILE] [--script SETUP.TXT]
                                         a preview of every machine in DIR, as a table
    scripts/demo.py --host ...           the same on the native stand-in

With --machine the keys install.exe reads are taken from the registry
exported on a real PC and loaded into a fresh, throw-away Wine prefix; the
installation runs there and the additions and changes it made are printed as
a diff.  The PC itself is never touched.  On NT the COM devices that exist
are the ones the export lists under HKEY_LOCAL_MACHINE\\HARDWARE\\DEVICEMAP\\SERIALCOMM
(--com names them by hand instead).
"""
import argparse
import os
import sys
import tempfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import preview  # noqa: E402
import regfile  # noqa: E402
import scenario  # noqa: E402
import sitepreview  # noqa: E402

ROOT = scenario.ROOT
DEFAULT_SCRIPT = "path=C:\\Program Files\\Quorbelle\\Redirector\r\nsv1=ip:10.1.2.3:3001\r\nsv2=ipx:server1\r\n"
FILES = ["C:\\windows\\qblred.iss", "C:\\windows\\system32\\drivers\\qblred.sys"]


def subtree(registry, key):
    low = key.lower()
    return {k: v for k, v in registry.items() if k == low or k.startswith(low + "\\")}


def show_value(name, value, entry=None):
    if entry is not None:
        name = entry.get("names", {}).get(name, name)
    return '  "%s" = %s' % (name, regfile.show_data(value))


def print_diff(before, after, version):
    changes = 0
    for key in preview.keys_for(version):
        old, new = subtree(before, key), subtree(after, key)
        for k in sorted(set(old) | set(new)):
            name = (new.get(k) or old.get(k))["name"]
            if k not in old:
                print("+ [%s]" % name)
                for v in sorted(new[k]["values"]):
                    print("+" + show_value(v, new[k]["values"][v], new[k])[1:])
                changes += 1
                continue
            if k not in new:
                print("- [%s]" % name)
                changes += 1
                continue
            ov, nv = old[k]["values"], new[k]["values"]
            lines = []
            for v in sorted(set(ov) | set(nv)):
                if v not in ov:
                    lines.append("+" + show_value(v, nv[v], new[k])[1:])
                elif v not in nv:
                    lines.append("-" + show_value(v, ov[v], old[k])[1:])
                elif ov[v] != nv[v]:
                    lines.append("-" + show_value(v, ov[v], old[k])[1:])
                    lines.append("+" + show_value(v, nv[v], new[k])[1:])
            if lines:
                print("  [%s]" % name)
                print("\n".join(lines))
                changes += 1
    if not changes:
        print("  (no registry changes)")


def print_run(outcome, version):
    boxes = [e for e in outcome.events if e.get("ev") in ("box", "unanswered")]
    for e in boxes:
        if e.get("ev") == "box":
            print('box "%s": %s' % (e.get("caption"), e.get("text")))
    if not boxes:
        print("no message boxes (a silent installation that went well)")
    for e in outcome.events:
        if e.get("ev") == "debug":
            print("debugger output: %r" % e.get("text"))
    print()
    for f in FILES:
        host = outcome.file(f)
        if host is None or not host.is_file():
            continue
        data = host.read_bytes()
        if f.endswith(".iss"):
            print("--- %s (%d bytes, %d lines, CR LF line ends)" % (f, len(data), data.count(b"\r\n")))
            print(data.decode("latin-1").replace("\r\n", "\n"), end="")
            print("---")
        else:
            print("--- %s: the driver file, %d bytes" % (f, len(data)))
    cmd = outcome.file("C:\\testlog\\second-cmdline.txt")
    if cmd is not None and cmd.is_file():
        print("the application installer was started with: %s" % cmd.read_text(errors="replace"))
    else:
        print("the application installer was not started")
    if version.startswith("nt"):
        started = outcome.folder / "nt-start.txt"
        if started.exists():
            for line in started.read_text().splitlines():
                name, before, image, after = (p.strip() for p in line.split("|"))
                print("service %s after the installation: %s" % (name, before))
                if before != "running":
                    print("  (Wine 8.0 loads only drivers given by a full path; Windows NT takes\n"
                          "   the service's relative path from the system root.)")
                print("service %s started as NT finds its driver (%s): %s" % (name, image, after))
        else:
            print("service Qblred: %s" % outcome.services.get("qblred", "absent"))
    print()


def print_summary(row):
    if row.problem:
        print("demo: %s cannot be previewed: %s" % (row.machine, row.problem))
        return
    print("What it would get: %s" % row.would_get())
    if row.class_entry or row.device_entry:
        print("  class entry %s, device entry %s" % (row.class_entry or "none", row.device_entry or "none"))
    print("Ends cleanly: %s" % row.ends_text())
    for note in row.notes + row.runner_notes:
        print("Note: %s" % note)


def demo_plan(opts):
    """(title, export files, version) of each machine the demo runs."""
    if opts.machine:
        return [("your machine (%s)" % ", ".join(opts.machine), [Path(m) for m in opts.machine],
                 opts.version)]
    machines = ROOT / "scenarios/machines"
    plan = []
    if opts.version in (None, "win95"):
        plan.append(("a default Windows 95 machine (COM1 0x3F8-0x3FF, COM2 0x2F8-0x2FF, LPT1)",
                     [machines / "win95-default.reg"], "win95"))
    if opts.version != "win95":
        plan.append(("an NT machine with COM1 and COM2", [machines / "nt40-com1-com2.reg"], opts.version))
    return plan


def preview_one(runner, title, files, version, coms, script_text, tmp):
    """Runs one machine and prints everything its run showed; returns the Row."""
    print("=" * 72)
    print("Silent installation on %s" % title)
    print("=" * 72)

    def details(outcome, version, before):
        print("reported as %s" % version)
        print_run(outcome, version)
        print("What the installation added (+) or changed (-/+) in the registry:")
        print_diff(before, outcome.registry, version)
        print()

    work = Path(tempfile.mkdtemp(prefix="machine-", dir=tmp))
    row = preview.preview_machine(runner, title, files, script_text, work, version, coms, keep=details)
    print_summary(row)
    print()
    return row


def parse_coms(text):
    if text is None:
        return None
    names = [n.strip().upper() for n in text.replace(" ", ",").split(",") if n.strip()]
    bad = [n for n in names if not preview.pcexport.COM_NAME.match(n)]
    if bad:
        raise SystemExit("demo: --com takes COM names such as COM1,COM3, not %s" % ", ".join(bad))
    return names


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--machine", action="append",
                    help="a .reg file (or a folder of them) exported from a PC; may repeat")
    ap.add_argument("--site", help="a folder of machines: a .reg file or a folder of .reg files each")
    ap.add_argument("--script", help="an install script (default: an example)")
    ap.add_argument("--version", choices=["win95", "nt351", "nt40"],
                    help="the platform (default: told by the export)")
    ap.add_argument("--com", help="NT: the COM devices that exist, such as COM1,COM3 "
                                  "(default: those the export lists under SERIALCOMM)")
    ap.add_argument("--jobs", type=int, default=os.cpu_count() or 1,
                    help="machines previewed at once (default: the number of cores)")
    ap.add_argument("--csv", help="--site: also write the table to this CSV file")
    ap.add_argument("--keep", help="--site: keep each machine's run in this folder")
    ap.add_argument("--host", action="store_true", help="run on the native stand-in instead of Wine")
    opts = ap.parse_args()
    if opts.site and opts.machine:
        ap.error("--site and --machine do not go together")
    if (opts.csv or opts.keep) and not opts.site:
        ap.error("--csv and --keep go with --site")
    coms = parse_coms(opts.com)

    runner = scenario.make_runner("host" if opts.host else "wine")
    ok, why = runner.available()
    if not ok:
        print("demo: the %s runner cannot run: %s" % (runner.name, why))
        return 1
    print("Running the real program on %s." % runner.describe())
    script_text = Path(opts.script).read_bytes().decode("latin-1") if opts.script else DEFAULT_SCRIPT
    if not opts.script:
        print("Install script:\n  " + script_text.replace("\r\n", "\n  ").rstrip())
    print()

    try:
        if opts.site:
            return site(runner, opts, coms, script_text)
        status = 0
        with tempfile.TemporaryDirectory(prefix="demo-") as tmp:
            for title, files, version in demo_plan(opts):
                row = preview_one(runner, title, files, version, coms, script_text, tmp)
                status |= sitepreview.status_of([row])
        return status
    finally:
        if hasattr(runner, "close"):
            runner.close()


def site(runner, opts, coms, script_text):
    machines = sitepreview.site_machines(opts.site)
    print("Previewing %d machines of %s, %d at a time." % (len(machines), opts.site, opts.jobs))
    rows = sitepreview.preview_site(runner, opts.site, script_text, opts.jobs, opts.version, coms,
                                    out=lambda line: print(line, flush=True), keep=opts.keep)
    print()
    print(sitepreview.markdown_table(rows))
    if opts.csv:
        sitepreview.write_csv(rows, opts.csv)
        print("\nThe table is also in %s." % opts.csv)
    status = sitepreview.status_of(rows)
    print("\n%d machines: %d would install cleanly, %d would show an error box, %d not previewed."
          % (len(rows), sum(r.clean() for r in rows),
             sum(bool(r.error_boxes()) for r in rows if not r.problem),
             sum(bool(r.problem) for r in rows)))
    return status


if __name__ == "__main__":
    sys.exit(main())
