/* access.cpp - what a user who is no administrator may do (setLimitedUser):
 * a member of Users on Windows XP, by the default permissions XP gives.
 *
 * - HKEY_LOCAL_MACHINE: Users may read it (query, enumerate, notify, read
 *   the security, KEY_READ) and not write it: no value set, no subkey
 *   created, no key deleted, no security changed.  An open or create that
 *   asks for any of those rights is refused with ERROR_ACCESS_DENIED;
 *   MAXIMUM_ALLOWED is given KEY_READ (RegOpenKeyEx reference: the call
 *   fails when the security of the key does not allow the access asked;
 *   "Registry Key Security and Access Rights").  The registry's default
 *   security on XP (HKLM\SOFTWARE and HKLM\SYSTEM: Users Read).
 * - The Windows folder and everything below it, and C:\Program Files: Users
 *   may read and run them (Read & Execute), not write them: no file created
 *   or written, copied in, deleted or given other attributes, no folder
 *   made (ERROR_ACCESS_DENIED).  %windir%\Temp is the exception: Users may
 *   create files and folders there.  The file system's default security
 *   on XP.
 * - The service manager: "Service Security and Access Rights" grants local
 *   authenticated users SC_MANAGER_CONNECT, SC_MANAGER_ENUMERATE_SERVICE,
 *   SC_MANAGER_QUERY_LOCK_STATUS and STANDARD_RIGHTS_READ on the manager,
 *   and READ_CONTROL, SERVICE_ENUMERATE_DEPENDENTS, SERVICE_INTERROGATE,
 *   SERVICE_QUERY_CONFIG, SERVICE_QUERY_STATUS and
 *   SERVICE_USER_DEFINED_CONTROL on a service; "only processes with
 *   Administrator privileges are able to open a handle to the SCM that can
 *   be used by the CreateService function".  Asking more is refused with
 *   ERROR_ACCESS_DENIED.
 * Windows 9x has no users in this sense (limitedUser() is false there). */
#include "internal.h"

namespace standin {
namespace detail {

namespace {

const REGSAM keyWriteRights = KEY_SET_VALUE | KEY_CREATE_SUB_KEY | KEY_CREATE_LINK | DELETE |
                              WRITE_DAC | WRITE_OWNER;

/* Whether path is folder or lies below it (both full Windows paths). */
bool within(const std::string &path, const std::string &folder)
{
    return path.size() >= folder.size() && iequals(path.substr(0, folder.size()), folder) &&
           (path.size() == folder.size() || path[folder.size()] == '\\');
}

} // namespace

bool keyAccessAllowed(const std::string &fullKeyPath, REGSAM access, REGSAM *granted)
{
    *granted = access;
    if (!limitedUser())
        return true;
    size_t slash = fullKeyPath.find('\\');
    if (!iequals(fullKeyPath.substr(0, slash), "HKEY_LOCAL_MACHINE"))
        return true;
    REGSAM rights = access;
    if (rights & GENERIC_ALL)
        rights |= KEY_ALL_ACCESS;
    if (rights & GENERIC_WRITE)
        rights |= KEY_WRITE;
    if (rights & (GENERIC_READ | GENERIC_EXECUTE))
        rights |= KEY_READ;
    rights &= ~(REGSAM)(GENERIC_ALL | GENERIC_WRITE | GENERIC_READ | GENERIC_EXECUTE);
    if (rights & keyWriteRights)
        return false;
    if (rights & MAXIMUM_ALLOWED)
        rights = (rights & ~(REGSAM)MAXIMUM_ALLOWED) | KEY_READ;
    *granted = rights;
    return true;
}

bool fileWriteAllowed(const std::string &fullWindowsPath)
{
    if (!limitedUser())
        return true;
    if (within(fullWindowsPath, "C:\\windows\\Temp"))
        return true;
    return !within(fullWindowsPath, "C:\\windows") &&
           !within(fullWindowsPath, "C:\\Program Files");
}

DWORD managerRightsAllowed()
{
    return limitedUser() ? (DWORD)(SC_MANAGER_CONNECT | SC_MANAGER_ENUMERATE_SERVICE |
                                   SC_MANAGER_QUERY_LOCK_STATUS | READ_CONTROL)
                         : ~(DWORD)0;
}

DWORD serviceRightsAllowed()
{
    return limitedUser() ? (DWORD)(READ_CONTROL | SERVICE_ENUMERATE_DEPENDENTS |
                                   SERVICE_INTERROGATE | SERVICE_QUERY_CONFIG |
                                   SERVICE_QUERY_STATUS | SERVICE_USER_DEFINED_CONTROL)
                         : ~(DWORD)0;
}

} // namespace detail
} // namespace standin
