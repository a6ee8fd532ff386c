/*
 * test_failure_matrix.cpp - every failure the program knows, one row each.
 *
 * kRows lists the failures of the program as its failure tables give them:
 * start-up, message boxes, the interactive flow, the census and the
 * Windows 95 sequence, the class entry, the device entry, the service key
 * migration, the NT service, the response file and the uninstall entry
 * with the installer launch.  Each case below sets up a machine on which
 * its row is reachable, injects the failure, runs the part of the program
 * that meets it and checks the boxes in order (caption and text), the
 * error flag, the aborted flag, the result, what the registry and the
 * drive hold afterwards (nothing rolled back, nothing more written) and
 * that every handle is closed.  The test fails when a listed row has no
 * passing case, and when a case names a row that is not listed.
 */
#include "fixture.h"
#include "test_handoff_support.h"
#include "test_win95_helpers.h"

#include <algorithm>
#include <cstdio>
#include <functional>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

using w95::addDevice;
using w95::allocation;
using w95::allocIo;
using w95::ioDescriptor;
using w95::otherDescriptor;
using w95::sz;

const char *const kRows[] = {
    /* start-up and run modes */
    "startup/version query fails",
    "startup/class registration fails",
    "startup/main window not created",
    "startup/script cannot be read",
    "startup/platform neither 95 nor NT",
    /* message boxes */
    "box/ErrMsg box cannot be shown",
    "box/InfoMsg box cannot be shown",
    "box/QueryMsg box cannot be shown",
    /* interactive flow */
    "flow/failure inside the installation",
    "flow/failure inside the update",
    "flow/unsupported platform",
    "flow/confirmation cannot be shown",
    "flow/update question cannot be shown",
    "flow/dialog cannot be created",
    /* census and Windows 95 sequence */
    "census/doISS fails",
    "census/Config Manager Enum not opened",
    "census/subkey skipped",
    "census/Driver unreadable",
    "census/Allocation unreadable",
    "census/no Allocation",
    "census/Allocation version not 0x400",
    "census/no I/O descriptor",
    "census/20 ports recorded",
    "census/no free resource",
    "census/driver class entry fails",
    "census/port device entry fails",
    "census/finishInstall fails",
    /* port driver class entry */
    "class entry/class key not opened",
    "class entry/entry key not created",
    "class entry/entry key existed",
    "class entry/DriverStrings value not set",
    "class entry/PortSubClass not set",
    "class entry/DCB not set",
    /* port device entry */
    "device entry/Ports key not opened",
    "device entry/Enum Root not opened",
    "device entry/Ports not created",
    "device entry/Ports existed when created",
    "device entry/entry key not created",
    "device entry/entry key existed",
    "device entry/PortStrings value not set",
    "device entry/Driver not set",
    "device entry/DeviceDesc not set",
    "device entry/FRIENDLYNAME not set",
    "device entry/PORTNAME not set",
    "device entry/ConfigFlags not set",
    "device entry/ForcedConfig not set",
    "device entry/LogConfig not created",
    "device entry/LogConfig existed",
    "device entry/LogConfig 0 not set",
    "device entry/LogConfig 1 not set",
    /* service key migration */
    "migration/key not opened",
    "migration/Port0 not written",
    "migration/NumPorts not written",
    /* NT driver service */
    "service/SystemRoot not set",
    "service/doISS failed",
    "service/manager not opened",
    "service/creation failed",
    "service/existing service not opened",
    "service/existing service not re-configured",
    "service/service key not opened",
    "service/Port0 not written",
    "service/NumPorts not written",
    "service/driver file not copied",
    "service/finishInstall failed",
    "service/already running",
    "service/not started",
    /* response file */
    "response file/WINDIR not set",
    "response file/cannot be opened",
    "response file/cannot be written",
    /* uninstall entry and installer launch */
    "uninstall/key not created",
    "uninstall/DisplayName not written",
    "uninstall/UninstallString not written",
    "uninstall/second thread not created",
    "uninstall/installer process not created",
};

const std::string kClassKey = "System\\CurrentControlSet\\Services\\Class\\Ports";
const std::string kPortsKey = "Enum\\Root\\Ports";
const std::string kSvcKey = "System\\CurrentControlSet\\Services\\Qblred";
const std::string kUninstKey =
    "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Quorbelle Redirector";
const std::string kDriverTarget = "C:\\windows\\system32\\drivers\\qblred.sys";
const char kConfirm[] = "Install: This will install the Quorbelle Redirector for Windows.  Continue?";
const char kUpdateQ[] = "Install: Redirector is already installed.  Update?";
const char kPlatform[] = "Error: Platform must be Windows 95 or Windows NT.  Aborting";
const std::string kUninstFail = "Error: Couldn't create subkey " + kUninstKey + ": 5";

enum Machine { WIN95_MACHINE, NT_MACHINE, WIN31_MACHINE };
enum Run {
    RUN_WINMAIN_SILENT, /* WinMain with "C:\setup\script.txt" */
    RUN_WINMAIN_INTERACTIVE,
    RUN_DOIT,
    RUN_ERRMSG,
    RUN_INFOMSG,
    RUN_QUERYMSG,
    RUN_INTERACTIVE, /* startInteractive */
    RUN_DOIT95,
    RUN_DODRIVER,
    RUN_DOPORT, /* class entry 0003, COM3 */
    RUN_UPDATENT,
    RUN_DOITNT,
    RUN_DOISS,
    RUN_FINISH
};
const int NONE = -99; /* result or flag not looked at */

struct Case {
    std::string row;
    std::string variant;
    Machine machine;
    std::function<void()> prepare; /* the row's machine and fault */
    Run run;
    int result;
    std::vector<std::string> boxes; /* "Caption: text", in order */
    int gotError;
    int aborted;
    /* Facts afterwards, blank-separated; "-fact" must not hold:
     * iss       the response file exists
     * cls       class entry 0003 exists (the base machine has 0000 to 0002)
     * dev       device entry 0001 exists
     * uninst    the uninstall entry holds its UninstallString
     * launched  the application installer was started
     * svc       the Qblred service is registered
     * running   the Qblred service runs
     * copied    the driver file is in the drivers folder
     * port0     the service key holds "Port0" */
    std::string facts;
    std::function<void()> extra = nullptr;
};

int sinceRun(const char *api);

