/*
 * test_handoff.cpp - the response file, the installer's command line, the
 * uninstall entry and the installer run on the second thread.
 */
#include "fixture.h"
#include "test_handoff_support.h"

#include <chrono>
#include <string>
#include <thread>

namespace {

const char kDefaultCmd[] = "second.exe -S -F1C:\\windows\\qblred.iss -F2C:\\windows\\qblred.log";
const char kUninstKey[] =
    "HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Quorbelle Redirector";

/* The response file for a given path and the four slot lines. */
std::string issText(const std::string &path, const std::string s[4])
{
    std::string t =
        "[InstallShield Silent]\r\nVersion=v2.10.000\r\nFile=Response File\r\n[Application]\r\n"
        "Name=Quorbelle Redirector\r\nVersion=1.0\r\nCompany=Quorbelle\r\n[DlgOrder]\r\n"
        "Dlg0=Welcome-0\r\nDlg1=AskDestPath-0\r\nDlg2=AskText-0\r\nDlg3=AskText-1\r\n"
        "Dlg4=AskText-2\r\nDlg5=AskText-3\r\nCount=6\r\n[Welcome-0]\r\nResult=1\r\n"
        "[AskDestPath-0]\r\nszPath=" +
        path + "\r\nResult=1\r\n";
    for (int i = 0; i < 4; i++)
        t += "[AskText-" + std::to_string(i) + "]\r\nszText=" + s[i] + "\r\nResult=1\r\n";
    return t;
}

void setSlot(int i, SlotKind kind, const char *text)
{
    scriptData.slot[i].kind = (unsigned char)kind;
    snprintf(scriptData.slot[i].text, sizeof scriptData.slot[i].text, "%s", text);
}

class ResponseFile : public InstallTest {
  protected:
    void SetUp() override
    {
        InstallTest::SetUp();
        usePlatform(standin::WIN95);
    }
    std::string iss(const char *where = "C:\\windows\\qblred.iss")
    {
        std::string bytes;
        EXPECT_TRUE(standin::getFile(where, &bytes)) << where;
        return bytes;
    }
};

TEST_F(ResponseFile, ExampleIsWrittenByteForByteWithTheCommandLine)
{
    strcpy(scriptData.path, "D:\\Redir\\");
    setSlot(0, SLOT_IP, "10.1.2.3:3001");
    setSlot(1, SLOT_IPX, "SERVER1");
    ASSERT_EQ(0, doISS(nullptr));

    std::string s[4] = {"IP:10.1.2.3:3001", "IPX:00000000:00-00-00-00-00-01:SERVER1", "<empty>",
                        "<empty>"};
    std::string bytes = iss();
    EXPECT_EQ(issText("D:\\Redir\\", s), bytes);
    /* 32 lines, the last one "Result=1" and nothing after its line end. */
    int lines = 0;
    for (size_t i = 0; i + 1 < bytes.size(); i++)
        lines += bytes[i] == '\r' && bytes[i + 1] == '\n';
    EXPECT_EQ(32, lines);
    EXPECT_EQ("Result=1\r\n", bytes.substr(bytes.size() - 10));
    EXPECT_STREQ(kDefaultCmd, scriptData.setupCmd);
    EXPECT_TRUE(standin::boxes().empty());
    EXPECT_EQ(0, gotError);
}

TEST_F(ResponseFile, EmptySlotsEmptyPathAndOddSlots)
{
    std::string empty[4] = {"<empty>", "<empty>", "<empty>", "<empty>"};
    ASSERT_EQ(0, doISS(nullptr));
    EXPECT_EQ(issText("", empty), iss());

    /* An IP slot with no text, a kind the template does not know, and a
     * slot whose text fills its field without a terminator; a path without
     * its final backslash gets one. */
    strcpy(scriptData.path, "C:\\P");
    setSlot(0, SLOT_IP, "");
    setSlot(1, (SlotKind)7, "ignored");
    memset(scriptData.slot[2].text, 'A', SLOT_TEXT_LEN);
    scriptData.slot[2].kind = SLOT_IPX;
    setSlot(3, SLOT_IPX, "HOST");
    ASSERT_EQ(0, doISS(nullptr));
    std::string s[4] = {"IP:", "<empty>",
                        "IPX:00000000:00-00-00-00-00-01:" + std::string(SLOT_TEXT_LEN, 'A'),
                        "IPX:00000000:00-00-00-00-00-01:HOST"};
    EXPECT_EQ(issText("C:\\P\\", s), iss());

    /* 99 characters without a backslash: it follows the field's text. */
    std::string longPath = "C:\\" + std::string(96, 'p');
    strcpy(scriptData.path, longPath.c_str());
    ASSERT_EQ(0, doISS(nullptr));
    EXPECT_EQ(issText(longPath + "\\", s), iss());
    EXPECT_EQ(scriptData.path, longPath);
}

TEST_F(ResponseFile, ExistingFileIsReplacedAndLowerCaseWindirIsFound)
{
    standin::putFile("C:\\windows\\qblred.iss", std::string(5000, 'x'));
    ASSERT_EQ(0, doISS(nullptr));
    std::string empty[4] = {"<empty>", "<empty>", "<empty>", "<empty>"};
    EXPECT_EQ(issText("", empty), iss());

    standin::unsetEnv("WINDIR");
    standin::setEnv("windir", "C:\\WinLow");
    CreateDirectoryA("C:\\WinLow", nullptr);
    ASSERT_EQ(0, doISS(nullptr));
    EXPECT_EQ(issText("", empty), iss("C:\\WinLow\\qblred.iss"));
    EXPECT_STREQ("second.exe -S -F1C:\\WinLow\\qblred.iss -F2C:\\WinLow\\qblred.log",
                 scriptData.setupCmd);
}

/* Failures: the message, -1, no file and the command line as it was. */
TEST_F(ResponseFile, FailuresWriteNothingAndKeepTheCommandLine)
{
    struct Case {
        const char *what;
        void (*setup)();
        std::string message;
        const char *file; /* a file that must not exist afterwards */
    };
    const std::string longDir78 = "C:\\" + std::string(75, 'w');
    const Case cases[] = {
        {"windir unset", [] { standin::unsetEnv("WINDIR"); }, "Couldn't get windir",
         "C:\\windows\\qblred.iss"},
        {"windir empty", [] { standin::setEnv("WINDIR", ""); }, "Couldn't get windir",
         "C:\\windows\\qblred.iss"},
        {"environment block unavailable",
         [] { standin::fail("GetEnvironmentStrings", ERROR_NOT_ENOUGH_MEMORY); },
         "Couldn't get windir", "C:\\windows\\qblred.iss"},
        {"open fails", [] { standin::fail("CreateFileA", ERROR_ACCESS_DENIED, "qblred.iss"); },
         "Can't open C:\\windows\\qblred.iss for writing", "C:\\windows\\qblred.iss"},
        {"folder missing", [] { standin::setEnv("WINDIR", "C:\\nowhere"); },
         "Can't open C:\\nowhere\\qblred.iss for writing", "C:\\nowhere\\qblred.iss"},
        /* 79 characters: the path fits, the command line would take 201. */
        {"command line too long",
         [] { standin::setEnv("WINDIR", "C:\\" + std::string(76, 'w')); },
         "windir too long for qblred.iss", nullptr},
        /* 89 characters: the response file path would take 100. */
        {"path too long", [] { standin::setEnv("WINDIR", "C:\\" + std::string(86, 'w')); },
         "windir too long for qblred.iss", nullptr},
        {"longer than any path",
         [] { standin::setEnv("WINDIR", "C:\\" + std::string(4000, 'w')); },
         "windir too long for qblred.iss", nullptr},
        /* A full drive: the file is made, but Windows 95 writes only what
         * fits (the runtime reports the short write as a full disk) and NT
         * nothing; a failed write or close is reported with its code. */
        {"full drive, Windows 95 writes a part",
         [] { standin::setFolderFull("C:\\windows", 100); },
         "Couldn't write C:\\windows\\qblred.iss: 0x70", nullptr},
        {"full drive, NT writes nothing",
         [] { standin::setVersion(standin::NT40); standin::setFolderFull("C:\\windows"); },
         "Couldn't write C:\\windows\\qblred.iss: 0x70", nullptr},
        {"a write fails",
         [] { standin::fail("WriteFile", ERROR_WRITE_FAULT, "qblred.iss"); },
         "Couldn't write C:\\windows\\qblred.iss: 0x1d", nullptr},
        {"the close fails",
         [] { standin::fail("CloseHandle", ERROR_NETNAME_DELETED, "qblred.iss"); },
         "Couldn't write C:\\windows\\qblred.iss: 0x40", nullptr},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        resetProgram();
        usePlatform(standin::WIN95);
        strcpy(scriptData.setupCmd, "previous");
        c.setup();
        EXPECT_EQ(-1, doISS(nullptr));
        auto boxes = standin::boxes();
        ASSERT_EQ(1u, boxes.size());
        EXPECT_EQ("Error", boxes[0].caption);
        EXPECT_EQ(c.message, boxes[0].text);
        EXPECT_EQ(1, gotError);
        EXPECT_STREQ("previous", scriptData.setupCmd);
        std::string bytes;
        if (c.file) {
            EXPECT_FALSE(standin::getFile(c.file, &bytes));
        }
    }

    /* The longest Windows directory that fits: 78 characters. */
    resetProgram();
    usePlatform(standin::WIN95);
    standin::setEnv("WINDIR", longDir78);
    CreateDirectoryA(longDir78.c_str(), nullptr);
    EXPECT_EQ(0, doISS(nullptr));
    EXPECT_EQ(199u, strlen(scriptData.setupCmd));
    std::string bytes;
    EXPECT_TRUE(standin::getFile(longDir78 + "\\qblred.iss", &bytes));
}

/* The first call of api whose subject contains match (fails the test when
 * there is none). */
standin::Call first(const char *api, const char *match = "")
{
    auto calls = standin::asked(api, match);
    EXPECT_FALSE(calls.empty()) << api << " " << match;
    return calls.empty() ? standin::Call() : calls[0];
}

class Finish : public InstallTest {
  protected:
    HWND owner = nullptr;
    void SetUp() override
    {
        InstallTest::SetUp();
        usePlatform(standin::WIN95);
        owner = makeOwnerWindow();
        strcpy(scriptData.path, "C:\\Program Files\\Quorbelle\\Redirector\\");
        strcpy(scriptData.setupCmd, kDefaultCmd);
    }
    void TearDown() override
    {
        expectCleanRun();
        DestroyWindow(owner);
        /* Ends an installer still running, so none outlives the test. */
        standin::reset();
    }
    std::string uninstKey() { return standin::exportReg(kUninstKey); }
    void expectNoHandles()
    {
        EXPECT_EQ(0, standin::openRegistryHandles());
        EXPECT_EQ(0, standin::openKernelHandles());
    }
};

TEST_F(Finish, WritesTheUninstallEntryAndRunsTheInstaller)
{
    ASSERT_TRUE(putProgram("C:\\setup\\second.exe", "/bin/true"));
    standin::importReg("REGEDIT4\n\n[" + std::string(kUninstKey) +
                       "]\n\"DisplayName\"=\"old\"\n\"Other\"=\"kept\"\n");
    EXPECT_EQ(0, finishInstall(owner));

    std::string key = uninstKey();
    EXPECT_NE(std::string::npos, key.find("\"DisplayName\"=\"Quorbelle Redirector\""));
    EXPECT_NE(std::string::npos,
              key.find("\"UninstallString\"=\"C:\\\\Program Files\\\\Quorbelle\\\\Redirector\\\\remove.exe\""));
    EXPECT_NE(std::string::npos, key.find("\"Other\"=\"kept\""));
    HKEY k;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, uninstKeyName, 0, KEY_READ, &k));
    DWORD type = 0, size = 0;
    EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExA(k, "DisplayName", nullptr, &type, nullptr, &size));
    EXPECT_EQ((DWORD)REG_SZ, type);
    EXPECT_EQ(21u, size);
    RegCloseKey(k);

    EXPECT_EQ(1, standin::calls("CreateProcessA"));
    EXPECT_TRUE(hasDebug("process came back ok\r\n"));
    EXPECT_TRUE(standin::boxes().empty());
    EXPECT_EQ(0, gotError);
    expectNoHandles();

    /* What was asked: the key for writing, each text with its terminator
     * counted, the thread and the process as the hand-off fixes them. */
    standin::Call create = first("RegCreateKeyExA", "Quorbelle Redirector");
    EXPECT_EQ((unsigned long long)KEY_ALL_ACCESS, create.value("access"));
    EXPECT_EQ((unsigned long long)REG_OPTION_NON_VOLATILE, create.value("options"));
    EXPECT_EQ(21u, first("RegSetValueExA", "|DisplayName").value("size"));
    standin::Call uninst = first("RegSetValueExA", "|UninstallString");
    EXPECT_EQ((unsigned long long)REG_SZ, uninst.value("type"));
    EXPECT_EQ(strlen("C:\\Program Files\\Quorbelle\\Redirector\\remove.exe") + 1, uninst.value("size"));
    standin::Call thread = first("CreateThread");
    EXPECT_EQ(1000u, thread.value("stack"));
    EXPECT_EQ(0u, thread.value("flags"));
    EXPECT_EQ(0u, thread.value("security"));
    standin::Call wait = first("MsgWaitForMultipleObjects");
    EXPECT_EQ((unsigned long long)INFINITE, wait.value("ms"));
    EXPECT_EQ((unsigned long long)QS_SENDMESSAGE, wait.value("mask"));
    EXPECT_EQ(0u, wait.value("waitall")); /* the thread's end or a sent message */
    standin::Call process = first("CreateProcessA");
    EXPECT_EQ(kDefaultCmd, process.subject);
    for (const char *none : {"inherit", "flags", "security", "environment", "directory", "application"})
        EXPECT_EQ(0u, process.value(none)) << none;
    EXPECT_EQ(sizeof(STARTUPINFOA), process.value("startup"));
    EXPECT_EQ(0u, process.value("startupSet")); /* a cleared STARTUPINFO */
    EXPECT_EQ(5000u, first("WaitForSingleObject").value("ms"));
    EXPECT_TRUE(standin::asked("Sleep").empty());
}

