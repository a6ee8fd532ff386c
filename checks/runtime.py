#!/usr/bin/env python3
"""Runs tests/wine/runtime_check.exe under Wine, where install.exe's own C
runtime meets the C runtime DLL it replaces, and prints its report.

    python3 checks/runtime.py

Uses the Wine runner's base prefix (a copy of it, in a folder of its own
under the runner's cache, which the runner's unprivileged user can reach
wherever the checkout lies), its choice of 32-bit or 64-bit Wine and that
user.  Ends with "runtime: N passed,
M failed"; exits non-zero on any failure or when the check cannot run.
"""
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT))

from harness import wine_runner  # noqa: E402
from harness.wine_session import z_path  # noqa: E402


def main():
    runner = wine_runner.WineRunner(ROOT)
    exe = runner.build / "tests/wine/runtime_check.exe"
    if not exe.exists():
        print("runtime: 0 passed, 1 failed (%s missing: build the %s preset)" % (exe, runner.arch))
        return 1
    runner.base = runner.base_prefix()
    # Not below the checkout: it may lie in a folder only root may enter.
    work = Path(tempfile.mkdtemp(prefix="runtime-check-", dir=runner.cache))
    scratch = work / "files"
    scratch.mkdir(parents=True)
    prefix = work / "prefix"
    wine_runner.copy_prefix(runner.base, prefix)
    # Wine runs as the runner's unprivileged user, in a folder of its own.
    shutil.copyfile(exe, work / exe.name)
    account = runner.wine_account()
    account.own(work)
    xvfb, display = wine_runner.start_xvfb()
    env = wine_runner.wine_env(runner.arch, prefix, display, account)
    args = z_path(scratch)
    try:
        r = subprocess.run([runner.loader, str(work / exe.name), args], env=env,
                           stdin=subprocess.DEVNULL, capture_output=True, timeout=300,
                           **account.creds())
    finally:
        for flag in ("-k", "-w"):
            subprocess.run([runner.server, flag], env=env, capture_output=True, timeout=30,
                           **account.creds())
        wine_runner.stop(xvfb)
    report = scratch / "report.txt"
    text = report.read_bytes().decode("latin-1") if report.exists() else ""
    print("%s, %s" % (runner.describe(), exe.relative_to(ROOT)))
    print(text.replace("\r\n", "\n"), end="")
    failures = []
    if r.returncode != 0:
        failures.append("runtime_check.exe exited with %d" % r.returncode)
    if not text.startswith("args: [%s]\r\n" % args):
        failures.append("WinMain did not receive the argument text %r" % args)
    last = text.strip().splitlines()[-1] if text.strip() else ""
    if not (last.startswith("runtime: ") and last.endswith(" 0 failed")):
        failures.append("the report does not end with 0 failed")
    if not failures:
        shutil.rmtree(work, ignore_errors=True)
        return 0
    for f in failures:
        print("FAIL " + f)
    print("(the run's folder is kept: %s)" % work)
    if "passed," not in last:
        print("runtime: 0 passed, %d failed" % len(failures))
    return 1


if __name__ == "__main__":
    sys.exit(main())
