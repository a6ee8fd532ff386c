/*
 * test_winnt.cpp - the NT sequence: the Qblred service, its port values,
 * the driver copy, the hand-off and the start; the old "Port" migration.
 */
#include "fixture.h"
#include "test_handoff_support.h"

#include <string>
#include <vector>

namespace {

const char kSvcKey[] = "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Qblred";
const char kSvcSub[] = "System\\CurrentControlSet\\Services\\Qblred";
const char kTarget[] = "C:\\windows\\system32\\drivers\\qblred.sys";
const char kUninstKey[] =
    "HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Quorbelle Redirector";
const char kDriverBytes[] = "MZ test driver\x00\x01\x02";

/* An existing service key, registered with other values than this
 * program's (a file-system driver, started on demand, errors ignored,
 * another file and name), with extra lines. */
std::string existingService(const std::string &values)
{
    return "REGEDIT4\n\n[" + std::string(kSvcKey) +
           "]\n\"Type\"=dword:00000002\n\"Start\"=dword:00000003\n\"ErrorControl\"=dword:00000000\n"
           "\"ImagePath\"=\"system32\\\\drivers\\\\old.sys\"\n\"DisplayName\"=\"Old\"\n" +
           values;
}

/* The program's first call of api whose subject contains match (fails the
 * test when there is none).  The test's own calls come later. */
standin::Call firstCall(const char *api, const char *match = "")
{
    auto calls = standin::asked(api, match);
    EXPECT_FALSE(calls.empty()) << api << " " << match;
    return calls.empty() ? standin::Call() : calls[0];
}

/* A text value of the service key, as the program would read it. */
std::string svcText(const char *name)
{
    HKEY key;
    char buf[300] = "";
    DWORD size = sizeof buf - 1;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "System\\CurrentControlSet\\Services\\Qblred", 0, KEY_READ,
                      &key) != ERROR_SUCCESS)
        return "(no key)";
    if (RegQueryValueExA(key, name, nullptr, nullptr, (BYTE *)buf, &size) != ERROR_SUCCESS)
        strcpy(buf, "(no value)");
    RegCloseKey(key);
    return buf;
}

bool has(const std::string &text, const std::string &part) { return text.find(part) != std::string::npos; }

class NT : public InstallTest {
  protected:
    HWND owner = nullptr;
    int aborted = 7;
    void SetUp() override
    {
        InstallTest::SetUp();
        prepare();
    }
    void prepare()
    {
        usePlatform(standin::NT40);
        owner = makeOwnerWindow();
        aborted = 7;
        CreateDirectoryA("C:\\windows\\system32", nullptr);
        CreateDirectoryA("C:\\windows\\system32\\drivers", nullptr);
        standin::putFile("C:\\setup\\qblred.sys", std::string(kDriverBytes, sizeof kDriverBytes));
        ASSERT_TRUE(putProgram("C:\\setup\\second.exe", "/bin/true"));
        strcpy(scriptData.path, "C:\\Program Files\\Quorbelle\\Redirector\\");
    }
    /* Checks the run so far and starts again on a fresh machine. */
    void restart()
    {
        TearDown();
        resetProgram();
        prepare();
    }
    void TearDown() override
    {
        expectCleanRun();
        DestroyWindow(owner);
        standin::reset();
    }
    std::string svc() { return standin::exportReg(kSvcKey); }
    bool fileIs(const char *path, const std::string &bytes)
    {
        std::string got;
        return standin::getFile(path, &got) && got == bytes;
    }
    bool exists(const char *path)
    {
        std::string got;
        return standin::getFile(path, &got);
    }
    void expectClosed()
    {
        EXPECT_EQ(0, standin::openServiceHandles());
        EXPECT_EQ(0, standin::openRegistryHandles());
        EXPECT_EQ(0, standin::openKernelHandles());
    }
    std::vector<std::string> boxTexts()
    {
        std::vector<std::string> t;
        for (auto &b : standin::boxes())
            t.push_back(b.text);
        return t;
    }
};

