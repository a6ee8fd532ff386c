/* dialog.cpp - message boxes, the destination-path dialog and WinHelp,
 * answered from the scripted list of the user's answers. */
#include "ui.h"

#include <cstring>
#include <deque>

namespace standin {
namespace detail {

namespace {
std::mutex answerMutex;
std::deque<std::vector<std::string>> answers;

const char *const dialogCaption = "Destination Path";
const int dialogTemplate = 4;
const int editId = 10, helpId = 9;
const WORD EN_CHANGE_CODE = 0x0300;

bool startsWith(const std::string &s, const char *prefix)
{
    return s.compare(0, strlen(prefix), prefix) == 0;
}

/* The button a box answer presses; 0 if the answer presses none. */
int boxResult(const std::string &action)
{
    if (action == "OK")
        return IDOK;
    if (action == "Cancel" || action == "Escape" || action == "Close")
        return IDCANCEL;
    if (action == "Yes")
        return IDYES;
    if (action == "No")
        return IDNO;
    if (action == "Abort")
        return IDABORT;
    if (action == "Retry")
        return IDRETRY;
    if (action == "Ignore")
        return IDIGNORE;
    return 0;
}

std::string ownerClass(HWND owner, bool *valid)
{
    *valid = true;
    if (!owner)
        return "none";
    std::lock_guard<std::recursive_mutex> g(machineLock());
    Window *w = findWindow(owner);
    if (!w) {
        *valid = false;
        return "";
    }
    return w->cls;
}

HWND dlgItem(HWND dlg, int id)
{
    std::lock_guard<std::recursive_mutex> g(machineLock());
    for (HWND c : childrenOf(dlg)) {
        Window *w = findWindow(c);
        if (w && w->id == id)
            return c;
    }
    return nullptr;
}

bool dialogEnded(HWND dlg, INT_PTR *result)
{
    std::lock_guard<std::recursive_mutex> g(machineLock());
    Window *w = findWindow(dlg);
    if (!w)
        return true;
    if (w->ended)
        *result = w->endResult;
    return w->ended;
}

std::string windowText(HWND h)
{
    std::lock_guard<std::recursive_mutex> g(machineLock());
    Window *w = findWindow(h);
    return w ? w->text : "";
}

/* Types text into the edit control the way a user replaces its text. */
void typeInto(HWND dlg, DLGPROC proc, const std::string &text)
{
    HWND edit = dlgItem(dlg, editId);
    if (!edit)
        return;
    {
        std::lock_guard<std::recursive_mutex> g(machineLock());
        Window *w = findWindow(edit);
        w->text = (w->limit && text.size() > w->limit) ? text.substr(0, w->limit) : text;
    }
    proc(dlg, WM_COMMAND, MAKEWPARAM(editId, EN_CHANGE_CODE), reinterpret_cast<LPARAM>(edit));
}

/* A modal box or dialog disables its owner while it is up, and enables it
 * again afterwards: the owner is told by a sent message.  False when the
 * owner's thread cannot take that message (see sendAcross): the box then
 * never appears. */
bool setOwnerEnabled(HWND owner, bool enable)
{
    if (!owner)
        return true;
    DWORD thread = windowThread(owner);
    if (!thread || thread == GetCurrentThreadId()) {
        EnableWindow(owner, enable ? TRUE : FALSE);
        return true;
    }
    {
        std::lock_guard<std::recursive_mutex> g(machineLock());
        Window *w = findWindow(owner);
        if (!w)
            return true;
        bool disabled = (w->style & WS_DISABLED) != 0;
        if (disabled == !enable)
            return true;
        if (enable)
            w->style &= ~(DWORD)WS_DISABLED;
        else
            w->style |= (DWORD)WS_DISABLED;
    }
    LRESULT r;
    return sendAcross(thread, owner, WM_ENABLE, enable ? TRUE : FALSE, 0, &r);
}

void press(HWND dlg, DLGPROC proc, int id)
{
    proc(dlg, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(dlgItem(dlg, id)));
}
} // namespace

bool nextAnswer(std::vector<std::string> *actions)
{
    std::lock_guard<std::mutex> g(answerMutex);
    if (answers.empty())
        return false;
    *actions = answers.front();
    answers.pop_front();
    return true;
}

std::string joinActions(const std::vector<std::string> &actions)
{
    std::string out;
    for (auto &a : actions)
        out += (out.empty() ? "" : "; ") + a;
    return out;
}

void resetAnswers()
{
    std::lock_guard<std::mutex> g(answerMutex);
    answers.clear();
}

} // namespace detail

void addAnswer(const std::vector<std::string> &actions)
{
    std::lock_guard<std::mutex> g(detail::answerMutex);
    detail::answers.push_back(actions);
}

void addAnswer(const std::string &action) { addAnswer(std::vector<std::string>{action}); }

} // namespace standin

