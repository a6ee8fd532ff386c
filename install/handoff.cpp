/* handoff.cpp - placeholder until the module lands. */
#include "install.h"
int doISS(HWND) { return -1; }
int finishInstall(HWND) { return -1; }
