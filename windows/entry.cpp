/*
 * entry.cpp - where the process starts: hands WinMain the module handle
 * and the argument text, then ends the process with WinMain's result.
 */
#include <windows.h>

#include "args.h"

extern "C" void WinMainCRTStartup(void)
{
    const char *args = argumentText(GetCommandLineA());
    int result = WinMain(GetModuleHandleA(NULL), NULL, const_cast<LPSTR>(args), SW_SHOWDEFAULT);
    ExitProcess(static_cast<UINT>(result));
}
