/* windows_ui.cpp - window classes, windows, message queues, modules and
 * stock objects. */
#include "ui.h"

#include <cstring>
#include <deque>

namespace standin {
namespace detail {

namespace {

struct WindowClass {
    std::string name;
    WNDPROC proc;
    ATOM atom;
    UINT style;
    HICON icon;
    HCURSOR cursor;
    HBRUSH brush;
};

std::vector<WindowClass> classes;
ATOM nextAtom = 0xC000;
std::map<uintptr_t, Window> windowTable;
uintptr_t nextWindow = 0x10020;
LONG_PTR creationCounter = 0;

/* A message sent from another thread, waiting to be handled. */
struct Sent {
    HWND hwnd;
    UINT msg;
    WPARAM wParam;
    LPARAM lParam;
    LRESULT result = 0;
    bool done = false;
};

struct Queue {
    std::deque<MSG> posted;
    std::deque<std::shared_ptr<Sent>> sent;
    bool quit = false;
    int quitCode = 0;
};
std::map<DWORD, Queue> queues; /* under the kernel lock */

const HWND desktopWindow = (HWND)0x10010;
const int screenWidth = 1024, screenHeight = 768;

WindowClass *findClass(LPCSTR name)
{
    for (auto &c : classes) {
        if (IS_INTRESOURCE(name) ? c.atom == (ATOM)(uintptr_t)name : iequals(c.name, name))
            return &c;
    }
    return nullptr;
}

bool builtinClass(const std::string &name)
{
    return iequals(name, "Edit") || iequals(name, "Button") || iequals(name, "Static") ||
           iequals(name, "#32770");
}

/* What a control or a window without procedure does with a message. */
LRESULT defaultHandling(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    std::lock_guard<std::recursive_mutex> g(machineLock());
    Window *w = findWindow(hwnd);
    if (!w)
        return 0;
    switch (msg) {
    case WM_SETTEXT:
        w->text = lParam ? reinterpret_cast<const char *>(lParam) : "";
        return TRUE;
    case WM_GETTEXT:
        return (LRESULT)copyOut(w->text, reinterpret_cast<char *>(lParam), (size_t)wParam);
    case WM_GETTEXTLENGTH:
        return (LRESULT)w->text.size();
    case EM_LIMITTEXT:
        w->limit = (size_t)wParam;
        return 0;
    case EM_GETLIMITTEXT:
        return (LRESULT)(w->limit ? w->limit : 30000);
    case WM_NCCREATE:
        return TRUE;
    default:
        return 0;
    }
}

bool matches(const MSG &m, HWND hwnd, UINT first, UINT last)
{
    if (hwnd && m.hwnd != hwnd)
        return false;
    if (first == 0 && last == 0)
        return true;
    return m.message >= first && m.message <= last;
}

/* Takes (or looks at) the next message of the calling thread. */
bool takeMessage(LPMSG msg, HWND hwnd, UINT first, UINT last, bool remove)
{
    Queue &q = queues[GetCurrentThreadId()];
    for (auto it = q.posted.begin(); it != q.posted.end(); ++it) {
        if (matches(*it, hwnd, first, last)) {
            *msg = *it;
            if (remove)
                q.posted.erase(it);
            return true;
        }
    }
    if (q.quit && ((first == 0 && last == 0) || (WM_QUIT >= first && WM_QUIT <= last))) {
        memset(msg, 0, sizeof *msg);
        msg->message = WM_QUIT;
        msg->wParam = (WPARAM)q.quitCode;
        if (remove)
            q.quit = false;
        return true;
    }
    return false;
}

/* The stand-in's icon, cursor and stock object handles carry their
 * resource id or object number. */
const uintptr_t iconBase = 0x20000, cursorBase = 0x40000, stockBase = 0x30000;
const uintptr_t namedResource = 0x1000;

uintptr_t resourceNumber(LPCSTR name)
{
    return IS_INTRESOURCE(name) ? (uintptr_t)name % 0x8000 : namedResource;
}

/* The id a handle was loaded by, or -1 for a handle of another kind. */
long long handleNumber(const void *h, uintptr_t base)
{
    uintptr_t v = (uintptr_t)h;
    return v >= base && v < base + 0x8000 ? (long long)(v - base) : -1;
}

std::string brushName(HBRUSH b)
{
    if (!b)
        return "none";
    long long n = handleNumber(b, stockBase);
    if (n < 0 || n > 19)
        return "other";
    return n == WHITE_BRUSH ? "white" : "stock " + std::to_string(n);
}

/* Calls a window's procedure (or its dialog procedure, or the default
 * handling) with the machine unlocked. */
LRESULT callWindow(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    WNDPROC proc = nullptr;
    DLGPROC dlgProc = nullptr;
    {
        std::lock_guard<std::recursive_mutex> g(machineLock());
        Window *w = findWindow(hwnd);
        if (!w) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return 0;
        }
        proc = w->proc;
        dlgProc = w->dlgProc;
    }
    if (proc)
        return proc(hwnd, msg, wParam, lParam);
    if (dlgProc) {
        INT_PTR handled = dlgProc(hwnd, msg, wParam, lParam);
        if (handled)
            return handled;
    }
    return defaultHandling(hwnd, msg, wParam, lParam);
}

/* Handles the next message sent to this thread by another one; false if
 * none waits.  The kernel lock is held on entry and on return. */
bool handleOneSent(std::unique_lock<std::mutex> &lock)
{
    Queue &q = queues[GetCurrentThreadId()];
    if (q.sent.empty())
        return false;
    std::shared_ptr<Sent> s = q.sent.front();
    q.sent.pop_front();
    lock.unlock();
    LRESULT r = callWindow(s->hwnd, s->msg, s->wParam, s->lParam);
    lock.lock();
    s->result = r;
    s->done = true;
    kernelNotify();
    return true;
}

void handleSent(std::unique_lock<std::mutex> &lock)
{
    while (handleOneSent(lock)) {
    }
}

void stampDestroy(const std::string &cls)
{
    std::string now = std::to_string(nowMs());
    putFile("C:\\testlog\\" + cls + "-destroy.txt", now);
}

} // namespace

Window *findWindow(HWND h)
{
    auto it = windowTable.find((uintptr_t)h);
    return it == windowTable.end() ? nullptr : &it->second;
}

HWND addWindow(const Window &w)
{
    uintptr_t h = nextWindow;
    nextWindow += 4;
    Window copy = w;
    copy.handle = (HWND)h;
    copy.created = ++creationCounter;
    windowTable[h] = copy;
    return (HWND)h;
}

void removeWindow(HWND h) { windowTable.erase((uintptr_t)h); }

std::vector<HWND> childrenOf(HWND h)
{
    std::vector<HWND> out;
    for (auto &kv : windowTable)
        if (kv.second.parent == h)
            out.push_back(kv.second.handle);
    return out;
}

bool queueHasInput(DWORD thread)
{
    auto it = queues.find(thread);
    return it != queues.end() && (!it->second.posted.empty() || it->second.quit);
}

bool queueHasSent(DWORD thread)
{
    auto it = queues.find(thread);
    return it != queues.end() && !it->second.sent.empty();
}

DWORD windowThread(HWND h)
{
    std::lock_guard<std::recursive_mutex> g(machineLock());
    Window *w = findWindow(h);
    return w && !w->foreign ? w->thread : 0;
}

bool sendAcross(DWORD thread, HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam,
                LRESULT *result)
{
    DWORD me = GetCurrentThreadId();
    auto s = std::make_shared<Sent>();
    s->hwnd = hwnd;
    s->msg = msg;
    s->wParam = wParam;
    s->lParam = lParam;
    std::unique_lock<std::mutex> lock(kernelMutex());
    queues[thread].sent.push_back(s);
    kernelNotify();
    while (!s->done) {
        /* Meanwhile this thread handles what is sent to it, as Windows does. */
        handleSent(lock);
        if (s->done)
            break;
        if (waitsPlainlyForThread(thread, me)) {
            auto &q = queues[thread].sent;
            for (auto it = q.begin(); it != q.end(); ++it)
                if (*it == s) {
                    q.erase(it);
                    break;
                }
            lock.unlock();
            standin::Event e;
            e.ev = "error";
            e.text = "deadlock: thread " + std::to_string(me) + " sends message " +
                     std::to_string(msg) + " to a window of thread " + std::to_string(thread) +
                     ", which waits for thread " + std::to_string(me) +
                     " to end without handling sent messages";
            e.thread = me;
            record(e);
            return false;
        }
        kernelWait(lock, INFINITE, 0);
    }
    *result = s->result;
    return true;
}

void resetQueues() { queues.clear(); }

void resetWindows()
{
    std::lock_guard<std::recursive_mutex> g(machineLock());
    classes.clear();
    nextAtom = 0xC000;
    windowTable.clear();
    nextWindow = 0x10020;
    creationCounter = 0;
}

} // namespace detail

