/*
 * strtol.cpp - strtol of the C library, for the Windows builds: blanks,
 * a sign, an optional 0x (base 16 or 0) or 0 (base 0), then digits; a
 * number out of range gives LONG_MAX or LONG_MIN.
 */
#include "crt.h"

#include <limits.h>

namespace {

int digitValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'Z')
        return c - 'A' + 10;
    return 99;
}

} // namespace

int runtimeErrno;

extern "C" long strtol(const char *text, char **end, int base)
{
    const char *p = text;
    while (*p == ' ' || (*p >= '\t' && *p <= '\r'))
        p++;
    bool negative = *p == '-';
    if (*p == '-' || *p == '+')
        p++;
    if ((base == 0 || base == 16) && p[0] == '0' && (p[1] == 'x' || p[1] == 'X') &&
        digitValue(p[2]) < 16) {
        p += 2;
        base = 16;
    } else if (base == 0) {
        base = p[0] == '0' ? 8 : 10;
    }

    const char *digits = p;
    unsigned long limit = negative ? 0UL - (unsigned long)LONG_MIN : (unsigned long)LONG_MAX;
    unsigned long value = 0;
    bool over = false;
    if (base >= 2 && base <= 36) {
        for (int d; (d = digitValue(*p)) < base; p++) {
            if (value > (limit - (unsigned long)d) / (unsigned long)base)
                over = true;
            else
                value = value * (unsigned long)base + (unsigned long)d;
        }
    }
    if (end)
        *end = const_cast<char *>(p == digits ? text : p);
    if (over) {
        errno = ERANGE;
        return negative ? LONG_MIN : LONG_MAX;
    }
    return negative ? (long)(0UL - value) : (long)value;
}