TEST_F(NT, NewServiceTakesTheFirstFreeComNumber)
{
    struct Case {
        std::vector<std::string> com;
        const char *port0;
    };
    const Case cases[] = {
        {{}, "dword:00000002"},
        {{"COM1"}, "dword:00000002"},
        {{"COM1", "COM2"}, "dword:00000003"},
        {{"COM2", "COM3", "COM5"}, "dword:00000004"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.port0);
        restart();
        for (auto &n : c.com)
            standin::addComDevice(n);
        standin::putFile(kTarget, "old driver, longer than the new one");

        EXPECT_EQ(0, doitNT(owner, &aborted));
        EXPECT_EQ(0, aborted);
        EXPECT_TRUE(boxTexts().empty());
        EXPECT_EQ(0, gotError);

        std::string key = svc();
        EXPECT_TRUE(has(key, "\"Port0\"=" + std::string(c.port0))) << key;
        EXPECT_TRUE(has(key, "\"NumPorts\"=dword:00000001")) << key;
        EXPECT_TRUE(has(key, "\"DisplayName\"=\"Quorbelle COM Redirector\"")) << key;
        EXPECT_TRUE(has(key, "\"Type\"=dword:00000001")) << key;
        EXPECT_TRUE(has(key, "\"Start\"=dword:00000001")) << key;
        EXPECT_TRUE(has(key, "\"ErrorControl\"=dword:00000001")) << key;
        EXPECT_EQ("system32\\drivers\\qblred.sys", svcText("ImagePath"));
        EXPECT_FALSE(has(key, "\"Port\"=")) << key;

        EXPECT_TRUE(fileIs(kTarget, std::string(kDriverBytes, sizeof kDriverBytes)));
        EXPECT_TRUE(exists("C:\\windows\\qblred.iss"));
        EXPECT_TRUE(has(standin::exportReg(kUninstKey), "remove.exe"));
        EXPECT_EQ(1, standin::calls("CreateProcessA"));
        EXPECT_EQ(standin::SVC_RUNNING, standin::serviceState("Qblred"));
        expectClosed();

        /* What the sequence asked: every right, the 50-character probe. */
        EXPECT_EQ((unsigned long long)SC_MANAGER_ALL_ACCESS,
                  firstCall("OpenSCManagerA").value("access"));
        standin::Call create = firstCall("CreateServiceA", "Qblred");
        EXPECT_EQ((unsigned long long)SERVICE_ALL_ACCESS, create.value("access"));
        EXPECT_EQ((unsigned long long)SERVICE_KERNEL_DRIVER, create.value("type"));
        EXPECT_EQ((unsigned long long)SERVICE_SYSTEM_START, create.value("start"));
        EXPECT_EQ((unsigned long long)SERVICE_ERROR_NORMAL, create.value("error"));
        EXPECT_EQ((unsigned long long)KEY_ALL_ACCESS,
                  firstCall("RegOpenKeyExA", kSvcSub).value("access"));
        for (auto &q : standin::asked("QueryDosDeviceA"))
            EXPECT_EQ(50u, q.value("size")) << q.subject;
        for (const char *value : {"|Port0", "|NumPorts"}) {
            standin::Call set = firstCall("RegSetValueExA", value);
            EXPECT_EQ((unsigned long long)REG_DWORD, set.value("type"));
            EXPECT_EQ(4u, set.value("size"));
        }
        EXPECT_EQ(0u, firstCall("CopyFileA").value("failifexists"));
        EXPECT_EQ(0u, firstCall("StartServiceA", "Qblred").value("argc"));
    }
}

