/*
 * driver.cpp - plays the user's part for one run of install.exe in a Wine
 * prefix.
 *
 *   driver.exe PLAN OUTCOME
 *
 * PLAN is a text file, one directive a line (texts escaped with \n \r \t \\):
 *   exe C:\setup\install.exe     the program to run (required)
 *   args TEXT                    argument text; absent: no argument
 *   cwd C:\setup                 current directory of the program
 *   env NAME=VALUE / unset NAME  environment changes
 *   red32 C:\testprogs\red32.exe start this first and wait for its window
 *   answer ACTION; ACTION        answers for the boxes and dialogs, in order
 *   timeout MS                   the run is ended after this long
 *   stamps C:\testlog            where install-start.txt / install-exit.txt go
 *   service NAME                 a service whose state is wanted afterwards
 *   services C:\services.txt     where those states go ("NAME STATE" lines)
 *   dosdevice NAME TARGET        a DOS device defined before the run (raw
 *                                target, as QueryDosDeviceA gives it)
 *   values HKEY_...\KEY          a key whose values are read after the run
 *                                with their exact type and stored size
 *   valuesfile C:\values.jsonl   where those go, one JSON line a key:
 *                                {"key":K,"values":[{"name":N,"type":T,"data":HEX}]}
 *                                ({"key":K,"missing":true} when it cannot be opened)
 *   readonly C:\setup\x.sys      a file that must be read-only as the program
 *                                sees it: FILE_ATTRIBUTE_READONLY, and opening
 *                                it for writing, overwriting it and deleting
 *                                it fail with ERROR_ACCESS_DENIED
 *   full C:\dir                  a folder that must lie on a full drive: a file
 *                                can be created there, but writing one byte
 *                                fails with ERROR_DISK_FULL
 *   comdb working|faulting|none  the COM port database the program gets: what
 *                                LoadLibraryA of GetSystemDirectoryA()\msports.dll
 *                                gives, as the program loads it, must be the
 *                                test DLL (testprogs/msports.c, which exports
 *                                RedirTestComDB), another msports.dll with
 *                                ComDBOpen (Wine's own, whose stubs fault), or
 *                                nothing
 *   wow64 yes|no                 whether the program must run under WOW64
 *                                (IsWow64Process of its process)
 *   start NAME                   a service started before the program (and
 *                                that must then run)
 *   deleteservice NAME           before the program starts, the service is
 *                                opened and deleted (DeleteService), and the
 *                                handle stays open to the driver's end, after
 *                                the export: the service manager keeps it
 *                                marked for deletion meanwhile
 *   export HKEY_...\KEY          a key exported after the run, with its subkeys
 *   exportfile C:\export.reg     where: one UTF-16 regedit export of them all
 *   ntstart NAME                 after the export, the driver service is started
 *                                the way Windows NT finds its driver
 *   ntstartfile C:\ntstart.txt   where the outcome goes: "NAME | IMAGE | STATE"
 * A machine that is not so is an error event, and the program is not
 * started (for wow64: it is ended at once).
 *
 * With REDIRECTOR_SHOTS=DIR in the environment (a Windows path; taken out
 * of the environment install.exe gets), every box and dialog, once visible,
 * waits to be photographed before it is answered: the driver writes
 * DIR\shot-N.txt (N from 1; "left top right bottom" of the window on the
 * screen) and answers only when DIR\go-N exists, or after 30 s with an
 * error event.  Debug events and help requests are served meanwhile.  The
 * title bar of a waiting window is drawn as active.
 *
 * OUTCOME receives JSON lines: box, dialog, help, debug, posted, unanswered,
 * timeout, error, window and exit events.  A window event describes each
 * top-level window of the program that is neither a box nor the dialog (its
 * hidden main window): class, title, style, exstyle, x, y, width, height,
 * classstyle as last read while the program ran (the style without the
 * WS_DISABLED that a box gives its owner), and shown, whether it was ever
 * seen visible.  The program runs under the debug API so
 * that its OutputDebugStringA text is caught; a hidden MS_WINHELP window
 * takes the place of the help viewer and records each WinHelp request.
 */
#include <windows.h>

#include "after_run.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

