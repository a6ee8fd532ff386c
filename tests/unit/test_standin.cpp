/* Tests of the Win32 stand-in itself: the platform the host tests rely on
 * must behave as Windows (and Wine) does. */
#include <gtest/gtest.h>

#include "guard.h"
#include "msports.h"
#include "standin.h"
#include "regfile.h"
#include "../../wine/nt_image_path.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <sys/stat.h>
#include <thread>

namespace {

class StandinTest : public ::testing::Test {
  protected:
    void SetUp() override { standin::reset(); }
};

std::string queryString(HKEY k, const char *name, DWORD *type = nullptr)
{
    char buf[256];
    DWORD size = sizeof buf;
    if (RegQueryValueExA(k, name, nullptr, type, reinterpret_cast<BYTE *>(buf), &size))
        return "<missing>";
    return std::string(buf, size);
}

HKEY createKey(const char *path)
{
    HKEY k = nullptr;
    EXPECT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0,
                                             KEY_ALL_ACCESS, nullptr, &k, nullptr));
    return k;
}

/* ------------------------------------------------------------ registry */

TEST_F(StandinTest, RegistryCreateOpenAndCase)
{
    HKEY k;
    DWORD disp = 0;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Software\\Vendor\\Prod", 0,
                                             nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, &disp));
    EXPECT_EQ((DWORD)REG_CREATED_NEW_KEY, disp);
    RegCloseKey(k);
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\vendor\\PROD", 0,
                                             nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, &disp));
    EXPECT_EQ((DWORD)REG_OPENED_EXISTING_KEY, disp);
    RegCloseKey(k);
    EXPECT_EQ(ERROR_FILE_NOT_FOUND,
              RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Vendor\\Other", 0, KEY_READ, &k));
    /* the case of creation is kept */
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, "software", 0, KEY_READ, &k));
    char name[32];
    DWORD n = sizeof name;
    ASSERT_EQ(ERROR_SUCCESS, RegEnumKeyExA(k, 0, name, &n, nullptr, nullptr, nullptr, nullptr));
    EXPECT_STREQ("Vendor", name);
    EXPECT_EQ(6u, n);
    RegCloseKey(k);
    EXPECT_EQ(0, standin::openRegistryHandles());
}

/* The subkey names of an open key, space-separated, as RegEnumKeyExA
 * gives them; *last is the code of the call that ended the enumeration. */
std::string enumerated(HKEY k, LONG *last = nullptr)
{
    std::string order;
    char name[32];
    for (DWORD i = 0;; i++) {
        DWORD n = sizeof name;
        LONG rc = RegEnumKeyExA(k, i, name, &n, nullptr, nullptr, nullptr, nullptr);
        if (rc) {
            if (last)
                *last = rc;
            return order;
        }
        EXPECT_EQ(strlen(name), n);
        order += std::string(name) + " ";
    }
}

std::string enumerated(const char *path)
{
    HKEY k;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &k))
        return "<no key>";
    std::string order = enumerated(k);
    RegCloseKey(k);
    return order;
}

TEST_F(StandinTest, RegistryEnumerationOrderAndErrors)
{
    HKEY k = createKey("Order");
    for (const char *n : {"b", "A", "_x", "Z", "a1", "0"}) {
        HKEY s;
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(k, n, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                                 &s, nullptr));
        RegCloseKey(s);
    }
    /* Windows 95 (the fresh machine): in the order of creation */
    LONG rc = 0;
    EXPECT_EQ("b A _x Z a1 0 ", enumerated(k, &rc));
    EXPECT_EQ(ERROR_NO_MORE_ITEMS, rc);
    char name[8];
    DWORD n = 2; /* "a1" needs 3 with its terminator */
    EXPECT_EQ(ERROR_MORE_DATA, RegEnumKeyExA(k, 4, name, &n, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(2u, n);
    /* RegEnumKeyA gives the same order, and takes the size as it is */
    ASSERT_EQ(ERROR_SUCCESS, RegEnumKeyA(k, 1, name, sizeof name));
    EXPECT_STREQ("A", name);
    EXPECT_EQ(ERROR_MORE_DATA, RegEnumKeyA(k, 4, name, 2));
    EXPECT_EQ(ERROR_NO_MORE_ITEMS, RegEnumKeyA(k, 6, name, sizeof name));
    /* a key deleted and created again comes last */
    ASSERT_EQ(ERROR_SUCCESS, RegDeleteKeyA(k, "A"));
    RegCloseKey(createKey("Order\\a"));
    EXPECT_EQ("b _x Z a1 0 a ", enumerated(k));
    /* NT: sorted by name without regard to case, as Wine gives them; the
     * order follows the version of the moment */
    standin::setVersion(standin::NT40);
    EXPECT_EQ("0 _x a a1 b Z ", enumerated(k, &rc));
    EXPECT_EQ(ERROR_NO_MORE_ITEMS, rc);
    n = 2;
    EXPECT_EQ(ERROR_MORE_DATA, RegEnumKeyExA(k, 3, name, &n, nullptr, nullptr, nullptr, nullptr));
    standin::setVersion(standin::NT351);
    EXPECT_EQ("0 _x a a1 b Z ", enumerated(k));
    standin::setVersion(standin::WIN95);
    EXPECT_EQ("b _x Z a1 0 a ", enumerated(k));
    HKEY ro;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Order", 0, KEY_QUERY_VALUE, &ro));
    n = sizeof name;
    EXPECT_EQ(ERROR_ACCESS_DENIED,
              RegEnumKeyExA(ro, 0, name, &n, nullptr, nullptr, nullptr, nullptr));
    DWORD v = 1;
    EXPECT_EQ(ERROR_ACCESS_DENIED,
              RegSetValueExA(ro, "x", 0, REG_DWORD, reinterpret_cast<BYTE *>(&v), 4));
    RegCloseKey(ro);
    EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(k));
    EXPECT_EQ(ERROR_INVALID_HANDLE, RegCloseKey(k));
    EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(HKEY_LOCAL_MACHINE));

    /* keys imported from .reg text are created in the order of the text,
     * a parent before the key that names it; a key created later by a call
     * comes after them, a key named again keeps its place */
    ASSERT_TRUE(standin::importReg("REGEDIT4\n"
                                   "[HKEY_LOCAL_MACHINE\\Imp\\C29A1E10]\n"
                                   "[HKEY_LOCAL_MACHINE\\Imp\\0003\\Sub]\n"
                                   "[HKEY_LOCAL_MACHINE\\Imp\\C29A1D30]\n"
                                   "[HKEY_LOCAL_MACHINE\\Imp\\0003]\n"
                                   "[HKEY_LOCAL_MACHINE\\Imp\\0001]\n"));
    RegCloseKey(createKey("Imp\\0000"));
    EXPECT_EQ("C29A1E10 0003 C29A1D30 0001 0000 ", enumerated("Imp"));
    standin::setVersion(standin::NT40);
    EXPECT_EQ("0000 0001 0003 C29A1D30 C29A1E10 ", enumerated("Imp"));
    /* the export stays sorted whatever the order, so that the same
     * registry gives the same text */
    standin::setVersion(standin::WIN95);
    std::string exported = standin::exportReg("HKLM\\Imp");
    EXPECT_LT(exported.find("Imp\\0000]"), exported.find("Imp\\0001]"));
    EXPECT_LT(exported.find("Imp\\0003\\Sub]"), exported.find("Imp\\C29A1D30]"));
    EXPECT_LT(exported.find("Imp\\C29A1D30]"), exported.find("Imp\\C29A1E10]"));
}

TEST_F(StandinTest, RegistryShuffledEnumeration)
{
    const char *names[] = {"C29A0000", "C29A1D30", "C29A1E10", "C29A1F00", "C29A2040",
                           "C29A2100", "C29A2200", "C29A2300"};
    for (const char *n : names)
        RegCloseKey(createKey((std::string("Enum\\") + n).c_str()));
    RegCloseKey(createKey("Other\\a"));
    RegCloseKey(createKey("Other\\b"));
    const std::string created = enumerated("Enum");

    /* the same key gives the same order each time in a run, whatever the
     * version; every subkey once */
    standin::setEnumShuffle(1);
    const std::string first = enumerated("Enum");
    EXPECT_EQ(first, enumerated("Enum"));
    standin::setVersion(standin::NT40);
    EXPECT_EQ(first, enumerated("Enum"));
    standin::setVersion(standin::WIN95);
    std::vector<std::string> seen;
    for (size_t at = 0, end; (end = first.find(' ', at)) != std::string::npos; at = end + 1)
        seen.push_back(first.substr(at, end - at));
    std::sort(seen.begin(), seen.end());
    EXPECT_EQ(std::vector<std::string>(std::begin(names), std::end(names)), seen);
    /* sizes and the end as without the shuffle */
    HKEY k;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Enum", 0, KEY_READ, &k));
    char name[16];
    DWORD n = 8; /* every name has 8 characters: one short of room */
    EXPECT_EQ(ERROR_MORE_DATA, RegEnumKeyExA(k, 0, name, &n, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(8u, n);
    n = sizeof name;
    EXPECT_EQ(ERROR_NO_MORE_ITEMS,
              RegEnumKeyExA(k, 8, name, &n, nullptr, nullptr, nullptr, nullptr));

    /* another seed, another order (these two differ for this key); the
     * first seed again gives its order again, so a run can be replayed */
    standin::setEnumShuffle(2);
    const std::string second = enumerated("Enum");
    EXPECT_NE(first, second);
    EXPECT_NE(created, second);
    standin::setEnumShuffle(1);
    EXPECT_EQ(first, enumerated("Enum"));

    /* a new subkey lands anywhere; the others keep their order among
     * themselves.  A key deleted and created again takes a new place. */
    RegCloseKey(createKey("Enum\\C29A2400"));
    std::string grown = enumerated("Enum");
    size_t at = grown.find("C29A2400 ");
    ASSERT_NE(std::string::npos, at);
    EXPECT_EQ(first, grown.erase(at, 9));
    EXPECT_EQ(ERROR_SUCCESS, RegDeleteKeyA(k, "C29A2400"));
    EXPECT_EQ(first, enumerated("Enum"));
    RegCloseKey(k);

    /* the shuffle ends with clearEnumShuffle and with a reset */
    standin::clearEnumShuffle();
    EXPECT_EQ(created, enumerated("Enum"));
    standin::setEnumShuffle(2);
    standin::reset();
    for (const char *nm : names)
        RegCloseKey(createKey((std::string("Enum\\") + nm).c_str()));
    EXPECT_EQ(created, enumerated("Enum"));
}

TEST_F(StandinTest, RegistryManySubkeysEnumerateInOrder)
{
    HKEY k = createKey("Many");
    char name[16];
    for (int i = 2999; i >= 0; i--) {
        snprintf(name, sizeof name, "%04d", i);
        HKEY s;
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(k, name, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                                 &s, nullptr));
        RegCloseKey(s);
    }
    /* Windows 95: the order of creation; NT: sorted */
    for (DWORD i = 0; i < 3000; i += 499) {
        DWORD n = sizeof name;
        ASSERT_EQ(ERROR_SUCCESS, RegEnumKeyExA(k, i, name, &n, nullptr, nullptr, nullptr, nullptr));
        EXPECT_EQ(2999 - (int)i, atoi(name));
    }
    standin::setVersion(standin::NT40);
    for (DWORD i = 0; i < 3000; i += 499) {
        DWORD n = sizeof name;
        ASSERT_EQ(ERROR_SUCCESS, RegEnumKeyExA(k, i, name, &n, nullptr, nullptr, nullptr, nullptr));
        EXPECT_EQ((int)i, atoi(name));
    }
    /* shuffled: each of the 3000 once (and quickly: the order is worked
     * out once, not at every call) */
    standin::setEnumShuffle(7);
    std::vector<bool> seen(3000, false);
    for (DWORD i = 0; i < 3000; i++) {
        DWORD n = sizeof name;
        ASSERT_EQ(ERROR_SUCCESS, RegEnumKeyExA(k, i, name, &n, nullptr, nullptr, nullptr, nullptr));
        EXPECT_FALSE(seen[(size_t)atoi(name)]) << name;
        seen[(size_t)atoi(name)] = true;
    }
    RegCloseKey(k);
}

TEST_F(StandinTest, RegistryValuesKeepBytesAndType)
{
    HKEY k = createKey("Values");
    /* Windows 95 (as Wine has it) takes a REG_SZ's length from its text */
    ASSERT_EQ(ERROR_SUCCESS,
              RegSetValueExA(k, "W95", 0, REG_SZ, reinterpret_cast<const BYTE *>("abc"), 2));
    EXPECT_EQ(std::string("abc\0", 4), queryString(k, "W95"));
    standin::setVersion(standin::NT40);
    /* NT counts a terminator that the size left out right behind the text */
    ASSERT_EQ(ERROR_SUCCESS,
              RegSetValueExA(k, "Nt", 0, REG_SZ, reinterpret_cast<const BYTE *>("abc"), 3));
    EXPECT_EQ(std::string("abc\0", 4), queryString(k, "Nt"));
    const char raw[4] = {'a', 'b', 'c', 'd'};
    ASSERT_EQ(ERROR_SUCCESS,
              RegSetValueExA(k, "NoNul", 0, REG_SZ, reinterpret_cast<const BYTE *>(raw), 3));
    DWORD type = 0, size = 0;
    ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExA(k, "nonul", nullptr, &type, nullptr, &size));
    EXPECT_EQ((DWORD)REG_SZ, type);
    EXPECT_EQ(3u, size);
    /* with room to spare a terminator is added; the size stays 3 */
    BYTE buf[8];
    memset(buf, 'x', sizeof buf);
    size = sizeof buf;
    ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExA(k, "NoNul", nullptr, &type, buf, &size));
    EXPECT_EQ(3u, size);
    EXPECT_EQ(0, memcmp(buf, "abc\0", 4));
    memset(buf, 'x', sizeof buf);
    size = 3;
    ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExA(k, "NoNul", nullptr, &type, buf, &size));
    EXPECT_EQ('x', buf[3]);
    size = 2;
    EXPECT_EQ(ERROR_MORE_DATA, RegQueryValueExA(k, "NoNul", nullptr, &type, buf, &size));
    EXPECT_EQ(3u, size);
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegQueryValueExA(k, "absent", nullptr, &type, buf, &size));
    EXPECT_EQ(ERROR_SUCCESS, RegDeleteValueA(k, "NONUL"));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegDeleteValueA(k, "NoNul"));
    /* the default value */
    ASSERT_EQ(ERROR_SUCCESS,
              RegSetValueExA(k, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE *>("d"), 2));
    EXPECT_EQ(std::string("d\0", 2), queryString(k, ""));
    RegCloseKey(k);
}

TEST_F(StandinTest, RegistryDeletedKeysAndSubkeys)
{
    HKEY parent = createKey("Del");
    HKEY child = createKey("Del\\Child\\Grand");
    EXPECT_EQ(ERROR_ACCESS_DENIED, RegDeleteKeyA(parent, "Child"));
    EXPECT_EQ(ERROR_SUCCESS, RegDeleteKeyA(parent, "Child\\Grand"));
    DWORD v = 1;
    EXPECT_EQ(ERROR_KEY_DELETED,
              RegSetValueExA(child, "x", 0, REG_DWORD, reinterpret_cast<BYTE *>(&v), 4));
    EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(child));
    RegCloseKey(parent);
    EXPECT_EQ(ERROR_BAD_PATHNAME,
              RegOpenKeyExA(HKEY_LOCAL_MACHINE, "\\Del", 0, KEY_READ, &parent));
}