TEST_F(NT, ExistingServiceIsStoppedReconfiguredMigratedAndStartedAgain)
{
    standin::importReg(existingService("\"Port\"=dword:00000004\n"));
    standin::setServiceRunning("Qblred", true);
    standin::putFile(kTarget, "old");

    EXPECT_EQ(0, doitNT(owner, &aborted));
    EXPECT_EQ(0, aborted);
    EXPECT_TRUE(boxTexts().empty());
    EXPECT_EQ(1, standin::calls("ControlService"));
    EXPECT_EQ(0, standin::calls("QueryDosDeviceA"));
    /* A writable earlier copy keeps its attributes. */
    EXPECT_EQ(0, standin::calls("SetFileAttributesA"));
    std::string key = svc();
    EXPECT_TRUE(has(key, "\"DisplayName\"=\"Quorbelle COM Redirector\"")) << key;
    EXPECT_TRUE(has(key, "\"Type\"=dword:00000001")) << key;
    EXPECT_TRUE(has(key, "\"Start\"=dword:00000001")) << key;
    EXPECT_TRUE(has(key, "\"ErrorControl\"=dword:00000001")) << key;
    EXPECT_EQ("system32\\drivers\\qblred.sys", svcText("ImagePath"));
    EXPECT_TRUE(has(key, "\"Port0\"=dword:00000004")) << key;
    EXPECT_TRUE(has(key, "\"NumPorts\"=dword:00000001")) << key;
    EXPECT_FALSE(has(key, "\"Port\"=")) << key;
    EXPECT_TRUE(fileIs(kTarget, std::string(kDriverBytes, sizeof kDriverBytes)));
    EXPECT_EQ(standin::SVC_RUNNING, standin::serviceState("Qblred"));
    expectClosed();
    EXPECT_EQ((unsigned long long)SERVICE_ALL_ACCESS, firstCall("OpenServiceA", "Qblred").value("access"));
    EXPECT_EQ((unsigned long long)SERVICE_CONTROL_STOP, firstCall("ControlService").value("control"));
    /* The migration opens the service key for writing. */
    EXPECT_EQ((unsigned long long)KEY_ALL_ACCESS, firstCall("RegOpenKeyExA", kSvcSub).value("access"));
}

TEST_F(NT, DriverThatDidNotStopIsReportedAlreadyRunning)
{
    /* The running driver was loaded from another file than the new one. */
    standin::importReg(existingService("\"Port0\"=dword:00000003\n\"NumPorts\"=dword:00000001\n"));
    standin::putFile("C:\\windows\\system32\\drivers\\old.sys", "old");
    standin::setServiceRunning("Qblred", true);
    standin::setServiceIgnoresStop("Qblred", true);

    EXPECT_EQ(-1, doitNT(owner, &aborted));
    EXPECT_EQ(0, aborted);
    EXPECT_EQ(std::vector<std::string>{"StartService: already running"}, boxTexts());
    EXPECT_EQ(1, gotError);
    EXPECT_TRUE(has(standin::exportReg(kUninstKey), "remove.exe"));
    EXPECT_EQ(standin::SVC_RUNNING, standin::serviceState("Qblred"));
    expectClosed();
}

TEST_F(NT, DriverThatDidNotStopKeepsItsFileAndNothingFollows)
{
    /* The running driver was loaded from the file the new one replaces. */
    standin::importReg(existingService("\"Port0\"=dword:00000003\n\"NumPorts\"=dword:00000001\n"
                                       "\"ImagePath\"=\"system32\\\\drivers\\\\qblred.sys\"\n"));
    standin::putFile(kTarget, "old");
    standin::setServiceRunning("Qblred", true);
    standin::setServiceIgnoresStop("Qblred", true);

    EXPECT_EQ(-1, doitNT(owner, &aborted));
    EXPECT_EQ(std::vector<std::string>{"Couldn't copy qblred.sys to "
                                       "C:\\windows\\system32\\drivers\\qblred.sys: 0x20"},
              boxTexts());
    EXPECT_TRUE(fileIs(kTarget, "old"));
    EXPECT_FALSE(has(standin::exportReg(kUninstKey), "remove.exe"));
    EXPECT_EQ(standin::SVC_RUNNING, standin::serviceState("Qblred"));
    EXPECT_EQ(0, standin::calls("StartServiceA"));
    expectClosed();
}

