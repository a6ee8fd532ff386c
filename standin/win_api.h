/*
 * win_api.h - the Win32 functions the stand-in provides.
 */
#ifndef STANDIN_WIN_API_H
#define STANDIN_WIN_API_H

#include <stdarg.h>
#include <stddef.h>

#include "win_const.h"
#include "win_types.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ---- errors, time ---- */
DWORD WINAPI GetLastError(void);
void WINAPI SetLastError(DWORD code);
DWORD WINAPI GetTickCount(void);
void WINAPI Sleep(DWORD ms);

/* ---- registry (registry.cpp) ---- */
LONG WINAPI RegOpenKeyExA(HKEY key, LPCSTR subKey, DWORD options, REGSAM access, PHKEY result);
LONG WINAPI RegOpenKeyA(HKEY key, LPCSTR subKey, PHKEY result);
LONG WINAPI RegCreateKeyExA(HKEY key, LPCSTR subKey, DWORD reserved, LPSTR cls, DWORD options,
                            REGSAM access, LPSECURITY_ATTRIBUTES sa, PHKEY result,
                            LPDWORD disposition);
LONG WINAPI RegCreateKeyA(HKEY key, LPCSTR subKey, PHKEY result);
LONG WINAPI RegEnumKeyExA(HKEY key, DWORD index, LPSTR name, LPDWORD nameLen, LPDWORD reserved,
                          LPSTR cls, LPDWORD clsLen, PFILETIME lastWrite);
LONG WINAPI RegEnumKeyA(HKEY key, DWORD index, LPSTR name, DWORD nameLen);
LONG WINAPI RegEnumValueA(HKEY key, DWORD index, LPSTR name, LPDWORD nameLen, LPDWORD reserved,
                          LPDWORD type, LPBYTE data, LPDWORD dataLen);
LONG WINAPI RegQueryValueExA(HKEY key, LPCSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data,
                             LPDWORD dataLen);
LONG WINAPI RegSetValueExA(HKEY key, LPCSTR name, DWORD reserved, DWORD type, const BYTE *data,
                           DWORD dataLen);
LONG WINAPI RegDeleteValueA(HKEY key, LPCSTR name);
LONG WINAPI RegDeleteKeyA(HKEY key, LPCSTR subKey);
LONG WINAPI RegCloseKey(HKEY key);

/* ---- version, environment (machine.cpp) ---- */
BOOL WINAPI GetVersionExA(LPOSVERSIONINFOA info);
DWORD WINAPI GetVersion(void);
DWORD WINAPI GetEnvironmentVariableA(LPCSTR name, LPSTR buffer, DWORD size);
LPCH WINAPI GetEnvironmentStrings(void);
BOOL WINAPI SetEnvironmentVariableA(LPCSTR name, LPCSTR value);
DWORD WINAPI ExpandEnvironmentStringsA(LPCSTR src, LPSTR dst, DWORD size);
UINT WINAPI GetWindowsDirectoryA(LPSTR buffer, UINT size);
UINT WINAPI GetSystemDirectoryA(LPSTR buffer, UINT size);

/* ---- files and devices (files.cpp) ---- */
HANDLE WINAPI CreateFileA(LPCSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES sa,
                          DWORD disposition, DWORD attributes, HANDLE templ);
BOOL WINAPI ReadFile(HANDLE file, LPVOID buffer, DWORD size, LPDWORD got, LPOVERLAPPED overlapped);
BOOL WINAPI WriteFile(HANDLE file, LPCVOID buffer, DWORD size, LPDWORD written,
                      LPOVERLAPPED overlapped);
BOOL WINAPI SetFileAttributesA(LPCSTR path, DWORD attributes);
BOOL WINAPI CopyFileA(LPCSTR from, LPCSTR to, BOOL failIfExists);
BOOL WINAPI DeleteFileA(LPCSTR path);
BOOL WINAPI CreateDirectoryA(LPCSTR path, LPSECURITY_ATTRIBUTES sa);
DWORD WINAPI GetFileAttributesA(LPCSTR path);
DWORD WINAPI GetCurrentDirectoryA(DWORD size, LPSTR buffer);
BOOL WINAPI SetCurrentDirectoryA(LPCSTR path);
DWORD WINAPI GetModuleFileNameA(HMODULE module, LPSTR buffer, DWORD size);
DWORD WINAPI QueryDosDeviceA(LPCSTR device, LPSTR target, DWORD size);

