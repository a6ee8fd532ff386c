/*
 * win95.cpp - Windows 95 port registration.
 *
 * The Windows 95 installation: the census of the serial ports that the
 * Config Manager has configured, the choice of a free COM name and I/O base,
 * the port driver class entry and the root-enumerated port device entry.
 */
#include "install.h"

/* ---------------------------------------------------------------------
 * Names and tables
 * ------------------------------------------------------------------- */
const char enumPath[] = "Config Manager\\Enum";
const char driverPath[] = "System\\CurrentControlSet\\Services\\Class\\Ports";
const char portPath[] = "Enum\\Root\\Ports";
const char abovePath[] = "Enum\\Root";
const char VXDName[] = "qblred.vxd";
const char Manuf[] = "Quorbelle";

PortEntry Ports[MAX_PORTS];
int curPort;

const Resource Resources[] = {
    {"COM3", 0x3E8}, {"COM4", 0x2E8}, {"COM5", 0x108}, {"COM6", 0x110},
    {"COM7", 0x118}, {"COM8", 0x120}, {"COM9", 0x128},
};
const int maxResources = 7;

const ValueString DriverStrings[] = {
    {"DevLoader", "*vcomm"},
    {"DriverDesc", "Com Port Redirector"},
    {"InfPath", "QBLRED.INF"},
    {"PortDriver", VXDName},
    {"InfSection", "Redirector"},
    {"EnumPropPages", "serialui.dll,EnumPropPages"},
    {"ConfigDialog", "serialui.dll"},
    {"Contention", "*vcd"},
    {"Enumerator", "serenum.vxd"},
    {"", ""},
};

const ValueString PortStrings[] = {
    {"Class", "Ports"},
    {"HardwareID", "Ports"},
    {"Mfg", Manuf},
    {"", ""},
};

/* Default line settings in the layout of the Win32 DCB: 9600 baud, 8 data
 * bits, no parity, one stop bit, binary, DTR enabled, XON/XOFF both ways,
 * RTS toggle.  Only the first 26 bytes (up to EvtChar) are written. */
const unsigned char DCBVals[28] = {
    0x1C, 0x00, 0x00, 0x00, /* DCBlength 28      */
    0x80, 0x25, 0x00, 0x00, /* BaudRate 9600     */
    0x11, 0x33, 0x00, 0x00, /* flag bits 0x3311  */
    0x00, 0x00,             /* wReserved         */
    0x0A, 0x00,             /* XonLim 10         */
    0x0A, 0x00,             /* XoffLim 10        */
    0x08,                   /* ByteSize 8        */
    0x00,                   /* Parity none       */
    0x00,                   /* StopBits one      */
    0x11, 0x13,             /* XonChar, XoffChar */
    0x00, 0x00, 0x00,       /* Error, Eof, Evt   */
    0x00, 0x00,             /* wReserved1        */
};
enum { DCB_WRITTEN = 26 };

/* Logical configurations (Config Manager layout, version 0x400, priority
 * 0x3000, one I/O descriptor).  The allocated base and end at offsets 20
 * and 22 are filled in for the table chosen as the forced configuration. */
unsigned char logicalConfig0[80] = {
    0x00, 0x04, 0x00, 0x00, 0x00, 0x30, 0x00, 0x00, 0x44, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00,
    0x04, 0x00, 0x0C, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0x08, 0x00,
    0xF8, 0x03, 0xFF, 0x03, 0x00, 0x00, 0x00, 0x03, 0xFF, 0xFF, 0x08, 0x00, 0xF8, 0x02, 0xFF, 0x02,
    0x00, 0x00, 0x00, 0x03, 0xFF, 0xFF, 0x08, 0x00, 0xE8, 0x03, 0xEF, 0x03, 0x03, 0x00, 0x00, 0x03,
    0xFF, 0xFF, 0x08, 0x00, 0xE8, 0x02, 0xEF, 0x02, 0x00, 0x00, 0x00, 0x03, 0x00, 0x00, 0x00, 0x00,
};
unsigned char logicalConfig1[44] = {
    0x00, 0x04, 0x00, 0x00, 0x00, 0x30, 0x00, 0x00, 0x20, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00,
    0x01, 0x00, 0x0C, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xF8, 0xFF, 0x08, 0x00,
    0x00, 0x01, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0x03, 0x00, 0x00, 0x00, 0x00,
};
enum { ALLOC_BASE_OFS = 20, ALLOC_END_OFS = 22 };