/* ------------------------------------------------------------ .reg text */

TEST_F(StandinTest, RegFileRoundTrip)
{
    const std::string text = "REGEDIT4\n"
                             "\n"
                             "; a comment\n"
                             "[HKEY_LOCAL_MACHINE\\Software\\T]\n"
                             "@=\"default\"\n"
                             "\"Path\"=\"C:\\\\dir\\\\ \\\"q\\\"\"\n"
                             "\"Num\"=dword:0000002a\n"
                             "\"Bin\"=hex:01,02,\\\n"
                             "  ff\n"
                             "\"Exp\"=hex(2):25,57,00\n"
                             "\"Raw\"=hex(1):61,62\n"
                             "\n"
                             "[HKEY_DYN_DATA\\Config Manager\\Enum\\C1]\n"
                             "\"Short\"=hex(4):01,02\n";
    std::string why;
    ASSERT_TRUE(standin::importReg(text, &why)) << why;
    HKEY k;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\T", 0, KEY_READ, &k));
    DWORD type;
    EXPECT_EQ(std::string("C:\\dir\\ \"q\"\0", 12), queryString(k, "Path", &type));
    EXPECT_EQ((DWORD)REG_SZ, type);
    EXPECT_EQ(std::string("\x2a\0\0\0", 4), queryString(k, "Num", &type));
    EXPECT_EQ(std::string("\x01\x02\xff", 3), queryString(k, "Bin", &type));
    EXPECT_EQ((DWORD)REG_BINARY, type);
    EXPECT_EQ(std::string("%W\0", 3), queryString(k, "Exp", &type));
    EXPECT_EQ((DWORD)REG_EXPAND_SZ, type);
    RegCloseKey(k);

    std::string exported = standin::exportReg();
    EXPECT_NE(std::string::npos, exported.find("\"Raw\"=hex(1):61,62\n")); /* no terminator */
    EXPECT_NE(std::string::npos, exported.find("\"Short\"=hex(4):01,02\n"));
    EXPECT_NE(std::string::npos, exported.find("\"Num\"=dword:0000002a\n"));
    EXPECT_NE(std::string::npos, exported.find("@=\"default\"\n"));
    standin::reset();
    ASSERT_TRUE(standin::importReg(exported, &why)) << why;
    EXPECT_EQ(exported, standin::exportReg());
    EXPECT_EQ(0u, standin::exportReg("HKLM\\Software\\T").find("REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\T]\n"));
}

TEST_F(StandinTest, RegFileDeletionsAndUnicodeExport)
{
    ASSERT_TRUE(standin::importReg("REGEDIT4\n[HKEY_LOCAL_MACHINE\\A\\B]\n\"v\"=\"1\"\n\"w\"=\"2\"\n"));
    ASSERT_TRUE(standin::importReg("REGEDIT4\n[HKEY_LOCAL_MACHINE\\A\\B]\n\"v\"=-\n"));
    HKEY k;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, "A\\B", 0, KEY_READ, &k));
    EXPECT_EQ("<missing>", queryString(k, "v"));
    RegCloseKey(k);
    ASSERT_TRUE(standin::importReg("REGEDIT4\n[-HKEY_LOCAL_MACHINE\\a]\n"));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegOpenKeyExA(HKEY_LOCAL_MACHINE, "A", 0, KEY_READ, &k));

    /* Wine's export: UTF-16LE with BOM, string types in hex as UTF-16 */
    std::string narrow = "Windows Registry Editor Version 5.00\r\n\r\n"
                         "[HKEY_LOCAL_MACHINE\\W]\r\n"
                         "\"S\"=\"x\"\r\n"
                         "\"E\"=hex(2):41,00,00,00\r\n";
    std::string wide = "\xff\xfe";
    for (char c : narrow) {
        wide += c;
        wide += '\0';
    }
    std::string why;
    ASSERT_TRUE(standin::importReg(wide, &why)) << why;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, "W", 0, KEY_READ, &k));
    EXPECT_EQ(std::string("x\0", 2), queryString(k, "S"));
    EXPECT_EQ(std::string("A\0", 2), queryString(k, "E"));
    RegCloseKey(k);
}

TEST_F(StandinTest, RegFileMalformedInputIsRefusedWithReason)
{
    const char *bad[] = {
        "",
        "REGEDIT3\n[HKEY_LOCAL_MACHINE\\A]\n",
        "REGEDIT4\n[HKEY_LOCAL_MACHINE\\A\n",
        "REGEDIT4\n[HKEY_NOWHERE\\A]\n",
        "REGEDIT4\n\"v\"=\"outside\"\n",
        "REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"v\"=dword:123456789\n",
        "REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"v\"=dword:12g4\n",
        "REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"v\"=hex:01,zz\n",
        "REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"v\"=hex(:01\n",
        "REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"v\"=\"open\n",
        "REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"v\n",
        "REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"v\"=str:x\n",
        "REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\njunk\n",
        "\xff\xfe\x52",
    };
    for (const char *text : bad) {
        std::vector<standin::RegOp> ops;
        std::string why;
        EXPECT_FALSE(standin::parseReg(text, &ops, &why)) << "[" << text << "]";
        EXPECT_FALSE(why.empty()) << "[" << text << "]";
    }
    /* what came before the fault stays imported */
    std::string why;
    EXPECT_FALSE(standin::importReg(
        "REGEDIT4\n[HKEY_LOCAL_MACHINE\\Kept]\n\"a\"=\"1\"\n\"b\"=dword:x\n\"c\"=\"3\"\n", &why));
    EXPECT_NE(std::string::npos, why.find("line 4"));
    HKEY k;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Kept", 0, KEY_READ, &k));
    EXPECT_EQ(std::string("1\0", 2), queryString(k, "a"));
    EXPECT_EQ("<missing>", queryString(k, "c"));
    RegCloseKey(k);
}

/* ------------------------------------------------------------ files */

/* The file calls as Windows has them, also where root would be let
 * through: a read-only file is refused its writes, its deletion and a copy
 * over it; a full drive takes what fits on Windows 95 and nothing on NT. */
