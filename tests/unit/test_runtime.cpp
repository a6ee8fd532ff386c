/*
 * test_runtime.cpp - the Windows builds' own formatter and command-line
 * reader, held against the C library's snprintf and the C runtime's rule
 * for the argument text.
 */
#include "args.h"
#include "format.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <string>

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
}

TEST(RuntimeFormat, ZeroSizeWritesNothingAndCountsTheWhole)
{
    char buf[4] = {'a', 'b', 'c', 'd'};
    EXPECT_EQ(10, ours(buf, 0, "%s", "0123456789"));
    EXPECT_EQ('a', buf[0]);
    EXPECT_EQ(3, ours(buf, 1, "%d", 123));
    EXPECT_EQ('\0', buf[0]);
    EXPECT_EQ('b', buf[1]);
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