/* remove.exe lies in the destination folder: a path without its final
 * backslash (a location read back from the registry, or one of 99
 * characters that had no room for it) gets one in the uninstall string. */
TEST_F(Finish, UninstallStringNamesRemoveExeInTheDestinationFolder)
{
    ASSERT_TRUE(putProgram("C:\\setup\\second.exe", "/bin/true"));
    std::string longPath = "C:\\" + std::string(96, 'x');
    struct Case {
        std::string path, uninst;
    } cases[] = {
        {"D:\\Redir", "D:\\Redir\\remove.exe"},
        {"D:\\Redir\\", "D:\\Redir\\remove.exe"},
        {"D", "D\\remove.exe"},
        {longPath, longPath + "\\remove.exe"},
        {"", "remove.exe"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.path);
        memset(scriptData.path, 0, sizeof scriptData.path);
        memcpy(scriptData.path, c.path.data(), c.path.size());
        EXPECT_EQ(0, finishInstall(owner));
        HKEY k;
        ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, uninstKeyName, 0, KEY_READ, &k));
        char buf[256];
        DWORD type = 0, size = sizeof buf;
        EXPECT_EQ(ERROR_SUCCESS,
                  RegQueryValueExA(k, "UninstallString", nullptr, &type, (BYTE *)buf, &size));
        RegCloseKey(k);
        EXPECT_EQ((DWORD)REG_SZ, type);
        EXPECT_EQ(c.uninst.size() + 1, size);
        EXPECT_EQ(c.uninst, std::string(buf, size - 1));
        EXPECT_EQ(scriptData.path, c.path); /* the field itself is left as it is */
    }
    expectNoHandles();
}