using namespace standin::detail;

extern "C" {

int WINAPI MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type)
{
    DWORD code;
    if (faultHits("MessageBoxA", "", &code)) {
        SetLastError(code);
        return 0;
    }
    bool valid;
    std::string cls = ownerClass(owner, &valid);
    if (!valid) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    if (!setOwnerEnabled(owner, false)) {
        SetLastError(ERROR_TIMEOUT);
        return 0;
    }
    standin::Event e;
    e.ev = "box";
    e.owner = cls;
    e.caption = caption ? caption : "Error";
    e.text = text ? text : "";
    e.type = type;
    e.thread = GetCurrentThreadId();
    std::vector<std::string> actions;
    bool answered = nextAnswer(&actions);
    int result = 0;
    for (auto &a : actions)
        if (!result)
            result = boxResult(a);
    if (!answered || !result)
        result = (type & MB_TYPEMASK) == MB_OK ? IDOK : IDCANCEL;
    e.answer = joinActions(actions);
    e.result = result;
    record(e);
    if (!answered) {
        standin::Event u;
        u.ev = "unanswered";
        u.caption = e.caption;
        u.text = e.text;
        u.thread = e.thread;
        record(u);
    }
    setOwnerEnabled(owner, true);
    return result;
}

INT_PTR WINAPI DialogBoxParamA(HINSTANCE inst, LPCSTR templ, HWND owner, DLGPROC proc,
                               LPARAM param)
{
    (void)inst;
    DWORD code;
    if (faultHits("DialogBoxParamA", "", &code)) {
        SetLastError(code);
        return -1;
    }
    if (!IS_INTRESOURCE(templ) || (uintptr_t)templ != dialogTemplate) {
        SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
        return -1;
    }
    bool valid;
    ownerClass(owner, &valid);
    if (!valid) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    if (!proc) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return -1;
    }
    HWND dlg;
    {
        std::lock_guard<std::recursive_mutex> g(machineLock());
        Window d;
        d.cls = "#32770";
        d.text = dialogCaption;
        d.dlgProc = proc;
        d.parent = owner;
        d.thread = GetCurrentThreadId();
        d.style = WS_POPUP | WS_CAPTION | WS_SYSMENU;
        d.visible = true;
        d.rect = {0, 0, 338, 150};
        dlg = addWindow(d);
        struct Control {
            const char *cls;
            int id;
            const char *text;
        } controls[] = {{"Edit", editId, ""}, {"Button", IDOK, "OK"},
                        {"Button", IDCANCEL, "Cancel"}, {"Button", helpId, "&Help"}};
        for (auto &c : controls) {
            Window w;
            w.cls = c.cls;
            w.id = c.id;
            w.text = c.text;
            w.parent = dlg;
            w.thread = d.thread;
            w.style = WS_CHILD | WS_VISIBLE;
            w.visible = true;
            addWindow(w);
        }
    }
    setOwnerEnabled(owner, false);
    INT_PTR init = proc(dlg, WM_INITDIALOG, reinterpret_cast<WPARAM>(dlgItem(dlg, IDOK)), param);
    noteCall("DialogBoxParamA", dialogCaption,
             {{"template", (unsigned long long)(uintptr_t)templ}, {"init", (unsigned long long)init}});

    standin::Event e;
    e.ev = "dialog";
    e.caption = windowText(dlg);
    e.text = windowText(dlgItem(dlg, editId));
    e.thread = GetCurrentThreadId();
    std::vector<std::string> actions;
    bool answered = nextAnswer(&actions);
    e.answer = joinActions(actions);
    record(e);

    INT_PTR result = IDCANCEL;
    bool ended = dialogEnded(dlg, &result);
    while (!ended) {
        if (!answered) {
            standin::Event u;
            u.ev = "unanswered";
            u.caption = e.caption;
            u.text = windowText(dlgItem(dlg, editId));
            u.thread = e.thread;
            record(u);
            result = IDCANCEL;
            break;
        }
        for (size_t i = 0; i < actions.size() && !ended; i++) {
            const std::string &a = actions[i];
            if (startsWith(a, "Type "))
                typeInto(dlg, proc, a.substr(5));
            else if (a == "Type")
                typeInto(dlg, proc, "");
            else if (a == "OK")
                press(dlg, proc, IDOK);
            else if (a == "Cancel" || a == "Escape" || a == "Close")
                press(dlg, proc, IDCANCEL);
            else if (a == "Help")
                press(dlg, proc, helpId);
            ended = dialogEnded(dlg, &result);
        }
        if (!ended)
            answered = nextAnswer(&actions);
    }
    if (IsWindow(dlg))
        DestroyWindow(dlg);
    setOwnerEnabled(owner, true);
    return result;
}

