/*
 * msports.c - a test COM port database: msports.dll's ComDB functions
 * over the registry, where Windows 2000 and later keep the database.
 * Wine 8.0's own msports.dll has them only as stubs that raise an
 * exception, so the Wine runner puts this DLL in the system directory of a
 * machine whose database works.
 *
 * The database is the REG_BINARY value "ComDB" of
 * HKLM\SYSTEM\CurrentControlSet\Control\COM Name Arbiter: COMn is in use
 * when bit (n-1) is set (byte (n-1)/8, bit (n-1)%8, least significant
 * first).  Its size in ports is 8 times the value's length, at least
 * COMDB_MIN_PORTS_ARBITRATED (256); a missing value is a database of 256
 * free ports.  Every call reads the value afresh, and a change is written
 * back at once, as long as the database is (size / 8 bytes).  The return
 * codes are those of the msports.h reference pages (learn.microsoft.com,
 * "ComDBClaimPort function (msports.h)" and its neighbours).
 */
#include <windows.h>
#include <msports.h>

#define EXPORT __declspec(dllexport)

static const char dbKey[] = "SYSTEM\\CurrentControlSet\\Control\\COM Name Arbiter";
static const char dbValue[] = "ComDB";

/* The open handles: a handle is the address of one of these slots. */
struct Slot {
    HKEY key;
    LONG used;
};
static struct Slot slots[16];

static struct Slot *slotOf(HCOMDB h)
{
    for (unsigned i = 0; i < sizeof slots / sizeof slots[0]; i++)
        if ((HCOMDB)&slots[i] == h && slots[i].used)
            return &slots[i];
    return NULL;
}

/* The database as read now: bits[0 .. bytes), bytes = ports / 8. */
struct Db {
    BYTE *bits;
    DWORD bytes;
};

static void freeDb(struct Db *db)
{
    if (db->bits)
        HeapFree(GetProcessHeap(), 0, db->bits);
    db->bits = NULL;
}

/* Reads the value into db, at least atLeast bytes long; ERROR_NOT_CONNECTED
 * when the database is there but cannot be read. */
static LONG readDb(struct Slot *s, struct Db *db, DWORD atLeast)
{
    DWORD type = 0, size = 0;
    db->bits = NULL;
    db->bytes = 0;
    LONG rc = RegQueryValueExA(s->key, dbValue, NULL, &type, NULL, &size);
    if (rc == ERROR_FILE_NOT_FOUND)
        size = 0;
    else if (rc != ERROR_SUCCESS)
        return ERROR_NOT_CONNECTED;
    DWORD bytes = size < COMDB_MIN_PORTS_ARBITRATED / 8 ? COMDB_MIN_PORTS_ARBITRATED / 8 : size;
    if (bytes < atLeast)
        bytes = atLeast;
    db->bits = (BYTE *)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, bytes);
    if (!db->bits)
        return ERROR_NOT_ENOUGH_MEMORY;
    db->bytes = bytes;
    if (size) {
        DWORD got = size;
        if (RegQueryValueExA(s->key, dbValue, NULL, &type, db->bits, &got) != ERROR_SUCCESS) {
            freeDb(db);
            return ERROR_NOT_CONNECTED;
        }
    }
    return ERROR_SUCCESS;
}

static LONG writeDb(struct Slot *s, struct Db *db)
{
    LONG rc = RegSetValueExA(s->key, dbValue, 0, REG_BINARY, db->bits, db->bytes);
    freeDb(db);
    return rc == ERROR_SUCCESS ? ERROR_SUCCESS : ERROR_CANTWRITE;
}

static int inUse(const struct Db *db, DWORD n)
{
    return (db->bits[(n - 1) / 8] >> ((n - 1) % 8)) & 1;
}

static void mark(struct Db *db, DWORD n, int used)
{
    BYTE bit = (BYTE)(1u << ((n - 1) % 8));
    if (used)
        db->bits[(n - 1) / 8] |= bit;
    else
        db->bits[(n - 1) / 8] &= (BYTE)~bit;
}

EXPORT LONG WINAPI ComDBOpen(HCOMDB *phComDB)
{
    if (!phComDB)
        return ERROR_INVALID_PARAMETER;
    *phComDB = HCOMDB_INVALID_HANDLE_VALUE;
    for (unsigned i = 0; i < sizeof slots / sizeof slots[0]; i++) {
        if (InterlockedCompareExchange(&slots[i].used, 1, 0) != 0)
            continue;
        HKEY key;
        LONG rc = RegCreateKeyExA(HKEY_LOCAL_MACHINE, dbKey, 0, NULL, 0, KEY_READ | KEY_WRITE,
                                  NULL, &key, NULL);
        if (rc != ERROR_SUCCESS) {
            slots[i].used = 0;
            return rc;
        }
        slots[i].key = key;
        *phComDB = (HCOMDB)&slots[i];
        return ERROR_SUCCESS;
    }
    return ERROR_NOT_ENOUGH_MEMORY;
}