TEST_F(Finish, Red32WindowIsToldToCloseAndTheLaunchWaitsTwoSeconds)
{
    ASSERT_TRUE(putProgram("C:\\setup\\second.exe", "/bin/true"));
    standin::addForeignWindow("red32", "red32");
    standin::addForeignWindow("red32", "other title");
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(0, finishInstall(owner));
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0)
                  .count();
    EXPECT_GE(ms, 2000);
    int posted = 0;
    for (auto &e : standin::events())
        if (e.ev == "posted") {
            posted++;
            EXPECT_EQ((unsigned)WM_DESTROY, e.type);
            EXPECT_EQ("red32", e.text);
        }
    EXPECT_EQ(1, posted);
    std::string stamp;
    EXPECT_TRUE(standin::getFile("C:\\testlog\\red32-destroy.txt", &stamp));
    standin::Call post = first("PostMessageA", "red32");
    EXPECT_EQ(0u, post.value("wparam"));
    EXPECT_EQ(0u, post.value("lparam"));
    EXPECT_EQ(2000u, first("Sleep").value("ms"));
    EXPECT_EQ(1u, standin::asked("Sleep").size());
}

TEST_F(Finish, NoRed32WindowMeansNoMessageAndNoPause)
{
    ASSERT_TRUE(putProgram("C:\\setup\\second.exe", "/bin/true"));
    standin::addForeignWindow("red32", "not red32");
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(0, finishInstall(owner));
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0)
                  .count();
    EXPECT_LT(ms, 1500);
    for (auto &e : standin::events())
        EXPECT_NE("posted", e.ev);
}

