/*
 * crt.h - the C library of the program.
 *
 * install.exe links no C runtime DLL (a fresh Windows 95 or NT 3.51 PC has
 * none): the few standard functions it calls are our own, written over
 * kernel32 in this folder, and keep their standard names and meanings.
 *
 * The native builds link the same runtime over the stand-in's kernel32.
 * There the program and the runtime are compiled with INSTALL_OWN_RUNTIME
 * and see these declarations, as the Windows build does; the build then
 * gives the runtime's functions names of their own in the object files
 * (cmake/host.cmake), so that the program calls them while the stand-in
 * and the tests keep the system's C library.  Anything else that includes
 * the program's header natively (a test, the host runner) gets the
 * system's headers instead.
 */
#ifndef WINDOWS_CRT_H
#define WINDOWS_CRT_H

#if defined(_WIN32) || defined(INSTALL_OWN_RUNTIME)

#include <stdarg.h>
#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Text files: "r" and "w", in text mode (see textfile.cpp). */
typedef struct TextFile FILE;
#define EOF (-1)

FILE *fopen(const char *name, const char *mode);
int fclose(FILE *file);
int fgetc(FILE *file);
int fputs(const char *text, FILE *file);
int fprintf(FILE *file, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

/* Bounded formatting as C99 has it (see format.cpp). */
int snprintf(char *buf, size_t size, const char *fmt, ...) __attribute__((format(printf, 3, 4)));
int vsnprintf(char *buf, size_t size, const char *fmt, va_list args)
    __attribute__((format(printf, 3, 0)));

/* strtol sets errno to ERANGE when the number is out of range; errno is
 * one variable for the process (the program converts on one thread). */
#undef errno
#define errno runtimeErrno
extern int runtimeErrno;
#ifndef ERANGE
#define ERANGE 34
#endif
long strtol(const char *text, char **end, int base);

/* The value of an environment variable, its name compared without regard
 * to case as the C runtime of the period did (see environment.cpp). */
char *getenv(const char *name);

/* Memory and strings (see strings.cpp). */
void *memcpy(void *dst, const void *src, size_t n);
void *memmove(void *dst, const void *src, size_t n);
void *memset(void *dst, int c, size_t n);
int memcmp(const void *a, const void *b, size_t n);
void *memchr(const void *s, int c, size_t n);
size_t strlen(const char *s);
char *strchr(const char *s, int c);
int strncmp(const char *a, const char *b, size_t n);

#ifdef __cplusplus
}
#endif

#else /* a native file beside the system's C library */

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#endif

#endif /* WINDOWS_CRT_H */