/* Sizes the census reads with, terminator included. */
enum {
    SUBKEY_NAME_LEN = 20,
    HARDWARE_KEY_LEN = 100,
    PORTNAME_LEN = 20,
    DRIVER_LEN = 30,
    ALLOCATION_LEN = 200,
    /* "Enum\" + a hardware key of up to 100 characters, and the Config
     * Manager key of a device, held whole. */
    KEY_PATH_LEN = 128,
    ENTRY_NAME_LEN = 12
};

/* ---------------------------------------------------------------------
 * Helpers
 * ------------------------------------------------------------------- */
namespace {

unsigned long readLong(const unsigned char *p)
{
    return (unsigned long)p[0] | ((unsigned long)p[1] << 8) | ((unsigned long)p[2] << 16) |
           ((unsigned long)p[3] << 24);
}

unsigned short readShort(const unsigned char *p)
{
    return (unsigned short)(p[0] | (p[1] << 8));
}

void writeShort(unsigned char *p, unsigned short v)
{
    p[0] = (unsigned char)(v & 0xFF);
    p[1] = (unsigned char)(v >> 8);
}

/* Queries a text value into buf (size bytes) and returns the length of
 * its text in *textLen.  A value that fills the buffer without a
 * terminator is the whole value (a longer one does not fit: the query
 * fails with ERROR_MORE_DATA); its text is then all size bytes and buf
 * holds no terminator. */
LONG queryRawText(HKEY key, const char *name, char *buf, DWORD size, DWORD *textLen)
{
    DWORD len = size;
    LONG rc = RegQueryValueExA(key, name, NULL, NULL, (LPBYTE)buf, &len);
    if (rc != ERROR_SUCCESS)
        return rc;
    if (len > size)
        return ERROR_MORE_DATA;
    DWORD n = 0;
    while (n < len && buf[n])
        n++;
    *textLen = n;
    return ERROR_SUCCESS;
}

/* Queries a text value into buf, terminated within the buffer: a text
 * that fills the buffer without a terminator is cut to size - 1
 * characters. */
LONG queryText(HKEY key, const char *name, char *buf, DWORD size)
{
    DWORD n;
    LONG rc = queryRawText(key, name, buf, size, &n);
    if (rc == ERROR_SUCCESS)
        buf[n < size ? n : size - 1] = 0;
    return rc;
}

/* An entry number as a 32-bit strtol reads it: the leading decimal number
 * of the name, saturated at the limits of a 32-bit signed value. */
long entryNumber(const char *name)
{
    long v = strtol(name, NULL, 10);
    if (v > 0x7FFFFFFFL)
        return 0x7FFFFFFFL;
    if (v < -0x7FFFFFFFL - 1)
        return -0x7FFFFFFFL - 1;
    return v;
}

/* The name of the next numbered entry under key: one above the highest
 * leading number among its subkey names, at least four digits.  The
 * enumeration ends at the first call that does not succeed.  Returns 0, or
 * -1 (after its message) when the highest number leaves no next one. */
int nextEntryName(HWND owner, HKEY key, const char *keyPath, char *entryName)
{
    long highest = 0;
    char name[SUBKEY_NAME_LEN];
    for (DWORD index = 0;; index++) {
        DWORD len = sizeof name;
        if (RegEnumKeyExA(key, index, name, &len, NULL, NULL, NULL, NULL) != ERROR_SUCCESS)
            break;
        name[sizeof name - 1] = 0;
        long n = entryNumber(name);
        if (n > highest)
            highest = n;
    }
    if (highest >= 0x7FFFFFFFL) {
        ErrMsg(owner, "No number left for a new subkey at %s", keyPath);
        return -1;
    }
    snprintf(entryName, ENTRY_NAME_LEN, "%.4d", (int)(highest + 1));
    return 0;
}

LONG setText(HKEY key, const char *name, const char *text)
{
    return RegSetValueExA(key, name, 0, REG_SZ, (const BYTE *)text, (DWORD)strlen(text) + 1);
}

/* Writes a table of text values; on a failure says which value and returns
 * the error code, the rest unwritten. */
LONG setTexts(HWND owner, HKEY key, const ValueString *table)
{
    for (const ValueString *v = table; v->name[0] != 0; v++) {
        LONG rc = setText(key, v->name, v->text);
        if (rc != ERROR_SUCCESS) {
            ErrMsg(owner, "Can't set %s value", v->name);
            return rc;
        }
    }
    return ERROR_SUCCESS;
}

LONG setBinary(HKEY key, const char *name, const unsigned char *data, DWORD size)
{
    return RegSetValueExA(key, name, 0, REG_BINARY, (const BYTE *)data, size);
}

LONG createSubkey(HKEY parent, const char *name, HKEY *result, DWORD *disposition)
{
    *result = NULL;
    *disposition = 0;
    return RegCreateKeyExA(parent, name, 0, NULL, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, NULL,
                           result, disposition);
}

/* What the census does after one subkey. */
enum CensusStep { CENSUS_NEXT, CENSUS_FULL, CENSUS_STOP };

/* Examines one device of the Config Manager's enumeration and records it
 * in Ports when it is a COM port. */
CensusStep censusDevice(HWND owner, const char *subkey)
{
    char cmPath[KEY_PATH_LEN];
    int n = snprintf(cmPath, sizeof cmPath, "%s\\%s", enumPath, subkey);
    if (n < 0 || n >= (int)sizeof cmPath)
        return CENSUS_NEXT;

    HKEY cmKey;
    if (RegOpenKeyExA(HKEY_DYN_DATA, cmPath, 0, KEY_READ, &cmKey) != ERROR_SUCCESS)
        return CENSUS_NEXT;

    CensusStep step = CENSUS_NEXT;
    char hardware[HARDWARE_KEY_LEN];
    DWORD hardwareLen;
    char hwPath[KEY_PATH_LEN];
    HKEY hwKey;
    if (queryRawText(cmKey, "HardWareKey", hardware, sizeof hardware, &hardwareLen) !=
        ERROR_SUCCESS) {
        RegCloseKey(cmKey);
        return CENSUS_NEXT;
    }
    /* The key path is made of the whole text, also of one that fills the
     * buffer without a terminator: cut short, it would name another key. */
    n = snprintf(hwPath, sizeof hwPath, "Enum\\%.*s", (int)hardwareLen, hardware);
    if (n < 0 || n >= (int)sizeof hwPath ||
        RegOpenKeyExA(HKEY_LOCAL_MACHINE, hwPath, 0, KEY_READ, &hwKey) != ERROR_SUCCESS) {
        RegCloseKey(cmKey);
        return CENSUS_NEXT;
    }

    char portName[PORTNAME_LEN];
    char driver[DRIVER_LEN];
    unsigned char alloc[ALLOCATION_LEN];
    DWORD allocLen = sizeof alloc;
    LONG rc;
    if (queryText(hwKey, "PORTNAME", portName, sizeof portName) != ERROR_SUCCESS ||
        strncmp(portName, "COM", 3) != 0) {
        step = CENSUS_NEXT;
    } else if ((rc = queryText(hwKey, "Driver", driver, sizeof driver)) != ERROR_SUCCESS) {
        ErrMsg(owner, "Couldn't read Driver for %s: %d", hwPath, (int)rc);
        step = CENSUS_STOP;
    } else if ((rc = RegQueryValueExA(cmKey, "Allocation", NULL, NULL, alloc, &allocLen)) !=
                   ERROR_SUCCESS &&
               rc != ERROR_FILE_NOT_FOUND) {
        ErrMsg(owner, "Couldn't read Allocation for %s: %d", cmPath, (int)rc);
        step = CENSUS_STOP;
    } else {
        /* A port that Windows did not start (disabled, or in conflict) has
         * no "Allocation": nothing was allocated to it.  It keeps its name
         * from being taken and blocks no base. */
        PortEntry *entry = &Ports[curPort];
        if (allocLen > sizeof alloc)
            allocLen = sizeof alloc;
        if (rc == ERROR_FILE_NOT_FOUND || InterpretAllocation(owner, portName, alloc, allocLen) != 0) {
            entry->ioBase = 0;
            entry->ioEnd = 0;
        }
        memcpy(entry->name, portName, sizeof entry->name);
        memcpy(entry->driver, driver, sizeof entry->driver);
        curPort++;
        if (curPort == MAX_PORTS) {
            ErrMsg(owner, "Too many ports! (%d)", MAX_PORTS);
            step = CENSUS_FULL;
        }
    }
    RegCloseKey(hwKey);
    RegCloseKey(cmKey);
    return step;
}

} // namespace