namespace {

FILE *outcome = nullptr;
DWORD childPid = 0;

std::string unescape(const std::string &s)
{
    std::string out;
    for (size_t i = 0; i < s.size(); i++) {
        if (s[i] == '\\' && i + 1 < s.size()) {
            char c = s[++i];
            if (c == 'n') out += '\n';
            else if (c == 'r') out += '\r';
            else if (c == 't') out += '\t';
            else if (c == '\\') out += '\\';
            else { out += '\\'; out += c; }
        } else {
            out += s[i];
        }
    }
    return out;
}

std::string json(const std::string &s)
{
    std::string out = "\"";
    for (unsigned char c : s) {
        char buf[8];
        if (c == '"' || c == '\\') { out += '\\'; out += (char)c; }
        else if (c == '\n') out += "\\n";
        else if (c == '\r') out += "\\r";
        else if (c == '\t') out += "\\t";
        else if (c < 0x20 || c >= 0x7f) { snprintf(buf, sizeof buf, "\\u%04x", c); out += buf; }
        else out += (char)c;
    }
    return out + "\"";
}

void emit(const std::string &line)
{
    fputs(line.c_str(), outcome);
    fputc('\n', outcome);
    fflush(outcome);
}

unsigned long long nowMs()
{
    FILETIME ft;
    GetSystemTimeAsFileTime(&ft);
    ULARGE_INTEGER u;
    u.LowPart = ft.dwLowDateTime;
    u.HighPart = ft.dwHighDateTime;
    return (u.QuadPart - 116444736000000000ULL) / 10000ULL;
}

void stamp(const std::string &dir, const char *name, unsigned long long ms)
{
    if (dir.empty()) return;
    std::string path = dir + "\\" + name;
    FILE *f = fopen(path.c_str(), "wb");
    if (!f) return;
    fprintf(f, "%llu", ms);
    fclose(f);
}

/* Text of a window of another process; GetWindowText cannot read another
 * process's controls. */
std::string textOf(HWND w)
{
    if (!w) return "";
    std::vector<char> buf(4096, 0);
    DWORD_PTR got = 0;
    if (!SendMessageTimeoutA(w, WM_GETTEXT, buf.size(), (LPARAM)buf.data(), SMTO_NORMAL, 2000,
                             &got))
        return "";
    buf.back() = 0;
    return std::string(buf.data());
}

std::string classOf(HWND w)
{
    char buf[256] = "";
    if (w) GetClassNameA(w, buf, sizeof buf);
    return buf;
}

struct ButtonName {
    int id;
    const char *name;
};
const ButtonName buttonNames[] = {{IDOK, "OK"},       {IDCANCEL, "Cancel"}, {IDABORT, "Abort"},
                                  {IDRETRY, "Retry"}, {IDIGNORE, "Ignore"}, {IDYES, "Yes"},
                                  {IDNO, "No"},       {9, "Help"},          {10, "TryAgain"},
                                  {11, "Continue"}};

int buttonId(const std::string &name)
{
    for (const ButtonName &b : buttonNames)
        if (_stricmp(b.name, name.c_str()) == 0) return b.id;
    return 0;
}

BOOL CALLBACK collectChild(HWND w, LPARAM lp)
{
    ((std::vector<HWND> *)lp)->push_back(w);
    return TRUE;
}

std::vector<HWND> childrenOf(HWND w)
{
    std::vector<HWND> out;
    EnumChildWindows(w, collectChild, (LPARAM)&out);
    return out;
}

/* The visible standard buttons of a box, in their order on the box. */
std::vector<std::string> buttonsOf(HWND box)
{
    struct B { int x; std::string name; };
    std::vector<B> found;
    for (HWND c : childrenOf(box)) {
        if (!IsWindowVisible(c) || _stricmp(classOf(c).c_str(), "Button") != 0) continue;
        int id = GetDlgCtrlID(c);
        for (const ButtonName &b : buttonNames)
            if (b.id == id) {
                RECT r;
                GetWindowRect(c, &r);
                found.push_back({r.left, b.name});
            }
    }
    for (size_t i = 1; i < found.size(); i++)
        for (size_t j = i; j > 0 && found[j].x < found[j - 1].x; j--) std::swap(found[j], found[j - 1]);
    std::vector<std::string> out;
    for (const B &b : found) out.push_back(b.name);
    return out;
}

std::vector<std::string> splitActions(const std::string &answer)
{
    std::vector<std::string> out;
    size_t start = 0;
    while (start <= answer.size()) {
        size_t semi = answer.find(';', start);
        if (semi == std::string::npos) semi = answer.size();
        std::string a = answer.substr(start, semi - start);
        size_t b = a.find_first_not_of(' ');
        size_t e = a.find_last_not_of(' ');
        if (b != std::string::npos) out.push_back(a.substr(b, e - b + 1));
        start = semi + 1;
    }
    return out;
}

void pumpMessages()
{
    MSG m;
    while (PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&m);
        DispatchMessageA(&m);
    }
}

/* Applies one action to a box or dialog. */
void apply(HWND w, const std::string &action)
{
    if (action.compare(0, 5, "Type ") == 0 || action == "Type") {
        std::string text = action.size() > 5 ? unescape(action.substr(5)) : "";
        DWORD_PTR r;
        SendMessageTimeoutA(GetDlgItem(w, 10), WM_SETTEXT, 0, (LPARAM)text.c_str(), SMTO_NORMAL,
                            2000, &r);
    } else if (action == "Escape") {
        GUITHREADINFO gi;
        memset(&gi, 0, sizeof gi);
        gi.cbSize = sizeof gi;
        HWND target = w;
        if (GetGUIThreadInfo(GetWindowThreadProcessId(w, nullptr), &gi) && gi.hwndFocus &&
            (gi.hwndFocus == w || IsChild(w, gi.hwndFocus)))
            target = gi.hwndFocus;
        if (target != w) {
            PostMessageA(target, WM_KEYDOWN, VK_ESCAPE, 0x00010001);
            PostMessageA(target, WM_KEYUP, VK_ESCAPE, 0xC0010001);
        } else {
            /* No control has the focus: the dialog manager would send
             * IDCANCEL for the key. */
            PostMessageA(w, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
        }
    } else if (action == "Close") {
        PostMessageA(w, WM_SYSCOMMAND, SC_CLOSE, 0);
    } else {
        int id = buttonId(action);
        HWND b = id ? GetDlgItem(w, id) : nullptr;
        if (b)
            PostMessageA(b, BM_CLICK, 0, 0);
        else if (id)
            PostMessageA(w, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), (LPARAM)0);
    }
    /* Let the target take the action before the next one arrives. */
    DWORD_PTR r;
    SendMessageTimeoutA(w, WM_NULL, 0, 0, SMTO_NORMAL, 500, &r);
    pumpMessages();
}