bool keyExists(const std::string &path) { return w95::keyExists(HKEY_LOCAL_MACHINE, path); }

bool valueExists(const std::string &path, const char *name)
{
    return w95::getValue(HKEY_LOCAL_MACHINE, path, name, nullptr);
}

bool fileExists(const std::string &path)
{
    std::string bytes;
    return standin::getFile(path, &bytes);
}

bool fact(const std::string &name)
{
    if (name == "iss")
        return fileExists("C:\\windows\\qblred.iss");
    if (name == "cls")
        return keyExists(kClassKey + "\\0003");
    if (name == "dev")
        return keyExists(kPortsKey + "\\0001");
    if (name == "uninst")
        return valueExists(kUninstKey, "UninstallString");
    if (name == "launched")
        return sinceRun("CreateProcessA") > 0;
    if (name == "svc")
        return standin::serviceState("Qblred") != standin::SVC_ABSENT;
    if (name == "running")
        return standin::serviceState("Qblred") == standin::SVC_RUNNING;
    if (name == "copied")
        return fileExists(kDriverTarget);
    if (name == "port0")
        return valueExists(kSvcKey, "Port0");
    ADD_FAILURE() << "unknown fact " << name;
    return false;
}

/* Value names present in a key, sorted. */
std::vector<std::string> values(const std::string &path)
{
    std::vector<std::string> v = w95::valueNames(HKEY_LOCAL_MACHINE, path);
    std::sort(v.begin(), v.end());
    return v;
}

std::vector<std::string> sorted(std::vector<std::string> v)
{
    std::sort(v.begin(), v.end());
    return v;
}

/* Calls of an api made by the run itself: not by the machine's setup, not
 * by the checks afterwards. */
std::map<std::string, int> baseline;
std::map<std::string, int> byRun;
const char *const kCounted[] = {"RegOpenKeyExA", "RegCreateKeyExA", "CreateProcessA",
                                "CreateFileA",   "RegisterClassA",  "CreateWindowExA",
                                "GetMessageA",   "WinHelpA",        "DialogBoxParamA",
                                "OpenSCManagerA", "StartServiceA"};
void takeBaseline()
{
    for (const char *api : kCounted)
        baseline[api] = standin::calls(api);
}
void countRun()
{
    for (const char *api : kCounted)
        byRun[api] = standin::calls(api) - baseline[api];
}
int sinceRun(const char *api)
{
    if (!byRun.count(api))
        ADD_FAILURE() << api << " is not counted";
    return byRun[api];
}

void win95Machine()
{
    usePlatform(standin::WIN95);
    w95::baseMachine();
    w95::defaultMachine();
    ASSERT_TRUE(putProgram("C:\\setup\\second.exe", "/bin/true"));
    strcpy(scriptData.path, "C:\\Program Files\\Quorbelle\\Redirector\\");
}

void ntMachine()
{
    usePlatform(standin::NT40);
    CreateDirectoryA("C:\\windows\\system32", nullptr);
    CreateDirectoryA("C:\\windows\\system32\\drivers", nullptr);
    standin::putFile("C:\\setup\\qblred.sys", "MZ test driver");
    ASSERT_TRUE(putProgram("C:\\setup\\second.exe", "/bin/true"));
    strcpy(scriptData.path, "C:\\Program Files\\Quorbelle\\Redirector\\");
}

/* A service that an earlier run registered, in the older layout. */
void existingService(const std::string &extra = "\"Port\"=dword:00000004\n")
{
    ASSERT_TRUE(standin::importReg("REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\" + kSvcKey +
                                   "]\n\"Type\"=dword:00000001\n\"Start\"=dword:00000001\n"
                                   "\"ErrorControl\"=dword:00000001\n"
                                   "\"ImagePath\"=\"system32\\\\drivers\\\\qblred.sys\"\n" +
                                   extra));
}

void appPathSet()
{
    ASSERT_TRUE(standin::importReg("REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\"
                                   "CurrentVersion\\App Paths\\rdcfg.exe]\n"
                                   "\"Path\"=\"C:\\\\Apps\\\\\"\n"));
}

void answers(int n)
{
    for (int i = 0; i < n; i++)
        standin::addAnswer("OK");
}

void fail(const char *api, const std::string &match = "", DWORD code = ERROR_ACCESS_DENIED,
          int nth = 1)
{
    standin::fail(api, code, match, nth);
}

/* Class or device subkeys of which the enumeration sees only 0000: the
 * name that follows it does not fit the enumeration's buffer, so 0001 is
 * chosen, and it exists.  Windows 95 enumerates in the order of creation,
 * so the entries after 0000 that the machine has are created again after
 * the long name, with all they hold. */
void hiddenEntries(const std::string &parent)
{
    const std::string full = "HKEY_LOCAL_MACHINE\\" + parent;
    std::string later = "REGEDIT4\n\n", gone = "REGEDIT4\n\n";
    for (const std::string &name : w95::subkeys(HKEY_LOCAL_MACHINE, parent)) {
        if (name == "0000")
            continue;
        later += standin::exportReg(full + "\\" + name).substr(10);
        gone += "[-" + full + "\\" + name + "]\n";
    }
    ASSERT_TRUE(standin::importReg(gone));
    w95::setValue(HKEY_LOCAL_MACHINE, parent + "\\0000", "Mark", REG_SZ, sz("first"));
    w95::setValue(HKEY_LOCAL_MACHINE, parent + "\\0000" + std::string(17, 'N'), "Mark", REG_SZ,
                  sz("long"));
    ASSERT_TRUE(standin::importReg(later));
    w95::setValue(HKEY_LOCAL_MACHINE, parent + "\\0001", "Mark", REG_SZ, sz("earlier entry"));
}

std::string earlierEntry(const std::string &parent)
{
    return standin::exportReg("HKEY_LOCAL_MACHINE\\" + parent + "\\0001");
}

