/*
 * winnt.cpp - the Windows NT installation: the "Qblred" kernel driver
 * service, its port values, the driver file copy and the service start.
 * A 64-bit edition of Windows, which cannot load the 32-bit driver, is
 * refused before anything is written.
 */
#include "install.h"

const char NTDriverName[] = "Qblred";
const char NTDisplayName[] = "Quorbelle COM Redirector";
const char NTDriverPath[] = "System\\CurrentControlSet\\Services";
const char NTSysName[] = "qblred.sys";

enum {
    NT_PATH_LEN = 200,     /* binary path, service key path, copy target */
    COM_NAME_LEN = 20,
    DEVICE_TARGET_LEN = 50,
    ROOT_BUF_LEN = 261     /* a SystemRoot value we accept, terminator included */
};

typedef BOOL(WINAPI *IsWow64ProcessFn)(HANDLE process, BOOL *wow64);

/* Formats the service key path; 0 when it fits. */
static int serviceKeyPath(char *buf)
{
    int n = snprintf(buf, NT_PATH_LEN, "%s\\%s", NTDriverPath, NTDriverName);
    return n > 0 && n < NT_PATH_LEN ? 0 : -1;
}

static LONG setDword(HKEY key, const char *name, DWORD value)
{
    return RegSetValueExA(key, name, 0, REG_DWORD, (const BYTE *)&value, sizeof value);
}

/* Whether this 32-bit program runs under WOW64, on a 64-bit edition of
 * Windows, where its kernel driver can never load.  IsWow64Process came
 * with Windows XP SP2 and Server 2003 SP1, which every 64-bit edition has,
 * so it is looked up: without it the system is a 32-bit one.  A query
 * that fails tells nothing, and the system is taken for a 32-bit one. */
static bool runsUnderWow64(void)
{
    HMODULE kernel = GetModuleHandleA("kernel32.dll");
    FARPROC proc = kernel ? GetProcAddress(kernel, "IsWow64Process") : NULL;
    if (!proc)
        return false;
    IsWow64ProcessFn query =
        reinterpret_cast<IsWow64ProcessFn>(reinterpret_cast<void (*)(void)>(proc));
    BOOL wow64 = FALSE;
    return query(GetCurrentProcess(), &wow64) && wow64;
}

/* The first n from 2 on that is free: no device answers for COMn, and the
 * COM port database, where there is one, neither holds it as in use nor
 * has it taken before it could be claimed there.  0 when no number up to
 * the highest NT knows is free. */
static int firstFreeCom(ComDatabase *db)
{
    char name[COM_NAME_LEN];
    char target[DEVICE_TARGET_LEN];
    for (int n = 2; n <= LAST_COM; n++) {
        snprintf(name, sizeof name, "COM%d", n);
        if (QueryDosDeviceA(name, target, sizeof target) != 0 || comReserved(db, n))
            continue;
        if (claimCom(db, n))
            return n;
    }
    return 0;
}

/* Takes the read-only attribute off a file that has it; its other
 * attributes stay, and a file left with none is given
 * FILE_ATTRIBUTE_NORMAL, the one value that stands alone (0 would ask
 * nothing).  Nothing happens to a file that is missing. */
static void makeWritable(const char *path)
{
    DWORD attributes = GetFileAttributesA(path);
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_READONLY))
        return;
    attributes &= ~(DWORD)FILE_ATTRIBUTE_READONLY;
    SetFileAttributesA(path, attributes ? attributes : FILE_ATTRIBUTE_NORMAL);
}

/* Copies the driver over target.  A driver copied from a CD is read-only,
 * and CopyFileA carries that over to the copy; CopyFileA then refuses to
 * overwrite it on the next run (ERROR_ACCESS_DENIED).  So an earlier copy
 * loses the attribute before the copy and the new one after it: this
 * update and the next can replace the file.  False, with the last error
 * of CopyFileA, when the copy fails. */
static bool copyDriver(const char *target)
{
    makeWritable(target);
    if (!CopyFileA(NTSysName, target, FALSE))
        return false;
    makeWritable(target);
    return true;
}

void UpdateNT(HWND owner)
{
    char keyPath[NT_PATH_LEN];
    HKEY key;
    DWORD value;
    DWORD size;

    serviceKeyPath(keyPath);
    LONG rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyPath, 0, KEY_ALL_ACCESS, &key);
    if (rc != ERROR_SUCCESS) {
        ErrMsg(owner, "Couldn't open key %s: %d", keyPath, (int)rc);
        return;
    }

    /* A shorter "Port" fills only the low bytes: the rest stays zero. */
    value = 0;
    size = sizeof value;
    if (RegQueryValueExA(key, "Port", NULL, NULL, (BYTE *)&value, &size) == ERROR_SUCCESS) {
        if (setDword(key, "Port0", value) != ERROR_SUCCESS) {
            ErrMsg(owner, "Can't set Port0 value to %d for key %s", (int)value, keyPath);
            RegCloseKey(key);
            return;
        }
        RegDeleteValueA(key, "Port");
    }

    value = 0;
    size = sizeof value;
    if (RegQueryValueExA(key, "NumPorts", NULL, NULL, (BYTE *)&value, &size) != ERROR_SUCCESS) {
        if (setDword(key, "NumPorts", 1) != ERROR_SUCCESS)
            ErrMsg(owner, "Can't set NumPorts value to %d for key %s", 1, keyPath);
    }
    RegCloseKey(key);
}

