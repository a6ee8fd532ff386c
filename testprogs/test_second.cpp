/*
 * test_second.cpp - the native build of second, started the way
 * install.exe starts it: through CreateProcessA of the stand-in, on a
 * machine whose C: drive is a temporary folder.
 */
#include <gtest/gtest.h>

#include "standin.h"

#include <chrono>
#include <fstream>
#include <sys/stat.h>
#include <sstream>
#include <string>

#ifndef SECOND_BINARY
#error "SECOND_BINARY must name the native second program"
#endif

namespace {

unsigned long long hostMs()
{
    return (unsigned long long)std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::string readHostFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

struct Outcome {
    bool started = false;
    DWORD exitCode = 0xFFFFFFFF;
    DWORD firstWait = 0; /* result of the first, bounded wait */
    unsigned long long before = 0, after = 0;
};

class SecondTest : public ::testing::Test {
  protected:
    void SetUp() override
    {
        standin::reset();
        standin::putFile("C:\\setup\\second.exe", readHostFile(SECOND_BINARY));
        ASSERT_EQ(0, chmod(standin::hostPath("C:\\setup\\second.exe").c_str(), 0755));
        standin::putFile("C:\\testlog\\keep", "");
    }
    /* A fresh machine ends what the last one started. */
    void TearDown() override { standin::reset(); }

    void mode(const std::string &text) { standin::putFile("C:\\testlog\\second-mode.txt", text); }

    std::string log(const std::string &name)
    {
        std::string bytes;
        if (!standin::getFile("C:\\testlog\\" + name, &bytes))
            return "<missing>";
        return bytes;
    }

    /* Starts cmd and waits for it; firstWaitMs bounds a first wait whose
     * result is kept, before the wait without limit. */
    Outcome run(const std::string &cmd, DWORD firstWaitMs = INFINITE)
    {
        Outcome r;
        STARTUPINFOA si;
        memset(&si, 0, sizeof si);
        si.cb = sizeof si;
        PROCESS_INFORMATION pi;
        std::string line = cmd;
        r.before = hostMs();
        r.started = CreateProcessA(NULL, &line[0], NULL, NULL, FALSE, 0, NULL, NULL, &si, &pi);
        if (!r.started)
            return r;
        r.firstWait = WaitForSingleObject(pi.hProcess, firstWaitMs);
        WaitForSingleObject(pi.hProcess, INFINITE);
        r.after = hostMs();
        GetExitCodeProcess(pi.hProcess, &r.exitCode);
        CloseHandle(pi.hThread);
        CloseHandle(pi.hProcess);
        return r;
    }
};

const char kSetupCmd[] =
    "C:\\setup\\second.exe -S -F1C:\\windows\\qblred.iss -F2C:\\windows\\qblred.log";

/* What install.exe relies on: the exact command line, a byte copy of the
 * response file, a start stamp taken at start-up. */
TEST_F(SecondTest, RecordsCommandLineResponseFileAndStartStamp)
{
    const std::string response("[InstallShield Silent]\r\nVersion=v5.00.000\r\n\x1a\x00\xff tail",
                               52);
    standin::putFile("C:\\windows\\qblred.iss", response);
    Outcome r = run(kSetupCmd);
    ASSERT_TRUE(r.started);
    EXPECT_EQ(0u, r.exitCode);
    EXPECT_EQ(kSetupCmd, log("second-cmdline.txt"));
    EXPECT_EQ(response, log("second-response.iss"));

    std::string stamp = log("second-start.txt");
    ASSERT_FALSE(stamp.empty());
    EXPECT_EQ(std::string::npos, stamp.find_first_not_of("0123456789")) << stamp;
    unsigned long long ms = std::stoull(stamp);
    EXPECT_GE(ms, r.before);
    EXPECT_LE(ms, r.after);
}

/* The file name after -F1 ends at the next blank, or at the closing quote;
 * the switch is found in any case, but only at the start of a word. */
TEST_F(SecondTest, FindsTheResponseFileName)
{
    standin::putFile("C:\\Program Files\\r.iss", "quoted");
    run("C:\\setup\\second.exe -s -f1\"C:\\Program Files\\r.iss\" -f2x.log");
    EXPECT_EQ("quoted", log("second-response.iss"));

    standin::putFile("C:\\windows\\a.iss", "last");
    run("C:\\setup\\second.exe -S -F1C:\\windows\\a.iss");
    EXPECT_EQ("last", log("second-response.iss"));

    /* "x-F1..." is not the switch; no -F1 at all leaves no copy. */
    standin::putFile("C:\\setup\\sub-F1\\keep", "");
    standin::putFile("C:\\setup\\sub-F1\\second.exe", readHostFile(SECOND_BINARY));
    ASSERT_EQ(0, chmod(standin::hostPath("C:\\setup\\sub-F1\\second.exe").c_str(), 0755));
    standin::putFile("C:\\testlog\\second-response.iss", "stale");
    DeleteFileA("C:\\testlog\\second-response.iss");
    run("C:\\setup\\sub-F1\\second.exe -S");
    EXPECT_EQ("<missing>", log("second-response.iss"));
}

/* An unreadable or over-long response file name is not an error: the run
 * goes on, only the copy is missing. */
TEST_F(SecondTest, MissingOrOverlongResponseFileLeavesNoCopy)
{
    Outcome r = run("C:\\setup\\second.exe -S -F1C:\\windows\\none.iss");
    EXPECT_EQ(0u, r.exitCode);
    EXPECT_EQ("<missing>", log("second-response.iss"));

    std::string longName = "C:\\" + std::string(400, 'x') + ".iss";
    r = run("C:\\setup\\second.exe -S -F1" + longName);
    EXPECT_EQ(0u, r.exitCode);
    EXPECT_EQ("<missing>", log("second-response.iss"));
    EXPECT_EQ("C:\\setup\\second.exe -S -F1" + longName, log("second-cmdline.txt"));
}

TEST_F(SecondTest, ExitCodeFollowsTheModeFile)
{
    EXPECT_EQ(0u, run(kSetupCmd).exitCode) << "no mode file";
    mode("exit7");
    EXPECT_EQ(7u, run(kSetupCmd).exitCode);
    mode("exit7\r\n");
    EXPECT_EQ(7u, run(kSetupCmd).exitCode) << "line end after the mode";
    mode("exit0");
    EXPECT_EQ(0u, run(kSetupCmd).exitCode);
    mode("");
    EXPECT_EQ(0u, run(kSetupCmd).exitCode) << "empty mode file";
    mode("exit259");
    EXPECT_EQ(259u, run(kSetupCmd).exitCode) << "STILL_ACTIVE must come through whole";
}

TEST_F(SecondTest, UnknownModeIsReported)
{
    mode("exit8");
    EXPECT_EQ(2u, run(kSetupCmd).exitCode);
    EXPECT_EQ("unknown mode: exit8", log("second-error.txt"));
}

TEST_F(SecondTest, CreatesTheLogFolder)
{
    ASSERT_EQ(0, system(("rm -rf '" + standin::hostPath("C:\\testlog") + "'").c_str()));
    Outcome r = run(kSetupCmd);
    EXPECT_EQ(0u, r.exitCode);
    EXPECT_EQ(kSetupCmd, log("second-cmdline.txt"));
}

/* install.exe waits 5000 ms for the installer: slow must outlast that. */
TEST_F(SecondTest, SlowModeRunsEightSeconds)
{
    mode("slow");
    Outcome r = run(kSetupCmd, 5000);
    EXPECT_EQ((DWORD)WAIT_TIMEOUT, r.firstWait);
    EXPECT_EQ(0u, r.exitCode);
    EXPECT_GE(r.after - r.before, 8000u);
    EXPECT_NE("<missing>", log("second-start.txt"));
}

} // namespace
