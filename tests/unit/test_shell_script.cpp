/*
 * test_shell_script.cpp - the install script reader and checkPath.
 */
#include "fixture.h"

#include <string>

namespace {

const char kScript[] = "C:\\setup\\script.txt";

/* A string literal with its NUL bytes. */
#define BYTES(lit) std::string(lit, sizeof(lit) - 1)

int parse(const std::string &bytes)
{
    standin::putFile(kScript, bytes);
    return parseScript(kScript);
}

std::string slotText(int i) { return scriptData.slot[i].text; }
int slotKind(int i) { return scriptData.slot[i].kind; }

class ScriptTest : public InstallTest {};

TEST_F(ScriptTest, CheckPathGivesAFinalBackslash)
{
    struct Case {
        const char *in, *out;
    } cases[] = {{"", "\\"}, {"C:\\Apps", "C:\\Apps\\"}, {"C:\\Apps\\", "C:\\Apps\\"},
                 {"\\", "\\"}, {"C:", "C:\\"}};
    for (auto &c : cases) {
        char buf[PATH_FIELD_LEN] = {};
        strcpy(buf, c.in);
        checkPath(buf);
        EXPECT_STREQ(buf, c.out) << c.in;
    }
}

TEST_F(ScriptTest, CheckPathNeverWritesPastThePathField)
{
    char buf[PATH_FIELD_LEN + 1];
    memset(buf, 'x', sizeof buf);
    buf[PATH_FIELD_LEN - 1] = '\0'; /* 99 characters, no room left */
    checkPath(buf);
    EXPECT_EQ(strlen(buf), 99u);
    EXPECT_EQ(buf[PATH_FIELD_LEN], 'x');
    buf[PATH_FIELD_LEN - 2] = '\0'; /* 98 characters: room for one */
    checkPath(buf);
    EXPECT_EQ(strlen(buf), 99u);
    EXPECT_EQ(buf[98], '\\');
}

TEST_F(ScriptTest, ExampleScript)
{
    EXPECT_EQ(parse("path=D:\\Redir\r\nsv1=ip:10.1.2.3:3001\r\nsv2=IPX:server1\r\n"), 0);
    EXPECT_STREQ(scriptData.path, "D:\\Redir\\");
    EXPECT_EQ(slotKind(0), SLOT_IP);
    EXPECT_EQ(slotText(0), "10.1.2.3:3001");
    EXPECT_EQ(slotKind(1), SLOT_IPX);
    EXPECT_EQ(slotText(1), "SERVER1");
    EXPECT_EQ(slotKind(2), SLOT_NONE);
    EXPECT_EQ(slotText(2), "");
    EXPECT_EQ(slotKind(3), SLOT_NONE);
    EXPECT_TRUE(standin::events().empty());
}

TEST_F(ScriptTest, MissingScriptGivesMinusOne)
{
    EXPECT_EQ(parseScript("C:\\setup\\none.txt"), -1);
    EXPECT_EQ(parseScript("\"C:\\setup\\none.txt\""), -1);
    standin::putFile(kScript, "path=C:\\X\n");
    standin::fail("CreateFileA", ERROR_ACCESS_DENIED, "script.txt");
    EXPECT_EQ(parseScript(kScript), -1);
    EXPECT_EQ(scriptData.path[0], '\0');
    EXPECT_TRUE(standin::events().empty());
}

TEST_F(ScriptTest, PathLines)
{
    struct Case {
        const char *script, *path;
    } cases[] = {
        {"PATH=C:\\Apps\n", "C:\\Apps\\"},
        {"Path=C:\\Apps\\\n", "C:\\Apps\\"},
        {"pathway=C:\\X\n", "C:\\X\\"},
        {"path=\n", "\\"},
        {"path C:\\X\n", ""},
        {"path =C:\\X=Y\n", "C:\\X=Y\\"},
        {"path= C:\\X \n", " C:\\X \\"},
        {"pat=C:\\X\n", ""},
        {"path=C:\\A\npath=C:\\B\npath C:\\C\n", "C:\\B\\"},
        {"path=C:\\Last", "C:\\Last\\"},
        {" path=C:\\X\n", ""},
    };
    for (auto &c : cases) {
        resetProgram();
        EXPECT_EQ(parse(c.script), 0);
        EXPECT_STREQ(scriptData.path, c.path) << c.script;
    }
}

TEST_F(ScriptTest, ServiceLines)
{
    struct Case {
        const char *script;
        int slot, kind;
        const char *text;
    } cases[] = {
        {"sv1=ip:10.1.2.3:3001\n", 0, SLOT_IP, "10.1.2.3:3001"},
        {"SV4=IP:host:23\n", 3, SLOT_IP, "host:23"},
        {"sv1 =ip:10.1.2.3:3001\n", 0, SLOT_IP, "10.1.2.3:3001"},
        {"sv1= ip:10.1.2.3:3001\n", 0, SLOT_NONE, ""},
        {"sv2=ip:10.1.2.3\n", 1, SLOT_IP, ""},
        {"sv3=ipx:abc:def\n", 2, SLOT_IPX, "ABC:DEF"},
        {"sv3=iPx:Srv-9z\n", 2, SLOT_IPX, "SRV-9Z"},
        {"sv3=ipx:\n", 2, SLOT_IPX, ""},
        {"sv4=ipx\n", 3, SLOT_NONE, ""},
        {"sv4=ip\n", 3, SLOT_NONE, ""},
        {"sv1=tcp:10.1.2.3:3001\n", 0, SLOT_NONE, ""},
        {"sv1ip:10.1.2.3:3001\n", 0, SLOT_NONE, ""},
        {"sv1=ipfoo:a:b\n", 0, SLOT_IP, "a:b"},
        {"sv1=ip:a:b \n", 0, SLOT_IP, "a:b "},
        {"sv1=ipx:a\nsv1=ip:host\n", 0, SLOT_IP, "A"},
        {"sv1=ip:a:1\nsv1=ipx:b\n", 0, SLOT_IPX, "B"},
        {"sv1=ipx:a\nsv1=tcp:x\nsv1=ipx\n", 0, SLOT_IPX, "A"},
        {"sv", 0, SLOT_NONE, ""},
    };
    for (auto &c : cases) {
        resetProgram();
        EXPECT_EQ(parse(c.script), 0);
        EXPECT_EQ(slotKind(c.slot), c.kind) << c.script;
        EXPECT_EQ(slotText(c.slot), c.text) << c.script;
    }
}

TEST_F(ScriptTest, SlotDigitsOutsideOneToFourAreIgnored)
{
    EXPECT_EQ(parse("sv5=ip:10.1.2.3:3001\nsv0=ip:10.1.2.3:3001\nsv=ip:a:b\nsvx=ipx:a\n"), 0);
    for (int i = 0; i < SLOT_COUNT; i++) {
        EXPECT_EQ(slotKind(i), SLOT_NONE);
        EXPECT_EQ(slotText(i), "");
    }
}

TEST_F(ScriptTest, LongLinesAreReadIn99CharacterPieces)
{
    /* 150 characters: a path line of 99, then "sv2=ipx:..." from the rest. */
    std::string first = "path=" + std::string(94, 'p');
    std::string rest = "sv2=ipx:" + std::string(43, 'r');
    ASSERT_EQ((first + rest).size(), 150u);
    EXPECT_EQ(parse(first + rest + "\n"), 0);
    EXPECT_EQ(std::string(scriptData.path), std::string(94, 'p') + "\\");
    EXPECT_EQ(slotKind(1), SLOT_IPX);
    EXPECT_EQ(slotText(1), std::string(43, 'R'));

    /* A line of exactly 99 characters is whole; its line feed is an
     * empty line. */
    resetProgram();
    std::string svLine = "sv1=ip:" + std::string(90, 'a') + ":1";
    ASSERT_EQ(svLine.size(), 99u);
    EXPECT_EQ(parse(svLine + "\nsv2=ipx:x\n"), 0);
    EXPECT_EQ(slotText(0), std::string(90, 'a') + ":1");
    EXPECT_EQ(slotText(1), "X");
}

TEST_F(ScriptTest, CarriageReturnsAreDroppedWhereverTheyStand)
{
    EXPECT_EQ(parse("pa\rth=C:\\A\rB\r\r\nsv1=ipx:\rq\r\n\r"), 0);
    EXPECT_STREQ(scriptData.path, "C:\\AB\\");
    EXPECT_EQ(slotText(0), "Q");
    /* They do not count towards the 99 characters of a line. */
    resetProgram();
    std::string line = "path=" + std::string(94, 'c');
    std::string withCr;
    for (char ch : line)
        withCr += std::string(1, ch) + "\r";
    EXPECT_EQ(parse(withCr + "\n"), 0);
    EXPECT_EQ(std::string(scriptData.path), std::string(94, 'c') + "\\");
}

TEST_F(ScriptTest, CtrlZEndsTheFile)
{
    EXPECT_EQ(parse("sv1=ipx:a\nsv2=ipx:b\x1asv3=ipx:c\nsv4=ipx:d\n"), 0);
    EXPECT_EQ(slotText(0), "A");
    EXPECT_EQ(slotText(1), "B");
    EXPECT_EQ(slotKind(2), SLOT_NONE);
    EXPECT_EQ(slotKind(3), SLOT_NONE);
    /* Also when it follows a NUL byte in the same line. */
    resetProgram();
    EXPECT_EQ(parse(BYTES("sv1=ipx:a\0zz\x1a\nsv2=ipx:b\n")), 0);
    EXPECT_EQ(slotText(0), "A");
    EXPECT_EQ(slotKind(1), SLOT_NONE);
}

TEST_F(ScriptTest, NulAndBinaryBytesNeitherCrashNorLeak)
{
    std::string bytes = BYTES("path=C:\\A\0hidden\nsv1=ipx:\xff\xfe\x80z\n");
    bytes += BYTES("\0\0\0sv2=ipx:n\n");
    bytes += "sv3=ipx:ok\n";
    EXPECT_EQ(parse(bytes), 0);
    EXPECT_STREQ(scriptData.path, "C:\\A\\");
    EXPECT_EQ(slotText(0), "\xff\xfe\x80Z");
    EXPECT_EQ(slotKind(1), SLOT_NONE); /* the line's text is empty */
    EXPECT_EQ(slotText(2), "OK");

    /* Every byte value, many times over, in lines of every length. */
    resetProgram();
    std::string noise;
    unsigned x = 12345;
    for (int i = 0; i < 200000; i++) {
        x = x * 1103515245u + 12345u;
        char c = (char)(x >> 16);
        noise += c == 0x1a ? 'x' : c;
    }
    noise += "\nsv4=ipx:end\n";
    EXPECT_EQ(parse(noise), 0);
    EXPECT_EQ(slotText(3), "END");
    EXPECT_LT(strlen(scriptData.path), (size_t)PATH_FIELD_LEN);
    for (int i = 0; i < SLOT_COUNT; i++)
        EXPECT_LT(strlen(scriptData.slot[i].text), (size_t)SLOT_TEXT_LEN);
}

TEST_F(ScriptTest, VeryLongAndVeryLargeScripts)
{
    /* A line of thousands of characters that repeats a path line in every
     * piece, then a large file of lines: the last piece wins. */
    std::string piece = "path=" + std::string(90, 'v') + "1234";
    ASSERT_EQ(piece.size(), 99u);
    std::string big;
    for (int i = 0; i < 50; i++)
        big += piece;
    big += "path=C:\\Tail";
    std::string lines;
    for (int i = 0; i < 120000; i++)
        lines += "sv1=ip:host" + std::to_string(i) + ":23\r\n";
    EXPECT_EQ(parse(big + "\n" + lines), 0);
    EXPECT_STREQ(scriptData.path, "C:\\Tail\\");
    EXPECT_EQ(slotText(0), "host119999:23");
    EXPECT_GT(big.size() + lines.size(), 2000000u);
}

} // namespace
