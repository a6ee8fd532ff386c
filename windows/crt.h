/*
 * crt.h - the C library as the Windows builds of the program have it.
 *
 * install.exe links no C runtime DLL (a fresh Windows 95 or NT 3.51 PC has
 * none): the few standard functions it calls are our own, written over
 * kernel32 in this folder, and keep their standard names and meanings.
 * <windows.h> already declares the string and memory functions (through
 * <string.h>); this header declares the rest.
 */
#ifndef WINDOWS_CRT_H
#define WINDOWS_CRT_H

#include <stdarg.h>
#include <stddef.h>
#include <string.h>

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
int fprintf(FILE *file, const char *fmt, ...);

/* Bounded formatting as C99 has it (see format.cpp). */
int snprintf(char *buf, size_t size, const char *fmt, ...);
int vsnprintf(char *buf, size_t size, const char *fmt, va_list args);

long strtol(const char *text, char **end, int base);

#ifdef __cplusplus
}
#endif

#endif /* WINDOWS_CRT_H */
