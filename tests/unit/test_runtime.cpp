/*
 * test_runtime.cpp - the program's own C runtime: the formatter and the
 * command-line reader held against the C library's snprintf and the C
 * runtime's rule for the argument text; strings, strtol, getenv and text
 * files held to the C standard's contract, the files over the stand-in's
 * kernel32 as on Windows.
 */
#include "args.h"
#include "format.h"
#include "standin.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

/* The runtime's functions under the names the native build gives them. */
extern "C" {
struct TextFile;
TextFile *rt_fopen(const char *name, const char *mode);
int rt_fclose(TextFile *file);
int rt_fgetc(TextFile *file);
int rt_fputs(const char *text, TextFile *file);
int rt_fprintf(TextFile *file, const char *fmt, ...);
int rt_snprintf(char *buf, size_t size, const char *fmt, ...);
long rt_strtol(const char *text, char **end, int base);
char *rt_getenv(const char *name);
void *rt_memcpy(void *dst, const void *src, size_t n);
void *rt_memmove(void *dst, const void *src, size_t n);
void *rt_memset(void *dst, int c, size_t n);
int rt_memcmp(const void *a, const void *b, size_t n);
void *rt_memchr(const void *s, int c, size_t n);
size_t rt_strlen(const char *s);
char *rt_strchr(const char *s, int c);
int rt_strncmp(const char *a, const char *b, size_t n);
extern int runtimeErrno;
}

