#!/usr/bin/env bash
# pe-image.sh - checks that a program image can run on Windows 95 and NT 4.
#
#   checks/pe-image.sh [build/win32/install.exe ...]
#   checks/pe-image.sh --driver build/win32/testprogs/qblred.sys ...
#
# For every file: PE32 for i386, GUI subsystem (2), subsystem version and
# OS version at most 4.0, imports only from kernel32.dll, user32.dll and
# advapi32.dll (any case: a fresh Windows 95 or NT 3.51 PC has no C runtime
# DLL), every import on both lists below (functions that the first
# Windows 95 and Windows NT 3.51 export), no instruction that the 80386
# lacks anywhere in the code, and the relocation table kept (Win32s loads
# nothing without it).  Prints what it checked, the imports per DLL and the
# image's size; exits 1 if any check failed.  OBJDUMP overrides the
# objdump program.
#
# --driver checks kernel-mode drivers instead: PE32 for i386, native
# subsystem (1), versions at most 4.0, an entry point, relocations kept,
# and imports only from ntoskrnl.exe and hal.dll.
set -u

OBJDUMP=${OBJDUMP:-i686-w64-mingw32-objdump}
ALLOWED_DLLS="kernel32.dll user32.dll advapi32.dll"

# Functions that the Windows 95 kernel32, user32 and advapi32 export: what
# the program calls, and their near relatives.  Kept to names known to be
# there; a name missing here fails the check until someone has made sure
# of it.  Among those left out on purpose
# because Windows 95 lacks them: IsDebuggerPresent, GetFileAttributesExA,
# InterlockedCompareExchange, TryEnterCriticalSection,
# InitializeCriticalSectionAndSpinCount, SignalObjectAndWait,
# GetLongPathNameA, AddVectoredExceptionHandler, IsProcessorFeaturePresent,
# GetTickCount64, GetSystemTimePreciseAsFileTime.
WIN95_FUNCTIONS='
kernel32 Beep CloseHandle CompareStringA CopyFileA CreateDirectoryA CreateEventA
kernel32 CreateFileA CreateMutexA CreateProcessA CreateSemaphoreA CreateThread
kernel32 CreateToolhelp32Snapshot DeleteCriticalSection DeleteFileA DuplicateHandle EnterCriticalSection
kernel32 ExitProcess ExitThread ExpandEnvironmentStringsA FileTimeToSystemTime
kernel32 FindClose FindFirstFileA FindNextFileA FlushFileBuffers FormatMessageA
kernel32 FreeEnvironmentStringsA FreeLibrary GetACP GetCommandLineA GetCPInfo
kernel32 GetCurrentDirectoryA GetCurrentProcess GetCurrentProcessId
kernel32 GetCurrentThread GetCurrentThreadId GetDiskFreeSpaceA GetDriveTypeA
kernel32 GetEnvironmentStrings GetEnvironmentVariableA GetExitCodeProcess
kernel32 GetExitCodeThread GetFileAttributesA GetFileSize GetFileType
kernel32 GetFullPathNameA GetLastError GetLocalTime GetModuleFileNameA
kernel32 GetModuleHandleA GetOEMCP GetProcAddress GetProcessHeap GetStartupInfoA
kernel32 GetStdHandle GetSystemDirectoryA GetSystemInfo GetSystemTime
kernel32 GetSystemTimeAsFileTime GetTempPathA GetTickCount GetVersion
kernel32 GetVersionExA GetWindowsDirectoryA GlobalAlloc GlobalFree HeapAlloc
kernel32 HeapCreate HeapDestroy HeapFree HeapReAlloc HeapSize
kernel32 InitializeCriticalSection InterlockedDecrement InterlockedExchange
kernel32 InterlockedIncrement IsBadReadPtr IsBadWritePtr IsDBCSLeadByte
kernel32 IsDBCSLeadByteEx LCMapStringA LeaveCriticalSection LoadLibraryA
kernel32 LocalAlloc LocalFree MoveFileA MultiByteToWideChar OutputDebugStringA
kernel32 QueryDosDeviceA QueryPerformanceCounter QueryPerformanceFrequency
kernel32 RaiseException ReadFile ReleaseMutex ReleaseSemaphore ResetEvent
kernel32 ResumeThread RtlUnwind SetCurrentDirectoryA SetEndOfFile
kernel32 SetEnvironmentVariableA SetErrorMode SetEvent SetFileAttributesA SetFilePointer
kernel32 SetHandleCount SetLastError SetStdHandle SetThreadPriority
kernel32 SetUnhandledExceptionFilter Sleep SuspendThread TerminateProcess
kernel32 TlsAlloc TlsFree TlsGetValue TlsSetValue UnhandledExceptionFilter
kernel32 VirtualAlloc VirtualFree VirtualProtect VirtualQuery
kernel32 WaitForMultipleObjects WaitForSingleObject WideCharToMultiByte WriteFile
kernel32 lstrcatA lstrcmpA lstrcmpiA lstrcpyA lstrcpynA lstrlenA
user32 BeginPaint CallWindowProcA CharLowerA CharNextA CharPrevA CharUpperA
user32 CheckDlgButton ClientToScreen CreateDialogParamA CreateWindowExA
user32 DefWindowProcA DestroyWindow DialogBoxParamA DispatchMessageA
user32 EnableWindow EndDialog EndPaint EnumWindows FindWindowA FindWindowExA
user32 GetActiveWindow GetClassNameA GetClientRect GetDC GetDesktopWindow
user32 GetDlgItem GetDlgItemInt GetDlgItemTextA GetFocus GetForegroundWindow
user32 GetMessageA GetParent GetSystemMetrics GetWindow GetWindowLongA
user32 GetWindowRect GetWindowTextA GetWindowTextLengthA InvalidateRect
user32 IsDialogButtonChecked IsDialogMessageA IsDlgButtonChecked IsWindow
user32 IsWindowVisible KillTimer LoadCursorA LoadIconA LoadStringA
user32 MapWindowPoints MessageBeep MessageBoxA MoveWindow MsgWaitForMultipleObjects
user32 PeekMessageA PostMessageA PostQuitMessage PostThreadMessageA
user32 RegisterClassA RegisterClassExA ReleaseDC ScreenToClient SendDlgItemMessageA
user32 SendMessageA SendMessageTimeoutA SetActiveWindow SetDlgItemInt
user32 SetDlgItemTextA SetFocus SetForegroundWindow SetTimer SetWindowLongA
user32 SetWindowPos SetWindowTextA ShowWindow TranslateMessage UnregisterClassA
user32 UpdateWindow WinHelpA wsprintfA wvsprintfA
advapi32 RegCloseKey RegCreateKeyA RegCreateKeyExA RegDeleteKeyA RegDeleteValueA
advapi32 RegEnumKeyA RegEnumKeyExA RegEnumValueA RegFlushKey RegOpenKeyA
advapi32 RegOpenKeyExA RegQueryInfoKeyA RegQueryValueA RegQueryValueExA
advapi32 RegSetValueA RegSetValueExA GetUserNameA
advapi32 ChangeServiceConfigA CloseServiceHandle ControlService CreateServiceA
advapi32 DeleteService OpenSCManagerA OpenServiceA QueryServiceStatus StartServiceA
'
# The service functions of the last line are exported by the Windows 95
# advapi32 as stubs that fail with ERROR_CALL_NOT_IMPLEMENTED; the program
# calls them only on NT.

