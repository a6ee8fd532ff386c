/*
 * textfile.cpp - text files of the C library, for the Windows builds,
 * written over kernel32.
 *
 * Text mode as the C runtime has it: on writing, a line feed goes to the
 * file as CR LF; on reading, CR LF comes back as a line feed, a lone CR
 * stays, and a Ctrl-Z ends the file.  A file is read and written through a
 * buffer of its own; a few files can be open at once (the program never
 * has more than one).
 */
#include <windows.h>

#include "crt.h"
#include "format.h"

namespace {

const int BUFFER_SIZE = 512;
const int MAX_OPEN = 4;
const int CTRL_Z = 0x1a;

} // namespace

struct TextFile {
    HANDLE handle; /* NULL while the slot is free */
    bool writing;
    bool atEnd;   /* reading: the end or a Ctrl-Z was met */
    bool failed;  /* writing: a write failed */
    DWORD next;   /* reading: the next byte in the buffer */
    DWORD filled; /* bytes in the buffer */
    char buffer[BUFFER_SIZE];
};

namespace {

TextFile openFiles[MAX_OPEN];

/* The next byte of the file, or -1 at its end; peeking leaves it there. */
int nextByte(TextFile *f, bool peek)
{
    if (f->next == f->filled) {
        DWORD got = 0;
        if (!ReadFile(f->handle, f->buffer, BUFFER_SIZE, &got, NULL) || got == 0)
            return -1;
        f->next = 0;
        f->filled = got;
    }
    unsigned char c = static_cast<unsigned char>(f->buffer[f->next]);
    if (!peek)
        f->next++;
    return c;
}

/* Writes the buffer out.  After a failed write nothing more is written,
 * so the file's error stays what GetLastError tells.  A write that takes
 * fewer bytes than it was given (a full disk on FAT) fails as the C
 * runtime's does, with the disk-full code. */
void flush(TextFile *f)
{
    DWORD written = 0;
    if (f->filled && !f->failed) {
        if (!WriteFile(f->handle, f->buffer, f->filled, &written, NULL)) {
            f->failed = true;
        } else if (written != f->filled) {
            f->failed = true;
            SetLastError(ERROR_DISK_FULL);
        }
    }
    f->filled = 0;
}

void putByte(TextFile *f, char c)
{
    if (f->filled == BUFFER_SIZE)
        flush(f);
    f->buffer[f->filled++] = c;
}

void putText(TextFile *f, const char *text, size_t len)
{
    for (size_t i = 0; i < len; i++) {
        if (text[i] == '\n')
            putByte(f, '\r');
        putByte(f, text[i]);
    }
}

struct FileSink : FormatSink {
    TextFile *file;
};

void putInFile(FormatSink *sink, const char *text, size_t len)
{
    putText(static_cast<FileSink *>(sink)->file, text, len);
}

} // namespace

extern "C" {

FILE *fopen(const char *name, const char *mode)
{
    if (!name || !mode || (mode[0] != 'r' && mode[0] != 'w'))
        return NULL;
    TextFile *f = openFiles;
    while (f < openFiles + MAX_OPEN && f->handle)
        f++;
    if (f == openFiles + MAX_OPEN)
        return NULL;
    bool writing = mode[0] == 'w';
    HANDLE h = CreateFileA(name, writing ? GENERIC_WRITE : GENERIC_READ,
                           FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                           writing ? CREATE_ALWAYS : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (h == INVALID_HANDLE_VALUE || !h)
        return NULL;
    f->handle = h;
    f->writing = writing;
    f->atEnd = false;
    f->failed = false;
    f->next = 0;
    f->filled = 0;
    return f;
}

int fclose(FILE *f)
{
    if (!f || !f->handle)
        return EOF;
    if (f->writing)
        flush(f);
    bool ok = CloseHandle(f->handle) && !f->failed;
    f->handle = NULL;
    return ok ? 0 : EOF;
}

int fgetc(FILE *f)
{
    if (!f || f->writing || f->atEnd)
        return EOF;
    int c = nextByte(f, false);
    if (c < 0 || c == CTRL_Z) {
        f->atEnd = true;
        return EOF;
    }
    if (c == '\r' && nextByte(f, true) == '\n')
        c = nextByte(f, false);
    return c;
}

int fputs(const char *text, FILE *f)
{
    if (!f || !f->writing)
        return EOF;
    putText(f, text, strlen(text));
    return f->failed ? EOF : 0;
}

int fprintf(FILE *f, const char *fmt, ...)
{
    if (!f || !f->writing)
        return -1;
    FileSink sink;
    sink.put = putInFile;
    sink.file = f;
    va_list args;
    va_start(args, fmt);
    size_t n = formatTo(&sink, fmt, args);
    va_end(args);
    return f->failed ? -1 : static_cast<int>(n);
}

} // extern "C"
