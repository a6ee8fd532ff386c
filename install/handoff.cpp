/*
 * handoff.cpp - hand-off to the application installer.
 *
 * doISS writes the installer's silent response file into the Windows
 * directory and composes the installer's command line; finishInstall
 * records the uninstall entry, closes a running "red32" window and runs
 * the installer on a second thread (SecondThread), waiting for that thread
 * while still handling sent messages so that the thread's error box,
 * owned by our window, can appear.
 */
#include "install.h"

const char srFile[] = "qblred.iss";
const char logFile[] = "qblred.log";
const char setupCmd[] = "second.exe -S";
const char uninstKeyName[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Quorbelle Redirector";
const char uninstProgName[] = "remove.exe";

/* The response file: kind 0 writes the text, kind 1 the destination path,
 * kinds 2..5 service slots 1..4 (their text is a placeholder only). */
const IssLine issLines[] = {
    {0, "[InstallShield Silent]\n"},
    {0, "Version=v2.10.000\n"},
    {0, "File=Response File\n"},
    {0, "[Application]\n"},
    {0, "Name=Quorbelle Redirector\n"},
    {0, "Version=1.0\n"},
    {0, "Company=Quorbelle\n"},
    {0, "[DlgOrder]\n"},
    {0, "Dlg0=Welcome-0\n"},
    {0, "Dlg1=AskDestPath-0\n"},
    {0, "Dlg2=AskText-0\n"},
    {0, "Dlg3=AskText-1\n"},
    {0, "Dlg4=AskText-2\n"},
    {0, "Dlg5=AskText-3\n"},
    {0, "Count=6\n"},
    {0, "[Welcome-0]\n"},
    {0, "Result=1\n"},
    {0, "[AskDestPath-0]\n"},
    {0, "szPath="},
    {1, "C:\\Program Files\\Quorbelle\\Redirector\\"},
    {0, "\n"},
    {0, "Result=1\n"},
    {0, "[AskText-0]\n"},
    {0, "szText="},
    {2, "<empty>"},
    {0, "\n"},
    {0, "Result=1\n"},
    {0, "[AskText-1]\n"},
    {0, "szText="},
    {3, "<empty>"},
    {0, "\n"},
    {0, "Result=1\n"},
    {0, "[AskText-2]\n"},
    {0, "szText="},
    {4, "<empty>"},
    {0, "\n"},
    {0, "Result=1\n"},
    {0, "[AskText-3]\n"},
    {0, "szText="},
    {5, "<empty>"},
    {0, "\n"},
    {0, "Result=1\n"},
    {0, ""},
};

enum {
    ENV_BUF_LEN = 261,       /* an environment value we accept, terminator included */
    INSTALLER_WAIT_MS = 5000,
    RED32_PAUSE_S = 2,
    THREAD_STACK = 1000,
    FALLBACK_POLL_MS = 100   /* see waitHandlingSent */
};

int getEnv(const char *name, char *buf, int size)
{
    const char *value = getenv(name);
    int n = 0;
    if (!value)
        return 0;
    if (size <= 0)
        return -1;
    while (value[n]) {
        if (n == size - 1)
            return -1;
        n++;
    }
    memcpy(buf, value, (size_t)n + 1);
    return n;
}

/* Length of a text in a fixed field that may lack its terminator. */
static int fieldLen(const char *field, int size)
{
    int n = 0;
    while (n < size && field[n])
        n++;
    return n;
}

/* The destination path as a folder, for the response file and the
 * uninstall string: the field's text and, when that does not end in a
 * backslash, the one it lacks.  A location read back from the registry may
 * be stored without it, and one of 99 characters leaves no room for it in
 * the field, so it is added here.  An empty path stays empty. */
static const char *pathSeparator(int *len)
{
    *len = fieldLen(scriptData.path, PATH_FIELD_LEN);
    return *len > 0 && scriptData.path[*len - 1] != '\\' ? "\\" : "";
}

/* Writes one service slot; false when the write failed. */
static bool writeSlot(FILE *f, const ServiceSlot *slot)
{
    /* The slot text is a fixed field: never read past it. */
    int len = fieldLen(slot->text, SLOT_TEXT_LEN);
    if (slot->kind == SLOT_IPX)
        return fprintf(f, "IPX:00000000:00-00-00-00-00-01:%.*s", len, slot->text) >= 0;
    if (slot->kind == SLOT_IP)
        return fprintf(f, "IP:%.*s", len, slot->text) >= 0;
    return fputs("<empty>", f) >= 0;
}

int doISS(HWND owner)
{
    char windir[ENV_BUF_LEN];
    char issPath[PATH_FIELD_LEN];
    char cmd[CMD_FIELD_LEN];

    int len = getEnv("WINDIR", windir, sizeof windir);
    if (len == 0) {
        ErrMsg(owner, "Couldn't get windir");
        return -1;
    }
    /* Both the response file path and the command line must fit whole
     * before anything is written. */
    int n1 = len < 0 ? -1 : snprintf(issPath, sizeof issPath, "%s\\%s", windir, srFile);
    int n2 = n1 < 0 || n1 >= (int)sizeof issPath
                 ? -1
                 : snprintf(cmd, sizeof cmd, "%s -F1%s -F2%s\\%s", setupCmd, issPath, windir, logFile);
    if (n2 < 0 || n2 >= (int)sizeof cmd) {
        ErrMsg(owner, "windir too long for %s", srFile);
        return -1;
    }

    FILE *f = fopen(issPath, "w");
    if (!f) {
        ErrMsg(owner, "Can't open %s for writing", issPath);
        return -1;
    }

    /* A full disk lets the file be created but not written (or written
     * only in part): every write and the close are checked, and the code
     * of the first failure is the one reported. */
    bool written = true;
    for (const IssLine *line = issLines; written && line->text[0]; line++) {
        switch (line->kind) {
        case 0:
            written = fputs(line->text, f) >= 0;
            break;
        case 1: {
            int pathLen;
            const char *sep = pathSeparator(&pathLen);
            written = fprintf(f, "%.*s%s", pathLen, scriptData.path, sep) >= 0;
            break;
        }
        case 2:
        case 3:
        case 4:
        case 5:
            written = writeSlot(f, &scriptData.slot[line->kind - 2]);
            break;
        default:
            break;
        }
    }
    DWORD code = written ? 0 : GetLastError();
    if (fclose(f) != 0 && written) {
        written = false;
        code = GetLastError();
    }
    if (!written) {
        ErrMsg(owner, "Couldn't write %s: 0x%x", issPath, (unsigned)code);
        return -1;
    }
    memcpy(scriptData.setupCmd, cmd, (size_t)n2 + 1);
    return 0;
}

DWORD WINAPI SecondThread(LPVOID param)
{
    HWND owner = (HWND)param;
    DWORD status = (DWORD)-1;
    STARTUPINFOA si;
    PROCESS_INFORMATION pi;
    char cmd[CMD_FIELD_LEN];

#if defined(_WIN32) && !defined(_WIN64)
    static_assert(sizeof(STARTUPINFOA) == 68, "STARTUPINFOA is 68 bytes on Win32");
#endif
    memset(&si, 0, sizeof si);
    si.cb = sizeof si;

    /* CreateProcessA may write into the command line: give it our copy,
     * terminated within the field. */
    memcpy(cmd, scriptData.setupCmd, sizeof cmd);
    cmd[sizeof cmd - 1] = '\0';
    if (!CreateProcessA(NULL, cmd, NULL, NULL, FALSE, 0, NULL, NULL, &si, &pi)) {
        ErrMsg(owner, "Failed to launch app installer");
        ExitThread(status);
    }

    DWORD rc = WaitForSingleObject(pi.hProcess, INSTALLER_WAIT_MS);
    if (rc == WAIT_OBJECT_0) {
        DWORD code;
        if (!GetExitCodeProcess(pi.hProcess, &code)) {
            status = 2;
        } else if (code == STILL_ACTIVE) {
            status = 1;
        } else {
            OutputDebugStringA("process came back ok\r\n");
            status = 0;
        }
    } else if (rc == WAIT_TIMEOUT) {
        status = 3;
    } else if (rc == WAIT_ABANDONED) {
        status = 4;
    }
    /* The installer is never terminated: one still running goes on. */
    CloseHandle(pi.hProcess);
    CloseHandle(pi.hThread);
    ExitThread(status);
}

/* Waits for the thread without a time limit, handling the messages sent to
 * this thread meanwhile (a box the thread shows over our window sends us
 * some) and leaving posted ones in the queue. */
static void waitHandlingSent(HANDLE thread)
{
    for (;;) {
        DWORD rc = MsgWaitForMultipleObjects(1, &thread, FALSE, INFINITE, QS_SENDMESSAGE);
        if (rc == WAIT_OBJECT_0 + 1) {
            MSG msg;
            PeekMessageA(&msg, NULL, 0, 0, PM_NOREMOVE);
            continue;
        }
        if (rc != WAIT_OBJECT_0) {
            /* The message wait itself failed: the thread must still end
             * before we go on, since it reads scriptData and sets gotError,
             * and its error box still needs the messages it sends us. */
            MSG msg;
            while (WaitForSingleObject(thread, FALLBACK_POLL_MS) == WAIT_TIMEOUT)
                PeekMessageA(&msg, NULL, 0, 0, PM_NOREMOVE);
        }
        return;
    }
}

int finishInstall(HWND owner)
{
    int result = -1;
    HKEY key;
    DWORD disposition;
    char uninst[200];

    LONG rc = RegCreateKeyExA(HKEY_LOCAL_MACHINE, uninstKeyName, 0, NULL, REG_OPTION_NON_VOLATILE,
                              KEY_ALL_ACCESS, NULL, &key, &disposition);
    if (rc != ERROR_SUCCESS) {
        ErrMsg(owner, "Couldn't create subkey %s: %d", uninstKeyName, (int)rc);
        return -1;
    }
    if (RegSetValueExA(key, "DisplayName", 0, REG_SZ, (const BYTE *)productName,
                       (DWORD)strlen(productName) + 1) != ERROR_SUCCESS) {
        ErrMsg(owner, "Can't set DisplayName value");
        RegCloseKey(key);
        return -1;
    }
    /* The path field holds at most 100 characters: this always fits. */
    int pathLen;
    const char *sep = pathSeparator(&pathLen);
    int n = snprintf(uninst, sizeof uninst, "%.*s%s%s", pathLen, scriptData.path, sep,
                     uninstProgName);
    if (n < 0 || n >= (int)sizeof uninst ||
        RegSetValueExA(key, "UninstallString", 0, REG_SZ, (const BYTE *)uninst, (DWORD)n + 1) !=
            ERROR_SUCCESS) {
        ErrMsg(owner, "Can't set UninstallString value");
        RegCloseKey(key);
        return -1;
    }

    HWND red = FindWindowA("red32", "red32");
    if (red) {
        PostMessageA(red, WM_DESTROY, 0, 0);
        Sleep(RED32_PAUSE_S * 1000);
    }

    /* Windows 95 will not create a thread without somewhere to put its id. */
    DWORD threadId;
    HANDLE thread = CreateThread(NULL, THREAD_STACK, SecondThread, (LPVOID)owner, 0, &threadId);
    if (!thread) {
        ErrMsg(owner, "Couldn't create second thread");
        RegCloseKey(key);
        return -1;
    }
    waitHandlingSent(thread);
    CloseHandle(thread);
    result = 0;

    RegCloseKey(key);
    return result;
}
