/*
 * install.h - shared declarations of the redirector setup program.
 *
 * The program is plain procedures over global state: the install settings
 * area, the platform record, the error flag, the message helpers and the
 * compiled-in names and tables live here.  Every module includes this file
 * and nothing else of the program's.
 */
#ifndef INSTALL_H
#define INSTALL_H

#include "platform.h"

/* ---------------------------------------------------------------------
 * Install settings area (704 bytes, zero at start, cleared by WinMain).
 * ------------------------------------------------------------------- */
enum {
    PATH_FIELD_LEN = 100,   /* destination path, terminator included      */
    CMD_FIELD_LEN = 200,    /* application installer command line         */
    SLOT_TEXT_LEN = 100,    /* text of one service slot                   */
    SLOT_COUNT = 4,
    SCRIPT_DATA_SIZE = 704
};

enum SlotKind { SLOT_NONE = 0, SLOT_IP = 1, SLOT_IPX = 2 };

#pragma pack(push, 1)
struct ServiceSlot {
    char text[SLOT_TEXT_LEN];
    unsigned char kind;           /* SlotKind */
};
struct ScriptData {
    char path[PATH_FIELD_LEN];    /* offset 0   */
    char setupCmd[CMD_FIELD_LEN]; /* offset 100 */
    ServiceSlot slot[SLOT_COUNT]; /* offsets 300, 401, 502, 603 */
};
#pragma pack(pop)

extern ScriptData scriptData;

/* ---------------------------------------------------------------------
 * Shell state (shell.cpp)
 * ------------------------------------------------------------------- */
extern OSVERSIONINFOA OSInfo;     /* dwOSVersionInfoSize = 148            */
extern HINSTANCE ghInst;
extern HWND hWndMain;
extern unsigned char doAuto;      /* 1 silent, 0 interactive              */
extern unsigned char gotError;    /* set by ErrMsg after its box closed   */

extern const char gszAppName[];   /* "install" */
extern const char productName[];
extern const char defaultAppPath[];
extern const char AppPathKeyName[];
extern const char helpFile[];
extern const char successText[];
extern const char successText351[];

enum {
    IDD_DESTPATH = 4,             /* destination-path dialog template     */
    IDI_INSTALL = 5,              /* program icon                         */
    IDC_HELPBTN = 9,
    IDC_PATHEDIT = 10,
    HELP_CONTEXT_ID = 1037
};

int WINAPI WinMain(HINSTANCE hInst, HINSTANCE hPrev, LPSTR args, int show);
LRESULT CALLBACK WndProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
int doit(HWND owner, int *aborted);

/* Message helpers: printf-style, text cut at 199 characters.  The compiler
 * checks every format against its arguments. */
int ErrMsg(HWND owner, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
int InfoMsg(HWND owner, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
int QueryMsg(HWND owner, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

int startInteractive(HWND owner);
INT_PTR CALLBACK PathDlgProc(HWND dlg, UINT msg, WPARAM wParam, LPARAM lParam);
int AlreadyInstalled(char *buf, DWORD size);
void checkPath(char *path);
int parseScript(const char *fileName);

/* ---------------------------------------------------------------------
 * Windows 95 port registration (win95.cpp)
 * ------------------------------------------------------------------- */
enum { MAX_PORTS = 20 };

struct PortEntry {
    char name[20];
    char driver[30];
    unsigned short ioBase;
    unsigned short ioEnd;
};
extern PortEntry Ports[MAX_PORTS];
extern int curPort;

struct Resource {
    const char *name;
    unsigned short ioBase;
};
extern const Resource Resources[];
extern const int maxResources;

struct ValueString {              /* (value name, text); "" name ends it */
    const char *name;
    const char *text;
};
extern const ValueString DriverStrings[];
extern const ValueString PortStrings[];
extern const unsigned char DCBVals[28];
extern unsigned char logicalConfig0[80];
extern unsigned char logicalConfig1[44];

extern const char enumPath[];     /* "Config Manager\Enum"                */
extern const char driverPath[];   /* "System\CurrentControlSet\Services\Class\Ports" */
extern const char portPath[];     /* "Enum\Root\Ports"                    */
extern const char abovePath[];    /* "Enum\Root"                          */
extern const char VXDName[];      /* "qblred.vxd"                         */
extern const char Manuf[];        /* "Quorbelle"                          */

int doit95(HWND owner, int *aborted);
int InterpretAllocation(HWND owner, const char *name, const unsigned char *value, DWORD length);
const Resource *findFree(void);
int doDriver(HWND owner, char *keyName, int mode);
int doPort(HWND owner, const char *keyName, const Resource *entry);

/* ---------------------------------------------------------------------
 * Windows NT driver service (winnt.cpp)
 * ------------------------------------------------------------------- */
extern const char NTDriverName[];  /* "Qblred"                            */
extern const char NTDisplayName[]; /* "Quorbelle COM Redirector"          */
extern const char NTDriverPath[];  /* "System\CurrentControlSet\Services" */
extern const char NTSysName[];     /* "qblred.sys"                        */

int doitNT(HWND owner, int *aborted);
void UpdateNT(HWND owner);

/* The COM port database of Windows 2000 and later (comdb.cpp), open from
 * openComDatabase to closeComDatabase.  A database that is missing (NT
 * 3.51, 4.0), cannot be opened or read, or faults counts as none: it
 * reserves no number and claims none.  The other calls may be given a
 * database that openComDatabase did not open. */
enum { LAST_COM = 256 };           /* the highest COM number NT names    */
struct ComDatabase {
    HMODULE dll;
    HANDLE handle;                 /* NULL: no database (any more)        */
    FARPROC open, close, usage, claim, release;
    unsigned char inUse[LAST_COM]; /* COMn at [n - 1]: held as in use     */
    DWORD ports;                   /* how many numbers inUse tells of     */
};
void openComDatabase(ComDatabase *db);
bool comReserved(const ComDatabase *db, int n);
/* Claims COMn; false only when the database has it in use already. */
bool claimCom(ComDatabase *db, int n);
void releaseCom(ComDatabase *db, int n);
void closeComDatabase(ComDatabase *db);

/* ---------------------------------------------------------------------
 * Application installer hand-off (handoff.cpp)
 * ------------------------------------------------------------------- */
struct IssLine {
    int kind;                     /* 0 text, 1 path, 2..5 service slot 1..4 */
    const char *text;             /* "" ends the template                   */
};
extern const IssLine issLines[];
extern const char srFile[];        /* "qblred.iss"    */
extern const char logFile[];       /* "qblred.log"    */
extern const char setupCmd[];      /* "second.exe -S" */
extern const char uninstKeyName[];
extern const char uninstProgName[]; /* "remove.exe"   */

/* Reads an environment variable (its name compared without regard to
 * case) whole into buf.  Returns its length, 0 when it is unset or empty,
 * or -1 when it does not fit in size bytes with its terminator. */
int getEnv(const char *name, char *buf, int size);
int doISS(HWND owner);
int finishInstall(HWND owner);
DWORD WINAPI SecondThread(LPVOID param); /* param: the owner window */

#endif /* INSTALL_H */