struct Plan {
    std::string exe, cwd = "C:\\setup", red32, stamps;
    bool hasArgs = false;
    std::string args;
    std::vector<std::string> answers, services, valueKeys, readOnly, full, deleteServices;
    std::vector<std::pair<std::string, std::string>> dosDevices;
    std::vector<std::string> exports, ntStart, startFirst;
    std::string servicesFile, valuesFile, comdb, wow64, exportFile, ntStartFile;
    DWORD timeout = 60000;
};

size_t nextAnswer = 0;
Plan plan;
std::set<HWND> seen;

/* Screenshot mode: the window that waits for its go file, and its answer. */
struct Shot {
    HWND w = nullptr;
    std::string answer, go;
    unsigned long long until = 0;
};
std::string shotsDir;
int shotCount = 0;
Shot waiting;

void answerWindow(HWND w, const std::string &answer)
{
    for (const std::string &a : splitActions(answer)) apply(w, a);
}

/* Reports where w is and holds its answer back until the go file appears.
 * False when the report cannot be written (the window is answered at once). */
bool holdForShot(HWND w, const std::string &answer)
{
    int n = ++shotCount;
    /* Wine is its foreground window, but with no window manager under
     * Xvfb it never draws the title bar as active (Windows would): the
     * title bar alone is drawn again as active.  The WM_NULL comes back
     * once the window has handled everything sent to it before. */
    DWORD_PTR r;
    SendMessageTimeoutA(w, WM_NCACTIVATE, TRUE, 0, SMTO_NORMAL, 2000, &r);
    SendMessageTimeoutA(w, WM_NULL, 0, 0, SMTO_NORMAL, 2000, &r);
    RECT rc;
    GetWindowRect(w, &rc);
    std::string base = shotsDir + "\\shot-" + std::to_string(n);
    FILE *f = fopen((base + ".tmp").c_str(), "wb");
    bool written = f && fprintf(f, "%ld %ld %ld %ld\n", (long)rc.left, (long)rc.top,
                                (long)rc.right, (long)rc.bottom) > 0;
    if (f) written = fclose(f) == 0 && written;
    /* Renamed into place, so that the reader never sees half a line. */
    if (!written || !MoveFileExA((base + ".tmp").c_str(), (base + ".txt").c_str(),
                                 MOVEFILE_REPLACE_EXISTING)) {
        emit("{\"ev\":\"error\",\"text\":" + json("cannot write " + base + ".txt") + "}");
        return false;
    }
    waiting.w = w;
    waiting.answer = answer;
    waiting.go = shotsDir + "\\go-" + std::to_string(n);
    waiting.until = nowMs() + 30000;
    return true;
}

/* True while a window still waits for its go file. */
bool stillWaiting()
{
    if (!waiting.w) return false;
    if (GetFileAttributesA(waiting.go.c_str()) == INVALID_FILE_ATTRIBUTES) {
        if (nowMs() < waiting.until) return true;
        emit("{\"ev\":\"error\",\"text\":" + json("no " + waiting.go + " within 30 s") + "}");
    }
    Shot s = waiting;
    waiting = Shot();
    answerWindow(s.w, s.answer);
    return false;
}

BOOL CALLBACK collectTop(HWND w, LPARAM lp)
{
    ((std::vector<HWND> *)lp)->push_back(w);
    return TRUE;
}

/* The program's own top-level windows other than its boxes and dialog,
 * as last read, and whether each was ever visible. */
struct SeenWindow {
    std::string cls, title;
    DWORD style = 0, exStyle = 0, classStyle = 0;
    RECT rect = {0, 0, 0, 0};
    bool shown = false;
};
std::vector<std::pair<HWND, SeenWindow>> programWindows;

