/*
 * standin.h - control of the Win32 stand-in, for tests and the host runner.
 *
 * The stand-in (standin/windows.h) provides the Win32 calls the program
 * uses, over an in-memory machine: registry, version record, environment,
 * a C: drive mapped onto a real folder, COM devices, the service manager,
 * windows, boxes and the dialog, threads and processes.  This header lets a
 * test set that machine up, script the user's answers, inject failures and
 * read back what happened.
 */
#ifndef STANDIN_CONTROL_H
#define STANDIN_CONTROL_H

#include <windows.h>

#include <string>
#include <vector>

namespace standin {

/* A fresh machine: empty registry (HKLM and HKEY_DYN_DATA), Windows 95
 * version record, environment WINDIR=C:\windows and SystemRoot=C:\windows,
 * C: mapped to a new empty temporary folder (with windows\ and setup\),
 * current directory C:\setup, no COM devices, no services, no answers, no
 * faults, no events.  Threads and processes of the previous machine must be
 * over. */
void reset();
/* The same, with C: mapped to an existing folder (the scenario runner's
 * drive), which is kept as it is. */
void reset(const std::string &driveRootFolder);
/* What GetCommandLineA gives (default "\"C:\setup\install.exe\""). */
void setCommandLine(const std::string &cmdline);

/* ---- machine before ---- */
/* The Windows the machine runs, as an unmanifested 32-bit program sees it
 * (machine.cpp lists each version record and its source).  WIN98 and
 * WINME behave as WIN95 (the Windows 95 family, platform 1) except where
 * Wine's record of real Windows says otherwise; WIN2K and later as NT40
 * except where their own behaviour is named. */
enum Version {
    WIN95, NT351, NT40, WIN31,
    WIN98, WINME,
    WIN2K, WINXP, WIN2003, VISTA, WIN7, WIN8, WIN81, WIN10
};
void setVersion(Version v);
/* A 64-bit edition of the version (Server 2003, Vista, 7, 8, 8.1, 10 have
 * one): the program is a 32-bit process under WOW64.  IsWow64Process
 * answers TRUE, and the file and registry calls are redirected as WOW64
 * redirects them (wow64.cpp).  Ignored for a version without a 64-bit
 * edition; setVersion leaves it as it is, reset() clears it. */
void setWow64(bool on);
/* The COM port database (msports.dll, comdb.cpp): as the version has it
 * (Windows 2000 and later), missing (no msports.dll), or faulting (every
 * ComDB function ends in an access violation, 0xC0000005). */
enum ComDatabaseState { COMDB_AS_VERSION, COMDB_NONE, COMDB_FAULTING };
void setComDatabase(ComDatabaseState state);
/* The program runs as a user who is no administrator (on the NT family:
 * Windows 9x has no such thing and ignores it).  HKEY_LOCAL_MACHINE may
 * be read but not written, the Windows folder and C:\Program Files read
 * but not written, the service manager gives a user's rights only, and
 * the COM port database cannot be opened (access.cpp says why). */
void setLimitedUser(bool limited);

/* The order in which RegEnumKeyExA and RegEnumKeyA give a key's subkeys
 * follows the version at the time of the call: Windows 95 in the order
 * the subkeys were created (importReg creates keys in the order of the
 * text), NT sorted by name without regard to case.  setEnumShuffle gives,
 * on every version, a pseudo-random order drawn from the seed instead: the
 * same for a key each time it is enumerated, another for another seed; a
 * new subkey lands at an arbitrary index (registry.cpp, enumOrder, says
 * why).  clearEnumShuffle and reset() return to the version's order.
 * exportReg and the runners' outcomes stay sorted by name whatever the
 * order, so that the same registry always gives the same text. */
void setEnumShuffle(unsigned long long seed);
void clearEnumShuffle();

/* Imports REGEDIT4 (or Wine's REGEDIT5) text.  Returns false and a reason
 * on malformed text; whatever was read before the fault stays imported. */
bool importReg(const std::string &text, std::string *why = nullptr);
/* REGEDIT4 text of the key and everything below it ("" = whole registry). */
std::string exportReg(const std::string &keyPath = "");

void setEnv(const std::string &name, const std::string &value);
void unsetEnv(const std::string &name);

/* The real folder that C: is mapped to, and the mapping of one Windows
 * path (drive-relative and relative paths resolved against the current
 * directory, components matched without regard to case). */
std::string driveRoot();
std::string hostPath(const std::string &windowsPath);
void setCurrentDirectory(const std::string &windowsPath);
/* Puts a file on the machine (folders created as needed). */
void putFile(const std::string &windowsPath, const std::string &bytes);
/* Reads a file of the machine; false if it does not exist. */
bool getFile(const std::string &windowsPath, std::string *bytes);

/* The folder (made if missing) lies on a full drive with freeBytes left:
 * a file there can be created, but a write that does not fit fails as on
 * a full drive (see WriteFile in files.cpp). */
void setFolderFull(const std::string &windowsPath, long long freeBytes = 0);

/* QueryDosDeviceA answers for exactly these names: with the target given,
 * or "\Device\SerialN".  As in Wine 8, a target fits a buffer of n
 * characters when it is at most n - 2 long (its terminator and the list's
 * final NUL). */
void addComDevice(const std::string &name, const std::string &target = "");
/* Every "COMn" name answers (a machine where the probe never fails). */
void setAllComDevicesExist(bool all);

/* A top-level window of another program (FindWindowA finds it; a posted
 * message is recorded as a "posted" event and, for WM_DESTROY, stamped
 * into C:\testlog\red32-destroy.txt). */
void addForeignWindow(const std::string &cls, const std::string &title);

/* Service state as the stand-in's service manager holds it. */
enum ServiceState { SVC_ABSENT, SVC_STOPPED, SVC_RUNNING };
ServiceState serviceState(const std::string &name);
/* A running service that ignores the stop control. */
void setServiceIgnoresStop(const std::string &name, bool ignores);
/* Marks an installed service running (a machine where it was started). */
void setServiceRunning(const std::string &name, bool running);
/* Every installed service, by key name. */
std::vector<std::string> services();
/* Marks an installed service as DeleteService leaves it while a handle to
 * it stays open (held by another program): "DeleteFlag"=1 and "Start"=4
 * in its key, and the service manager keeps it until Windows restarts (a
 * key imported with "DeleteFlag"=1 is such a service too).  False when no
 * such service is installed. */
bool markServiceDeleted(const std::string &name);

/* ---- the user's answers ----
 * One answer per box or dialog, in order.  Actions: "OK", "Cancel",
 * "Escape", "Close", "Help", "Type <text>".  A box with no answer left is
 * answered IDCANCEL (or IDOK for an OK-only box) and recorded as
 * unanswered. */
void addAnswer(const std::vector<std::string> &actions);
void addAnswer(const std::string &action); /* one action */

/* ---- faults ----
 * The nth call (1-based, counting only matching calls) of api whose
 * subject contains match (case-insensitive; "" matches every call) fails
 * with code: the call returns its failure result and GetLastError gives
 * code (registry calls return code itself).  count = how many consecutive
 * matching calls fail from the nth on (0 = all).
 * Subjects: registry key calls: the full key path ("HKEY_LOCAL_MACHINE\..."
 * with the sub key appended for Open/Create/Enum); value calls: key path +
 * "|" + value name; file calls: the Windows path (CopyFileA: source + ">" +
 * target); GetEnvironmentVariableA: the name; service calls: the service
 * name; QueryDosDeviceA: the device name; CreateProcessA: the command
 * line; LoadLibraryA: the name given; FreeLibrary: the DLL (as leftOpen
 * names it); the COM port database's calls (comdb.cpp): "COMn" for a call
 * of one number, and "ComDBWrite", the write of its value (the call then
 * returns ERROR_CANTWRITE); everything else: "".  Registry subjects name
 * the key as the program named it, also where WOW64 sends the call to
 * another key.
 * Special results: WaitForSingleObject fails with code as its return
 * value (WAIT_ABANDONED, WAIT_TIMEOUT, WAIT_FAILED). */
void fail(const std::string &api, DWORD code, const std::string &match = "", int nth = 1,
          int count = 1);
/* How many times api was called so far (every call, failed or not). */
int calls(const std::string &api);

/* When the program's process ends, by ExitProcess or by an unhandled
 * exception (guard.cpp), handler is called with the exit code before the
 * process ends: the host runner writes the outcome there.  nullptr: none. */
void setProcessEndHandler(void (*handler)(DWORD code));

/* ---- what happened ---- */
struct Event {
    std::string ev;       /* "box", "dialog", "help", "debug", "posted",
                             "unanswered", "call" */
    std::string owner;    /* box: "install" (class of the owner) or "none" */
    std::string caption;  /* box, dialog */
    std::string text;     /* box text, dialog edit text, debug text,
                             help file, posted class */
    unsigned type = 0;    /* box type; help command; posted message */
    unsigned long data = 0; /* help data */
    int result = 0;       /* what the box or dialog returned */
    DWORD thread = 0;     /* thread id that showed the box */
    std::string answer;   /* box, dialog: the answer's actions, "; " between */
};
std::vector<Event> events();
std::vector<Event> boxes(); /* the "box" events only */
/* Events as JSON lines, the outcome format of the scenario runners. */
std::string eventsJson();

/* Open registry handles, service handles, thread and process handles
 * that the program has not closed (a leak check for tests). */
int openRegistryHandles();
int openServiceHandles();
int openKernelHandles();
/* Everything still open, one line each: "key HKEY_LOCAL_MACHINE\..." (the
 * key reached), "file C:\...", "service manager", "service Qblred",
 * "COM port database" (a ComDBOpen handle), "module msports.dll" (a DLL
 * loaded and not freed: the system's by its name, another by its path),
 * "thread handle", "process handle".  Empty when the program closed all it
 * opened. */
std::vector<std::string> leftOpen();

/* ---- what the program asked of the platform ----
 * Every call below is recorded, in order, with its subject (as fail()
 * names it) and the values it was given:
 *   RegOpenKeyExA, RegCreateKeyExA: access, options
 *   RegEnumKeyExA, RegQueryValueExA: size (the buffer length given)
 *   RegSetValueExA: type, size, and for a text type terminated (1 when
 *                   the size counts the text and its terminator exactly)
 *   GetEnvironmentVariableA, QueryDosDeviceA, GetDlgItemTextA,
 *   GetSystemDirectoryA: size
 *   CreateFileA: access, share, disposition, attributes, security and
 *                template (1 when given)
 *   ReadFile, WriteFile (subject: the file's path): size, overlapped
 *   SetFileAttributesA: attributes
 *   CopyFileA: failifexists
 *   OpenSCManagerA, OpenServiceA: access
 *   CreateServiceA: access, type, start, error
 *   ChangeServiceConfigA: type, start, error
 *   ControlService: control
 *   StartServiceA: argc
 *   CreateThread: stack, flags, security (1 when given)
 *   CreateProcessA: inherit, flags, security (count of those given),
 *                   environment (1 when given), directory (1 when given)
 *   WaitForSingleObject, WaitForMultipleObjects: ms, count, waitall
 *   MsgWaitForMultipleObjects: ms, count, mask, waitall
 *   Sleep: ms
 *   RegisterClassA: style, icon (resource id), cursor (resource id),
 *                   brush (stock object number; absent for another
 *                   brush), clsextra, wndextra
 *   CreateWindowExA (subject: the class): exstyle, style, x, y, width,
 *                   height, parent (1 when given)
 *   ShowWindow: show; UpdateWindow: nothing
 *   DialogBoxParamA: template, init (what the dialog procedure returned
 *                   for WM_INITDIALOG)
 *   PostMessageA (subject: the window's class): msg, wparam, lparam
 *   WinHelpA (subject: the file): command, data
 *   SetErrorMode: mode; LoadLibraryA: mode (the error mode in force)
 *   IsWow64Process: nothing
 *   ComDBOpen, ComDBClose, ComDBClaimNextFreePort: nothing
 *   ComDBGetCurrentPortUsage: size, type, buffer and reported (1 when given)
 *   ComDBClaimPort: number, force, forced (1 when given)
 *   ComDBReleasePort: number; ComDBResizeDatabase: size */
struct Call {
    std::string api;
    std::string subject;
    std::vector<std::pair<std::string, unsigned long long>> values;
    DWORD thread = 0;
    bool has(const std::string &name) const;
    /* The value, or ~0ull when the call has none of that name. */
    unsigned long long value(const std::string &name) const;
};
/* The calls of api whose subject contains match (case-insensitive). */
std::vector<Call> asked(const std::string &api, const std::string &match = "");
/* Every call as JSON lines: {"api":A,"subject":S,"thread":N,NAME:VALUE...}. */
std::string askedJson();
/* Forgets the calls recorded so far (a test's own, made to set a machine up). */
void clearAsked();

/* The program's own top-level windows that still exist, as JSON lines of
 * the outcome ({"ev":"window",...}): class, title, style and exstyle as
 * the window reports them, x, y, width, height, shown (whether it was
 * ever visible), and its class's classstyle, icon, cursor and brush. */
std::string windowsJson();

} // namespace standin

#endif /* STANDIN_CONTROL_H */
