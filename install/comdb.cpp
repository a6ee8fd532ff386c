/*
 * comdb.cpp - the COM port database of Windows 2000 and later.
 *
 * A Plug and Play serial port (a USB or Bluetooth adapter) keeps its COM
 * number reserved in this database while it is unplugged; QueryDosDeviceA
 * knows nothing of it then.  So the NT sequence also takes a number the
 * database holds as in use for taken, and claims the number it gives the
 * service.  The database is msports.dll's: Windows NT 3.51 and 4.0 have
 * none, so the DLL is loaded at run time, by its full path in the system
 * directory (a bare name would also find a file of that name in the
 * folder the setup program was started from), and every call into it is
 * guarded: a copy whose functions fault (Wine's are stubs that raise an
 * exception) counts as no database.
 */
#include "install.h"

namespace {

typedef LONG(WINAPI *OpenFn)(HANDLE *db);
typedef LONG(WINAPI *CloseFn)(HANDLE db);
typedef LONG(WINAPI *UsageFn)(HANDLE db, BYTE *buffer, DWORD size, ULONG type, DWORD *reported);
typedef LONG(WINAPI *ClaimFn)(HANDLE db, DWORD number, BOOL force, BOOL *forced);
typedef LONG(WINAPI *ReleaseFn)(HANDLE db, DWORD number);

const ULONG CDB_REPORT_BYTES = 1;
const char dllName[] = "msports.dll";

/* One call into the database, as guardedCall runs it. */
enum Op { OP_OPEN, OP_USAGE, OP_CLAIM, OP_RELEASE, OP_CLOSE };
struct Call {
    Op op;
    ComDatabase *db;
    DWORD number;
};

template <typename Fn> Fn entry(FARPROC proc)
{
    return reinterpret_cast<Fn>(reinterpret_cast<void (*)(void)>(proc));
}

long runCall(void *arg)
{
    Call *c = static_cast<Call *>(arg);
    ComDatabase *db = c->db;
    switch (c->op) {
    case OP_OPEN:
        return entry<OpenFn>(db->open)(&db->handle);
    case OP_USAGE:
        return entry<UsageFn>(db->usage)(db->handle, db->inUse, sizeof db->inUse, CDB_REPORT_BYTES,
                                         &db->ports);
    case OP_CLAIM:
        return entry<ClaimFn>(db->claim)(db->handle, c->number, FALSE, NULL);
    case OP_RELEASE:
        return entry<ReleaseFn>(db->release)(db->handle, c->number);
    case OP_CLOSE:
    default:
        return entry<CloseFn>(db->close)(db->handle);
    }
}

/* Runs one call; false when it ended in an exception, and the database is
 * then given up: it is not called again, only its DLL is unloaded. */
bool call(ComDatabase *db, Op op, DWORD number, LONG *rc)
{
    Call c = {op, db, number};
    long result = 0;
    unsigned long code = 0;
    if (!guardedCall(runCall, &c, &result, &code)) {
        db->handle = NULL;
        return false;
    }
    *rc = static_cast<LONG>(result);
    return true;
}

void unload(ComDatabase *db)
{
    if (db->dll)
        FreeLibrary(db->dll);
    memset(db, 0, sizeof *db);
}

} // namespace

void openComDatabase(ComDatabase *db)
{
    memset(db, 0, sizeof *db);
    char path[MAX_PATH + 1];
    UINT n = GetSystemDirectoryA(path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH)
        return;
    int len = snprintf(path + n, sizeof path - n, "\\%s", dllName);
    if (len < 0 || len >= (int)(sizeof path - n))
        return;
    /* A DLL that is missing or will not load is no database: no box. */
    UINT mode = SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
    db->dll = LoadLibraryA(path);
    SetErrorMode(mode);
    if (!db->dll)
        return;
    db->open = GetProcAddress(db->dll, "ComDBOpen");
    db->close = GetProcAddress(db->dll, "ComDBClose");
    db->usage = GetProcAddress(db->dll, "ComDBGetCurrentPortUsage");
    db->claim = GetProcAddress(db->dll, "ComDBClaimPort");
    db->release = GetProcAddress(db->dll, "ComDBReleasePort");
    LONG rc = ERROR_SUCCESS;
    if (!db->open || !db->close || !db->usage || !db->claim || !db->release ||
        !call(db, OP_OPEN, 0, &rc) || rc != ERROR_SUCCESS || db->handle == INVALID_HANDLE_VALUE) {
        unload(db);
        return;
    }
    db->ports = 0;
    if (!call(db, OP_USAGE, 0, &rc) || rc != ERROR_SUCCESS) {
        closeComDatabase(db);
        return;
    }
    if (db->ports > sizeof db->inUse)
        db->ports = sizeof db->inUse;
}

bool comReserved(const ComDatabase *db, int n)
{
    return db->handle && n >= 1 && (DWORD)n <= db->ports && db->inUse[n - 1] != 0;
}

bool claimCom(ComDatabase *db, int n)
{
    LONG rc = ERROR_SUCCESS;
    if (!db->handle || !call(db, OP_CLAIM, (DWORD)n, &rc))
        return true;
    /* Taken since the database was read.  Any other failure leaves the
     * number ours, only not recorded there. */
    return rc != ERROR_SHARING_VIOLATION;
}

void releaseCom(ComDatabase *db, int n)
{
    LONG rc;
    if (db->handle)
        call(db, OP_RELEASE, (DWORD)n, &rc);
}

void closeComDatabase(ComDatabase *db)
{
    LONG rc;
    if (db->handle)
        call(db, OP_CLOSE, 0, &rc);
    unload(db);
}
