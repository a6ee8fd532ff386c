#!/usr/bin/env python3
"""Runs install.exe the way an install script would, on Wine, and shows what
it wrote.

    scripts/demo.py                      a Windows 95 and an NT 4.0 machine
    scripts/demo.py --machine PC.reg --script SETUP.TXT [--version win95|nt40|nt351]
                                         a preview on your own machine's registry
    scripts/demo.py --host ...           the same on the native stand-in

With --machine the registry exported from a real PC is loaded into a fresh,
throw-away Wine prefix, the installation runs there, and the additions and
changes it made are printed as a diff.  The PC itself is never touched.
"""
import argparse
import sys
import tempfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import regfile  # noqa: E402
import scenario  # noqa: E402

ROOT = scenario.ROOT
DEFAULT_SCRIPT = "path=C:\\Program Files\\Quorbelle\\Redirector\r\nsv1=ip:10.1.2.3:3001\r\nsv2=ipx:server1\r\n"

# What an installation writes, per platform.
KEYS_95 = [
    "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class\\Ports",
    "HKEY_LOCAL_MACHINE\\Enum\\Root\\Ports",
]
KEYS_NT = ["HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Qblred"]
KEYS_BOTH = ["HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Quorbelle Redirector"]
FILES = ["C:\\windows\\qblred.iss", "C:\\windows\\system32\\drivers\\qblred.sys"]


def escape(text):
    return text.replace("\\", "\\\\").replace("\r", "\\r").replace("\n", "\\n")


def write_scenario(folder, version, machine_reg, script_text, runner):
    """A scenario file for one silent run; its key lines make the runner export those keys."""
    lines = ["version: " + version, "program: second exit0"]
    if machine_reg:
        lines.append("reg: < " + str(Path(machine_reg).resolve()))
    if version.startswith("nt"):
        lines += ["program: qblred.sys", "com: COM1 COM2"]
    lines.append("text: C:\\setup\\setup.txt = " + escape(script_text))
    lines.append("cmdline: C:\\\\setup\\\\setup.txt")
    for key in keys_for(version):
        lines.append("key: " + key)
    lines.append("service: Qblred | running")
    if version.startswith("nt"):
        # Wine fails the start of a driver whose path is relative to the
        # system root (the box is answered), then the runner starts it the
        # way NT finds its driver.
        lines += ["on wine: answer: OK", "on wine: nt-start: Qblred"]
    path = Path(folder) / ("demo-%s.scn" % version)
    path.write_text("\n".join(lines) + "\n", encoding="utf-8")
    return scenario.Scenario(path, runner)


def keys_for(version):
    return (KEYS_NT if version.startswith("nt") else KEYS_95) + KEYS_BOTH


def subtree(registry, key):
    low = key.lower()
    return {k: v for k, v in registry.items() if k == low or k.startswith(low + "\\")}


def show_value(name, value, entry=None):
    if entry is not None:
        name = entry.get("names", {}).get(name, name)
    return '  "%s" = %s' % (name, regfile.show_data(value))


def print_diff(before, after, version):
    changes = 0
    for key in keys_for(version):
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


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--machine", help="a .reg file exported from a PC (REGEDIT4 or version 5)")
    ap.add_argument("--script", help="an install script (default: an example)")
    ap.add_argument("--version", default=None, help="win95 (default), nt351 or nt40")
    ap.add_argument("--host", action="store_true", help="run on the native stand-in instead of Wine")
    opts = ap.parse_args()

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

    if opts.machine:
        plan = [(opts.version or "win95", opts.machine, "your machine (%s)" % opts.machine)]
    else:
        machine95 = ROOT / "scenarios/machines/win95-default.reg"
        plan = [(opts.version or "win95", machine95,
                 "a default Windows 95 machine (COM1 0x3F8-0x3FF, COM2 0x2F8-0x2FF, LPT1)")]
        if not opts.version:
            plan.append(("nt40", None, "an NT 4.0 machine with COM1 and COM2"))

    status = 0
    with tempfile.TemporaryDirectory(prefix="demo-") as tmp:
        for version, machine, title in plan:
            print("=" * 72)
            print("Silent installation on %s, reported as %s" % (title, version))
            print("=" * 72)
            scn = write_scenario(tmp, version, machine, script_text, runner.name)
            work = Path(tempfile.mkdtemp(prefix="run-", dir=tmp))
            runner.run(scn, work)
            outcome = scenario.Outcome(work)
            trouble = [e for e in outcome.events if e.get("ev") in ("timeout", "error")]
            if trouble or not any(e.get("ev") == "exit" for e in outcome.events):
                print("demo: the run did not complete: %s" % (trouble or "no exit"))
                status = 1
                continue
            print_run(outcome, version)
            before = regfile.parse_file(machine) if machine else {}
            print("What the installation added (+) or changed (-/+) in the registry:")
            print_diff(before, outcome.registry, version)
            print()
    if hasattr(runner, "close"):
        runner.close()
    return status


if __name__ == "__main__":
    sys.exit(main())