EXPORT LONG WINAPI ComDBClose(HCOMDB hComDB)
{
    struct Slot *s = slotOf(hComDB);
    if (!s)
        return ERROR_INVALID_PARAMETER;
    RegCloseKey(s->key);
    s->key = NULL;
    s->used = 0;
    return ERROR_SUCCESS;
}

EXPORT LONG WINAPI ComDBGetCurrentPortUsage(HCOMDB hComDB, PBYTE Buffer, DWORD BufferSize,
                                            DWORD ReportType, LPDWORD MaxPortsReported)
{
    struct Slot *s = slotOf(hComDB);
    if (!s || (!Buffer && !MaxPortsReported))
        return ERROR_INVALID_PARAMETER;
    /* With no buffer the report type is not used: only the size is told. */
    if (Buffer && ReportType != CDB_REPORT_BITS && ReportType != CDB_REPORT_BYTES)
        return ERROR_INVALID_PARAMETER;
    struct Db db;
    LONG rc = readDb(s, &db, 0);
    if (rc != ERROR_SUCCESS)
        return rc;
    DWORD ports = db.bytes * 8, count;
    if (!Buffer) {
        count = ports;
    } else if (ReportType == CDB_REPORT_BYTES) {
        count = BufferSize < ports ? BufferSize : ports;
        for (DWORD n = 1; n <= count; n++)
            Buffer[n - 1] = (BYTE)inUse(&db, n);
    } else {
        DWORD bytes = BufferSize < db.bytes ? BufferSize : db.bytes;
        for (DWORD i = 0; i < bytes; i++)
            Buffer[i] = db.bits[i];
        count = bytes * 8;
    }
    if (MaxPortsReported)
        *MaxPortsReported = count;
    freeDb(&db);
    return ERROR_SUCCESS;
}

EXPORT LONG WINAPI ComDBClaimPort(HCOMDB hComDB, DWORD ComNumber, BOOL ForceClaim, PBOOL Forced)
{
    (void)ForceClaim; /* reserved: a number in use is refused all the same */
    struct Slot *s = slotOf(hComDB);
    if (!s)
        return ERROR_INVALID_PARAMETER;
    if (Forced)
        *Forced = FALSE;
    struct Db db;
    LONG rc = readDb(s, &db, 0);
    if (rc != ERROR_SUCCESS)
        return rc;
    if (ComNumber == 0 || ComNumber > db.bytes * 8)
        rc = ERROR_INVALID_PARAMETER;
    else if (inUse(&db, ComNumber))
        rc = ERROR_SHARING_VIOLATION;
    if (rc != ERROR_SUCCESS) {
        freeDb(&db);
        return rc;
    }
    mark(&db, ComNumber, 1);
    return writeDb(s, &db);
}

EXPORT LONG WINAPI ComDBReleasePort(HCOMDB hComDB, DWORD ComNumber)
{
    struct Slot *s = slotOf(hComDB);
    if (!s)
        return ERROR_INVALID_PARAMETER;
    struct Db db;
    LONG rc = readDb(s, &db, 0);
    if (rc != ERROR_SUCCESS)
        return rc;
    if (ComNumber == 0 || ComNumber > db.bytes * 8) {
        freeDb(&db);
        return ERROR_INVALID_PARAMETER;
    }
    mark(&db, ComNumber, 0);
    return writeDb(s, &db);
}

EXPORT LONG WINAPI ComDBClaimNextFreePort(HCOMDB hComDB, LPDWORD ComNumber)
{
    struct Slot *s = slotOf(hComDB);
    if (!s || !ComNumber)
        return ERROR_INVALID_PARAMETER;
    struct Db db;
    LONG rc = readDb(s, &db, 0);
    if (rc != ERROR_SUCCESS)
        return rc;
    for (DWORD n = 1; n <= db.bytes * 8; n++) {
        if (!inUse(&db, n)) {
            mark(&db, n, 1);
            rc = writeDb(s, &db);
            if (rc == ERROR_SUCCESS)
                *ComNumber = n;
            return rc;
        }
    }
    freeDb(&db);
    return ERROR_NO_LOG_SPACE;
}

EXPORT LONG WINAPI ComDBResizeDatabase(HCOMDB hComDB, DWORD NewSize)
{
    struct Slot *s = slotOf(hComDB);
    if (!s || NewSize % 1024)
        return ERROR_INVALID_PARAMETER;
    struct Db db;
    LONG rc = readDb(s, &db, 0);
    if (rc != ERROR_SUCCESS)
        return rc;
    DWORD ports = db.bytes * 8;
    freeDb(&db);
    if (NewSize <= ports || NewSize > COMDB_MAX_PORTS_ARBITRATED)
        return ERROR_BAD_LENGTH;
    rc = readDb(s, &db, NewSize / 8);
    if (rc != ERROR_SUCCESS)
        return rc;
    return writeDb(s, &db);
}

/* The Wine runner tells this DLL from Wine's own msports.dll by this. */
EXPORT const char RedirTestComDB[] = "testprogs/msports.c";

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved)
{
    (void)instance;
    (void)reason;
    (void)reserved;
    return TRUE;
}