TEST_F(StandinTest, FileCallsAsWindows)
{
    DWORD n = 0;
    char buf[64];
    HANDLE h = CreateFileA("C:\\windows\\T.TXT", GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                           CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    EXPECT_EQ((DWORD)ERROR_SUCCESS, GetLastError());
    EXPECT_TRUE(WriteFile(h, "one\n", 4, &n, nullptr));
    EXPECT_EQ(4u, n);
    EXPECT_FALSE(ReadFile(h, buf, sizeof buf, &n, nullptr)); /* opened for writing only */
    EXPECT_EQ((DWORD)ERROR_ACCESS_DENIED, GetLastError());
    EXPECT_FALSE(WriteFile(h, "x", 1, nullptr, nullptr)); /* no count, no OVERLAPPED */
    EXPECT_EQ((DWORD)ERROR_INVALID_PARAMETER, GetLastError());
    EXPECT_EQ((std::vector<std::string>{"file C:\\windows\\T.TXT"}), standin::leftOpen());
    EXPECT_TRUE(CloseHandle(h));
    EXPECT_FALSE(CloseHandle(h));
    EXPECT_EQ((DWORD)ERROR_INVALID_HANDLE, GetLastError());
    std::string bytes;
    ASSERT_TRUE(standin::getFile("c:\\WINDOWS\\t.txt", &bytes));
    EXPECT_EQ("one\n", bytes); /* no text mode here: bytes as given */

    h = CreateFileA("C:\\windows\\t.txt", GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                    FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    EXPECT_TRUE(ReadFile(h, buf, 3, &n, nullptr));
    EXPECT_EQ("one", std::string(buf, n));
    EXPECT_TRUE(ReadFile(h, buf, sizeof buf, &n, nullptr));
    EXPECT_EQ(1u, n);
    EXPECT_TRUE(ReadFile(h, buf, sizeof buf, &n, nullptr)); /* the end: TRUE, nothing read */
    EXPECT_EQ(0u, n);
    EXPECT_FALSE(WriteFile(h, "x", 1, &n, nullptr));
    EXPECT_EQ((DWORD)ERROR_ACCESS_DENIED, GetLastError());
    CloseHandle(h);
    h = CreateFileA("C:\\windows\\t.txt", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    EXPECT_EQ((DWORD)ERROR_ALREADY_EXISTS, GetLastError()); /* and emptied */
    CloseHandle(h);
    ASSERT_TRUE(standin::getFile("C:\\windows\\t.txt", &bytes));
    EXPECT_EQ("", bytes);

    struct {
        const char *path;
        DWORD disposition, error;
    } refused[] = {{"C:\\setup\\none.txt", OPEN_EXISTING, ERROR_FILE_NOT_FOUND},
                   {"C:\\nodir\\x.txt", OPEN_EXISTING, ERROR_PATH_NOT_FOUND},
                   {"C:\\nodir\\x.txt", CREATE_ALWAYS, ERROR_PATH_NOT_FOUND},
                   {"C:\\setup\\a?b.txt", CREATE_ALWAYS, ERROR_INVALID_NAME},
                   {"C:\\windows", CREATE_ALWAYS, ERROR_ACCESS_DENIED}};
    for (auto &r : refused) {
        DWORD access = r.disposition == OPEN_EXISTING ? GENERIC_READ : GENERIC_WRITE;
        EXPECT_EQ(INVALID_HANDLE_VALUE,
                  CreateFileA(r.path, access, 0, nullptr, r.disposition, 0, nullptr))
            << r.path;
        EXPECT_EQ(r.error, GetLastError()) << r.path;
    }

    /* Read-only, as a file from a CD; its copy is a file written anew and
     * has the archive attribute besides, 0x21. */
    standin::putFile("C:\\setup\\cd.sys", "driver");
    ASSERT_TRUE(SetFileAttributesA("C:\\setup\\cd.sys", FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ((DWORD)FILE_ATTRIBUTE_READONLY, GetFileAttributesA("C:\\setup\\cd.sys"));
    EXPECT_TRUE(CopyFileA("C:\\setup\\cd.sys", "C:\\windows\\cd.sys", FALSE));
    EXPECT_EQ((DWORD)(FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE),
              GetFileAttributesA("C:\\windows\\cd.sys"));
    EXPECT_FALSE(CopyFileA("C:\\setup\\cd.sys", "C:\\windows\\cd.sys", FALSE));
    EXPECT_EQ((DWORD)ERROR_ACCESS_DENIED, GetLastError());
    EXPECT_EQ(INVALID_HANDLE_VALUE, CreateFileA("C:\\windows\\cd.sys", GENERIC_WRITE, 0, nullptr,
                                                CREATE_ALWAYS, 0, nullptr));
    EXPECT_EQ((DWORD)ERROR_ACCESS_DENIED, GetLastError());
    EXPECT_FALSE(DeleteFileA("C:\\windows\\cd.sys"));
    EXPECT_EQ((DWORD)ERROR_ACCESS_DENIED, GetLastError());
    ASSERT_TRUE(standin::getFile("C:\\windows\\cd.sys", &bytes));
    EXPECT_EQ("driver", bytes);
    EXPECT_FALSE(SetFileAttributesA("C:\\windows\\cd.sys", FILE_ATTRIBUTE_DIRECTORY));
    EXPECT_EQ((DWORD)ERROR_INVALID_PARAMETER, GetLastError());
    EXPECT_FALSE(SetFileAttributesA("C:\\windows\\cd.sys",
                                    FILE_ATTRIBUTE_NORMAL | FILE_ATTRIBUTE_ARCHIVE));
    EXPECT_EQ((DWORD)ERROR_INVALID_PARAMETER, GetLastError());
    /* 0 clears every attribute: Windows 9x then reports none, NT
     * FILE_ATTRIBUTE_NORMAL; the file may be written again. */
    EXPECT_TRUE(SetFileAttributesA("C:\\windows\\cd.sys", 0));
    EXPECT_EQ(0u, GetFileAttributesA("C:\\windows\\cd.sys"));
    standin::setVersion(standin::NT40);
    EXPECT_EQ((DWORD)FILE_ATTRIBUTE_NORMAL, GetFileAttributesA("C:\\windows\\cd.sys"));
    standin::setVersion(standin::WIN95);
    EXPECT_TRUE(SetFileAttributesA("C:\\windows\\cd.sys", FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN));
    EXPECT_EQ((DWORD)(FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN),
              GetFileAttributesA("C:\\windows\\cd.sys"));
    EXPECT_TRUE(SetFileAttributesA("C:\\windows\\cd.sys", FILE_ATTRIBUTE_ARCHIVE));
    EXPECT_EQ((DWORD)FILE_ATTRIBUTE_ARCHIVE, GetFileAttributesA("C:\\windows\\cd.sys"));
    EXPECT_TRUE(DeleteFileA("C:\\windows\\cd.sys"));
    EXPECT_FALSE(SetFileAttributesA("C:\\windows\\cd.sys", FILE_ATTRIBUTE_NORMAL));
    EXPECT_EQ((DWORD)ERROR_FILE_NOT_FOUND, GetLastError());

    /* A full drive: created, then Windows 95 writes what fits, NT nothing. */
    standin::setFolderFull("C:\\full", 5);
    h = CreateFileA("C:\\full\\a.txt", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    EXPECT_TRUE(WriteFile(h, "12345678", 8, &n, nullptr));
    EXPECT_EQ(5u, n);
    EXPECT_TRUE(WriteFile(h, "9", 1, &n, nullptr));
    EXPECT_EQ(0u, n);
    CloseHandle(h);
    standin::setVersion(standin::NT40);
    h = CreateFileA("C:\\full\\a.txt", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    EXPECT_FALSE(WriteFile(h, "123456", 6, &n, nullptr)); /* the 5 emptied bytes are free */
    EXPECT_EQ((DWORD)ERROR_DISK_FULL, GetLastError());
    EXPECT_EQ(0u, n);
    EXPECT_TRUE(WriteFile(h, "12345", 5, &n, nullptr));
    EXPECT_EQ(5u, n);
    CloseHandle(h);
    EXPECT_FALSE(CopyFileA("C:\\windows\\t.txt", "C:\\full\\b.txt", FALSE) &&
                 CopyFileA("C:\\setup\\cd.sys", "C:\\full\\c.sys", FALSE));
    EXPECT_EQ((DWORD)ERROR_DISK_FULL, GetLastError());

    auto asked = standin::asked("CreateFileA", "T.TXT")[0];
    EXPECT_EQ((unsigned long long)GENERIC_WRITE, asked.value("access"));
    EXPECT_EQ((unsigned long long)FILE_SHARE_READ, asked.value("share"));
    EXPECT_EQ((unsigned long long)CREATE_ALWAYS, asked.value("disposition"));
    EXPECT_EQ(4u, standin::asked("WriteFile", "T.TXT")[0].value("size"));
}

TEST_F(StandinTest, CopyFileErrors)
{
    standin::putFile("C:\\setup\\src.sys", "driver");
    SetLastError(0);
    EXPECT_FALSE(CopyFileA("C:\\setup\\none.sys", "C:\\windows\\x.sys", FALSE));
    EXPECT_EQ((DWORD)ERROR_FILE_NOT_FOUND, GetLastError());
    EXPECT_FALSE(CopyFileA("C:\\setup\\src.sys", "C:\\windows\\system32\\drivers\\x.sys", FALSE));
    EXPECT_EQ((DWORD)ERROR_PATH_NOT_FOUND, GetLastError());
    EXPECT_TRUE(CopyFileA("src.sys", "C:\\windows\\x.sys", TRUE));
    EXPECT_FALSE(CopyFileA("src.sys", "C:\\WINDOWS\\X.SYS", TRUE));
    EXPECT_EQ((DWORD)ERROR_FILE_EXISTS, GetLastError());
    EXPECT_TRUE(CopyFileA("src.sys", "C:\\WINDOWS\\X.SYS", FALSE));
    std::string bytes;
    ASSERT_TRUE(standin::getFile("C:\\windows\\x.sys", &bytes));
    EXPECT_EQ("driver", bytes);
    EXPECT_FALSE(CopyFileA("C:\\setup\\src.sys", "C:\\windows\\a|b", FALSE));
    EXPECT_EQ((DWORD)ERROR_INVALID_NAME, GetLastError());

    /* Onto itself (by another spelling too): Windows 9x ERROR_FILE_EXISTS,
     * NT ERROR_SHARING_VIOLATION, or ERROR_FILE_EXISTS when asked to fail
     * for an existing target; the file stays whole. */
    struct {
        standin::Version v;
        BOOL failIfExists;
        DWORD error;
    } self[] = {{standin::WIN95, FALSE, ERROR_FILE_EXISTS},
                {standin::WIN98, FALSE, ERROR_FILE_EXISTS},
                {standin::NT40, FALSE, ERROR_SHARING_VIOLATION},
                {standin::WIN7, FALSE, ERROR_SHARING_VIOLATION},
                {standin::NT40, TRUE, ERROR_FILE_EXISTS}};
    for (auto &c : self) {
        standin::setVersion(c.v);
        EXPECT_FALSE(CopyFileA("C:\\setup\\src.sys", "c:\\SETUP\\.\\Src.sys", c.failIfExists));
        EXPECT_EQ(c.error, GetLastError()) << c.v;
        ASSERT_TRUE(standin::getFile("C:\\setup\\src.sys", &bytes));
        EXPECT_EQ("driver", bytes);
    }

    /* A copy of any file is given the archive attribute and keeps the
     * source's others; a hidden target is refused as a read-only one, and
     * so is a hidden or system file overwritten without its attributes. */
    standin::setVersion(standin::NT40);
    ASSERT_TRUE(SetFileAttributesA("C:\\setup\\src.sys", FILE_ATTRIBUTE_NORMAL));
    EXPECT_EQ((DWORD)FILE_ATTRIBUTE_NORMAL, GetFileAttributesA("C:\\setup\\src.sys"));
    EXPECT_TRUE(CopyFileA("C:\\setup\\src.sys", "C:\\windows\\n.sys", FALSE));
    EXPECT_EQ((DWORD)FILE_ATTRIBUTE_ARCHIVE, GetFileAttributesA("C:\\windows\\n.sys"));
    ASSERT_TRUE(SetFileAttributesA("C:\\setup\\src.sys", FILE_ATTRIBUTE_HIDDEN));
    EXPECT_TRUE(CopyFileA("C:\\setup\\src.sys", "C:\\windows\\h.sys", FALSE));
    EXPECT_EQ((DWORD)(FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE),
              GetFileAttributesA("C:\\windows\\h.sys"));
    EXPECT_FALSE(CopyFileA("C:\\windows\\x.sys", "C:\\windows\\h.sys", FALSE));
    EXPECT_EQ((DWORD)ERROR_ACCESS_DENIED, GetLastError());
    EXPECT_EQ(INVALID_HANDLE_VALUE, CreateFileA("C:\\windows\\h.sys", GENERIC_WRITE, 0, nullptr,
                                                CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    EXPECT_EQ((DWORD)ERROR_ACCESS_DENIED, GetLastError());
    HANDLE h = CreateFileA("C:\\windows\\h.sys", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_HIDDEN, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    CloseHandle(h);
    EXPECT_EQ((DWORD)(FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE),
              GetFileAttributesA("C:\\windows\\h.sys"));
    /* A file created read-only is read-only once made. */
    h = CreateFileA("C:\\windows\\r.txt", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                    FILE_ATTRIBUTE_READONLY, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    CloseHandle(h);
    EXPECT_EQ((DWORD)(FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE),
              GetFileAttributesA("C:\\windows\\r.txt"));
}

TEST_F(StandinTest, DosDevices)
{
    /* Windows 9x has none to query: 95 and 98 (and ME) fail each its way. */
    char none[8];
    for (auto v : {standin::WIN95, standin::WIN98, standin::WINME}) {
        standin::setVersion(v);
        EXPECT_EQ(0u, QueryDosDeviceA("COM1", none, sizeof none));
        EXPECT_EQ(v == standin::WIN95 ? (DWORD)ERROR_CALL_NOT_IMPLEMENTED
                                      : (DWORD)ERROR_INVALID_PARAMETER,
                  GetLastError());
    }
    standin::clearAsked();
    standin::setVersion(standin::NT40);
    standin::addComDevice("COM2");
    char buf[64];
    DWORD n = QueryDosDeviceA("com2", buf, sizeof buf);
    EXPECT_EQ(std::string("\\Device\\Serial1\0\0", 17), std::string(buf, n));
    EXPECT_EQ(0u, QueryDosDeviceA("COM2", buf, 10));
    EXPECT_EQ((DWORD)ERROR_INSUFFICIENT_BUFFER, GetLastError());
    EXPECT_EQ(0u, QueryDosDeviceA("COM3", buf, sizeof buf));
    EXPECT_EQ((DWORD)ERROR_FILE_NOT_FOUND, GetLastError());
    standin::setAllComDevicesExist(true);
    EXPECT_EQ(17u, QueryDosDeviceA("COM9", buf, sizeof buf));
    /* As in Wine 8: a target of n characters needs n + 2 (its NUL and the
     * NUL that ends the answer). */
    standin::addComDevice("COM4", "\\Device\\" + std::string(40, 'x'));
    EXPECT_EQ(0u, QueryDosDeviceA("COM4", buf, 49));
    EXPECT_EQ((DWORD)ERROR_INSUFFICIENT_BUFFER, GetLastError());
    EXPECT_EQ(50u, QueryDosDeviceA("COM4", buf, 50));
    EXPECT_EQ("\\Device\\" + std::string(40, 'x'), std::string(buf));
    auto asked = standin::asked("QueryDosDeviceA", "COM4");
    ASSERT_EQ(2u, asked.size());
    EXPECT_EQ(49u, asked[0].value("size"));
}

TEST_F(StandinTest, CallsAreRecordedWithWhatTheyWereGiven)
{
    HKEY k = createKey("Software\\A");
    const char text[] = "text";
    EXPECT_EQ(ERROR_SUCCESS, RegSetValueExA(k, "full", 0, REG_SZ, (const BYTE *)text, 5));
    EXPECT_EQ(ERROR_SUCCESS, RegSetValueExA(k, "short", 0, REG_SZ, (const BYTE *)text, 4));
    EXPECT_EQ(ERROR_SUCCESS, RegSetValueExA(k, "bin", 0, REG_BINARY, (const BYTE *)text, 4));
    RegCloseKey(k);
    auto create = standin::asked("RegCreateKeyExA", "software\\a");
    ASSERT_EQ(1u, create.size());
    EXPECT_EQ("HKEY_LOCAL_MACHINE\\Software\\A", create[0].subject);
    EXPECT_EQ((unsigned long long)KEY_ALL_ACCESS, create[0].value("access"));
    EXPECT_EQ(GetCurrentThreadId(), create[0].thread);
    auto set = standin::asked("RegSetValueExA");
    ASSERT_EQ(3u, set.size());
    EXPECT_EQ(1u, set[0].value("terminated"));
    EXPECT_EQ(0u, set[1].value("terminated"));
    EXPECT_EQ(4u, set[1].value("size"));
    EXPECT_FALSE(set[2].has("terminated"));
    EXPECT_EQ(~0ull, set[2].value("terminated"));
    /* Windows 95 measures a REG_SZ itself, whatever size it was given. */
    HKEY again = createKey("Software\\A");
    EXPECT_EQ(std::string("text", 5), queryString(again, "short"));
    RegCloseKey(again);
    EXPECT_NE(std::string::npos,
              standin::askedJson().find("\"api\":\"RegSetValueExA\",\"subject\":"
                                        "\"HKEY_LOCAL_MACHINE\\\\Software\\\\A|full\""));

    WNDCLASSA wc = {};
    wc.style = CS_HREDRAW;
    wc.lpfnWndProc = DefWindowProcA;
    wc.hIcon = LoadIconA(nullptr, MAKEINTRESOURCEA(5));
    wc.hbrBackground = (HBRUSH)GetStockObject(BLACK_BRUSH);
    wc.lpszClassName = "plain";
    ASSERT_NE(0, RegisterClassA(&wc));
    HWND h = CreateWindowExA(0, "plain", "p", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 1, 2, 30, 40,
                             nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(nullptr, h);
    auto reg = standin::asked("RegisterClassA", "plain");
    ASSERT_EQ(1u, reg.size());
    EXPECT_EQ(5u, reg[0].value("icon"));
    EXPECT_EQ((unsigned long long)BLACK_BRUSH, reg[0].value("brush"));
    EXPECT_EQ(0u, reg[0].value("cursor"));
    /* Reported as Windows corrects it: siblings clipped, a framed
     * window's raised edge; shown once made. */
    EXPECT_EQ("{\"ev\":\"window\",\"class\":\"plain\",\"title\":\"p\",\"style\":" +
                  std::to_string(WS_OVERLAPPEDWINDOW | WS_VISIBLE | WS_CLIPSIBLINGS) +
                  ",\"exstyle\":256,\"x\":1,\"y\":2,\"width\":30,\"height\":40,\"shown\":true,"
                  "\"classstyle\":2,\"icon\":5,\"cursor\":0,\"brush\":\"stock 4\"}\n",
              standin::windowsJson());
    standin::clearAsked();
    EXPECT_TRUE(standin::asked("RegisterClassA").empty());
    EXPECT_EQ("", standin::askedJson());
}

TEST_F(StandinTest, LeftOpenListsWhatWasNotClosed)
{
    standin::setVersion(standin::NT40);
    HKEY k = createKey("Software\\Open");
    HANDLE f = CreateFileA("C:\\windows\\open.txt", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0,
                           nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, f);
    SC_HANDLE scm = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    HANDLE t = CreateThread(nullptr, 0, [](LPVOID) -> DWORD { return 0; }, nullptr, 0, nullptr);
    EXPECT_EQ((std::vector<std::string>{"key HKEY_LOCAL_MACHINE\\Software\\Open",
                                        "file C:\\windows\\open.txt", "service manager",
                                        "thread handle"}),
              standin::leftOpen());
    RegCloseKey(k);
    CloseHandle(f);
    CloseServiceHandle(scm);
    WaitForSingleObject(t, INFINITE);
    CloseHandle(t);
    EXPECT_TRUE(standin::leftOpen().empty());
}

/* A box of one thread owned by a window of another disables that window
 * by a sent message: the window's thread must handle it. */
HWND boxOwner;
DWORD WINAPI showOwnedBox(LPVOID)
{
    return (DWORD)MessageBoxA(boxOwner, "from thread", "Error", MB_OK);
}

TEST_F(StandinTest, ABoxOwnedAcrossThreadsNeedsTheOwnersThread)
{
    WNDCLASSA wc = {};
    wc.lpfnWndProc = DefWindowProcA;
    wc.lpszClassName = "owner";
    ASSERT_NE(0, RegisterClassA(&wc));
    boxOwner = CreateWindowExA(0, "owner", "o", 0, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
    standin::addAnswer("OK");
    HANDLE t = CreateThread(nullptr, 0, showOwnedBox, nullptr, 0, nullptr);
    DWORD rc;
    MSG m;
    while ((rc = MsgWaitForMultipleObjects(1, &t, FALSE, 5000, QS_SENDMESSAGE)) == WAIT_OBJECT_0 + 1)
        PeekMessageA(&m, nullptr, 0, 0, PM_NOREMOVE);
    EXPECT_EQ(WAIT_OBJECT_0, rc);
    DWORD code = 0;
    GetExitCodeThread(t, &code);
    EXPECT_EQ((DWORD)IDOK, code);
    CloseHandle(t);
    ASSERT_EQ(1u, standin::boxes().size());
    EXPECT_FALSE(EnableWindow(boxOwner, TRUE)); /* enabled again once the box closed */

    /* Waiting for the thread without handling sent messages: on Windows
     * the two wait for each other for ever; here the box never appears
     * and the deadlock is reported. */
    standin::addAnswer("OK");
    t = CreateThread(nullptr, 0, showOwnedBox, nullptr, 0, nullptr);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(t, INFINITE));
    GetExitCodeThread(t, &code);
    EXPECT_EQ(0u, code);
    CloseHandle(t);
    EXPECT_EQ(1u, standin::boxes().size());
    auto ev = standin::events();
    ASSERT_FALSE(ev.empty());
    EXPECT_EQ("error", ev.back().ev);
    EXPECT_EQ(0u, ev.back().text.find("deadlock: ")) << ev.back().text;
}

/* ------------------------------------------------------------ machine */

TEST_F(StandinTest, EnvironmentAndVersion)
{
    char buf[16];
    /* Names match without regard to case, on Windows 95 as on NT. */
    EXPECT_EQ(10u, GetEnvironmentVariableA("windir", buf, sizeof buf));
    EXPECT_STREQ("C:\\windows", buf);
    EXPECT_EQ(0u, GetEnvironmentVariableA("windirs", buf, sizeof buf));
    EXPECT_EQ((DWORD)ERROR_ENVVAR_NOT_FOUND, GetLastError());
    standin::setVersion(standin::NT351);
    EXPECT_EQ(10u, GetEnvironmentVariableA("windir", buf, sizeof buf));
    EXPECT_STREQ("C:\\windows", buf);
    EXPECT_EQ(11u, GetEnvironmentVariableA("SYSTEMROOT", buf, 10));
    /* The block: every entry and an empty one at the end, each call its own. */
    const char *block = GetEnvironmentStrings();
    ASSERT_NE(nullptr, block);
    EXPECT_EQ(std::string("WINDIR=C:\\windows\0SystemRoot=C:\\windows\0\0", 40),
              std::string(block, 40));
    EXPECT_NE(block, GetEnvironmentStrings());
    standin::unsetEnv("WinDir");
    EXPECT_EQ(0u, GetEnvironmentVariableA("WINDIR", buf, sizeof buf));
    EXPECT_EQ((DWORD)ERROR_ENVVAR_NOT_FOUND, GetLastError());

    /* Each version's record, as it reports itself to an unmanifested
     * program (8.1 and 10 as 8); the system folder by family. */
    struct {
        standin::Version v;
        DWORD platform, major, minor, build;
        const char *csd, *system;
    } cases[] = {
        {standin::WIN95, 1, 4, 0, 0x40003B6, "", "C:\\windows\\system"},
        {standin::WIN98, 1, 4, 10, 0x40A08AE, " A ", "C:\\windows\\system"},
        {standin::WINME, 1, 4, 90, 0x45A0BB8, " ", "C:\\windows\\system"},
        {standin::NT351, 2, 3, 51, 0x421, "Service Pack 5", "C:\\windows\\system32"},
        {standin::NT40, 2, 4, 0, 0x565, "Service Pack 6a", "C:\\windows\\system32"},
        {standin::WIN2K, 2, 5, 0, 2195, "Service Pack 4", "C:\\windows\\system32"},
        {standin::WINXP, 2, 5, 1, 2600, "Service Pack 3", "C:\\windows\\system32"},
        {standin::WIN2003, 2, 5, 2, 3790, "Service Pack 2", "C:\\windows\\system32"},
        {standin::VISTA, 2, 6, 0, 6002, "Service Pack 2", "C:\\windows\\system32"},
        {standin::WIN7, 2, 6, 1, 7601, "Service Pack 1", "C:\\windows\\system32"},
        {standin::WIN8, 2, 6, 2, 9200, "", "C:\\windows\\system32"},
        {standin::WIN81, 2, 6, 2, 9200, "", "C:\\windows\\system32"},
        {standin::WIN10, 2, 6, 2, 9200, "", "C:\\windows\\system32"},
        {standin::WIN31, 0, 3, 10, 0, "Win32s 1.3", "C:\\windows\\system32"}};
    for (auto &c : cases) {
        SCOPED_TRACE(c.v);
        standin::setVersion(c.v);
        standin::setWow64(true); /* the 64-bit edition reports the same */
        OSVERSIONINFOA info;
        memset(&info, 0, sizeof info);
        info.dwOSVersionInfoSize = sizeof info;
        ASSERT_TRUE(GetVersionExA(&info));
        EXPECT_EQ(c.platform, info.dwPlatformId);
        EXPECT_EQ(c.major, info.dwMajorVersion);
        EXPECT_EQ(c.minor, info.dwMinorVersion);
        EXPECT_EQ(c.build, info.dwBuildNumber);
        EXPECT_STREQ(c.csd, info.szCSDVersion);
        char dir[MAX_PATH];
        EXPECT_EQ(strlen(c.system), GetSystemDirectoryA(dir, sizeof dir));
        EXPECT_STREQ(c.system, dir);
    }
    OSVERSIONINFOA info;
    info.dwOSVersionInfoSize = 100;
    EXPECT_FALSE(GetVersionExA(&info));
}

/* ------------------------------------------------------------ services */

TEST_F(StandinTest, ServiceLifecycle)
{
    /* Windows 9x: the service calls are stubs. */
    EXPECT_EQ(nullptr, OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
    EXPECT_EQ((DWORD)ERROR_CALL_NOT_IMPLEMENTED, GetLastError());
    standin::setVersion(standin::NT40);
    SC_HANDLE m = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    ASSERT_NE(nullptr, m);
    EXPECT_EQ(nullptr, OpenServiceA(m, "Qsvc", SERVICE_ALL_ACCESS));
    EXPECT_EQ((DWORD)ERROR_SERVICE_DOES_NOT_EXIST, GetLastError());
    SC_HANDLE s = CreateServiceA(m, "Qsvc", "Q Service", SERVICE_ALL_ACCESS, SERVICE_KERNEL_DRIVER,
                                 SERVICE_SYSTEM_START, SERVICE_ERROR_NORMAL,
                                 "System32\\drivers\\qsvc.sys", nullptr, nullptr, nullptr,
                                 nullptr, nullptr);
    ASSERT_NE(nullptr, s);
    EXPECT_EQ(nullptr, CreateServiceA(m, "QSVC", "Other", SERVICE_ALL_ACCESS,
                                      SERVICE_KERNEL_DRIVER, SERVICE_SYSTEM_START,
                                      SERVICE_ERROR_NORMAL, "x.sys", nullptr, nullptr, nullptr,
                                      nullptr, nullptr));
    EXPECT_EQ((DWORD)ERROR_SERVICE_EXISTS, GetLastError());
    HKEY k;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE,
                                           "System\\CurrentControlSet\\Services\\Qsvc", 0,
                                           KEY_READ, &k));
    DWORD type;
    EXPECT_EQ(std::string("\1\0\0\0", 4), queryString(k, "Type", &type));
    EXPECT_EQ(std::string("\1\0\0\0", 4), queryString(k, "Start"));
    /* As Windows' service manager writes a driver's key: the image path
     * expandable, no object name for a driver given none, no pre-shutdown
     * time-out. */
    EXPECT_EQ(std::string("System32\\drivers\\qsvc.sys\0", 26), queryString(k, "ImagePath", &type));
    EXPECT_EQ((DWORD)REG_EXPAND_SZ, type);
    EXPECT_EQ("<missing>", queryString(k, "ObjectName"));
    EXPECT_EQ("<missing>", queryString(k, "PreshutdownTimeout"));
    EXPECT_EQ(std::string("Q Service\0", 10), queryString(k, "DisplayName"));
    RegCloseKey(k);

    SERVICE_STATUS st;
    EXPECT_FALSE(ControlService(s, SERVICE_CONTROL_STOP, &st));
    EXPECT_EQ((DWORD)ERROR_SERVICE_NOT_ACTIVE, GetLastError());
    EXPECT_EQ((DWORD)SERVICE_STOPPED, st.dwCurrentState);
    EXPECT_FALSE(StartServiceA(s, 0, nullptr));
    EXPECT_EQ((DWORD)ERROR_FILE_NOT_FOUND, GetLastError());
    standin::putFile("C:\\windows\\system32\\drivers\\qsvc.sys", "x");
    EXPECT_EQ(standin::SVC_STOPPED, standin::serviceState("qsvc"));
    EXPECT_TRUE(StartServiceA(s, 0, nullptr));
    EXPECT_EQ(standin::SVC_RUNNING, standin::serviceState("Qsvc"));
    EXPECT_FALSE(StartServiceA(s, 0, nullptr));
    EXPECT_EQ((DWORD)ERROR_SERVICE_ALREADY_RUNNING, GetLastError());
    standin::setServiceIgnoresStop("Qsvc", true);
    EXPECT_FALSE(ControlService(s, SERVICE_CONTROL_STOP, &st));
    EXPECT_EQ(standin::SVC_RUNNING, standin::serviceState("Qsvc"));
    /* As on Wine: the file a running driver was loaded from cannot be
     * overwritten; other files can, and the lock ends with the stop. */
    standin::putFile("C:\\setup\\new.sys", "new");
    EXPECT_FALSE(CopyFileA("C:\\setup\\new.sys", "C:\\WINDOWS\\system32\\drivers\\QSVC.SYS", FALSE));
    EXPECT_EQ((DWORD)ERROR_SHARING_VIOLATION, GetLastError());
    EXPECT_TRUE(CopyFileA("C:\\setup\\new.sys", "C:\\windows\\system32\\drivers\\other.sys", FALSE));
    standin::setServiceIgnoresStop("Qsvc", false);
    EXPECT_TRUE(ControlService(s, SERVICE_CONTROL_STOP, &st));
    EXPECT_EQ((DWORD)SERVICE_STOPPED, st.dwCurrentState);
    EXPECT_TRUE(CopyFileA("C:\\setup\\new.sys", "C:\\windows\\system32\\drivers\\qsvc.sys", FALSE));

    EXPECT_TRUE(ChangeServiceConfigA(s, SERVICE_NO_CHANGE, SERVICE_DEMAND_START, SERVICE_NO_CHANGE,
                                     nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                     nullptr));
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE,
                                           "System\\CurrentControlSet\\Services\\Qsvc", 0,
                                           KEY_READ, &k));
    EXPECT_EQ(std::string("\3\0\0\0", 4), queryString(k, "Start"));
    EXPECT_EQ(std::string("\1\0\0\0", 4), queryString(k, "ErrorControl"));
    EXPECT_EQ(std::string("System32\\drivers\\qsvc.sys\0", 26), queryString(k, "ImagePath"));
    RegCloseKey(k);
    EXPECT_EQ(2, standin::openServiceHandles());
    EXPECT_TRUE(CloseServiceHandle(s));
    EXPECT_FALSE(CloseServiceHandle(s));
    EXPECT_EQ((DWORD)ERROR_INVALID_HANDLE, GetLastError());
    CloseServiceHandle(m);
    EXPECT_EQ(0, standin::openServiceHandles());
}

TEST_F(StandinTest, ServicePreinstalledByRegFile)
{
    ASSERT_TRUE(standin::importReg("REGEDIT4\n"
                                   "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Old]\n"
                                   "\"Type\"=dword:00000001\n"
                                   "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class]\n"));
    EXPECT_EQ(standin::SVC_STOPPED, standin::serviceState("old"));
    EXPECT_EQ(standin::SVC_ABSENT, standin::serviceState("Class"));
    EXPECT_EQ(std::vector<std::string>{"Old"}, standin::services());
}

/* ------------------------------------------------------------ windows */

int createCalls;
LRESULT CALLBACK testProc(HWND h, UINT msg, WPARAM w, LPARAM l)
{
    if (msg == WM_CREATE) {
        createCalls++;
        auto *cs = reinterpret_cast<CREATESTRUCTA *>(l);
        if (cs->lpCreateParams)
            return -1;
        MessageBoxA(h, "inside create", "Install", MB_OKCANCEL);
        PostQuitMessage(3);
        return 0;
    }
    return DefWindowProcA(h, msg, w, l);
}

TEST_F(StandinTest, WindowCreationAndMessageLoop)
{
    WNDCLASSA wc = {};
    wc.lpfnWndProc = testProc;
    wc.lpszClassName = "install";
    ASSERT_NE(0, RegisterClassA(&wc));
    EXPECT_EQ(0, RegisterClassA(&wc));
    EXPECT_EQ((DWORD)ERROR_CLASS_ALREADY_EXISTS, GetLastError());
    createCalls = 0;
    standin::addAnswer("Escape");
    HWND h = CreateWindowExA(0, "install", "t", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, 0,
                             CW_USEDEFAULT, 0, nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(nullptr, h);
    EXPECT_EQ(1, createCalls);
    auto boxes = standin::boxes();
    ASSERT_EQ(1u, boxes.size());
    EXPECT_EQ("install", boxes[0].owner);
    EXPECT_EQ(IDCANCEL, boxes[0].result);
    MSG msg;
    int loops = 0;
    while (GetMessageA(&msg, nullptr, 0, 0))
        loops++;
    EXPECT_EQ(0, loops);
    EXPECT_EQ(3u, msg.wParam);
    EXPECT_EQ(h, FindWindowA("INSTALL", nullptr));
    char cls[4];
    EXPECT_EQ(3, GetClassNameA(h, cls, sizeof cls));
    EXPECT_STREQ("ins", cls);
    int dummy;
    EXPECT_EQ(nullptr, CreateWindowExA(0, "install", "t", 0, 0, 0, 1, 1, nullptr, nullptr,
                                       nullptr, &dummy));
    EXPECT_EQ(nullptr, CreateWindowExA(0, "nosuch", "t", 0, 0, 0, 1, 1, nullptr, nullptr,
                                       nullptr, nullptr));
    EXPECT_EQ((DWORD)ERROR_CANNOT_FIND_WND_CLASS, GetLastError());
}

TEST_F(StandinTest, BoxesFromTwoThreadsAndUnanswered)
{
    standin::addAnswer("OK");
    DWORD mainThread = GetCurrentThreadId(), otherThread = 0;
    HANDLE t = CreateThread(
        nullptr, 0,
        [](LPVOID p) -> DWORD {
            *static_cast<DWORD *>(p) = GetCurrentThreadId();
            return (DWORD)MessageBoxA(nullptr, "from thread", "Error", MB_OK) + 40;
        },
        &otherThread, 0, nullptr);
    ASSERT_NE(nullptr, t);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(t, 5000));
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeThread(t, &code));
    EXPECT_EQ(41u, code);
    EXPECT_TRUE(CloseHandle(t));
    EXPECT_EQ(IDOK, MessageBoxA(nullptr, "no answer left", "Info", MB_OK));
    EXPECT_EQ(IDCANCEL, MessageBoxA(nullptr, "no answer left", "Install", MB_OKCANCEL));
    auto ev = standin::events();
    ASSERT_EQ(5u, ev.size());
    EXPECT_EQ("none", ev[0].owner);
    EXPECT_EQ(otherThread, ev[0].thread);
    EXPECT_NE(mainThread, otherThread);
    EXPECT_EQ("unanswered", ev[2].ev);
    EXPECT_EQ(0, MessageBoxA((HWND)0x777, "bad owner", "Error", MB_OK));
}

int dlgLimit;
INT_PTR CALLBACK pathProc(HWND dlg, UINT msg, WPARAM w, LPARAM l)
{
    (void)l;
    if (msg == WM_INITDIALOG) {
        SetDlgItemTextA(dlg, 10, "C:\\QBL");
        if (dlgLimit)
            SendDlgItemMessageA(dlg, 10, EM_LIMITTEXT, (WPARAM)dlgLimit, 0);
        return TRUE;
    }
    if (msg == WM_COMMAND) {
        char buf[8];
        switch (LOWORD(w)) {
        case IDOK:
            GetDlgItemTextA(dlg, 10, buf, sizeof buf);
            EndDialog(dlg, (INT_PTR)strlen(buf) + 100);
            return TRUE;
        case IDCANCEL: EndDialog(dlg, IDCANCEL); return TRUE;
        case 9: WinHelpA(dlg, "redir.hlp", HELP_CONTEXT, 1037); return TRUE;
        }
    }
    return FALSE;
}

TEST_F(StandinTest, DestinationDialog)
{
    dlgLimit = 5;
    standin::addAnswer(std::vector<std::string>{"Help"});
    standin::addAnswer(std::vector<std::string>{"Type C:\\LONGER\\PATH", "OK"});
    EXPECT_EQ(105, DialogBoxParamA(nullptr, MAKEINTRESOURCEA(4), nullptr, pathProc, 0));
    auto ev = standin::events();
    ASSERT_EQ(2u, ev.size());
    EXPECT_EQ("dialog", ev[0].ev);
    EXPECT_EQ("Destination Path", ev[0].caption);
    EXPECT_EQ("C:\\QBL", ev[0].text);
    EXPECT_EQ("help", ev[1].ev);
    EXPECT_EQ(1037u, ev[1].data);

    /* GetDlgItemTextA copies at most size-1 characters */
    dlgLimit = 0;
    standin::addAnswer(std::vector<std::string>{"Type C:\\LONGER\\PATH", "OK"});
    EXPECT_EQ(107, DialogBoxParamA(nullptr, MAKEINTRESOURCEA(4), nullptr, pathProc, 0));
    /* no answer: unanswered and IDCANCEL */
    EXPECT_EQ(IDCANCEL, DialogBoxParamA(nullptr, MAKEINTRESOURCEA(4), nullptr, pathProc, 0));
    EXPECT_EQ("unanswered", standin::events().back().ev);
    EXPECT_EQ(-1, DialogBoxParamA(nullptr, MAKEINTRESOURCEA(7), nullptr, pathProc, 0));
}

TEST_F(StandinTest, ForeignWindowAndModules)
{
    standin::addForeignWindow("red32", "red32");
    HWND h = FindWindowA("red32", nullptr);
    ASSERT_NE(nullptr, h);
    EXPECT_TRUE(PostMessageA(h, WM_DESTROY, 0, 0));
    EXPECT_EQ(nullptr, FindWindowA("red32", nullptr));
    /* The window name is compared without regard to case, as the class. */
    standin::addForeignWindow("Red32", "Redirector Setup");
    EXPECT_NE(nullptr, FindWindowA("RED32", "REDIRECTOR setup"));
    EXPECT_EQ(nullptr, FindWindowA("red32", "Redirector Setup "));
    std::string stamp;
    ASSERT_TRUE(standin::getFile("C:\\testlog\\red32-destroy.txt", &stamp));
    EXPECT_GT(atoll(stamp.c_str()), 1600000000000LL);
    auto ev = standin::events();
    ASSERT_EQ(1u, ev.size());
    EXPECT_EQ("posted", ev[0].ev);
    EXPECT_EQ("red32", ev[0].text);

    typedef HGDIOBJ(WINAPI * StockFn)(int);
    FARPROC p = GetProcAddress(GetModuleHandleA("GDI32.DLL"), "GetStockObject");
    ASSERT_NE(nullptr, p);
    StockFn fn = reinterpret_cast<StockFn>(reinterpret_cast<void *>(p));
    EXPECT_EQ(GetStockObject(WHITE_BRUSH), fn(WHITE_BRUSH));
    EXPECT_EQ(nullptr, GetProcAddress(GetModuleHandleA("gdi32"), "NoSuch"));
    EXPECT_EQ(nullptr, GetModuleHandleA("nosuch.dll"));
}

/* ------------------------------------------------------------ processes */

TEST_F(StandinTest, ProcessesAndWaits)
{
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi;
    char missing[] = "second.exe -S";
    EXPECT_FALSE(CreateProcessA(nullptr, missing, nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                                &si, &pi));
    EXPECT_EQ((DWORD)ERROR_FILE_NOT_FOUND, GetLastError());
    standin::putFile("C:\\setup\\second.exe", "MZ not a native program");
    EXPECT_FALSE(CreateProcessA(nullptr, missing, nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                                &si, &pi));
    EXPECT_EQ((DWORD)ERROR_BAD_EXE_FORMAT, GetLastError());

    std::ifstream in("/bin/sh", std::ios::binary);
    std::string sh((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_FALSE(sh.empty());
    standin::putFile("C:\\windows\\system32\\waiter.exe", sh);
    chmod(standin::hostPath("C:\\windows\\system32\\waiter.exe").c_str(), 0755);
    char cmd[] = "waiter";
    ASSERT_TRUE(CreateProcessA(nullptr, cmd, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si,
                               &pi));
    EXPECT_EQ(2, standin::openKernelHandles());
    /* sh with no arguments reads stdin; it ends at once or when killed */
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeProcess(pi.hProcess, &code));
    EXPECT_TRUE(CloseHandle(pi.hThread));
    EXPECT_NE(WAIT_FAILED, WaitForSingleObject(pi.hProcess, 3000));
    EXPECT_TRUE(CloseHandle(pi.hProcess));
    EXPECT_FALSE(CloseHandle(pi.hProcess));
    EXPECT_EQ(WAIT_FAILED, WaitForSingleObject(pi.hProcess, 0));
    EXPECT_EQ(0, standin::openKernelHandles());

    HANDLE t = CreateThread(nullptr, 0, [](LPVOID) -> DWORD { Sleep(300); ExitThread(9); }, nullptr,
                            0, nullptr);
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(t, 20));
    EXPECT_TRUE(GetExitCodeThread(t, &code));
    EXPECT_EQ((DWORD)STILL_ACTIVE, code);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(t, INFINITE));
    EXPECT_TRUE(GetExitCodeThread(t, &code));
    EXPECT_EQ(9u, code);
    CloseHandle(t);
}

/* ------------------------------------------------------------ faults, events, reset */

TEST_F(StandinTest, FaultsHitTheNthMatchingCall)
{
    standin::fail("RegOpenKeyExA", ERROR_ACCESS_DENIED, "software\\b", 2, 1);
    HKEY k;
    createKey("Software\\B");
    EXPECT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\B", 0, KEY_READ, &k));
    RegCloseKey(k);
    EXPECT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software", 0, KEY_READ, &k));
    RegCloseKey(k);
    EXPECT_EQ(ERROR_ACCESS_DENIED,
              RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\B", 0, KEY_READ, &k));
    EXPECT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\B", 0, KEY_READ, &k));
    RegCloseKey(k);
    EXPECT_EQ(4, standin::calls("RegOpenKeyExA"));

    standin::fail("CreateFileA", ERROR_ACCESS_DENIED, "iss", 1, 0);
    for (int i = 0; i < 2; i++) {
        EXPECT_EQ(INVALID_HANDLE_VALUE, CreateFileA("C:\\windows\\qblred.iss", GENERIC_WRITE, 0,
                                                    nullptr, CREATE_ALWAYS, 0, nullptr));
        EXPECT_EQ((DWORD)ERROR_ACCESS_DENIED, GetLastError());
    }
    standin::fail("MessageBoxA", ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(0, MessageBoxA(nullptr, "x", "Error", MB_OK));
    EXPECT_EQ((DWORD)ERROR_NOT_ENOUGH_MEMORY, GetLastError());
    standin::fail("WaitForSingleObject", WAIT_ABANDONED);
    EXPECT_EQ(WAIT_ABANDONED, WaitForSingleObject(nullptr, 0));
    standin::fail("GetVersionExA", ERROR_INVALID_FUNCTION);
    OSVERSIONINFOA info;
    info.dwOSVersionInfoSize = sizeof info;
    EXPECT_FALSE(GetVersionExA(&info));
    standin::fail("CreateProcessA", ERROR_NOT_ENOUGH_MEMORY, "second");
    STARTUPINFOA si = {};
    PROCESS_INFORMATION pi;
    char cmd[] = "second.exe";
    EXPECT_FALSE(CreateProcessA(nullptr, cmd, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si,
                                &pi));
    EXPECT_EQ((DWORD)ERROR_NOT_ENOUGH_MEMORY, GetLastError());
}

TEST_F(StandinTest, EventsJsonEscapes)
{
    standin::addAnswer("OK");
    MessageBoxA(nullptr, "a\"b\\c\nd\x01\xe9", "Error", MB_OKCANCEL);
    OutputDebugStringA("process came back ok\r\n");
    std::string json = standin::eventsJson();
    EXPECT_EQ("{\"ev\":\"box\",\"owner\":\"none\",\"caption\":\"Error\","
              "\"text\":\"a\\\"b\\\\c\\nd\\u0001\\u00e9\",\"buttons\":[\"OK\",\"Cancel\"],"
              "\"answer\":\"OK\"}\n"
              "{\"ev\":\"debug\",\"text\":\"process came back ok\\r\\n\"}\n",
              json);
}

TEST_F(StandinTest, ResetLeavesNothingBehind)
{
    std::string oldRoot = standin::driveRoot();
    createKey("Leftover");
    standin::putFile("C:\\windows\\left.txt", "x");
    standin::setEnv("LEFT", "1");
    standin::addAnswer("OK");
    standin::fail("RegCloseKey", 5);
    standin::setVersion(standin::NT40);
    standin::reset();
    EXPECT_NE(oldRoot, standin::driveRoot());
    EXPECT_EQ("REGEDIT4\n\n", standin::exportReg());
    EXPECT_EQ(0, standin::openRegistryHandles());
    std::string bytes;
    EXPECT_FALSE(standin::getFile("C:\\windows\\left.txt", &bytes));
    char buf[8];
    EXPECT_EQ(0u, GetEnvironmentVariableA("LEFT", buf, sizeof buf));
    EXPECT_EQ(IDOK, MessageBoxA(nullptr, "x", "Info", MB_OK));
    EXPECT_EQ("unanswered", standin::events().back().ev);
    EXPECT_EQ(0, standin::calls("RegCloseKey"));
    OSVERSIONINFOA info;
    info.dwOSVersionInfoSize = sizeof info;
    ASSERT_TRUE(GetVersionExA(&info));
    EXPECT_EQ(1u, info.dwPlatformId);
    EXPECT_TRUE(standin::getFile("C:\\setup", &bytes) == false);
    EXPECT_EQ(FILE_ATTRIBUTE_DIRECTORY, GetFileAttributesA("C:\\setup"));
}

TEST_F(StandinTest, PathMapping)
{
    standin::putFile("C:\\Setup\\Sub\\File.TXT", "x");
    std::string root = standin::driveRoot();
    EXPECT_EQ(root + "/setup/Sub/File.TXT", standin::hostPath("c:\\SETUP\\sub\\file.txt"));
    EXPECT_EQ(root + "/setup/Sub/File.TXT", standin::hostPath("sub\\..\\Sub\\.\\file.txt."));
    EXPECT_EQ(root + "/windows/new.txt", standin::hostPath("\\WINDOWS\\new.txt"));
    EXPECT_EQ(root + "/setup/Sub/File.TXT", standin::hostPath("C:/setup/sub/FILE.txt"));
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA("D:\\x"));
    EXPECT_EQ((DWORD)ERROR_PATH_NOT_FOUND, GetLastError());
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA("C:\\setup\\a\tb"));
    EXPECT_EQ((DWORD)ERROR_INVALID_NAME, GetLastError());
    EXPECT_TRUE(SetCurrentDirectoryA("C:\\SETUP\\SUB"));
    char cwd[64];
    EXPECT_EQ(12u, GetCurrentDirectoryA(sizeof cwd, cwd));
    EXPECT_STREQ("C:\\SETUP\\SUB", cwd); /* kept as given, like Windows */
    EXPECT_FALSE(SetCurrentDirectoryA("C:\\nowhere"));
    EXPECT_EQ((DWORD)ERROR_FILE_NOT_FOUND, GetLastError());
}

TEST_F(StandinTest, PostedMessagesAndMessageWaits)
{
    WNDCLASSA wc = {};
    wc.lpfnWndProc = DefWindowProcA;
    wc.lpszClassName = "plain";
    ASSERT_NE(0, RegisterClassA(&wc));
    HWND h = CreateWindowExA(0, "plain", "p", 0, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(nullptr, h);
    HANDLE t = CreateThread(nullptr, 0, [](LPVOID) -> DWORD { Sleep(100); return 0; }, nullptr, 0,
                            nullptr);
    EXPECT_EQ(WAIT_TIMEOUT, MsgWaitForMultipleObjects(1, &t, FALSE, 10, QS_ALLINPUT));
    EXPECT_TRUE(PostMessageA(h, WM_USER + 1, 7, 8));
    EXPECT_EQ(WAIT_OBJECT_0 + 1, MsgWaitForMultipleObjects(1, &t, FALSE, 1000, QS_ALLINPUT));
    MSG m;
    EXPECT_TRUE(PeekMessageA(&m, nullptr, 0, 0, PM_NOREMOVE));
    EXPECT_TRUE(PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE));
    EXPECT_EQ((UINT)WM_USER + 1, m.message);
    EXPECT_EQ(7u, m.wParam);
    EXPECT_FALSE(PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE));
    EXPECT_EQ(WAIT_OBJECT_0, MsgWaitForMultipleObjects(1, &t, FALSE, INFINITE, QS_ALLINPUT));
    CloseHandle(t);
    EXPECT_TRUE(SetWindowPos(h, nullptr, 5, 6, 0, 0, SWP_NOSIZE | SWP_NOZORDER));
    RECT r;
    EXPECT_TRUE(GetWindowRect(h, &r));
    EXPECT_EQ(5, r.left);
    EXPECT_EQ(15, r.right);
    EXPECT_TRUE(DestroyWindow(h));
    EXPECT_FALSE(PostMessageA(h, WM_USER, 0, 0));
    EXPECT_EQ((DWORD)ERROR_INVALID_WINDOW_HANDLE, GetLastError());
}

TEST_F(StandinTest, EnvironmentSetAndExpand)
{
    standin::setVersion(standin::NT40); /* names without regard to case */
    EXPECT_TRUE(SetEnvironmentVariableA("Path1", "C:\\x"));
    char buf[32];
    EXPECT_EQ(4u, GetEnvironmentVariableA("PATH1", buf, sizeof buf));
    EXPECT_EQ(12u, ExpandEnvironmentStringsA("%path1%\\%NONE%", buf, sizeof buf));
    EXPECT_STREQ("C:\\x\\%NONE%", buf);
    EXPECT_TRUE(SetEnvironmentVariableA("PATH1", nullptr));
    EXPECT_EQ(0u, GetEnvironmentVariableA("Path1", buf, sizeof buf));
    EXPECT_FALSE(SetEnvironmentVariableA("A=B", "x"));
    standin::fail("GetEnvironmentVariableA", ERROR_NOT_ENOUGH_MEMORY, "windir");
    EXPECT_EQ(0u, GetEnvironmentVariableA("WINDIR", buf, sizeof buf));
    EXPECT_EQ((DWORD)ERROR_NOT_ENOUGH_MEMORY, GetLastError());
    EXPECT_EQ(10u, GetEnvironmentVariableA("WINDIR", buf, sizeof buf));
}

/* ------------------------------------------------------------ services, marked for deletion */

const char kQsvcKey[] = "System\\CurrentControlSet\\Services\\Qsvc";

SC_HANDLE createQsvc(SC_HANDLE m, DWORD type, const char *display = nullptr)
{
    return CreateServiceA(m, "Qsvc", display, SERVICE_ALL_ACCESS, type,
                          type & SERVICE_DRIVER ? SERVICE_SYSTEM_START : SERVICE_DEMAND_START,
                          SERVICE_ERROR_NORMAL, "System32\\drivers\\qsvc.sys", nullptr, nullptr,
                          nullptr, nullptr, nullptr);
}

std::string qsvcValue(const char *name)
{
    HKEY k;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kQsvcKey, 0, KEY_READ, &k))
        return "<no key>";
    std::string v = queryString(k, name);
    RegCloseKey(k);
    return v;
}

/* DeleteService marks the service ("DeleteFlag"=1, disabled); while it is
 * marked it can be opened and stopped, not changed, started, deleted again
 * or created anew.  A driver stays marked until Windows restarts; a Win32
 * service goes with its last handle. */
TEST_F(StandinTest, DeletedServiceStaysMarked)
{
    standin::setVersion(standin::WINXP);
    standin::putFile("C:\\windows\\system32\\drivers\\qsvc.sys", "x");
    SC_HANDLE m = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    SC_HANDLE s = createQsvc(m, SERVICE_KERNEL_DRIVER);
    ASSERT_NE(nullptr, s);
    EXPECT_TRUE(StartServiceA(s, 0, nullptr));
    EXPECT_TRUE(DeleteService(s));
    EXPECT_EQ(std::string("\1\0\0\0", 4), qsvcValue("DeleteFlag"));
    EXPECT_EQ(std::string("\4\0\0\0", 4), qsvcValue("Start"));
    SC_HANDLE again = OpenServiceA(m, "Qsvc", GENERIC_READ | SERVICE_STOP);
    ASSERT_NE(nullptr, again);
    EXPECT_FALSE(DeleteService(s));
    EXPECT_EQ((DWORD)ERROR_SERVICE_MARKED_FOR_DELETE, GetLastError());
    EXPECT_FALSE(ChangeServiceConfigA(s, SERVICE_NO_CHANGE, SERVICE_DEMAND_START, SERVICE_NO_CHANGE,
                                      nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ((DWORD)ERROR_SERVICE_MARKED_FOR_DELETE, GetLastError());
    SERVICE_STATUS st;
    EXPECT_TRUE(ControlService(again, SERVICE_CONTROL_STOP, &st));
    EXPECT_EQ((DWORD)SERVICE_STOPPED, st.dwCurrentState);
    EXPECT_FALSE(StartServiceA(s, 0, nullptr));
    EXPECT_EQ((DWORD)ERROR_SERVICE_MARKED_FOR_DELETE, GetLastError());
    CloseServiceHandle(again);
    CloseServiceHandle(s);
    EXPECT_EQ(nullptr, createQsvc(m, SERVICE_KERNEL_DRIVER));
    EXPECT_EQ((DWORD)ERROR_SERVICE_MARKED_FOR_DELETE, GetLastError());
    EXPECT_EQ(standin::SVC_STOPPED, standin::serviceState("Qsvc"));

    /* A Win32 service: removed once its last handle is closed. */
    SC_HANDLE w = CreateServiceA(m, "Wsvc", nullptr, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                                 SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, "C:\\w.exe", nullptr,
                                 nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(nullptr, w);
    SC_HANDLE w2 = OpenServiceA(m, "Wsvc", DELETE);
    EXPECT_TRUE(DeleteService(w2));
    CloseServiceHandle(w2);
    EXPECT_EQ(standin::SVC_STOPPED, standin::serviceState("Wsvc"));
    CloseServiceHandle(w);
    EXPECT_EQ(standin::SVC_ABSENT, standin::serviceState("Wsvc"));

    /* Marked with a handle held elsewhere, or imported so: marked. */
    EXPECT_FALSE(standin::markServiceDeleted("Nosuch"));
    ASSERT_TRUE(standin::importReg(
        "REGEDIT4\n[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Old]\n"
        "\"Type\"=dword:00000001\n\"Start\"=dword:00000001\n"
        "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Gone]\n"
        "\"Type\"=dword:00000010\n\"DeleteFlag\"=dword:00000001\n"));
    EXPECT_TRUE(standin::markServiceDeleted("old"));
    for (const char *name : {"Old", "Gone"}) {
        EXPECT_EQ(nullptr, CreateServiceA(m, name, nullptr, SERVICE_ALL_ACCESS,
                                          SERVICE_KERNEL_DRIVER, SERVICE_SYSTEM_START,
                                          SERVICE_ERROR_NORMAL, "x.sys", nullptr, nullptr, nullptr,
                                          nullptr, nullptr));
        EXPECT_EQ((DWORD)ERROR_SERVICE_MARKED_FOR_DELETE, GetLastError()) << name;
    }
    SC_HANDLE gone = OpenServiceA(m, "Gone", SERVICE_ALL_ACCESS);
    ASSERT_NE(nullptr, gone);
    CloseServiceHandle(gone);
    EXPECT_EQ(standin::SVC_STOPPED, standin::serviceState("Gone"));
    CloseServiceHandle(m);
}

/* Display names are unique among display names and service names; a
 * Win32 service given no account runs as LocalSystem, a driver given an
 * object name keeps it. */
TEST_F(StandinTest, ServiceNamesAndAccounts)
{
    standin::setVersion(standin::WIN7);
    ASSERT_TRUE(standin::importReg(
        "REGEDIT4\n[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Serial]\n"
        "\"Type\"=dword:00000001\n\"DisplayName\"=\"Serial port driver\"\n"
        "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Plain]\n"
        "\"Type\"=dword:00000001\n"));
    SC_HANDLE m = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    for (const char *taken : {"SERIAL PORT DRIVER", "plain", "Serial"}) {
        EXPECT_EQ(nullptr, createQsvc(m, SERVICE_KERNEL_DRIVER, taken));
        EXPECT_EQ((DWORD)ERROR_DUPLICATE_SERVICE_NAME, GetLastError()) << taken;
    }
    SC_HANDLE s = createQsvc(m, SERVICE_KERNEL_DRIVER, "Q driver");
    ASSERT_NE(nullptr, s);
    EXPECT_FALSE(ChangeServiceConfigA(s, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE,
                                      nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                      "Serial port driver"));
    EXPECT_EQ((DWORD)ERROR_DUPLICATE_SERVICE_NAME, GetLastError());
    EXPECT_TRUE(ChangeServiceConfigA(s, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE,
                                     "System32\\drivers\\q2.sys", nullptr, nullptr, nullptr,
                                     nullptr, nullptr, "q DRIVER"));
    DWORD type;
    HKEY k;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, kQsvcKey, 0, KEY_READ, &k));
    EXPECT_EQ(std::string("System32\\drivers\\q2.sys\0", 24), queryString(k, "ImagePath", &type));
    EXPECT_EQ((DWORD)REG_EXPAND_SZ, type);
    EXPECT_EQ(std::string("q DRIVER\0", 9), queryString(k, "DisplayName"));
    RegCloseKey(k);
    CloseServiceHandle(s);
    SC_HANDLE w = CreateServiceA(m, "Wsvc", nullptr, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                                 SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, "C:\\w.exe", nullptr,
                                 nullptr, nullptr, nullptr, nullptr);
    SC_HANDLE d = CreateServiceA(m, "Dsvc", nullptr, SERVICE_ALL_ACCESS, SERVICE_KERNEL_DRIVER,
                                 SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, "d.sys", nullptr,
                                 nullptr, nullptr, "\\Driver\\Dsvc", nullptr);
    ASSERT_NE(nullptr, w);
    ASSERT_NE(nullptr, d);
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE,
                                           "System\\CurrentControlSet\\Services\\Wsvc", 0,
                                           KEY_READ, &k));
    EXPECT_EQ(std::string("LocalSystem\0", 12), queryString(k, "ObjectName"));
    EXPECT_EQ("<missing>", queryString(k, "PreshutdownTimeout"));
    RegCloseKey(k);
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE,
                                           "System\\CurrentControlSet\\Services\\Dsvc", 0,
                                           KEY_READ, &k));
    EXPECT_EQ(std::string("\\Driver\\Dsvc\0", 13), queryString(k, "ObjectName"));
    RegCloseKey(k);
    CloseServiceHandle(w);
    CloseServiceHandle(d);
    CloseServiceHandle(m);
}

/* ------------------------------------------------------------ 64-bit editions */

typedef BOOL(WINAPI *IsWow64Fn)(HANDLE, PBOOL);

TEST_F(StandinTest, IsWow64ProcessFromXPOnTrueOnA64BitEdition)
{
    struct {
        standin::Version v;
        bool found, has64;
    } cases[] = {{standin::WIN95, false, false},  {standin::WIN98, false, false},
                 {standin::WINME, false, false},  {standin::NT351, false, false},
                 {standin::NT40, false, false},   {standin::WIN2K, false, false},
                 {standin::WINXP, true, false},   {standin::WIN2003, true, true},
                 {standin::VISTA, true, true},    {standin::WIN7, true, true},
                 {standin::WIN8, true, true},     {standin::WIN81, true, true},
                 {standin::WIN10, true, true},    {standin::WIN31, false, false}};
    for (auto &c : cases)
        for (bool wide : {false, true}) {
            SCOPED_TRACE(std::to_string(c.v) + (wide ? " 64-bit" : ""));
            standin::setVersion(c.v);
            standin::setWow64(wide);
            FARPROC p = GetProcAddress(GetModuleHandleA("kernel32"), "IsWow64Process");
            ASSERT_EQ(c.found, p != nullptr);
            if (!p) {
                EXPECT_EQ((DWORD)ERROR_PROC_NOT_FOUND, GetLastError());
                continue;
            }
            BOOL answer = 7;
            ASSERT_TRUE(reinterpret_cast<IsWow64Fn>(reinterpret_cast<void *>(p))(
                GetCurrentProcess(), &answer));
            EXPECT_EQ(wide && c.has64 ? TRUE : FALSE, answer);
        }
    BOOL answer;
    EXPECT_FALSE(IsWow64Process((HANDLE)0x1234, &answer));
    EXPECT_EQ((DWORD)ERROR_INVALID_HANDLE, GetLastError());
    EXPECT_FALSE(IsWow64Process(GetCurrentProcess(), nullptr));
    EXPECT_EQ((DWORD)ERROR_NOACCESS, GetLastError());
    standin::reset();
    standin::setVersion(standin::WIN7);
    EXPECT_TRUE(IsWow64Process(GetCurrentProcess(), &answer));
    EXPECT_FALSE(answer); /* reset() ends the 64-bit edition */
}

bool writeFile(const std::string &path)
{
    HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    CloseHandle(h);
    return true;
}

/* Where a 32-bit program's file calls land under WOW64: System32 in
 * SysWOW64 except the exempt folders (driverstore from 7 on only); the
 * drive as it is, seen by the machine (getFile). */
TEST_F(StandinTest, Wow64RedirectsSystem32ButItsExemptFolders)
{
    for (const char *dir : {"system32\\drivers\\etc", "system32\\catroot", "system32\\catroot2",
                            "system32\\logfiles", "system32\\spool", "system32\\driverstore",
                            "SysWOW64\\drivers", "SysWOW64\\driverstore", "lastgood\\system32",
                            "lastgood\\SysWOW64"})
        standin::putFile(std::string("C:\\windows\\") + dir + "\\keep", "");
    struct {
        standin::Version v;
        const char *asked, *lands;
    } cases[] = {
        {standin::WIN7, "C:\\windows\\system32\\a.txt", "C:\\windows\\SysWOW64\\a.txt"},
        {standin::WIN7, "c:\\WINDOWS\\System32\\drivers\\q.sys", "C:\\windows\\SysWOW64\\drivers\\q.sys"},
        {standin::WIN7, "C:\\windows\\system32\\drivers\\etc\\hosts", nullptr},
        {standin::WIN7, "C:\\windows\\system32\\catroot\\c.cat", nullptr},
        {standin::WIN7, "C:\\windows\\system32\\catroot2\\c.cat", nullptr},
        {standin::WIN7, "C:\\windows\\system32\\logfiles\\l.log", nullptr},
        {standin::WIN7, "C:\\windows\\system32\\spool\\s.spl", nullptr},
        {standin::WIN7, "C:\\windows\\system32\\driverstore\\d.inf", nullptr},
        {standin::VISTA, "C:\\windows\\system32\\driverstore\\v.inf", "C:\\windows\\SysWOW64\\driverstore\\v.inf"},
        {standin::WIN2003, "C:\\windows\\system32\\b.txt", "C:\\windows\\SysWOW64\\b.txt"},
        {standin::WIN7, "C:\\windows\\lastgood\\system32\\l.txt", "C:\\windows\\lastgood\\SysWOW64\\l.txt"},
        {standin::WIN7, "C:\\windows\\regedit.exe", "C:\\windows\\SysWOW64\\regedit.exe"},
        {standin::WIN7, "C:\\windows\\system32.txt", nullptr},
        {standin::WIN7, "C:\\setup\\system32.txt", nullptr},
        {standin::WINXP, "C:\\windows\\system32\\xp.txt", nullptr}, /* no 64-bit edition */
    };
    std::string bytes;
    for (auto &c : cases) {
        SCOPED_TRACE(c.asked);
        standin::setVersion(c.v);
        standin::setWow64(true);
        ASSERT_TRUE(writeFile(c.asked));
        EXPECT_TRUE(standin::getFile(c.lands ? c.lands : c.asked, &bytes));
        EXPECT_EQ(c.lands == nullptr, standin::getFile(c.asked, &bytes));
        EXPECT_EQ((DWORD)FILE_ATTRIBUTE_ARCHIVE, GetFileAttributesA(c.asked));
    }
    standin::setVersion(standin::WIN7);
    /* Every file call: a copy into system32\drivers, its attributes, a
     * folder, a deletion; GetSystemDirectoryA still names System32. */
    standin::putFile("C:\\setup\\q.sys", "driver");
    EXPECT_TRUE(CopyFileA("C:\\setup\\q.sys", "C:\\windows\\system32\\drivers\\c.sys", FALSE));
    EXPECT_TRUE(SetFileAttributesA("C:\\windows\\system32\\drivers\\c.sys", FILE_ATTRIBUTE_READONLY));
    EXPECT_TRUE(CreateDirectoryA("C:\\windows\\system32\\newdir", nullptr));
    EXPECT_TRUE(DeleteFileA("C:\\windows\\system32\\a.txt"));
    char dir[MAX_PATH];
    GetSystemDirectoryA(dir, sizeof dir);
    EXPECT_STREQ("C:\\windows\\system32", dir);
    /* The current folder keeps its name; a relative path is redirected. */
    ASSERT_TRUE(SetCurrentDirectoryA("C:\\windows\\system32"));
    GetCurrentDirectoryA(sizeof dir, dir);
    EXPECT_STREQ("C:\\windows\\system32", dir);
    ASSERT_TRUE(writeFile("rel.txt"));
    EXPECT_TRUE(standin::getFile("C:\\windows\\SysWOW64\\rel.txt", &bytes));
    standin::setCurrentDirectory("C:\\setup");
    standin::setWow64(false);
    EXPECT_EQ((DWORD)FILE_ATTRIBUTE_READONLY,
              GetFileAttributesA("C:\\windows\\SysWOW64\\drivers\\c.sys"));
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA("C:\\windows\\system32\\drivers\\c.sys"));
    EXPECT_EQ((DWORD)FILE_ATTRIBUTE_DIRECTORY, GetFileAttributesA("C:\\windows\\SysWOW64\\newdir"));
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA("C:\\windows\\SysWOW64\\a.txt"));
    /* A 32-bit edition: as named. */
    ASSERT_TRUE(writeFile("C:\\windows\\system32\\a2.txt"));
    EXPECT_TRUE(standin::getFile("C:\\windows\\system32\\a2.txt", &bytes));
}

