/*
 * runtime_check.cpp - install.exe's own C runtime against the C runtime
 * DLL, where both really run (Wine).  Linked exactly as install.exe is,
 * with msvcrt.dll loaded by name as the reference: text files written and
 * read in text mode (CR LF, lone CRs, Ctrl-Z, NUL bytes, a last line
 * without a line feed, buffer edges, files of several megabytes), strtol,
 * and snprintf for the program's formats.
 *
 *   runtime_check.exe DIR     scratch files and report.txt go to DIR
 *
 * The report holds the argument text as WinMain received it, one line per
 * failed case, and "runtime: N passed, M failed".
 */
#include <windows.h>

#include "crt.h"

namespace {

struct Reference {
    void *(__cdecl *fopen)(const char *, const char *);
    int(__cdecl *fclose)(void *);
    int(__cdecl *fgetc)(void *);
    int(__cdecl *fputs)(const char *, void *);
    int(__cdecl *fprintf)(void *, const char *, ...);
    long(__cdecl *strtol)(const char *, char **, int);
    int(__cdecl *snprintf)(char *, size_t, const char *, ...);
    char *(__cdecl *getenv)(const char *);
    int *(__cdecl *errnoPlace)(void);
    int(__cdecl *memcmp)(const void *, const void *, size_t);
    int(__cdecl *strncmp)(const char *, const char *, size_t);
};
Reference crt;

char dir[MAX_PATH];
HANDLE report;
int passed, failed;

void say(const char *text)
{
    DWORD n;
    WriteFile(report, text, (DWORD)strlen(text), &n, NULL);
}

void check(bool ok, const char *what, const char *detail = "")
{
    if (ok) {
        passed++;
        return;
    }
    failed++;
    char line[600];
    snprintf(line, sizeof line, "FAIL %s %s\r\n", what, detail);
    say(line);
}

void pathOf(char *buf, const char *name) { snprintf(buf, MAX_PATH, "%s\\%s", dir, name); }

bool putRaw(const char *name, const char *bytes, DWORD len)
{
    char path[MAX_PATH];
    pathOf(path, name);
    HANDLE h = CreateFileA(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    DWORD n = 0;
    bool ok = h != INVALID_HANDLE_VALUE && WriteFile(h, bytes, len, &n, NULL) && n == len;
    CloseHandle(h);
    return ok;
}

/* The file's bytes into buf (at most size); returns the count or -1. */
long getRaw(const char *name, char *buf, DWORD size)
{
    char path[MAX_PATH];
    pathOf(path, name);
    HANDLE h = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    if (h == INVALID_HANDLE_VALUE)
        return -1;
    DWORD n = 0, total = 0;
    while (total < size && ReadFile(h, buf + total, size - total, &n, NULL) && n)
        total += n;
    CloseHandle(h);
    return (long)total;
}

char *bigA, *bigB; /* two buffers for whole files */
const DWORD BIG = 8u << 20;

/* Reads the file through both runtimes' fgetc, twice past the end. */
void compareReading(const char *what, const char *bytes, DWORD len)
{
    check(putRaw("in.txt", bytes, len), what, "(could not write the input)");
    char path[MAX_PATH];
    pathOf(path, "in.txt");
    FILE *ours = fopen(path, "r");
    void *ref = crt.fopen(path, "r");
    check(ours && ref, what, "(fopen)");
    if (!ours || !ref)
        return;
    DWORD n = 0;
    bool same = true;
    for (;;) {
        int a = fgetc(ours), b = crt.fgetc(ref);
        if (a != b) {
            same = false;
            char detail[80];
            snprintf(detail, sizeof detail, "at character %lu: ours %d, msvcrt %d", n, a, b);
            check(false, what, detail);
            break;
        }
        if (a == EOF)
            break;
        n++;
    }
    if (same)
        check(fgetc(ours) == EOF && crt.fgetc(ref) == EOF, what, "(EOF again)");
    check(fclose(ours) == 0, what, "(fclose)");
    crt.fclose(ref);
}

/* Writes pieces through both runtimes' fputs and fprintf; compares files. */
void compareWriting(const char *what, const char *const *pieces, int count, int repeat)
{
    char pa[MAX_PATH], pb[MAX_PATH];
    pathOf(pa, "ours.txt");
    pathOf(pb, "msvcrt.txt");
    FILE *ours = fopen(pa, "w");
    void *ref = crt.fopen(pb, "w");
    check(ours && ref, what, "(fopen)");
    if (!ours || !ref)
        return;
    for (int r = 0; r < repeat; r++) {
        for (int i = 0; i < count; i++) {
            if (i % 2) {
                fputs(pieces[i], ours);
                crt.fputs(pieces[i], ref);
            } else {
                fprintf(ours, "%s|%d|%.*s", pieces[i], r, 3, pieces[i]);
                crt.fprintf(ref, "%s|%d|%.*s", pieces[i], r, 3, pieces[i]);
            }
        }
    }
    check(fclose(ours) == 0, what, "(fclose)");
    crt.fclose(ref);
    long a = getRaw("ours.txt", bigA, BIG), b = getRaw("msvcrt.txt", bigB, BIG);
    char detail[80];
    snprintf(detail, sizeof detail, "(ours %ld bytes, msvcrt %ld bytes)", a, b);
    check(a >= 0 && a == b && memcmp(bigA, bigB, (size_t)a) == 0, what, detail);
}

void readingCases()
{
    static const struct {
        const char *what, *bytes;
        DWORD len;
    } cases[] = {
#define CASE(what, lit) {what, lit, sizeof(lit) - 1}
        CASE("read CR LF lines", "path=C:\\x\r\nsv1=ip:1\r\n"),
        CASE("read LF lines", "a\nb\n"),
        CASE("read lone CRs", "a\rb\r\rc\r"),
        CASE("read CR CR LF", "x\r\r\ny\r\n\r\n"),
        CASE("read Ctrl-Z ends the file", "before\x1a after\r\n"),
        CASE("read CR before Ctrl-Z", "x\r\x1ay"),
        CASE("read NUL bytes", "nul\0in\0middle\r\n\0"),
        CASE("read last line without LF", "path=D:\\Redir"),
        CASE("read CR at the end", "abc\r"),
        CASE("read empty file", ""),
        CASE("read only Ctrl-Z", "\x1a"),
        CASE("read high bytes", "\xff\xfe\x80\r\n\x7f"),
#undef CASE
    };
    for (const auto &c : cases)
        compareReading(c.what, c.bytes, c.len);

    /* A CR LF split at every position around the buffer sizes of both. */
    static char edge[5000];
    for (DWORD at = 505; at <= 4100; at++) {
        if (!(at <= 520 || (at >= 1020 && at <= 1030) || (at >= 4090)))
            continue;
        memset(edge, 'a', sizeof edge);
        edge[at] = '\r';
        edge[at + 1] = '\n';
        edge[at + 3] = '\r';
        compareReading("read CR LF at a buffer edge", edge, at + 5);
    }

    /* Several megabytes of mixed lines, then the same with a Ctrl-Z. */
    DWORD seed = 12345, len = 5u << 20;
    for (DWORD i = 0; i < len; i++) {
        seed = seed * 1103515245u + 12345u;
        unsigned r = (seed >> 16) % 64;
        bigA[i] = r == 0 ? '\r' : r == 1 ? '\n' : r == 2 ? '\0' : (char)('A' + r % 26);
    }
    bigA[len - 1] = 'z';
    compareReading("read 5 MB of lines", bigA, len);
    bigA[len / 2] = 0x1a;
    compareReading("read 5 MB with a Ctrl-Z in the middle", bigA, len);
}

void writingCases()
{
    static const char *const lines[] = {"[InstallShield Silent]\n", "Version=v5.00.000\n",
                                        "lone\rcr", "\n", "CR LF already\r\n", "no line feed",
                                        "\n\n", ""};
    compareWriting("write lines", lines, 8, 1);
    compareWriting("write several megabytes", lines, 8, 60000);
    static const char *const empty[] = {""};
    compareWriting("write nothing", empty, 1, 1);
}

void otherCases()
{
    char path[MAX_PATH];
    pathOf(path, "no such file.txt");
    check(fopen(path, "r") == NULL && crt.fopen(path, "r") == NULL, "fopen of a missing file");
    pathOf(path, "no such folder\\x.txt");
    check(fopen(path, "w") == NULL, "fopen for writing in a missing folder");

    static const char *const numbers[] = {"0001", "  42xyz", "\t-17", "+9", "2147483647",
                                          "2147483648", "-2147483648", "-2147483649",
                                          "99999999999999", "abc", "", "-", "0x1A", "007",
                                          "12 34", "\n\v\f\r5"};
    for (const char *text : numbers) {
        int bases[] = {10, 0, 16};
        for (int base : bases) {
            char *e1, *e2;
            errno = 0;
            *crt.errnoPlace() = 0;
            long a = strtol(text, &e1, base), b = crt.strtol(text, &e2, base);
            bool r1 = errno == ERANGE, r2 = *crt.errnoPlace() == 34; /* ERANGE */
            char detail[120];
            snprintf(detail, sizeof detail,
                     "\"%s\" base %d: ours %ld end %d range %d, msvcrt %ld end %d range %d", text,
                     base, a, (int)(e1 - text), r1, b, (int)(e2 - text), r2);
            check(a == b && e1 == e2 && r1 == r2, "strtol", detail);
        }
    }

    /* getenv: names without regard to case; msvcrt took its copy of the
     * environment when it was loaded, after QbLrEdTeSt was set. */
    static const char *const names[] = {"QBLREDTEST", "qblredtest", "QbLrEdTeSt", "QBLREDTES",
                                        "QBLREDTESTX", "wInDiR", "SYSTEMROOT", "NO_SUCH_NAME"};
    for (const char *name : names) {
        const char *ours = getenv(name), *ref = crt.getenv(name);
        bool same = ours && ref ? strncmp(ours, ref, 1000) == 0 : ours == ref;
        check(same, "getenv", name);
    }

    /* The signs of comparisons. */
    static const char *const pairs[][2] = {{"a\x80", "a\x01"}, {"a\x01", "a\x80"}, {"ab", "ab"},
                                           {"ab", "abc"}, {"abc", "ab"}, {"B", "a"}};
    for (auto &p : pairs) {
        int n1 = memcmp(p[0], p[1], 2), n2 = crt.memcmp(p[0], p[1], 2);
        int s1 = strncmp(p[0], p[1], 3), s2 = crt.strncmp(p[0], p[1], 3);
        bool same = (n1 > 0) == (n2 > 0) && (n1 < 0) == (n2 < 0) && (s1 > 0) == (s2 > 0) &&
                    (s1 < 0) == (s2 < 0);
        check(same, "memcmp and strncmp signs", p[0]);
    }

    char a[200], b[200];
    const char field[4] = {'D', ':', '\\', 'R'};
    snprintf(a, sizeof a, "%s\\%s|%.4d|%04.4d|0x%x|%d|COM%d|%.*s|%.*s", "C:\\WINDOWS", "qblred.iss",
             7, -7, 0x45au, -1, 256, 4, field, 2, "abc");
    crt.snprintf(b, sizeof b, "%s\\%s|%.4d|%04.4d|0x%x|%d|COM%d|%.*s|%.*s", "C:\\WINDOWS",
                 "qblred.iss", 7, -7, 0x45au, -1, 256, 4, field, 2, "abc");
    check(strncmp(a, b, sizeof a) == 0, "snprintf against _snprintf", a);
}

template <typename T> bool find(HMODULE dll, T *fn, const char *name)
{
    *fn = reinterpret_cast<T>(reinterpret_cast<void (*)(void)>(GetProcAddress(dll, name)));
    return *fn != NULL;
}

} // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR args, int)
{
    size_t n = strlen(args);
    if (n == 0 || n >= sizeof dir)
        return 2;
    memcpy(dir, args, n + 1);
    char path[MAX_PATH];
    pathOf(path, "report.txt");
    report = CreateFileA(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    if (report == INVALID_HANDLE_VALUE)
        return 3;
    say("args: [");
    say(args);
    say("]\r\n");

    SetEnvironmentVariableA("QbLrEdTeSt", "case");
    HMODULE dll = LoadLibraryA("msvcrt.dll");
    bool found = dll && find(dll, &crt.fopen, "fopen") && find(dll, &crt.fclose, "fclose") &&
                 find(dll, &crt.fgetc, "fgetc") && find(dll, &crt.fputs, "fputs") &&
                 find(dll, &crt.fprintf, "fprintf") && find(dll, &crt.strtol, "strtol") &&
                 find(dll, &crt.snprintf, "_snprintf") && find(dll, &crt.getenv, "getenv") &&
                 find(dll, &crt.errnoPlace, "_errno") && find(dll, &crt.memcmp, "memcmp") &&
                 find(dll, &crt.strncmp, "strncmp");
    bigA = static_cast<char *>(VirtualAlloc(NULL, BIG, MEM_COMMIT, PAGE_READWRITE));
    bigB = static_cast<char *>(VirtualAlloc(NULL, BIG, MEM_COMMIT, PAGE_READWRITE));
    check(found && bigA && bigB, "msvcrt.dll and memory");
    if (found && bigA && bigB) {
        readingCases();
        writingCases();
        otherCases();
    }
    char line[80];
    snprintf(line, sizeof line, "runtime: %d passed, %d failed\r\n", passed, failed);
    say(line);
    CloseHandle(report);
    return 0;
}
