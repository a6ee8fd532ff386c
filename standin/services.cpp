/* services.cpp - the service manager over the registry's service key.
 *
 * A subkey of HKLM\System\CurrentControlSet\Services that has a "Type"
 * value is a service, so a machine can be given services by .reg text.
 * Whether a service runs is held here.
 *
 * A service's key is written as Windows' service manager writes it (the
 * "HKLM\SYSTEM\CurrentControlSet\Services Registry Tree" reference names
 * each value and its type): ImagePath is a REG_EXPAND_SZ; "ObjectName" is
 * the account a Win32 service runs as, LocalSystem when CreateService is
 * given none, and is not written for a driver given none ("If the service
 * type is SERVICE_KERNEL_DRIVER or SERVICE_FILE_SYSTEM_DRIVER, the name is
 * the driver object name that the system uses to load the device driver.
 * Specify NULL if the driver is to use a default object name created by
 * the I/O system", CreateService reference); no "PreshutdownTimeout" (a
 * setting of Vista and later that ChangeServiceConfig2 writes, never
 * CreateService).  Wine's service manager writes "ObjectName" and
 * "PreshutdownTimeout" for every service and ImagePath as REG_SZ: that is
 * Wine's, and the Wine runner shows it.
 *
 * DeleteService marks a service for deletion: "The database entry is not
 * removed until all open handles to the service have been closed by calls
 * to the CloseServiceHandle function, and the service is not running ...
 * If the service cannot be stopped, the database entry is removed when the
 * system is restarted" (DeleteService reference).  The mark is in its key:
 * "DeleteFlag"=dword:1, and its start type becomes SERVICE_DISABLED
 * ([MS-SCMR] Service Control Manager Remote Protocol, 3.1.4.3
 * RDeleteService).  While it is marked (advapi32/tests/service.c
 * W17:2404-2431): CreateServiceA of the name fails with
 * ERROR_SERVICE_MARKED_FOR_DELETE, also for a while after the last handle
 * is closed (W17:423-428, 2428-2431); OpenServiceA still opens it
 * (W17:417-420); ChangeServiceConfigA, StartServiceA and DeleteService fail
 * with ERROR_SERVICE_MARKED_FOR_DELETE (their reference pages list it);
 * ControlService works, as a running service must still be stopped, and
 * QueryServiceStatus.  The stand-in removes a marked Win32 service when
 * its last handle of this run is closed while it is stopped; a driver,
 * and a service marked with a handle held elsewhere (markServiceDeleted,
 * or a key imported with "DeleteFlag"=1), stay marked until Windows
 * restarts, which no run sees: the worse case. */
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
/* Services DeleteService marked in this run, removed at their last close. */
std::set<std::string> deletedHere;  /* lower-cased names */

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

bool markedForDeletion(const std::string &name)
{
    return dwordValue(name, "DeleteFlag", 0) == 1;
}

void markDeleted(const std::string &name)
{
    regSetValue(keyOf(name), "DeleteFlag", REG_DWORD, dwordBytes(1));
    regSetValue(keyOf(name), "Start", REG_DWORD, dwordBytes(SERVICE_DISABLED));
}

/* Whether another service than self has this display name, or this name:
 * ERROR_DUPLICATE_SERVICE_NAME, "The display name already exists in the
 * service control manager database either as a service name or as another
 * display name" (CreateService and ChangeServiceConfig references;
 * advapi32/tests/service.c W17:367-385, and W17:1919-1921, where a change
 * to a display name of its own is let through). */
bool displayNameTaken(const char *displayName, const std::string &self)
{
    if (!displayName || !*displayName)
        return false;
    for (auto &other : standin::services()) {
        if (iequals(other, self))
            continue;
        RegValue v;
        std::string shown =
            regGetValue(keyOf(other), "DisplayName", &v) ? std::string(v.data.c_str()) : other;
        if (iequals(shown, displayName) || iequals(other, displayName))
            return true;
    }
    return false;
}

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

/* Whether a user who is no administrator may have these rights (generic
 * ones mapped as newSvcHandle maps them; MAXIMUM_ALLOWED is given what he
 * may have). */
