/*
 * windows.h - the Win32 stand-in's <windows.h>.
 *
 * Native builds put this folder first on the include path, so the
 * program's Win32 calls resolve to the stand-in (see standin.h for its
 * control API).  It brings no C library header with it: the program's C
 * library is its own runtime, which reaches the stand-in's files through
 * CreateFileA, ReadFile and WriteFile as it reaches Windows'.
 */
#ifndef STANDIN_WINDOWS_H
#define STANDIN_WINDOWS_H

#include "win_api.h"
#include "win_const.h"
#include "win_types.h"

#endif /* STANDIN_WINDOWS_H */