std::string windowsJson()
{
    std::lock_guard<std::recursive_mutex> g(detail::machineLock());
    std::string out;
    for (auto &kv : detail::windowTable) {
        const detail::Window &w = kv.second;
        if (w.foreign || w.parent || w.dlgProc || w.destroying || !w.proc)
            continue;
        const detail::WindowClass *c = detail::findClass(w.cls.c_str());
        out += "{\"ev\":\"window\",\"class\":" + detail::jsonString(w.cls) +
               ",\"title\":" + detail::jsonString(w.text) +
               ",\"style\":" + std::to_string(w.style) +
               ",\"exstyle\":" + std::to_string(w.exStyle) +
               ",\"x\":" + std::to_string(w.rect.left) + ",\"y\":" + std::to_string(w.rect.top) +
               ",\"width\":" + std::to_string(w.rect.right - w.rect.left) +
               ",\"height\":" + std::to_string(w.rect.bottom - w.rect.top) +
               ",\"shown\":" + (w.everShown ? "true" : "false");
        if (c)
            out += ",\"classstyle\":" + std::to_string(c->style) +
                   ",\"icon\":" + std::to_string(c->icon ? detail::handleNumber(c->icon, detail::iconBase) : 0) +
                   ",\"cursor\":" +
                   std::to_string(c->cursor ? detail::handleNumber(c->cursor, detail::cursorBase) : 0) +
                   ",\"brush\":" + detail::jsonString(detail::brushName(c->brush));
        out += "}\n";
    }
    return out;
}

