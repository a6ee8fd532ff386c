/*
 * winnt.cpp - the Windows NT installation: the "Qblred" kernel driver
 * service, its port values, the driver file copy and the service start.
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
    ROOT_BUF_LEN = 261,    /* a SystemRoot value we accept, terminator included */
    LAST_COM = 256         /* the highest COM number NT names */
};

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

/* The first n from 2 on whose name COMn has no device; 0 when every name
 * up to the highest NT knows answers. */
static int firstFreeCom(void)
{
    char name[COM_NAME_LEN];
    char target[DEVICE_TARGET_LEN];
    for (int n = 2; n <= LAST_COM; n++) {
        snprintf(name, sizeof name, "COM%d", n);
        if (QueryDosDeviceA(name, target, sizeof target) == 0)
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
        int port = firstFreeCom();
        if (port == 0) {
            ErrMsg(owner, "No free COM port: COM2 to COM%d are all present", LAST_COM);
            goto done;
        }
        if (setDword(key, "Port0", (DWORD)port) != ERROR_SUCCESS) {
            ErrMsg(owner, "Can't set Port value to %d for key %s", port, keyPath);
            goto done;
        }
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
