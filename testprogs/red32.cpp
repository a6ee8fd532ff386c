/*
 * red32.cpp - a program that owns a top-level window of class "red32",
 * titled "red32", as the redirector's own program does while it runs.
 *
 * The window is never shown: FindWindowA finds hidden windows as well.
 * Once the window exists the program writes C:\testlog\red32-ready.txt
 * (a stamp), so that a test can wait for it before it starts install.exe.
 * When WM_DESTROY arrives, posted or sent, it writes
 * C:\testlog\red32-destroy.txt (a stamp) and ends with exit code 0.
 * After 60 seconds without it, the program ends by itself with exit code 3
 * and writes no destroy stamp, so that it never outlives a test.
 * Exit code 1: the window could not be created (no display, for one).
 */
#include "stamp.h"

namespace {

const char kClassName[] = "red32";
const UINT_PTR kGiveUpTimer = 1;
const UINT kGiveUpMs = 60000;

LRESULT CALLBACK Red32Proc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    switch (msg) {
    case WM_DESTROY:
        writeStamp("red32-destroy.txt");
        PostQuitMessage(0);
        return 0;
    case WM_TIMER:
        if (wParam == kGiveUpTimer) {
            KillTimer(hwnd, kGiveUpTimer);
            PostQuitMessage(3);
            return 0;
        }
        break;
    }
    return DefWindowProcA(hwnd, msg, wParam, lParam);
}

} // namespace

int WINAPI WinMain(HINSTANCE hInst, HINSTANCE, LPSTR, int)
{
    makeTestlog();

    WNDCLASSA wc;
    ZeroMemory(&wc, sizeof wc);
    wc.lpfnWndProc = Red32Proc;
    wc.hInstance = hInst;
    wc.hCursor = LoadCursorA(NULL, IDC_ARROW);
    /* A system colour, not a stock brush: that would pull in gdi32. */
    wc.hbrBackground = (HBRUSH)(COLOR_WINDOW + 1);
    wc.lpszClassName = kClassName;
    if (!RegisterClassA(&wc))
        return 1;

    HWND hwnd = CreateWindowExA(0, kClassName, kClassName, WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                                CW_USEDEFAULT, 200, 100, NULL, NULL, hInst, NULL);
    if (!hwnd)
        return 1;
    if (!SetTimer(hwnd, kGiveUpTimer, kGiveUpMs, NULL))
        return 1;
    writeStamp("red32-ready.txt");

    MSG msg;
    BOOL got;
    while ((got = GetMessageA(&msg, NULL, 0, 0)) != 0) {
        if (got == -1)
            return 1;
        DispatchMessageA(&msg);
    }
    return (int)msg.wParam;
}