/* ---------------------------------------------------------------------
 * The census
 * ------------------------------------------------------------------- */
int InterpretAllocation(HWND owner, const char *name, const unsigned char *value, DWORD length)
{
    if (curPort < 0 || curPort >= MAX_PORTS || value == NULL || length < 4)
        return -1;
    unsigned long version = readLong(value);
    if (version != 0x400) {
        ErrMsg(owner, "Don't recognize CM version 0x%x for %s", (unsigned)version, name);
        return -1;
    }
    if (length <= 16)
        return -1;
    DWORD offset = 8;
    DWORD remaining = length - 8;
    while (remaining > 8) {
        const unsigned char *desc = value + offset;
        unsigned long descLen = readLong(desc);
        /* The end mark, or a length that claims more than the value
         * holds, ends the walk.  Any other length, however short, is
         * stepped over: each step advances at least one byte. */
        if (descLen == 0 || descLen > remaining)
            return -1;
        if (readLong(desc + 4) == 2) {
            /* The base and end words, at 12 to 15, must lie inside the
             * value; the length the descriptor declares is not needed. */
            if (remaining < 16)
                return -1;
            Ports[curPort].ioBase = readShort(desc + 12);
            Ports[curPort].ioEnd = readShort(desc + 14);
            return 0;
        }
        offset += (DWORD)descLen;
        remaining -= (DWORD)descLen;
    }
    return -1;
}