/* Whether a key of that path is on the machine, seen without WOW64. */
bool keyThere(const std::string &path)
{
    standin::setWow64(false);
    HKEY k;
    bool there = RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &k) == ERROR_SUCCESS;
    if (there)
        RegCloseKey(k);
    standin::setWow64(true);
    return there;
}

TEST_F(StandinTest, Wow64RedirectsSoftwareButItsSharedKeys)
{
    struct {
        standin::Version v;
        const char *asked, *reached;
    } cases[] = {
        {standin::WIN7, "SOFTWARE\\Vendor\\Prod", "SOFTWARE\\Wow6432Node\\Vendor\\Prod"},
        {standin::WIN7, "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Q",
         "Software\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Q"},
        {standin::WIN7, "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths\\q.exe", nullptr},
        {standin::VISTA, "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths\\v.exe",
         "SOFTWARE\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\App Paths\\v.exe"},
        {standin::WIN7, "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Fonts\\f", nullptr},
        {standin::WIN2003, "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Fonts\\g", nullptr},
        {standin::WIN7, "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Other",
         "SOFTWARE\\Wow6432Node\\Microsoft\\Windows NT\\CurrentVersion\\Other"},
        {standin::WIN7, "SOFTWARE\\Classes\\.txt", nullptr},
        {standin::WIN7, "SOFTWARE\\Classes\\CLSID\\{1}", "SOFTWARE\\Classes\\Wow6432Node\\CLSID\\{1}"},
        {standin::VISTA, "SOFTWARE\\Classes\\.doc", "SOFTWARE\\Wow6432Node\\Classes\\.doc"},
        {standin::WIN7, "SOFTWARE\\Wow6432Node\\Direct", nullptr},
        {standin::WIN7, "SOFTWARE\\Policies\\P", nullptr},
        {standin::WIN7, "SYSTEM\\CurrentControlSet\\Services\\Q", nullptr},
        {standin::WINXP, "SOFTWARE\\XP", nullptr}, /* no 64-bit edition */
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.asked);
        standin::setVersion(c.v);
        standin::setWow64(true);
        HKEY k;
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_LOCAL_MACHINE, c.asked, 0, nullptr, 0,
                                                 KEY_ALL_ACCESS, nullptr, &k, nullptr));
        RegCloseKey(k);
        EXPECT_TRUE(keyThere(c.reached ? c.reached : c.asked));
        EXPECT_EQ(c.reached == nullptr, keyThere(c.asked));
        ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, c.asked, 0, KEY_READ, &k));
        RegCloseKey(k);
    }
    /* Below a key opened in the 32-bit view, a shared key is reached still;
     * the call names the key as the program did, its handle the one it
     * reaches. */
    standin::setVersion(standin::WIN7);
    HKEY soft, sub;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE", 0, KEY_ALL_ACCESS, &soft));
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(soft, "Vendor2", 0, nullptr, 0, KEY_ALL_ACCESS,
                                             nullptr, &sub, nullptr));
    EXPECT_EQ((std::vector<std::string>{"key HKEY_LOCAL_MACHINE\\SOFTWARE\\Wow6432Node",
                                        "key HKEY_LOCAL_MACHINE\\SOFTWARE\\Wow6432Node\\Vendor2"}),
              standin::leftOpen());
    EXPECT_EQ(1u, standin::asked("RegCreateKeyExA", "HKEY_LOCAL_MACHINE\\SOFTWARE\\Vendor2").size());
    RegCloseKey(sub);
    ASSERT_EQ(ERROR_SUCCESS,
              RegOpenKeyExA(soft, "Microsoft\\Windows\\CurrentVersion\\App Paths\\q.exe", 0,
                            KEY_READ, &sub));
    RegCloseKey(sub);
    EXPECT_EQ(ERROR_SUCCESS, RegDeleteKeyA(soft, "Vendor\\Prod"));
    RegCloseKey(soft);
    standin::setWow64(false);
    EXPECT_EQ(ERROR_FILE_NOT_FOUND,
              RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Wow6432Node\\Vendor\\Prod", 0, KEY_READ, &sub));
}

