/*
 * platform.h - the one seam between the program and the platform.
 *
 * The program calls the platform by its Win32 names.  Built for Windows
 * they come from <windows.h>; built natively on Linux the include path puts
 * the stand-in's windows.h first, which provides the same names (and maps
 * the standard library's fopen onto the stand-in's file system).
 */
#ifndef INSTALL_PLATFORM_H
#define INSTALL_PLATFORM_H

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <windows.h>

#endif /* INSTALL_PLATFORM_H */
