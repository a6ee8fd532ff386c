/*
 * platform.h - the one seam between the program and the platform.
 *
 * The program calls the platform by its Win32 names.  Built for Windows
 * they come from <windows.h>; built natively on Linux the include path puts
 * the stand-in's windows.h first, which provides the same names (and maps
 * the standard library's fopen onto the stand-in's file system).
 */
#ifndef INSTALL_PLATFORM_H
#define INSTALL_PLATFORM_H

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <windows.h>

#ifdef _WIN32
/*
 * Bounded formatting through the C runtime's own _vsnprintf, which every
 * msvcrt.dll has.  (The C99 snprintf of the MinGW library looks up
 * _vscprintf through wide-character calls that Windows 95 lacks.)  Like
 * C99: the text is always terminated, and the result is its length when it
 * fits, or at least the buffer's size when it was cut.
 */
static inline int install_vsnprintf(char *buf, size_t size, const char *fmt, va_list ap)
{
    if (size == 0)
        return 1;
    int n = _vsnprintf(buf, size, fmt, ap);
    if (n < 0 || (size_t)n >= size) {
        buf[size - 1] = '\0';
        return (int)size;
    }
    return n;
}

static inline int install_snprintf(char *buf, size_t size, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    int n = install_vsnprintf(buf, size, fmt, ap);
    va_end(ap);
    return n;
}

#define vsnprintf install_vsnprintf
#define snprintf install_snprintf
#endif

#endif /* INSTALL_PLATFORM_H */