std::vector<Case> allCases()
{
    std::vector<Case> c;
    const std::string script = "C:\\setup\\script.txt";

    /* ---- start-up ---- */
    c.push_back({"startup/version query fails", "interactive", WIN95_MACHINE,
                 [] { fail("GetVersionExA", "", ERROR_INVALID_PARAMETER); },
                 RUN_WINMAIN_INTERACTIVE, 0,
                 {"Redirector Install: Could not determine platform.  Aborting."}, 0, NONE,
                 "-iss -launched", [] {
                     EXPECT_EQ(standin::boxes()[0].type, 0x10u);
                     EXPECT_EQ(standin::boxes()[0].owner, "none");
                     EXPECT_EQ(sinceRun("RegisterClassA"), 0);
                 }});
    c.push_back({"startup/version query fails", "silent", WIN95_MACHINE,
                 [] { fail("GetVersionExA", "", ERROR_INVALID_PARAMETER); }, RUN_WINMAIN_SILENT, 0,
                 {"Redirector Install: Could not determine platform.  Aborting."}, 0, NONE,
                 "-iss -cls -launched", [] { EXPECT_EQ(sinceRun("CreateFileA"), 0); }});
    c.push_back({"startup/class registration fails", "silent", WIN95_MACHINE,
                 [] { fail("RegisterClassA", "", ERROR_NOT_ENOUGH_MEMORY); }, RUN_WINMAIN_SILENT,
                 0, {}, 0, NONE, "-iss -cls -launched",
                 [] { EXPECT_EQ(sinceRun("CreateWindowExA"), 0); }});
    c.push_back({"startup/main window not created", "interactive", WIN95_MACHINE,
                 [] { fail("CreateWindowExA", "", ERROR_NOT_ENOUGH_MEMORY); },
                 RUN_WINMAIN_INTERACTIVE, 0, {}, 0, NONE, "-iss -launched",
                 [] { EXPECT_EQ(sinceRun("GetMessageA"), 0); }});
    c.push_back({"startup/script cannot be read", "", WIN95_MACHINE,
                 [script] { standin::putFile(script, "path=C:\\X\n"); fail("CreateFileA", "script.txt", ERROR_FILE_NOT_FOUND); },
                 RUN_WINMAIN_SILENT, 0, {}, 0, NONE, "-iss -cls -dev -uninst -launched",
                 [] { EXPECT_EQ(sinceRun("RegOpenKeyExA"), 0); }});
    c.push_back({"startup/platform neither 95 nor NT", "doit", WIN31_MACHINE, [] {}, RUN_DOIT, -1,
                 {kPlatform}, 1, 1, "-iss -launched",
                 [] { EXPECT_EQ(sinceRun("RegOpenKeyExA"), 0); }});
    c.push_back({"startup/platform neither 95 nor NT", "silent", WIN31_MACHINE, [] {},
                 RUN_WINMAIN_SILENT, 0, {kPlatform}, 1, NONE, "-iss -launched",
                 [] {
                     auto boxes = standin::boxes();
                     ASSERT_FALSE(boxes.empty());
                     EXPECT_EQ(boxes[0].owner, "install");
                 }});

    /* ---- message boxes that cannot be shown ---- */
    c.push_back({"box/ErrMsg box cannot be shown", "", WIN95_MACHINE,
                 [] { fail("MessageBoxA", "", ERROR_NOT_ENOUGH_MEMORY); }, RUN_ERRMSG, 0, {}, 1,
                 NONE, ""});
    c.push_back({"box/InfoMsg box cannot be shown", "", WIN95_MACHINE,
                 [] { fail("MessageBoxA", "", ERROR_NOT_ENOUGH_MEMORY); }, RUN_INFOMSG, 0, {}, 0,
                 NONE, ""});
    c.push_back({"box/QueryMsg box cannot be shown", "", WIN95_MACHINE,
                 [] { fail("MessageBoxA", "", ERROR_NOT_ENOUGH_MEMORY); }, RUN_QUERYMSG, 0, {}, 0,
                 NONE, ""});

    /* ---- interactive flow ---- */
    c.push_back({"flow/failure inside the installation", "Windows 95", WIN95_MACHINE,
                 [] {
                     answers(2);
                     fail("RegQueryValueExA", "|Driver");
                 },
                 RUN_INTERACTIVE, 0,
                 {kConfirm, "Error: Couldn't read Driver for Enum\\BIOS\\*PNP0501\\0D: 5",
                  "Error: An error was encountered.  Try running the custom installation."},
                 1, NONE, "iss -cls -dev -uninst -launched",
                 [] { EXPECT_EQ(sinceRun("WinHelpA"), 0); }});
    c.push_back({"flow/failure inside the installation", "NT", NT_MACHINE,
                 [] {
                     answers(2);
                     fail("StartServiceA");
                 },
                 RUN_INTERACTIVE, 0,
                 {kConfirm, "Error: StartService error 0x5",
                  "Error: An error was encountered.  Try running the custom installation."},
                 1, NONE, "iss svc -running copied uninst launched"});
    c.push_back({"flow/failure inside the update", "Windows 95", WIN95_MACHINE,
                 [] {
                     appPathSet();
                     answers(2);
                     fail("RegSetValueExA", "|UninstallString");
                 },
                 RUN_INTERACTIVE, 0,
                 {kConfirm, kUpdateQ, "Error: Can't set UninstallString value",
                  "Error: An error was encountered."},
                 1, NONE, "iss -cls -dev -uninst -launched"});
    c.push_back({"flow/failure inside the update", "NT", NT_MACHINE,
                 [] {
                     appPathSet();
                     existingService();
                     answers(2);
                     fail("CopyFileA");
                 },
                 RUN_INTERACTIVE, 0,
                 {kConfirm, kUpdateQ,
                  "Error: Couldn't copy qblred.sys to " + kDriverTarget + ": 0x5",
                  "Error: An error was encountered."},
                 1, NONE, "iss svc port0 -copied -uninst -launched"});
    c.push_back({"flow/unsupported platform", "", WIN31_MACHINE, [] { answers(2); },
                 RUN_INTERACTIVE, 0, {kConfirm, kPlatform, "Info: Installation aborted."}, 1, NONE,
                 "-iss -launched", [] { EXPECT_EQ(sinceRun("WinHelpA"), 0); }});
    c.push_back({"flow/confirmation cannot be shown", "", WIN95_MACHINE,
                 [] { fail("MessageBoxA", "", ERROR_NOT_ENOUGH_MEMORY); }, RUN_INTERACTIVE, 0, {},
                 0, NONE, "-iss -cls -launched",
                 [] { EXPECT_EQ(sinceRun("DialogBoxParamA"), 0); }});
    c.push_back({"flow/update question cannot be shown", "", WIN95_MACHINE,
                 [] {
                     appPathSet();
                     answers(1);
                     fail("MessageBoxA", "", ERROR_NOT_ENOUGH_MEMORY, 2);
                 },
                 RUN_INTERACTIVE, 0, {kConfirm}, 0, NONE, "-iss -uninst -launched",
                 [] { EXPECT_EQ(sinceRun("DialogBoxParamA"), 0); }});
    c.push_back({"flow/dialog cannot be created", "", WIN95_MACHINE,
                 [] {
                     answers(1);
                     fail("DialogBoxParamA", "", ERROR_RESOURCE_NAME_NOT_FOUND);
                 },
                 RUN_INTERACTIVE, 0, {kConfirm}, 0, NONE, "-iss -cls -uninst -launched"});

    /* ---- census and Windows 95 sequence (doit95 always gives 0) ---- */
    c.push_back({"census/doISS fails", "", WIN95_MACHINE, [] { standin::unsetEnv("WINDIR"); },
                 RUN_DOIT95, 0, {"Error: Couldn't get windir"}, 1, 0, "-iss -cls -dev -uninst",
                 [] { EXPECT_EQ(sinceRun("RegOpenKeyExA"), 0); }});
    c.push_back({"census/Config Manager Enum not opened", "", WIN95_MACHINE,
                 [] { fail("RegOpenKeyExA", "Config Manager\\Enum"); }, RUN_DOIT95, 0,
                 {"Error: Couldn't open Config Manager\\Enum: 5"}, 1, 0,
                 "iss -cls -dev -uninst -launched"});
    struct Skip {
        const char *variant;
        std::function<void()> prepare;
    };
    const Skip skips[] = {
        {"subkey not opened", [] { fail("RegOpenKeyExA", "Config Manager\\Enum\\C29A1D30"); }},
        {"no HardWareKey", [] { fail("RegQueryValueExA", "C29A1D30|HardWareKey"); }},
        {"hardware key not opened", [] { fail("RegOpenKeyExA", "Enum\\BIOS\\*PNP0501\\0D"); }},
        {"no PORTNAME", [] { fail("RegQueryValueExA", "0D|PORTNAME", ERROR_FILE_NOT_FOUND); }},
        {"PORTNAME in lower case",
         [] {
             w95::setValue(HKEY_LOCAL_MACHINE, "Enum\\BIOS\\*PNP0501\\0D", "PORTNAME", REG_SZ,
                           sz("com1"));
         }},
    };
    for (const Skip &s : skips)
        c.push_back({"census/subkey skipped", s.variant, WIN95_MACHINE, s.prepare, RUN_DOIT95, 0,
                     {}, 0, 0, "iss cls dev uninst launched", [] {
                         ASSERT_EQ(curPort, 1);
                         EXPECT_STREQ(Ports[0].name, "COM2");
                     }});
    c.push_back({"census/Driver unreadable", "", WIN95_MACHINE,
                 [] { fail("RegQueryValueExA", "|Driver"); }, RUN_DOIT95, 0,
                 {"Error: Couldn't read Driver for Enum\\BIOS\\*PNP0501\\0D: 5"}, 1, 0,
                 "iss -cls -dev -uninst -launched"});
    c.push_back({"census/Allocation unreadable", "", WIN95_MACHINE,
                 [] { fail("RegQueryValueExA", "|Allocation", ERROR_ACCESS_DENIED); }, RUN_DOIT95,
                 0, {"Error: Couldn't read Allocation for Config Manager\\Enum\\C29A1D30: 5"}, 1, 0,
                 "iss -cls -dev -uninst -launched"});
    /* A port that Windows did not start has no "Allocation": it is recorded
     * without a range and the installation goes on. */
    c.push_back({"census/no Allocation", "", WIN95_MACHINE,
                 [] { fail("RegQueryValueExA", "C29A1D30|Allocation", ERROR_FILE_NOT_FOUND); },
                 RUN_DOIT95, 0, {}, 0, 0, "iss cls dev uninst launched", [] {
                     ASSERT_EQ(curPort, 2);
                     EXPECT_STREQ(Ports[0].name, "COM1");
                     EXPECT_EQ(Ports[0].ioBase, 0);
                     EXPECT_EQ(Ports[0].ioEnd, 0);
                     EXPECT_EQ(Ports[1].ioBase, 0x2F8);
                 }});
    c.push_back({"census/Allocation version not 0x400", "", WIN95_MACHINE,
                 [] {
                     addDevice("C29A1D30", "BIOS\\*PNP0501\\0D", "COM1", "Ports\\0000",
                               allocation(ioDescriptor(0x3F8, 0x3FF), 0x500));
                 },
                 RUN_DOIT95, 0, {"Error: Don't recognize CM version 0x500 for COM1"}, 1, 0,
                 "iss cls dev uninst launched", [] {
                     ASSERT_EQ(curPort, 2);
                     EXPECT_STREQ(Ports[0].name, "COM1");
                     EXPECT_EQ(Ports[0].ioBase, 0);
                     EXPECT_EQ(Ports[0].ioEnd, 0);
                 }});
    c.push_back({"census/no I/O descriptor", "", WIN95_MACHINE,
                 [] {
                     addDevice("C29A1D30", "BIOS\\*PNP0501\\0D", "COM1", "Ports\\0000",
                               allocation(otherDescriptor(16, 4) + otherDescriptor(12, 1)));
                 },
                 RUN_DOIT95, 0, {}, 0, 0, "iss cls dev uninst launched", [] {
                     ASSERT_EQ(curPort, 2);
                     EXPECT_EQ(Ports[0].ioBase, 0);
                     EXPECT_EQ(Ports[1].ioBase, 0x2F8);
                 }});
    c.push_back({"census/20 ports recorded", "", WIN95_MACHINE,
                 [] {
                     char id[16], hw[32], name[16];
                     for (int i = 0; i < 21; i++) {
                         snprintf(id, sizeof id, "D%02d", i);
                         snprintf(hw, sizeof hw, "ROOT\\P\\%02d", i);
                         snprintf(name, sizeof name, "COM%d", 10 + i);
                         addDevice(id, hw, name, "Ports\\0000",
                                   allocIo(0x400 + 8 * i, 0x407 + 8 * i));
                     }
                 },
                 RUN_DOIT95, 0, {"Error: Too many ports! (20)"}, 1, 0,
                 "iss cls dev uninst launched", [] {
                     EXPECT_EQ(curPort, 20);
                     EXPECT_STREQ(Ports[19].name, "COM27");
                 }});
    c.push_back({"census/no free resource", "", WIN95_MACHINE,
                 [] {
                     char id[16], hw[32], name[16];
                     for (int i = 3; i <= 9; i++) {
                         snprintf(id, sizeof id, "E%02d", i);
                         snprintf(hw, sizeof hw, "ROOT\\Q\\%02d", i);
                         snprintf(name, sizeof name, "COM%d", i);
                         addDevice(id, hw, name, "Ports\\0000", allocIo(0x500 + 8 * i, 0x507 + 8 * i));
                     }
                 },
                 RUN_DOIT95, 0, {"Error: Can't find a free resource"}, 1, 0,
                 "iss -cls -dev -uninst -launched"});
    c.push_back({"census/driver class entry fails", "", WIN95_MACHINE,
                 [] { fail("RegOpenKeyExA", "Class\\Ports"); }, RUN_DOIT95, 0,
                 {"Error: Couldn't open " + kClassKey,
                  "Error: Error setting up driver section in Registry"},
                 1, 0, "iss -cls -dev -uninst -launched"});
    c.push_back({"census/port device entry fails", "", WIN95_MACHINE,
                 [] { fail("RegOpenKeyExA", "Enum\\Root\\Ports"); }, RUN_DOIT95, 0,
                 {"Error: Couldn't open Enum\\Root\\Ports: 5",
                  "Error: Error setting up port section in Registry"},
                 1, 0, "iss cls -dev -uninst -launched"});
    c.push_back({"census/finishInstall fails", "", WIN95_MACHINE,
                 [] { fail("RegCreateKeyExA", "Uninstall"); }, RUN_DOIT95, 0, {kUninstFail}, 1,
                 0, "iss cls dev -uninst -launched"});

    /* ---- port driver class entry (doDriver; results are the codes) ---- */
    c.push_back({"class entry/class key not opened", "", WIN95_MACHINE,
                 [] { fail("RegOpenKeyExA", "Class\\Ports"); }, RUN_DODRIVER, 5,
                 {"Error: Couldn't open " + kClassKey}, 1, NONE, "-cls"});
    c.push_back({"class entry/entry key not created", "", WIN95_MACHINE,
                 [] { fail("RegCreateKeyExA", "Class\\Ports\\0003"); }, RUN_DODRIVER, 5,
                 {"Error: Couldn't create subkey 0003 at " + kClassKey}, 1, NONE, "-cls"});
    {
        auto before = std::make_shared<std::string>();
        c.push_back({"class entry/entry key existed", "the sequence goes on", WIN95_MACHINE,
                     [before] {
                         hiddenEntries(kClassKey);
                         *before = earlierEntry(kClassKey);
                     },
                     RUN_DOIT95, 0,
                     {"Error: Subkey 0001 at " + kClassKey + " not created new"}, 1, 0,
                     "iss dev uninst launched", [before] {
                         EXPECT_EQ(earlierEntry(kClassKey), *before);
                         std::string driver;
                         w95::getValue(HKEY_LOCAL_MACHINE, kPortsKey + "\\0001", "Driver", &driver);
                         EXPECT_EQ(driver, sz("Ports\\0001"));
                     }});
    }
    const char *const driverStrings[] = {"DevLoader", "DriverDesc", "InfPath",
                                         "PortDriver", "InfSection", "EnumPropPages",
                                         "ConfigDialog", "Contention", "Enumerator"};
    for (size_t i = 0; i < sizeof driverStrings / sizeof driverStrings[0]; i++) {
        std::vector<std::string> written(driverStrings, driverStrings + i);
        c.push_back({"class entry/DriverStrings value not set", driverStrings[i], WIN95_MACHINE,
                     [name = std::string(driverStrings[i])] {
                         fail("RegSetValueExA", "Ports\\0003|" + name);
                     },
                     RUN_DODRIVER, 5,
                     {std::string("Error: Can't set ") + driverStrings[i] + " value"}, 1, NONE,
                     "cls", [written] { EXPECT_EQ(values(kClassKey + "\\0003"), sorted(written)); }});
    }
    std::vector<std::string> allStrings(std::begin(driverStrings), std::end(driverStrings));
    c.push_back({"class entry/PortSubClass not set", "", WIN95_MACHINE,
                 [] { fail("RegSetValueExA", "|PortSubClass"); }, RUN_DODRIVER, 5,
                 {"Error: Can't set PortSubClass value"}, 1, NONE, "cls",
                 [allStrings] { EXPECT_EQ(values(kClassKey + "\\0003"), sorted(allStrings)); }});
    c.push_back({"class entry/DCB not set", "", WIN95_MACHINE,
                 [] { fail("RegSetValueExA", "|DCB"); }, RUN_DODRIVER, 5,
                 {"Error: Can't set DCB value"}, 1, NONE, "cls", [allStrings] {
                     auto want = allStrings;
                     want.push_back("PortSubClass");
                     EXPECT_EQ(values(kClassKey + "\\0003"), sorted(want));
                 }});

    /* ---- port device entry (doPort for class entry 0003 and COM3) ---- */
    c.push_back({"device entry/Ports key not opened", "", WIN95_MACHINE,
                 [] { fail("RegOpenKeyExA", "Enum\\Root\\Ports"); }, RUN_DOPORT, 5,
                 {"Error: Couldn't open Enum\\Root\\Ports: 5"}, 1, NONE, "-dev",
                 [] { EXPECT_FALSE(keyExists(kPortsKey)); }});
    c.push_back({"device entry/Enum Root not opened", "", WIN95_MACHINE,
                 [] { fail("RegOpenKeyExA", "Enum\\Root", ERROR_ACCESS_DENIED, 2); }, RUN_DOPORT, 5,
                 {"Error: Couldn't open Enum\\Root"}, 1, NONE, "-dev",
                 [] { EXPECT_FALSE(keyExists(kPortsKey)); }});
    c.push_back({"device entry/Ports not created", "", WIN95_MACHINE,
                 [] { fail("RegCreateKeyExA", "Enum\\Root\\Ports"); }, RUN_DOPORT, 5,
                 {"Error: Couldn't create subkey Ports at Enum\\Root"}, 1, NONE, "-dev",
                 [] { EXPECT_FALSE(keyExists(kPortsKey)); }});
    c.push_back({"device entry/Ports existed when created", "", WIN95_MACHINE,
                 [] {
                     w95::makeKey(HKEY_LOCAL_MACHINE, kPortsKey);
                     fail("RegOpenKeyExA", "Enum\\Root\\Ports", ERROR_FILE_NOT_FOUND);
                 },
                 RUN_DOPORT, 0, {"Error: Subkey Ports at Enum\\Root not created new"}, 1, NONE,
                 "-dev", [] { EXPECT_TRUE(w95::subkeys(HKEY_LOCAL_MACHINE, kPortsKey).empty()); }});
    c.push_back({"device entry/entry key not created", "", WIN95_MACHINE,
                 [] { fail("RegCreateKeyExA", "Ports\\0001"); }, RUN_DOPORT, 5,
                 {"Error: Couldn't create subkey 0001 at Enum\\Root\\Ports"}, 1, NONE, "-dev",
                 [] { EXPECT_TRUE(keyExists(kPortsKey)); }});
    {
        auto before = std::make_shared<std::string>();
        c.push_back({"device entry/entry key existed", "", WIN95_MACHINE,
                     [before] {
                         hiddenEntries(kPortsKey);
                         *before = earlierEntry(kPortsKey);
                     },
                     RUN_DOPORT, 0,
                     {"Error: Subkey 0001 at Enum\\Root\\Ports not created new"}, 1, NONE, "",
                     [before] { EXPECT_EQ(earlierEntry(kPortsKey), *before); }});
    }
    const std::string entry = kPortsKey + "\\0001";
    const std::vector<std::string> rows = {"Class",        "HardwareID", "Mfg",
                                           "Driver",       "DeviceDesc", "FRIENDLYNAME",
                                           "PORTNAME",     "ConfigFlags", "ForcedConfig"};
    for (size_t i = 0; i < rows.size(); i++) {
        std::string row = i < 3 ? "device entry/PortStrings value not set"
                                : "device entry/" + rows[i] + " not set";
        std::vector<std::string> written(rows.begin(), rows.begin() + (long)i);
        c.push_back({row, i < 3 ? rows[i] : "", WIN95_MACHINE,
                     [name = rows[i]] { fail("RegSetValueExA", "Ports\\0001|" + name); },
                     RUN_DOPORT, 5, {"Error: Can't set " + rows[i] + " value"}, 1, NONE, "dev",
                     [written, entry] {
                         EXPECT_EQ(values(entry), sorted(written));
                         EXPECT_FALSE(keyExists(entry + "\\LogConfig"));
                     }});
    }
    c.push_back({"device entry/LogConfig not created", "", WIN95_MACHINE,
                 [] { fail("RegCreateKeyExA", "LogConfig"); }, RUN_DOPORT, 5,
                 {"Error: Couldn't create subkey LogConfig at Enum\\Root\\Ports"}, 1, NONE, "dev",
                 [rows, entry] {
                     EXPECT_EQ(values(entry), sorted(rows));
                     EXPECT_FALSE(keyExists(entry + "\\LogConfig"));
                 }});
    /* A fresh entry has no LogConfig: a creation that succeeds without
     * reporting a new key stands for one that opened an existing key. */
    c.push_back({"device entry/LogConfig existed", "", WIN95_MACHINE,
                 [] { fail("RegCreateKeyExA", "LogConfig", ERROR_SUCCESS); }, RUN_DOPORT, 0,
                 {"Error: Subkey LogConfig at Enum\\Root\\Ports not created new"}, 1, NONE, "dev",
                 [rows, entry] { EXPECT_EQ(values(entry), sorted(rows)); }});
    c.push_back({"device entry/LogConfig 0 not set", "", WIN95_MACHINE,
                 [] { fail("RegSetValueExA", "LogConfig|0"); }, RUN_DOPORT, 5,
                 {"Error: Can't set LogConfig 0 value"}, 1, NONE, "dev",
                 [entry] { EXPECT_TRUE(values(entry + "\\LogConfig").empty()); }});
    c.push_back({"device entry/LogConfig 1 not set", "", WIN95_MACHINE,
                 [] { fail("RegSetValueExA", "LogConfig|1"); }, RUN_DOPORT, 5,
                 {"Error: Can't set LogConfig 1 value"}, 1, NONE, "dev", [entry] {
                     EXPECT_EQ(values(entry + "\\LogConfig"), std::vector<std::string>{"0"});
                 }});

    /* ---- service key migration (UpdateNT) ---- */
    c.push_back({"migration/key not opened", "", NT_MACHINE, [] {}, RUN_UPDATENT, NONE,
                 {"Error: Couldn't open key " + kSvcKey + ": 2"}, 1, NONE, "-svc"});
    c.push_back({"migration/Port0 not written", "", NT_MACHINE,
                 [] {
                     existingService();
                     fail("RegSetValueExA", "|Port0");
                 },
                 RUN_UPDATENT, NONE, {"Error: Can't set Port0 value to 4 for key " + kSvcKey}, 1,
                 NONE, "-port0", [] {
                     EXPECT_TRUE(valueExists(kSvcKey, "Port"));
                     EXPECT_FALSE(valueExists(kSvcKey, "NumPorts"));
                 }});
    c.push_back({"migration/NumPorts not written", "", NT_MACHINE,
                 [] {
                     existingService();
                     fail("RegSetValueExA", "|NumPorts");
                 },
                 RUN_UPDATENT, NONE, {"Error: Can't set NumPorts value to 1 for key " + kSvcKey},
                 1, NONE, "port0", [] {
                     EXPECT_FALSE(valueExists(kSvcKey, "Port"));
                     EXPECT_FALSE(valueExists(kSvcKey, "NumPorts"));
                 }});

    /* ---- NT driver service (doitNT) ---- */
    c.push_back({"service/SystemRoot not set", "", NT_MACHINE,
                 [] { standin::unsetEnv("SystemRoot"); }, RUN_DOITNT, -1,
                 {"Error: Couldn't get SystemRoot"}, 1, 0, "-iss -svc -copied -uninst -launched"});
    c.push_back({"service/doISS failed", "", NT_MACHINE, [] { standin::unsetEnv("WINDIR"); },
                 RUN_DOITNT, -1, {"Error: Couldn't get windir"}, 1, 0,
                 "-iss -svc -copied -uninst -launched",
                 [] { EXPECT_EQ(sinceRun("OpenSCManagerA"), 0); }});
    c.push_back({"service/manager not opened", "", NT_MACHINE, [] { fail("OpenSCManagerA"); },
                 RUN_DOITNT, -1, {"Error: Couldn't open SCManager"}, 1, 0,
                 "iss -svc -copied -uninst -launched"});
    c.push_back({"service/creation failed", "", NT_MACHINE, [] { fail("CreateServiceA"); },
                 RUN_DOITNT, -1, {"Error: CreateService error 0x5"}, 1, 0,
                 "iss -svc -copied -uninst -launched"});
    c.push_back({"service/existing service not opened", "", NT_MACHINE,
                 [] {
                     existingService();
                     fail("OpenServiceA");
                 },
                 RUN_DOITNT, -1, {"Error: Failed to Open Qblred service: 0x5"}, 1, 0,
                 "iss svc -port0 -copied -uninst -launched",
                 [] { EXPECT_TRUE(valueExists(kSvcKey, "Port")); }});
    c.push_back({"service/existing service not re-configured", "", NT_MACHINE,
                 [] {
                     existingService();
                     fail("ChangeServiceConfigA");
                 },
                 RUN_DOITNT, -1, {"Error: Failed to change Qblred service: 0x5"}, 1, 0,
                 "iss svc -port0 -copied -uninst -launched"});
    c.push_back({"service/service key not opened", "", NT_MACHINE,
                 [] { fail("RegOpenKeyExA", "Services\\Qblred"); }, RUN_DOITNT, -1,
                 {"Error: Couldn't open key " + kSvcKey + ": 5"}, 1, 0,
                 "iss svc -port0 -copied -uninst -launched"});
    c.push_back({"service/Port0 not written", "", NT_MACHINE,
                 [] { fail("RegSetValueExA", "|Port0"); }, RUN_DOITNT, -1,
                 {"Error: Can't set Port value to 2 for key " + kSvcKey}, 1, 0,
                 "iss svc -port0 -copied -uninst -launched"});
    c.push_back({"service/NumPorts not written", "", NT_MACHINE,
                 [] { fail("RegSetValueExA", "|NumPorts"); }, RUN_DOITNT, -1,
                 {"Error: Can't set NumPorts value to 1 for key " + kSvcKey}, 1, 0,
                 "iss svc port0 -copied -uninst -launched"});
    c.push_back({"service/driver file not copied", "file missing", NT_MACHINE,
                 [] { DeleteFileA("C:\\setup\\qblred.sys"); }, RUN_DOITNT, -1,
                 {"Error: Couldn't copy qblred.sys to " + kDriverTarget + ": 0x2"}, 1, 0,
                 "iss svc port0 -copied -uninst -launched -running"});
    c.push_back({"service/finishInstall failed", "", NT_MACHINE,
                 [] { fail("RegCreateKeyExA", "Uninstall"); }, RUN_DOITNT, -1, {kUninstFail}, 1,
                 0, "iss svc port0 copied -uninst -launched -running",
                 [] { EXPECT_EQ(sinceRun("StartServiceA"), 0); }});
    c.push_back({"service/already running", "driver did not stop", NT_MACHINE,
                 [] {
                     existingService("\"Port0\"=dword:00000003\n\"NumPorts\"=dword:00000001\n");
                     standin::setServiceRunning("Qblred", true);
                     standin::setServiceIgnoresStop("Qblred", true);
                 },
                 RUN_DOITNT, -1, {"Error: StartService: already running"}, 1, 0,
                 "iss svc running copied uninst launched"});
    c.push_back({"service/not started", "", NT_MACHINE, [] { fail("StartServiceA"); }, RUN_DOITNT,
                 -1, {"Error: StartService error 0x5"}, 1, 0,
                 "iss svc port0 copied uninst launched -running"});

    /* ---- response file (doISS) ---- */
    c.push_back({"response file/WINDIR not set", "", WIN95_MACHINE,
                 [] { standin::unsetEnv("WINDIR"); }, RUN_DOISS, -1,
                 {"Error: Couldn't get windir"}, 1, NONE, "-iss",
                 [] { EXPECT_EQ(scriptData.setupCmd[0], 0); }});
    c.push_back({"response file/cannot be opened", "", WIN95_MACHINE,
                 [] { fail("CreateFileA", "qblred.iss"); }, RUN_DOISS, -1,
                 {"Error: Can't open C:\\windows\\qblred.iss for writing"}, 1, NONE, "-iss",
                 [] { EXPECT_EQ(scriptData.setupCmd[0], 0); }});
    c.push_back({"response file/cannot be written", "", WIN95_MACHINE,
                 [] { fail("WriteFile", "qblred.iss", ERROR_DISK_FULL); }, RUN_DOISS, -1,
                 {"Error: Couldn't write C:\\windows\\qblred.iss: 0x70"}, 1, NONE, "iss",
                 [] { EXPECT_EQ(scriptData.setupCmd[0], 0); }});

    /* ---- uninstall entry and installer launch (finishInstall) ---- */
    c.push_back({"uninstall/key not created", "", WIN95_MACHINE,
                 [] { fail("RegCreateKeyExA", "Uninstall"); }, RUN_FINISH, -1, {kUninstFail}, 1,
                 NONE, "-uninst -launched", [] { EXPECT_FALSE(keyExists(kUninstKey)); }});
    c.push_back({"uninstall/DisplayName not written", "", WIN95_MACHINE,
                 [] { fail("RegSetValueExA", "|DisplayName"); }, RUN_FINISH, -1,
                 {"Error: Can't set DisplayName value"}, 1, NONE, "-uninst -launched",
                 [] { EXPECT_TRUE(values(kUninstKey).empty()); }});
    c.push_back({"uninstall/UninstallString not written", "", WIN95_MACHINE,
                 [] { fail("RegSetValueExA", "|UninstallString"); }, RUN_FINISH, -1,
                 {"Error: Can't set UninstallString value"}, 1, NONE, "-uninst -launched",
                 [] { EXPECT_EQ(values(kUninstKey), std::vector<std::string>{"DisplayName"}); }});
    c.push_back({"uninstall/second thread not created", "", WIN95_MACHINE,
                 [] { fail("CreateThread", "", ERROR_NOT_ENOUGH_MEMORY); }, RUN_FINISH, -1,
                 {"Error: Couldn't create second thread"}, 1, NONE, "uninst -launched"});
    c.push_back({"uninstall/installer process not created", "installer missing", WIN95_MACHINE,
                 [] { DeleteFileA("C:\\setup\\second.exe"); }, RUN_FINISH, 0,
                 {"Error: Failed to launch app installer"}, 1, NONE, "uninst launched",
                 [] {
                     auto boxes = standin::boxes();
                     ASSERT_FALSE(boxes.empty());
                     EXPECT_EQ(boxes[0].owner, "install");
                 }});
    c.push_back({"uninstall/installer process not created", "launch refused", WIN95_MACHINE,
                 [] { fail("CreateProcessA", "second.exe"); }, RUN_FINISH, 0,
                 {"Error: Failed to launch app installer"}, 1, NONE, "uninst launched"});
    return c;
}

