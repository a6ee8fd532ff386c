/*
 * shell.cpp - the installer shell.
 *
 * WinMain picks the run mode, reads the platform record, registers the
 * window class and creates the hidden main window.  Interactively the
 * whole conversation (startInteractive) runs inside that window's
 * WM_CREATE; silently the install script is read (parseScript) and one
 * installation is started (doit).  The message helpers ErrMsg, InfoMsg and
 * QueryMsg show every box but the one at start-up; ErrMsg raises gotError.
 */
#include "install.h"

/* ---------------------------------------------------------------------
 * Globals
 * ------------------------------------------------------------------- */
ScriptData scriptData;
OSVERSIONINFOA OSInfo;
HINSTANCE ghInst;
HWND hWndMain;
unsigned char doAuto;
unsigned char gotError;

const char gszAppName[] = "install";
const char productName[] = "Quorbelle Redirector";
const char defaultAppPath[] = "C:\\Program Files\\Quorbelle\\Redirector\\";
const char AppPathKeyName[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths\\rdcfg.exe";
const char helpFile[] = "redir.hlp";
const char successText[] =
    "Installation successful.\n"
    "A Help file will now guide you through configuring a modem and services for the Redirector.\n"
    "When this is completed you must restart your PC\n";
const char successText351[] =
    "Installation successful.\n"
    "Restart Windows and run the Quorbelle Redirector configuration program in the\n"
    "Quorbelle Redirector program group to configure IP and/or IPX services.";

namespace {

const DWORD OS_INFO_SIZE = 148;
const int MSG_BUFFER_LEN = 200;
/* The dialog reads at most this many characters (terminator included), so
 * that the backslash checkPath may add still fits into the path field. */
const int DLG_READ_LEN = PATH_FIELD_LEN - 1;
const int SCRIPT_LINE_LEN = 100;
const int CTRL_Z = 0x1a;

typedef HGDIOBJ(WINAPI *StockObjectFn)(int);

/* The white stock brush.  GetStockObject is a gdi32 function and the
 * program imports only kernel32, user32 and advapi32,
 * so it is looked up in gdi32, which user32 always has loaded. */
HBRUSH whiteBrush(void)
{
    HMODULE gdi = GetModuleHandleA("gdi32.dll");
    if (!gdi)
        return NULL;
    FARPROC proc = GetProcAddress(gdi, "GetStockObject");
    if (!proc)
        return NULL;
    StockObjectFn stock = reinterpret_cast<StockObjectFn>(reinterpret_cast<void (*)(void)>(proc));
    return static_cast<HBRUSH>(stock(WHITE_BRUSH));
}

/* Formats into a buffer of its own, cut at 199 characters, and shows it. */
int showBox(HWND owner, const char *caption, UINT type, const char *fmt, va_list args)
{
    char text[MSG_BUFFER_LEN];
    text[0] = '\0';
    if (fmt)
        vsnprintf(text, sizeof text, fmt, args);
    /* Some C runtimes leave a cut text unterminated. */
    text[sizeof text - 1] = '\0';
    return MessageBoxA(owner, text, caption, type);
}

/* ASCII comparison of the first n characters without regard to case. */
bool startsWithNoCase(const char *text, const char *prefix)
{
    for (; *prefix; text++, prefix++) {
        char a = *text, b = *prefix;
        if (a >= 'A' && a <= 'Z')
            a = static_cast<char>(a - 'A' + 'a');
        if (a != b)
            return false;
    }
    return true;
}

/* Copies at most size-1 characters of src and terminates dst. */
void copyText(char *dst, size_t size, const char *src)
{
    size_t n = strlen(src);
    if (n >= size)
        n = size - 1;
    memcpy(dst, src, n);
    dst[n] = '\0';
}

/* One line of the script into line[SCRIPT_LINE_LEN], the way fgets reads
 * it: at most 99 characters, the line feed ends the line and is not kept.
 * Carriage returns are dropped; a Ctrl-Z ends the file.  A NUL byte is
 * kept, so the line's text ends there.  Returns false when nothing more
 * is to be read. */
bool readScriptLine(FILE *file, char *line, bool *atEnd)
{
    int n = 0;
    bool any = false;
    while (n < SCRIPT_LINE_LEN - 1) {
        int c = fgetc(file);
        if (c == EOF || c == CTRL_Z) {
            *atEnd = true;
            break;
        }
        any = true;
        if (c == '\n')
            break;
        if (c == '\r')
            continue;
        line[n++] = static_cast<char>(c);
    }
    line[n] = '\0';
    return any;
}

void parseServiceLine(const char *line)
{
    char digit = line[2];
    if (digit < '1' || digit > '4')
        return;
    ServiceSlot &slot = scriptData.slot[digit - '1'];
    const char *eq = strchr(line, '=');
    if (!eq)
        return;
    const char *value = eq + 1;
    if (startsWithNoCase(value, "ipx")) {
        const char *colon = strchr(value, ':');
        if (!colon)
            return;
        slot.kind = SLOT_IPX;
        copyText(slot.text, sizeof slot.text, colon + 1);
        for (char *p = slot.text; *p; p++)
            if (*p >= 'a' && *p <= 'z')
                *p = static_cast<char>(*p - 'a' + 'A');
    } else if (startsWithNoCase(value, "ip")) {
        const char *colon = strchr(value, ':');
        if (!colon)
            return;
        slot.kind = SLOT_IP;
        if (strchr(colon + 1, ':'))
            copyText(slot.text, sizeof slot.text, colon + 1);
    }
}

void parseScriptLine(const char *line)
{
    if (startsWithNoCase(line, "path")) {
        const char *eq = strchr(line, '=');
        if (!eq)
            return;
        copyText(scriptData.path, sizeof scriptData.path, eq + 1);
        checkPath(scriptData.path);
        return;
    }
    if (startsWithNoCase(line, "sv"))
        parseServiceLine(line);
}

} // namespace

/* ---------------------------------------------------------------------
 * Start-up and dispatch
 * ------------------------------------------------------------------- */
int WINAPI WinMain(HINSTANCE hInst, HINSTANCE, LPSTR args, int)
{
    /* The argument text starts after the program name and its blanks. */
    const char *script = args ? args : "";
    while (*script == ' ' || *script == '\t')
        script++;
    doAuto = script[0] ? 1 : 0;

    OSInfo.dwOSVersionInfoSize = OS_INFO_SIZE;
    if (!GetVersionExA(&OSInfo)) {
        MessageBoxA(NULL, "Could not determine platform.  Aborting.", "Redirector Install",
                    MB_OK | MB_ICONHAND);
        return 0;
    }
    ghInst = hInst;

    WNDCLASSA wc;
    memset(&wc, 0, sizeof wc);
    wc.style = CS_HREDRAW | CS_VREDRAW;
    wc.lpfnWndProc = WndProc;
    wc.cbClsExtra = 0;
    wc.cbWndExtra = 0;
    wc.hInstance = hInst;
    wc.hIcon = LoadIconA(hInst, MAKEINTRESOURCEA(IDI_INSTALL));
    wc.hCursor = LoadCursorA(NULL, IDC_ARROW);
    wc.hbrBackground = whiteBrush();
    wc.lpszMenuName = NULL;
    wc.lpszClassName = gszAppName;
    if (!RegisterClassA(&wc))
        return 0;

    /* Interactively the whole flow runs inside this call (WM_CREATE). */
    HWND wnd = CreateWindowExA(0, gszAppName, gszAppName, WS_OVERLAPPEDWINDOW, 10, 19, 295, 161,
                               NULL, NULL, hInst, NULL);
    hWndMain = wnd;
    memset(&scriptData, 0, sizeof scriptData);

    if (!doAuto) {
        /* Without a window no quit message will come: do not wait for one. */
        if (!wnd)
            return 0;
        MSG msg;
        msg.wParam = 0;
        while (GetMessageA(&msg, NULL, 0, 0) > 0)
            DispatchMessageA(&msg);
        return 0;
    }

    /* Silent mode installs even without a window: its boxes then have no
     * owner, which they do not need, as nothing else is on the screen. */
    int aborted = 0;
    if (parseScript(script) == 0)
        doit(hWndMain, &aborted);
    return 0;
}

LRESULT CALLBACK WndProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    if (doAuto)
        return DefWindowProcA(hwnd, msg, wParam, lParam);
    switch (msg) {
    case WM_CREATE:
        startInteractive(hwnd);
        PostQuitMessage(0);
        return 0;
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    default:
        return DefWindowProcA(hwnd, msg, wParam, lParam);
    }
}