void trackWindows()
{
    std::vector<HWND> top;
    EnumWindows(collectTop, (LPARAM)&top);
    for (HWND w : top) {
        DWORD pid = 0;
        GetWindowThreadProcessId(w, &pid);
        if (pid != childPid || GetWindow(w, GW_OWNER)) continue;
        std::string cls = classOf(w);
        /* Its boxes, Wine's input window, and a window going away as the
         * program ends (it no longer tells its class). */
        if (cls.empty() || cls == "#32770" || cls == "IME") continue;
        /* Read without sending anything: the program's thread may be busy.
         * What is read counts only if the window still tells its class
         * afterwards (it may be going away as the program ends). */
        SeenWindow now;
        char title[256] = "";
        GetWindowTextA(w, title, sizeof title);
        now.cls = cls;
        now.title = title;
        /* Less WS_DISABLED, which a box sets on its owner while it is up. */
        now.style = (DWORD)GetWindowLongA(w, GWL_STYLE) & ~(DWORD)WS_DISABLED;
        now.exStyle = (DWORD)GetWindowLongA(w, GWL_EXSTYLE);
        now.classStyle = (DWORD)GetClassLongA(w, GCL_STYLE);
        bool placed = GetWindowRect(w, &now.rect) != 0;
        now.shown = IsWindowVisible(w) != 0;
        if (!placed || classOf(w) != cls) continue;
        SeenWindow *seenAs = nullptr;
        for (auto &p : programWindows)
            if (p.first == w) seenAs = &p.second;
        if (!seenAs) {
            programWindows.emplace_back(w, SeenWindow());
            seenAs = &programWindows.back().second;
        }
        bool shown = seenAs->shown || now.shown;
        *seenAs = now;
        seenAs->shown = shown;
    }
}

void emitWindows()
{
    for (auto &p : programWindows) {
        const SeenWindow &s = p.second;
        emit("{\"ev\":\"window\",\"class\":" + json(s.cls) + ",\"title\":" + json(s.title) +
             ",\"style\":" + std::to_string(s.style) + ",\"exstyle\":" + std::to_string(s.exStyle) +
             ",\"x\":" + std::to_string(s.rect.left) + ",\"y\":" + std::to_string(s.rect.top) +
             ",\"width\":" + std::to_string(s.rect.right - s.rect.left) +
             ",\"height\":" + std::to_string(s.rect.bottom - s.rect.top) +
             ",\"shown\":" + (s.shown ? "true" : "false") +
             ",\"classstyle\":" + std::to_string(s.classStyle) + "}");
    }
}

void pollWindows()
{
    if (stillWaiting()) return;
    std::vector<HWND> top;
    EnumWindows(collectTop, (LPARAM)&top);
    for (HWND w : top) {
        if (seen.count(w) || !IsWindowVisible(w)) continue;
        if (classOf(w) != "#32770") continue;
        DWORD pid = 0;
        GetWindowThreadProcessId(w, &pid);
        if (pid == GetCurrentProcessId()) continue;
        seen.insert(w);
        std::string caption = textOf(w);
        HWND edit = GetDlgItem(w, 10);
        bool isDialog = edit && _stricmp(classOf(edit).c_str(), "Edit") == 0;
        std::string text = isDialog ? textOf(edit) : textOf(GetDlgItem(w, 0xFFFF));
        std::vector<std::string> buttons = isDialog ? std::vector<std::string>() : buttonsOf(w);
        std::string answer;
        bool unanswered = nextAnswer >= plan.answers.size();
        if (!unanswered) {
            answer = plan.answers[nextAnswer++];
        } else {
            /* End the run: Cancel where there is one, else No, else OK. */
            answer = buttons.empty() ? "OK" : buttons[0];
            for (auto &b : buttons)
                if (b == "No") answer = "No";
            for (auto &b : buttons)
                if (b == "Cancel") answer = "Cancel";
            if (isDialog) answer = "Cancel";
        }
        std::string line;
        if (isDialog) {
            line = "{\"ev\":\"dialog\",\"caption\":" + json(caption) + ",\"text\":" + json(text) +
                   ",\"answer\":" + json(answer) + "}";
        } else {
            HWND owner = GetWindow(w, GW_OWNER);
            std::string oc = owner ? classOf(owner) : "none";
            line = "{\"ev\":\"box\",\"owner\":" + json(oc) + ",\"caption\":" + json(caption) +
                   ",\"text\":" + json(text) + ",\"buttons\":[";
            for (size_t i = 0; i < buttons.size(); i++)
                line += (i ? "," : "") + json(buttons[i]);
            line += "],\"answer\":" + json(answer) + "}";
        }
        emit(line);
        if (unanswered)
            emit("{\"ev\":\"unanswered\",\"unanswered\":true,\"caption\":" + json(caption) +
                 ",\"text\":" + json(text) + "}");
        if (!shotsDir.empty() && holdForShot(w, answer)) return;
        answerWindow(w, answer);
    }
}

