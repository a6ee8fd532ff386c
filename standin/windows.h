/*
 * windows.h - the Win32 stand-in's <windows.h>.
 *
 * Native builds put this folder first on the include path, so the
 * program's Win32 calls resolve to the stand-in (see standin.h for its
 * control API).  After the standard headers are in, fopen is mapped onto
 * the stand-in's file system, which also gives Windows text mode.
 */
#ifndef STANDIN_WINDOWS_H
#define STANDIN_WINDOWS_H

#include <stdio.h>
#ifdef __cplusplus
/* <cstdio> undefines fopen; have it included before the mapping below. */
#include <cstdio>
#endif

#include "win_api.h"
#include "win_const.h"
#include "win_types.h"

#ifndef STANDIN_NO_FOPEN_MAP
#define fopen standin_fopen
#endif

#endif /* STANDIN_WINDOWS_H */
