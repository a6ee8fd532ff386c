/*
 * format.h - the one formatter behind snprintf, vsnprintf and fprintf.
 *
 * It prints the printf conversions d, i, o, u, x, X, c, s and %, with the
 * flags - 0 + space #, a width and a precision (digits or *), and the
 * lengths hh, h and l.  Any other conversion of C's (floating point, %p,
 * %n, the 64-bit, size and wide lengths) is written as it stands in the
 * format, and its argument is taken off the list all the same, so the
 * conversions after it print the right arguments.  Text goes to a sink in
 * pieces; nothing is cut by the formatter itself.
 */
#ifndef WINDOWS_FORMAT_H
#define WINDOWS_FORMAT_H

#include <stdarg.h>
#include <stddef.h>

struct FormatSink {
    void (*put)(FormatSink *sink, const char *text, size_t len);
};

/* Formats into sink; returns the length of the whole text. */
size_t formatTo(FormatSink *sink, const char *fmt, va_list args);

/* vsnprintf as C99 has it: at most size-1 characters and a terminator
 * (nothing at all when size is 0); returns the length of the whole text. */
int formatText(char *buf, size_t size, const char *fmt, va_list args);

#endif /* WINDOWS_FORMAT_H */