int runCase(const Case &c, HWND owner, int *aborted)
{
    char script[] = "C:\\setup\\script.txt";
    char none[] = "";
    switch (c.run) {
    case RUN_WINMAIN_SILENT:
        return WinMain(GetModuleHandleA(nullptr), nullptr, script, SW_SHOWNORMAL);
    case RUN_WINMAIN_INTERACTIVE:
        return WinMain(GetModuleHandleA(nullptr), nullptr, none, SW_SHOWNORMAL);
    case RUN_DOIT:
        return doit(owner, aborted);
    case RUN_ERRMSG:
        return ErrMsg(owner, "Can't set %s value", "X");
    case RUN_INFOMSG:
        return InfoMsg(owner, "Installation aborted.");
    case RUN_QUERYMSG:
        return QueryMsg(owner, "Redirector is already installed.  Update?");
    case RUN_INTERACTIVE:
        return startInteractive(owner);
    case RUN_DOIT95:
        return doit95(owner, aborted);
    case RUN_DODRIVER: {
        char keyName[12] = "";
        int rc = doDriver(owner, keyName, 0);
        if (rc != 0 && c.row != "class entry/class key not opened")
            EXPECT_STREQ(keyName, "0003");
        return rc;
    }
    case RUN_DOPORT:
        return doPort(owner, "0003", &Resources[0]);
    case RUN_UPDATENT:
        UpdateNT(owner);
        return NONE;
    case RUN_DOITNT:
        return doitNT(owner, aborted);
    case RUN_DOISS:
        return doISS(owner);
    case RUN_FINISH:
        if (doISS(owner) != 0)
            ADD_FAILURE() << "no command line for the installer";
        return finishInstall(owner);
    }
    return NONE;
}

