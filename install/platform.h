/*
 * platform.h - the one seam between the program and the platform.
 *
 * The program calls the platform by its Win32 names and the C library by
 * its standard names.  The Win32 calls come from <windows.h>: the
 * system's in the Windows builds, the stand-in's (first on the include
 * path) in the native ones.  The C library is always our own small
 * runtime of windows/ (crt.h), over kernel32 or over the stand-in's
 * kernel32, so every build runs the code that install.exe holds.  Calls
 * into a DLL the program loads at run time go through guardedCall
 * (guard.h), install.exe's own or the stand-in's.
 */
#ifndef INSTALL_PLATFORM_H
#define INSTALL_PLATFORM_H

#include <windows.h>

#include "crt.h"
#include "guard.h"

#endif /* INSTALL_PLATFORM_H */
