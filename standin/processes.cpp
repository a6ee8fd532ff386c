/* processes.cpp - CreateProcessA over native programs, the command line,
 * debugger output. */
#include "kernel.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char **environ;

namespace standin {
namespace detail {

namespace {
struct Child {
    pid_t pid;
    std::thread reaper;
};
std::mutex childMutex;
std::vector<Child> children;

/* A host exit status holds 8 bits; a Win32 exit code 32.  The child
 * writes its whole code (decimal) into the file named by STANDIN_EXIT_FILE
 * (see ExitProcess); without that file the host status is taken. */
bool readExitFile(const std::string &path, DWORD *code)
{
    FILE *f = ::fopen(path.c_str(), "rb");
    if (!f)
        return false;
    unsigned long v = 0;
    bool ok = fscanf(f, "%lu", &v) == 1;
    fclose(f);
    if (ok)
        *code = (DWORD)v;
    return ok;
}

void reap(std::shared_ptr<KObject> obj, std::string exitFile)
{
    int status = 0;
    while (waitpid(obj->pid, &status, 0) < 0 && errno == EINTR) {
    }
    DWORD full = 0;
    bool haveFull = WIFEXITED(status) && readExitFile(exitFile, &full);
    unlink(exitFile.c_str());
    std::lock_guard<std::mutex> g(kernelMutex());
    if (haveFull && (full & 0xFF) == (DWORD)WEXITSTATUS(status))
        obj->exitCode = full;
    else if (WIFEXITED(status))
        obj->exitCode = (DWORD)WEXITSTATUS(status);
    else if (WIFSIGNALED(status))
        obj->exitCode = 0xC0000000u | (DWORD)WTERMSIG(status);
    obj->signalled = true;
    kernelNotify();
}

/* The program's name: the first word, quoted or up to a blank. */
std::string firstWord(const std::string &cmd)
{
    size_t i = 0;
    while (i < cmd.size() && (cmd[i] == ' ' || cmd[i] == '\t'))
        i++;
    if (i < cmd.size() && cmd[i] == '"') {
        size_t end = cmd.find('"', i + 1);
        return cmd.substr(i + 1, end == std::string::npos ? std::string::npos : end - i - 1);
    }
    size_t end = cmd.find_first_of(" \t", i);
    return cmd.substr(i, end == std::string::npos ? std::string::npos : end - i);
}

std::string folderOf(const std::string &windowsPath)
{
    size_t slash = windowsPath.rfind('\\');
    return slash == std::string::npos ? windowsPath : windowsPath.substr(0, slash);
}

/* Finds the program file as Windows does; error code or 0. */
DWORD findProgram(std::string name, MappedPath *found)
{
    size_t base = name.find_last_of("\\/:");
    base = base == std::string::npos ? 0 : base + 1;
    if (name.find('.', base) == std::string::npos)
        name += ".exe";
    if (name.find_first_of("\\/:") != std::string::npos) {
        *found = mapCallPath(name);
        if (found->error)
            return found->error;
        if (hostIsFile(found->host))
            return 0;
        return hostIsDir(found->host.substr(0, found->host.rfind('/'))) ? ERROR_FILE_NOT_FOUND
                                                                         : ERROR_PATH_NOT_FOUND;
    }
    std::vector<std::string> dirs;
    {
        std::lock_guard<std::recursive_mutex> g(machineLock());
        dirs = {folderOf(machine().programPath), machine().cwd, "C:\\windows\\system32",
                "C:\\windows"};
    }
    for (auto &d : dirs) {
        MappedPath m = mapCallPath(d + "\\" + name);
        if (m.error == ERROR_INVALID_NAME)
            return m.error;
        if (!m.error && hostIsFile(m.host)) {
            *found = m;
            return 0;
        }
    }
    return ERROR_FILE_NOT_FOUND;
}

bool isElf(const std::string &host)
{
    FILE *f = ::fopen(host.c_str(), "rb");
    if (!f)
        return false;
    char magic[4] = {0, 0, 0, 0};
    size_t n = fread(magic, 1, 4, f);
    fclose(f);
    return n == 4 && memcmp(magic, "\x7f" "ELF", 4) == 0 && access(host.c_str(), X_OK) == 0;
}
} // namespace

namespace {
void (*processEndHandler)(DWORD code) = nullptr;
} // namespace

void processEnds(DWORD code)
{
    if (processEndHandler)
        processEndHandler(code);
    if (const char *exitFile = getenv("STANDIN_EXIT_FILE")) {
        if (FILE *f = ::fopen(exitFile, "wb")) {
            fprintf(f, "%u", (unsigned)code);
            fclose(f);
        }
    }
    fflush(nullptr);
}

void endProcessNow(DWORD code)
{
    processEnds(code);
    _exit((int)(code & 0xFF));
}

void endProcesses()
{
    std::vector<Child> old;
    {
        std::lock_guard<std::mutex> g(childMutex);
        old.swap(children);
    }
    for (auto &c : old) {
        kill(c.pid, SIGKILL);
        if (c.reaper.joinable())
            c.reaper.join();
    }
}

} // namespace detail

void setProcessEndHandler(void (*handler)(DWORD code)) { detail::processEndHandler = handler; }

} // namespace standin

