/* machine.cpp - the machine as a whole: reset, version record,
 * environment and the Windows folders. */
#include "internal.h"

#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace standin {
namespace detail {

Machine &machine()
{
    static Machine m;
    return m;
}

std::recursive_mutex &machineLock()
{
    static std::recursive_mutex m;
    return m;
}

std::string envGet(const std::string &name, bool *found)
{
    std::lock_guard<std::recursive_mutex> g(machineLock());
    for (auto &kv : machine().env)
        if (iequals(kv.first, name)) {
            *found = true;
            return kv.second;
        }
    *found = false;
    return "";
}

namespace {
void envSet(const std::string &name, const std::string *value)
{
    std::lock_guard<std::recursive_mutex> g(machineLock());
    auto &env = machine().env;
    for (size_t i = 0; i < env.size(); i++)
        if (iequals(env[i].first, name)) {
            if (value)
                env[i].second = *value;
            else
                env.erase(env.begin() + (long)i);
            return;
        }
    if (value)
        env.emplace_back(name, *value);
}

void resetMachine(const std::string &rootFolder)
{
    resetKernel(); /* first: threads of the old machine may still use it */
    std::lock_guard<std::recursive_mutex> g(machineLock());
    Machine &m = machine();
    if (m.ownRoot && !m.root.empty())
        removeTree(m.root);
    Machine fresh;
    if (rootFolder.empty()) {
        const char *tmp = getenv("TMPDIR");
        std::string templ = std::string(tmp && *tmp ? tmp : "/tmp") + "/standin-c-XXXXXX";
        std::vector<char> buf(templ.begin(), templ.end());
        buf.push_back(0);
        if (!mkdtemp(buf.data())) {
            perror("standin: mkdtemp");
            abort();
        }
        fresh.root = buf.data();
        fresh.ownRoot = true;
        makeDirs(fresh.root + "/windows");
        makeDirs(fresh.root + "/setup");
    } else {
        fresh.root = rootFolder;
        while (fresh.root.size() > 1 && fresh.root.back() == '/')
            fresh.root.pop_back();
    }
    fresh.env = {{"WINDIR", "C:\\windows"}, {"SystemRoot", "C:\\windows"}};
    m = fresh;
    resetRegistry();
    resetServices();
    resetWindows();
    resetAnswers();
    resetFaults();
    resetAsked();
    forgetOpenFiles();
    resetModules();
    resetComDatabase();
    resetEvents();
}

struct VersionRecord {
    DWORD major, minor, build, platform;
    const char *csd;
};

/* What each version reports to GetVersionExA, in the order of Version.
 * Windows 95 to NT 4.0 and Win32s as Wine reports them.  The later ones
 * are the last service pack of each, as Windows reports itself: 98 Second
 * Edition 4.10.2222 " A " (Wine's win98 is that edition), ME 4.90.3000,
 * 2000 SP4 5.0.2195, XP SP3 5.1.2600, Server 2003 SP2 5.2.3790, Vista SP2
 * 6.0.6002, 7 SP1 6.1.7601; 8, 8.1 and 10 all 6.2.9200, as Windows 8.1
 * and 10 report Windows 8's version to a program whose manifest does not
 * name them (GetVersionEx reference: "Applications not manifested for
 * Windows 8.1 or Windows 10 will return the Windows 8 OS version value
 * (6.2)"; install.exe's manifest names no operating system).  The Windows
 * 9x build number carries the version in its high word.  Wine reports
 * the same (/work/shared/notes/wine.md, dlls/ntdll/version.c). */
const VersionRecord versionRecords[] = {
    {4, 0, 0x40003B6, VER_PLATFORM_WIN32_WINDOWS, ""},         /* WIN95 */
    {3, 51, 0x421, VER_PLATFORM_WIN32_NT, "Service Pack 5"},   /* NT351 */
    {4, 0, 0x565, VER_PLATFORM_WIN32_NT, "Service Pack 6a"},   /* NT40 */
    {3, 10, 0, VER_PLATFORM_WIN32s, "Win32s 1.3"},             /* WIN31 */
    {4, 10, 0x40A08AE, VER_PLATFORM_WIN32_WINDOWS, " A "},     /* WIN98, 4.10.2222 */
    {4, 90, 0x45A0BB8, VER_PLATFORM_WIN32_WINDOWS, " "},       /* WINME, 4.90.3000 */
    {5, 0, 2195, VER_PLATFORM_WIN32_NT, "Service Pack 4"},     /* WIN2K */
    {5, 1, 2600, VER_PLATFORM_WIN32_NT, "Service Pack 3"},     /* WINXP */
    {5, 2, 3790, VER_PLATFORM_WIN32_NT, "Service Pack 2"},     /* WIN2003 */
    {6, 0, 6002, VER_PLATFORM_WIN32_NT, "Service Pack 2"},     /* VISTA */
    {6, 1, 7601, VER_PLATFORM_WIN32_NT, "Service Pack 1"},     /* WIN7 */
    {6, 2, 9200, VER_PLATFORM_WIN32_NT, ""},                   /* WIN8 */
    {6, 2, 9200, VER_PLATFORM_WIN32_NT, ""},                   /* WIN81, as 8 */
    {6, 2, 9200, VER_PLATFORM_WIN32_NT, ""},                   /* WIN10, as 8 */
};
static_assert(sizeof versionRecords / sizeof versionRecords[0] == standin::WIN10 + 1,
              "a version record for every Version");

/* The NT family in the order of release (0: not NT). */
int ntRank(Version v)
{
    switch (v) {
    case standin::NT351: return 1;
    case standin::NT40: return 2;
    case standin::WIN2K: return 3;
    case standin::WINXP: return 4;
    case standin::WIN2003: return 5;
    case standin::VISTA: return 6;
    case standin::WIN7: return 7;
    case standin::WIN8: return 8;
    case standin::WIN81: return 9;
    case standin::WIN10: return 10;
    default: return 0;
    }
}

/* Removes the temporary drive when the process ends.  It makes the
 * machine first, so that the machine is destroyed after it, not before. */
struct RootCleaner {
    RootCleaner() { machine(); }
    ~RootCleaner()
    {
        Machine &m = machine();
        if (m.ownRoot && !m.root.empty())
            removeTree(m.root);
    }
} rootCleaner;
} // namespace

Version currentVersion()
{
    std::lock_guard<std::recursive_mutex> g(machineLock());
    return machine().version;
}

bool isNT() { return ntRank(currentVersion()) > 0; }

bool is9x()
{
    Version v = currentVersion();
    return v == standin::WIN95 || v == standin::WIN98 || v == standin::WINME;
}

bool ntAtLeast(Version v)
{
    int rank = ntRank(currentVersion());
    return rank > 0 && rank >= ntRank(v);
}

bool runsUnderWow64()
{
    std::lock_guard<std::recursive_mutex> g(machineLock());
    /* 64-bit editions: Server 2003 (x64, SP1 on), Vista and later.  XP's
     * x64 edition is Server 2003's code (5.2) and not a version here. */
    return machine().wow64 && ntRank(machine().version) >= ntRank(standin::WIN2003);
}

bool limitedUser()
{
    std::lock_guard<std::recursive_mutex> g(machineLock());
    return machine().limitedUser && ntRank(machine().version) > 0;
}

/* msports.dll came with Windows 2000 (the COM port database of Plug and
 * Play serial ports); NT 3.51, 4.0 and Windows 9x have none. */
bool hasComDatabase()
{
    std::lock_guard<std::recursive_mutex> g(machineLock());
    return machine().comdb != standin::COMDB_NONE &&
           ntRank(machine().version) >= ntRank(standin::WIN2K);
}

bool comDatabaseFaults()
{
    std::lock_guard<std::recursive_mutex> g(machineLock());
    return machine().comdb == standin::COMDB_FAULTING;
}

} // namespace detail