/* ---- service manager (services.cpp) ---- */
SC_HANDLE WINAPI OpenSCManagerA(LPCSTR machine, LPCSTR database, DWORD access);
SC_HANDLE WINAPI CreateServiceA(SC_HANDLE manager, LPCSTR name, LPCSTR displayName, DWORD access,
                                DWORD type, DWORD start, DWORD errorControl, LPCSTR binaryPath,
                                LPCSTR loadOrderGroup, LPDWORD tagId, LPCSTR dependencies,
                                LPCSTR startName, LPCSTR password);
SC_HANDLE WINAPI OpenServiceA(SC_HANDLE manager, LPCSTR name, DWORD access);
BOOL WINAPI ControlService(SC_HANDLE service, DWORD control, LPSERVICE_STATUS status);
BOOL WINAPI ChangeServiceConfigA(SC_HANDLE service, DWORD type, DWORD start, DWORD errorControl,
                                 LPCSTR binaryPath, LPCSTR loadOrderGroup, LPDWORD tagId,
                                 LPCSTR dependencies, LPCSTR startName, LPCSTR password,
                                 LPCSTR displayName);
BOOL WINAPI StartServiceA(SC_HANDLE service, DWORD argc, LPCSTR *argv);
BOOL WINAPI QueryServiceStatus(SC_HANDLE service, LPSERVICE_STATUS status);
BOOL WINAPI DeleteService(SC_HANDLE service);
BOOL WINAPI CloseServiceHandle(SC_HANDLE handle);

/* ---- windows, boxes, dialog (windows_ui.cpp, dialog.cpp) ---- */
ATOM WINAPI RegisterClassA(const WNDCLASSA *wc);
BOOL WINAPI UnregisterClassA(LPCSTR name, HINSTANCE inst);
HWND WINAPI CreateWindowExA(DWORD exStyle, LPCSTR cls, LPCSTR title, DWORD style, int x, int y,
                            int width, int height, HWND parent, HMENU menu, HINSTANCE inst,
                            LPVOID param);
#define CreateWindowA(cls, title, style, x, y, w, h, parent, menu, inst, param) \
    CreateWindowExA(0, cls, title, style, x, y, w, h, parent, menu, inst, param)