using namespace standin::detail;

extern "C" {

/* How many fields of a STARTUPINFOA besides its size are not zero: a
 * caller that leaves them as they were on its stack hands Windows a
 * desktop, title, window placement or handles it never meant. */
static unsigned long long startupFieldsSet(const STARTUPINFOA *si)
{
    if (!si)
        return 0;
    unsigned long long n = 0;
    const void *pointers[] = {si->lpReserved, si->lpDesktop, si->lpTitle, si->lpReserved2,
                              si->hStdInput, si->hStdOutput, si->hStdError};
    for (const void *p : pointers)
        n += p != nullptr;
    const unsigned long numbers[] = {si->dwX, si->dwY, si->dwXSize, si->dwYSize, si->dwXCountChars,
                                     si->dwYCountChars, si->dwFillAttribute, si->dwFlags,
                                     si->wShowWindow, si->cbReserved2};
    for (unsigned long v : numbers)
        n += v != 0;
    return n;
}

BOOL WINAPI CreateProcessA(LPCSTR app, LPSTR cmdline, LPSECURITY_ATTRIBUTES pa,
                           LPSECURITY_ATTRIBUTES ta, BOOL inherit, DWORD flags, LPVOID env,
                           LPCSTR dir, LPSTARTUPINFOA si, LPPROCESS_INFORMATION pi)
{
    std::string cmd = cmdline ? cmdline : (app ? app : "");
    noteCall("CreateProcessA", cmd,
             {{"startup", si ? si->cb : 0u},
              {"startupSet", startupFieldsSet(si)},
              {"inherit", (unsigned long long)inherit},
              {"flags", flags},
              {"security", (pa ? 1u : 0u) + (ta ? 1u : 0u)},
              {"environment", env ? 1u : 0u},
              {"directory", dir ? 1u : 0u},
              {"application", app ? 1u : 0u}});
    DWORD code;
    if (faultHits("CreateProcessA", cmd, &code)) {
        SetLastError(code);
        return FALSE;
    }
    if (!pi || (!app && !cmdline)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    MappedPath program;
    DWORD err;
    if (app) {
        program = mapCallPath(app);
        err = program.error ? program.error : (hostIsFile(program.host) ? 0 : ERROR_FILE_NOT_FOUND);
    } else {
        err = findProgram(firstWord(cmd), &program);
    }
    if (err) {
        SetLastError(err);
        return FALSE;
    }
    std::string cwd;
    {
        std::lock_guard<std::recursive_mutex> g(machineLock());
        cwd = machine().cwd;
    }
    if (dir) {
        MappedPath d = mapPath(dir);
        if (d.error || !hostIsDir(d.host)) {
            SetLastError(ERROR_DIRECTORY);
            return FALSE;
        }
        cwd = d.windows;
    }
    if (!isElf(program.host)) {
        SetLastError(ERROR_BAD_EXE_FORMAT);
        return FALSE;
    }
    std::vector<std::string> envText;
    if (env) {
        for (const char *p = static_cast<const char *>(env); *p; p += strlen(p) + 1)
            envText.push_back(p);
    } else {
        std::lock_guard<std::recursive_mutex> g(machineLock());
        for (auto &kv : machine().env)
            envText.push_back(kv.first + "=" + kv.second);
    }
    envText.push_back("STANDIN_ROOT=" + standin::driveRoot());
    envText.push_back("STANDIN_CWD=" + cwd);
    envText.push_back("STANDIN_CMDLINE=" + cmd);
    envText.push_back("STANDIN_PROGRAM=" + program.windows);
    char exitTemplate[] = "/tmp/standin-exit-XXXXXX";
    int exitFd = mkstemp(exitTemplate);
    std::string exitFile = exitFd >= 0 ? exitTemplate : "";
    if (exitFd >= 0) {
        close(exitFd);
        envText.push_back("STANDIN_EXIT_FILE=" + exitFile);
    }
    /* Sanitizer settings and the library path stay those of this process. */
    for (char **e = environ; *e; e++)
        if (!strncmp(*e, "ASAN_", 5) || !strncmp(*e, "UBSAN_", 6) || !strncmp(*e, "LSAN_", 5) ||
            !strncmp(*e, "LD_LIBRARY_PATH=", 16))
            envText.push_back(*e);
    std::vector<char *> envp;
    for (auto &s : envText)
        envp.push_back(&s[0]);
    envp.push_back(nullptr);
    std::string hostProgram = program.host;
    char *argv[] = {&hostProgram[0], nullptr};
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addchdir_np(&fa, mapPath(cwd).host.c_str());
    pid_t pid;
    int rc = posix_spawn(&pid, hostProgram.c_str(), &fa, nullptr, argv, envp.data());
    /* A host quirk, not a Windows one: while another process of the test
     * run (a runner copying the program for a parallel scenario) forks, its
     * child holds the copy open for writing until it execs, and the spawn
     * fails with ETXTBSY.  That lasts a moment; try again. */
    for (int tries = 0; rc == ETXTBSY && tries < 50; tries++) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        rc = posix_spawn(&pid, hostProgram.c_str(), &fa, nullptr, argv, envp.data());
    }
    posix_spawn_file_actions_destroy(&fa);
    if (rc != 0) {
        if (!exitFile.empty())
            unlink(exitFile.c_str());
        SetLastError(errnoToWin(rc));
        return FALSE;
    }
    auto obj = std::make_shared<KObject>();
    obj->kind = KObject::PROCESS;
    obj->pid = pid;
    obj->id = (DWORD)pid;
    {
        std::lock_guard<std::mutex> g(kernelMutex());
        pi->hProcess = addKernelObject(obj);
        pi->hThread = addKernelObject(obj);
    }
    pi->dwProcessId = (DWORD)pid;
    pi->dwThreadId = (DWORD)pid;
    {
        std::lock_guard<std::mutex> g(childMutex);
        /* Children still running when the host program ends are ended
         * with it, and their reapers joined before the list goes away. */
        static const bool endAtExit = (atexit([] { endProcesses(); }), true);
        (void)endAtExit;
        children.push_back(Child{pid, std::thread(reap, obj, exitFile)});
    }
    return TRUE;
}

LPSTR WINAPI GetCommandLineA(void)
{
    static std::string copy;
    std::lock_guard<std::recursive_mutex> g(machineLock());
    if (copy != machine().cmdline)
        copy = machine().cmdline;
    return &copy[0];
}

/* The pseudo handle of the calling process, as Windows documents it. */
HANDLE WINAPI GetCurrentProcess(void) { return (HANDLE)(LONG_PTR)-1; }

/* Whether the process is a 32-bit one under WOW64: TRUE on a 64-bit
 * edition, FALSE on a 32-bit one (IsWow64Process reference).  Every
 * process of this machine is a 32-bit program.  Found by GetProcAddress
 * only from XP on (modules.cpp).  A handle that is no process fails with
 * ERROR_INVALID_HANDLE; no place for the answer, with ERROR_NOACCESS (not
 * recorded; Windows would write through the pointer). */
BOOL WINAPI IsWow64Process(HANDLE process, PBOOL wow64)
{
    noteCall("IsWow64Process", "", {});
    DWORD code;
    if (faultHits("IsWow64Process", "", &code)) {
        SetLastError(code);
        return FALSE;
    }
    bool valid = process == GetCurrentProcess();
    if (!valid) {
        std::lock_guard<std::mutex> g(kernelMutex());
        std::shared_ptr<KObject> obj = kernelObject(process);
        valid = obj && obj->kind == KObject::PROCESS;
    }
    if (!valid) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!wow64) {
        SetLastError(ERROR_NOACCESS);
        return FALSE;
    }
    *wow64 = runsUnderWow64() ? TRUE : FALSE;
    return TRUE;
}

/* The process's error mode; the previous one is returned.  Recorded for
 * the tests (asked: SetErrorMode, mode; LoadLibraryA records the mode in
 * force at its call). */
UINT WINAPI SetErrorMode(UINT mode)
{
    noteCall("SetErrorMode", "", {{"mode", mode}});
    std::lock_guard<std::recursive_mutex> g(machineLock());
    UINT previous = machine().errorMode;
    machine().errorMode = mode;
    return previous;
}

void WINAPI GetStartupInfoA(LPSTARTUPINFOA si)
{
    if (!si)
        return;
    memset(si, 0, sizeof *si);
    si->cb = sizeof *si;
}

void WINAPI OutputDebugStringA(LPCSTR text)
{
    DWORD code;
    faultHits("OutputDebugStringA", "", &code);
    standin::Event e;
    e.ev = "debug";
    e.text = text ? text : "";
    e.thread = GetCurrentThreadId();
    record(e);
}

void WINAPI ExitProcess(UINT code)
{
    processEnds(code);
    exit((int)code);
}

} // extern "C"