# Functions that the Windows NT 3.51 kernel32, user32 and advapi32 export,
# kept to the Win32 API that NT has had since its first release.  Left out
# as doubtful for 3.51 (the program does without them): RegisterClassExA,
# FindWindowExA, LoadImageA, and every function that came with Windows 95
# alone, such as the Toolhelp functions (CreateToolhelp32Snapshot).
# GetEnvironmentStrings is the block's name on NT 3.51 as on Windows 95
# (GetEnvironmentStringsA came later as an alias of it); SetFileAttributesA
# and GetFileAttributesA are file calls of the first Win32 API.
NT351_FUNCTIONS='
kernel32 Beep CloseHandle CopyFileA CreateDirectoryA CreateEventA CreateFileA
kernel32 CreateMutexA CreateProcessA CreateThread DeleteCriticalSection DeleteFileA
kernel32 DuplicateHandle EnterCriticalSection ExitProcess ExitThread
kernel32 ExpandEnvironmentStringsA FindClose FindFirstFileA FindNextFileA
kernel32 FlushFileBuffers FormatMessageA FreeLibrary GetACP GetCommandLineA
kernel32 GetCurrentDirectoryA GetCurrentProcess GetCurrentProcessId
kernel32 GetCurrentThread GetCurrentThreadId GetDriveTypeA GetEnvironmentStrings
kernel32 GetEnvironmentVariableA GetExitCodeProcess GetExitCodeThread GetFileAttributesA GetFileSize
kernel32 GetFileType GetFullPathNameA GetLastError GetLocalTime GetModuleFileNameA
kernel32 GetModuleHandleA GetProcAddress GetProcessHeap GetStartupInfoA GetStdHandle
kernel32 GetSystemDirectoryA GetSystemInfo GetSystemTime GetTempPathA GetTickCount
kernel32 GetVersion GetVersionExA GetWindowsDirectoryA GlobalAlloc GlobalFree
kernel32 HeapAlloc HeapCreate HeapDestroy HeapFree HeapReAlloc HeapSize
kernel32 InitializeCriticalSection InterlockedDecrement InterlockedIncrement
kernel32 LeaveCriticalSection LoadLibraryA LocalAlloc LocalFree MoveFileA
kernel32 MultiByteToWideChar OutputDebugStringA QueryDosDeviceA ReadFile
kernel32 ReleaseMutex ResetEvent ResumeThread SetCurrentDirectoryA SetEndOfFile
kernel32 SetEnvironmentVariableA SetErrorMode SetEvent SetFileAttributesA SetFilePointer
kernel32 SetLastError
kernel32 Sleep SuspendThread TerminateProcess TlsAlloc TlsFree TlsGetValue
kernel32 TlsSetValue VirtualAlloc VirtualFree VirtualProtect VirtualQuery
kernel32 WaitForMultipleObjects WaitForSingleObject WideCharToMultiByte WriteFile
kernel32 lstrcatA lstrcmpA lstrcmpiA lstrcpyA lstrcpynA lstrlenA
user32 BeginPaint CallWindowProcA CharNextA CharUpperA CreateDialogParamA
user32 CreateWindowExA DefWindowProcA DestroyWindow DialogBoxParamA DispatchMessageA
user32 EnableWindow EndDialog EndPaint EnumWindows FindWindowA GetClassNameA
user32 GetClientRect GetDC GetDesktopWindow GetDlgItem GetDlgItemTextA GetFocus
user32 GetMessageA GetParent GetSystemMetrics GetWindow GetWindowLongA
user32 GetWindowRect GetWindowTextA InvalidateRect IsDialogMessageA IsWindow
user32 IsWindowVisible KillTimer LoadCursorA LoadIconA LoadStringA MessageBeep
user32 MessageBoxA MoveWindow MsgWaitForMultipleObjects PeekMessageA PostMessageA
user32 PostQuitMessage PostThreadMessageA RegisterClassA ReleaseDC SendDlgItemMessageA
user32 SendMessageA SendMessageTimeoutA SetDlgItemTextA SetFocus SetForegroundWindow
user32 SetTimer SetWindowLongA SetWindowPos SetWindowTextA ShowWindow
user32 TranslateMessage UnregisterClassA UpdateWindow WinHelpA wsprintfA wvsprintfA
advapi32 RegCloseKey RegCreateKeyA RegCreateKeyExA RegDeleteKeyA RegDeleteValueA
advapi32 RegEnumKeyA RegEnumKeyExA RegEnumValueA RegFlushKey RegOpenKeyA
advapi32 RegOpenKeyExA RegQueryInfoKeyA RegQueryValueA RegQueryValueExA
advapi32 RegSetValueA RegSetValueExA GetUserNameA
advapi32 ChangeServiceConfigA CloseServiceHandle ControlService CreateServiceA
advapi32 DeleteService OpenSCManagerA OpenServiceA QueryServiceStatus StartServiceA
'

