#!/usr/bin/env bash
# Builds everything and runs every test: the Win32 build, its image checks
# (imports, 386 code, relocations) and a second build that must give the
# same bytes, its C runtime against msvcrt.dll under Wine, the native
# build with its unit tests (plain and under the sanitizers), the
# scenarios and the site preview on both runners, the Windows 95
# scenarios once more on the stand-in with the registry's subkeys in a
# shuffled order (the seed drawn and printed), the fuzzers for a
# short budget, the static analysers and the benchmark.  Installs what
# it needs first.
# Ends with one line "tests: N passed, M failed"; exits non-zero on any
# failure, including a step that could not run.
set -u
cd "$(dirname "$0")/.."
root=$(pwd)
log=$root/build/test-logs
mkdir -p "$log"

passed=0
failed=0
failures=()

# step NAME COMMAND...: runs one step, its output to its log and the screen.
step() {
    local name=$1; shift
    echo "== $name"
    local start=$SECONDS
    "$@" 2>&1 | tee "$log/$name.log"
    local rc=${PIPESTATUS[0]}
    if [ "$rc" -eq 0 ]; then
        echo "== $name: ok ($((SECONDS - start)) s)"
    else
        echo "== $name: FAILED (exit $rc, $((SECONDS - start)) s; log $log/$name.log)"
        failures+=("$name")
    fi
    tally "$name" "$rc"
    return "$rc"
}

# tally NAME RC: adds the figures of a step.  A step whose log ends with
# "N passed, M failed" (our runners) or ctest's summary counts those; any
# other step counts as one test.  A failed step that reports no failures of
# its own still counts one failure.
tally() {
    local file=$log/$1.log rc=$2 line p=0 f=0
    line=$(grep -E '(^|[^0-9])[0-9]+ passed, [0-9]+ failed' "$file" | tail -n 1)
    if [ -n "$line" ]; then
        p=$(sed -E 's/.*(^|[^0-9])([0-9]+) passed, ([0-9]+) failed.*/\2/' <<<"$line")
        f=$(sed -E 's/.*(^|[^0-9])([0-9]+) passed, ([0-9]+) failed.*/\3/' <<<"$line")
    else
        line=$(grep -E 'tests passed, [0-9]+ tests failed out of [0-9]+' "$file" | tail -n 1)
        if [ -n "$line" ]; then
            f=$(sed -E 's/.* ([0-9]+) tests failed out of.*/\1/' <<<"$line")
            p=$(( $(sed -E 's/.*out of ([0-9]+).*/\1/' <<<"$line") - f ))
        elif [ "$rc" -eq 0 ]; then
            p=1
        fi
    fi
    [ "$rc" -ne 0 ] && [ "$f" -eq 0 ] && f=1
    passed=$((passed + p)); failed=$((failed + f))
}

step deps scripts/deps.sh || { echo "tests: 0 passed, 1 failed"; exit 1; }

step build-win32 bash -c 'cmake --preset win32 >/dev/null && cmake --build --preset win32'
step pe-check-selftest checks/test-pe-image.sh
step pe-check checks/pe-image.sh build/win32/install.exe
step resources-linked python3 checks/resources.py --exe build/win32/install.exe
step reproducible checks/reproducible.sh build/win32/install.exe
step pe-check-drivers checks/pe-image.sh --driver build/win32/testprogs/qblred.sys build/win32/testprogs/qblred-sticky.sys
step build-win64 bash -c 'cmake --preset win64 >/dev/null && cmake --build --preset win64'
step build-host bash -c 'cmake --preset host >/dev/null && cmake --build --preset host'
step unit-host ctest --preset host
step build-asan bash -c 'cmake --preset host-asan >/dev/null && cmake --build --preset host-asan'
step unit-asan ctest --preset host-asan
step harness-tests python3 -m unittest -v harness.test_harness
step runtime-wine python3 checks/runtime.py
step scenarios python3 harness/play.py --runner both --jobs 2
step scenarios-shuffled python3 harness/play.py --runner host --shuffle --jobs 2 --version win95
step site-preview python3 -m unittest -v preview.test_preview
step screenshots bash -c 'python3 -m unittest harness.test_screenshots && d=$(mktemp -d) && trap "rm -rf $d" EXIT && python3 harness/screenshots.py --out "$d" --check-readme README.md'
step fuzz fuzz/run.sh --short
step lint checks/lint.sh
step bench build/host/bench/bench_win95

echo
echo "failed steps: ${failures[*]:-none}"
echo "tests: $passed passed, $failed failed"
[ ${#failures[@]} -eq 0 ]
