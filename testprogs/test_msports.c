/*
 * test_msports.c - checks the COM port database a machine gives a program
 * that loads msports.dll as install.exe does: by its full path in the
 * system directory.
 *
 *   test_msports.exe working|faulting|none
 *
 * working: the DLL is ours (testprogs/msports.c) and its ComDB functions
 * keep the database in the registry as Windows does; faulting: it is
 * Wine's own, whose ComDBOpen raises an exception; none: it cannot be
 * loaded.  Prints one line a failed check and ends with
 * "test_msports: N tests executed, M failures"; the exit code is M.  It
 * rewrites the database, so it runs in a prefix of its own.
 */
#include <windows.h>
#include <msports.h>

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

typedef LONG(WINAPI *OpenFn)(HCOMDB *);
typedef LONG(WINAPI *CloseFn)(HCOMDB);
typedef LONG(WINAPI *UsageFn)(HCOMDB, PBYTE, DWORD, DWORD, LPDWORD);
typedef LONG(WINAPI *ClaimFn)(HCOMDB, DWORD, BOOL, PBOOL);
typedef LONG(WINAPI *ReleaseFn)(HCOMDB, DWORD);
typedef LONG(WINAPI *NextFn)(HCOMDB, LPDWORD);
typedef LONG(WINAPI *ResizeFn)(HCOMDB, DWORD);

static OpenFn pOpen;
static CloseFn pClose;
static UsageFn pUsage;
static ClaimFn pClaim;
static ReleaseFn pRelease;
static NextFn pNext;
static ResizeFn pResize;

static int tests, failures;

#define ok(cond, ...) ok_(__LINE__, (cond), __VA_ARGS__)
static void ok_(int line, int cond, const char *format, ...)
{
    tests++;
    if (cond)
        return;
    failures++;
    va_list args;
    va_start(args, format);
    printf("test_msports.c:%d: Test failed: ", line);
    vprintf(format, args);
    va_end(args);
}

static const char key[] = "SYSTEM\\CurrentControlSet\\Control\\COM Name Arbiter";

static void setDb(const BYTE *bits, DWORD size)
{
    HKEY k;
    ok(RegCreateKeyExA(HKEY_LOCAL_MACHINE, key, 0, NULL, 0, KEY_WRITE, NULL, &k, NULL) == 0,
       "cannot create the key\n");
    ok(RegSetValueExA(k, "ComDB", 0, REG_BINARY, bits, size) == 0, "cannot set ComDB\n");
    RegCloseKey(k);
}

/* The value as stored: its size, or -1 when it is missing. */
static long getDb(BYTE *bits, DWORD size)
{
    HKEY k;
    DWORD type = 0;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key, 0, KEY_READ, &k) != 0)
        return -1;
    LONG rc = RegQueryValueExA(k, "ComDB", NULL, &type, bits, &size);
    RegCloseKey(k);
    if (rc != 0)
        return -1;
    ok(type == REG_BINARY, "ComDB has type %lu\n", type);
    return (long)size;
}

static void test_open_close(void)
{
    HCOMDB h = NULL, h2 = NULL;
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, key);
    ok(pOpen(NULL) == ERROR_INVALID_PARAMETER, "ComDBOpen(NULL) succeeded\n");
    ok(pOpen(&h) == 0 && h != HCOMDB_INVALID_HANDLE_VALUE && h, "ComDBOpen failed\n");
    HKEY k;
    ok(RegOpenKeyExA(HKEY_LOCAL_MACHINE, key, 0, KEY_READ, &k) == 0, "the key was not created\n");
    RegCloseKey(k);
    ok(getDb(NULL, 0) == -1, "ComDBOpen wrote the value\n");
    ok(pOpen(&h2) == 0 && h2 != h, "a second handle failed or is the first\n");
    ok(pClose(h) == 0, "ComDBClose failed\n");
    ok(pClose(h) == ERROR_INVALID_PARAMETER, "a closed handle closed again\n");
    ok(pClose(HCOMDB_INVALID_HANDLE_VALUE) == ERROR_INVALID_PARAMETER, "closed the invalid handle\n");
    DWORD n = 0;
    ok(pUsage(h, NULL, 0, CDB_REPORT_BYTES, &n) == ERROR_INVALID_PARAMETER, "a closed handle read\n");
    ok(pUsage(h2, NULL, 0, CDB_REPORT_BYTES, &n) == 0 && n == 256, "the second handle: %lu\n", n);
    ok(pClose(h2) == 0, "ComDBClose of the second failed\n");
}

