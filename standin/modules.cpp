/* modules.cpp - the DLLs of the machine: the system's (kernel32, user32,
 * advapi32, gdi32, which the program imports, and msports.dll, the COM
 * port database of Windows 2000 and later), and any other file that
 * LoadLibraryA is given or finds.
 *
 * LoadLibraryA looks for a bare name as Windows does ("Dynamic-Link
 * Library Search Order"): a known DLL (kernel32, user32, advapi32, gdi32
 * are KnownDLLs) is always the system's; any other name is looked for in
 * the folder the program was started from first, then, with the safe
 * search mode of XP SP2 and later (and the default of Server 2003, Vista
 * on), the system folder, the 16-bit system folder, the Windows folder,
 * the current folder and the PATH; before that, and on Windows 9x, the
 * current folder comes second.  A name without an extension gets ".dll"
 * (LoadLibrary reference).  A file so found that is not the system's own
 * DLL is loaded as what it is: a DLL the stand-in knows nothing of, with
 * no function GetProcAddress can find (a planted msports.dll in the
 * setup folder is no COM port database).  The stand-in does not read the
 * file.  The system's DLLs live in the system folder only in name: no
 * file on the drive holds them.
 *
 * A DLL loaded at run time stays loaded until as many FreeLibrary calls
 * as LoadLibraryA calls; one still loaded when the run ends is listed by
 * leftOpen().  A missing DLL fails with ERROR_MOD_NOT_FOUND, on Windows 9x
 * with ERROR_DLL_NOT_FOUND (kernel32/tests/module.c W1.2:195-196). */
#include "internal.h"

#include <cstring>

