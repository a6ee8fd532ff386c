#!/usr/bin/env bash
# test-pe-image.sh - builds small images with known faults and checks that
# pe-image.sh passes the sound ones and fails each faulty one for its fault.
set -u
here=$(cd "$(dirname "$0")" && pwd)
check=$here/pe-image.sh
CC=${CC_I686:-i686-w64-mingw32-gcc}
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
failures=0
W95="-Wl,--major-subsystem-version,4 -Wl,--minor-subsystem-version,0 -Wl,--major-os-version,4 -Wl,--minor-os-version,0"

build() { # name, source body, flags...
    local name=$1 body=$2
    shift 2
    printf '#include <windows.h>\n%s\n' "$body" >"$tmp/$name.c"
    if ! $CC -Os -s "$tmp/$name.c" -o "$tmp/$name" "$@" 2>"$tmp/$name.log"; then
        echo "could not build $name:"; cat "$tmp/$name.log"; exit 2
    fi
}

# expect pass|fail, pattern the output must hold, check-pe arguments...
expect() {
    local want=$1 pattern=$2 out rc
    shift 2
    out=$("$check" "$@" 2>&1); rc=$?
    if { [ "$want" = pass ] && [ $rc -ne 0 ]; } || { [ "$want" = fail ] && [ $rc -eq 0 ]; } ||
       ! grep -q -- "$pattern" <<<"$out"; then
        echo "WRONG: check-pe.sh $* should $want with '$pattern'; it said (rc $rc):"
        sed 's/^/    /' <<<"$out"
        failures=$((failures + 1))
    else
        echo "right: $want ($pattern): $*"
    fi
}

GUI='int WINAPI WinMain(HINSTANCE a, HINSTANCE b, LPSTR c, int d) { (void)a; (void)b; (void)c; (void)d;'
# An image the way install.exe is made: no C runtime, 386 code, relocations kept.
BARE="-nostdlib -nostartfiles -march=i386 -mwindows -Wl,--entry,_start -Wl,--enable-reloc-section $W95"
START='void start(void) { ExitProcess(0); }'
build good.exe "$START $GUI return MessageBoxA(0, \"x\", \"y\", 0) + (int)GetVersion(); }" $BARE -lkernel32 -luser32
build crt.exe "$GUI return MessageBoxA(0, \"x\", \"y\", 0); }" -mwindows $W95
build late.exe "$START void f(int a, int b) { __asm__ volatile(\"cmovne %0, %1\\n bswap %0\\n cpuid\\n movd %0, %%mm0\" : : \"r\"(a), \"r\"(b) : \"eax\", \"ebx\", \"ecx\", \"edx\"); }" $BARE -lkernel32
build norelocs.exe "$START" -nostdlib -nostartfiles -march=i386 -mwindows -Wl,--entry,_start -Wl,--disable-reloc-section $W95 -lkernel32
build toolhelp.exe "$START HANDLE WINAPI CreateToolhelp32Snapshot(DWORD, DWORD); void f(void) { CreateToolhelp32Snapshot(0, 0); }" $BARE -lkernel32
build console.exe "int main(void) { return (int)GetVersion(); }" -mconsole $W95
build xp.exe "$GUI return (int)GetVersion(); }" -mwindows -Wl,--major-subsystem-version,5 -Wl,--minor-subsystem-version,1 -Wl,--major-os-version,4 -Wl,--minor-os-version,0
build os5.exe "$GUI return (int)GetVersion(); }" -mwindows -Wl,--major-subsystem-version,4 -Wl,--minor-subsystem-version,0 -Wl,--major-os-version,5 -Wl,--minor-os-version,0
build gdi.exe "$GUI return (int)(INT_PTR)GetStockObject(WHITE_BRUSH); }" -mwindows $W95
build win98.exe "$START $GUI return IsDebuggerPresent(); }" $BARE -lkernel32
build shell.exe "$GUI return (int)(INT_PTR)ShellExecuteA(0, 0, \"x\", 0, 0, 0); }" -mwindows $W95 -lshell32
build drv.sys "NTSTATUS __stdcall DriverEntry(void *d, void *r) { (void)d; (void)r; return 0; }" \
    -nostdlib -shared -ffreestanding -Wl,--subsystem,native -Wl,--entry,_DriverEntry@8 -Wl,--image-base,0x10000 $W95

expect pass "passed: $tmp/good.exe" "$tmp/good.exe"
expect pass "user32.dll: all 1 imports exist on Windows 95 and Windows NT 3.51" "$tmp/good.exe"
expect pass "0 instructions past the 80386" "$tmp/good.exe"
expect pass "^size: [0-9]* bytes" "$tmp/good.exe"
expect fail "import from msvcrt.dll" "$tmp/crt.exe"
expect fail "4 instructions a 386 lacks" "$tmp/late.exe"
expect fail "relocations stripped" "$tmp/norelocs.exe"
expect fail "not known to exist on Windows NT 3.51: CreateToolhelp32Snapshot" "$tmp/toolhelp.exe"
expect fail "subsystem '00000003'" "$tmp/console.exe"
expect fail "Subsystem version 5.1, want at most 4.0" "$tmp/xp.exe"
expect fail "OSystem version 5.0, want at most 4.0" "$tmp/os5.exe"
expect fail "import from gdi32.dll" "$tmp/gdi.exe"
expect fail "not known to exist on Windows 95: IsDebuggerPresent" "$tmp/win98.exe"
expect fail "import from shell32.dll" "$tmp/shell.exe"
expect fail "FAIL: .*does not exist" "$tmp/none.exe"
# Every file is checked, and one bad file fails the whole run.
expect fail "passed: $tmp/good.exe" "$tmp/good.exe" "$tmp/gdi.exe"
expect pass "subsystem 1 (native)" --driver "$tmp/drv.sys"
expect fail "subsystem '00000001'" "$tmp/drv.sys"
expect fail "import from kernel32.dll" --driver "$tmp/good.exe"
if command -v x86_64-w64-mingw32-gcc >/dev/null; then
    CC=x86_64-w64-mingw32-gcc build wide.exe "$GUI return (int)GetVersion(); }" -mwindows $W95
    expect fail "not a PE32 i386 image" "$tmp/wide.exe"
fi

if [ $failures -ne 0 ]; then
    echo "$failures wrong verdicts"
    exit 1
fi
echo "check-pe.sh: all verdicts right"
