/*
 * environment.cpp - getenv of the C library, over the process's
 * environment block.
 *
 * The C runtime of the period looked a name up by scanning the block and
 * comparing names without regard to case, so a Windows 95 environment,
 * which keeps the Windows directory in "windir", answers "WINDIR" too.
 * This does the same instead of asking GetEnvironmentVariableA, whose
 * comparison of names is not documented for the first Windows 95.
 *
 * The block comes from GetEnvironmentStrings: kernel32 exports it under
 * that name on Windows 95 and on every NT (GetEnvironmentStringsA is a
 * later alias).  On Windows 95 it is the process's own block; on NT a copy
 * that stays until the process ends (the program looks up two names).
 */
#include <windows.h>

#include "crt.h"

namespace {

char upper(char c)
{
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

} // namespace

extern "C" char *getenv(const char *name)
{
    if (!name || !*name)
        return NULL;
    char *entry = GetEnvironmentStrings();
    if (!entry)
        return NULL;
    /* "NAME=value" entries, one after another, an empty one at the end.
     * NT's entries for the current folders of drives begin with '='
     * ("=C:=C:\..."); a name never matches them, as it holds no '='. */
    for (; *entry; entry += strlen(entry) + 1) {
        const char *n = name;
        const char *e = entry;
        while (*n && *e && *e != '=' && upper(*n) == upper(*e)) {
            n++;
            e++;
        }
        if (!*n && *e == '=' && e != entry)
            return const_cast<char *>(e + 1);
    }
    return NULL;
}