void addForeignWindow(const std::string &cls, const std::string &title)
{
    std::lock_guard<std::recursive_mutex> g(detail::machineLock());
    detail::Window w;
    w.cls = cls;
    w.text = title;
    w.foreign = true;
    w.visible = false;
    w.rect = {0, 0, 200, 100};
    detail::addWindow(w);
}

} // namespace standin

using namespace standin::detail;

extern "C" {

ATOM WINAPI RegisterClassA(const WNDCLASSA *wc)
{
    if (wc) {
        std::vector<std::pair<const char *, unsigned long long>> values = {
            {"style", wc->style},
            {"icon", wc->hIcon ? (unsigned long long)handleNumber(wc->hIcon, iconBase) : 0},
            {"cursor", wc->hCursor ? (unsigned long long)handleNumber(wc->hCursor, cursorBase) : 0},
            {"clsextra", (unsigned long long)wc->cbClsExtra},
            {"wndextra", (unsigned long long)wc->cbWndExtra}};
        long long stock = handleNumber(wc->hbrBackground, stockBase);
        if (wc->hbrBackground && stock >= 0)
            values.emplace_back("brush", (unsigned long long)stock);
        noteCall("RegisterClassA",
                 wc->lpszClassName && !IS_INTRESOURCE(wc->lpszClassName) ? wc->lpszClassName : "",
                 values);
    }
    DWORD code;
    if (faultHits("RegisterClassA", "", &code)) {
        SetLastError(code);
        return 0;
    }
    if (!wc || !wc->lpszClassName || !wc->lpfnWndProc) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    std::lock_guard<std::recursive_mutex> g(machineLock());
    if (IS_INTRESOURCE(wc->lpszClassName) || findClass(wc->lpszClassName) ||
        builtinClass(wc->lpszClassName)) {
        SetLastError(ERROR_CLASS_ALREADY_EXISTS);
        return 0;
    }
    ATOM atom = nextAtom++;
    classes.push_back(WindowClass{wc->lpszClassName, wc->lpfnWndProc, atom, wc->style, wc->hIcon,
                                  wc->hCursor, wc->hbrBackground});
    return atom;
}

BOOL WINAPI UnregisterClassA(LPCSTR name, HINSTANCE inst)
{
    (void)inst;
    std::lock_guard<std::recursive_mutex> g(machineLock());
    for (size_t i = 0; i < classes.size(); i++)
        if (IS_INTRESOURCE(name) ? classes[i].atom == (ATOM)(uintptr_t)name
                                 : iequals(classes[i].name, name)) {
            classes.erase(classes.begin() + (long)i);
            return TRUE;
        }
    SetLastError(ERROR_CLASS_DOES_NOT_EXIST);
    return FALSE;
}

HWND WINAPI CreateWindowExA(DWORD exStyle, LPCSTR cls, LPCSTR title, DWORD style, int x, int y,
                            int width, int height, HWND parent, HMENU menu, HINSTANCE inst,
                            LPVOID param)
{
    noteCall("CreateWindowExA", cls && !IS_INTRESOURCE(cls) ? cls : "",
             {{"exstyle", exStyle},
              {"style", style},
              {"x", (unsigned long long)(long long)x},
              {"y", (unsigned long long)(long long)y},
              {"width", (unsigned long long)(long long)width},
              {"height", (unsigned long long)(long long)height},
              {"parent", parent ? 1u : 0u}});
    DWORD code;
    if (faultHits("CreateWindowExA", "", &code)) {
        SetLastError(code);
        return nullptr;
    }
    Window w;
    {
        std::lock_guard<std::recursive_mutex> g(machineLock());
        if (!cls) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return nullptr;
        }
        WindowClass *c = findClass(cls);
        if (!c && (IS_INTRESOURCE(cls) || !builtinClass(cls))) {
            SetLastError(ERROR_CANNOT_FIND_WND_CLASS);
            return nullptr;
        }
        if (parent && parent != desktopWindow && !findWindow(parent)) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return nullptr;
        }
        w.cls = c ? c->name : cls;
        w.proc = c ? c->proc : nullptr;
        w.text = title ? title : "";
        w.parent = parent == desktopWindow ? nullptr : parent;
        w.id = (style & WS_CHILD) ? (int)(uintptr_t)menu : 0;
        w.thread = GetCurrentThreadId();
        /* The styles a window reports, as Windows corrects them: every
         * window that is not a child clips its siblings, an overlapped
         * one has a caption; a frame gives the raised edge.  A visible
         * window is shown once its creation is through. */
        w.style = style & ~(DWORD)WS_VISIBLE;
        if ((w.style & (WS_CHILD | WS_POPUP)) != WS_CHILD) {
            w.style |= WS_CLIPSIBLINGS;
            if (!(w.style & WS_POPUP))
                w.style |= WS_CAPTION;
        }
        w.exStyle = exStyle;
        if (exStyle & WS_EX_DLGMODALFRAME)
            w.exStyle |= WS_EX_WINDOWEDGE;
        else if (w.style & (WS_DLGFRAME | WS_THICKFRAME))
            w.exStyle |= WS_EX_WINDOWEDGE;
        else
            w.exStyle &= ~(DWORD)WS_EX_WINDOWEDGE;
        w.visible = false;
        int left = x == CW_USEDEFAULT ? 0 : x, top = y == CW_USEDEFAULT ? 0 : y;
        int cx = width == CW_USEDEFAULT ? 640 : width, cy = height == CW_USEDEFAULT ? 480 : height;
        w.rect = {left, top, left + cx, top + cy};
    }
    HWND h;
    {
        std::lock_guard<std::recursive_mutex> g(machineLock());
        h = addWindow(w);
    }
    if (w.proc) {
        CREATESTRUCTA cs = {param, inst,  menu, parent, height, width, y, x, (LONG)style, title,
                            cls,   exStyle};
        if (w.proc(h, WM_CREATE, 0, reinterpret_cast<LPARAM>(&cs)) == -1) {
            DestroyWindow(h);
            return nullptr;
        }
    }
    if (style & WS_VISIBLE) {
        std::lock_guard<std::recursive_mutex> g(machineLock());
        if (Window *made = findWindow(h)) {
            made->style |= WS_VISIBLE;
            made->visible = made->everShown = true;
        }
    }
    return h;
}

