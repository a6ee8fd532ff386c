/*
 * args.cpp - finds the argument text of a command line.
 *
 * The program name is either quoted ("C:\Program Files\x.exe", up to the
 * closing quote or the end) or runs up to the first blank or control
 * character; the blanks that follow it are skipped.  This is how the C
 * runtime's start-up hands WinMain its lpCmdLine.
 */
#include "args.h"

const char *argumentText(const char *commandLine)
{
    const unsigned char *p = reinterpret_cast<const unsigned char *>(commandLine ? commandLine : "");
    if (*p == '"') {
        p++;
        while (*p && *p != '"')
            p++;
        if (*p == '"')
            p++;
    } else {
        while (*p > ' ')
            p++;
    }
    while (*p && *p <= ' ')
        p++;
    return reinterpret_cast<const char *>(p);
}