/* WinHelp finds this window by its class and sends it the request. */
LRESULT CALLBACK helpProc(HWND w, UINT msg, WPARAM wp, LPARAM lp)
{
    if (msg == WM_COPYDATA) {
        const COPYDATASTRUCT *cds = (const COPYDATASTRUCT *)lp;
        if (cds && cds->lpData && cds->cbData >= 16) {
            const unsigned char *p = (const unsigned char *)cds->lpData;
            unsigned command = p[2] | (p[3] << 8);
            long data;
            memcpy(&data, p + 4, 4);
            unsigned ofsFile = p[12] | (p[13] << 8);
            std::string file;
            if (ofsFile && ofsFile < cds->cbData)
                file.assign((const char *)p + ofsFile,
                            strnlen((const char *)p + ofsFile, cds->cbData - ofsFile));
            emit("{\"ev\":\"help\",\"file\":" + json(file) + ",\"command\":" +
                 std::to_string(command) + ",\"data\":" + std::to_string((unsigned long)data) + "}");
        }
        return TRUE;
    }
    return DefWindowProcA(w, msg, wp, lp);
}

bool readPlan(const char *path)
{
    FILE *f = fopen(path, "rb");
    if (!f) return false;
    char line[8192];
    while (fgets(line, sizeof line, f)) {
        std::string s(line);
        while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
        size_t sp = s.find(' ');
        std::string key = s.substr(0, sp);
        std::string val = sp == std::string::npos ? "" : s.substr(sp + 1);
        if (key == "exe") plan.exe = val;
        else if (key == "args") { plan.hasArgs = true; plan.args = unescape(val); }
        else if (key == "cwd") plan.cwd = val;
        else if (key == "red32") plan.red32 = val;
        else if (key == "stamps") plan.stamps = val;
        else if (key == "answer") plan.answers.push_back(val);
        else if (key == "service") plan.services.push_back(val);
        else if (key == "values") plan.valueKeys.push_back(val);
        else if (key == "valuesfile") plan.valuesFile = val;
        else if (key == "readonly") plan.readOnly.push_back(val);
        else if (key == "full") plan.full.push_back(val);
        else if (key == "comdb") plan.comdb = val;
        else if (key == "wow64") plan.wow64 = val;
        else if (key == "deleteservice") plan.deleteServices.push_back(val);
        else if (key == "start") plan.startFirst.push_back(val);
        else if (key == "export") plan.exports.push_back(val);
        else if (key == "exportfile") plan.exportFile = val;
        else if (key == "ntstart") plan.ntStart.push_back(val);
        else if (key == "ntstartfile") plan.ntStartFile = val;
        else if (key == "dosdevice") {
            size_t sp2 = val.find(' ');
            if (sp2 != std::string::npos)
                plan.dosDevices.emplace_back(val.substr(0, sp2), val.substr(sp2 + 1));
        }
        else if (key == "services") plan.servicesFile = val;
        else if (key == "timeout") plan.timeout = strtoul(val.c_str(), nullptr, 10);
        else if (key == "env") {
            std::string kv = unescape(val);
            size_t eq = kv.find('=');
            if (eq != std::string::npos && eq > 0)
                SetEnvironmentVariableA(kv.substr(0, eq).c_str(), kv.substr(eq + 1).c_str());
        } else if (key == "unset") {
            SetEnvironmentVariableA(val.c_str(), nullptr);
        }
    }
    fclose(f);
    return !plan.exe.empty();
}

/* The COM port database as the program will find it: "" if it is the
 * plan's.  Nothing in it is called (ComDBOpen would create its key). */
std::string checkComDatabase()
{
    if (plan.comdb.empty()) return "";
    char path[MAX_PATH + 16];
    UINT n = GetSystemDirectoryA(path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return "no system directory";
    strcat(path, "\\msports.dll");
    UINT mode = SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
    HMODULE dll = LoadLibraryA(path);
    SetErrorMode(mode);
    std::string found = !dll ? "none"
                        : GetProcAddress(dll, "RedirTestComDB") ? "working"
                        : GetProcAddress(dll, "ComDBOpen") ? "faulting" : "no ComDBOpen";
    if (dll) FreeLibrary(dll);
    if (found != plan.comdb)
        return std::string(path) + " gives the COM port database " + found + ", not " + plan.comdb;
    return "";
}

/* Whether the machine is as the plan says: "" if so, else what is not. */
std::string checkMachine()
{
    for (const std::string &path : plan.readOnly) {
        DWORD attrs = GetFileAttributesA(path.c_str());
        if (attrs == INVALID_FILE_ATTRIBUTES || !(attrs & FILE_ATTRIBUTE_READONLY)) {
            char buf[16];
            snprintf(buf, sizeof buf, "0x%lx", (unsigned long)attrs);
            return path + " is not read-only: attributes " + buf;
        }
        // Writing into it, overwriting it and deleting it are refused.
        const DWORD how[] = {OPEN_EXISTING, CREATE_ALWAYS};
        for (DWORD disposition : how) {
            HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, disposition,
                                   FILE_ATTRIBUTE_NORMAL, nullptr);
            DWORD error = GetLastError();
            if (h != INVALID_HANDLE_VALUE) {
                CloseHandle(h);
                return path + " is read-only but could be opened for writing";
            }
            if (error != ERROR_ACCESS_DENIED)
                return path + ": opening it for writing failed with " + std::to_string(error) +
                       ", not ERROR_ACCESS_DENIED";
        }
        BOOL deleted = DeleteFileA(path.c_str());
        DWORD error = GetLastError();
        if (deleted || error != ERROR_ACCESS_DENIED)
            return path + " is read-only but deleting it " +
                   (deleted ? std::string("succeeded") : "failed with " + std::to_string(error));
    }
    for (const std::string &folder : plan.full) {
        std::string probe = folder + "\\~fullprobe.tmp";
        HANDLE h = CreateFileA(probe.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h == INVALID_HANDLE_VALUE)
            return "no file can be created in " + folder + ": " + std::to_string(GetLastError());
        DWORD written = 0;
        BOOL ok = WriteFile(h, "x", 1, &written, nullptr);
        DWORD error = GetLastError();
        CloseHandle(h);
        DeleteFileA(probe.c_str());
        if (ok || error != ERROR_DISK_FULL)
            return folder + " is not on a full drive: writing one byte " +
                   (ok ? std::string("succeeded") : "failed with " + std::to_string(error));
    }
    return checkComDatabase();
}