LRESULT WINAPI DefWindowProcA(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    if (msg == WM_CLOSE) {
        DestroyWindow(hwnd);
        return 0;
    }
    return defaultHandling(hwnd, msg, wParam, lParam);
}

BOOL WINAPI DestroyWindow(HWND hwnd)
{
    DWORD code;
    if (faultHits("DestroyWindow", "", &code)) {
        SetLastError(code);
        return FALSE;
    }
    WNDPROC proc = nullptr;
    DLGPROC dlgProc = nullptr;
    std::vector<HWND> kids;
    {
        std::lock_guard<std::recursive_mutex> g(machineLock());
        Window *w = findWindow(hwnd);
        if (!w || w->foreign) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return FALSE;
        }
        if (w->destroying)
            return TRUE;
        w->destroying = true;
        proc = w->proc;
        dlgProc = w->dlgProc;
        for (auto &kv : windowTable)
            if (kv.second.parent == hwnd)
                kids.push_back(kv.second.handle);
    }
    if (proc)
        proc(hwnd, WM_DESTROY, 0, 0);
    else if (dlgProc)
        dlgProc(hwnd, WM_DESTROY, 0, 0);
    for (HWND k : kids)
        DestroyWindow(k);
    std::lock_guard<std::recursive_mutex> g(machineLock());
    removeWindow(hwnd);
    return TRUE;
}