/* ------------------------------------------------------------ the COM port database */

const char kComDbPath[] = "C:\\windows\\system32\\msports.dll";

/* msports.dll is there from Windows 2000 on, by its full path (on a 64-bit
 * edition in SysWOW64, where System32 leads), unless the machine has none;
 * a bare name is looked for as Windows looks for it, and a file of that
 * name found first is loaded as what it is. */
TEST_F(StandinTest, ComDatabaseDllByVersionAndSearchOrder)
{
    for (auto v : {standin::WIN95, standin::WIN98, standin::WINME, standin::NT351, standin::NT40}) {
        standin::setVersion(v);
        EXPECT_EQ(nullptr, LoadLibraryA(kComDbPath));
        EXPECT_EQ(v == standin::WIN95 || v == standin::WIN98 || v == standin::WINME
                      ? (DWORD)ERROR_DLL_NOT_FOUND
                      : (DWORD)ERROR_MOD_NOT_FOUND,
                  GetLastError())
            << v;
    }
    const char *names[] = {"ComDBOpen", "ComDBClose", "ComDBGetCurrentPortUsage", "ComDBClaimPort",
                           "ComDBReleasePort", "ComDBClaimNextFreePort", "ComDBResizeDatabase"};
    void *entries[] = {reinterpret_cast<void *>(&ComDBOpen),
                       reinterpret_cast<void *>(&ComDBClose),
                       reinterpret_cast<void *>(&ComDBGetCurrentPortUsage),
                       reinterpret_cast<void *>(&ComDBClaimPort),
                       reinterpret_cast<void *>(&ComDBReleasePort),
                       reinterpret_cast<void *>(&ComDBClaimNextFreePort),
                       reinterpret_cast<void *>(&ComDBResizeDatabase)};
    for (auto v : {standin::WIN2K, standin::WINXP, standin::WIN2003, standin::VISTA, standin::WIN7,
                   standin::WIN8, standin::WIN81, standin::WIN10}) {
        standin::setVersion(v);
        HMODULE dll = LoadLibraryA(kComDbPath);
        ASSERT_NE(nullptr, dll) << v;
        for (size_t i = 0; i < sizeof names / sizeof *names; i++)
            EXPECT_EQ(entries[i], reinterpret_cast<void *>(GetProcAddress(dll, names[i]))) << names[i];
        EXPECT_EQ(nullptr, GetProcAddress(dll, "ComDBNothing"));
        EXPECT_EQ((DWORD)ERROR_PROC_NOT_FOUND, GetLastError());
        EXPECT_EQ((std::vector<std::string>{"module msports.dll"}), standin::leftOpen());
        EXPECT_TRUE(FreeLibrary(dll));
        EXPECT_TRUE(standin::leftOpen().empty());
        EXPECT_EQ(nullptr, GetProcAddress(dll, "ComDBOpen")); /* unloaded */
        EXPECT_EQ((DWORD)ERROR_MOD_NOT_FOUND, GetLastError());
    }
    standin::setVersion(standin::WINXP);
    standin::setComDatabase(standin::COMDB_NONE);
    EXPECT_EQ(nullptr, LoadLibraryA(kComDbPath));
    EXPECT_EQ((DWORD)ERROR_MOD_NOT_FOUND, GetLastError());
    standin::setComDatabase(standin::COMDB_AS_VERSION);
    /* 64-bit: System32's leads to SysWOW64's, which a 32-bit edition lacks. */
    standin::setVersion(standin::WIN7);
    EXPECT_EQ(nullptr, LoadLibraryA("C:\\windows\\SysWOW64\\msports.dll"));
    standin::setWow64(true);
    HMODULE a = LoadLibraryA(kComDbPath), b = LoadLibraryA("C:\\windows\\SysWOW64\\MSPORTS.DLL");
    EXPECT_NE(nullptr, a);
    EXPECT_EQ(a, b);
    EXPECT_TRUE(FreeLibrary(a));
    EXPECT_EQ((std::vector<std::string>{"module msports.dll"}), standin::leftOpen());
    EXPECT_TRUE(FreeLibrary(b));
    EXPECT_FALSE(FreeLibrary(b));
    standin::setWow64(false);

    /* The error mode in force is recorded with the call. */
    standin::setVersion(standin::WINXP);
    EXPECT_EQ(0u, SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX));
    FreeLibrary(LoadLibraryA("msports"));
    EXPECT_EQ((UINT)(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX), SetErrorMode(0));
    EXPECT_EQ(0x8001u, standin::asked("LoadLibraryA", "msports").back().value("mode"));

    /* A bare name: the program's folder first.  A planted msports.dll there
     * is what is loaded, with no COM port database in it. */
    standin::putFile("C:\\setup\\msports.dll", "MZ planted");
    HMODULE planted = LoadLibraryA("msports.dll");
    ASSERT_NE(nullptr, planted);
    EXPECT_EQ(nullptr, GetProcAddress(planted, "ComDBOpen"));
    EXPECT_EQ((DWORD)ERROR_PROC_NOT_FOUND, GetLastError());
    EXPECT_EQ((std::vector<std::string>{"module C:\\setup\\msports.dll"}), standin::leftOpen());
    HMODULE system = LoadLibraryA(kComDbPath);
    EXPECT_NE(planted, system);
    EXPECT_NE(nullptr, GetProcAddress(system, "ComDBOpen"));
    FreeLibrary(system);
    FreeLibrary(planted);
    /* The current folder: after the system folder from XP on, before it
     * on 2000; a known DLL is the system's wherever a file of its name is. */
    DeleteFileA("C:\\setup\\msports.dll");
    standin::putFile("C:\\work\\msports.dll", "MZ planted");
    standin::putFile("C:\\setup\\kernel32.dll", "MZ planted");
    standin::setCurrentDirectory("C:\\work");
    HMODULE found = LoadLibraryA("msports.dll");
    EXPECT_NE(nullptr, GetProcAddress(found, "ComDBOpen"));
    FreeLibrary(found);
    standin::setVersion(standin::WIN2K);
    found = LoadLibraryA("msports.dll");
    EXPECT_EQ(nullptr, GetProcAddress(found, "ComDBOpen"));
    FreeLibrary(found);
    EXPECT_EQ(GetModuleHandleA("kernel32.dll"), LoadLibraryA("kernel32"));
    standin::setVersion(standin::WIN98);
    EXPECT_EQ(nullptr, GetProcAddress((HMODULE)0x1234, "ComDBOpen"));
    EXPECT_EQ((DWORD)ERROR_INVALID_HANDLE, GetLastError());
    EXPECT_TRUE(standin::leftOpen().empty());
}