int doit95(HWND owner, int *aborted)
{
    *aborted = 0;
    if (doISS(owner) != 0)
        return 0;

    curPort = 0;
    HKEY enumKey;
    LONG rc = RegOpenKeyExA(HKEY_DYN_DATA, enumPath, 0, KEY_READ, &enumKey);
    if (rc != ERROR_SUCCESS) {
        ErrMsg(owner, "Couldn't open %s: %d", enumPath, (int)rc);
        return 0;
    }

    char subkey[SUBKEY_NAME_LEN];
    for (DWORD index = 0;; index++) {
        DWORD len = sizeof subkey;
        if (RegEnumKeyExA(enumKey, index, subkey, &len, NULL, NULL, NULL, NULL) != ERROR_SUCCESS)
            break;
        subkey[sizeof subkey - 1] = 0;
        CensusStep step = censusDevice(owner, subkey);
        if (step == CENSUS_STOP) {
            RegCloseKey(enumKey);
            return 0;
        }
        if (step == CENSUS_FULL)
            break;
    }

    const Resource *entry = findFree();
    if (entry == NULL) {
        ErrMsg(owner, "Can't find a free resource");
        RegCloseKey(enumKey);
        return 0;
    }
    char keyName[ENTRY_NAME_LEN];
    keyName[0] = 0;
    if (doDriver(owner, keyName, 0) != 0) {
        ErrMsg(owner, "Error setting up driver section in Registry");
        RegCloseKey(enumKey);
        return 0;
    }
    if (doPort(owner, keyName, entry) != 0) {
        ErrMsg(owner, "Error setting up port section in Registry");
        RegCloseKey(enumKey);
        return 0;
    }
    RegCloseKey(enumKey);
    finishInstall(owner);
    return 0;
}

/* ---------------------------------------------------------------------
 * Free resource choice
 * ------------------------------------------------------------------- */