int failedParts()
{
    const ::testing::TestResult *r =
        ::testing::UnitTest::GetInstance()->current_test_info()->result();
    int n = 0;
    for (int i = 0; i < r->total_part_count(); i++)
        n += r->GetTestPartResult(i).failed();
    return n;
}

class FailureMatrix : public InstallTest {};

TEST_F(FailureMatrix, EveryRowOfEveryFailureTable)
{
    std::set<std::string> listed(std::begin(kRows), std::end(kRows));
    ASSERT_EQ(listed.size(), sizeof kRows / sizeof kRows[0]) << "a row is listed twice";
    std::map<std::string, int> passing;
    std::vector<Case> cases = allCases();
    for (const Case &c : cases) {
        std::string name = c.row + (c.variant.empty() ? "" : " (" + c.variant + ")");
        SCOPED_TRACE(name);
        EXPECT_TRUE(listed.count(c.row)) << "case of an unlisted row";
        int failuresBefore = failedParts();

        resetProgram();
        switch (c.machine) {
        case WIN95_MACHINE:
            win95Machine();
            break;
        case NT_MACHINE:
            ntMachine();
            break;
        case WIN31_MACHINE:
            usePlatform(standin::WIN31);
            break;
        }
        if (c.run == RUN_WINMAIN_SILENT || c.run == RUN_WINMAIN_INTERACTIVE) {
            standin::putFile("C:\\setup\\script.txt", "path=C:\\X\nsv1=ip:10.1.2.3:3001\n");
            standin::setVersion(c.machine == NT_MACHINE   ? standin::NT40
                                : c.machine == WIN95_MACHINE ? standin::WIN95
                                                             : standin::WIN31);
        }
        c.prepare();
        HWND owner = nullptr;
        if (c.run != RUN_WINMAIN_SILENT && c.run != RUN_WINMAIN_INTERACTIVE)
            owner = makeOwnerWindow();
        int aborted = 7;
        takeBaseline();
        int result = runCase(c, owner, &aborted);
        countRun();

        if (c.result != NONE)
            EXPECT_EQ(result, c.result);
        std::vector<std::string> shown;
        for (const auto &b : standin::boxes()) {
            shown.push_back(b.caption + ": " + b.text);
            if (b.caption != "Redirector Install")
                EXPECT_EQ(b.owner, "install") << b.text;
            EXPECT_EQ(b.type, b.caption == "Install" ? (unsigned)MB_OKCANCEL
                               : b.caption == "Redirector Install" ? 0x10u
                                                                   : (unsigned)MB_OK)
                << b.text;
        }
        EXPECT_EQ(shown, c.boxes);
        if (c.gotError != NONE)
            EXPECT_EQ(gotError, c.gotError);
        if (c.aborted != NONE)
            EXPECT_EQ(aborted, c.aborted);
        std::istringstream facts(c.facts);
        for (std::string f; facts >> f;) {
            bool want = f[0] != '-';
            EXPECT_EQ(fact(want ? f : f.substr(1)), want) << "fact " << f;
        }
        if (c.extra)
            c.extra();
        if (owner)
            DestroyWindow(owner);
        EXPECT_EQ(standin::openRegistryHandles(), 0);
        EXPECT_EQ(standin::openServiceHandles(), 0);
        EXPECT_EQ(standin::openKernelHandles(), 0);

        if (failedParts() == failuresBefore)
            passing[c.row]++;
    }

    int covered = 0;
    for (const char *row : kRows) {
        if (passing.count(row))
            covered++;
        else
            ADD_FAILURE() << "row not covered by a passing case: " << row;
    }
    printf("failure matrix: %zu rows, %d covered (%zu cases)\n", listed.size(), covered,
           cases.size());
    EXPECT_EQ(covered, (int)listed.size());
}

} // namespace