LRESULT WINAPI DefWindowProcA(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
BOOL WINAPI DestroyWindow(HWND hwnd);
BOOL WINAPI ShowWindow(HWND hwnd, int show);
BOOL WINAPI UpdateWindow(HWND hwnd);
BOOL WINAPI IsWindow(HWND hwnd);
HWND WINAPI GetParent(HWND hwnd);
HWND WINAPI GetDesktopWindow(void);
BOOL WINAPI EnableWindow(HWND hwnd, BOOL enable);
HWND WINAPI SetFocus(HWND hwnd);
BOOL WINAPI SetWindowTextA(HWND hwnd, LPCSTR text);
int WINAPI GetWindowTextA(HWND hwnd, LPSTR buffer, int size);
int WINAPI GetWindowTextLengthA(HWND hwnd);
HWND WINAPI FindWindowA(LPCSTR cls, LPCSTR title);
int WINAPI GetClassNameA(HWND hwnd, LPSTR buffer, int size);
BOOL WINAPI SetWindowPos(HWND hwnd, HWND after, int x, int y, int cx, int cy, UINT flags);
BOOL WINAPI GetWindowRect(HWND hwnd, LPRECT rect);
BOOL WINAPI GetClientRect(HWND hwnd, LPRECT rect);
int WINAPI GetSystemMetrics(int index);

BOOL WINAPI GetMessageA(LPMSG msg, HWND hwnd, UINT first, UINT last);
BOOL WINAPI PeekMessageA(LPMSG msg, HWND hwnd, UINT first, UINT last, UINT remove);
LRESULT WINAPI DispatchMessageA(const MSG *msg);
BOOL WINAPI TranslateMessage(const MSG *msg);
void WINAPI PostQuitMessage(int code);
BOOL WINAPI PostMessageA(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
BOOL WINAPI PostThreadMessageA(DWORD thread, UINT msg, WPARAM wParam, LPARAM lParam);
LRESULT WINAPI SendMessageA(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
DWORD WINAPI MsgWaitForMultipleObjects(DWORD count, const HANDLE *handles, BOOL waitAll, DWORD ms,
                                       DWORD wakeMask);

HICON WINAPI LoadIconA(HINSTANCE inst, LPCSTR name);
HCURSOR WINAPI LoadCursorA(HINSTANCE inst, LPCSTR name);
HGDIOBJ WINAPI GetStockObject(int object);
HMODULE WINAPI GetModuleHandleA(LPCSTR name);
HMODULE WINAPI LoadLibraryA(LPCSTR name);
BOOL WINAPI FreeLibrary(HMODULE module);
FARPROC WINAPI GetProcAddress(HMODULE module, LPCSTR name);

int WINAPI MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type);
INT_PTR WINAPI DialogBoxParamA(HINSTANCE inst, LPCSTR templ, HWND owner, DLGPROC proc, LPARAM param);
#define DialogBoxA(inst, templ, owner, proc) DialogBoxParamA(inst, templ, owner, proc, 0)
BOOL WINAPI EndDialog(HWND dlg, INT_PTR result);
HWND WINAPI GetDlgItem(HWND dlg, int id);
BOOL WINAPI SetDlgItemTextA(HWND dlg, int id, LPCSTR text);
UINT WINAPI GetDlgItemTextA(HWND dlg, int id, LPSTR buffer, int size);
LRESULT WINAPI SendDlgItemMessageA(HWND dlg, int id, UINT msg, WPARAM wParam, LPARAM lParam);
BOOL WINAPI WinHelpA(HWND owner, LPCSTR file, UINT command, ULONG_PTR data);

/* ---- threads and processes (threads.cpp, processes.cpp) ---- */
HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES sa, SIZE_T stack, LPTHREAD_START_ROUTINE start,
                           LPVOID param, DWORD flags, LPDWORD id);
void WINAPI ExitThread(DWORD code) __attribute__((noreturn));
DWORD WINAPI GetCurrentThreadId(void);
DWORD WINAPI GetCurrentProcessId(void);
HANDLE WINAPI GetCurrentProcess(void);
BOOL WINAPI IsWow64Process(HANDLE process, PBOOL wow64);
UINT WINAPI SetErrorMode(UINT mode);
BOOL WINAPI GetExitCodeThread(HANDLE thread, LPDWORD code);
DWORD WINAPI WaitForSingleObject(HANDLE handle, DWORD ms);
DWORD WINAPI WaitForMultipleObjects(DWORD count, const HANDLE *handles, BOOL waitAll, DWORD ms);
BOOL WINAPI CloseHandle(HANDLE handle);
BOOL WINAPI CreateProcessA(LPCSTR app, LPSTR cmdline, LPSECURITY_ATTRIBUTES pa,
                           LPSECURITY_ATTRIBUTES ta, BOOL inherit, DWORD flags, LPVOID env,
                           LPCSTR dir, LPSTARTUPINFOA si, LPPROCESS_INFORMATION pi);
BOOL WINAPI GetExitCodeProcess(HANDLE process, LPDWORD code);
void WINAPI GetStartupInfoA(LPSTARTUPINFOA si);
LPSTR WINAPI GetCommandLineA(void);
void WINAPI OutputDebugStringA(LPCSTR text);
void WINAPI ExitProcess(UINT code) __attribute__((noreturn));

/* ---- strings (crt.cpp) ---- */
int WINAPI lstrlenA(LPCSTR s);
LPSTR WINAPI lstrcpyA(LPSTR dst, LPCSTR src);
LPSTR WINAPI lstrcpynA(LPSTR dst, LPCSTR src, int size);
LPSTR WINAPI lstrcatA(LPSTR dst, LPCSTR src);
int WINAPI lstrcmpA(LPCSTR a, LPCSTR b);
int WINAPI lstrcmpiA(LPCSTR a, LPCSTR b);
int WINAPIV wsprintfA(LPSTR buffer, LPCSTR format, ...) __attribute__((format(printf, 2, 3)));
int WINAPI wvsprintfA(LPSTR buffer, LPCSTR format, va_list args);
/* The Microsoft C library's bounded formatting: no terminator and -1 when
 * the text does not fit. */
int _vsnprintf(char *buffer, size_t size, const char *format, va_list args);
int _snprintf(char *buffer, size_t size, const char *format, ...)
    __attribute__((format(printf, 3, 4)));
int _stricmp(const char *a, const char *b);
int _strnicmp(const char *a, const char *b, size_t n);

#ifdef __cplusplus
}
#endif

#define stricmp _stricmp
#define strnicmp _strnicmp
#define strcmpi _stricmp

#endif /* STANDIN_WIN_API_H */
