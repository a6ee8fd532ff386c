/* winnt.cpp - placeholder until the module lands. */
#include "install.h"
int doitNT(HWND, int *aborted) { *aborted = 0; return -1; }