TEST_F(NT, SystemRootUnsetOrTooLongWritesNothing)
{
    struct Case {
        std::string root; /* "" = unset */
        const char *message;
    };
    const Case cases[] = {
        {"", "Couldn't get SystemRoot"},
        /* 172 characters: the copy target would take 201 with its terminator. */
        {"C:\\" + std::string(169, 'r'), "SystemRoot too long for qblred.sys"},
        {"C:\\" + std::string(5000, 'r'), "SystemRoot too long for qblred.sys"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.message);
        restart();
        if (c.root.empty())
            standin::unsetEnv("SystemRoot");
        else
            standin::setEnv("SystemRoot", c.root);
        EXPECT_EQ(-1, doitNT(owner, &aborted));
        EXPECT_EQ(0, aborted);
        EXPECT_EQ(std::vector<std::string>{c.message}, boxTexts());
        EXPECT_EQ(1, gotError);
        EXPECT_FALSE(exists("C:\\windows\\qblred.iss"));
        EXPECT_EQ(0, standin::calls("OpenSCManagerA"));
        EXPECT_TRUE(standin::services().empty());
        expectClosed();
    }
}

TEST_F(NT, LongestSystemRootThatFitsIsUsed)
{
    /* 171 characters: the target takes 199 characters. */
    std::string root = "C:\\" + std::string(168, 'r');
    standin::setEnv("SystemRoot", root);
    CreateDirectoryA(root.c_str(), nullptr);
    CreateDirectoryA((root + "\\system32").c_str(), nullptr);
    CreateDirectoryA((root + "\\system32\\drivers").c_str(), nullptr);
    doitNT(owner, &aborted);
    std::string target = root + "\\system32\\drivers\\qblred.sys";
    EXPECT_EQ(199u, target.size());
    EXPECT_TRUE(fileIs(target.c_str(), std::string(kDriverBytes, sizeof kDriverBytes)));
}

TEST_F(NT, MissingDriverFileLeavesTheServiceWithoutHandOff)
{
    DeleteFileA("C:\\setup\\qblred.sys");
    EXPECT_EQ(-1, doitNT(owner, &aborted));
    EXPECT_EQ(std::vector<std::string>{"Couldn't copy qblred.sys to "
                                       "C:\\windows\\system32\\drivers\\qblred.sys: 0x2"},
              boxTexts());
    EXPECT_EQ(standin::SVC_STOPPED, standin::serviceState("Qblred"));
    EXPECT_TRUE(has(svc(), "\"Port0\"=dword:00000002"));
    EXPECT_FALSE(has(standin::exportReg(kUninstKey), "Quorbelle"));
    EXPECT_EQ(0, standin::calls("CreateProcessA"));
    EXPECT_TRUE(exists("C:\\windows\\qblred.iss"));
    /* No earlier copy: no attributes to change. */
    EXPECT_EQ(0, standin::calls("SetFileAttributesA"));
    expectClosed();
}

TEST_F(NT, ProbeEndsAtCom256WhenEveryNameAnswers)
{
    standin::setAllComDevicesExist(true);
    EXPECT_EQ(-1, doitNT(owner, &aborted));
    EXPECT_EQ(std::vector<std::string>{"No free COM port: COM2 to COM256 are all present"},
              boxTexts());
    EXPECT_EQ(255, standin::calls("QueryDosDeviceA"));
    EXPECT_FALSE(has(svc(), "Port0"));
    EXPECT_FALSE(has(svc(), "NumPorts"));
    EXPECT_FALSE(exists(kTarget));
    EXPECT_EQ(standin::SVC_STOPPED, standin::serviceState("Qblred"));
    expectClosed();
}

TEST_F(NT, ProbeTreatsAnyFailedQueryAsFree)
{
    /* COM2 exists but its answer does not fit in 50 characters. */
    standin::addComDevice("COM2");
    standin::fail("QueryDosDeviceA", ERROR_INSUFFICIENT_BUFFER, "COM2");
    EXPECT_EQ(0, doitNT(owner, &aborted));
    EXPECT_TRUE(has(svc(), "\"Port0\"=dword:00000002"));

    /* At the edge of the 50 characters, which hold a target of 48 and the
     * two NULs after it: COM2's fits, COM3's is one too long. */
    restart();
    standin::addComDevice("COM2", "\\Device\\" + std::string(40, 'a'));
    standin::addComDevice("COM3", "\\Device\\" + std::string(41, 'b'));
    EXPECT_EQ(0, doitNT(owner, &aborted));
    EXPECT_TRUE(has(svc(), "\"Port0\"=dword:00000003")) << svc();
}

