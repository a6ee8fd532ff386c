#!/bin/sh
# leaves-nothing-behind.sh UNIT_TESTS WORKDIR - runs tests that make C:
# drives, files, threads and processes with TMPDIR set to an empty folder
# of their own, and fails when anything is left in it afterwards.
set -u
tests=$1
tmp=$2/leftover-check
rm -rf "$tmp"
mkdir -p "$tmp" || exit 1
TMPDIR=$tmp "$tests" --gtest_brief=1 \
    --gtest_filter='StandinTest.*:FlowTest.UpdateOnWindows95RunsOnlyTheHandOff:Win95Test.*'
rc=$?
left=$(ls -A "$tmp")
rm -rf "$tmp"
if [ "$rc" != 0 ]; then
    echo "leaves-nothing-behind: the tests failed (exit $rc)"
    exit 1
fi
if [ -n "$left" ]; then
    echo "leaves-nothing-behind: left in TMPDIR: $left"
    exit 1
fi
echo "leaves-nothing-behind: nothing left"
