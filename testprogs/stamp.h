/*
 * stamp.h - the files the test programs leave in C:\testlog\.
 *
 * A stamp is the time in milliseconds since the Unix epoch, in decimal,
 * with no line end.  Files are read and written with the file calls of
 * kernel32, so the bytes on disk are exactly the bytes given.
 */
#ifndef TESTPROGS_STAMP_H
#define TESTPROGS_STAMP_H

#include <windows.h>

#include <stdio.h>
#include <string.h>

#ifndef _WIN32
#include <chrono>
#endif

#define TESTLOG_DIR "C:\\testlog"

/* Milliseconds since 1970-01-01 00:00 UTC. */
static inline unsigned long long nowMs()
{
#ifdef _WIN32
    FILETIME ft;
    GetSystemTimeAsFileTime(&ft);
    unsigned long long t = ((unsigned long long)ft.dwHighDateTime << 32) | ft.dwLowDateTime;
    /* FILETIME counts 100 ns steps since 1601-01-01. */
    const unsigned long long epoch1970 = 116444736000000000ULL;
    return t < epoch1970 ? 0 : (t - epoch1970) / 10000;
#else
    /* The stand-in has no system clock of its own; its processes are
     * ordinary host processes, so the host's clock is the same clock. */
    return (unsigned long long)std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
#endif
}

/* Decimal text of v into buf (at least 21 bytes); returns its length.
 * Done by hand: the Windows 95 C library has no 64-bit printf format. */
static inline int formatU64(unsigned long long v, char *buf)
{
    char rev[21];
    int n = 0;
    do {
        rev[n++] = (char)('0' + (int)(v % 10));
        v /= 10;
    } while (v != 0);
    for (int i = 0; i < n; i++)
        buf[i] = rev[n - 1 - i];
    buf[n] = '\0';
    return n;
}

/* Creates C:\testlog if it is missing. */
static inline void makeTestlog()
{
    CreateDirectoryA(TESTLOG_DIR, NULL);
}

/* Writes bytes to C:\testlog\<name>, replacing what was there. */
static inline bool writeLog(const char *name, const char *bytes, size_t len)
{
    char path[MAX_PATH];
    if (_snprintf(path, sizeof path, "%s\\%s", TESTLOG_DIR, name) < 0)
        return false;
    path[sizeof path - 1] = '\0';
    HANDLE f = CreateFileA(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (f == INVALID_HANDLE_VALUE)
        return false;
    DWORD written = 0;
    bool ok = WriteFile(f, bytes, (DWORD)len, &written, NULL) && written == len;
    if (!CloseHandle(f))
        ok = false;
    return ok;
}

/* Reads at most size bytes of a file; returns how many, or -1 when it
 * cannot be opened. */
static inline long readWhole(const char *path, char *buf, size_t size)
{
    HANDLE f = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, NULL);
    if (f == INVALID_HANDLE_VALUE)
        return -1;
    size_t total = 0;
    DWORD got = 0;
    while (total < size && ReadFile(f, buf + total, (DWORD)(size - total), &got, NULL) && got > 0)
        total += got;
    CloseHandle(f);
    return (long)total;
}

/* Writes the current time as a stamp file. */
static inline bool writeStamp(const char *name)
{
    char text[21];
    int n = formatU64(nowMs(), text);
    return writeLog(name, text, (size_t)n);
}

#endif /* TESTPROGS_STAMP_H */
