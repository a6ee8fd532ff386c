#!/usr/bin/env bash
# The program's main job: a silent installation of the real install.exe under
# Wine on a default machine, showing what it wrote; or a preview on PCs'
# registry exports (as scripts/preview.sh).  Options go to preview/main.py:
#   scripts/demo.sh [--machine PC.reg]... [--script SETUP.TXT] [--version NAME]
#                   [--com COM1,COM3] [--host]
#   scripts/demo.sh --site DIR [--jobs N] [--csv FILE] [--script SETUP.TXT] [--host]
set -euo pipefail
cd "$(dirname "$0")/.."
name=demo
[ "${1:-}" = --as ] && name=${2:-demo}  # scripts/preview.sh
scripts/deps.sh --log /tmp/redirector-deps.log
build() {
    [ -e "build/$1/CMakeCache.txt" ] ||
        echo "$name: building the $1 programs (the first time takes about a minute)"
    cmake --preset "$1" >/dev/null && cmake --build --preset "$1" >/dev/null
}
build win32
build win64
case " $* " in *" --host "*) build host ;; esac
exec python3 preview/main.py "$@"