namespace {

int ours(char *buf, size_t size, const char *fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    int n = formatText(buf, size, fmt, args);
    va_end(args);
    return n;
}

/* Formats with both at every buffer size from 0 to the whole length plus
 * two and compares the result and every byte up to the buffer's end; the
 * byte after the buffer must stay untouched. */
#define SAME_AS_SNPRINTF(fmt, ...)                                                       \
    do {                                                                                 \
        char want[512], got[512];                                                        \
        int full = snprintf(want, sizeof want, fmt, __VA_ARGS__);                        \
        ASSERT_LT(full, 500) << fmt;                                                     \
        for (size_t size = 0; size <= (size_t)full + 2; size++) {                        \
            memset(want, '#', sizeof want);                                              \
            memset(got, '#', sizeof got);                                                \
            int n1 = snprintf(size ? want : nullptr, size, fmt, __VA_ARGS__);            \
            int n2 = ours(size ? got : nullptr, size, fmt, __VA_ARGS__);                 \
            EXPECT_EQ(n1, n2) << fmt << " size " << size;                                \
            EXPECT_EQ(0, memcmp(want, got, size + 1)) << fmt << " size " << size << ": " \
                                                      << std::string(got, size);        \
        }                                                                                \
    } while (0)

TEST(RuntimeFormat, EveryFormatTheProgramUsesAtEveryBufferSize)
{
    SAME_AS_SNPRINTF("%s\\%s", "C:\\WINDOWS", "qblred.iss");
    SAME_AS_SNPRINTF("%s -F1%s -F2%s\\%s", "second.exe -S", "C:\\WINDOWS\\qblred.iss", "C:\\WINDOWS",
                     "qblred.log");
    SAME_AS_SNPRINTF("%s\\system32\\drivers\\%s", "C:\\WINNT", "qblred.sys");
    SAME_AS_SNPRINTF("COM%d", 256);
    SAME_AS_SNPRINTF("%.4d", 7);
    SAME_AS_SNPRINTF("%.4d", 12345);
    SAME_AS_SNPRINTF("%04.4d", 42);
    SAME_AS_SNPRINTF("%04.4d", -42);
    SAME_AS_SNPRINTF("Couldn't copy %s to %s: 0x%x", "qblred.sys", "C:\\x", 0x20u);
    SAME_AS_SNPRINTF("StartService error 0x%x", 0x45au);
    SAME_AS_SNPRINTF("Don't recognize CM version 0x%x for %s", 0xffffffffu, "Enum\\x");
    SAME_AS_SNPRINTF("Couldn't open key %s: %d", "Ports\\0000", -1);
    SAME_AS_SNPRINTF("Too many ports! (%d)", INT_MIN);
    SAME_AS_SNPRINTF("Can't set Port0 value to %d for key %s", INT_MAX, "Qblred");
    SAME_AS_SNPRINTF("This will install the %s for Windows.  Continue?", "Quorbelle Redirector");
    SAME_AS_SNPRINTF("100%% %c%c", 'o', 'k');
}

TEST(RuntimeFormat, PrecisionBoundsTheReadOfAFieldWithoutItsTerminator)
{
    /* A fixed field filled to its end: %.*s must read exactly len bytes. */
    const char field[5] = {'C', ':', '\\', 'A', 'B'};
    SAME_AS_SNPRINTF("%.*s", 5, field);
    SAME_AS_SNPRINTF("IP:%.*s", 3, field);
    SAME_AS_SNPRINTF("%.*s%s", 5, field, "remove.exe");
    SAME_AS_SNPRINTF("[%.*s]", 0, field);
    SAME_AS_SNPRINTF("[%.*s]", -1, "negative precision reads it all");
}

TEST(RuntimeFormat, FlagsWidthsAndNumbers)
{
    SAME_AS_SNPRINTF("[%5d|%-5d|%05d|%+d|% d]", -7, -7, -7, 7, 7);
    SAME_AS_SNPRINTF("[%*d|%*d|%.0d|%.0x|%#x|%#X|%#x]", 6, 12, -6, 12, 0, 0u, 255u, 255u, 0u);
    SAME_AS_SNPRINTF("[%10.3d|%-10.3x|%010.3u]", -5, 10u, 3u);
    SAME_AS_SNPRINTF("[%8s|%-8s|%.2s|%8.2s]", "abc", "abc", "abc", "abc");
    SAME_AS_SNPRINTF("[%ld|%lu|%lx|%i]", LONG_MIN, ULONG_MAX, 0xabcdefUL, 0);
    SAME_AS_SNPRINTF("[%c|%3c|%-3c]", 'x', 'y', 'z');
    /* A precision turns the 0 flag off, also a precision of 0. */
    SAME_AS_SNPRINTF("[%05.0d|%05.0x|%05.1d|%-05d]", 5, 0u, 5, 5);
}

TEST(RuntimeFormat, ZeroSizeWritesNothingAndCountsTheWhole)
{
    char buf[4] = {'a', 'b', 'c', 'd'};
    EXPECT_EQ(10, ours(buf, 0, "%s", "0123456789"));
    EXPECT_EQ('a', buf[0]);
    EXPECT_EQ(3, ours(buf, 1, "%d", 123));
    /* Widths are held at 100,000,000. */
    EXPECT_EQ(100000000, ours(nullptr, 0, "%100000000d", 1));
    EXPECT_EQ(100000000, ours(nullptr, 0, "%100000001d", 1));
    EXPECT_EQ('\0', buf[0]);
    EXPECT_EQ('b', buf[1]);
}

TEST(RuntimeFormat, OctalAndShortLengths)
{
    SAME_AS_SNPRINTF("[%o|%#o|%#o|%#.3o|%5.3o|%-#6o]", 8u, 8u, 0u, 8u, 7u, 64u);
    SAME_AS_SNPRINTF("[%hd|%hu|%hhd|%hhu|%hx|%#hho]", 70000, 70000u, 200, 300u, 0x12345u, 255u);
}

/* A conversion the formatter does not print stands as written, and its
 * argument is taken off the list: the ones after it print their own. */
TEST(RuntimeFormat, UnprintedConversionsKeepTheArgumentsInPlace)
{
    char buf[200];
    int stored = -1;
    long long big = 1LL << 40;
    size_t size = 5;
    long double ld = 2.5L;
    int n = ours(buf, sizeof buf, "%f|%d|%p|%s|%lld|%d|%n|%d|%Lf|%zu|%e|%c|%jd|%y|%d", 1.5, 7,
                 (void *)buf, "x", big, 8, &stored, 9, ld, size, 0.25, 'c', (long long)-1, 10);
    EXPECT_EQ("%f|7|%p|x|%lld|8|%n|9|%Lf|%zu|%e|c|%jd|%y|10", std::string(buf));
    EXPECT_EQ(n, (int)strlen(buf));
    EXPECT_EQ(-1, stored); /* %n stores nothing */
}

TEST(RuntimeStrings, KeepTheStandardsContract)
{
    /* Comparisons: the sign of the first differing byte as unsigned char. */
    EXPECT_GT(rt_memcmp("a\x80", "a\x01", 2), 0);
    EXPECT_LT(rt_memcmp("a\x01", "a\x80", 2), 0);
    EXPECT_LT(rt_memcmp("ab", "ac", 2), 0);
    EXPECT_EQ(0, rt_memcmp("ab", "ac", 1));
    EXPECT_EQ(0, rt_memcmp("x", "y", 0));
    EXPECT_EQ(0, rt_memcmp("a\0b", "a\0b", 3)); /* a NUL does not end memcmp */
    EXPECT_NE(0, rt_memcmp("a\0b", "a\0c", 3));
    EXPECT_GT(rt_strncmp("abc\xff", "abc\x10", 5), 0);
    EXPECT_LT(rt_strncmp("ab", "abc", 3), 0);
    EXPECT_GT(rt_strncmp("abc", "ab", 3), 0);
    EXPECT_EQ(0, rt_strncmp("abcX", "abcY", 3));
    EXPECT_EQ(0, rt_strncmp("ab\0X", "ab\0Y", 4)); /* nothing after the end counts */
    EXPECT_EQ(0, rt_strncmp("a", "b", 0));

    /* Copies: memmove over either overlap, and every function's result. */
    char buf[16];
    strcpy(buf, "0123456789");
    EXPECT_EQ(buf + 2, rt_memmove(buf + 2, buf, 6));
    EXPECT_STREQ("0101234589", buf);
    strcpy(buf, "0123456789");
    EXPECT_EQ(buf, rt_memmove(buf, buf + 3, 6));
    EXPECT_STREQ("3456786789", buf);
    EXPECT_EQ(buf, rt_memmove(buf, buf, 10));
    EXPECT_STREQ("3456786789", buf);
    EXPECT_EQ(buf + 1, rt_memcpy(buf + 1, "ab", 2));
    EXPECT_STREQ("3ab6786789", buf);
    EXPECT_EQ(buf, rt_memset(buf, 0x141, 3)); /* the value as unsigned char */
    EXPECT_STREQ("AAA6786789", buf);
    EXPECT_EQ(buf, rt_memset(buf, 'z', 0));
    EXPECT_EQ('A', buf[0]);

    /* Searches. */
    const char text[] = "ab\x80" "c\0d";
    EXPECT_EQ(text + 2, rt_memchr(text, 0x80, 6));
    EXPECT_EQ(text + 2, rt_memchr(text, -128, 6)); /* converted to unsigned char */
    EXPECT_EQ(text + 5, rt_memchr(text, 'd', 6)); /* past a NUL */
    EXPECT_EQ(nullptr, rt_memchr(text, 'd', 5));
    EXPECT_EQ(nullptr, rt_memchr(text, 'a', 0));
    EXPECT_EQ(text + 2, rt_strchr(text, 0x180));
    EXPECT_EQ(text + 4, rt_strchr(text, '\0')); /* the terminator is found */
    EXPECT_EQ(nullptr, rt_strchr(text, 'd'));
    EXPECT_EQ(4u, rt_strlen(text));
    EXPECT_EQ(0u, rt_strlen(""));
}

TEST(RuntimeStrtol, AsTheCLibraryHasIt)
{
    const char *inputs[] = {"0", "  -12x", "+7", "0x1A", "0X1a", "0X", "0x", "0xg", "017", "08", "z", "101",
                            "-0x10", "\t\n 42", "99999999999999999999", "-99999999999999999999",
                            "9223372036854775807", "9223372036854775808", "-9223372036854775808",
                            "-9223372036854775809", "", "-", "  +", "1z", "ZZ"};
    for (const char *in : inputs) {
        for (int base : {0, 2, 8, 10, 16, 36}) {
            char *wantEnd = nullptr, *gotEnd = nullptr;
            errno = 0;
            long want = strtol(in, &wantEnd, base);
            bool wantRange = errno == ERANGE;
            runtimeErrno = 0;
            long got = rt_strtol(in, &gotEnd, base);
            EXPECT_EQ(want, got) << in << " base " << base;
            EXPECT_EQ(wantEnd - in, gotEnd - in) << in << " base " << base;
            EXPECT_EQ(wantRange ? ERANGE : 0, runtimeErrno) << in << " base " << base;
        }
    }
    EXPECT_EQ(12, rt_strtol("12", nullptr, 10));
    /* A base outside 2 to 36 converts nothing. */
    for (int base : {1, 37, -1}) {
        const char *text = "z1";
        char *end = nullptr;
        EXPECT_EQ(0, rt_strtol(text, &end, base)) << base;
        EXPECT_EQ(text, end) << base;
    }
}

class RuntimeOverStandin : public ::testing::Test {
  protected:
    void SetUp() override { standin::reset(); }
};

/* getenv compares names without regard to case, as the period's C
 * runtime did, whatever GetEnvironmentVariableA does on the machine. */
TEST_F(RuntimeOverStandin, GetenvFindsNamesWithoutRegardToCase)
{
    standin::unsetEnv("WINDIR");
    standin::setEnv("windir", "C:\\WINDOWS");
    standin::setEnv("WINDIRX", "longer");
    standin::setEnv("Eq", "a=b");
    standin::setEnv("path_az", "letters");
    ASSERT_NE(nullptr, rt_getenv("WINDIR"));
    EXPECT_STREQ("C:\\WINDOWS", rt_getenv("WINDIR"));
    EXPECT_STREQ("C:\\WINDOWS", rt_getenv("WinDir"));
    EXPECT_STREQ("longer", rt_getenv("windirx"));
    EXPECT_STREQ("a=b", rt_getenv("EQ"));
    EXPECT_STREQ("letters", rt_getenv("PATH_AZ")); /* both ends of the alphabet */
    EXPECT_EQ(nullptr, rt_getenv(nullptr));
    EXPECT_EQ(nullptr, rt_getenv("WIN"));
    EXPECT_EQ(nullptr, rt_getenv("WINDIRXY"));
    EXPECT_EQ(nullptr, rt_getenv(""));
    EXPECT_EQ(nullptr, rt_getenv("Eq=a"));
    standin::fail("GetEnvironmentStrings", ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(nullptr, rt_getenv("WINDIR"));
}

/* Text mode: a line feed is written as CR LF; CR LF reads as a line feed,
 * a lone CR stays, a Ctrl-Z ends the file.  The files are opened as
 * Windows wants them, and a failed write is the caller's to see. */
TEST_F(RuntimeOverStandin, TextFiles)
{
    TextFile *f = rt_fopen("C:\\windows\\T.TXT", "w");
    ASSERT_NE(nullptr, f);
    EXPECT_EQ(EOF, rt_fgetc(f)); /* not open for reading */
    EXPECT_LE(0, rt_fputs("one\ntwo\r\n", f));
    EXPECT_EQ(2, rt_fprintf(f, "%d\n", 3));
    EXPECT_EQ(0, rt_fclose(f));
    std::string bytes;
    ASSERT_TRUE(standin::getFile("c:\\WINDOWS\\t.txt", &bytes));
    EXPECT_EQ("one\r\ntwo\r\r\n3\r\n", bytes);
    auto create = standin::asked("CreateFileA", "T.TXT");
    ASSERT_EQ(1u, create.size());
    EXPECT_EQ((unsigned long long)GENERIC_WRITE, create[0].value("access"));
    EXPECT_EQ((unsigned long long)CREATE_ALWAYS, create[0].value("disposition"));
    EXPECT_EQ((unsigned long long)(FILE_SHARE_READ | FILE_SHARE_WRITE), create[0].value("share"));

    standin::putFile("C:\\setup\\in.txt", std::string("a\r\nb\rc\r\r\n\x1a" "after", 14));
    f = rt_fopen("in.txt", "r"); /* relative to C:\setup */
    ASSERT_NE(nullptr, f);
    EXPECT_EQ(EOF, rt_fputs("x", f)); /* not open for writing */
    EXPECT_GT(0, rt_fprintf(f, "x"));
    std::string read;
    for (int c; (c = rt_fgetc(f)) != EOF;)
        read += (char)c;
    EXPECT_EQ("a\nb\rc\r\n", read);
    EXPECT_EQ(EOF, rt_fgetc(f)); /* the Ctrl-Z ends it for good */
    EXPECT_EQ(0, rt_fclose(f));
    EXPECT_EQ((unsigned long long)OPEN_EXISTING,
              standin::asked("CreateFileA", "in.txt")[0].value("disposition"));

    EXPECT_EQ(nullptr, rt_fopen("C:\\nodir\\x.txt", "r"));
    EXPECT_EQ(nullptr, rt_fopen("C:\\setup\\in.txt", "a")); /* modes it does not have */
    EXPECT_EQ(nullptr, rt_fopen("C:\\setup\\in.txt", "q"));
    ASSERT_TRUE(SetFileAttributesA("C:\\setup\\in.txt", FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(nullptr, rt_fopen("C:\\setup\\in.txt", "w"));
    EXPECT_TRUE(standin::leftOpen().empty());

    /* The buffer is written out when its 512 bytes are full. */
    f = rt_fopen("C:\\windows\\long.txt", "w");
    ASSERT_NE(nullptr, f);
    EXPECT_LE(0, rt_fputs(std::string(600, 'x').c_str(), f));
    EXPECT_EQ(0, rt_fclose(f));
    auto writes = standin::asked("WriteFile", "long.txt");
    ASSERT_EQ(2u, writes.size());
    EXPECT_EQ(512u, writes[0].value("size"));
    EXPECT_EQ(88u, writes[1].value("size"));

    /* At most four files at once; a closed one frees its place. */
    TextFile *open[5];
    for (int i = 0; i < 4; i++)
        ASSERT_NE(nullptr, open[i] = rt_fopen("C:\\setup\\in.txt", "r")) << i;
    EXPECT_EQ(nullptr, rt_fopen("C:\\setup\\in.txt", "r"));
    EXPECT_EQ(0, rt_fclose(open[2]));
    EXPECT_NE(nullptr, open[4] = rt_fopen("C:\\setup\\in.txt", "r"));
    for (int i : {0, 1, 3, 4})
        rt_fclose(open[i]);
    EXPECT_TRUE(standin::leftOpen().empty());
}

/* A full drive: Windows 95 takes part of a write, NT none; either way the
 * write fails with the disk-full code, later writes are not tried, and the
 * close reports it too.  The buffer is written when it holds 512 bytes. */
TEST_F(RuntimeOverStandin, FailedWritesAreReported)
{
    for (standin::Version v : {standin::WIN95, standin::NT40}) {
        standin::reset();
        standin::setVersion(v);
        standin::setFolderFull("C:\\full", 100);
        TextFile *f = rt_fopen("C:\\full\\x.txt", "w");
        ASSERT_NE(nullptr, f);
        std::string line(99, 'x');
        for (int i = 0; i < 5; i++)
            EXPECT_LE(0, rt_fputs(line.c_str(), f)) << i; /* 495 bytes: still buffered */
        EXPECT_EQ(0, standin::calls("WriteFile"));
        EXPECT_EQ(EOF, rt_fputs(line.c_str(), f)); /* the buffer's 512 are written */
        EXPECT_EQ((DWORD)ERROR_DISK_FULL, GetLastError());
        EXPECT_EQ(1, standin::calls("WriteFile"));
        EXPECT_GT(0, rt_fprintf(f, "%s\n", "more"));
        EXPECT_EQ(EOF, rt_fclose(f));
        EXPECT_EQ(1, standin::calls("WriteFile"));
        EXPECT_EQ((DWORD)ERROR_DISK_FULL, GetLastError());
        std::string bytes;
        ASSERT_TRUE(standin::getFile("C:\\full\\x.txt", &bytes));
        EXPECT_EQ(v == standin::WIN95 ? 100u : 0u, bytes.size());
        EXPECT_TRUE(standin::leftOpen().empty());
    }
    /* A close that fails is a failure, the file closed all the same. */
    standin::reset();
    TextFile *f = rt_fopen("C:\\windows\\y.txt", "w");
    ASSERT_NE(nullptr, f);
    rt_fputs("y\n", f);
    standin::fail("CloseHandle", ERROR_NETNAME_DELETED, "y.txt");
    EXPECT_EQ(EOF, rt_fclose(f));
    EXPECT_TRUE(standin::leftOpen().empty());
    EXPECT_EQ(3u, standin::asked("WriteFile", "y.txt")[0].value("size"));
}

TEST(RuntimeArgs, TheArgumentTextFollowsTheProgramNameAndItsBlanks)
{
    struct Case {
        const char *line, *args;
    } cases[] = {
        {"\"C:\\setup\\install.exe\" D:\\script.txt", "D:\\script.txt"},
        {"\"C:\\Program Files\\install.exe\"   a b ", "a b "},
        {"\"C:\\x.exe\"script", "script"},
        {"install.exe setup.txt", "setup.txt"},
        {"install.exe\t \tsetup.txt", "setup.txt"},
        {"install.exe", ""},
        {"install.exe   ", ""},
        {"\"C:\\no closing quote.exe arg", ""},
        {"\"\" x", "x"},
        {"", ""},
        {"  leading blanks end the name at once", "leading blanks end the name at once"},
        {"C:\\dir\\inst\xe4ll.exe \"quoted arg\"", "\"quoted arg\""},
    };
    for (const Case &c : cases)
        EXPECT_STREQ(c.args, argumentText(c.line)) << c.line;
    EXPECT_STREQ("", argumentText(nullptr));
}

} // namespace