# Instructions that the 80386 lacks, as objdump names them: the 486's,
# the Pentium's, the Pentium Pro's (also its multi-byte NOP, which the
# assembler may use as padding), and any use of an MMX or SSE register.
LATE_INSNS='bswap|cmpxchg|cmpxchg8b|xadd|invd|wbinvd|invlpg|cpuid|rdtsc|rdmsr|wrmsr|rsm|rdpmc|cmov[a-z]*|fcmov[a-z]*|fcomip?|fucomip?|ud2|sysenter|sysexit|nopw|nopl|endbr32|[lms]fence|fxsave|fxrstor|movbe|popcnt|lzcnt|tzcnt|prefetch[a-z0-9]*'
LATE_REGS='%[xy]?mm[0-9]'

MODE=program
if [ "${1:-}" = --driver ]; then
    MODE=driver
    ALLOWED_DLLS="ntoskrnl.exe hal.dll"
    shift
fi
if [ $# -eq 0 ]; then
    set -- build/win32/install.exe
fi
if ! command -v "$OBJDUMP" >/dev/null 2>&1; then
    echo "check-pe: $OBJDUMP not found" >&2
    exit 2
fi

status=0

# The size of the base relocation table, from the data directory.
reloc_size() {
    local hex
    hex=$(awk '/Base Relocation Directory/ { print $4; exit }' <<<"$1")
    [[ $hex =~ ^[0-9a-fA-F]+$ ]] || hex=0
    echo $((16#$hex))
}

check_file() {
    local file=$1 failed=0 dump header
    echo "== $file"
    if [ ! -f "$file" ]; then
        echo "FAIL: $file does not exist"
        return 1
    fi
    if ! dump=$("$OBJDUMP" -p "$file" 2>&1) || ! header=$("$OBJDUMP" -f "$file" 2>&1); then
        echo "FAIL: not a PE32 i386 image that $OBJDUMP can read: $(head -n1 <<<"$dump")"
        return 1
    fi

    fail() { echo "FAIL: $*"; failed=1; }
    ok() { echo "ok:   $*"; }

    local format magic arch subsystem
    format=$(sed -n 's/.*file format \(.*\)$/\1/p' <<<"$header" | head -n1)
    arch=$(sed -n 's/^architecture: \([^,]*\).*/\1/p' <<<"$header" | head -n1)
    magic=$(awk '$1 == "Magic" { print $2; exit }' <<<"$dump")
    if [ "$format" = pei-i386 ] && [ "$arch" = i386 ] && [ "$magic" = 010b ]; then
        ok "PE32 for i386 (format $format, magic $magic)"
    else
        fail "not a PE32 i386 image: format '$format', architecture '$arch', magic '$magic'"
    fi

    local want_sub=00000002 want_name="Windows GUI"
    if [ $MODE = driver ]; then
        want_sub=00000001 want_name="native"
    fi
    subsystem=$(awk '$1 == "Subsystem" { print $2; exit }' <<<"$dump")
    if [ "$subsystem" = $want_sub ]; then
        ok "subsystem ${want_sub#0000000} ($want_name)"
    else
        fail "subsystem '$subsystem', want $want_sub ($want_name)"
    fi

    if [ $MODE = driver ]; then
        local entry
        entry=$(awk '$1 == "AddressOfEntryPoint" { print $2; exit }' <<<"$dump")
        if [[ $entry =~ ^[0-9a-fA-F]+$ ]] && [ $((16#$entry)) -ne 0 ]; then
            ok "entry point at RVA 0x$entry"
        else
            fail "no entry point ('$entry')"
        fi
    fi
    # A program's code always has absolute addresses to relocate; a small
    # driver may have none, so only its flag is asked for.
    if grep -q HAS_RELOC <<<"$header" && { [ $MODE = driver ] || [ "$(reloc_size "$dump")" -gt 0 ]; }; then
        ok "relocations kept ($(reloc_size "$dump") bytes)"
    else
        fail "relocations stripped: the image cannot be loaded at another base (Win32s needs them)"
    fi
    if [ $MODE = program ]; then
        # The whole disassembly of every code section, data in them included:
        # a byte pattern that objdump reads as a late instruction is counted.
        local late
        late=$("$OBJDUMP" -d --no-show-raw-insn "$file" 2>/dev/null |
               awk -F'\t' -v insns="^($LATE_INSNS)\$" -v regs="$LATE_REGS" '
                   NF >= 2 && $1 ~ /^ *[0-9a-f]+:$/ {
                       split($2, w, " ")
                       if (w[1] ~ insns || $2 ~ regs) print $1 " " $2
                   }')
        if [ -z "$late" ]; then
            ok "0 instructions past the 80386"
        else
            fail "$(wc -l <<<"$late") instructions a 386 lacks, first: $(head -n 3 <<<"$late" | tr -s ' ' | paste -sd ';' -)"
        fi
    fi

    local what major minor
    for what in Subsystem OSystem; do
        major=$(awk -v k="Major${what}Version" '$1 == k { print $2; exit }' <<<"$dump")
        minor=$(awk -v k="Minor${what}Version" '$1 == k { print $2; exit }' <<<"$dump")
        if ! [[ $major =~ ^[0-9]+$ && $minor =~ ^[0-9]+$ ]]; then
            fail "$what version unreadable ('$major.$minor')"
        elif (( major < 4 || (major == 4 && minor == 0) )); then
            ok "$what version $major.$minor (at most 4.0)"
        else
            fail "$what version $major.$minor, want at most 4.0"
        fi
    done

    # "DLL Name: X" starts a DLL's list; its members are the lines
    # "<vma> <hint> <name>" up to the next blank line.  Ordinal imports
    # show as "<none>" or as a bare number and are reported by ordinal.
    local imports
    imports=$(awk '
        /^[ \t]*DLL Name:/ { dll = tolower($3); inlist = 0; print dll " -"; next }
        dll != "" && /vma:[ \t]+Hint/ { inlist = 1; next }
        inlist && /^[ \t]*$/ { inlist = 0; dll = ""; next }
        inlist && NF >= 3 { print dll " " $3 ($3 == "<none>" ? "#" $2 : ""); next }
        inlist && NF == 2 { print dll " #" $2; next }
    ' <<<"$dump")

    local dlls dll allowed known fn
    dlls=$(awk '$2 == "-" { print $1 }' <<<"$imports" | sort -u)
    if [ -z "$dlls" ] && [ $MODE = program ]; then
        fail "no import table found"
    fi
    local known95 known351
    known95=$(awk 'NF { for (i = 2; i <= NF; i++) print $1 ".dll " $i }' <<<"$WIN95_FUNCTIONS")
    known351=$(awk 'NF { for (i = 2; i <= NF; i++) print $1 ".dll " $i }' <<<"$NT351_FUNCTIONS")
    for dll in $dlls; do
        allowed=0
        for a in $ALLOWED_DLLS; do [ "$dll" = "$a" ] && allowed=1; done
        local fns
        fns=$(awk -v d="$dll" '$1 == d && $2 != "-" { print $2 }' <<<"$imports")
        echo "      $dll: $(echo $fns)"
        if [ $allowed -eq 0 ]; then
            fail "import from $dll, which is not one of: $ALLOWED_DLLS"
            continue
        fi
        [ $MODE = driver ] && continue
        local missing95="" missing351=""
        for fn in $fns; do
            grep -qxF "$dll $fn" <<<"$known95" || missing95="$missing95 $fn"
            grep -qxF "$dll $fn" <<<"$known351" || missing351="$missing351 $fn"
        done
        [ -n "$missing95" ] && fail "$dll imports not known to exist on Windows 95:$missing95"
        [ -n "$missing351" ] && fail "$dll imports not known to exist on Windows NT 3.51:$missing351"
        [ -z "$missing95$missing351" ] &&
            ok "$dll: all $(wc -w <<<"$fns") imports exist on Windows 95 and Windows NT 3.51"
    done
    [ $failed -eq 0 ] && ok "imports only from: $(echo ${dlls:-nothing})"
    if [ $MODE = program ]; then
        # A table of safe exception handlers (in the load configuration)
        # would have to list every handler the program installs itself;
        # without one, Windows XP SP2 and later accept them all.
        local config
        config=$(awk '/Load Configuration Directory/ { print $4; exit }' <<<"$dump")
        if [[ ${config:-0} =~ ^0*$ ]]; then
            ok "no load configuration (no table of safe exception handlers)"
        else
            fail "a load configuration of 0x$config bytes: its handler table must name the program's own"
        fi
    fi
    local sections="" name size
    while read -r name size; do
        sections="$sections${sections:+, }$name $((16#$size))"
    done < <("$OBJDUMP" -h "$file" | awk '$2 ~ /^\./ { print $2, $3 }')
    echo "sections: $sections"
    echo "size: $(stat -c %s "$file") bytes"
    [ $failed -eq 0 ] || { echo "FAILED: $file"; return 1; }
    echo "passed: $file"
    return 0
}

for f in "$@"; do
    check_file "$f" || status=1
done
exit $status