int doitNT(HWND owner, int *aborted)
{
    int result = -1;
    char root[ROOT_BUF_LEN];
    char binPath[NT_PATH_LEN];
    char keyPath[NT_PATH_LEN];
    char target[NT_PATH_LEN];
    SC_HANDLE manager;
    SC_HANDLE service;
    HKEY key = NULL;
    SERVICE_STATUS status;

    *aborted = 0;

    if (runsUnderWow64()) {
        ErrMsg(owner, "This is a 64-bit edition of Windows.  The %s driver needs a 32-bit "
                      "edition of Windows.  Aborting", NTDisplayName);
        *aborted = 1;
        return -1;
    }

    int len = getEnv("SystemRoot", root, sizeof root);
    if (len == 0) {
        ErrMsg(owner, "Couldn't get SystemRoot");
        return -1;
    }
    /* The copy target must fit whole; find out before anything is written. */
    int n = len > 0 ? snprintf(target, sizeof target, "%s\\system32\\drivers\\%s", root, NTSysName)
                    : -1;
    if (n < 0 || n >= (int)sizeof target) {
        ErrMsg(owner, "SystemRoot too long for %s", NTSysName);
        return -1;
    }

    if (doISS(owner) != 0)
        return -1;

    manager = OpenSCManagerA(NULL, NULL, SC_MANAGER_ALL_ACCESS);
    if (!manager) {
        ErrMsg(owner, "Couldn't open SCManager");
        return -1;
    }

    snprintf(binPath, sizeof binPath, "system32\\drivers\\%s", NTSysName);
    service = CreateServiceA(manager, NTDriverName, NTDisplayName, SERVICE_ALL_ACCESS,
                             SERVICE_KERNEL_DRIVER, SERVICE_SYSTEM_START, SERVICE_ERROR_NORMAL,
                             binPath, NULL, NULL, NULL, NULL, NULL);
    if (service) {
        serviceKeyPath(keyPath);
        LONG rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyPath, 0, KEY_ALL_ACCESS, &key);
        if (rc != ERROR_SUCCESS) {
            key = NULL;
            ErrMsg(owner, "Couldn't open key %s: %d", keyPath, (int)rc);
            goto done;
        }
        /* The database is held open only while the number is chosen,
         * claimed and written: no box is shown meanwhile. */
        ComDatabase db;
        openComDatabase(&db);
        int port = firstFreeCom(&db);
        if (port == 0) {
            closeComDatabase(&db);
            ErrMsg(owner, "No free COM port: COM2 to COM%d are all present", LAST_COM);
            goto done;
        }
        if (setDword(key, "Port0", (DWORD)port) != ERROR_SUCCESS) {
            releaseCom(&db, port);
            closeComDatabase(&db);
            ErrMsg(owner, "Can't set Port value to %d for key %s", port, keyPath);
            goto done;
        }
        closeComDatabase(&db);
        if (setDword(key, "NumPorts", 1) != ERROR_SUCCESS) {
            ErrMsg(owner, "Can't set NumPorts value to %d for key %s", 1, keyPath);
            goto done;
        }
    } else {
        DWORD err = GetLastError();
        if (err != ERROR_SERVICE_EXISTS) {
            ErrMsg(owner, "CreateService error 0x%x", (unsigned)err);
            goto done;
        }
        service = OpenServiceA(manager, NTDriverName, SERVICE_ALL_ACCESS);
        if (!service) {
            ErrMsg(owner, "Failed to Open %s service: 0x%x", NTDriverName, (unsigned)GetLastError());
            goto done;
        }
        /* Asked to stop; whether it does is not awaited. */
        ControlService(service, SERVICE_CONTROL_STOP, &status);
        if (!ChangeServiceConfigA(service, SERVICE_KERNEL_DRIVER, SERVICE_SYSTEM_START,
                                  SERVICE_ERROR_NORMAL, binPath, NULL, NULL, NULL, NULL, NULL,
                                  NTDisplayName)) {
            ErrMsg(owner, "Failed to change %s service: 0x%x", NTDriverName, (unsigned)GetLastError());
            goto done;
        }
        UpdateNT(owner);
    }

    if (!copyDriver(target)) {
        ErrMsg(owner, "Couldn't copy %s to %s: 0x%x", NTSysName, target, (unsigned)GetLastError());
        goto done;
    }
    if (finishInstall(owner) != 0)
        goto done;

    if (StartServiceA(service, 0, NULL)) {
        result = 0;
    } else {
        DWORD err = GetLastError();
        if (err == ERROR_SERVICE_ALREADY_RUNNING)
            ErrMsg(owner, "StartService: already running");
        else
            ErrMsg(owner, "StartService error 0x%x", (unsigned)err);
    }

done:
    if (key)
        RegCloseKey(key);
    if (service)
        CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return result;
}
