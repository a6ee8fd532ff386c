/* comdb.cpp - the COM port database of Windows 2000 and later: the
 * functions of msports.dll (modules.cpp loads it), as the msports.h
 * reference pages of the Windows Driver Kit give them.
 *
 * The database is kept where Windows keeps it: the value "ComDB"
 * (REG_BINARY) of HKLM\SYSTEM\CurrentControlSet\Control\COM Name Arbiter,
 * a bit array in which bit n-1 (byte (n-1)/8, bit (n-1)%8, least
 * significant first) is set while COMn is in use.  Its size, the count of
 * numbers it arbitrates, is 8 times the value's length and at least
 * COMDB_MIN_PORTS_ARBITRATED (256); a missing value is a database of 256
 * free numbers.  Every call reads the value afresh and a change is written
 * back at once, at least 32 bytes long.
 *
 * What each call returns (ComDBOpen, ComDBClose, ComDBGetCurrentPortUsage,
 * ComDBClaimPort, ComDBReleasePort, ComDBClaimNextFreePort,
 * ComDBResizeDatabase reference pages):
 * - ComDBOpen opens the key for reading and writing, creating it if it is
 *   missing; on failure *PHComDB is HCOMDB_INVALID_HANDLE_VALUE and the
 *   registry's error is returned (ERROR_ACCESS_DENIED for a user who is no
 *   administrator).  PHComDB "must be non-NULL": a NULL one is written
 *   through, an access violation.
 * - An invalid handle: ERROR_INVALID_PARAMETER from every call.
 * - A database that can no longer be read (its key deleted since it was
 *   opened): ERROR_NOT_CONNECTED, "the routine could not access the
 *   database"; a change that cannot be written: ERROR_CANTWRITE.
 * - ComDBClaimPort of a number in use: ERROR_SHARING_VIOLATION (ForceClaim
 *   and Forced are "reserved for internal use only": not acted on).  A
 *   number of 0 or above the database's size: ERROR_INVALID_PARAMETER (the
 *   page names only numbers above COMDB_MAX_PORTS_ARBITRATED; a number the
 *   database does not arbitrate cannot be logged in it, the worse case).
 *   ComDBReleasePort the same ("not in the COM port database").
 * - ComDBClaimNextFreePort: the lowest free number, ERROR_NO_LOG_SPACE
 *   when there is none; ComNumber "must be non-NULL".
 * - ComDBResizeDatabase: NewSize not a multiple of 1024:
 *   ERROR_INVALID_PARAMETER; not above the current size or above
 *   COMDB_MAX_PORTS_ARBITRATED: ERROR_BAD_LENGTH.
 *
 * Each call is recorded for standin::asked (subject: "COMn" where it names
 * a number) and has a fault point of its name; "ComDBWrite" fails the
 * write of the value (the call then returns ERROR_CANTWRITE).  A faulting
 * database (standin::COMDB_FAULTING) ends every call in an access
 * violation (0xC0000005), as a broken DLL's functions do, before it does
 * anything. */
#include "internal.h"
#include "msports.h"

#include <algorithm>
#include <cstring>
#include <map>

