/*
 * msports.h - the COM port database's functions (msports.dll of Windows
 * 2000 and later), with the prototypes and values of the WDK's msports.h.
 * A program finds them with LoadLibraryA and GetProcAddress; the stand-in
 * exports them from its msports.dll (comdb.cpp).
 */
#ifndef STANDIN_MSPORTS_H
#define STANDIN_MSPORTS_H

#include "windows.h"

#ifdef __cplusplus
extern "C" {
#endif

DECLARE_HANDLE(HCOMDB);
typedef HCOMDB *PHCOMDB;
#define HCOMDB_INVALID_HANDLE_VALUE ((HCOMDB)INVALID_HANDLE_VALUE)

/* ComDBResizeDatabase's limits of the database size (ports arbitrated). */
#define COMDB_MIN_PORTS_ARBITRATED 256
#define COMDB_MAX_PORTS_ARBITRATED 4096

/* ComDBGetCurrentPortUsage's ReportType. */
#define CDB_REPORT_BITS 0x0
#define CDB_REPORT_BYTES 0x1

LONG WINAPI ComDBOpen(PHCOMDB PHComDB);
LONG WINAPI ComDBClose(HCOMDB HComDB);
LONG WINAPI ComDBGetCurrentPortUsage(HCOMDB HComDB, PBYTE Buffer, DWORD BufferSize,
                                     ULONG ReportType, LPDWORD MaxPortsReported);
LONG WINAPI ComDBClaimNextFreePort(HCOMDB HComDB, LPDWORD ComNumber);
LONG WINAPI ComDBClaimPort(HCOMDB HComDB, DWORD ComNumber, BOOL ForceClaim, PBOOL Forced);
LONG WINAPI ComDBReleasePort(HCOMDB HComDB, DWORD ComNumber);
LONG WINAPI ComDBResizeDatabase(HCOMDB HComDB, DWORD NewSize);

#ifdef __cplusplus
}
#endif

#endif /* STANDIN_MSPORTS_H */