std::string comDbValue()
{
    HKEY k;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Control\\COM Name Arbiter", 0,
                      KEY_READ, &k))
        return "<no key>";
    char buf[600];
    DWORD size = sizeof buf, type = 0;
    LONG rc = RegQueryValueExA(k, "ComDB", nullptr, &type, reinterpret_cast<BYTE *>(buf), &size);
    RegCloseKey(k);
    if (rc)
        return "<missing>";
    return type == REG_BINARY ? std::string(buf, size) : "<type " + std::to_string(type) + ">";
}

std::string bits(std::initializer_list<std::pair<size_t, unsigned char>> set, size_t length = 32)
{
    std::string out(length, '\0');
    for (auto &b : set)
        out[b.first] = (char)b.second;
    return out;
}

/* The database as the registry keeps it: claims, releases, the next free
 * number, the size, both reports, every refusal, and what each call was
 * asked. */
TEST_F(StandinTest, ComDatabaseClaimsReleasesAndReports)
{
    standin::setVersion(standin::WINXP);
    HCOMDB h = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, ComDBOpen(&h));
    EXPECT_EQ("<missing>", comDbValue()); /* the key made, every number free */
    EXPECT_EQ((std::vector<std::string>{"COM port database"}), standin::leftOpen());
    DWORD ports = 0;
    EXPECT_EQ(ERROR_SUCCESS, ComDBGetCurrentPortUsage(h, nullptr, 0, 99, &ports));
    EXPECT_EQ(256u, ports);
    BYTE buf[300];
    EXPECT_EQ(ERROR_INVALID_PARAMETER, ComDBGetCurrentPortUsage(h, nullptr, 0, CDB_REPORT_BYTES, nullptr));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, ComDBGetCurrentPortUsage(h, buf, sizeof buf, 2, &ports));
    EXPECT_EQ(ERROR_INVALID_PARAMETER,
              ComDBGetCurrentPortUsage((HCOMDB)0x77, buf, sizeof buf, CDB_REPORT_BYTES, &ports));

    for (DWORD n : {1u, 3u, 9u, 256u})
        EXPECT_EQ(ERROR_SUCCESS, ComDBClaimPort(h, n, FALSE, nullptr)) << n;
    EXPECT_EQ(bits({{0, 0x05}, {1, 0x01}, {31, 0x80}}), comDbValue());
    BOOL forced = 7;
    EXPECT_EQ(ERROR_SHARING_VIOLATION, ComDBClaimPort(h, 3, TRUE, &forced));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, ComDBClaimPort(h, 0, FALSE, nullptr));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, ComDBClaimPort(h, 257, FALSE, nullptr));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, ComDBClaimPort((HCOMDB)0x77, 5, FALSE, nullptr));

    memset(buf, 0xEE, sizeof buf);
    EXPECT_EQ(ERROR_SUCCESS, ComDBGetCurrentPortUsage(h, buf, sizeof buf, CDB_REPORT_BYTES, &ports));
    EXPECT_EQ(256u, ports);
    EXPECT_EQ(1, buf[0]);
    EXPECT_EQ(0, buf[1]);
    EXPECT_EQ(1, buf[2]);
    EXPECT_EQ(1, buf[8]);
    EXPECT_EQ(1, buf[255]);
    EXPECT_EQ(0xEE, buf[256]);
    memset(buf, 0xEE, sizeof buf);
    EXPECT_EQ(ERROR_SUCCESS, ComDBGetCurrentPortUsage(h, buf, 4, CDB_REPORT_BYTES, &ports));
    EXPECT_EQ(4u, ports);
    EXPECT_EQ(0xEE, buf[4]);
    EXPECT_EQ(ERROR_SUCCESS, ComDBGetCurrentPortUsage(h, buf, sizeof buf, CDB_REPORT_BITS, &ports));
    EXPECT_EQ(256u, ports);
    EXPECT_EQ(bits({{0, 0x05}, {1, 0x01}, {31, 0x80}}), std::string((char *)buf, 32));
    EXPECT_EQ(0xEE, buf[32]);
    EXPECT_EQ(ERROR_SUCCESS, ComDBGetCurrentPortUsage(h, buf, 3, CDB_REPORT_BITS, &ports));
    EXPECT_EQ(24u, ports);

    DWORD next = 0;
    EXPECT_EQ(ERROR_SUCCESS, ComDBClaimNextFreePort(h, &next));
    EXPECT_EQ(2u, next);
    EXPECT_EQ(ERROR_SUCCESS, ComDBReleasePort(h, 3));
    EXPECT_EQ(ERROR_SUCCESS, ComDBClaimNextFreePort(h, &next));
    EXPECT_EQ(3u, next);
    EXPECT_EQ(ERROR_SUCCESS, ComDBReleasePort(h, 9));
    EXPECT_EQ(ERROR_SUCCESS, ComDBReleasePort(h, 10)); /* free already */
    EXPECT_EQ(ERROR_INVALID_PARAMETER, ComDBReleasePort(h, 0));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, ComDBReleasePort(h, 257));
    EXPECT_EQ(bits({{0, 0x07}, {31, 0x80}}), comDbValue());

    /* The size: multiples of 1024 above it, up to 4096. */
    EXPECT_EQ(ERROR_INVALID_PARAMETER, ComDBResizeDatabase(h, 1000));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, ComDBResizeDatabase(h, 256));
    EXPECT_EQ(ERROR_BAD_LENGTH, ComDBResizeDatabase(h, 5120));
    EXPECT_EQ(ERROR_SUCCESS, ComDBResizeDatabase(h, 1024));
    EXPECT_EQ(ERROR_BAD_LENGTH, ComDBResizeDatabase(h, 1024));
    EXPECT_EQ(ERROR_SUCCESS, ComDBGetCurrentPortUsage(h, nullptr, 0, CDB_REPORT_BITS, &ports));
    EXPECT_EQ(1024u, ports);
    EXPECT_EQ(ERROR_SUCCESS, ComDBClaimPort(h, 1000, FALSE, nullptr));
    EXPECT_EQ(bits({{0, 0x07}, {31, 0x80}, {124, 0x80}}, 128), comDbValue());

    /* A short value arbitrates 256 numbers still; a full one none more. */
    ASSERT_TRUE(standin::importReg("REGEDIT4\n[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\"
                                   "Control\\COM Name Arbiter]\n\"ComDB\"=hex:ff\n"));
    EXPECT_EQ(ERROR_SUCCESS, ComDBClaimNextFreePort(h, &next));
    EXPECT_EQ(9u, next);
    EXPECT_EQ(bits({{0, 0xff}, {1, 0x01}}), comDbValue());
    ASSERT_TRUE(standin::importReg("REGEDIT4\n[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\"
                                   "Control\\COM Name Arbiter]\n\"ComDB\"=hex:" +
                                   [] {
                                       std::string s;
                                       for (int i = 0; i < 32; i++)
                                           s += i ? ",ff" : "ff";
                                       return s;
                                   }() + "\n"));
    EXPECT_EQ(ERROR_NO_LOG_SPACE, ComDBClaimNextFreePort(h, &next));

    /* Faults: the call's own, the value's write, a key deleted under it. */
    standin::fail("ComDBReleasePort", ERROR_NOT_CONNECTED, "COM7");
    EXPECT_EQ(ERROR_NOT_CONNECTED, ComDBReleasePort(h, 7));
    standin::fail("ComDBWrite", ERROR_ACCESS_DENIED, "COM7");
    EXPECT_EQ(ERROR_CANTWRITE, ComDBReleasePort(h, 7));
    EXPECT_EQ(std::string(32, '\xff'), comDbValue());
    ASSERT_EQ(ERROR_SUCCESS, RegDeleteKeyA(HKEY_LOCAL_MACHINE,
                                           "SYSTEM\\CurrentControlSet\\Control\\COM Name Arbiter"));
    EXPECT_EQ(ERROR_NOT_CONNECTED, ComDBGetCurrentPortUsage(h, nullptr, 0, 0, &ports));
    EXPECT_EQ(ERROR_NOT_CONNECTED, ComDBClaimPort(h, 5, FALSE, nullptr));

    auto claims = standin::asked("ComDBClaimPort", "COM3");
    ASSERT_EQ(2u, claims.size());
    EXPECT_EQ(3u, claims[1].value("number"));
    EXPECT_EQ(1u, claims[1].value("force"));
    EXPECT_EQ(1u, claims[1].value("forced"));
    auto usage = standin::asked("ComDBGetCurrentPortUsage")[4];
    EXPECT_EQ(300u, usage.value("size"));
    EXPECT_EQ((unsigned long long)CDB_REPORT_BYTES, usage.value("type"));
    EXPECT_EQ(1u, usage.value("buffer"));
    EXPECT_EQ(1u, usage.value("reported"));
    EXPECT_EQ(1024u, standin::asked("ComDBResizeDatabase")[3].value("size"));

    EXPECT_EQ(ERROR_SUCCESS, ComDBClose(h));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, ComDBClose(h));
    EXPECT_TRUE(standin::leftOpen().empty());

    /* Refused opens leave the invalid handle. */
    standin::fail("ComDBOpen", ERROR_NOT_ENOUGH_MEMORY);
    h = nullptr;
    EXPECT_EQ(ERROR_NOT_ENOUGH_MEMORY, ComDBOpen(&h));
    EXPECT_EQ(HCOMDB_INVALID_HANDLE_VALUE, h);
    standin::setLimitedUser(true);
    h = nullptr;
    EXPECT_EQ(ERROR_ACCESS_DENIED, ComDBOpen(&h));
    EXPECT_EQ(HCOMDB_INVALID_HANDLE_VALUE, h);
    EXPECT_TRUE(standin::leftOpen().empty());
}

