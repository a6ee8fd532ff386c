/*
 * strings.cpp - the memory and string functions of the C library, for the
 * Windows builds.  The compiler also calls memcpy, memmove, memset and
 * memcmp by itself (copies and clears of structures); this file is built
 * with -fno-builtin and -fno-tree-loop-distribute-patterns, so that these
 * loops are never turned back into calls to themselves.
 */
#include "crt.h"

extern "C" {

void *memcpy(void *dst, const void *src, size_t n)
{
    unsigned char *d = static_cast<unsigned char *>(dst);
    const unsigned char *s = static_cast<const unsigned char *>(src);
    while (n--)
        *d++ = *s++;
    return dst;
}

void *memmove(void *dst, const void *src, size_t n)
{
    unsigned char *d = static_cast<unsigned char *>(dst);
    const unsigned char *s = static_cast<const unsigned char *>(src);
    if (d <= s || d >= s + n)
        return memcpy(dst, src, n);
    while (n--)
        d[n] = s[n];
    return dst;
}

void *memset(void *dst, int c, size_t n)
{
    unsigned char *d = static_cast<unsigned char *>(dst);
    while (n--)
        *d++ = static_cast<unsigned char>(c);
    return dst;
}

int memcmp(const void *a, const void *b, size_t n)
{
    const unsigned char *x = static_cast<const unsigned char *>(a);
    const unsigned char *y = static_cast<const unsigned char *>(b);
    for (; n; n--, x++, y++)
        if (*x != *y)
            return *x < *y ? -1 : 1;
    return 0;
}

void *memchr(const void *s, int c, size_t n)
{
    const unsigned char *p = static_cast<const unsigned char *>(s);
    for (; n; n--, p++)
        if (*p == static_cast<unsigned char>(c))
            return const_cast<unsigned char *>(p);
    return NULL;
}

size_t strlen(const char *s)
{
    const char *p = s;
    while (*p)
        p++;
    return static_cast<size_t>(p - s);
}

char *strchr(const char *s, int c)
{
    for (;; s++) {
        if (*s == static_cast<char>(c))
            return const_cast<char *>(s);
        if (!*s)
            return NULL;
    }
}

int strncmp(const char *a, const char *b, size_t n)
{
    for (; n; n--, a++, b++) {
        unsigned char x = static_cast<unsigned char>(*a), y = static_cast<unsigned char>(*b);
        if (x != y)
            return x < y ? -1 : 1;
        if (!x)
            break;
    }
    return 0;
}

} // extern "C"