TEST_F(Finish, MissingInstallerIsReportedFromTheSecondThreadWhileWeWait)
{
    EXPECT_EQ(0, finishInstall(owner));
    auto boxes = standin::boxes();
    ASSERT_EQ(1u, boxes.size());
    EXPECT_EQ("Failed to launch app installer", boxes[0].text);
    EXPECT_EQ("Error", boxes[0].caption);
    EXPECT_EQ("install", boxes[0].owner);
    EXPECT_NE(GetCurrentThreadId(), boxes[0].thread);
    EXPECT_EQ(1, gotError);
    EXPECT_NE(std::string::npos, uninstKey().find("remove.exe"));
    /* The box's sent messages were handled by peeking, which leaves posted
     * messages queued. */
    auto peeks = standin::asked("PeekMessageA");
    ASSERT_FALSE(peeks.empty());
    for (auto &c : peeks)
        EXPECT_EQ((unsigned long long)PM_NOREMOVE, c.value("remove"));
    expectNoHandles();
}

TEST_F(Finish, FailedMessageWaitStillWaitsForTheThread)
{
    standin::fail("MsgWaitForMultipleObjects", WAIT_FAILED);
    EXPECT_EQ(0, finishInstall(owner));
    /* The thread's box and the flag are in before finishInstall returns. */
    ASSERT_EQ(1u, standin::boxes().size());
    EXPECT_EQ(1, gotError);
    /* Sent messages were handled by peeking, which leaves posted ones queued,
     * between waits of 100 ms for the thread. */
    EXPECT_EQ((unsigned long long)PM_NOREMOVE, first("PeekMessageA").value("remove"));
    auto waits = standin::asked("WaitForSingleObject");
    ASSERT_FALSE(waits.empty());
    for (auto &c : waits)
        EXPECT_EQ(100u, c.value("ms"));
    expectNoHandles();
}