PROCESS_INFORMATION red32 = {};

/* The services deleted before the run, whose handles stay open. */
SC_HANDLE deleteManager = nullptr;
std::vector<SC_HANDLE> deleted;

std::string deleteServices()
{
    if (plan.deleteServices.empty()) return "";
    deleteManager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (!deleteManager) return "cannot open the service manager: " + std::to_string(GetLastError());
    for (const std::string &name : plan.deleteServices) {
        SC_HANDLE svc = OpenServiceA(deleteManager, name.c_str(), DELETE | SERVICE_QUERY_STATUS);
        if (!svc) return "cannot open the service " + name + ": " + std::to_string(GetLastError());
        deleted.push_back(svc);
        if (!DeleteService(svc))
            return "cannot delete the service " + name + ": " + std::to_string(GetLastError());
    }
    return "";
}

/* Starts the services that run before the program; "" when each runs. */
std::string startServices()
{
    for (const std::string &name : plan.startFirst) {
        SC_HANDLE scm = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
        SC_HANDLE svc = scm ? OpenServiceA(scm, name.c_str(), SERVICE_START | SERVICE_QUERY_STATUS) : nullptr;
        if (svc) {
            StartServiceA(svc, 0, nullptr);
            waitWhileStarting(svc);
            CloseServiceHandle(svc);
        }
        std::string state = serviceState(scm, name);
        if (scm) CloseServiceHandle(scm);
        if (state != "running") return name + " did not start before the run: " + state;
    }
    return "";
}

/* Closes the deleted services' handles (after the export: the service
 * manager keeps them marked for deletion until then). */
void releaseDeleted()
{
    if (deleted.empty()) return;
    for (SC_HANDLE svc : deleted) CloseServiceHandle(svc);
    CloseServiceHandle(deleteManager);
}

/* "yes" when the process runs under WOW64, else "no". */
std::string wow64Of(HANDLE process)
{
    typedef BOOL(WINAPI * IsWow64Fn)(HANDLE, BOOL *);
    HMODULE kernel = GetModuleHandleA("kernel32.dll");
    IsWow64Fn query = kernel ? (IsWow64Fn)(void (*)(void))GetProcAddress(kernel, "IsWow64Process")
                             : nullptr;
    BOOL wow64 = FALSE;
    if (query && !query(process, &wow64)) return "unknown";
    return wow64 ? "yes" : "no";
}

bool startRed32()
{
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    std::vector<char> cmd(plan.red32.begin(), plan.red32.end());
    cmd.push_back(0);
    if (!CreateProcessA(nullptr, cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si,
                        &red32))
        return false;
    for (int i = 0; i < 2000; i++) {
        if (FindWindowA("red32", nullptr)) return true;
        Sleep(5);
    }
    return false;
}

std::string readDebugString(HANDLE proc, const OUTPUT_DEBUG_STRING_INFO &info)
{
    size_t n = info.nDebugStringLength;
    if (n == 0 || n > 65536 || info.fUnicode) return "";
    std::vector<char> buf(n + 1, 0);
    SIZE_T got = 0;
    if (!ReadProcessMemory(proc, info.lpDebugStringData, buf.data(), n, &got)) return "";
    buf[got < n ? got : n] = 0;
    return std::string(buf.data());
}

/* "running", "stopped", "absent" or the state's number, as sc query reads it;
 * "unknown (error N)" when the service manager does not tell.  Wine's
 * service manager, started on the first call after the program's run, may
 * not answer at once: a failed call is tried again for a few seconds. */
} // namespace

std::string serviceState(SC_HANDLE &scm, const std::string &name)
{
    SC_HANDLE svc = nullptr;
    DWORD error = 0;
    for (int attempt = 0; attempt < 50 && !svc; attempt++) {
        if (attempt) Sleep(100);
        if (!scm) scm = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
        if (!scm) {
            error = GetLastError();
            continue;
        }
        svc = OpenServiceA(scm, name.c_str(), SERVICE_QUERY_STATUS);
        error = svc ? 0 : GetLastError();
        if (error == ERROR_SERVICE_DOES_NOT_EXIST) return "absent";
    }
    if (!svc) return "unknown (error " + std::to_string(error) + ")";
    SERVICE_STATUS st = {};
    std::string out = "unknown";
    if (QueryServiceStatus(svc, &st)) {
        if (st.dwCurrentState == SERVICE_RUNNING) out = "running";
        else if (st.dwCurrentState == SERVICE_STOPPED) out = "stopped";
        else out = "state" + std::to_string(st.dwCurrentState);
    }
    CloseServiceHandle(svc);
    return out;
}

