/* ui.h - windows and their message queues, shared by windows_ui.cpp and
 * dialog.cpp. */
#ifndef STANDIN_UI_H
#define STANDIN_UI_H

#include "kernel.h"

namespace standin {
namespace detail {

struct Window {
    HWND handle = nullptr;
    std::string cls;
    std::string text;
    WNDPROC proc = nullptr;   /* class procedure */
    DLGPROC dlgProc = nullptr; /* dialog procedure (class "#32770") */
    HWND parent = nullptr;
    int id = 0;               /* control id */
    DWORD thread = 0;
    DWORD style = 0;          /* as the window reports it */
    DWORD exStyle = 0;
    RECT rect = {0, 0, 0, 0};
    bool visible = false;
    bool everShown = false;   /* visible at some time */
    bool foreign = false;     /* another program's window */
    bool destroying = false;
    size_t limit = 0;         /* edit controls: EM_LIMITTEXT, 0 = none */
    bool ended = false;       /* dialogs: EndDialog called */
    INT_PTR endResult = 0;
    LONG_PTR created = 0;     /* creation order */
};

/* All under machineLock(); callers copy what they need before calling a
 * window's procedure. */
Window *findWindow(HWND h);
HWND addWindow(const Window &w);
void removeWindow(HWND h);
std::vector<HWND> childrenOf(HWND h);
/* The thread a window belongs to; 0 for another program's window or none. */
DWORD windowThread(HWND h);
/* Sends a message to a window of another thread: the call waits until that
 * thread handles it (inside GetMessageA, PeekMessageA, a message wait that
 * asks for sent messages, or its own SendMessageA).  False, with an error
 * event recorded, when that thread waits without a time limit for the
 * calling thread to end and handles no sent message: the two would wait
 * for each other for ever. */
bool sendAcross(DWORD thread, HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam,
                LRESULT *result);

} // namespace detail
} // namespace standin

#endif
