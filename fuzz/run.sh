#!/bin/sh
# run.sh - builds the libFuzzer targets (preset "fuzz") and runs each one
# for a fixed time over its seed corpus, under AddressSanitizer,
# UndefinedBehaviorSanitizer and leak detection.
#
#   fuzz/run.sh --short            20 s per target, one at a time
#   fuzz/run.sh --long [SECONDS]   SECONDS per target (default 600),
#                                      two targets at a time
#   options: --jobs N (targets at a time), --only TARGET (repeatable)
#
# Per target it prints executions, coverage (cov/ft) and the crash, leak,
# timeout and out-of-memory inputs found, and it ends with
# "fuzz: N passed, M failed".  A target that crashes, leaks, hangs or
# cannot be built or run counts as failed.  Inputs found are kept in
# build/fuzz/work/<target> (the seeds in fuzz/corpus/<target> are not
# touched), failing inputs in build/fuzz/artifacts/<target>, logs in
# build/fuzz/logs, the targets' temporary C: drives in build/fuzz/tmp.
set -u
cd "$(dirname "$0")/.." || exit 2

mode=""
budget=20
jobs=1
only=""
while [ $# -gt 0 ]; do
    case "$1" in
    --short) mode=short; budget=20; jobs=1 ;;
    --long)
        mode=long; budget=600; jobs=2
        case "${2:-}" in [0-9]*) budget=$2; shift ;; esac ;;
    --jobs) jobs=$2; shift ;;
    --only) only="$only $2"; shift ;;
    *) echo "usage: $0 --short | --long [SECONDS] [--jobs N] [--only TARGET]" >&2; exit 2 ;;
    esac
    shift
done
[ -n "$mode" ] || { echo "usage: $0 --short | --long [SECONDS]" >&2; exit 2; }

targets="fuzz_script fuzz_allocation fuzz_census fuzz_numbering fuzz_regfile fuzz_format"
[ -n "$only" ] && targets=$only
out=build/fuzz
mkdir -p "$out/logs"
# The targets' C: drives go here, not into /tmp: a target that crashes
# ends without removing its own.
rm -rf "$out/tmp"
mkdir -p "$out/tmp"
TMPDIR=$(pwd)/$out/tmp
export TMPDIR

echo "fuzz: building (preset fuzz)"
if ! { cmake --preset fuzz && cmake --build --preset fuzz; } >"$out/logs/build.log" 2>&1; then
    tail -20 "$out/logs/build.log"
    n=0; for t in $targets; do n=$((n + 1)); done
    echo "fuzz: 0 passed, $n failed (build failed, see $out/logs/build.log)"
    exit 1
fi

run_one() {
    t=$1
    bin="$out/fuzz/$t"
    work="$out/work/$t"
    art="$out/artifacts/$t/"
    mkdir -p "$work" "$art"
    rm -f "$art"crash-* "$art"leak-* "$art"timeout-* "$art"oom-* "$out/logs/$t.rc"
    ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
        "$bin" -max_total_time="$budget" -timeout=10 -rss_limit_mb=2048 \
        -print_final_stats=1 -artifact_prefix="$art" \
        "$work" "fuzz/corpus/$t" >"$out/logs/$t.log" 2>&1
    echo $? >"$out/logs/$t.rc"
}

report_one() {
    t=$1
    log="$out/logs/$t.log"
    rc=$(cat "$out/logs/$t.rc" 2>/dev/null || echo 127)
    execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
    [ -n "$execs" ] || execs=$(grep -o '^#[0-9]*' "$log" | tail -1 | tr -d '#')
    covft=$(grep -o 'cov: [0-9]* ft: [0-9]*' "$log" | tail -1)
    art="$out/artifacts/$t/"
    crashes=$(ls "$art" 2>/dev/null | grep -c '^crash-')
    leaks=$(ls "$art" 2>/dev/null | grep -c '^leak-')
    hangs=$(ls "$art" 2>/dev/null | grep -c -e '^timeout-' -e '^oom-')
    ub=$(grep -c 'runtime error:' "$log")
    status=passed
    if [ "$rc" != 0 ] || [ "$crashes" != 0 ] || [ "$leaks" != 0 ] || [ "$hangs" != 0 ]; then
        status=FAILED
    fi
    printf '%-16s %-6s execs %-10s %-20s crashes %s leaks %s ub %s hangs %s (%ss)\n' \
        "$t" "$status" "${execs:-0}" "${covft:-cov: ? ft: ?}" "$crashes" "$leaks" "$ub" \
        "$hangs" "$budget"
    if [ "$status" = FAILED ]; then
        grep -m3 -e 'check failed' -e 'ERROR: ' -e 'runtime error:' "$log" | sed 's/^/    /'
        ls "$art" 2>/dev/null | sed "s|^|    input: $art|"
    fi
    [ "$status" = passed ]
}

echo "fuzz: $mode run, ${budget}s per target, $jobs at a time"
running=0
for t in $targets; do
    if [ ! -x "$out/fuzz/$t" ]; then
        echo 127 >"$out/logs/$t.rc"; : >"$out/logs/$t.log"; continue
    fi
    run_one "$t" &
    running=$((running + 1))
    if [ "$running" -ge "$jobs" ]; then
        wait
        running=0
    fi
done
wait

passed=0
failed=0
for t in $targets; do
    if report_one "$t"; then passed=$((passed + 1)); else failed=$((failed + 1)); fi
done
echo "fuzz: $passed passed, $failed failed"
[ "$failed" = 0 ]