long addOne(void *arg) { return *static_cast<long *>(arg) + 1; }

long openDatabase(void *arg)
{
    auto *rc = static_cast<LONG *>(arg);
    HCOMDB h;
    *rc = ComDBOpen(&h);
    return 42;
}

long guardedOpen(void *arg)
{
    long result = 0;
    unsigned long code = 0;
    return guardedCall(openDatabase, arg, &result, &code) ? -1 : (long)code;
}

/* A faulting database ends every call in an access violation, which the
 * innermost guard of the thread catches; the call is abandoned where it
 * stood. */
TEST_F(StandinTest, FaultingComDatabaseEndsInAnExceptionAGuardCatches)
{
    standin::setVersion(standin::WINXP);
    standin::setComDatabase(standin::COMDB_FAULTING);
    HMODULE dll = LoadLibraryA(kComDbPath);
    ASSERT_NE(nullptr, dll);
    EXPECT_NE(nullptr, GetProcAddress(dll, "ComDBOpen"));
    long in = 41, result = 0;
    unsigned long code = 9;
    EXPECT_EQ(1, guardedCall(addOne, &in, &result, &code));
    EXPECT_EQ(42, result);
    EXPECT_EQ(9u, code);
    LONG rc = 77;
    EXPECT_EQ(0, guardedCall(openDatabase, &rc, &result, &code));
    EXPECT_EQ((unsigned long)STATUS_ACCESS_VIOLATION, code);
    EXPECT_EQ(77, rc);
    EXPECT_EQ(42, result);
    /* An inner guard catches it; the outer call returns. */
    EXPECT_EQ(1, guardedCall(guardedOpen, &rc, &result, &code));
    EXPECT_EQ((long)STATUS_ACCESS_VIOLATION, result);
    long (*const others[])(void *) = {
        [](void *) -> long { return ComDBClose(nullptr); },
        [](void *) -> long { return ComDBGetCurrentPortUsage(nullptr, nullptr, 0, 0, nullptr); },
        [](void *) -> long { return ComDBClaimPort(nullptr, 1, FALSE, nullptr); },
        [](void *) -> long { return ComDBReleasePort(nullptr, 1); },
        [](void *) -> long { return ComDBClaimNextFreePort(nullptr, nullptr); },
        [](void *) -> long { return ComDBResizeDatabase(nullptr, 1024); }};
    for (auto fn : others) {
        code = 0;
        EXPECT_EQ(0, guardedCall(fn, nullptr, &result, &code));
        EXPECT_EQ((unsigned long)STATUS_ACCESS_VIOLATION, code);
    }
    EXPECT_EQ(2u, standin::asked("ComDBOpen").size());
    EXPECT_EQ(1u, standin::asked("ComDBClaimPort", "COM1").size());
    for (auto &e : standin::events())
        EXPECT_NE("error", e.ev) << e.text;
    FreeLibrary(dll);
}