namespace standin {
namespace detail {

namespace {

const char databaseKey[] =
    "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\COM Name Arbiter";
const char databaseValue[] = "ComDB";

std::map<uintptr_t, bool> openHandles; /* under machineLock() */
uintptr_t nextHandle = 0x9000;

/* The opening of every function, in three steps, each a statement of its
 * own, so that nothing the first one made is alive when the second ends
 * the call in an exception (which unwinds nothing, guard.cpp): its record,
 * a faulting database's exception, an injected fault (false, with *rc). */
void record(const char *api, const std::string &subject,
            const std::vector<std::pair<const char *, unsigned long long>> &values)
{
    noteCall(api, subject, values);
}

void faultIfBroken(const char *api)
{
    if (comDatabaseFaults())
        raiseException(STATUS_ACCESS_VIOLATION, api);
}

bool injected(const char *api, const std::string &subject, LONG *rc)
{
    DWORD code;
    if (faultHits(api, subject, &code)) {
        *rc = (LONG)code;
        return true;
    }
    return false;
}

bool validHandle(HCOMDB h)
{
    std::lock_guard<std::recursive_mutex> g(machineLock());
    return openHandles.count((uintptr_t)h) > 0;
}

std::string comName(DWORD n) { return "COM" + std::to_string(n); }

/* The database as read: its bit array and its size in numbers. */
struct Database {
    std::vector<unsigned char> bits;
    DWORD size = 0;
};

bool inUse(const Database &db, DWORD n) { return db.bits[(n - 1) / 8] & (1u << ((n - 1) % 8)); }

void setInUse(Database *db, DWORD n, bool on)
{
    unsigned char bit = (unsigned char)(1u << ((n - 1) % 8));
    unsigned char &byte = db->bits[(n - 1) / 8];
    byte = (unsigned char)(on ? byte | bit : byte & ~bit);
}

LONG readDatabase(Database *db)
{
    if (!regKeyExists(databaseKey))
        return ERROR_NOT_CONNECTED;
    RegValue v;
    std::string bytes = regGetValue(databaseKey, databaseValue, &v) ? v.data : std::string();
    db->size = std::max<DWORD>(COMDB_MIN_PORTS_ARBITRATED, (DWORD)bytes.size() * 8);
    db->bits.assign(bytes.begin(), bytes.end());
    db->bits.resize(db->size / 8, 0);
    return ERROR_SUCCESS;
}

LONG writeDatabase(const Database &db, const std::string &subject)
{
    DWORD code;
    if (faultHits("ComDBWrite", subject, &code) || !regKeyExists(databaseKey))
        return ERROR_CANTWRITE;
    regSetValue(databaseKey, databaseValue, REG_BINARY,
                std::string(db.bits.begin(), db.bits.end()));
    return ERROR_SUCCESS;
}

/* ComDBClaimPort and ComDBReleasePort: the number's bit set or cleared. */
LONG mark(HCOMDB h, DWORD n, bool claim)
{
    if (!validHandle(h))
        return ERROR_INVALID_PARAMETER;
    Database db;
    LONG rc = readDatabase(&db);
    if (rc)
        return rc;
    if (n == 0 || n > db.size)
        return ERROR_INVALID_PARAMETER;
    if (claim && inUse(db, n))
        return ERROR_SHARING_VIOLATION;
    setInUse(&db, n, claim);
    return writeDatabase(db, comName(n));
}

} // namespace

void resetComDatabase()
{
    std::lock_guard<std::recursive_mutex> g(machineLock());
    openHandles.clear();
    nextHandle = 0x9000;
}

std::vector<std::string> openComDatabases()
{
    std::lock_guard<std::recursive_mutex> g(machineLock());
    return std::vector<std::string>(openHandles.size(), "COM port database");
}

#define EXPORT(f) {#f, reinterpret_cast<FARPROC>(reinterpret_cast<void *>(&(f)))}
const std::vector<Export> &comDatabaseExports()
{
    static const std::vector<Export> list = {
        EXPORT(ComDBOpen),        EXPORT(ComDBClose),         EXPORT(ComDBGetCurrentPortUsage),
        EXPORT(ComDBClaimPort),   EXPORT(ComDBReleasePort),   EXPORT(ComDBClaimNextFreePort),
        EXPORT(ComDBResizeDatabase)};
    return list;
}
#undef EXPORT

} // namespace detail
} // namespace standin

using namespace standin::detail;

