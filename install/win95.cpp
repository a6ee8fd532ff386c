/* win95.cpp - placeholder until the module lands. */
#include "install.h"
int doit95(HWND, int *aborted) { *aborted = 0; return 0; }