HKEY rootKey(const std::string &name)
{
    if (name == "HKEY_LOCAL_MACHINE" || name == "HKLM") return HKEY_LOCAL_MACHINE;
    if (name == "HKEY_DYN_DATA" || name == "HKDD") return HKEY_DYN_DATA;
    if (name == "HKEY_CURRENT_USER" || name == "HKCU") return HKEY_CURRENT_USER;
    return nullptr;
}

namespace {

std::string hexOf(const unsigned char *p, DWORD n)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (DWORD i = 0; i < n; i++) {
        out += digits[p[i] >> 4];
        out += digits[p[i] & 15];
    }
    return out;
}

/* Every value of the keys the scenario checks, as RegEnumValueA gives
 * them: the type and the bytes stored (a REG_SZ with its terminator). */
void writeValues()
{
    if (plan.valuesFile.empty()) return;
    FILE *f = fopen(plan.valuesFile.c_str(), "wb");
    if (!f) {
        emit("{\"ev\":\"error\",\"text\":" + json("cannot write " + plan.valuesFile) + "}");
        return;
    }
    for (const std::string &path : plan.valueKeys) {
        size_t slash = path.find('\\');
        HKEY root = rootKey(path.substr(0, slash));
        std::string sub = slash == std::string::npos ? "" : path.substr(slash + 1);
        HKEY k;
        /* Keys are named as the registry's 64-bit view names them, as
         * regedit exports them in a 64-bit prefix: a 32-bit program's
         * HKLM\SOFTWARE\X is HKLM\SOFTWARE\Wow6432Node\X there.  A
         * 32-bit prefix has one view only. */
        if (!root || RegOpenKeyExA(root, sub.c_str(), 0, KEY_READ | KEY_WOW64_64KEY, &k) != ERROR_SUCCESS) {
            fprintf(f, "{\"key\":%s,\"missing\":true}\n", json(path).c_str());
            continue;
        }
        std::string line = "{\"key\":" + json(path) + ",\"values\":[";
        std::vector<unsigned char> data(65536);
        for (DWORD i = 0;; i++) {
            char name[16384];
            DWORD nameLen = sizeof name, type = 0, size = (DWORD)data.size();
            if (RegEnumValueA(k, i, name, &nameLen, nullptr, &type, data.data(), &size) != ERROR_SUCCESS)
                break;
            line += std::string(i ? "," : "") + "{\"name\":" + json(std::string(name, nameLen)) +
                    ",\"type\":" + std::to_string(type) + ",\"data\":\"" + hexOf(data.data(), size) +
                    "\"}";
        }
        RegCloseKey(k);
        fprintf(f, "%s]}\n", line.c_str());
    }
    fclose(f);
}