static void test_usage(HCOMDB h)
{
    BYTE buf[64];
    DWORD n = 0;
    ok(pUsage(h, NULL, 0, CDB_REPORT_BITS, NULL) == ERROR_INVALID_PARAMETER, "no buffer, no count\n");
    ok(pUsage(h, buf, sizeof buf, 2, &n) == ERROR_INVALID_PARAMETER, "report type 2 taken\n");
    ok(pUsage(NULL, NULL, 0, 0, &n) == ERROR_INVALID_PARAMETER, "a NULL handle read\n");
    ok(pUsage(h, NULL, 0, 7, &n) == 0 && n == 256, "missing value: size %lu\n", n);

    static const BYTE some[] = {0x0f, 0x80};  /* COM1-COM4 and COM16 */
    setDb(some, sizeof some);
    memset(buf, 0xcc, sizeof buf);
    ok(pUsage(h, buf, 20, CDB_REPORT_BYTES, &n) == 0 && n == 20, "bytes: %lu\n", n);
    ok(buf[0] == 1 && buf[3] == 1 && buf[4] == 0 && buf[14] == 0 && buf[15] == 1 && buf[19] == 0 &&
       buf[20] == 0xcc, "bytes: %02x %02x %02x %02x %02x %02x %02x\n", buf[0], buf[3], buf[4],
       buf[14], buf[15], buf[19], buf[20]);
    memset(buf, 0xcc, sizeof buf);
    ok(pUsage(h, buf, 3, CDB_REPORT_BITS, &n) == 0 && n == 24, "bits: %lu\n", n);
    ok(buf[0] == 0x0f && buf[1] == 0x80 && buf[2] == 0 && buf[3] == 0xcc, "bits: %02x %02x %02x %02x\n",
       buf[0], buf[1], buf[2], buf[3]);
    ok(pUsage(h, buf, sizeof buf, CDB_REPORT_BITS, &n) == 0 && n == 256, "all bits: %lu\n", n);
    BYTE big[300];
    ok(pUsage(h, big, sizeof big, CDB_REPORT_BYTES, &n) == 0 && n == 256, "all bytes: %lu\n", n);
    ok(pUsage(h, buf, 4, CDB_REPORT_BYTES, NULL) == 0, "no count wanted\n");

    BYTE wide[40];  /* 320 ports */
    memset(wide, 0, sizeof wide);
    wide[39] = 0x80;
    setDb(wide, sizeof wide);
    ok(pUsage(h, NULL, 0, 0, &n) == 0 && n == 320, "40 bytes: size %lu\n", n);
    ok(pUsage(h, big, sizeof big, CDB_REPORT_BYTES, &n) == 0 && n == 300 && big[299] == 0,
       "40 bytes, 300 asked: %lu\n", n);
}

static void test_claim_release(HCOMDB h)
{
    static const BYTE some[] = {0x0f, 0x80};
    BYTE now[64];
    BOOL forced = TRUE;
    setDb(some, sizeof some);
    ok(pClaim(h, 4, FALSE, NULL) == ERROR_SHARING_VIOLATION, "COM4 claimed again\n");
    ok(pClaim(h, 4, TRUE, &forced) == ERROR_SHARING_VIOLATION, "COM4 claimed by force\n");
    ok(pClaim(h, 0, FALSE, NULL) == ERROR_INVALID_PARAMETER, "COM0 claimed\n");
    ok(pClaim(h, 257, FALSE, NULL) == ERROR_INVALID_PARAMETER, "COM257 claimed\n");
    ok(pClaim(NULL, 5, FALSE, NULL) == ERROR_INVALID_PARAMETER, "claimed through NULL\n");
    ok(getDb(now, sizeof now) == 2, "a refused claim wrote\n");
    ok(pClaim(h, 5, FALSE, &forced) == 0 && !forced, "COM5: forced %d\n", forced);
    ok(getDb(now, sizeof now) == 32 && now[0] == 0x1f && now[1] == 0x80 && now[2] == 0,
       "after COM5: %02x %02x\n", now[0], now[1]);
    ok(pClaim(h, 256, FALSE, NULL) == 0, "COM256\n");
    ok(getDb(now, sizeof now) == 32 && now[31] == 0x80, "after COM256: %02x\n", now[31]);
    ok(pRelease(h, 16) == 0, "release COM16\n");
    ok(pRelease(h, 0) == ERROR_INVALID_PARAMETER && pRelease(h, 257) == ERROR_INVALID_PARAMETER,
       "released a number outside\n");
    ok(getDb(now, sizeof now) == 32 && now[0] == 0x1f && now[1] == 0, "after release: %02x %02x\n",
       now[0], now[1]);
    DWORD n = 0;
    ok(pNext(h, &n) == 0 && n == 6, "next free: %lu\n", n);
    ok(pNext(h, NULL) == ERROR_INVALID_PARAMETER, "next free into NULL\n");
    ok(getDb(now, sizeof now) == 32 && now[0] == 0x3f, "after next: %02x\n", now[0]);

    BYTE full[32];
    memset(full, 0xff, sizeof full);
    setDb(full, sizeof full);
    n = 0;
    ok(pNext(h, &n) == ERROR_NO_LOG_SPACE && n == 0, "a full database gave %lu\n", n);
    ok(pRelease(h, 9) == 0 && pNext(h, &n) == 0 && n == 9, "freed COM9, next %lu\n", n);
}