extern "C" {

LONG WINAPI ComDBOpen(PHCOMDB PHComDB)
{
    LONG rc = ERROR_SUCCESS;
    record("ComDBOpen", "", {});
    faultIfBroken("ComDBOpen");
    bool go = !injected("ComDBOpen", "", &rc);
    if (!PHComDB)
        raiseException(STATUS_ACCESS_VIOLATION, "ComDBOpen");
    REGSAM granted;
    if (go && !keyAccessAllowed(databaseKey, KEY_ALL_ACCESS, &granted))
        rc = ERROR_ACCESS_DENIED;
    if (!go || rc != ERROR_SUCCESS) {
        *PHComDB = HCOMDB_INVALID_HANDLE_VALUE;
        return rc;
    }
    regCreatePath(databaseKey);
    std::lock_guard<std::recursive_mutex> g(machineLock());
    uintptr_t h = nextHandle;
    nextHandle += 4;
    openHandles[h] = true;
    *PHComDB = (HCOMDB)h;
    return ERROR_SUCCESS;
}

LONG WINAPI ComDBClose(HCOMDB HComDB)
{
    LONG rc;
    record("ComDBClose", "", {});
    faultIfBroken("ComDBClose");
    if (injected("ComDBClose", "", &rc))
        return rc;
    std::lock_guard<std::recursive_mutex> g(machineLock());
    return openHandles.erase((uintptr_t)HComDB) ? ERROR_SUCCESS : ERROR_INVALID_PARAMETER;
}

LONG WINAPI ComDBGetCurrentPortUsage(HCOMDB HComDB, PBYTE Buffer, DWORD BufferSize,
                                     ULONG ReportType, LPDWORD MaxPortsReported)
{
    LONG rc;
    record("ComDBGetCurrentPortUsage", "",
           {{"size", BufferSize},
            {"type", ReportType},
            {"buffer", Buffer ? 1u : 0u},
            {"reported", MaxPortsReported ? 1u : 0u}});
    faultIfBroken("ComDBGetCurrentPortUsage");
    if (injected("ComDBGetCurrentPortUsage", "", &rc))
        return rc;
    if (!validHandle(HComDB) || (!Buffer && !MaxPortsReported))
        return ERROR_INVALID_PARAMETER;
    /* "If Buffer is NULL ... ReportType is not used": the size alone. */
    if (Buffer && ReportType != CDB_REPORT_BITS && ReportType != CDB_REPORT_BYTES)
        return ERROR_INVALID_PARAMETER;
    Database db;
    if ((rc = readDatabase(&db)) != ERROR_SUCCESS)
        return rc;
    if (!Buffer) {
        *MaxPortsReported = db.size;
        return ERROR_SUCCESS;
    }
    DWORD reported;
    if (ReportType == CDB_REPORT_BYTES) {
        /* One byte a number, 1 in use, 0 free, for as many as fit. */
        reported = std::min(BufferSize, db.size);
        for (DWORD i = 0; i < reported; i++)
            Buffer[i] = inUse(db, i + 1) ? 1 : 0;
    } else {
        /* The bit array, as many whole bytes of it as fit. */
        DWORD bytes = std::min(BufferSize, db.size / 8);
        memcpy(Buffer, db.bits.data(), bytes);
        reported = bytes * 8;
    }
    if (MaxPortsReported)
        *MaxPortsReported = reported;
    return ERROR_SUCCESS;
}

LONG WINAPI ComDBClaimPort(HCOMDB HComDB, DWORD ComNumber, BOOL ForceClaim, PBOOL Forced)
{
    LONG rc;
    record("ComDBClaimPort", comName(ComNumber),
           {{"number", ComNumber},
            {"force", (unsigned long long)ForceClaim},
            {"forced", Forced ? 1u : 0u}});
    faultIfBroken("ComDBClaimPort");
    if (injected("ComDBClaimPort", comName(ComNumber), &rc))
        return rc;
    return mark(HComDB, ComNumber, true);
}

LONG WINAPI ComDBReleasePort(HCOMDB HComDB, DWORD ComNumber)
{
    LONG rc;
    record("ComDBReleasePort", comName(ComNumber), {{"number", ComNumber}});
    faultIfBroken("ComDBReleasePort");
    if (injected("ComDBReleasePort", comName(ComNumber), &rc))
        return rc;
    return mark(HComDB, ComNumber, false);
}

LONG WINAPI ComDBClaimNextFreePort(HCOMDB HComDB, LPDWORD ComNumber)
{
    LONG rc;
    record("ComDBClaimNextFreePort", "", {});
    faultIfBroken("ComDBClaimNextFreePort");
    if (injected("ComDBClaimNextFreePort", "", &rc))
        return rc;
    if (!ComNumber)
        raiseException(STATUS_ACCESS_VIOLATION, "ComDBClaimNextFreePort");
    if (!validHandle(HComDB))
        return ERROR_INVALID_PARAMETER;
    Database db;
    if ((rc = readDatabase(&db)) != ERROR_SUCCESS)
        return rc;
    for (DWORD n = 1; n <= db.size; n++)
        if (!inUse(db, n)) {
            setInUse(&db, n, true);
            if ((rc = writeDatabase(db, comName(n))) == ERROR_SUCCESS)
                *ComNumber = n;
            return rc;
        }
    return ERROR_NO_LOG_SPACE;
}

LONG WINAPI ComDBResizeDatabase(HCOMDB HComDB, DWORD NewSize)
{
    LONG rc;
    record("ComDBResizeDatabase", "", {{"size", NewSize}});
    faultIfBroken("ComDBResizeDatabase");
    if (injected("ComDBResizeDatabase", "", &rc))
        return rc;
    if (!validHandle(HComDB) || NewSize % 1024 != 0)
        return ERROR_INVALID_PARAMETER;
    Database db;
    if ((rc = readDatabase(&db)) != ERROR_SUCCESS)
        return rc;
    if (NewSize <= db.size || NewSize > COMDB_MAX_PORTS_ARBITRATED)
        return ERROR_BAD_LENGTH;
    db.bits.resize(NewSize / 8, 0);
    return writeDatabase(db, "");
}

} // extern "C"
