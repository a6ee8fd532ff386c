/* services.cpp - the service manager over the registry's service key.
 *
 * A subkey of HKLM\System\CurrentControlSet\Services that has a "Type"
 * value is a service, so a machine can be given services by .reg text.
 * Whether a service runs is held here. */
#include "internal.h"

#include <cstring>
#include <map>
#include <set>

namespace standin {
namespace detail {

namespace {

const std::string servicesKey = "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services";

struct SvcHandle {
    bool manager;
    std::string name; /* service name as stored */
    DWORD access;
};

std::map<uintptr_t, SvcHandle> svcHandles;
uintptr_t nextSvcHandle = 0x5000;
std::set<std::string> running;      /* lower-cased names */
/* The host file each running driver was loaded from (lower-cased names). */
std::map<std::string, std::string> loadedFrom;
std::set<std::string> ignoresStop;  /* lower-cased names */

std::string keyOf(const std::string &name) { return servicesKey + "\\" + name; }

bool serviceExists(const std::string &name)
{
    RegValue v;
    return !name.empty() && name.find('\\') == std::string::npos &&
           regGetValue(keyOf(name), "Type", &v);
}

DWORD dwordValue(const std::string &name, const char *value, DWORD dflt)
{
    RegValue v;
    if (!regGetValue(keyOf(name), value, &v) || v.data.size() < 4)
        return dflt;
    DWORD d;
    memcpy(&d, v.data.data(), 4);
    return d;
}

std::string dwordBytes(DWORD d) { return std::string(reinterpret_cast<const char *>(&d), 4); }
std::string sz(const char *s) { return std::string(s) + '\0'; }

SC_HANDLE newSvcHandle(bool manager, const std::string &name, DWORD access)
{
    uintptr_t h = nextSvcHandle;
    nextSvcHandle += 4;
    if (access & (GENERIC_ALL | MAXIMUM_ALLOWED))
        access |= manager ? SC_MANAGER_ALL_ACCESS : SERVICE_ALL_ACCESS;
    if (access & GENERIC_READ)
        access |= manager ? SC_MANAGER_ENUMERATE_SERVICE | SC_MANAGER_QUERY_LOCK_STATUS
                          : SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS |
                                SERVICE_ENUMERATE_DEPENDENTS | SERVICE_INTERROGATE;
    if (access & GENERIC_WRITE)
        access |= manager ? SC_MANAGER_CREATE_SERVICE | SC_MANAGER_MODIFY_BOOT_CONFIG
                          : SERVICE_CHANGE_CONFIG;
    if (access & GENERIC_EXECUTE)
        access |= manager ? SC_MANAGER_CONNECT | SC_MANAGER_LOCK
                          : SERVICE_START | SERVICE_STOP | SERVICE_PAUSE_CONTINUE |
                                SERVICE_USER_DEFINED_CONTROL;
    svcHandles[h] = SvcHandle{manager, name, access};
    return (SC_HANDLE)h;
}

/* The handle's record, or nullptr with the last error set. */
SvcHandle *lookup(SC_HANDLE h, bool manager, DWORD need)
{
    auto it = svcHandles.find((uintptr_t)h);
    if (it == svcHandles.end() || it->second.manager != manager) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if ((it->second.access & need) != need) {
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    return &it->second;
}

std::string subjectOf(SC_HANDLE h)
{
    auto it = svcHandles.find((uintptr_t)h);
    return it == svcHandles.end() ? "" : it->second.name;
}

/* The opening steps every call on a service handle takes: the injected
 * fault for api, then the handle with the access the call needs, then the
 * service itself still installed.  nullptr (last error set) when one fails. */
SvcHandle *serviceFor(const char *api, SC_HANDLE service, DWORD need)
{
    DWORD code;
    if (faultHits(api, subjectOf(service), &code)) {
        SetLastError(code);
        return nullptr;
    }
    SvcHandle *h = lookup(service, false, need);
    if (!h)
        return nullptr;
    if (!serviceExists(h->name)) {
        SetLastError(ERROR_SERVICE_MARKED_FOR_DELETE);
        return nullptr;
    }
    return h;
}

void fillStatus(const std::string &name, LPSERVICE_STATUS status)
{
    if (!status)
        return;
    bool on = running.count(lower(name)) > 0;
    memset(status, 0, sizeof *status);
    status->dwServiceType = dwordValue(name, "Type", SERVICE_KERNEL_DRIVER);
    status->dwCurrentState = on ? SERVICE_RUNNING : SERVICE_STOPPED;
    status->dwControlsAccepted = on ? SERVICE_ACCEPT_STOP : 0;
}

/* The image file of a service as a Windows path: "\SystemRoot\" and
 * "%SystemRoot%" stand for the Windows folder, a relative path is taken
 * from it, "\??\" is dropped. */
std::string imageFile(const std::string &imagePath)
{
    bool found;
    std::string root = envGet("SystemRoot", &found);
    if (!found)
        root = "C:\\windows";
    std::string p = imagePath;
    char buf[1024];
    DWORD n = ExpandEnvironmentStringsA(p.c_str(), buf, sizeof buf);
    if (n > 0 && n <= sizeof buf)
        p = buf;
    if (p.size() >= 2 && p[0] == '"') {
        size_t q = p.find('"', 1);
        p = p.substr(1, q == std::string::npos ? std::string::npos : q - 1);
    }
    if (p.compare(0, 4, "\\??\\") == 0)
        return p.substr(4);
    if (p.size() >= 12 && iequals(p.substr(0, 12), "\\SystemRoot\\"))
        return root + p.substr(11);
    if (p.size() >= 2 && p[1] == ':')
        return p;
    return root + "\\" + p;
}

/* The host file a service's driver is loaded from ("" if none). */
std::string imageHostFile(const std::string &name)
{
    RegValue image;
    std::string file = regGetValue(keyOf(name), "ImagePath", &image)
                           ? imageFile(image.data.c_str())
                           : imageFile("System32\\drivers\\" + name + ".sys");
    MappedPath m = mapPath(file);
    return m.error || !hostIsFile(m.host) ? std::string() : m.host;
}

void setRunning(const std::string &name, const std::string &hostFile)
{
    running.insert(lower(name));
    loadedFrom[lower(name)] = hostFile;
}

void setStopped(const std::string &name)
{
    running.erase(lower(name));
    loadedFrom.erase(lower(name));
}

} // namespace

bool isLoadedDriverFile(const std::string &hostFile)
{
    std::lock_guard<std::recursive_mutex> g(machineLock());
    for (auto &entry : loadedFrom)
        if (!entry.second.empty() && entry.second == hostFile)
            return true;
    return false;
}

void resetServices()
{
    std::lock_guard<std::recursive_mutex> g(machineLock());
    svcHandles.clear();
    nextSvcHandle = 0x5000;
    running.clear();
    loadedFrom.clear();
    ignoresStop.clear();
}

} // namespace detail

using namespace detail;

ServiceState serviceState(const std::string &name)
{
    std::lock_guard<std::recursive_mutex> g(machineLock());
    if (!serviceExists(name))
        return SVC_ABSENT;
    return running.count(lower(name)) ? SVC_RUNNING : SVC_STOPPED;
}

void setServiceIgnoresStop(const std::string &name, bool ignores)
{
    std::lock_guard<std::recursive_mutex> g(machineLock());
    if (ignores)
        ignoresStop.insert(lower(name));
    else
        ignoresStop.erase(lower(name));
}

void setServiceRunning(const std::string &name, bool on)
{
    std::lock_guard<std::recursive_mutex> g(machineLock());
    if (on)
        setRunning(name, imageHostFile(name));
    else
        setStopped(name);
}

std::vector<std::string> services()
{
    std::vector<std::string> out;
    for (auto &n : regSubkeyNames(servicesKey))
        if (serviceExists(n))
            out.push_back(n);
    return out;
}

int openServiceHandles()
{
    std::lock_guard<std::recursive_mutex> g(machineLock());
    return (int)svcHandles.size();
}

namespace detail {
std::vector<std::string> openServiceHandleNames()
{
    std::lock_guard<std::recursive_mutex> g(machineLock());
    std::vector<std::string> out;
    for (auto &h : svcHandles)
        out.push_back(h.second.manager ? "service manager" : "service " + h.second.name);
    return out;
}
} // namespace detail

} // namespace standin

using namespace standin::detail;

extern "C" {

SC_HANDLE WINAPI OpenSCManagerA(LPCSTR machineName, LPCSTR database, DWORD access)
{
    std::lock_guard<std::recursive_mutex> g(machineLock());
    noteCall("OpenSCManagerA", "", {{"access", access}});
    DWORD code;
    if (faultHits("OpenSCManagerA", "", &code)) {
        SetLastError(code);
        return nullptr;
    }
    if (machineName && *machineName) {
        SetLastError(ERROR_INVALID_NAME); /* no other machines on this network */
        return nullptr;
    }
    if (database && strcmp(database, SERVICES_ACTIVE_DATABASEA) != 0) {
        SetLastError(strcmp(database, SERVICES_FAILED_DATABASEA) == 0
                         ? ERROR_ACCESS_DENIED
                         : ERROR_INVALID_NAME);
        return nullptr;
    }
    return newSvcHandle(true, "", access | SC_MANAGER_CONNECT);
}

SC_HANDLE WINAPI CreateServiceA(SC_HANDLE manager, LPCSTR name, LPCSTR displayName, DWORD access,
                                DWORD type, DWORD start, DWORD errorControl, LPCSTR binaryPath,
                                LPCSTR loadOrderGroup, LPDWORD tagId, LPCSTR dependencies,
                                LPCSTR startName, LPCSTR password)
{
    std::lock_guard<std::recursive_mutex> g(machineLock());
    (void)password;
    noteCall("CreateServiceA", name ? name : "",
             {{"access", access}, {"type", type}, {"start", start}, {"error", errorControl}});
    DWORD code;
    if (faultHits("CreateServiceA", name ? name : "", &code)) {
        SetLastError(code);
        return nullptr;
    }
    if (!lookup(manager, true, SC_MANAGER_CREATE_SERVICE))
        return nullptr;
    if (!name) {
        SetLastError(ERROR_INVALID_ADDRESS);
        return nullptr;
    }
    std::string n = name;
    if (n.empty() || n.find('\\') != std::string::npos || n.find('/') != std::string::npos) {
        SetLastError(ERROR_INVALID_NAME);
        return nullptr;
    }
    if (serviceExists(n)) {
        SetLastError(ERROR_SERVICE_EXISTS);
        return nullptr;
    }
    bool driver = type == SERVICE_KERNEL_DRIVER || type == SERVICE_FILE_SYSTEM_DRIVER;
    bool win32 = (type & ~SERVICE_INTERACTIVE_PROCESS) == SERVICE_WIN32_OWN_PROCESS ||
                 (type & ~SERVICE_INTERACTIVE_PROCESS) == SERVICE_WIN32_SHARE_PROCESS;
    if ((!driver && !win32) || start > SERVICE_DISABLED || errorControl > SERVICE_ERROR_CRITICAL ||
        (win32 && start <= SERVICE_SYSTEM_START) || (win32 && (!binaryPath || !*binaryPath))) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (displayName && *displayName)
        for (auto &other : standin::services()) {
            RegValue v;
            if (regGetValue(keyOf(other), "DisplayName", &v) &&
                iequals(std::string(v.data.c_str()), displayName)) {
                SetLastError(ERROR_DUPLICATE_SERVICE_NAME);
                return nullptr;
            }
        }
    const std::string key = keyOf(n);
    regCreatePath(key);
    if (displayName)
        regSetValue(key, "DisplayName", REG_SZ, sz(displayName));
    if (binaryPath)
        regSetValue(key, "ImagePath", REG_SZ, sz(binaryPath));
    if (loadOrderGroup && *loadOrderGroup)
        regSetValue(key, "Group", REG_SZ, sz(loadOrderGroup));
    regSetValue(key, "ObjectName", REG_SZ, sz(startName && *startName ? startName : "LocalSystem"));
    if (dependencies && *dependencies) {
        const char *p = dependencies;
        while (*p)
            p += strlen(p) + 1;
        regSetValue(key, "DependOnService", REG_MULTI_SZ,
                    std::string(dependencies, (size_t)(p - dependencies) + 1));
    }
    regSetValue(key, "Start", REG_DWORD, dwordBytes(start));
    regSetValue(key, "ErrorControl", REG_DWORD, dwordBytes(errorControl));
    regSetValue(key, "Type", REG_DWORD, dwordBytes(type));
    regSetValue(key, "PreshutdownTimeout", REG_DWORD, dwordBytes(180000));
    if (tagId)
        *tagId = 0;
    return newSvcHandle(false, n, access);
}

SC_HANDLE WINAPI OpenServiceA(SC_HANDLE manager, LPCSTR name, DWORD access)
{
    std::lock_guard<std::recursive_mutex> g(machineLock());
    noteCall("OpenServiceA", name ? name : "", {{"access", access}});
    DWORD code;
    if (faultHits("OpenServiceA", name ? name : "", &code)) {
        SetLastError(code);
        return nullptr;
    }
    if (!lookup(manager, true, SC_MANAGER_CONNECT))
        return nullptr;
    if (!name) {
        SetLastError(ERROR_INVALID_ADDRESS);
        return nullptr;
    }
    if (!serviceExists(name)) {
        SetLastError(*name ? ERROR_SERVICE_DOES_NOT_EXIST : ERROR_INVALID_NAME);
        return nullptr;
    }
    std::string stored = regCanonical(keyOf(name));
    return newSvcHandle(false, stored.substr(stored.rfind('\\') + 1), access);
}

BOOL WINAPI ControlService(SC_HANDLE service, DWORD control, LPSERVICE_STATUS status)
{
    std::lock_guard<std::recursive_mutex> g(machineLock());
    DWORD need = control == SERVICE_CONTROL_STOP ? SERVICE_STOP
                 : control == SERVICE_CONTROL_INTERROGATE ? SERVICE_INTERROGATE
                 : control == SERVICE_CONTROL_PAUSE || control == SERVICE_CONTROL_CONTINUE
                     ? SERVICE_PAUSE_CONTINUE
                     : SERVICE_USER_DEFINED_CONTROL;
    noteCall("ControlService", subjectOf(service), {{"control", control}});
    SvcHandle *h = serviceFor("ControlService", service, need);
    if (!h)
        return FALSE;
    std::string key = lower(h->name);
    if (!running.count(key)) {
        fillStatus(h->name, status);
        SetLastError(ERROR_SERVICE_NOT_ACTIVE);
        return FALSE;
    }
    if (control == SERVICE_CONTROL_STOP) {
        if (ignoresStop.count(key)) {
            fillStatus(h->name, status);
            SetLastError(ERROR_SERVICE_REQUEST_TIMEOUT);
            return FALSE;
        }
        setStopped(key);
    } else if (control != SERVICE_CONTROL_INTERROGATE) {
        fillStatus(h->name, status);
        SetLastError(ERROR_INVALID_SERVICE_CONTROL);
        return FALSE;
    }
    fillStatus(h->name, status);
    return TRUE;
}

BOOL WINAPI ChangeServiceConfigA(SC_HANDLE service, DWORD type, DWORD start, DWORD errorControl,
                                 LPCSTR binaryPath, LPCSTR loadOrderGroup, LPDWORD tagId,
                                 LPCSTR dependencies, LPCSTR startName, LPCSTR password,
                                 LPCSTR displayName)
{
    std::lock_guard<std::recursive_mutex> g(machineLock());
    (void)password;
    noteCall("ChangeServiceConfigA", subjectOf(service),
             {{"type", type}, {"start", start}, {"error", errorControl}});
    SvcHandle *h = serviceFor("ChangeServiceConfigA", service, SERVICE_CHANGE_CONFIG);
    if (!h)
        return FALSE;
    if ((start != SERVICE_NO_CHANGE && start > SERVICE_DISABLED) ||
        (errorControl != SERVICE_NO_CHANGE && errorControl > SERVICE_ERROR_CRITICAL)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const std::string key = keyOf(h->name);
    if (type != SERVICE_NO_CHANGE)
        regSetValue(key, "Type", REG_DWORD, dwordBytes(type));
    if (start != SERVICE_NO_CHANGE)
        regSetValue(key, "Start", REG_DWORD, dwordBytes(start));
    if (errorControl != SERVICE_NO_CHANGE)
        regSetValue(key, "ErrorControl", REG_DWORD, dwordBytes(errorControl));
    if (binaryPath)
        regSetValue(key, "ImagePath", REG_SZ, sz(binaryPath));
    if (loadOrderGroup)
        regSetValue(key, "Group", REG_SZ, sz(loadOrderGroup));
    if (dependencies) {
        const char *p = dependencies;
        while (*p)
            p += strlen(p) + 1;
        regSetValue(key, "DependOnService", REG_MULTI_SZ,
                    std::string(dependencies, (size_t)(p - dependencies) + 1));
    }
    if (startName)
        regSetValue(key, "ObjectName", REG_SZ, sz(startName));
    if (displayName)
        regSetValue(key, "DisplayName", REG_SZ, sz(displayName));
    if (tagId)
        *tagId = 0;
    return TRUE;
}

BOOL WINAPI StartServiceA(SC_HANDLE service, DWORD argc, LPCSTR *argv)
{
    std::lock_guard<std::recursive_mutex> g(machineLock());
    (void)argc;
    (void)argv;
    noteCall("StartServiceA", subjectOf(service), {{"argc", argc}});
    SvcHandle *h = serviceFor("StartServiceA", service, SERVICE_START);
    if (!h)
        return FALSE;
    std::string key = lower(h->name);
    if (running.count(key)) {
        SetLastError(ERROR_SERVICE_ALREADY_RUNNING);
        return FALSE;
    }
    if (dwordValue(h->name, "Start", SERVICE_DEMAND_START) == SERVICE_DISABLED) {
        SetLastError(ERROR_SERVICE_DISABLED);
        return FALSE;
    }
    std::string host = imageHostFile(h->name);
    if (host.empty()) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return FALSE;
    }
    setRunning(key, host);
    return TRUE;
}

BOOL WINAPI QueryServiceStatus(SC_HANDLE service, LPSERVICE_STATUS status)
{
    std::lock_guard<std::recursive_mutex> g(machineLock());
    DWORD code;
    if (faultHits("QueryServiceStatus", subjectOf(service), &code)) {
        SetLastError(code);
        return FALSE;
    }
    SvcHandle *h = lookup(service, false, SERVICE_QUERY_STATUS);
    if (!h)
        return FALSE;
    if (!status) {
        SetLastError(ERROR_INVALID_ADDRESS);
        return FALSE;
    }
    fillStatus(h->name, status);
    return TRUE;
}

BOOL WINAPI DeleteService(SC_HANDLE service)
{
    std::lock_guard<std::recursive_mutex> g(machineLock());
    SvcHandle *h = serviceFor("DeleteService", service, DELETE);
    if (!h)
        return FALSE;
    regDeletePath(keyOf(h->name));
    setStopped(h->name);
    return TRUE;
}

BOOL WINAPI CloseServiceHandle(SC_HANDLE handle)
{
    std::lock_guard<std::recursive_mutex> g(machineLock());
    DWORD code;
    if (faultHits("CloseServiceHandle", subjectOf(handle), &code)) {
        SetLastError(code);
        return FALSE;
    }
    if (!svcHandles.erase((uintptr_t)handle)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

} // extern "C"