void writeServices()
{
    if (plan.servicesFile.empty()) return;
    FILE *f = fopen(plan.servicesFile.c_str(), "wb");
    if (!f) return;
    SC_HANDLE scm = nullptr;
    for (const std::string &name : plan.services)
        fprintf(f, "%s %s\n", name.c_str(), serviceState(scm, name).c_str());
    if (scm) CloseServiceHandle(scm);
    fclose(f);
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 3) {
        fprintf(stderr, "usage: driver PLAN OUTCOME\n");
        return 2;
    }
    outcome = fopen(argv[2], "wb");
    if (!outcome) {
        fprintf(stderr, "driver: cannot write %s\n", argv[2]);
        return 2;
    }
    if (!readPlan(argv[1])) {
        fprintf(stderr, "driver: cannot read the plan %s\n", argv[1]);
        return 2;
    }

    if (const char *dir = getenv("REDIRECTOR_SHOTS")) {
        shotsDir = dir;
        SetEnvironmentVariableA("REDIRECTOR_SHOTS", nullptr);
    }

    WNDCLASSA wc = {};
    wc.lpfnWndProc = helpProc;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.lpszClassName = "MS_WINHELP";
    RegisterClassA(&wc);
    CreateWindowA("MS_WINHELP", "WinHelp", 0, 0, 0, 0, 0, nullptr, nullptr, wc.hInstance, nullptr);

    for (auto &d : plan.dosDevices)
        if (!DefineDosDeviceA(DDD_RAW_TARGET_PATH, d.first.c_str(), d.second.c_str())) {
            emit("{\"ev\":\"error\",\"text\":" +
                 json("cannot define " + d.first + ": " + std::to_string(GetLastError())) + "}");
            return 3;
        }

    std::string unlike = startServices();
    if (unlike.empty()) unlike = checkMachine();
    if (unlike.empty()) unlike = deleteServices();
    if (!unlike.empty()) {
        fprintf(stderr, "driver: %s\n", unlike.c_str());
        emit("{\"ev\":\"error\",\"text\":" + json("the machine is not as planned: " + unlike) + "}");
        releaseDeleted();
        return 3;
    }

    if (!plan.red32.empty() && !startRed32()) {
        fprintf(stderr, "driver: red32 did not come up\n");
        emit("{\"ev\":\"error\",\"text\":\"red32 did not come up\"}");
        return 3;
    }

    std::string cmdline = "install.exe";
    if (plan.hasArgs) cmdline += " " + plan.args;
    std::vector<char> cmd(cmdline.begin(), cmdline.end());
    cmd.push_back(0);
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    unsigned long long start = nowMs();
    stamp(plan.stamps, "install-start.txt", start);
    if (!CreateProcessA(plan.exe.c_str(), cmd.data(), nullptr, nullptr, FALSE,
                        DEBUG_ONLY_THIS_PROCESS, nullptr, plan.cwd.c_str(), &si, &pi)) {
        fprintf(stderr, "driver: cannot start %s (%lu)\n", plan.exe.c_str(), GetLastError());
        emit("{\"ev\":\"error\",\"text\":\"cannot start the program\"}");
        return 3;
    }
    childPid = pi.dwProcessId;
    if (!plan.wow64.empty() && wow64Of(pi.hProcess) != plan.wow64) {
        emit("{\"ev\":\"error\",\"text\":" +
             json("the machine is not as planned: the program's WOW64 is " + wow64Of(pi.hProcess) +
                  ", not " + plan.wow64) + "}");
        TerminateProcess(pi.hProcess, 3);
    }

    bool done = false, timedOut = false;
    DWORD exitCode = 0;
    while (!done) {
        DEBUG_EVENT de;
        if (WaitForDebugEvent(&de, 5)) {
            DWORD status = DBG_CONTINUE;
            switch (de.dwDebugEventCode) {
            case OUTPUT_DEBUG_STRING_EVENT:
                emit("{\"ev\":\"debug\",\"text\":" +
                     json(readDebugString(pi.hProcess, de.u.DebugString)) + "}");
                break;
            case EXCEPTION_DEBUG_EVENT:
                if (de.u.Exception.ExceptionRecord.ExceptionCode != EXCEPTION_BREAKPOINT)
                    status = DBG_EXCEPTION_NOT_HANDLED;
                break;
            case CREATE_PROCESS_DEBUG_EVENT:
                if (de.u.CreateProcessInfo.hFile) CloseHandle(de.u.CreateProcessInfo.hFile);
                break;
            case LOAD_DLL_DEBUG_EVENT:
                if (de.u.LoadDll.hFile) CloseHandle(de.u.LoadDll.hFile);
                break;
            case EXIT_PROCESS_DEBUG_EVENT:
                if (de.dwProcessId == pi.dwProcessId) {
                    exitCode = de.u.ExitProcess.dwExitCode;
                    done = true;
                }
                break;
            }
            ContinueDebugEvent(de.dwProcessId, de.dwThreadId, status);
        }
        pumpMessages();
        if (!done) trackWindows();
        if (!done) pollWindows();
        if (!done && nowMs() - start > plan.timeout) {
            timedOut = true;
            TerminateProcess(pi.hProcess, 259);
            emit("{\"ev\":\"timeout\"}");
            plan.timeout = 0xFFFFFFFF;
        }
    }
    unsigned long long end = nowMs();
    stamp(plan.stamps, "install-exit.txt", end);
    (void)timedOut;

    if (red32.hProcess) {
        std::string destroyed = plan.stamps + "\\red32-destroy.txt";
        if (GetFileAttributesA(destroyed.c_str()) != INVALID_FILE_ATTRIBUTES)
            emit("{\"ev\":\"posted\",\"class\":\"red32\",\"msg\":2}");
        if (WaitForSingleObject(red32.hProcess, 0) == WAIT_TIMEOUT) TerminateProcess(red32.hProcess, 0);
    }
    writeServices();
    writeValues();
    emitWindows();
    emit("{\"ev\":\"exit\",\"code\":" + std::to_string(exitCode) + ",\"ms\":" +
         std::to_string(end - start) + "}");
    fclose(outcome);
    int rc = 0;
    if (!plan.exportFile.empty() && !exportKeys(plan.exports, plan.exportFile)) {
        fprintf(stderr, "driver: cannot write %s\n", plan.exportFile.c_str());
        rc = 4;
    }
    if (!plan.ntStartFile.empty()) {
        FILE *f = fopen(plan.ntStartFile.c_str(), "wb");
        for (const std::string &name : plan.ntStart) {
            std::string line = name + " | " + startAsNT(name);
            if (f) fprintf(f, "%s\n", line.c_str());
        }
        if (!f || fclose(f) != 0) {
            fprintf(stderr, "driver: cannot write %s\n", plan.ntStartFile.c_str());
            rc = 4;
        }
    }
    releaseDeleted();
    return rc;
}