BOOL WINAPI ShowWindow(HWND hwnd, int show)
{
    noteCall("ShowWindow", "", {{"show", (unsigned long long)show}});
    std::lock_guard<std::recursive_mutex> g(machineLock());
    Window *w = findWindow(hwnd);
    if (!w) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    BOOL was = w->visible;
    w->visible = show != SW_HIDE;
    if (w->visible) {
        w->everShown = true;
        w->style |= WS_VISIBLE;
    } else {
        w->style &= ~(DWORD)WS_VISIBLE;
    }
    return was;
}

BOOL WINAPI UpdateWindow(HWND hwnd)
{
    noteCall("UpdateWindow", "", {});
    std::lock_guard<std::recursive_mutex> g(machineLock());
    if (!findWindow(hwnd)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    return TRUE;
}

BOOL WINAPI IsWindow(HWND hwnd)
{
    std::lock_guard<std::recursive_mutex> g(machineLock());
    return hwnd == desktopWindow || findWindow(hwnd) != nullptr;
}

HWND WINAPI GetParent(HWND hwnd)
{
    std::lock_guard<std::recursive_mutex> g(machineLock());
    Window *w = findWindow(hwnd);
    if (!w) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return nullptr;
    }
    return w->parent;
}

HWND WINAPI GetDesktopWindow(void) { return desktopWindow; }

BOOL WINAPI EnableWindow(HWND hwnd, BOOL enable)
{
    BOOL wasDisabled;
    {
        std::lock_guard<std::recursive_mutex> g(machineLock());
        Window *w = findWindow(hwnd);
        if (!w)
            return FALSE;
        wasDisabled = (w->style & WS_DISABLED) != 0;
        if (enable)
            w->style &= ~(DWORD)WS_DISABLED;
        else
            w->style |= (DWORD)WS_DISABLED;
    }
    /* The window is told by a sent message, which a window of another
     * thread gets only when that thread handles it. */
    if (wasDisabled == !enable)
        return wasDisabled;
    SendMessageA(hwnd, WM_ENABLE, (WPARAM)(enable ? TRUE : FALSE), 0);
    return wasDisabled;
}

HWND WINAPI SetFocus(HWND hwnd)
{
    (void)hwnd;
    return nullptr;
}

BOOL WINAPI SetWindowTextA(HWND hwnd, LPCSTR text)
{
    if (!IsWindow(hwnd)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    return SendMessageA(hwnd, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text)) != 0;
}

