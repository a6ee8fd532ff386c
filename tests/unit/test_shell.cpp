/*
 * test_shell.cpp - start-up, run modes, the message helpers and the
 * interactive flow of the installer shell.
 */
#include "fixture.h"
#include "internal.h" /* standin::detail::machineLock, to hold a box open */

#include <sys/stat.h>

#include <atomic>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

namespace {

struct Box {
    std::string owner, caption, text;
    unsigned type;
    bool operator==(const Box &o) const
    {
        return owner == o.owner && caption == o.caption && text == o.text && type == o.type;
    }
};

std::ostream &operator<<(std::ostream &os, const Box &b)
{
    return os << "{" << b.owner << ", " << b.caption << ", \"" << b.text << "\", " << b.type << "}";
}

std::vector<Box> shownBoxes()
{
    std::vector<Box> out;
    for (auto &e : standin::boxes())
        out.push_back({e.owner, e.caption, e.text, e.type});
    return out;
}

std::vector<std::string> eventKinds()
{
    std::vector<std::string> out;
    for (auto &e : standin::events())
        out.push_back(e.ev);
    return out;
}

int countEvents(const std::string &kind)
{
    int n = 0;
    for (auto &e : standin::events())
        n += e.ev == kind;
    return n;
}

/* A window of the test's own class, to own boxes and run the flow. */
HWND makeOwner()
{
    WNDCLASSA wc = {};
    wc.lpfnWndProc = DefWindowProcA;
    wc.lpszClassName = "install";
    RegisterClassA(&wc);
    return CreateWindowExA(0, "install", "install", 0, 0, 0, 10, 10, NULL, NULL, NULL, NULL);
}

int runWinMain(const char *args)
{
    std::vector<char> text(args, args + strlen(args) + 1);
    return WinMain(GetModuleHandleA(NULL), NULL, text.data(), SW_SHOWNORMAL);
}

/* An application installer that ends at once with code 0 (the stand-in
 * runs native programs). */
void putInstaller()
{
    std::ifstream in("/bin/true", std::ios::binary);
    ASSERT_TRUE(in.good());
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    standin::putFile("C:\\setup\\second.exe", bytes);
    chmod(standin::hostPath("C:\\setup\\second.exe").c_str(), 0755);
}

void setAppPath(const std::string &regValue)
{
    ASSERT_TRUE(standin::importReg("REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\"
                                   "CurrentVersion\\App Paths\\rdcfg.exe]\n" +
                                   regValue + "\n"));
}

bool fileExists(const std::string &path)
{
    std::string bytes;
    return standin::getFile(path, &bytes);
}

void expectNoHandles()
{
    EXPECT_EQ(standin::openRegistryHandles(), 0);
    EXPECT_EQ(standin::openServiceHandles(), 0);
    EXPECT_EQ(standin::openKernelHandles(), 0);
}

/* The class and the hidden main window as WinMain makes them: what it asked
 * and what the window became, never shown. */
void expectTheHiddenMainWindow()
{
    auto reg = standin::asked("RegisterClassA", "install");
    ASSERT_EQ(reg.size(), 1u);
    EXPECT_EQ(reg[0].value("style"), (unsigned long long)(CS_HREDRAW | CS_VREDRAW));
    EXPECT_EQ(reg[0].value("icon"), (unsigned long long)IDI_INSTALL);
    EXPECT_EQ(reg[0].value("cursor"), 32512u); /* IDC_ARROW */
    EXPECT_EQ(reg[0].value("brush"), (unsigned long long)WHITE_BRUSH);
    EXPECT_EQ(reg[0].value("clsextra"), 0u);
    EXPECT_EQ(reg[0].value("wndextra"), 0u);
    auto made = standin::asked("CreateWindowExA", "install");
    ASSERT_EQ(made.size(), 1u);
    EXPECT_EQ(made[0].value("exstyle"), 0u);
    EXPECT_EQ(made[0].value("style"), (unsigned long long)WS_OVERLAPPEDWINDOW);
    EXPECT_EQ(made[0].value("x"), 10u);
    EXPECT_EQ(made[0].value("y"), 19u);
    EXPECT_EQ(made[0].value("width"), 295u);
    EXPECT_EQ(made[0].value("height"), 161u);
    EXPECT_EQ(made[0].value("parent"), 0u);
    EXPECT_TRUE(standin::asked("ShowWindow").empty());
    EXPECT_TRUE(standin::asked("UpdateWindow").empty());
    std::string windows = standin::windowsJson();
    EXPECT_NE(windows.find("\"class\":\"install\""), std::string::npos) << windows;
    EXPECT_NE(windows.find("\"shown\":false"), std::string::npos) << windows;
}

const char kConfirm[] = "This will install the Quorbelle Redirector for Windows.  Continue?";
const char kUpdate[] = "Redirector is already installed.  Update?";
const char kPlatform[] = "Platform must be Windows 95 or Windows NT.  Aborting";

class ShellTest : public InstallTest {};

/* ---------------------------------------------------------------------
 * Message helpers
 * ------------------------------------------------------------------- */
TEST_F(ShellTest, HelpersShowTheirCaptionTypeOwnerAndFormattedText)
{
    HWND owner = makeOwner();
    standin::addAnswer("OK");
    standin::addAnswer("OK");
    standin::addAnswer("OK");
    standin::addAnswer("OK");
    EXPECT_EQ(ErrMsg(owner, "Couldn't open %s: %d", "Enum\\Root", 5), IDOK);
    EXPECT_EQ(InfoMsg(owner, "code 0x%x", 0x424u), IDOK);
    EXPECT_EQ(QueryMsg(owner, "Go %s?", "on"), IDOK);
    EXPECT_EQ(ErrMsg(NULL, "no owner"), IDOK);
    std::vector<Box> want = {{"install", "Error", "Couldn't open Enum\\Root: 5", MB_OK},
                             {"install", "Info", "code 0x424", MB_OK},
                             {"install", "Install", "Go on?", MB_OKCANCEL},
                             {"none", "Error", "no owner", MB_OK}};
    EXPECT_EQ(shownBoxes(), want);
}

TEST_F(ShellTest, QueryGivesCancelForCancelEscapeAndCloseBox)
{
    for (const char *action : {"Cancel", "Escape", "Close"}) {
        standin::addAnswer(action);
        EXPECT_EQ(QueryMsg(NULL, "Continue?"), IDCANCEL) << action;
    }
    EXPECT_EQ(gotError, 0);
}

TEST_F(ShellTest, TextIsCutAt199Characters)
{
    std::string exact(199, 'a');
    std::string longer(250, 'b');
    InfoMsg(NULL, "%s", exact.c_str());
    ErrMsg(NULL, "%s", longer.c_str());
    QueryMsg(NULL, "%s%s", exact.c_str(), "tail");
    auto b = standin::boxes();
    ASSERT_EQ(b.size(), 3u);
    EXPECT_EQ(b[0].text, exact);
    EXPECT_EQ(b[1].text, std::string(199, 'b'));
    EXPECT_EQ(b[2].text, exact);
}

TEST_F(ShellTest, ErrMsgRaisesTheFlagEveryTimeEvenWhenTheBoxFails)
{
    InfoMsg(NULL, "info");
    QueryMsg(NULL, "query");
    EXPECT_EQ(gotError, 0);
    ErrMsg(NULL, "first");
    EXPECT_EQ(gotError, 1);
    ErrMsg(NULL, "second");
    EXPECT_EQ(gotError, 1);
    EXPECT_EQ(standin::boxes().size(), 4u);

    gotError = 0;
    standin::fail("MessageBoxA", ERROR_NOT_ENOUGH_MEMORY, "", 1, 3);
    EXPECT_EQ(ErrMsg(NULL, "cannot show"), 0);
    EXPECT_EQ(gotError, 1);
    EXPECT_EQ(InfoMsg(NULL, "cannot show"), 0);
    EXPECT_EQ(QueryMsg(NULL, "cannot show"), 0);
    EXPECT_EQ(standin::boxes().size(), 4u);
}

TEST_F(ShellTest, ErrorFlagIsRaisedOnlyOnceTheBoxHasClosed)
{
    HWND owner = makeOwner();
    std::atomic<bool> done(false);
    std::thread shower;
    {
        /* The stand-in looks the owner up under the machine lock as the
         * box comes up: holding it keeps the box from closing. */
        std::lock_guard<std::recursive_mutex> g(standin::detail::machineLock());
        shower = std::thread([&] {
            ErrMsg(owner, "held open");
            done = true;
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        EXPECT_FALSE(done);
        EXPECT_EQ(gotError, 0);
        EXPECT_TRUE(standin::boxes().empty());
    }
    /* The box disables its owner, a window of this thread, by a sent
     * message: this thread must handle it for the box to come up. */
    MSG msg;
    while (!done)
        PeekMessageA(&msg, NULL, 0, 0, PM_NOREMOVE);
    shower.join();
    EXPECT_EQ(gotError, 1);
    EXPECT_EQ(standin::boxes().size(), 1u);
}

/* ---------------------------------------------------------------------
 * Dispatch
 * ------------------------------------------------------------------- */
TEST_F(ShellTest, DoitRefusesAnUnsupportedPlatform)
{
    usePlatform(standin::WIN31);
    HWND owner = makeOwner();
    int aborted = 0;
    EXPECT_EQ(doit(owner, &aborted), -1);
    EXPECT_EQ(aborted, 1);
    EXPECT_EQ(gotError, 1);
    std::vector<Box> want = {{"install", "Error", kPlatform, MB_OK}};
    EXPECT_EQ(shownBoxes(), want);
    EXPECT_EQ(standin::calls("RegOpenKeyExA") + standin::calls("RegCreateKeyExA"), 0);
    EXPECT_FALSE(fileExists("C:\\windows\\qblred.iss"));
}

TEST_F(ShellTest, DoitHandsTheFlagToThePlatformSequence)
{
    /* The sequences clear the flag themselves; doit leaves it to them. */
    usePlatform(standin::WIN95);
    standin::fail("RegOpenKeyExA", ERROR_FILE_NOT_FOUND, "", 1, 0);
    int aborted = 7;
    doit(NULL, &aborted);
    EXPECT_EQ(aborted, 0);
    expectNoHandles();
}

/* ---------------------------------------------------------------------
 * Start-up
 * ------------------------------------------------------------------- */
TEST_F(ShellTest, VersionQueryFailureShowsTheOnlyUnownedStartupBox)
{
    for (const char *args : {"", "C:\\setup\\script.txt"}) {
        resetProgram();
        standin::putFile("C:\\setup\\script.txt", "path=C:\\X\n");
        standin::fail("GetVersionExA", ERROR_INVALID_PARAMETER);
        EXPECT_EQ(runWinMain(args), 0);
        std::vector<Box> want = {{"none", "Redirector Install",
                                  "Could not determine platform.  Aborting.", 0x10}};
        EXPECT_EQ(shownBoxes(), want) << args;
        EXPECT_EQ(FindWindowA("install", NULL), (HWND)NULL);
        EXPECT_EQ(standin::calls("RegisterClassA"), 0);
        EXPECT_EQ(standin::calls("fopen"), 0);
    }
}

TEST_F(ShellTest, ClassRegistrationFailureEndsSilently)
{
    for (const char *args : {"", "C:\\setup\\script.txt"}) {
        resetProgram();
        standin::setVersion(standin::WIN31);
        standin::putFile("C:\\setup\\script.txt", "path=C:\\X\n");
        standin::fail("RegisterClassA", ERROR_NOT_ENOUGH_MEMORY);
        EXPECT_EQ(runWinMain(args), 0);
        EXPECT_TRUE(standin::events().empty()) << args;
        EXPECT_EQ(standin::calls("CreateWindowExA"), 0);
        EXPECT_EQ(standin::calls("fopen"), 0);
    }
}

TEST_F(ShellTest, WindowCreationFailureEndsInteractiveModeWithoutWaiting)
{
    standin::fail("CreateWindowExA", ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(runWinMain(""), 0);
    EXPECT_TRUE(standin::events().empty());
    EXPECT_EQ(standin::calls("GetMessageA"), 0);
}

TEST_F(ShellTest, MessageLoopEndsWhenFetchingFails)
{
    /* GetMessageA gives -1 on failure: the loop must not spin on it. */
    standin::addAnswer("Cancel");
    standin::fail("GetMessageA", ERROR_INVALID_PARAMETER, "", 1, 0);
    EXPECT_EQ(runWinMain(""), 0);
    EXPECT_EQ(standin::calls("GetMessageA"), 1);
    EXPECT_EQ(standin::boxes().size(), 1u);
}

TEST_F(ShellTest, WindowCreationFailureStillRunsTheSilentInstallWithUnownedBoxes)
{
    standin::setVersion(standin::WIN31);
    standin::putFile("C:\\setup\\script.txt", "path=C:\\X\n");
    standin::fail("CreateWindowExA", ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(runWinMain("C:\\setup\\script.txt"), 0);
    std::vector<Box> want = {{"none", "Error", kPlatform, MB_OK}};
    EXPECT_EQ(shownBoxes(), want);
}

TEST_F(ShellTest, SilentModeOnAnUnsupportedPlatformShowsOnlyTheErrorOwnedByTheMainWindow)
{
    standin::setVersion(standin::WIN31);
    standin::putFile("C:\\setup\\script.txt", "path=C:\\X\nsv1=ipx:abc\n");
    EXPECT_EQ(runWinMain("C:\\setup\\script.txt"), 0);
    std::vector<Box> want = {{"install", "Error", kPlatform, MB_OK}};
    EXPECT_EQ(shownBoxes(), want);
    EXPECT_EQ(doAuto, 1);
    EXPECT_NE(hWndMain, (HWND)NULL);
    EXPECT_EQ(standin::calls("GetMessageA"), 0);
    expectTheHiddenMainWindow();
    /* The script was read into the cleared area. */
    EXPECT_STREQ(scriptData.path, "C:\\X\\");
    EXPECT_EQ(scriptData.slot[0].kind, SLOT_IPX);
}

TEST_F(ShellTest, SilentModeWithAnUnreadableScriptInstallsNothing)
{
    standin::setVersion(standin::WIN31);
    EXPECT_EQ(runWinMain("C:\\setup\\missing.txt"), 0);
    EXPECT_TRUE(standin::events().empty());
}

TEST_F(ShellTest, QuotedScriptNameReachesTheReaderWithItsQuotes)
{
    /* Unquoted, the script is read and the install starts (and is
     * refused on this platform); quoted, the name is not a file name. */
    standin::setVersion(standin::WIN31);
    standin::putFile("C:\\setup\\my script.txt", "path=C:\\X\n");
    EXPECT_EQ(runWinMain("\"C:\\setup\\my script.txt\""), 0);
    EXPECT_TRUE(standin::boxes().empty());
    EXPECT_EQ(doAuto, 1);

    resetProgram();
    standin::setVersion(standin::WIN31);
    standin::putFile("C:\\setup\\my script.txt", "path=C:\\X\n");
    EXPECT_EQ(runWinMain("C:\\setup\\my script.txt"), 0);
    EXPECT_EQ(standin::boxes().size(), 1u);
}

TEST_F(ShellTest, TrailingBlanksBelongToTheScriptName)
{
    standin::setVersion(standin::WIN31);
    standin::putFile("C:\\setup\\s.txt", "path=C:\\X\n");
    /* Windows drops the trailing blank of a file name, so the script is
     * still found: what matters is that silent mode is chosen. */
    EXPECT_EQ(runWinMain("C:\\setup\\s.txt "), 0);
    EXPECT_EQ(doAuto, 1);
    EXPECT_EQ(standin::boxes().size(), 1u);
}

TEST_F(ShellTest, EmptyOrBlankArgumentsStartInteractiveMode)
{
    for (const char *args : {"", "   ", " \t "}) {
        resetProgram();
        standin::addAnswer("Cancel");
        EXPECT_EQ(runWinMain(args), 0);
        EXPECT_EQ(doAuto, 0);
        std::vector<Box> want = {{"install", "Install", kConfirm, MB_OKCANCEL}};
        EXPECT_EQ(shownBoxes(), want) << "[" << args << "]";
        EXPECT_EQ(countEvents("unanswered"), 0);
    }
}

TEST_F(ShellTest, InteractiveRunClearsTheSettingsAfterTheFlow)
{
    standin::setVersion(standin::WIN31);
    standin::addAnswer("OK");
    standin::addAnswer(std::vector<std::string>{"Type D:\\Redir", "OK"});
    standin::addAnswer("OK");
    standin::addAnswer("OK");
    EXPECT_EQ(runWinMain(""), 0);
    std::vector<Box> want = {{"install", "Install", kConfirm, MB_OKCANCEL},
                             {"install", "Error", kPlatform, MB_OK},
                             {"install", "Info", "Installation aborted.", MB_OK}};
    EXPECT_EQ(shownBoxes(), want);
    EXPECT_EQ(scriptData.path[0], '\0');
    EXPECT_NE(hWndMain, (HWND)NULL);
    EXPECT_EQ(countEvents("unanswered"), 0);
    expectNoHandles();
    expectTheHiddenMainWindow();
}

TEST_F(ShellTest, OnlyTheMainWindowsDestructionEndsTheInteractiveLoop)
{
    /* Made silently, so that its creation runs no flow; then the window
     * procedure is asked as in interactive mode.  WM_DESTROY posts the quit
     * message; WM_CLOSE is the system's: it destroys the window. */
    doAuto = 1;
    WNDCLASSA wc = {};
    wc.lpfnWndProc = WndProc;
    wc.lpszClassName = "install";
    ASSERT_NE(RegisterClassA(&wc), 0);
    HWND h = CreateWindowExA(0, "install", "install", WS_OVERLAPPEDWINDOW, 10, 19, 295, 161, NULL,
                             NULL, NULL, NULL);
    ASSERT_NE(h, (HWND)NULL);
    MSG msg;
    EXPECT_EQ(SendMessageA(h, WM_CLOSE, 0, 0), 0);
    EXPECT_FALSE(IsWindow(h));
    EXPECT_FALSE(PeekMessageA(&msg, NULL, 0, 0, PM_REMOVE)); /* silent: no quit */

    doAuto = 0;
    EXPECT_EQ(WndProc(NULL, WM_DESTROY, 0, 0), 0);
    ASSERT_TRUE(PeekMessageA(&msg, NULL, 0, 0, PM_REMOVE));
    EXPECT_EQ(msg.message, (UINT)WM_QUIT);
    EXPECT_EQ(msg.wParam, 0u);

    doAuto = 1;
    h = CreateWindowExA(0, "install", "install", WS_OVERLAPPEDWINDOW, 10, 19, 295, 161, NULL, NULL,
                        NULL, NULL);
    ASSERT_NE(h, (HWND)NULL);
    doAuto = 0;
    EXPECT_EQ(SendMessageA(h, WM_CLOSE, 0, 0), 0);
    EXPECT_FALSE(IsWindow(h));
    ASSERT_TRUE(PeekMessageA(&msg, NULL, 0, 0, PM_REMOVE));
    EXPECT_EQ(msg.message, (UINT)WM_QUIT);
}

/* ---------------------------------------------------------------------
 * Interactive flow
 * ------------------------------------------------------------------- */
class FlowTest : public ShellTest {
  protected:
    HWND owner = nullptr;
    void SetUp() override
    {
        ShellTest::SetUp();
        owner = makeOwner();
    }
};

TEST_F(FlowTest, CancelAtTheFirstQuestionTouchesNothing)
{
    for (const char *action : {"Cancel", "Escape", "Close"}) {
        resetProgram();
        owner = makeOwner();
        usePlatform(standin::WIN95);
        putInstaller();
        std::string before = standin::exportReg();
        standin::addAnswer(action);
        EXPECT_EQ(startInteractive(owner), 0);
        EXPECT_EQ(standin::boxes().size(), 1u);
        EXPECT_EQ(countEvents("dialog"), 0);
        EXPECT_EQ(standin::calls("RegOpenKeyExA"), 0);
        EXPECT_EQ(standin::calls("CreateProcessA"), 0);
        EXPECT_EQ(standin::exportReg(), before);
        EXPECT_FALSE(fileExists("C:\\windows\\qblred.iss"));
    }
}

TEST_F(FlowTest, QuestionThatCannotBeShownEndsTheFlow)
{
    usePlatform(standin::WIN95);
    standin::fail("MessageBoxA", ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(startInteractive(owner), 0);
    EXPECT_TRUE(standin::events().empty());
    EXPECT_EQ(standin::calls("RegOpenKeyExA"), 0);
}

/* Each machine here must lead to the destination-path dialog. */
TEST_F(FlowTest, NoUsableInstalledLocationOffersTheDialog)
{
    struct Case {
        const char *name;
        std::string reg; /* "" = no key */
    } cases[] = {
        {"no key", ""},
        {"no Path value", "\"Other\"=\"C:\\\\X\\\\\""},
        {"100 characters", "\"Path\"=\"C:\\\\" + std::string(97, 'x') + "\""},
        {"300 characters", "\"Path\"=\"C:\\\\" + std::string(297, 'x') + "\""},
        {"100 bytes without NUL", "\"Path\"=hex:" + [] {
             std::string h;
             for (int i = 0; i < 100; i++)
                 h += i ? ",41" : "41";
             return h;
         }()},
    };
    for (auto &c : cases) {
        resetProgram();
        owner = makeOwner();
        usePlatform(standin::WIN95);
        if (!c.reg.empty())
            setAppPath(c.reg);
        standin::addAnswer("OK");
        standin::addAnswer("Cancel");
        startInteractive(owner);
        std::vector<std::string> want = {"box", "dialog"};
        EXPECT_EQ(eventKinds(), want) << c.name;
        EXPECT_EQ(scriptData.path[0], '\0') << c.name;
        expectNoHandles();
    }
}

TEST_F(FlowTest, AppPathsKeyThatCannotBeOpenedOffersTheDialog)
{
    usePlatform(standin::WIN95);
    setAppPath("\"Path\"=\"C:\\\\Apps\\\\\"");
    standin::fail("RegOpenKeyExA", ERROR_ACCESS_DENIED, "rdcfg.exe");
    standin::addAnswer("OK");
    standin::addAnswer("Close");
    startInteractive(owner);
    std::vector<std::string> want = {"box", "dialog"};
    EXPECT_EQ(eventKinds(), want);
    EXPECT_EQ(gotError, 0);
}

TEST_F(FlowTest, AlreadyInstalledReadsTheStoredLocation)
{
    struct Case {
        const char *name;
        std::string reg;
        int result;
        std::string path;
    } cases[] = {
        {"with backslash", "\"Path\"=\"C:\\\\Apps\\\\Redir\\\\\"", 1, "C:\\Apps\\Redir\\"},
        {"without backslash", "\"Path\"=\"C:\\\\Apps\\\\Redir\"", 1, "C:\\Apps\\Redir"},
        {"empty", "\"Path\"=\"\"", 1, ""},
        {"no NUL stored", "\"Path\"=hex:43,3a,5c,41", 1, "C:\\A"},
        {"98 characters", "\"Path\"=\"C:\\\\" + std::string(95, 'x') + "\"", 1,
         "C:\\" + std::string(95, 'x')},
        {"99 characters without a backslash", "\"Path\"=\"C:\\\\" + std::string(96, 'x') + "\"",
         1, "C:\\" + std::string(96, 'x')},
        {"99 characters stored without a NUL", "\"Path\"=hex:" + [] {
             std::string h;
             for (int i = 0; i < 99; i++)
                 h += i ? ",41" : "41";
             return h;
         }(),
         1, std::string(99, 'A')},
        {"99 characters ending in a backslash",
         "\"Path\"=\"C:\\\\" + std::string(95, 'x') + "\\\\\"", 1,
         "C:\\" + std::string(95, 'x') + "\\"},
        {"text stops at an inner NUL", "\"Path\"=hex:43,3a,5c,00,41,42", 1, "C:\\"},
        {"dword value", "\"Path\"=dword:00000041", 1, "A"},
        {"no Path", "\"Other\"=\"C:\\\\\"", 0, ""},
        {"100 characters: too long", "\"Path\"=\"C:\\\\" + std::string(97, 'x') + "\"", 0, ""},
    };
    for (auto &c : cases) {
        resetProgram();
        setAppPath(c.reg);
        char buf[PATH_FIELD_LEN + 8];
        memset(buf, '#', sizeof buf);
        buf[PATH_FIELD_LEN] = '\0';
        EXPECT_EQ(AlreadyInstalled(buf, PATH_FIELD_LEN), c.result) << c.name;
        EXPECT_EQ(std::string(buf), c.path) << c.name;
        EXPECT_EQ(buf[PATH_FIELD_LEN + 1], '#') << c.name; /* nothing written past */
        expectNoHandles();
    }
    /* A buffer of one byte holds an empty location. */
    resetProgram();
    setAppPath("\"Path\"=\"\"");
    char one[2] = {'#', '#'};
    EXPECT_EQ(AlreadyInstalled(one, 1), 1);
    EXPECT_EQ(one[0], '\0');
    EXPECT_EQ(one[1], '#');
    expectNoHandles();
}

TEST_F(FlowTest, UpdateAnsweredWithCancelDoesNothing)
{
    usePlatform(standin::WIN95);
    putInstaller();
    setAppPath("\"Path\"=\"C:\\\\Apps\\\\\"");
    std::string before = standin::exportReg();
    standin::addAnswer("OK");
    standin::addAnswer("Cancel");
    gotError = 1;
    startInteractive(owner);
    std::vector<Box> want = {{"install", "Install", kConfirm, MB_OKCANCEL},
                             {"install", "Install", kUpdate, MB_OKCANCEL}};
    EXPECT_EQ(shownBoxes(), want);
    EXPECT_EQ(gotError, 1); /* not cleared: no update started */
    EXPECT_EQ(standin::exportReg(), before);
    EXPECT_FALSE(fileExists("C:\\windows\\qblred.iss"));
    EXPECT_EQ(standin::calls("CreateProcessA"), 0);
}

/* The stored location is used as read; where it lacks its final backslash
 * (also at 99 characters, which fill the path field) the response file and
 * the uninstall string get one. */
TEST_F(FlowTest, UpdateOnWindows95RunsOnlyTheHandOff)
{
    const std::string longPath = "C:\\" + std::string(96, 'x');
    struct Case {
        std::string stored, folder;
    } cases[] = {
        {"C:\\Apps\\Redir", "C:\\Apps\\Redir\\"},
        {longPath, longPath + "\\"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.stored);
        resetProgram();
        owner = makeOwner();
        usePlatform(standin::WIN95);
        putInstaller();
        std::string escaped;
        for (char ch : c.stored)
            escaped += ch == '\\' ? "\\\\" : std::string(1, ch);
        setAppPath("\"Path\"=\"" + escaped + "\"");
        standin::addAnswer("OK");
        standin::addAnswer("OK");
        standin::addAnswer("OK");
        gotError = 1; /* cleared before the update */
        startInteractive(owner);
        std::vector<Box> want = {
            {"install", "Install", kConfirm, MB_OKCANCEL},
            {"install", "Install", kUpdate, MB_OKCANCEL},
            {"install", "Info", "Update successful.  Restart your PC to use the new version.",
             MB_OK}};
        EXPECT_EQ(shownBoxes(), want);
        EXPECT_EQ(countEvents("help"), 0);
        EXPECT_EQ(countEvents("dialog"), 0);
        EXPECT_EQ(scriptData.path, c.stored);
        std::string iss;
        ASSERT_TRUE(standin::getFile("C:\\windows\\qblred.iss", &iss));
        EXPECT_NE(iss.find("szPath=" + c.folder + "\r\n"), std::string::npos);
        /* The uninstaller sits in the stored folder, not beside it. */
        HKEY k;
        ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, uninstKeyName, 0, KEY_READ, &k), ERROR_SUCCESS);
        char uninst[256] = "";
        DWORD size = sizeof uninst;
        EXPECT_EQ(RegQueryValueExA(k, "UninstallString", nullptr, nullptr, (BYTE *)uninst, &size),
                  ERROR_SUCCESS);
        RegCloseKey(k);
        EXPECT_EQ(std::string(uninst), c.folder + "remove.exe");
        /* No port registration of Windows 95. */
        std::string reg = standin::exportReg();
        EXPECT_EQ(reg.find("Class\\Ports"), std::string::npos);
        EXPECT_EQ(reg.find("Enum\\Root"), std::string::npos);
        expectNoHandles();
    }
}

TEST_F(FlowTest, FailedUpdateShowsTheSpecificErrorThenTheGeneralOne)
{
    usePlatform(standin::WIN95);
    setAppPath("\"Path\"=\"C:\\\\Apps\\\\\"");
    standin::unsetEnv("WINDIR");
    for (int i = 0; i < 4; i++)
        standin::addAnswer("OK");
    startInteractive(owner);
    std::vector<Box> want = {{"install", "Install", kConfirm, MB_OKCANCEL},
                             {"install", "Install", kUpdate, MB_OKCANCEL},
                             {"install", "Error", "Couldn't get windir", MB_OK},
                             {"install", "Error", "An error was encountered.", MB_OK}};
    EXPECT_EQ(shownBoxes(), want);
    EXPECT_EQ(standin::calls("CreateProcessA"), 0);
    EXPECT_EQ(countEvents("help"), 0);
}

TEST_F(FlowTest, UpdateOnNTRunsTheNTSequence)
{
    usePlatform(standin::NT40);
    setAppPath("\"Path\"=\"C:\\\\Apps\\\\\"");
    standin::unsetEnv("SystemRoot");
    for (int i = 0; i < 4; i++)
        standin::addAnswer("OK");
    startInteractive(owner);
    auto b = shownBoxes();
    ASSERT_EQ(b.size(), 4u);
    EXPECT_EQ(b[2], (Box{"install", "Error", "Couldn't get SystemRoot", MB_OK}));
    EXPECT_EQ(b[3], (Box{"install", "Error", "An error was encountered.", MB_OK}));
}

TEST_F(FlowTest, DialogEndsWithoutMessageOnCancelEscapeOrCloseBox)
{
    for (const char *action : {"Cancel", "Escape", "Close"}) {
        resetProgram();
        owner = makeOwner();
        usePlatform(standin::WIN95);
        putInstaller();
        standin::addAnswer("OK");
        standin::addAnswer(std::vector<std::string>{"Type D:\\Other", action});
        startInteractive(owner);
        std::vector<std::string> want = {"box", "dialog"};
        EXPECT_EQ(eventKinds(), want) << action;
        EXPECT_EQ(standin::calls("CreateProcessA"), 0);
        EXPECT_FALSE(fileExists("C:\\windows\\qblred.iss"));
        EXPECT_EQ(standin::exportReg().find("Ports"), std::string::npos);
    }
}

TEST_F(FlowTest, DialogThatCannotBeCreatedEndsWithoutMessage)
{
    usePlatform(standin::WIN95);
    standin::fail("DialogBoxParamA", ERROR_RESOURCE_NAME_NOT_FOUND);
    standin::addAnswer("OK");
    startInteractive(owner);
    EXPECT_EQ(standin::boxes().size(), 1u);
    EXPECT_FALSE(fileExists("C:\\windows\\qblred.iss"));
}

/* The dialog's results, seen through an install refused on Win32s (which
 * touches nothing and leaves the typed path in the settings). */
TEST_F(FlowTest, DialogGivesTheTypedPathWithItsBackslash)
{
    struct Case {
        std::vector<std::string> actions;
        std::string path;
    } cases[] = {
        {{"OK"}, "C:\\Program Files\\Quorbelle\\Redirector\\"},
        {{"Type"}, "\\"},
        {{"Type D:\\Redir"}, "D:\\Redir\\"},
        {{"Type D:\\Redir\\"}, "D:\\Redir\\"},
        {{"Help", "Type E:\\After Help"}, "E:\\After Help\\"},
        {{"Type " + std::string(98, 'p')}, std::string(98, 'p') + "\\"},
        {{"Type " + std::string(97, 'p') + "\\"}, std::string(97, 'p') + "\\"},
        {{"Type " + std::string(300, 'q')}, std::string(98, 'q') + "\\"},
    };
    for (auto &c : cases) {
        resetProgram();
        owner = makeOwner();
        usePlatform(standin::WIN31);
        std::vector<std::string> actions = c.actions;
        if (actions.back() != "OK")
            actions.push_back("OK");
        standin::addAnswer("OK");
        standin::addAnswer(actions);
        standin::addAnswer("OK");
        standin::addAnswer("OK");
        startInteractive(owner);
        EXPECT_EQ(std::string(scriptData.path), c.path) << c.actions[0];
        EXPECT_EQ(scriptData.setupCmd[0], '\0');
        auto ev = standin::events();
        ASSERT_GE(ev.size(), 2u);
        EXPECT_EQ(ev[1].ev, "dialog");
        EXPECT_EQ(ev[1].caption, "Destination Path");
        EXPECT_EQ(ev[1].text, defaultAppPath);
        EXPECT_EQ(countEvents("unanswered"), 0);
    }
}

TEST_F(FlowTest, DialogProcedureResults)
{
    /* Unknown commands and messages are left to the dialog manager. */
    scriptData.path[0] = 'z';
    /* The dialog manager keeps its own choice of focus. */
    EXPECT_EQ(PathDlgProc(NULL, WM_INITDIALOG, 0, 0), FALSE);
    EXPECT_EQ(PathDlgProc(NULL, WM_COMMAND, 77, 0), FALSE);
    EXPECT_EQ(PathDlgProc(NULL, WM_COMMAND, IDC_HELPBTN, 0), TRUE);
    EXPECT_EQ(PathDlgProc(NULL, WM_SETTEXT, 0, 0), FALSE);
    EXPECT_EQ(scriptData.path[0], 'z');
}

TEST_F(FlowTest, UnsupportedPlatformClosesWithAbortedNotWithTheErrorText)
{
    usePlatform(standin::WIN31);
    gotError = 0;
    for (int i = 0; i < 4; i++)
        standin::addAnswer("OK");
    startInteractive(owner);
    std::vector<Box> want = {{"install", "Install", kConfirm, MB_OKCANCEL},
                             {"install", "Error", kPlatform, MB_OK},
                             {"install", "Info", "Installation aborted.", MB_OK}};
    EXPECT_EQ(shownBoxes(), want);
    EXPECT_EQ(countEvents("help"), 0);
}

TEST_F(FlowTest, FailedInstallShowsTheSpecificErrorBeforeTheGeneralOne)
{
    usePlatform(standin::NT40);
    gotError = 1;
    standin::unsetEnv("SystemRoot");
    for (int i = 0; i < 4; i++)
        standin::addAnswer("OK");
    startInteractive(owner);
    std::vector<Box> want = {
        {"install", "Install", kConfirm, MB_OKCANCEL},
        {"install", "Error", "Couldn't get SystemRoot", MB_OK},
        {"install", "Error", "An error was encountered.  Try running the custom installation.",
         MB_OK}};
    EXPECT_EQ(shownBoxes(), want);
    EXPECT_EQ(countEvents("help"), 0);
}

TEST_F(FlowTest, SuccessTextAndHelpByPlatform)
{
    struct Case {
        standin::Version version;
        const char *text;
        bool help;
    } cases[] = {
        {standin::WIN95, successText, true},
        {standin::NT40, successText, true},
        {standin::NT351, successText351, false},
    };
    for (auto &c : cases) {
        resetProgram();
        owner = makeOwner();
        usePlatform(c.version);
        putInstaller();
        standin::putFile("C:\\setup\\qblred.sys", "driver");
        standin::putFile("C:\\windows\\system32\\drivers\\keep.txt", "");
        ASSERT_TRUE(standin::importReg("REGEDIT4\n\n[HKEY_DYN_DATA\\Config Manager\\Enum]\n\n"
                                       "[HKEY_LOCAL_MACHINE\\Enum\\Root]\n\n"
                                       "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\"
                                       "Services\\Class\\Ports]\n"));
        gotError = 1; /* cleared before the install */
        standin::addAnswer("OK");
        standin::addAnswer("OK");
        standin::addAnswer("OK");
        startInteractive(owner);
        auto b = shownBoxes();
        ASSERT_EQ(b.size(), 2u) << (b.size() > 1 ? b[1].text : "");
        EXPECT_EQ(b[1], (Box{"install", "Info", c.text, MB_OK}));
        std::vector<standin::Event> help;
        for (auto &e : standin::events())
            if (e.ev == "help")
                help.push_back(e);
        ASSERT_EQ(help.size(), c.help ? 1u : 0u);
        if (c.help) {
            EXPECT_EQ(help[0].text, "redir.hlp");
            EXPECT_EQ(help[0].type, (unsigned)HELP_CONTEXT);
            EXPECT_EQ(help[0].data, 1037ul);
            EXPECT_EQ(standin::events().back().ev, "help"); /* after the text */
        }
        EXPECT_EQ(countEvents("unanswered"), 0);
        expectNoHandles();
    }
}

TEST_F(FlowTest, SecondThreadErrorBoxIsAnsweredWhileTheMainThreadWaits)
{
    /* The installer cannot be launched: its error box comes from the
     * second thread, owned by the main window. */
    usePlatform(standin::WIN95);
    setAppPath("\"Path\"=\"C:\\\\Apps\\\\\"");
    for (int i = 0; i < 4; i++)
        standin::addAnswer("OK");
    startInteractive(owner);
    auto ev = standin::boxes();
    ASSERT_EQ(ev.size(), 4u);
    EXPECT_EQ(ev[2].text, "Failed to launch app installer");
    EXPECT_EQ(ev[2].owner, "install");
    EXPECT_NE(ev[2].thread, ev[0].thread);
    EXPECT_EQ(ev[3].text, "An error was encountered.");
    EXPECT_EQ(ev[3].thread, ev[0].thread);
    EXPECT_EQ(countEvents("unanswered"), 0);
    expectNoHandles();
}

} // namespace
