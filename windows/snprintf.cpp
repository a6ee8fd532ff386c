/*
 * snprintf.cpp - snprintf and vsnprintf of the C library, for the Windows
 * builds: the formatter of format.cpp into a caller's buffer.
 */
#include "crt.h"
#include "format.h"

extern "C" {

int vsnprintf(char *buf, size_t size, const char *fmt, va_list args)
{
    return formatText(buf, size, fmt, args);
}

int snprintf(char *buf, size_t size, const char *fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    int n = formatText(buf, size, fmt, args);
    va_end(args);
    return n;
}

} // extern "C"