using StandinDeathTest = StandinTest;

/* With no guard the process ends as Windows ends it: an error event that
 * names the exception and the function, the process-end handler, the
 * exception code as the exit code (its low 8 bits on the host). */
TEST_F(StandinDeathTest, UnguardedExceptionEndsTheProcessWithItsCode)
{
    standin::setVersion(standin::WIN7);
    standin::setComDatabase(standin::COMDB_FAULTING);
    EXPECT_EXIT(
        {
            standin::setProcessEndHandler([](DWORD code) {
                fprintf(stderr, "ended %08x %s", (unsigned)code, standin::eventsJson().c_str());
            });
            ComDBClaimNextFreePort(nullptr, nullptr);
            fprintf(stderr, "went on\n");
            exit(0);
        },
        ::testing::ExitedWithCode(0x05),
        "ended c0000005 \\{\"ev\":\"error\",\"text\":\"unhandled exception 0xc0000005 in "
        "ComDBClaimNextFreePort");
}

/* ------------------------------------------------------------ a limited user */

TEST_F(StandinTest, LimitedUserReadsButDoesNotWriteTheMachine)
{
    RegCloseKey(createKey("SOFTWARE\\Vendor"));
    standin::putFile("C:\\windows\\win.ini", "x");
    standin::putFile("C:\\windows\\system32\\keep", "");
    standin::putFile("C:\\windows\\Temp\\keep", "");
    standin::putFile("C:\\Program Files\\App\\a.txt", "x");
    standin::putFile("C:\\setup\\c.txt", "c");
    ASSERT_TRUE(standin::importReg("REGEDIT4\n[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\"
                                   "Services\\Old]\n\"Type\"=dword:00000001\n"));
    standin::setVersion(standin::WINXP);
    standin::setLimitedUser(true);

    HKEY k;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Vendor", 0, KEY_READ, &k));
    RegCloseKey(k);
    for (REGSAM access : {(REGSAM)KEY_SET_VALUE, (REGSAM)KEY_CREATE_SUB_KEY, (REGSAM)KEY_ALL_ACCESS,
                          (REGSAM)KEY_WRITE, (REGSAM)GENERIC_WRITE, (REGSAM)GENERIC_ALL,
                          (REGSAM)DELETE, (REGSAM)WRITE_DAC, (REGSAM)(KEY_QUERY_VALUE | KEY_SET_VALUE)}) {
        EXPECT_EQ(ERROR_ACCESS_DENIED,
                  RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Vendor", 0, access, &k))
            << access;
        EXPECT_EQ(ERROR_ACCESS_DENIED, RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Vendor", 0,
                                                       nullptr, 0, access, nullptr, &k, nullptr))
            << access;
    }
    /* MAXIMUM_ALLOWED is given read rights. */
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Vendor", &k));
    EXPECT_EQ(ERROR_ACCESS_DENIED, RegSetValueExA(k, "v", 0, REG_BINARY, (const BYTE *)"x", 1));
    EXPECT_EQ("<missing>", queryString(k, "v"));
    RegCloseKey(k);
    EXPECT_EQ(ERROR_ACCESS_DENIED, RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\New\\Sub", 0,
                                                   nullptr, 0, KEY_READ, nullptr, &k, nullptr));
    EXPECT_EQ(ERROR_ACCESS_DENIED,
              RegSetValueExA(HKEY_LOCAL_MACHINE, "v", 0, REG_BINARY, (const BYTE *)"x", 1));
    EXPECT_EQ(ERROR_ACCESS_DENIED, RegDeleteKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Vendor"));
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\Mine", 0, nullptr, 0,
                                             KEY_ALL_ACCESS, nullptr, &k, nullptr));
    RegCloseKey(k);

    /* The Windows folder and Program Files: read, not written. */
    HANDLE f = CreateFileA("C:\\windows\\win.ini", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, f);
    CloseHandle(f);
    for (const char *path : {"C:\\windows\\qblred.iss", "C:\\WINDOWS\\System32\\x.txt",
                             "C:\\Program Files\\App\\b.txt", "C:\\windows\\win.ini"}) {
        EXPECT_FALSE(writeFile(path)) << path;
        EXPECT_EQ((DWORD)ERROR_ACCESS_DENIED, GetLastError()) << path;
    }
    EXPECT_TRUE(writeFile("C:\\windows\\Temp\\t.txt"));
    EXPECT_TRUE(writeFile("C:\\setup\\d.txt"));
    EXPECT_FALSE(CopyFileA("C:\\setup\\c.txt", "C:\\windows\\system32\\c.txt", FALSE));
    EXPECT_EQ((DWORD)ERROR_ACCESS_DENIED, GetLastError());
    EXPECT_TRUE(CopyFileA("C:\\windows\\win.ini", "C:\\setup\\win.ini", FALSE));
    EXPECT_FALSE(SetFileAttributesA("C:\\windows\\win.ini", FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ((DWORD)ERROR_ACCESS_DENIED, GetLastError());
    EXPECT_FALSE(DeleteFileA("C:\\windows\\win.ini"));
    EXPECT_EQ((DWORD)ERROR_ACCESS_DENIED, GetLastError());
    EXPECT_FALSE(CreateDirectoryA("C:\\windows\\newdir", nullptr));
    EXPECT_EQ((DWORD)ERROR_ACCESS_DENIED, GetLastError());
    EXPECT_TRUE(CreateDirectoryA("C:\\newdir", nullptr));

    /* The service manager: a user's rights. */
    for (DWORD access : {(DWORD)SC_MANAGER_ALL_ACCESS, (DWORD)SC_MANAGER_CREATE_SERVICE,
                         (DWORD)GENERIC_WRITE, (DWORD)SC_MANAGER_LOCK}) {
        EXPECT_EQ(nullptr, OpenSCManagerA(nullptr, nullptr, access)) << access;
        EXPECT_EQ((DWORD)ERROR_ACCESS_DENIED, GetLastError());
    }
    SC_HANDLE m = OpenSCManagerA(nullptr, nullptr,
                                 SC_MANAGER_CONNECT | SC_MANAGER_ENUMERATE_SERVICE |
                                     SC_MANAGER_QUERY_LOCK_STATUS | READ_CONTROL);
    ASSERT_NE(nullptr, m);
    CloseServiceHandle(m);
    m = OpenSCManagerA(nullptr, nullptr, MAXIMUM_ALLOWED);
    ASSERT_NE(nullptr, m);
    EXPECT_EQ(nullptr, createQsvc(m, SERVICE_KERNEL_DRIVER));
    EXPECT_EQ((DWORD)ERROR_ACCESS_DENIED, GetLastError());
    EXPECT_EQ(nullptr, OpenServiceA(m, "Old", SERVICE_ALL_ACCESS));
    EXPECT_EQ((DWORD)ERROR_ACCESS_DENIED, GetLastError());
    EXPECT_EQ(nullptr, OpenServiceA(m, "Old", SERVICE_START));
    SC_HANDLE s = OpenServiceA(m, "Old", SERVICE_QUERY_STATUS | SERVICE_INTERROGATE);
    ASSERT_NE(nullptr, s);
    CloseServiceHandle(s);
    CloseServiceHandle(m);

    /* Nothing was made; Windows 9x has no such user. */
    standin::setLimitedUser(false);
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\New", 0, KEY_READ, &k));
    std::string bytes;
    EXPECT_FALSE(standin::getFile("C:\\windows\\qblred.iss", &bytes));
    standin::setLimitedUser(true);
    standin::setVersion(standin::WIN98);
    EXPECT_TRUE(writeFile("C:\\windows\\qblred.iss"));
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\New", 0, nullptr, 0,
                                             KEY_ALL_ACCESS, nullptr, &k, nullptr));
    RegCloseKey(k);
}

/* The Wine runner's driver starts a driver service after the run by its
 * image path as NT's loader takes it (wine/nt_image_path.h). */
TEST(DriverImagePath, RelativePathsAreTakenFromTheSystemRoot)
{
    EXPECT_EQ("\\SystemRoot\\system32\\drivers\\qblred.sys", ntImagePath("system32\\drivers\\qblred.sys"));
    EXPECT_EQ("\\SystemRoot\\qblred.sys", ntImagePath("qblred.sys"));
    for (const char *kept : {"C:\\windows\\system32\\drivers\\qblred.sys",
                             "\\SystemRoot\\system32\\drivers\\qblred.sys", "\\??\\C:\\qblred.sys"})
        EXPECT_EQ(kept, ntImagePath(kept));
}

} // namespace
