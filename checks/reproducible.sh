#!/usr/bin/env bash
# reproducible.sh - builds install.exe a second time, from the same
# sources into another folder (so another build path), and checks that the
# two images are the same bytes.  Prints both SHA-256 sums.
#
#   checks/reproducible.sh [build/win32/install.exe]
set -u
cd "$(dirname "$0")/.." || exit 2
first=${1:-build/win32/install.exe}
again=build/win32-again
[ -f "$first" ] || { echo "reproducible: $first missing (build the win32 preset first)"; exit 1; }
rm -rf "$again"
if ! { cmake -S . -B "$again" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake \
        -DCMAKE_BUILD_TYPE=MinSizeRel && cmake --build "$again" --target install_exe -j2; } \
        >"$again.log" 2>&1; then
    tail -20 "$again.log"
    echo "reproducible: the second build failed (log $again.log)"
    exit 1
fi
sha256sum "$first" "$again/install.exe"
if cmp "$first" "$again/install.exe"; then
    echo "reproducible: the two builds are the same $(stat -c %s "$first") bytes"
    rm -rf "$again" "$again.log"
    exit 0
fi
echo "reproducible: the two builds differ"
exit 1
