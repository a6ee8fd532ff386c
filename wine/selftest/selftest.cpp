/*
 * selftest.cpp - a small windowed program that exercises the test driver:
 * an OK box owned by a hidden window of class "install", an OK/Cancel box
 * with no owner, a dialog with an edit field (id 10) and a Help button that
 * calls WinHelpA, and debugger output.
 *
 * The first argument word picks what it does: "all" (default), "none"
 * (no window at all; ends at once with 3) or "com" (writes what
 * QueryDosDeviceA answers for COM1 to COM4 to C:\testlog\com.txt).  It writes the dialog's final edit text
 * to C:\testlog\selftest.txt and exits with 10 * (OK/Cancel answer) +
 * dialog result.
 */
#include <windows.h>

#include <cstdio>
#include <cstring>

static char typed[256];

static INT_PTR CALLBACK dlgProc(HWND dlg, UINT msg, WPARAM wp, LPARAM)
{
    switch (msg) {
    case WM_INITDIALOG:
        SetDlgItemTextA(dlg, 10, "C:\\QBLRED");
        return TRUE;
    case WM_COMMAND:
        switch (LOWORD(wp)) {
        case IDOK:
            GetDlgItemTextA(dlg, 10, typed, sizeof typed);
            EndDialog(dlg, 1);
            return TRUE;
        case IDCANCEL:
            GetDlgItemTextA(dlg, 10, typed, sizeof typed);
            EndDialog(dlg, 2);
            return TRUE;
        case 9:
            WinHelpA(dlg, "redir.hlp", HELP_CONTEXT, 1037);
            return TRUE;
        }
        break;
    }
    return FALSE;
}

int WINAPI WinMain(HINSTANCE inst, HINSTANCE, LPSTR args, int)
{
    OutputDebugStringA("selftest: started\r\n");
    if (args && strncmp(args, "none", 4) == 0) return 3;
    if (args && strncmp(args, "com", 3) == 0) {
        FILE *f = fopen("C:\\testlog\\com.txt", "wb");
        if (!f) return 4;
        for (int n = 1; n <= 4; n++) {
            char name[8], target[512];
            snprintf(name, sizeof name, "COM%d", n);
            if (QueryDosDeviceA(name, target, sizeof target))
                fprintf(f, "%s=%s\n", name, target);
            else
                fprintf(f, "%s error %lu\n", name, GetLastError());
        }
        fclose(f);
        return 0;
    }

    WNDCLASSA wc = {};
    wc.lpfnWndProc = DefWindowProcA;
    wc.hInstance = inst;
    wc.lpszClassName = "install";
    RegisterClassA(&wc);
    HWND main = CreateWindowA("install", "install", WS_OVERLAPPEDWINDOW, 0, 0, 100, 100, nullptr,
                              nullptr, inst, nullptr);

    MessageBoxA(main, "First box.\nSecond line\twith a tab.", "Selftest", MB_OK);
    int oc = MessageBoxA(nullptr, "Go on?", "Selftest Question", MB_OKCANCEL | MB_ICONQUESTION);
    INT_PTR dr = DialogBoxParamA(inst, MAKEINTRESOURCEA(4), main, dlgProc, 0);

    char line[400];
    snprintf(line, sizeof line, "selftest: typed %s\r\n", typed);
    OutputDebugStringA(line);
    FILE *f = fopen("C:\\testlog\\selftest.txt", "wb");
    if (f) {
        fputs(typed, f);
        fclose(f);
    }
    DestroyWindow(main);
    return oc * 10 + (int)dr;
}