TEST_F(Finish, FailureTable)
{
    struct Case {
        const char *api;
        const char *match;
        std::string message;
        bool keyExists;
        const char *valueAfter; /* text that must be in the key, or nullptr */
    };
    const Case cases[] = {
        {"RegCreateKeyExA", "Quorbelle Redirector",
         "Couldn't create subkey SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Quorbelle "
         "Redirector: 5",
         false, nullptr},
        {"RegSetValueExA", "|DisplayName", "Can't set DisplayName value", true, nullptr},
        {"RegSetValueExA", "|UninstallString", "Can't set UninstallString value", true,
         "\"DisplayName\"=\"Quorbelle Redirector\""},
        {"CreateThread", "", "Couldn't create second thread", true, "remove.exe"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.api + std::string(" ") + c.match);
        resetProgram();
        usePlatform(standin::WIN95);
        owner = makeOwnerWindow();
        strcpy(scriptData.path, "C:\\R\\");
        strcpy(scriptData.setupCmd, kDefaultCmd);
        ASSERT_TRUE(putProgram("C:\\setup\\second.exe", "/bin/true"));
        standin::addForeignWindow("red32", "red32");
        standin::fail(c.api, ERROR_ACCESS_DENIED, c.match);
        EXPECT_EQ(-1, finishInstall(owner));
        auto boxes = standin::boxes();
        ASSERT_EQ(1u, boxes.size());
        EXPECT_EQ(c.message, boxes[0].text);
        EXPECT_EQ("install", boxes[0].owner);
        EXPECT_EQ(1, gotError);
        std::string key = uninstKey();
        EXPECT_EQ(c.keyExists, key.find("Quorbelle Redirector]") != std::string::npos) << key;
        if (c.valueAfter) {
            EXPECT_NE(std::string::npos, key.find(c.valueAfter)) << key;
        }
        /* Nothing launched. Only the thread failure comes after the red32 step. */
        EXPECT_EQ(0, standin::calls("CreateProcessA"));
        int posted = 0;
        for (auto &e : standin::events())
            posted += e.ev == "posted";
        EXPECT_EQ(strcmp(c.api, "CreateThread") == 0 ? 1 : 0, posted);
        expectNoHandles();
        DestroyWindow(owner);
    }
    owner = nullptr;
}