BOOL WINAPI EndDialog(HWND dlg, INT_PTR result)
{
    std::lock_guard<std::recursive_mutex> g(machineLock());
    Window *w = findWindow(dlg);
    if (!w || !w->dlgProc) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    w->ended = true;
    w->endResult = result;
    w->visible = false;
    return TRUE;
}

HWND WINAPI GetDlgItem(HWND dlg, int id)
{
    if (!IsWindow(dlg)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return nullptr;
    }
    HWND h = dlgItem(dlg, id);
    if (!h)
        SetLastError(ERROR_CONTROL_ID_NOT_FOUND);
    return h;
}

BOOL WINAPI SetDlgItemTextA(HWND dlg, int id, LPCSTR text)
{
    HWND h = GetDlgItem(dlg, id);
    if (!h)
        return FALSE;
    return SendMessageA(h, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text)) != 0;
}

UINT WINAPI GetDlgItemTextA(HWND dlg, int id, LPSTR buffer, int size)
{
    noteCall("GetDlgItemTextA", std::to_string(id), {{"size", (unsigned long long)(long long)size}});
    if (buffer && size > 0)
        buffer[0] = 0;
    HWND h = GetDlgItem(dlg, id);
    if (!h || !buffer || size <= 0)
        return 0;
    return (UINT)SendMessageA(h, WM_GETTEXT, (WPARAM)size, reinterpret_cast<LPARAM>(buffer));
}

LRESULT WINAPI SendDlgItemMessageA(HWND dlg, int id, UINT msg, WPARAM wParam, LPARAM lParam)
{
    HWND h = GetDlgItem(dlg, id);
    return h ? SendMessageA(h, msg, wParam, lParam) : 0;
}

BOOL WINAPI WinHelpA(HWND owner, LPCSTR file, UINT command, ULONG_PTR data)
{
    (void)owner;
    noteCall("WinHelpA", file ? file : "", {{"command", command}, {"data", (unsigned long long)data}});
    DWORD code;
    if (faultHits("WinHelpA", file ? file : "", &code)) {
        SetLastError(code);
        return FALSE;
    }
    standin::Event e;
    e.ev = "help";
    e.text = file ? file : "";
    e.type = command;
    e.data = (unsigned long)data;
    e.thread = GetCurrentThreadId();
    record(e);
    return TRUE;
}

} // extern "C"
