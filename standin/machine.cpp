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
    resetEvents();
}

struct VersionRecord {
    DWORD major, minor, build, platform;
    const char *csd;
};

/* What Wine reports for each version setting. */
const VersionRecord versionRecords[] = {
    {4, 0, 0x40003B6, VER_PLATFORM_WIN32_WINDOWS, ""},  /* win95 */
    {3, 51, 0x421, VER_PLATFORM_WIN32_NT, "Service Pack 5"},   /* nt351 */
    {4, 0, 0x565, VER_PLATFORM_WIN32_NT, "Service Pack 6a"},   /* nt40 */
    {3, 10, 0, VER_PLATFORM_WIN32s, "Win32s 1.3"},             /* win31 */
};

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

} // namespace detail

using namespace detail;

void reset() { resetMachine(""); }
void reset(const std::string &driveRootFolder) { resetMachine(driveRootFolder); }

void setVersion(Version v)
{
    std::lock_guard<std::recursive_mutex> g(machineLock());
    machine().version = v;
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
    bool found = false;
    std::string value;
    {
        std::lock_guard<std::recursive_mutex> g(machineLock());
        /* NT compares names without regard to case.  Whether the first
         * Windows 95 does is not documented; the worse case: it matches
         * them with case, so "WINDIR" misses its own "windir". */
        bool withCase = machine().version == standin::WIN95;
        for (auto &kv : machine().env)
            if (name && (withCase ? kv.first == name : iequals(kv.first, name))) {
                found = true;
                value = kv.second;
                break;
            }
    }
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

UINT WINAPI GetSystemDirectoryA(LPSTR buffer, UINT size)
{
    const std::string dir = "C:\\windows\\system32";
    if (!buffer || dir.size() >= size)
        return (UINT)dir.size() + 1;
    memcpy(buffer, dir.c_str(), dir.size() + 1);
    return (UINT)dir.size();
}

} // extern "C"