namespace standin {
namespace detail {

namespace {

HMODULE programModule() { return (HMODULE)0x400000; }

struct Module {
    const char *file;
    HMODULE handle;
    std::vector<Export> exports;
};

#define EXPORT(f) {#f, reinterpret_cast<FARPROC>(reinterpret_cast<void *>(&(f)))}
/* The DLLs the program imports: loaded with it, never unloaded. */
const std::vector<Module> &systemModules()
{
    static const std::vector<Module> list = {
        {"gdi32.dll", (HMODULE)0x7E000000, {EXPORT(GetStockObject)}},
        {"user32.dll",
         (HMODULE)0x7E100000,
         {EXPORT(MessageBoxA), EXPORT(FindWindowA), EXPORT(PostMessageA), EXPORT(SendMessageA),
          EXPORT(DialogBoxParamA), EXPORT(EndDialog), EXPORT(WinHelpA), EXPORT(GetSystemMetrics),
          EXPORT(SetWindowPos), EXPORT(GetWindowRect)}},
        {"kernel32.dll",
         (HMODULE)0x7E200000,
         {EXPORT(GetVersionExA), EXPORT(GetEnvironmentVariableA), EXPORT(CopyFileA),
          EXPORT(QueryDosDeviceA), EXPORT(CreateThread), EXPORT(CreateProcessA),
          EXPORT(WaitForSingleObject), EXPORT(CloseHandle), EXPORT(Sleep),
          EXPORT(OutputDebugStringA), EXPORT(GetLastError), EXPORT(IsWow64Process)}},
        {"advapi32.dll",
         (HMODULE)0x7E300000,
         {EXPORT(RegOpenKeyExA), EXPORT(RegCreateKeyExA), EXPORT(RegEnumKeyExA),
          EXPORT(RegQueryValueExA), EXPORT(RegSetValueExA), EXPORT(RegDeleteValueA),
          EXPORT(RegCloseKey), EXPORT(OpenSCManagerA), EXPORT(CreateServiceA),
          EXPORT(OpenServiceA), EXPORT(ControlService), EXPORT(ChangeServiceConfigA),
          EXPORT(StartServiceA), EXPORT(CloseServiceHandle)}},
    };
    return list;
}
#undef EXPORT

const HMODULE comDatabaseModule = (HMODULE)0x7E400000;

/* Whether kernel32 of this version exports the function.  IsWow64Process
 * came with Windows XP SP2 and Server 2003 SP1 (IsWow64Process reference,
 * "Minimum supported client: Windows Vista, Windows XP with SP2"): not on
 * 95, 98, ME, NT 3.51, 4.0 or 2000; this machine's XP is SP3 and its
 * Server 2003 SP2, so from XP on it is there. */
bool exported(const char *name)
{
    if (strcmp(name, "IsWow64Process") == 0)
        return ntAtLeast(standin::WINXP);
    return true;
}

/* A DLL loaded at run time. */
struct Loaded {
    std::string name;     /* as leftOpen() names it */
    std::string windows;  /* the file it was loaded from */
    HMODULE handle;
    int refs;
    bool comDatabase;     /* msports.dll of the system */
};
std::vector<Loaded> loaded; /* under machineLock() */
uintptr_t nextPlanted = 0x10000000;

std::string baseName(const std::string &path)
{
    size_t slash = path.find_last_of("\\/");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string folderOf(const std::string &path)
{
    size_t slash = path.rfind('\\');
    return slash == std::string::npos ? "" : path.substr(0, slash);
}

const Module *systemModuleNamed(const std::string &name)
{
    std::string n = baseName(name);
    for (auto &m : systemModules())
        if (iequals(m.file, n) ||
            iequals(std::string(m.file).substr(0, strlen(m.file) - 4), n))
            return &m;
    return nullptr;
}

/* The folder the system's DLLs of a 32-bit program are in: System32, or
 * SysWOW64 under WOW64; Windows 9x's is SYSTEM. */
std::string systemDllFolder()
{
    if (is9x())
        return "C:\\windows\\system";
    return runsUnderWow64() ? "C:\\windows\\SysWOW64" : "C:\\windows\\system32";
}

DWORD missingModuleError() { return is9x() ? ERROR_DLL_NOT_FOUND : ERROR_MOD_NOT_FOUND; }

HMODULE loadAt(const std::string &name, const std::string &windows, bool comDatabase)
{
    for (auto &l : loaded)
        if (l.refs > 0 && iequals(l.windows, windows)) {
            l.refs++;
            return l.handle;
        }
    HMODULE h = comDatabase ? comDatabaseModule : (HMODULE)nextPlanted;
    if (!comDatabase)
        nextPlanted += 0x10000;
    for (auto &l : loaded)
        if (l.handle == h) {
            l = Loaded{name, windows, h, 1, comDatabase};
            return h;
        }
    loaded.push_back(Loaded{name, windows, h, 1, comDatabase});
    return h;
}

/* The module at a full path the program's call reaches (WOW64's already
 * applied), loaded; nullptr if there is none. */
HMODULE moduleAt(const std::string &full)
{
    std::string base = baseName(full);
    if (iequals(folderOf(full), systemDllFolder())) {
        if (const Module *m = systemModuleNamed(base))
            return m->handle;
        if (iequals(base, "msports.dll") && hasComDatabase())
            return loadAt("msports.dll", full, true);
    }
    MappedPath m = mapPath(full);
    if (m.error || !hostIsFile(m.host))
        return nullptr;
    return loadAt(full, full, false);
}

Loaded *loadedModule(HMODULE h)
{
    for (auto &l : loaded)
        if (l.handle == h && l.refs > 0)
            return &l;
    return nullptr;
}

} // namespace

void resetModules()
{
    std::lock_guard<std::recursive_mutex> g(machineLock());
    loaded.clear();
    nextPlanted = 0x10000000;
}

std::vector<std::string> openModules()
{
    std::lock_guard<std::recursive_mutex> g(machineLock());
    std::vector<std::string> out;
    for (auto &l : loaded)
        if (l.refs > 0)
            out.push_back("module " + l.name);
    return out;
}

} // namespace detail
} // namespace standin

using namespace standin::detail;

extern "C" {

HMODULE WINAPI GetModuleHandleA(LPCSTR name)
{
    DWORD code;
    if (faultHits("GetModuleHandleA", name ? name : "", &code)) {
        SetLastError(code);
        return nullptr;
    }
    if (!name)
        return programModule();
    if (const Module *m = systemModuleNamed(name))
        return m->handle;
    std::string n = baseName(name);
    std::lock_guard<std::recursive_mutex> g(machineLock());
    for (auto &l : loaded)
        if (l.refs > 0 && (iequals(baseName(l.windows), n) || iequals(baseName(l.windows), n + ".dll")))
            return l.handle;
    std::string prog = machine().programPath;
    std::string progBase = baseName(prog);
    if (iequals(n, progBase) || iequals(n + ".exe", progBase))
        return programModule();
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
}

HMODULE WINAPI LoadLibraryA(LPCSTR name)
{
    unsigned long long mode;
    {
        std::lock_guard<std::recursive_mutex> g(machineLock());
        mode = machine().errorMode;
    }
    noteCall("LoadLibraryA", name ? name : "", {{"mode", mode}});
    DWORD code;
    if (faultHits("LoadLibraryA", name ? name : "", &code)) {
        SetLastError(code);
        return nullptr;
    }
    std::string file = name ? name : "";
    if (file.empty()) {
        SetLastError(missingModuleError());
        return nullptr;
    }
    std::string base = baseName(file);
    if (base.find('.') == std::string::npos)
        file += ".dll";
    std::lock_guard<std::recursive_mutex> g(machineLock());
    if (file.find_first_of("\\/:") == std::string::npos) {
        if (const Module *m = systemModuleNamed(file))
            return m->handle;
        std::string appFolder = folderOf(machine().programPath), cwd = machine().cwd;
        std::vector<std::string> dirs = {appFolder};
        bool safe = ntAtLeast(standin::WINXP); /* XP SP2 on: XP here is SP3 */
        if (!safe)
            dirs.push_back(cwd);
        /* The system folder (Windows 9x's is SYSTEM, as GetSystemDirectoryA
         * names it there), then NT's 16-bit one. */
        dirs.push_back(is9x() ? "C:\\windows\\system" : "C:\\windows\\system32");
        if (!is9x())
            dirs.push_back("C:\\windows\\system");
        dirs.push_back("C:\\windows");
        if (safe)
            dirs.push_back(cwd);
        bool found;
        std::string path = envGet("PATH", &found);
        for (size_t i = 0; found && i <= path.size();) {
            size_t j = path.find(';', i);
            if (j == std::string::npos)
                j = path.size();
            if (j > i)
                dirs.push_back(path.substr(i, j - i));
            i = j + 1;
        }
        for (const auto &dir : dirs) {
            DWORD err;
            std::string candidate = dir;
            candidate += '\\';
            candidate += file;
            std::string full = fullWindowsPath(candidate, &err);
            if (err)
                continue;
            if (HMODULE h = moduleAt(redirectFile(full)))
                return h;
        }
        SetLastError(missingModuleError());
        return nullptr;
    }
    DWORD err;
    std::string full = fullWindowsPath(file, &err);
    HMODULE h = err ? nullptr : moduleAt(redirectFile(full));
    if (!h)
        SetLastError(missingModuleError());
    return h;
}

BOOL WINAPI FreeLibrary(HMODULE module)
{
    std::lock_guard<std::recursive_mutex> g(machineLock());
    Loaded *l = loadedModule(module);
    DWORD code;
    if (faultHits("FreeLibrary", l ? l->name : "", &code)) {
        SetLastError(code);
        return FALSE;
    }
    for (auto &m : systemModules())
        if (m.handle == module)
            return TRUE;
    if (!l) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    l->refs--;
    return TRUE;
}

FARPROC WINAPI GetProcAddress(HMODULE module, LPCSTR name)
{
    DWORD code;
    if (faultHits("GetProcAddress", name && !IS_INTRESOURCE(name) ? name : "", &code)) {
        SetLastError(code);
        return nullptr;
    }
    const std::vector<Export> *exports = nullptr;
    for (auto &m : systemModules())
        if (m.handle == module)
            exports = &m.exports;
    if (!exports) {
        std::lock_guard<std::recursive_mutex> g(machineLock());
        Loaded *l = loadedModule(module);
        static const std::vector<Export> none;
        if (l)
            exports = l->comDatabase ? &comDatabaseExports() : &none;
    }
    if (!exports) {
        /* Windows 9x: ERROR_INVALID_HANDLE for a handle that is no module
         * (kernel32/tests/module.c W1.2:213-216). */
        SetLastError(module == programModule() ? ERROR_PROC_NOT_FOUND
                     : is9x()                  ? ERROR_INVALID_HANDLE
                                               : ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    if (name && !IS_INTRESOURCE(name))
        for (auto &e : *exports)
            if (strcmp(e.name, name) == 0 && exported(e.name))
                return e.proc;
    SetLastError(ERROR_PROC_NOT_FOUND);
    return nullptr;
}

} // extern "C"
