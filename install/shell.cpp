/* shell.cpp - placeholder until the module lands. */
#include "install.h"
ScriptData scriptData;
OSVERSIONINFOA OSInfo;
HINSTANCE ghInst;
HWND hWndMain;
unsigned char doAuto;
unsigned char gotError;
int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) { return 0; }
int ErrMsg(HWND, const char *, ...) { gotError = 1; return 0; }
void checkPath(char *) {}
