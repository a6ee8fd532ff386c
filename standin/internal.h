/*
 * internal.h - what the stand-in's parts share among themselves.
 */
#ifndef STANDIN_INTERNAL_H
#define STANDIN_INTERNAL_H

#include "standin.h"

#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace standin {
namespace detail {

/* ---- faults.cpp ---- */
/* Counts the call and tells whether an injected fault hits it. */
bool faultHits(const char *api, const std::string &subject, DWORD *code);
void resetFaults();

/* ---- asked.cpp ---- */
/* Records what one call was given (see standin::asked). */
void noteCall(const char *api, const std::string &subject,
              const std::vector<std::pair<const char *, unsigned long long>> &values);
void resetAsked();

/* ---- events.cpp ---- */
void record(const Event &e);
void resetEvents();

/* ---- strings.cpp ---- */
bool iequals(const std::string &a, const std::string &b);
/* <0, 0, >0 like strcmp, comparing the lower-cased bytes. */
int icompare(const std::string &a, const std::string &b);
std::string lower(std::string s);
bool icontains(const std::string &haystack, const std::string &needle);
/* Copies a NUL-terminated text into a caller's buffer of size bytes,
 * truncated; returns the count of characters copied (without NUL). */
size_t copyOut(const std::string &s, char *buffer, size_t size);
/* A JSON string literal of s (bytes above 0x7e as \u00XX). */
std::string jsonString(const std::string &s);
long long nowMs();

/* ---- machine.cpp ---- */
/* The machine's state that several parts read (under machineLock()). */
struct Machine {
    Version version = WIN95;
    bool wow64 = false;       /* setWow64: a 64-bit edition, where it has one */
    ComDatabaseState comdb = COMDB_AS_VERSION;
    bool limitedUser = false;
    UINT errorMode = 0;       /* SetErrorMode */
    std::vector<std::pair<std::string, std::string>> env;
    std::string root;       /* host folder of C: */
    bool ownRoot = false;   /* a temporary folder this process made */
    std::string cwd = "C:\\setup";
    std::string programPath = "C:\\setup\\install.exe";
    std::string cmdline = "\"C:\\setup\\install.exe\"";
    std::vector<std::pair<std::string, std::string>> comDevices; /* name, target or "" */
    bool allCom = false;
    /* Folders on a full drive, with the bytes still free there. */
    std::vector<std::pair<std::string, long long>> fullFolders;
    /* The environment blocks GetEnvironmentStrings handed out. */
    std::vector<std::shared_ptr<std::vector<char>>> envBlocks;
};
Machine &machine();
std::recursive_mutex &machineLock();
std::string envGet(const std::string &name, bool *found);
/* What the machine's version is (each takes the machine lock). */
Version currentVersion();
bool isNT();              /* NT 3.51, 4.0, 2000 and later */
bool is9x();              /* Windows 95, 98, ME */
/* Whether the version is v or a later one of the NT family (false on
 * Windows 9x and Win32s). */
bool ntAtLeast(Version v);
bool runsUnderWow64();    /* a 64-bit edition of the version */
bool limitedUser();       /* setLimitedUser, on the NT family */
/* Whether the version has the COM port database, and whether it faults. */
bool hasComDatabase();
bool comDatabaseFaults();

/* ---- guard.cpp ---- */
/* Ends the calling stand-in function in a structured exception (code, as
 * raised in function): back to the thread's innermost guardedCall, or the
 * process ends as on an unhandled exception.  Raise before holding a lock. */
[[noreturn]] void raiseException(DWORD code, const char *function);

/* ---- processes.cpp ---- */
/* What every end of the process does: the process-end handler, the exit
 * code for a parent stand-in, the flush of stdio. */
void processEnds(DWORD code);
/* Ends the process at once with code, as TerminateProcess does. */
[[noreturn]] void endProcessNow(DWORD code);

/* ---- registry.cpp ---- */
void resetRegistry();
/* Root key name ("HKEY_LOCAL_MACHINE") to handle; nullptr if unknown. */
HKEY rootByName(const std::string &name);
const char *rootName(HKEY root);
/* "key PATH" for every registry handle still open. */
std::vector<std::string> openKeys();
/* Splits a backslash path into its names (empty names dropped). */
std::vector<std::string> splitPath(const std::string &path);

/* ---- files.cpp ---- */
struct MappedPath {
    DWORD error = 0;        /* 0 or ERROR_INVALID_NAME / ERROR_PATH_NOT_FOUND */
    std::string windows;    /* full Windows path, "C:\a\b" */
    std::string host;       /* host path, existing components in their case */
};
MappedPath mapPath(const std::string &windowsPath);
/* The same for a path the program hands a file call: the path WOW64 sends
 * it to (redirectFile). */
MappedPath mapCallPath(const std::string &windowsPath);
/* Full Windows path without mapping (drive, cwd, "." and ".." resolved). */
std::string fullWindowsPath(const std::string &windowsPath, DWORD *error);
bool hostIsFile(const std::string &host);
bool hostIsDir(const std::string &host);
void makeDirs(const std::string &host);
void removeTree(const std::string &host);
DWORD errnoToWin(int e);
/* "file C:\..." for every file handle still open. */
std::vector<std::string> openFiles();
void forgetOpenFiles();
/* Whether h is an open file handle, and its path. */
bool isFileHandle(HANDLE h, std::string *windowsPath);
/* Closes h if it is a file handle; false if it is none. */
bool closeFileHandle(HANDLE h);
/* The size of a host file; 0 for one that is missing. */
long long hostFileSize(const std::string &host);
/* Whether a host file has the read-only attribute (no owner write). */
bool hostIsReadOnly(const std::string &host);

/* ---- wow64.cpp: what WOW64 does for a 32-bit process ---- */
/* The full Windows path a file call of the program reaches: a path in
 * %windir%\system32 goes to %windir%\SysWOW64 under WOW64, except the
 * folders that are exempt; any other path (or machine) is as it is. */
std::string redirectFile(const std::string &fullWindowsPath);
/* The key a registry call of the program reaches, for a full path such as
 * "HKEY_LOCAL_MACHINE\SOFTWARE\x": under WOW64 HKLM\SOFTWARE goes to
 * HKLM\SOFTWARE\Wow6432Node, except the keys that are shared. */
std::string redirectKey(const std::string &fullKeyPath);

/* ---- access.cpp: a user who is no administrator ---- */
/* Whether the limited user may open a key of that full path with that
 * access (generic rights mapped); *granted gets the rights a
 * MAXIMUM_ALLOWED request is given. */
bool keyAccessAllowed(const std::string &fullKeyPath, REGSAM access, REGSAM *granted);
/* Whether the limited user may write (create, change, delete) the file or
 * folder of that full Windows path. */
bool fileWriteAllowed(const std::string &fullWindowsPath);
/* The service manager's rights of the limited user. */
DWORD managerRightsAllowed();
DWORD serviceRightsAllowed();

/* ---- modules.cpp, comdb.cpp ---- */
void resetModules();
/* "module NAME" for every DLL the program loaded and did not free. */
std::vector<std::string> openModules();
struct Export {
    const char *name;
    FARPROC proc;
};
/* msports.dll's functions. */
const std::vector<Export> &comDatabaseExports();
void resetComDatabase();
/* "COM port database" for every ComDBOpen handle not closed. */
std::vector<std::string> openComDatabases();

/* ---- services.cpp ---- */
void resetServices();
/* True while a running driver is loaded from this host file (it cannot be
 * overwritten then). */
bool isLoadedDriverFile(const std::string &hostFile);
/* "service manager" / "service NAME" for every service handle still open. */
std::vector<std::string> openServiceHandleNames();

/* ---- windows_ui.cpp ---- */
void resetWindows();
void resetAnswers();
/* Takes the next answer; false when none is left. */
bool nextAnswer(std::vector<std::string> *actions);
std::string joinActions(const std::vector<std::string> &actions);

/* ---- threads.cpp, processes.cpp ---- */
void resetKernel();
/* Wakes every waiter on kernel objects and message queues. */
void kernelNotify();
std::mutex &kernelMutex();
/* Waits on the kernel condition for at most ms (INFINITE = unbounded);
 * returns false on timeout. */
bool kernelWait(std::unique_lock<std::mutex> &lock, DWORD ms, long long start);
/* For MsgWaitForMultipleObjects: index of a signalled handle, -1 none,
 * -2 invalid handle (kernel lock held). */
int signalledIndex(DWORD count, const HANDLE *handles, bool all);
bool queueHasInput(DWORD thread);   /* kernel lock held */
bool queueHasSent(DWORD thread);    /* kernel lock held */
/* Whether waiter is in a wait without a time limit, handling no sent
 * message, for the end of thread (kernel lock held). */
bool waitsPlainlyForThread(DWORD waiter, DWORD thread);

} // namespace detail
} // namespace standin