int WINAPI GetWindowTextA(HWND hwnd, LPSTR buffer, int size)
{
    if (size <= 0 || !buffer)
        return 0;
    buffer[0] = 0;
    if (!IsWindow(hwnd)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    return (int)SendMessageA(hwnd, WM_GETTEXT, (WPARAM)size, reinterpret_cast<LPARAM>(buffer));
}

int WINAPI GetWindowTextLengthA(HWND hwnd)
{
    return (int)SendMessageA(hwnd, WM_GETTEXTLENGTH, 0, 0);
}

HWND WINAPI FindWindowA(LPCSTR cls, LPCSTR title)
{
    DWORD code;
    if (faultHits("FindWindowA", cls && !IS_INTRESOURCE(cls) ? cls : "", &code)) {
        SetLastError(code);
        return nullptr;
    }
    std::lock_guard<std::recursive_mutex> g(machineLock());
    const Window *best = nullptr;
    for (auto &kv : windowTable) {
        const Window &w = kv.second;
        if (w.parent || w.destroying)
            continue;
        if (cls) {
            if (IS_INTRESOURCE(cls)) {
                WindowClass *c = findClass(cls);
                if (!c || !iequals(c->name, w.cls))
                    continue;
            } else if (!iequals(w.cls, cls)) {
                continue;
            }
        }
        /* The window name too is compared without regard to case, as the
         * class name is (the record of real Windows: Wine's user32 win.c
         * W17:1972 compares both so; its tests do not vary the case). */
        if (title && !iequals(w.text, title))
            continue;
        if (!best || w.created > best->created) /* the newest is on top */
            best = &w;
    }
    return best ? best->handle : nullptr;
}

int WINAPI GetClassNameA(HWND hwnd, LPSTR buffer, int size)
{
    std::lock_guard<std::recursive_mutex> g(machineLock());
    Window *w = findWindow(hwnd);
    if (!w) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    if (size <= 0)
        return 0;
    return (int)copyOut(w->cls, buffer, (size_t)size);
}

BOOL WINAPI SetWindowPos(HWND hwnd, HWND after, int x, int y, int cx, int cy, UINT flags)
{
    (void)after;
    DWORD code;
    if (faultHits("SetWindowPos", "", &code)) {
        SetLastError(code);
        return FALSE;
    }
    std::lock_guard<std::recursive_mutex> g(machineLock());
    Window *w = findWindow(hwnd);
    if (!w) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    LONG width = w->rect.right - w->rect.left, height = w->rect.bottom - w->rect.top;
    if (!(flags & SWP_NOMOVE)) {
        w->rect.left = x;
        w->rect.top = y;
    }
    if (!(flags & SWP_NOSIZE)) {
        width = cx;
        height = cy;
    }
    w->rect.right = w->rect.left + width;
    w->rect.bottom = w->rect.top + height;
    if (flags & SWP_SHOWWINDOW)
        w->visible = w->everShown = true;
    if (flags & SWP_HIDEWINDOW)
        w->visible = false;
    return TRUE;
}

BOOL WINAPI GetWindowRect(HWND hwnd, LPRECT rect)
{
    std::lock_guard<std::recursive_mutex> g(machineLock());
    if (!rect) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (hwnd == desktopWindow) {
        *rect = {0, 0, screenWidth, screenHeight};
        return TRUE;
    }
    Window *w = findWindow(hwnd);
    if (!w) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    *rect = w->rect;
    return TRUE;
}

BOOL WINAPI GetClientRect(HWND hwnd, LPRECT rect)
{
    RECT r;
    if (!GetWindowRect(hwnd, &r))
        return FALSE;
    *rect = {0, 0, r.right - r.left, r.bottom - r.top};
    return TRUE;
}

int WINAPI GetSystemMetrics(int index)
{
    switch (index) {
    case SM_CXSCREEN: return screenWidth;
    case SM_CYSCREEN: return screenHeight;
    default: return 0;
    }
}

/* ---- messages ---- */

BOOL WINAPI GetMessageA(LPMSG msg, HWND hwnd, UINT first, UINT last)
{
    DWORD code;
    if (faultHits("GetMessageA", "", &code)) {
        SetLastError(code);
        return -1;
    }
    if (!msg || (hwnd && !IsWindow(hwnd))) {
        SetLastError(msg ? ERROR_INVALID_WINDOW_HANDLE : ERROR_INVALID_PARAMETER);
        return -1;
    }
    std::unique_lock<std::mutex> lock(kernelMutex());
    for (;;) {
        handleSent(lock);
        if (takeMessage(msg, hwnd, first, last, true))
            break;
        kernelWait(lock, INFINITE, 0);
    }
    return msg->message != WM_QUIT;
}

BOOL WINAPI PeekMessageA(LPMSG msg, HWND hwnd, UINT first, UINT last, UINT remove)
{
    noteCall("PeekMessageA", "", {{"remove", remove}});
    DWORD code;
    if (faultHits("PeekMessageA", "", &code)) {
        SetLastError(code);
        return FALSE;
    }
    if (!msg)
        return FALSE;
    std::unique_lock<std::mutex> lock(kernelMutex());
    handleSent(lock);
    return takeMessage(msg, hwnd, first, last, (remove & PM_REMOVE) != 0);
}

LRESULT WINAPI DispatchMessageA(const MSG *msg)
{
    if (!msg || !msg->hwnd)
        return 0;
    return callWindow(msg->hwnd, msg->message, msg->wParam, msg->lParam);
}

BOOL WINAPI TranslateMessage(const MSG *msg)
{
    (void)msg;
    return FALSE; /* no keyboard on this machine */
}

void WINAPI PostQuitMessage(int code)
{
    std::lock_guard<std::mutex> lock(kernelMutex());
    Queue &q = queues[GetCurrentThreadId()];
    q.quit = true;
    q.quitCode = code;
    kernelNotify();
}

namespace {

/* Puts a message on a thread's posted queue and wakes its waiters. */
void enqueue(DWORD thread, HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    std::lock_guard<std::mutex> lock(kernelMutex());
    MSG m = {};
    m.hwnd = hwnd;
    m.message = msg;
    m.wParam = wParam;
    m.lParam = lParam;
    m.time = GetTickCount();
    queues[thread].posted.push_back(m);
    kernelNotify();
}

} // namespace

BOOL WINAPI PostThreadMessageA(DWORD thread, UINT msg, WPARAM wParam, LPARAM lParam)
{
    enqueue(thread, nullptr, msg, wParam, lParam);
    return TRUE;
}

BOOL WINAPI PostMessageA(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    {
        std::lock_guard<std::recursive_mutex> g(machineLock());
        Window *w = findWindow(hwnd);
        noteCall("PostMessageA", w ? w->cls : "",
                 {{"msg", msg}, {"wparam", (unsigned long long)wParam},
                  {"lparam", (unsigned long long)lParam}});
    }
    DWORD code;
    if (faultHits("PostMessageA", "", &code)) {
        SetLastError(code);
        return FALSE;
    }
    if (!hwnd)
        return PostThreadMessageA(GetCurrentThreadId(), msg, wParam, lParam);
    DWORD thread;
    {
        std::lock_guard<std::recursive_mutex> g(machineLock());
        Window *w = findWindow(hwnd);
        if (!w) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return FALSE;
        }
        if (w->foreign) {
            standin::Event e;
            e.ev = "posted";
            e.text = w->cls;
            e.type = msg;
            e.thread = GetCurrentThreadId();
            record(e);
            if (msg == WM_DESTROY || msg == WM_CLOSE || msg == WM_QUIT) {
                /* The other program ends and its window goes with it. */
                std::string cls = w->cls;
                removeWindow(hwnd);
                if (msg == WM_DESTROY)
                    stampDestroy(cls);
            }
            return TRUE;
        }
        thread = w->thread;
    }
    enqueue(thread, hwnd, msg, wParam, lParam);
    return TRUE;
}


