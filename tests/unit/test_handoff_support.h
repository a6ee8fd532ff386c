/*
 * test_handoff_support.h - helpers for the hand-off and NT tests: an owner
 * window of our class, native programs put on the machine, debugger output.
 */
#ifndef TEST_HANDOFF_SUPPORT_H
#define TEST_HANDOFF_SUPPORT_H

#include "install.h"
#include "standin.h"

#include <fstream>
#include <iterator>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

/* A hidden window of class "install", as WinMain makes it. */
inline HWND makeOwnerWindow()
{
    WNDCLASSA wc;
    memset(&wc, 0, sizeof wc);
    wc.lpfnWndProc = DefWindowProcA;
    wc.lpszClassName = "install";
    RegisterClassA(&wc);
    return CreateWindowExA(0, "install", "install", WS_OVERLAPPEDWINDOW, 0, 0, 100, 100, nullptr,
                           nullptr, nullptr, nullptr);
}

/* Copies a host executable onto the machine as an executable file. */
inline bool putProgram(const std::string &windowsPath, const std::string &hostFile)
{
    std::ifstream in(hostFile, std::ios::binary);
    if (!in)
        return false;
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    standin::putFile(windowsPath, bytes);
    return chmod(standin::hostPath(windowsPath).c_str(), 0755) == 0;
}

/* The native build of the test installer (testprogs/second), or "". */
inline std::string nativeSecond()
{
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0)
        return "";
    self[n] = '\0';
    std::string dir(self);
    dir = dir.substr(0, dir.rfind('/')); /* .../tests/unit */
    std::string candidate = dir + "/../../testprogs/second";
    return access(candidate.c_str(), X_OK) == 0 ? candidate : "";
}

inline bool hasDebug(const std::string &text)
{
    for (auto &e : standin::events())
        if (e.ev == "debug" && e.text.find(text) != std::string::npos)
            return true;
    return false;
}

#endif