/* SecondThread's exit status, read back from a thread that runs it. */
class Second : public Finish {
  protected:
    DWORD runSecond()
    {
        HANDLE t = CreateThread(nullptr, 0, SecondThread, owner, 0, nullptr);
        EXPECT_NE(nullptr, t);
        /* Not WaitForSingleObject: the faults below count those calls.
         * The thread's box disables our window by a sent message, which
         * we handle meanwhile. */
        DWORD rc;
        MSG msg;
        while ((rc = MsgWaitForMultipleObjects(1, &t, FALSE, 20000, QS_SENDMESSAGE)) ==
               WAIT_OBJECT_0 + 1)
            PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE);
        EXPECT_EQ(WAIT_OBJECT_0, rc);
        DWORD code = 12345;
        EXPECT_TRUE(GetExitCodeThread(t, &code));
        CloseHandle(t);
        return code;
    }
};

TEST_F(Second, ExitStatusTable)
{
    struct Case {
        const char *what;
        const char *program; /* host program put as second.exe, or nullptr */
        const char *api;     /* fault */
        DWORD code;
        DWORD status;
        bool debug;
    };
    const Case cases[] = {
        {"ends with 0", "/bin/true", nullptr, 0, 0, true},
        {"ends with 1", "/bin/false", nullptr, 0, 0, true},
        {"exit code unreadable", "/bin/true", "GetExitCodeProcess", ERROR_ACCESS_DENIED, 2, false},
        {"timeout", "/bin/true", "WaitForSingleObject", WAIT_TIMEOUT, 3, false},
        {"abandoned", "/bin/true", "WaitForSingleObject", WAIT_ABANDONED, 4, false},
        {"failed wait", "/bin/true", "WaitForSingleObject", WAIT_FAILED, (DWORD)-1, false},
        {"process not created", "/bin/true", "CreateProcessA", ERROR_ACCESS_DENIED, (DWORD)-1, false},
        {"program missing", nullptr, nullptr, 0, (DWORD)-1, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        resetProgram();
        usePlatform(standin::WIN95);
        owner = makeOwnerWindow();
        strcpy(scriptData.setupCmd, kDefaultCmd);
        if (c.program) {
            ASSERT_TRUE(putProgram("C:\\setup\\second.exe", c.program));
        }
        if (c.api)
            standin::fail(c.api, c.code, "");
        EXPECT_EQ(c.status, runSecond());
        EXPECT_EQ(c.debug, hasDebug("process came back ok\r\n"));
        bool launchFailed = c.status == (DWORD)-1 && std::string(c.what) != "failed wait";
        EXPECT_EQ(launchFailed ? 1u : 0u, standin::boxes().size());
        EXPECT_EQ(launchFailed ? 1 : 0, gotError);
        /* A failed launch ends the thread there: no wait for a process. */
        EXPECT_EQ(launchFailed ? 0 : 1, standin::calls("WaitForSingleObject"));
        expectNoHandles();
        DestroyWindow(owner);
    }
    owner = nullptr;
}

TEST_F(Second, InstallerModesGiveTheirStatus)
{
    std::string second = nativeSecond();
    if (second.empty())
        FAIL() << "the native test installer (testprogs second) was not built";
    struct Case {
        const char *mode;
        DWORD status;
    } const cases[] = {{"exit0", 0}, {"exit7", 0}, {"exit259", 1}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.mode);
        resetProgram();
        usePlatform(standin::WIN95);
        owner = makeOwnerWindow();
        strcpy(scriptData.setupCmd, kDefaultCmd);
        ASSERT_TRUE(putProgram("C:\\setup\\second.exe", second));
        standin::putFile("C:\\testlog\\second-mode.txt", c.mode);
        EXPECT_EQ(c.status, runSecond());
        EXPECT_EQ(c.status == 0, hasDebug("process came back ok\r\n"));
        std::string cmd;
        EXPECT_TRUE(standin::getFile("C:\\testlog\\second-cmdline.txt", &cmd));
        EXPECT_EQ(kDefaultCmd, cmd);
        DestroyWindow(owner);
    }
    owner = nullptr;
}

