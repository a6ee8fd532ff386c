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
    DWORD style = 0;
    RECT rect = {0, 0, 0, 0};
    bool visible = false;
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

} // namespace detail
} // namespace standin

#endif