static void test_resize(HCOMDB h)
{
    static const BYTE some[] = {0x0f, 0x80};
    BYTE now[600];
    DWORD n = 0;
    setDb(some, sizeof some);
    ok(pResize(h, 1000) == ERROR_INVALID_PARAMETER, "1000 ports\n");
    ok(pResize(h, 0) == ERROR_BAD_LENGTH, "0 ports\n");
    ok(pResize(NULL, 1024) == ERROR_INVALID_PARAMETER, "resized through NULL\n");
    ok(pResize(h, 1024) == 0, "1024 ports\n");
    ok(getDb(now, sizeof now) == 128 && now[0] == 0x0f && now[1] == 0x80 && now[127] == 0,
       "after 1024: %02x %02x\n", now[0], now[1]);
    ok(pUsage(h, NULL, 0, 0, &n) == 0 && n == 1024, "size %lu\n", n);
    ok(pResize(h, 1024) == ERROR_BAD_LENGTH, "1024 again\n");
    ok(pResize(h, 5120) == ERROR_BAD_LENGTH, "5120 ports\n");
    ok(pResize(h, 4096) == 0 && getDb(now, sizeof now) == 512, "4096 ports\n");
    ok(pClaim(h, 4096, FALSE, NULL) == 0 && getDb(now, sizeof now) == 512 && now[511] == 0x80,
       "COM4096\n");
}

static void test_unreadable(void)
{
    HCOMDB h;
    DWORD n;
    ok(pOpen(&h) == 0, "ComDBOpen failed\n");
    /* The key deleted under the open handle: it can be read no more. */
    ok(RegDeleteKeyA(HKEY_LOCAL_MACHINE, key) == 0, "cannot delete the key\n");
    ok(pUsage(h, NULL, 0, 0, &n) == ERROR_NOT_CONNECTED, "read a deleted database\n");
    ok(pClaim(h, 1, FALSE, NULL) == ERROR_NOT_CONNECTED, "claimed in a deleted database\n");
    ok(pClose(h) == 0, "ComDBClose failed\n");
}

static LONG WINAPI raised(EXCEPTION_POINTERS *info)
{
    DWORD code = info->ExceptionRecord->ExceptionCode;
    ok(code != 0, "no exception code\n");
    printf("ComDBOpen raised 0x%08lx\n", code);
    printf("test_msports: %d tests executed, %d failures\n", tests, failures);
    fflush(stdout);
    ExitProcess(failures);
    return EXCEPTION_EXECUTE_HANDLER;
}

int main(int argc, char **argv)
{
    const char *mode = argc > 1 ? argv[1] : "working";
    char path[MAX_PATH + 16];
    UINT len = GetSystemDirectoryA(path, MAX_PATH);
    ok(len > 0 && len < MAX_PATH, "GetSystemDirectoryA: %u\n", len);
    strcat(path, "\\msports.dll");
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
    HMODULE dll = LoadLibraryA(path);
    if (!strcmp(mode, "none")) {
        ok(!dll, "%s loaded\n", path);
    } else {
        ok(dll != NULL, "%s does not load: %lu\n", path, GetLastError());
        if (dll) {
            int ours = GetProcAddress(dll, "RedirTestComDB") != NULL;
            pOpen = (OpenFn)(void (*)(void))GetProcAddress(dll, "ComDBOpen");
            pClose = (CloseFn)(void (*)(void))GetProcAddress(dll, "ComDBClose");
            pUsage = (UsageFn)(void (*)(void))GetProcAddress(dll, "ComDBGetCurrentPortUsage");
            pClaim = (ClaimFn)(void (*)(void))GetProcAddress(dll, "ComDBClaimPort");
            pRelease = (ReleaseFn)(void (*)(void))GetProcAddress(dll, "ComDBReleasePort");
            pNext = (NextFn)(void (*)(void))GetProcAddress(dll, "ComDBClaimNextFreePort");
            pResize = (ResizeFn)(void (*)(void))GetProcAddress(dll, "ComDBResizeDatabase");
            ok(pOpen && pClose && pUsage && pClaim && pRelease && pNext && pResize,
               "a ComDB function is missing\n");
            if (!strcmp(mode, "faulting")) {
                ok(!ours, "%s is ours, not Wine's\n", path);
                if (pOpen) {
                    SetUnhandledExceptionFilter(raised);
                    HCOMDB h;
                    pOpen(&h);
                    ok(0, "ComDBOpen returned\n");
                }
            } else if (!ours) {
                ok(0, "%s is not testprogs/msports.c's\n", path);
            } else if (pOpen && pClose && pUsage && pClaim && pRelease && pNext && pResize) {
                HCOMDB h;
                test_open_close();
                ok(pOpen(&h) == 0, "ComDBOpen failed\n");
                test_usage(h);
                test_claim_release(h);
                test_resize(h);
                ok(pClose(h) == 0, "ComDBClose failed\n");
                test_unreadable();
            }
        }
    }
    printf("test_msports: %d tests executed, %d failures\n", tests, failures);
    return failures;
}
