/*
 * qblred_sys.c - a test kernel-mode driver that stands in for the
 * redirector's port driver qblred.sys.  It loads, says so on the kernel
 * debugger, does nothing, and can be unloaded, so that its service can be
 * started and stopped.  Built with QBLRED_STICKY it has no unload routine:
 * such a driver stays loaded when its service is told to stop.
 */
#include <ntddk.h>

#ifndef QBLRED_STICKY
static VOID NTAPI QblredUnload(PDRIVER_OBJECT driver)
{
    (void)driver;
    DbgPrint("qblred: unloaded\n");
}
#endif

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath)
{
    (void)registryPath;
#ifndef QBLRED_STICKY
    driver->DriverUnload = QblredUnload;
#else
    (void)driver;
#endif
    DbgPrint("qblred: loaded\n");
    return STATUS_SUCCESS;
}