using namespace detail;

void reset() { resetMachine(""); }
void reset(const std::string &driveRootFolder) { resetMachine(driveRootFolder); }

void setVersion(Version v)
{
    std::lock_guard<std::recursive_mutex> g(machineLock());
    machine().version = v;
}

void setWow64(bool on)
{
    std::lock_guard<std::recursive_mutex> g(machineLock());
    machine().wow64 = on;
}

void setComDatabase(ComDatabaseState state)
{
    std::lock_guard<std::recursive_mutex> g(machineLock());
    machine().comdb = state;
}

void setLimitedUser(bool limited)
{
    std::lock_guard<std::recursive_mutex> g(machineLock());
    machine().limitedUser = limited;
}

void setCommandLine(const std::string &cmdline)
{
    std::lock_guard<std::recursive_mutex> g(machineLock());
    machine().cmdline = cmdline;
}

void setEnv(const std::string &name, const std::string &value) { envSet(name, &value); }
void unsetEnv(const std::string &name) { envSet(name, nullptr); }

} // namespace standin

using namespace standin::detail;

extern "C" {

BOOL WINAPI GetVersionExA(LPOSVERSIONINFOA info)
{
    DWORD code;
    if (faultHits("GetVersionExA", "", &code)) {
        SetLastError(code);
        return FALSE;
    }
    if (!info || info->dwOSVersionInfoSize != sizeof(OSVERSIONINFOA)) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    std::lock_guard<std::recursive_mutex> g(machineLock());
    const VersionRecord &r = versionRecords[machine().version];
    info->dwMajorVersion = r.major;
    info->dwMinorVersion = r.minor;
    info->dwBuildNumber = r.build;
    info->dwPlatformId = r.platform;
    memset(info->szCSDVersion, 0, sizeof info->szCSDVersion);
    strcpy(info->szCSDVersion, r.csd);
    return TRUE;
}

DWORD WINAPI GetVersion(void)
{
    std::lock_guard<std::recursive_mutex> g(machineLock());
    const VersionRecord &r = versionRecords[machine().version];
    DWORD v = r.major | (r.minor << 8);
    if (r.platform == VER_PLATFORM_WIN32_NT)
        return v | ((r.build & 0x7fff) << 16);
    return v | 0x80000000u | ((r.build & 0x7fff) << 16);
}

DWORD WINAPI GetEnvironmentVariableA(LPCSTR name, LPSTR buffer, DWORD size)
{
    noteCall("GetEnvironmentVariableA", name ? name : "", {{"size", size}});
    DWORD code;
    if (faultHits("GetEnvironmentVariableA", name ? name : "", &code)) {
        SetLastError(code);
        return 0;
    }
    /* Names are matched without regard to case on every version, Windows
     * 9x too: Wine's conformance test has asked for "sOMEwILDnAME" what
     * was set as "SomeWildName" since 2002, on the Windows 9x machines of
     * its test runs as on NT (kernel32/tests/environ.c W17:98, 124-127). */
    bool found = false;
    std::string value = name ? envGet(name, &found) : std::string();
    if (!found) {
        SetLastError(ERROR_ENVVAR_NOT_FOUND);
        return 0;
    }
    if (value.size() >= size || !buffer)
        return (DWORD)value.size() + 1;
    memcpy(buffer, value.c_str(), value.size() + 1);
    SetLastError(ERROR_SUCCESS);
    return (DWORD)value.size();
}

LPCH WINAPI GetEnvironmentStrings(void)
{
    noteCall("GetEnvironmentStrings", "", {});
    DWORD code;
    if (faultHits("GetEnvironmentStrings", "", &code)) {
        SetLastError(code);
        return nullptr;
    }
    /* "NAME=value" entries, each ended by a NUL, and a NUL after the last.
     * Each call gets a block of its own, exactly that long (NT hands out a
     * copy; a reader that runs past the end is caught by the sanitizers). */
    std::lock_guard<std::recursive_mutex> g(machineLock());
    auto block = std::make_shared<std::vector<char>>();
    for (auto &kv : machine().env) {
        std::string entry = kv.first + "=" + kv.second;
        block->insert(block->end(), entry.begin(), entry.end());
        block->push_back('\0');
    }
    block->push_back('\0');
    machine().envBlocks.push_back(block);
    return block->data();
}

BOOL WINAPI SetEnvironmentVariableA(LPCSTR name, LPCSTR value)
{
    DWORD code;
    if (faultHits("SetEnvironmentVariableA", name ? name : "", &code)) {
        SetLastError(code);
        return FALSE;
    }
    if (!name || !*name || strchr(name, '=')) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (value)
        standin::setEnv(name, value);
    else
        standin::unsetEnv(name);
    return TRUE;
}

DWORD WINAPI ExpandEnvironmentStringsA(LPCSTR src, LPSTR dst, DWORD size)
{
    std::string in = src ? src : "", out;
    size_t i = 0;
    while (i < in.size()) {
        size_t end;
        if (in[i] == '%' && (end = in.find('%', i + 1)) != std::string::npos) {
            bool found;
            std::string v = envGet(in.substr(i + 1, end - i - 1), &found);
            if (found) {
                out += v;
                i = end + 1;
                continue;
            }
            out += in.substr(i, end - i);
            i = end;
            continue;
        }
        out += in[i++];
    }
    if (dst && out.size() < size)
        memcpy(dst, out.c_str(), out.size() + 1);
    return (DWORD)out.size() + 1;
}

UINT WINAPI GetWindowsDirectoryA(LPSTR buffer, UINT size)
{
    const std::string dir = "C:\\windows";
    if (!buffer || dir.size() >= size)
        return (UINT)dir.size() + 1;
    memcpy(buffer, dir.c_str(), dir.size() + 1);
    return (UINT)dir.size();
}

/* Windows 9x's system folder is SYSTEM, NT's SYSTEM32; under WOW64 a
 * 32-bit program is still told System32 ("File System Redirector"), which
 * its file calls then reach as SysWOW64. */
UINT WINAPI GetSystemDirectoryA(LPSTR buffer, UINT size)
{
    noteCall("GetSystemDirectoryA", "", {{"size", size}});
    DWORD code;
    if (faultHits("GetSystemDirectoryA", "", &code)) {
        SetLastError(code);
        return 0;
    }
    const std::string dir = is9x() ? "C:\\windows\\system" : "C:\\windows\\system32";
    if (!buffer || dir.size() >= size)
        return (UINT)dir.size() + 1;
    memcpy(buffer, dir.c_str(), dir.size() + 1);
    return (UINT)dir.size();
}

} // extern "C"