TEST_F(Second, ExitCodeStillActiveGivesOne)
{
    /* The wait is made to report an end while the installer still runs,
     * so its exit code reads STILL_ACTIVE. */
    std::string slow = nativeSecond();
    if (slow.empty())
        FAIL() << "the native test installer (testprogs second) was not built";
    ASSERT_TRUE(putProgram("C:\\setup\\second.exe", slow));
    standin::putFile("C:\\testlog\\second-mode.txt", "slow");
    standin::fail("WaitForSingleObject", WAIT_OBJECT_0);
    EXPECT_EQ(1u, runSecond());
    EXPECT_FALSE(hasDebug("process came back ok"));
}

TEST_F(Finish, SlowInstallerIsLeftRunningAfterFiveSeconds)
{
    std::string slow = nativeSecond();
    if (slow.empty())
        FAIL() << "the native test installer (testprogs second) was not built";
    ASSERT_TRUE(putProgram("C:\\setup\\second.exe", slow));
    standin::putFile("C:\\testlog\\second-mode.txt", "slow");
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(0, finishInstall(owner));
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0)
                  .count();
    EXPECT_GE(ms, 4900);
    EXPECT_LT(ms, 7900); /* it did not wait for the 8-second run */
    EXPECT_FALSE(hasDebug("process came back ok"));
    std::string cmd;
    EXPECT_TRUE(standin::getFile("C:\\testlog\\second-cmdline.txt", &cmd));
    EXPECT_EQ(kDefaultCmd, cmd);
    EXPECT_TRUE(standin::boxes().empty());
    expectNoHandles();
}

} // namespace