int doit(HWND owner, int *aborted)
{
    switch (OSInfo.dwPlatformId) {
    case VER_PLATFORM_WIN32_WINDOWS:
        return doit95(owner, aborted);
    case VER_PLATFORM_WIN32_NT:
        return doitNT(owner, aborted);
    default:
        ErrMsg(owner, "Platform must be Windows 95 or Windows NT.  Aborting");
        *aborted = 1;
        return -1;
    }
}

/* ---------------------------------------------------------------------
 * Message helpers
 * ------------------------------------------------------------------- */
int ErrMsg(HWND owner, const char *fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    int result = showBox(owner, "Error", MB_OK, fmt, args);
    va_end(args);
    gotError = 1;
    return result;
}

int InfoMsg(HWND owner, const char *fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    int result = showBox(owner, "Info", MB_OK, fmt, args);
    va_end(args);
    return result;
}

int QueryMsg(HWND owner, const char *fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    int result = showBox(owner, "Install", MB_OKCANCEL, fmt, args);
    va_end(args);
    return result;
}

/* ---------------------------------------------------------------------
 * Interactive flow
 * ------------------------------------------------------------------- */
int startInteractive(HWND owner)
{
    if (QueryMsg(owner, "This will install the %s for Windows.  Continue?", productName) != IDOK)
        return 0;

    if (AlreadyInstalled(scriptData.path, PATH_FIELD_LEN)) {
        if (QueryMsg(owner, "Redirector is already installed.  Update?") != IDOK)
            return 0;
        gotError = 0;
        int abortedNT = 0;
        if (OSInfo.dwPlatformId == VER_PLATFORM_WIN32_WINDOWS) {
            if (doISS(owner) == 0)
                finishInstall(owner);
        } else {
            doitNT(owner, &abortedNT);
        }
        /* NT refuses a 64-bit edition before anything is written. */
        if (abortedNT)
            InfoMsg(owner, "Installation aborted.");
        else if (gotError)
            ErrMsg(owner, "An error was encountered.");
        else
            InfoMsg(owner, "Update successful.  Restart your PC to use the new version.");
        return 0;
    }

    if (DialogBoxParamA(ghInst, MAKEINTRESOURCEA(IDD_DESTPATH), owner, PathDlgProc, 0) != IDOK)
        return 0;

    gotError = 0;
    int aborted = 0;
    doit(owner, &aborted);

    if (aborted) {
        InfoMsg(owner, "Installation aborted.");
    } else if (gotError) {
        ErrMsg(owner, "An error was encountered.  Try running the custom installation.");
    } else if (OSInfo.dwPlatformId == VER_PLATFORM_WIN32_NT && OSInfo.dwMajorVersion == 3) {
        InfoMsg(owner, "%s", successText351);
    } else {
        InfoMsg(owner, "%s", successText);
        WinHelpA(owner, helpFile, HELP_CONTEXT, HELP_CONTEXT_ID);
    }
    return 0;
}