LRESULT WINAPI SendMessageA(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    DWORD thread;
    {
        std::lock_guard<std::recursive_mutex> g(machineLock());
        Window *w = findWindow(hwnd);
        if (!w) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return 0;
        }
        if (w->foreign)
            return msg == WM_GETTEXT || msg == WM_GETTEXTLENGTH
                       ? defaultHandling(hwnd, msg, wParam, lParam)
                       : 0;
        thread = w->thread;
    }
    if (thread && thread != GetCurrentThreadId()) {
        LRESULT result = 0;
        return sendAcross(thread, hwnd, msg, wParam, lParam, &result) ? result : 0;
    }
    return callWindow(hwnd, msg, wParam, lParam);
}

/* ---- resources (the modules are in modules.cpp) ---- */

HICON WINAPI LoadIconA(HINSTANCE inst, LPCSTR name)
{
    (void)inst;
    DWORD code;
    if (faultHits("LoadIconA", "", &code)) {
        SetLastError(code);
        return nullptr;
    }
    return (HICON)(iconBase + resourceNumber(name));
}

HCURSOR WINAPI LoadCursorA(HINSTANCE inst, LPCSTR name)
{
    (void)inst;
    DWORD code;
    if (faultHits("LoadCursorA", "", &code)) {
        SetLastError(code);
        return nullptr;
    }
    return (HCURSOR)(cursorBase + resourceNumber(name));
}

HGDIOBJ WINAPI GetStockObject(int object)
{
    DWORD code;
    if (faultHits("GetStockObject", "", &code)) {
        SetLastError(code);
        return nullptr;
    }
    if (object < 0 || object > 19 || object == 9)
        return nullptr;
    return (HGDIOBJ)(stockBase + (uintptr_t)object);
}

} // extern "C"
