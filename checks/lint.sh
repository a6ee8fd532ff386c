#!/bin/sh
# lint.sh - static analysis of the setup program (install/) and its
# Windows runtime (windows/): clang-tidy
# with the checks of .clang-tidy over the host build's compile database,
# cppcheck (warning, style, performance, portability; suppressions in
# checks/cppcheck-suppressions.txt and inline), and a warnings-as-errors
# compile of every source with the three compilers the program meets
# (g++ and clang++ against the stand-in, MinGW-w64 i686 for Windows).
# Any finding fails; the last line is "lint: clean" or
# "lint: N findings".
set -u
cd "$(dirname "$0")/.." || exit 2

sources="install/shell.cpp install/win95.cpp install/winnt.cpp install/handoff.cpp"
# The runtime's portable files are in the host build too; the rest is
# Windows only and is checked by cppcheck and the MinGW compile.
portable="windows/format.cpp windows/args.cpp"
runtime="windows/entry.cpp windows/snprintf.cpp windows/textfile.cpp windows/strings.cpp windows/strtol.cpp"
db=build/lint
log=$db/lint.log
mkdir -p "$db"
: >"$log"
findings=0

step() { printf 'lint: %-44s' "$1"; }
result() {
    n=$1
    if [ "$n" = 0 ]; then echo ok; else echo "$n finding(s)"; fi
    findings=$((findings + n))
}

# The compile database: the host preset, configured only.
step "compile database (host preset)"
if cmake --preset host -B "$db" >"$db/configure.log" 2>&1 && [ -f "$db/compile_commands.json" ]; then
    echo ok
else
    echo "failed (see $db/configure.log)"
    echo "lint: configure failed"
    exit 1
fi

step "clang-tidy"
# The database is GCC's; clang does not know GCC's loop option (the native
# runtime is built with it, so its loops never become calls to themselves).
sed -i 's/ -fno-tree-loop-distribute-patterns//g' "$db/compile_commands.json"
clang-tidy -p "$db" --quiet $sources $portable >"$db/clang-tidy.log" 2>"$db/clang-tidy.err"
tidy_rc=$?
n=$(grep -c -E ': (warning|error):' "$db/clang-tidy.log")
if [ "$n" = 0 ] && [ "$tidy_rc" != 0 ]; then n=1; cat "$db/clang-tidy.err" >>"$db/clang-tidy.log"; fi
result "$n"
[ "$n" = 0 ] || grep -E ': (warning|error):' "$db/clang-tidy.log" | sed 's/^/    /' | tee -a "$log"

step "cppcheck"
cppcheck --enable=warning,style,performance,portability --inline-suppr --error-exitcode=1 \
    --std=c++17 --language=c++ -I install -I standin -I windows \
    --suppressions-list=checks/cppcheck-suppressions.txt -q \
    --template='{file}:{line}:{column}: {severity}: {message} [{id}]' \
    install/ windows/ >"$db/cppcheck.log" 2>&1
cc_rc=$?
n=$(grep -c -E ': (error|warning|style|performance|portability|information):' "$db/cppcheck.log")
if [ "$n" = 0 ] && [ "$cc_rc" != 0 ]; then n=1; fi
result "$n"
[ "$n" = 0 ] || sed 's/^/    /' "$db/cppcheck.log" | tee -a "$log"

# Warnings are errors in both builds; check it holds for every compiler.
for cc in g++ clang++ i686-w64-mingw32-g++; do
    step "-Wall -Wextra -Werror ($cc)"
    if ! command -v "$cc" >/dev/null 2>&1; then
        echo "missing"; findings=$((findings + 1)); continue
    fi
    case $cc in
    i686-*) flags="-Os -march=i386 -fno-exceptions -fno-rtti -DWINVER=0x0400 -D_WIN32_WINNT=0x0400
                   -DWIN32_LEAN_AND_MEAN -D__USE_MINGW_ANSI_STDIO=0 -Iinstall -Iwindows"
            files="$sources $portable $runtime" ;;
    *) flags="-Istandin -Iinstall -Iwindows"; files="$sources $portable" ;;
    esac
    n=0
    for f in $files; do
        # shellcheck disable=SC2086
        if ! $cc -std=c++17 -fsyntax-only -Wall -Wextra -Werror $flags "$f" >>"$db/warnings.log" 2>&1; then
            n=$((n + 1))
        fi
    done
    result "$n"
    [ "$n" = 0 ] || grep -E 'error|warning' "$db/warnings.log" | sed 's/^/    /' | tail -20
done

if [ "$findings" = 0 ]; then
    echo "lint: clean"
else
    echo "lint: $findings findings"
    exit 1
fi
