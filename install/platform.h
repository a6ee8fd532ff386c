/*
 * platform.h - the one seam between the program and the platform.
 *
 * The program calls the platform by its Win32 names and the C library by
 * its standard names.  Built for Windows, the Win32 calls come from
 * <windows.h> and the C library from our own small runtime in windows/
 * (crt.h), so that the image needs no C runtime DLL.  Built natively on
 * Linux, the include path puts the stand-in's windows.h first, which
 * provides the same Win32 names (and maps the standard library's fopen
 * onto the stand-in's file system).
 */
#ifndef INSTALL_PLATFORM_H
#define INSTALL_PLATFORM_H

#ifdef _WIN32
#include <windows.h>

#include "crt.h"
#else
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <windows.h>
#endif

#endif /* INSTALL_PLATFORM_H */