const Resource *findFree(void)
{
    int ports = curPort < 0 ? 0 : (curPort > MAX_PORTS ? MAX_PORTS : curPort);
    for (int i = 0; i < maxResources; i++) {
        const Resource *r = &Resources[i];
        bool conflict = false;
        for (int p = 0; p < ports && !conflict; p++)
            conflict = strncmp(r->name, Ports[p].name, sizeof Ports[p].name) == 0 ||
                       r->ioBase == Ports[p].ioBase;
        if (!conflict)
            return r;
    }
    return NULL;
}

/* ---------------------------------------------------------------------
 * Port driver class entry
 * ------------------------------------------------------------------- */
int doDriver(HWND owner, char *keyName, int mode)
{
    if (mode != 0) {
        ErrMsg(owner, "Unknown driver setup mode %d", mode);
        return ERROR_INVALID_PARAMETER;
    }
    HKEY classKey;
    LONG rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, driverPath, 0, KEY_ALL_ACCESS, &classKey);
    if (rc != ERROR_SUCCESS) {
        ErrMsg(owner, "Couldn't open %s", driverPath);
        return rc;
    }
    char name[ENTRY_NAME_LEN];
    if (nextEntryName(owner, classKey, driverPath, name) != 0) {
        RegCloseKey(classKey);
        return -1;
    }
    memcpy(keyName, name, sizeof name);

    HKEY entryKey;
    DWORD disposition;
    rc = createSubkey(classKey, name, &entryKey, &disposition);
    if (rc != ERROR_SUCCESS) {
        ErrMsg(owner, "Couldn't create subkey %s at %s", name, driverPath);
        RegCloseKey(classKey);
        return rc;
    }
    if (disposition != REG_CREATED_NEW_KEY) {
        ErrMsg(owner, "Subkey %s at %s not created new", name, driverPath);
        rc = ERROR_SUCCESS;
        goto done;
    }
    if ((rc = setTexts(owner, entryKey, DriverStrings)) != ERROR_SUCCESS)
        goto done;
    {
        static const unsigned char subClass = 0x01;
        rc = setBinary(entryKey, "PortSubClass", &subClass, 1);
        if (rc != ERROR_SUCCESS) {
            ErrMsg(owner, "Can't set %s value", "PortSubClass");
            goto done;
        }
    }
    rc = setBinary(entryKey, "DCB", DCBVals, DCB_WRITTEN);
    if (rc != ERROR_SUCCESS)
        ErrMsg(owner, "Can't set DCB value");
done:
    if (entryKey != NULL)
        RegCloseKey(entryKey);
    RegCloseKey(classKey);
    return rc;
}

/* ---------------------------------------------------------------------
 * Port device entry
 * ------------------------------------------------------------------- */