/* ---- registry internals (registry.cpp), paths like "HKEY_LOCAL_MACHINE\a\b" ---- */
namespace standin {
namespace detail {
struct RegValue {
    std::string name;
    DWORD type = REG_NONE;
    std::string data;
};
bool regKeyExists(const std::string &path);
/* Creates the key and its missing parents; false for an unknown root. */
bool regCreatePath(const std::string &path);
void regDeletePath(const std::string &path); /* with everything below */
bool regGetValue(const std::string &path, const std::string &name, RegValue *out);
bool regSetValue(const std::string &path, const std::string &name, DWORD type,
                 const std::string &data);
void regDeleteValue(const std::string &path, const std::string &name);
/* The subkey names sorted by name without regard to case, whatever the
 * version's enumeration order. */
std::vector<std::string> regSubkeyNames(const std::string &path);
/* Visits the key and every key below it, parents first, subkeys sorted by
 * name without regard to case (not in the version's enumeration order, so
 * that an export of the same registry is the same text); false if the key
 * does not exist. */
bool regWalk(const std::string &path,
             void (*visit)(void *ctx, const std::string &keyPath,
                           const std::vector<RegValue> &values),
             void *ctx);
/* Canonical path: root names spelled out, case as stored for existing
 * components, no empty components; "" for an unknown root. */
std::string regCanonical(const std::string &path);
} // namespace detail
} // namespace standin

#endif
