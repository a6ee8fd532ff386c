#!/usr/bin/env bash
# The program's main job: a silent installation of the real install.exe under
# Wine on a default machine, showing what it wrote.  Options go to demo.py:
#   scripts/demo.sh [--machine PC.reg] [--script SETUP.TXT] [--version win95|nt351|nt40] [--host]
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh >/tmp/redirector-deps.log 2>&1 || { cat /tmp/redirector-deps.log; exit 1; }
build() { cmake --preset "$1" >/dev/null && cmake --build --preset "$1" >/dev/null; }
build win32
build win64
case " $* " in *" --host "*) build host ;; esac
exec python3 scripts/demo.py "$@"