TEST_F(NT, FailureTable)
{
    struct Case {
        const char *what;
        bool existing;
        const char *api;
        const char *match;
        std::string message;
        standin::ServiceState state; /* afterwards */
        bool port0;                  /* "Port0" in the key afterwards */
        bool copied;
        bool handedOff;              /* uninstall entry written */
    };
    const std::string k = kSvcSub;
    const Case cases[] = {
        {"manager", false, "OpenSCManagerA", "", "Couldn't open SCManager", standin::SVC_ABSENT,
         false, false, false},
        {"create", false, "CreateServiceA", "", "CreateService error 0x5", standin::SVC_ABSENT,
         false, false, false},
        {"open existing", true, "OpenServiceA", "", "Failed to Open Qblred service: 0x5",
         standin::SVC_STOPPED, false, false, false},
        {"change existing", true, "ChangeServiceConfigA", "", "Failed to change Qblred service: 0x5",
         standin::SVC_STOPPED, false, false, false},
        {"key", false, "RegOpenKeyExA", "Services\\Qblred",
         "Couldn't open key " + k + ": 5", standin::SVC_STOPPED, false, false, false},
        {"Port0", false, "RegSetValueExA", "|Port0", "Can't set Port value to 2 for key " + k,
         standin::SVC_STOPPED, false, false, false},
        {"NumPorts", false, "RegSetValueExA", "|NumPorts",
         "Can't set NumPorts value to 1 for key " + k, standin::SVC_STOPPED, true, false, false},
        {"copy", false, "CopyFileA", "qblred.sys",
         "Couldn't copy qblred.sys to C:\\windows\\system32\\drivers\\qblred.sys: 0x5",
         standin::SVC_STOPPED, true, false, false},
        {"finishInstall", false, "RegCreateKeyExA", "Uninstall",
         "Couldn't create subkey SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\"
         "Quorbelle Redirector: 5",
         standin::SVC_STOPPED, true, true, false},
        {"start", false, "StartServiceA", "", "StartService error 0x5", standin::SVC_STOPPED, true,
         true, true},
        {"start existing", true, "StartServiceA", "", "StartService error 0x5",
         standin::SVC_STOPPED, true, true, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        restart();
        if (c.existing)
            standin::importReg(existingService("\"Port\"=dword:00000004\n"));
        standin::fail(c.api, ERROR_ACCESS_DENIED, c.match);

        EXPECT_EQ(-1, doitNT(owner, &aborted));
        EXPECT_EQ(0, aborted);
        EXPECT_EQ(std::vector<std::string>{c.message}, boxTexts());
        EXPECT_EQ(1, gotError);
        EXPECT_EQ("install", standin::boxes()[0].owner);
        EXPECT_TRUE(exists("C:\\windows\\qblred.iss"));
        EXPECT_EQ(c.state, standin::serviceState("Qblred"));
        EXPECT_EQ(c.port0, has(svc(), "\"Port0\"")) << svc();
        EXPECT_EQ(c.copied, exists(kTarget));
        EXPECT_EQ(c.handedOff, has(standin::exportReg(kUninstKey), "remove.exe"));
        EXPECT_EQ(c.handedOff ? 1 : 0, standin::calls("CreateProcessA"));
        expectClosed();
    }
}

TEST_F(NT, ResponseFileFailureStopsBeforeTheManager)
{
    standin::unsetEnv("WINDIR");
    EXPECT_EQ(-1, doitNT(owner, &aborted));
    EXPECT_EQ(std::vector<std::string>{"Couldn't get windir"}, boxTexts());
    EXPECT_EQ(0, standin::calls("OpenSCManagerA"));
    expectClosed();
}

/* A 32-bit program on a 64-bit edition runs under WOW64, where its 32-bit
 * kernel driver can never load: one box and nothing written.  Where
 * kernel32 has no IsWow64Process (NT 4.0) or it fails, the installation
 * goes on as on a 32-bit edition. */
TEST_F(NT, SixtyFourBitEditionIsRefusedBeforeAnythingIsWritten)
{
    struct Case {
        const char *what;
        standin::Version version;
        bool wow64;
        bool queryFails;
        bool refused;
    };
    const Case cases[] = {
        {"7 64-bit", standin::WIN7, true, false, true},
        {"10 64-bit", standin::WIN10, true, false, true},
        {"Server 2003 64-bit", standin::WIN2003, true, false, true},
        {"7 32-bit", standin::WIN7, false, false, false},
        {"NT 4.0", standin::NT40, false, false, false},
        {"7 64-bit, query fails", standin::WIN7, true, true, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        restart();
        usePlatform(c.version);
        standin::setWow64(c.wow64);
        if (c.queryFails)
            standin::fail("IsWow64Process", ERROR_ACCESS_DENIED);
        int rc = doitNT(owner, &aborted);
        EXPECT_EQ(c.version == standin::NT40 ? 0 : 1, standin::calls("IsWow64Process"));
        if (!c.refused) {
            EXPECT_EQ(0, aborted);
            EXPECT_TRUE(has(svc(), "\"Port0\"=dword:00000002")) << svc();
            continue;
        }
        EXPECT_EQ(-1, rc);
        EXPECT_EQ(1, aborted);
        EXPECT_EQ(std::vector<std::string>{"This is a 64-bit edition of Windows.  The Quorbelle COM "
                                           "Redirector driver needs a 32-bit edition of Windows.  "
                                           "Aborting"},
                  boxTexts());
        EXPECT_FALSE(exists("C:\\windows\\qblred.iss"));
        EXPECT_EQ(0, standin::calls("OpenSCManagerA"));
        EXPECT_EQ(0, standin::calls("CopyFileA"));
        EXPECT_EQ(0, standin::calls("CreateProcessA"));
        EXPECT_EQ(0, standin::calls("RegCreateKeyExA") + standin::calls("RegSetValueExA"));
        EXPECT_TRUE(standin::services().empty());
        expectClosed();
    }
}

/* Windows 2000 and later: numbers the COM port database holds (adapters
 * unplugged now) are taken as well as the devices that answer, and the
 * service's number is claimed there.  A database that is missing, faults
 * or cannot be read leaves the choice to the devices alone. */
TEST_F(NT, ComPortDatabaseReservesAndGetsTheClaim)
{
    const char dbKey[] = "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\COM Name Arbiter";
    struct Case {
        const char *what;
        standin::Version version;
        const char *before; /* first byte of ComDB (COM1 to COM8) */
        std::vector<std::string> devices;
        standin::ComDatabaseState state;
        const char *failApi; /* with failMatch, failCode */
        const char *failMatch;
        DWORD failCode;
        const char *port0;
        const char *after; /* first byte of ComDB after */
        const char *box;   /* nullptr: none */
    };
    const Case cases[] = {
        {"COM2 to COM4 reserved", standin::WINXP, "0e", {"COM1"}, standin::COMDB_AS_VERSION,
         nullptr, nullptr, 0, "dword:00000005", "1e", nullptr},
        {"device unknown to the database", standin::WIN7, "01", {"COM1", "COM2"},
         standin::COMDB_AS_VERSION, nullptr, nullptr, 0, "dword:00000003", "05", nullptr},
        {"COM2 claimed since it was read", standin::WIN2K, "00", {}, standin::COMDB_AS_VERSION,
         "ComDBClaimPort", "COM2", ERROR_SHARING_VIOLATION, "dword:00000003", "04", nullptr},
        {"claim not written", standin::WINXP, "00", {}, standin::COMDB_AS_VERSION, "ComDBWrite", "",
         ERROR_CANTWRITE, "dword:00000002", "00", nullptr},
        {"usage unreadable", standin::WINXP, "0e", {}, standin::COMDB_AS_VERSION,
         "ComDBGetCurrentPortUsage", "", ERROR_NOT_CONNECTED, "dword:00000002", "0e", nullptr},
        {"database faults", standin::WINXP, "0e", {}, standin::COMDB_FAULTING, nullptr, nullptr, 0,
         "dword:00000002", "0e", nullptr},
        {"no database", standin::WINXP, "0e", {}, standin::COMDB_NONE, nullptr, nullptr, 0,
         "dword:00000002", "0e", nullptr},
        {"NT 4.0 has none", standin::NT40, "0e", {}, standin::COMDB_AS_VERSION, nullptr, nullptr, 0,
         "dword:00000002", "0e", nullptr},
        {"database not opened", standin::WINXP, "0e", {}, standin::COMDB_AS_VERSION, "ComDBOpen", "",
         ERROR_ACCESS_DENIED, "dword:00000002", "0e", nullptr},
        {"no system directory", standin::WINXP, "0e", {}, standin::COMDB_AS_VERSION,
         "GetSystemDirectoryA", "", ERROR_NOT_ENOUGH_MEMORY, "dword:00000002", "0e", nullptr},
        {"Port0 not written: claim released", standin::WINXP, "06", {}, standin::COMDB_AS_VERSION,
         "RegSetValueExA", "|Port0", ERROR_ACCESS_DENIED, nullptr, "06",
         "Can't set Port value to 4 for key System\\CurrentControlSet\\Services\\Qblred"},
    };
    std::string zeros;
    for (int i = 1; i < 32; i++)
        zeros += ",00";
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        restart();
        usePlatform(c.version);
        standin::setComDatabase(c.state);
        standin::importReg("REGEDIT4\n\n[" + std::string(dbKey) + "]\n\"ComDB\"=hex:" + c.before + zeros + "\n");
        for (auto &d : c.devices)
            standin::addComDevice(d);
        if (c.failApi)
            standin::fail(c.failApi, c.failCode, c.failMatch);
        doitNT(owner, &aborted);
        EXPECT_EQ(c.box ? std::vector<std::string>{c.box} : std::vector<std::string>{}, boxTexts());
        if (c.port0)
            EXPECT_TRUE(has(svc(), "\"Port0\"=" + std::string(c.port0))) << svc();
        else
            EXPECT_FALSE(has(svc(), "Port0")) << svc();
        std::string db = standin::exportReg(dbKey);
        EXPECT_TRUE(has(db, "\"ComDB\"=hex:" + std::string(c.after) + ",00,00")) << db;
        /* A faulting database is not called again after its first fault. */
        if (c.state == standin::COMDB_FAULTING)
            EXPECT_EQ(1u, standin::asked("ComDBOpen").size() +
                              standin::asked("ComDBGetCurrentPortUsage").size() +
                              standin::asked("ComDBClaimPort").size() + standin::asked("ComDBClose").size());
        if (c.failApi && !strcmp(c.failApi, "GetSystemDirectoryA")) {
            EXPECT_EQ(0, standin::calls("LoadLibraryA"));
            expectClosed();
            continue;
        }
        EXPECT_EQ((unsigned long long)MAX_PATH, firstCall("GetSystemDirectoryA").value("size"));
        /* The DLL the program asks for is the system directory's, never a
         * file of that name beside it, with its error boxes off. */
        standin::Call load = firstCall("LoadLibraryA");
        EXPECT_EQ("C:\\windows\\system32\\msports.dll", load.subject);
        EXPECT_EQ((unsigned long long)(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX),
                  load.value("mode"));
        for (const standin::Call &usage : standin::asked("ComDBGetCurrentPortUsage")) {
            EXPECT_EQ(256u, usage.value("size"));
            EXPECT_EQ(1u, usage.value("type")); /* CDB_REPORT_BYTES */
        }
        for (auto &claim : standin::asked("ComDBClaimPort"))
            EXPECT_EQ(0u, claim.value("force")) << claim.subject;
        expectClosed();
        EXPECT_TRUE(standin::leftOpen().empty());
    }
}

/* UpdateNT: the key's values before, and what must and must not be there
 * after. */
TEST_F(NT, MigrationTable)
{
    struct Case {
        const char *what;
        std::string before;
        std::vector<std::string> present;
        std::vector<std::string> absent;
        int sets; /* RegSetValueExA calls */
    };
    const Case cases[] = {
        {"Port only", "\"Port\"=dword:00000004\n",
         {"\"Port0\"=dword:00000004", "\"NumPorts\"=dword:00000001"}, {"\"Port\"="}, 2},
        {"Port over Port0", "\"Port\"=dword:00000005\n\"Port0\"=dword:00000003\n",
         {"\"Port0\"=dword:00000005"}, {"\"Port\"=", "\"Port0\"=dword:00000003"}, 2},
        {"current layout", "\"Port0\"=dword:00000003\n\"NumPorts\"=dword:00000002\n",
         {"\"Port0\"=dword:00000003", "\"NumPorts\"=dword:00000002"}, {}, 0},
        {"neither", "", {"\"NumPorts\"=dword:00000001"}, {"Port0", "\"Port\"="}, 1},
        {"Port as text", "\"Port\"=\"COM3\"\n", {"\"Port\"=\"COM3\"", "\"NumPorts\"=dword:00000001"},
         {"Port0"}, 1},
        {"short Port", "\"Port\"=hex:05,00\n", {"\"Port0\"=dword:00000005"}, {"\"Port\"="}, 2},
        {"one-byte Port", "\"Port\"=hex:07\n", {"\"Port0\"=dword:00000007"}, {"\"Port\"="}, 2},
        {"NumPorts zero kept", "\"NumPorts\"=dword:00000000\n", {"\"NumPorts\"=dword:00000000"}, {},
         0},
        {"NumPorts too big", "\"NumPorts\"=hex:02,00,00,00,00,00,00,00\n",
         {"\"NumPorts\"=dword:00000001"}, {}, 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        restart();
        standin::importReg(existingService(c.before));
        UpdateNT(owner);
        std::string key = svc();
        for (auto &p : c.present)
            EXPECT_TRUE(has(key, p)) << p << "\n" << key;
        for (auto &a : c.absent)
            EXPECT_FALSE(has(key, a)) << a << "\n" << key;
        EXPECT_EQ(c.sets, standin::calls("RegSetValueExA"));
        EXPECT_TRUE(boxTexts().empty());
        EXPECT_EQ(0, gotError);
        EXPECT_TRUE(has(key, "\"DisplayName\"=\"Old\""));
        expectClosed();
    }
}

TEST_F(NT, MigrationFailures)
{
    const std::string k = kSvcSub;
    struct Case {
        const char *what;
        bool keyExists;
        const char *api;
        const char *match;
        const char *message; /* nullptr: none */
        std::vector<std::string> present;
        std::vector<std::string> absent;
    };
    const Case cases[] = {
        {"key missing", false, nullptr, nullptr, "Couldn't open key %s: 2", {}, {}},
        {"key not opened", true, "RegOpenKeyExA", "Qblred", "Couldn't open key %s: 5",
         {"\"Port\"=dword:00000004"}, {"Port0", "NumPorts"}},
        {"Port0 not written", true, "RegSetValueExA", "|Port0",
         "Can't set Port0 value to 4 for key %s", {"\"Port\"=dword:00000004"},
         {"Port0", "NumPorts"}},
        {"NumPorts not written", true, "RegSetValueExA", "|NumPorts",
         "Can't set NumPorts value to 1 for key %s", {"\"Port0\"=dword:00000004"},
         {"\"Port\"=", "NumPorts"}},
        {"Port not deleted", true, "RegDeleteValueA", "|Port", nullptr,
         {"\"Port\"=dword:00000004", "\"Port0\"=dword:00000004", "\"NumPorts\"=dword:00000001"},
         {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        restart();
        if (c.keyExists)
            standin::importReg(existingService("\"Port\"=dword:00000004\n"));
        if (c.api)
            standin::fail(c.api, ERROR_ACCESS_DENIED, c.match);
        UpdateNT(owner);
        std::vector<std::string> want;
        if (c.message) {
            char buf[300];
            snprintf(buf, sizeof buf, c.message, k.c_str());
            want.push_back(buf);
        }
        EXPECT_EQ(want, boxTexts());
        EXPECT_EQ(c.message ? 1 : 0, gotError);
        std::string key = svc();
        for (auto &p : c.present)
            EXPECT_TRUE(has(key, p)) << p << "\n" << key;
        for (auto &a : c.absent)
            EXPECT_FALSE(has(key, a)) << a << "\n" << key;
        expectClosed();
    }
}

} // namespace