INT_PTR CALLBACK PathDlgProc(HWND dlg, UINT msg, WPARAM wParam, LPARAM)
{
    /* The hidden main window is not laid under the dialog: it is never
     * shown, and while the dialog runs hWndMain is not yet stored. */
    if (msg == WM_INITDIALOG) {
        SetDlgItemTextA(dlg, IDC_PATHEDIT, defaultAppPath);
        return FALSE;
    }
    if (msg != WM_COMMAND)
        return FALSE;
    switch (LOWORD(wParam)) {
    case IDOK:
        scriptData.path[0] = '\0';
        GetDlgItemTextA(dlg, IDC_PATHEDIT, scriptData.path, DLG_READ_LEN);
        scriptData.path[DLG_READ_LEN - 1] = '\0';
        EndDialog(dlg, IDOK);
        checkPath(scriptData.path);
        return TRUE;
    case IDCANCEL:
        EndDialog(dlg, IDCANCEL);
        return TRUE;
    case IDC_HELPBTN:
        return TRUE;
    default:
        return FALSE;
    }
}

/* Reads the configuration program's installed location, the App Paths
 * "Path" value, into buf, as stored (the backslash it may lack is added
 * where the path is used).  A value that does not fit whole with its
 * terminator counts as not installed (buf is then emptied). */
int AlreadyInstalled(char *buf, DWORD size)
{
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, AppPathKeyName, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return 0;
    DWORD length = size;
    LONG rc = RegQueryValueExA(key, "Path", NULL, NULL, reinterpret_cast<BYTE *>(buf), &length);
    RegCloseKey(key);
    if (rc != ERROR_SUCCESS || size == 0 || length > size) {
        if (size)
            buf[0] = '\0';
        return 0;
    }
    /* The stored text need not end in a NUL. */
    size_t n = 0;
    while (n < length && buf[n])
        n++;
    if (n >= size) {
        buf[0] = '\0';
        return 0;
    }
    buf[n] = '\0';
    return 1;
}

void checkPath(char *path)
{
    size_t n = strlen(path);
    if (n > 0 && path[n - 1] == '\\')
        return;
    /* Every path this is given lies in the destination path field; one
     * that would not keep its terminator there stays as it is. */
    if (n + 2 > PATH_FIELD_LEN)
        return;
    path[n] = '\\';
    path[n + 1] = '\0';
}

/* ---------------------------------------------------------------------
 * Install script
 * ------------------------------------------------------------------- */
int parseScript(const char *fileName)
{
    FILE *file = fopen(fileName, "r");
    if (!file)
        return -1;
    char line[SCRIPT_LINE_LEN];
    bool atEnd = false;
    while (!atEnd && readScriptLine(file, line, &atEnd))
        parseScriptLine(line);
    fclose(file);
    return 0;
}
