/*
 * qblred_sys.c - a test kernel-mode driver that stands in for the
 * redirector's port driver qblred.sys.  It loads, says so on the kernel
 * debugger, does nothing, and can be unloaded, so that its service can be
 * started and stopped.
 */
#include <ntddk.h>

static VOID NTAPI QblredUnload(PDRIVER_OBJECT driver)
{
    (void)driver;
    DbgPrint("qblred: unloaded\n");
}

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath)
{
    (void)registryPath;
    driver->DriverUnload = QblredUnload;
    DbgPrint("qblred: loaded\n");
    return STATUS_SUCCESS;
}