bool rightsAllowed(bool manager, DWORD access, DWORD *granted)
{
    DWORD allowed = manager ? managerRightsAllowed() : serviceRightsAllowed();
    DWORD asked = access;
    if (asked & GENERIC_ALL)
        asked |= manager ? SC_MANAGER_ALL_ACCESS : SERVICE_ALL_ACCESS;
    if (asked & GENERIC_READ)
        asked |= READ_CONTROL | (manager ? SC_MANAGER_ENUMERATE_SERVICE | SC_MANAGER_QUERY_LOCK_STATUS
                                         : SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS |
                                               SERVICE_ENUMERATE_DEPENDENTS | SERVICE_INTERROGATE);
    if (asked & GENERIC_WRITE)
        asked |= manager ? SC_MANAGER_CREATE_SERVICE | SC_MANAGER_MODIFY_BOOT_CONFIG
                         : SERVICE_CHANGE_CONFIG;
    if (asked & GENERIC_EXECUTE)
        asked |= manager ? SC_MANAGER_CONNECT | SC_MANAGER_LOCK
                         : SERVICE_START | SERVICE_STOP | SERVICE_PAUSE_CONTINUE |
                               SERVICE_USER_DEFINED_CONTROL;
    asked &= ~(DWORD)(GENERIC_ALL | GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE);
    if (asked & MAXIMUM_ALLOWED) {
        *granted = allowed == ~(DWORD)0 ? access : (asked & ~(DWORD)MAXIMUM_ALLOWED) | allowed;
        return (asked & ~(DWORD)MAXIMUM_ALLOWED & ~allowed) == 0;
    }
    *granted = access;
    return (asked & ~allowed) == 0;
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
    deletedHere.clear();
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

bool markServiceDeleted(const std::string &name)
{
    std::lock_guard<std::recursive_mutex> g(machineLock());
    if (!serviceExists(name))
        return false;
    markDeleted(name);
    return true;
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
    /* Windows 9x exports the service functions as stubs: OpenSCManagerA
     * fails with ERROR_CALL_NOT_IMPLEMENTED (advapi32/tests/service.c
     * W17:2517-2524). */
    if (!isNT()) {
        SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
        return nullptr;
    }
    if (database && strcmp(database, SERVICES_ACTIVE_DATABASEA) != 0) {
        SetLastError(strcmp(database, SERVICES_FAILED_DATABASEA) == 0
                         ? ERROR_ACCESS_DENIED
                         : ERROR_INVALID_NAME);
        return nullptr;
    }
    DWORD granted;
    if (!rightsAllowed(true, access, &granted)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    return newSvcHandle(true, "", granted | SC_MANAGER_CONNECT);
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
        SetLastError(markedForDeletion(n) ? ERROR_SERVICE_MARKED_FOR_DELETE : ERROR_SERVICE_EXISTS);
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
    if (displayNameTaken(displayName, n)) {
        SetLastError(ERROR_DUPLICATE_SERVICE_NAME);
        return nullptr;
    }
    const std::string key = keyOf(n);
    regCreatePath(key);
    if (displayName)
        regSetValue(key, "DisplayName", REG_SZ, sz(displayName));
    if (binaryPath)
        regSetValue(key, "ImagePath", REG_EXPAND_SZ, sz(binaryPath));
    if (loadOrderGroup && *loadOrderGroup)
        regSetValue(key, "Group", REG_SZ, sz(loadOrderGroup));
    if (startName && *startName)
        regSetValue(key, "ObjectName", REG_SZ, sz(startName));
    else if (win32)
        regSetValue(key, "ObjectName", REG_SZ, sz("LocalSystem"));
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
    DWORD granted;
    if (!rightsAllowed(false, access, &granted)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    std::string stored = regCanonical(keyOf(name));
    return newSvcHandle(false, stored.substr(stored.rfind('\\') + 1), granted);
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
    if (markedForDeletion(h->name)) {
        SetLastError(ERROR_SERVICE_MARKED_FOR_DELETE);
        return FALSE;
    }
    if (displayNameTaken(displayName, h->name)) {
        SetLastError(ERROR_DUPLICATE_SERVICE_NAME);
        return FALSE;
    }
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
        regSetValue(key, "ImagePath", REG_EXPAND_SZ, sz(binaryPath));
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
    if (markedForDeletion(h->name)) {
        SetLastError(ERROR_SERVICE_MARKED_FOR_DELETE);
        return FALSE;
    }
    std::string key = lower(h->name);
    if (running.count(key)) {
        SetLastError(ERROR_SERVICE_ALREADY_RUNNING);
        return FALSE;
    }
    if (dwordValue(h->name, "Start", SERVICE_DEMAND_START) == SERVICE_DISABLED) {
        SetLastError(ERROR_SERVICE_DISABLED);
        return FALSE;
    }
    /* The image is found by the system, not through WOW64: a 32-bit
     * program's copy into system32\drivers is in SysWOW64\drivers, where
     * no driver is looked for. */
    std::string host = imageHostFile(h->name);
    if (host.empty()) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return FALSE;
    }
    /* A 64-bit edition loads 64-bit drivers only, and every driver here is
     * the program's 32-bit one: its image format is refused
     * (STATUS_INVALID_IMAGE_FORMAT, ERROR_BAD_EXE_FORMAT).  Not recorded
     * by Wine's tests; Wine itself starts it in a 32-bit driver host. */
    DWORD type = dwordValue(h->name, "Type", SERVICE_KERNEL_DRIVER);
    if (runsUnderWow64() && (type & SERVICE_DRIVER)) {
        SetLastError(ERROR_BAD_EXE_FORMAT);
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
    if (markedForDeletion(h->name)) {
        SetLastError(ERROR_SERVICE_MARKED_FOR_DELETE);
        return FALSE;
    }
    markDeleted(h->name);
    if (!(dwordValue(h->name, "Type", SERVICE_KERNEL_DRIVER) & SERVICE_DRIVER))
        deletedHere.insert(lower(h->name));
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
    auto it = svcHandles.find((uintptr_t)handle);
    if (it == svcHandles.end()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    std::string name = it->second.manager ? "" : it->second.name;
    svcHandles.erase(it);
    /* A Win32 service marked in this run goes with its last handle, once
     * it is stopped. */
    if (!name.empty() && deletedHere.count(lower(name)) && !running.count(lower(name))) {
        bool open = false;
        for (auto &other : svcHandles)
            open = open || (!other.second.manager && iequals(other.second.name, name));
        if (!open) {
            regDeletePath(keyOf(name));
            deletedHere.erase(lower(name));
        }
    }
    return TRUE;
}

} // extern "C"