namespace {

/* Fills the device entry; returns 0 or the error code after its message. */
LONG fillPortEntry(HWND owner, HKEY entryKey, const char *keyName, const Resource *entry)
{
    LONG rc = setTexts(owner, entryKey, PortStrings);
    if (rc != ERROR_SUCCESS)
        return rc;
    char text[64];
    snprintf(text, sizeof text, "Ports\\%s", keyName);
    if ((rc = setText(entryKey, "Driver", text)) != ERROR_SUCCESS) {
        ErrMsg(owner, "Can't set Driver value");
        return rc;
    }
    snprintf(text, sizeof text, "Com Port Redirector (%s)", entry->name);
    if ((rc = setText(entryKey, "DeviceDesc", text)) != ERROR_SUCCESS) {
        ErrMsg(owner, "Can't set DeviceDesc value");
        return rc;
    }
    if ((rc = setText(entryKey, "FRIENDLYNAME", text)) != ERROR_SUCCESS) {
        ErrMsg(owner, "Can't set FRIENDLYNAME value");
        return rc;
    }
    if ((rc = setText(entryKey, "PORTNAME", entry->name)) != ERROR_SUCCESS) {
        ErrMsg(owner, "Can't set PORTNAME value");
        return rc;
    }
    static const unsigned char configFlags[4] = {0x04, 0x00, 0x00, 0x00};
    if ((rc = setBinary(entryKey, "ConfigFlags", configFlags, sizeof configFlags)) !=
        ERROR_SUCCESS) {
        ErrMsg(owner, "Can't set ConfigFlags value");
        return rc;
    }

    /* COM5 and above take any 8-port block, COM3 and COM4 a fixed one. */
    bool high = strlen(entry->name) > 3 && entry->name[3] > '4';
    unsigned char *forced = high ? logicalConfig1 : logicalConfig0;
    DWORD forcedSize = high ? sizeof logicalConfig1 : sizeof logicalConfig0;
    writeShort(forced + ALLOC_BASE_OFS, entry->ioBase);
    writeShort(forced + ALLOC_END_OFS, (unsigned short)(entry->ioBase + 7));
    if ((rc = setBinary(entryKey, "ForcedConfig", forced, forcedSize)) != ERROR_SUCCESS) {
        ErrMsg(owner, "Can't set ForcedConfig value");
        return rc;
    }

    HKEY logKey;
    DWORD disposition;
    rc = createSubkey(entryKey, "LogConfig", &logKey, &disposition);
    if (rc != ERROR_SUCCESS) {
        ErrMsg(owner, "Couldn't create subkey LogConfig at %s", portPath);
        return rc;
    }
    if (disposition != REG_CREATED_NEW_KEY) {
        ErrMsg(owner, "Subkey LogConfig at %s not created new", portPath);
    } else if ((rc = setBinary(logKey, "0", logicalConfig0, sizeof logicalConfig0)) !=
               ERROR_SUCCESS) {
        ErrMsg(owner, "Can't set LogConfig 0 value");
    } else if ((rc = setBinary(logKey, "1", logicalConfig1, sizeof logicalConfig1)) !=
               ERROR_SUCCESS) {
        ErrMsg(owner, "Can't set LogConfig 1 value");
    }
    if (logKey != NULL)
        RegCloseKey(logKey);
    return rc;
}

} // namespace

int doPort(HWND owner, const char *keyName, const Resource *entry)
{
    HKEY aboveKey = NULL;
    HKEY portsKey;
    LONG rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, portPath, 0, KEY_ALL_ACCESS, &portsKey);
    if (rc == ERROR_FILE_NOT_FOUND) {
        rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, abovePath, 0, KEY_ALL_ACCESS, &aboveKey);
        if (rc != ERROR_SUCCESS) {
            ErrMsg(owner, "Couldn't open %s", abovePath);
            return rc;
        }
        DWORD disposition;
        rc = createSubkey(aboveKey, "Ports", &portsKey, &disposition);
        if (rc != ERROR_SUCCESS) {
            ErrMsg(owner, "Couldn't create subkey Ports at %s", abovePath);
            RegCloseKey(aboveKey);
            return rc;
        }
        if (disposition != REG_CREATED_NEW_KEY) {
            ErrMsg(owner, "Subkey Ports at %s not created new", abovePath);
            if (portsKey != NULL)
                RegCloseKey(portsKey);
            RegCloseKey(aboveKey);
            return 0;
        }
    } else if (rc != ERROR_SUCCESS) {
        ErrMsg(owner, "Couldn't open %s: %d", portPath, (int)rc);
        return rc;
    }

    char name[ENTRY_NAME_LEN];
    HKEY entryKey;
    DWORD disposition;
    if (nextEntryName(owner, portsKey, portPath, name) != 0) {
        rc = -1;
    } else if ((rc = createSubkey(portsKey, name, &entryKey, &disposition)) != ERROR_SUCCESS) {
        ErrMsg(owner, "Couldn't create subkey %s at %s", name, portPath);
    } else {
        if (disposition != REG_CREATED_NEW_KEY)
            ErrMsg(owner, "Subkey %s at %s not created new", name, portPath);
        else
            rc = fillPortEntry(owner, entryKey, keyName, entry);
        if (entryKey != NULL)
            RegCloseKey(entryKey);
    }
    RegCloseKey(portsKey);
    if (aboveKey != NULL)
        RegCloseKey(aboveKey);
    return rc;
}
