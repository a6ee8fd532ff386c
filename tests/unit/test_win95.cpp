/*
 * Port census, allocation decoding, free resource choice and the Windows 95
 * sequence as a whole.
 */
#include "test_win95_helpers.h"

#include <cstring>
#include <fstream>
#include <sstream>

using namespace w95;

namespace {

const char kClass[] = "System\\CurrentControlSet\\Services\\Class\\Ports";
const char kUninst[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Quorbelle Redirector";
const char kLaunch[] = "Failed to launch app installer";

class Win95Test : public InstallTest {
  protected:
    void SetUp() override
    {
        InstallTest::SetUp();
        usePlatform(standin::WIN95);
        std::strcpy(scriptData.path, "C:\\QBLRED\\");
        /* The installer itself is not part of these tests: its launch
         * fails the same way every time. */
        standin::fail("CreateProcessA", ERROR_FILE_NOT_FOUND, "", 1, 0);
    }
    void TearDown() override { expectCleanRun(); }
    /* Runs the sequence; it must return 0 and leave the aborted flag 0. */
    void run()
    {
        int aborted = 7;
        EXPECT_EQ(doit95(nullptr, &aborted), 0);
        EXPECT_EQ(aborted, 0);
    }
    bool responseFileWritten()
    {
        std::string iss;
        return standin::getFile("C:\\windows\\qblred.iss", &iss) && !iss.empty();
    }
    std::string hklm() { return standin::exportReg("HKEY_LOCAL_MACHINE"); }
};

/* ---- the census ---- */

TEST_F(Win95Test, DefaultMachineRecordsBothComPortsAndInstallsCom3)
{
    defaultMachine();
    run();
    ASSERT_EQ(curPort, 2);
    EXPECT_STREQ(Ports[0].name, "COM1");
    EXPECT_STREQ(Ports[0].driver, "Ports\\0000");
    EXPECT_EQ(Ports[0].ioBase, 0x3F8);
    EXPECT_EQ(Ports[0].ioEnd, 0x3FF);
    EXPECT_STREQ(Ports[1].name, "COM2");
    EXPECT_STREQ(Ports[1].driver, "Ports\\0001");
    EXPECT_EQ(Ports[1].ioBase, 0x2F8);
    EXPECT_EQ(Ports[1].ioEnd, 0x2FF);
    EXPECT_EQ(errorBoxes(), Texts({kLaunch}));
    EXPECT_TRUE(responseFileWritten());
    EXPECT_EQ(subkeys(HKEY_LOCAL_MACHINE, kClass), Texts({"0000", "0001", "0002", "0003"}));
    EXPECT_EQ(subkeys(HKEY_LOCAL_MACHINE, "Enum\\Root\\Ports"), Texts({"0001"}));
    std::string v;
    ASSERT_TRUE(getValue(HKEY_LOCAL_MACHINE, "Enum\\Root\\Ports\\0001", "PORTNAME", &v));
    EXPECT_EQ(v, sz("COM3"));
    ASSERT_TRUE(getValue(HKEY_LOCAL_MACHINE, "Enum\\Root\\Ports\\0001", "Driver", &v));
    EXPECT_EQ(v, sz("Ports\\0003"));
    EXPECT_TRUE(keyExists(HKEY_LOCAL_MACHINE, kUninst));
}

TEST_F(Win95Test, LowerCaseComAndOtherNamesAreSkipped)
{
    defaultMachine();
    addDevice("C29A2000", "BIOS\\*PNP0501\\0F", "com3", "Ports\\0004", allocIo(0x3E8, 0x3EF));
    addDevice("C29A2100", "BIOS\\*PNP0501\\10", "CO", "Ports\\0005", allocIo(0x2E8, 0x2EF));
    run();
    ASSERT_EQ(curPort, 2);
    EXPECT_STREQ(Ports[0].name, "COM1");
    EXPECT_STREQ(Ports[1].name, "COM2");
    /* com3 did not block COM3 by base or name. */
    std::string v;
    ASSERT_TRUE(getValue(HKEY_LOCAL_MACHINE, "Enum\\Root\\Ports\\0001", "PORTNAME", &v));
    EXPECT_EQ(v, sz("COM3"));
}

TEST_F(Win95Test, UnknownAllocationVersionStillRecordsThePort)
{
    defaultMachine();
    setValue(HKEY_DYN_DATA, "Config Manager\\Enum\\C29A1D30", "Allocation", REG_BINARY,
             allocation(ioDescriptor(0x3F8, 0x3FF), 0xA1000500)); /* every byte of the word read */
    run();
    EXPECT_EQ(errorBoxes(), Texts({"Don't recognize CM version 0xa1000500 for COM1", kLaunch}));
    ASSERT_EQ(curPort, 2);
    EXPECT_STREQ(Ports[0].name, "COM1");
    EXPECT_EQ(Ports[0].ioBase, 0);
    EXPECT_EQ(Ports[0].ioEnd, 0);
    EXPECT_EQ(Ports[1].ioBase, 0x2F8);
    EXPECT_EQ(gotError, 1);
}

/* Ports whose allocation gives no I/O range, and a port that Windows did
 * not start (no "Allocation" at all), block their names and no base. */
TEST_F(Win95Test, AllocationsWithoutIoRecordBaseZeroSilently)
{
    addDevice("A", "BIOS\\A", "COM1", "Ports\\0000", allocation(""));          /* 12 bytes */
    addDevice("B", "BIOS\\B", "COM2", "Ports\\0001", allocation(otherDescriptor(4 + 4)).substr(0, 16));
    addDevice("C", "BIOS\\C", "COM3", "Ports\\0002",
              allocation(otherDescriptor(16) + otherDescriptor(12, 1)));
    addDevice("D", "BIOS\\D", "COM4", "Ports\\0003",
              allocation(otherDescriptor(16) + ioDescriptor(0x2E8, 0x2EF)));
    addDevice("E", "BIOS\\E", "COM5", "Ports\\0004", allocIo(0x3E8, 0x3EF));
    HKEY k;
    ASSERT_EQ(RegOpenKeyExA(HKEY_DYN_DATA, "Config Manager\\Enum\\E", 0, KEY_ALL_ACCESS, &k),
              ERROR_SUCCESS);
    RegDeleteValueA(k, "Allocation");
    RegCloseKey(k);
    baseMachine();
    run();
    EXPECT_EQ(errorBoxes(), Texts({kLaunch}));
    ASSERT_EQ(curPort, 5);
    EXPECT_STREQ(Ports[4].name, "COM5");
    EXPECT_STREQ(Ports[4].driver, "Ports\\0004");
    for (int i : {0, 1, 2, 4}) {
        EXPECT_EQ(Ports[i].ioBase, 0) << i;
        EXPECT_EQ(Ports[i].ioEnd, 0) << i;
    }
    /* The I/O descriptor after an IRQ descriptor is found. */
    EXPECT_STREQ(Ports[3].name, "COM4");
    EXPECT_EQ(Ports[3].ioBase, 0x2E8);
    EXPECT_EQ(Ports[3].ioEnd, 0x2EF);
    /* COM3 to COM5 are taken by name (COM3's base 0x3E8 is free): COM6. */
    std::string v;
    ASSERT_TRUE(getValue(HKEY_LOCAL_MACHINE, "Enum\\Root\\Ports\\0001", "PORTNAME", &v));
    EXPECT_EQ(v, sz("COM6"));
}

TEST_F(Win95Test, TwentyPortsEndTheCensusAndTheInstallationGoesOn)
{
    baseMachine();
    char id[16], hw[32], name[16];
    for (int i = 0; i < 22; i++) {
        snprintf(id, sizeof id, "DEV%02d", i);
        snprintf(hw, sizeof hw, "BIOS\\*PNP0501\\%02d", i);
        snprintf(name, sizeof name, "COM%d", 10 + i);
        /* The ports after the 20th would each show a message if they were
         * examined. */
        addDevice(id, hw, name, "Ports\\0000",
                  allocation(ioDescriptor(0x1000 + 8 * i, 0x1007 + 8 * i), i < 20 ? 0x400 : 0x500));
    }
    run();
    EXPECT_EQ(errorBoxes(), Texts({"Too many ports! (20)", kLaunch}));
    ASSERT_EQ(curPort, 20);
    EXPECT_STREQ(Ports[19].name, "COM29");
    EXPECT_EQ(Ports[19].ioBase, 0x1000 + 8 * 19);
    EXPECT_EQ(subkeys(HKEY_LOCAL_MACHINE, kClass), Texts({"0001"}));
    EXPECT_TRUE(keyExists(HKEY_LOCAL_MACHINE, "Enum\\Root\\Ports\\0001"));
    EXPECT_TRUE(keyExists(HKEY_LOCAL_MACHINE, kUninst));
}

/* Failures that end the sequence after the response file and before any
 * registry entry is written. */
TEST_F(Win95Test, UnreadableDriverOrAllocationEndsBeforeAnyRegistryWrite)
{
    struct Case {
        const char *what;
        void (*prepare)();
        const char *message;
    } cases[] = {
        {"no Driver",
         [] { addDevice("C29A2000", "BIOS\\*PNP0501\\0F", "COM3", nullptr, allocIo(0x3E8, 0x3EF)); },
         "Couldn't read Driver for Enum\\BIOS\\*PNP0501\\0F: 2"},
        {"Driver fault",
         [] { standin::fail("RegQueryValueExA", ERROR_ACCESS_DENIED, "0E|Driver"); },
         "Couldn't read Driver for Enum\\BIOS\\*PNP0501\\0E: 5"},
        {"Driver one byte longer than its buffer",
         [] { setValue(HKEY_LOCAL_MACHINE, "Enum\\BIOS\\*PNP0501\\0E", "Driver", REG_SZ,
                       sz(std::string(30, 'D'))); },
         "Couldn't read Driver for Enum\\BIOS\\*PNP0501\\0E: 234"},
        {"Allocation fault",
         [] { standin::fail("RegQueryValueExA", ERROR_ACCESS_DENIED, "C29A1D30|Allocation"); },
         "Couldn't read Allocation for Config Manager\\Enum\\C29A1D30: 5"},
        {"Allocation longer than 200 bytes",
         [] { setValue(HKEY_DYN_DATA, "Config Manager\\Enum\\C29A1D30", "Allocation",
                       REG_BINARY, allocation(otherDescriptor(188) + ioDescriptor(0x3F8, 0x3FF))); },
         "Couldn't read Allocation for Config Manager\\Enum\\C29A1D30: 234"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        resetProgram();
        SetUp();
        defaultMachine();
        c.prepare();
        std::string before = hklm();
        run();
        EXPECT_EQ(errorBoxes(), Texts({c.message}));
        EXPECT_EQ(gotError, 1);
        EXPECT_TRUE(responseFileWritten());
        EXPECT_EQ(hklm(), before);
        EXPECT_EQ(standin::openRegistryHandles(), 0);
    }
}

/* Subkeys that are skipped without a message, by fault or by content. */
TEST_F(Win95Test, UnreadableDevicesAreSkipped)
{
    struct Case {
        const char *what;
        void (*prepare)();
    } cases[] = {
        {"device key cannot be opened",
         [] { standin::fail("RegOpenKeyExA", ERROR_ACCESS_DENIED, "Enum\\C29A1D30"); }},
        {"HardWareKey unreadable",
         [] { standin::fail("RegQueryValueExA", ERROR_ACCESS_DENIED, "C29A1D30|HardWareKey"); }},
        {"HardWareKey missing",
         [] {
             HKEY k;
             ASSERT_EQ(RegOpenKeyExA(HKEY_DYN_DATA, "Config Manager\\Enum\\C29A1D30", 0,
                                     KEY_ALL_ACCESS, &k), ERROR_SUCCESS);
             RegDeleteValueA(k, "HardWareKey");
             RegCloseKey(k);
         }},
        {"HardWareKey longer than its buffer",
         [] { setValue(HKEY_DYN_DATA, "Config Manager\\Enum\\C29A1D30", "HardWareKey", REG_SZ,
                       sz(std::string(150, 'H'))); }},
        {"hardware key missing",
         [] { setValue(HKEY_DYN_DATA, "Config Manager\\Enum\\C29A1D30", "HardWareKey", REG_SZ,
                       sz("BIOS\\*PNP0501\\77")); }},
        {"hardware key cannot be opened",
         [] { standin::fail("RegOpenKeyExA", ERROR_ACCESS_DENIED, "Enum\\BIOS\\*PNP0501\\0D"); }},
        {"PORTNAME missing",
         [] { standin::fail("RegQueryValueExA", ERROR_FILE_NOT_FOUND, "0D|PORTNAME"); }},
        {"PORTNAME longer than its buffer",
         [] { setValue(HKEY_LOCAL_MACHINE, "Enum\\BIOS\\*PNP0501\\0D", "PORTNAME", REG_SZ,
                       sz("COM1" + std::string(30, 'X'))); }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        resetProgram();
        SetUp();
        defaultMachine();
        c.prepare();
        run();
        EXPECT_EQ(errorBoxes(), Texts({kLaunch}));
        ASSERT_EQ(curPort, 1);
        EXPECT_STREQ(Ports[0].name, "COM2");
        EXPECT_EQ(Ports[0].ioBase, 0x2F8);
        EXPECT_TRUE(keyExists(HKEY_LOCAL_MACHINE, "Enum\\Root\\Ports\\0001"));
        EXPECT_EQ(standin::openRegistryHandles(), 0);
    }
}

/* Each text read at its buffer's exact size: the subkey name (20), the
 * "HardWareKey" (100), "PORTNAME" (20) and "Driver" (30). */
TEST_F(Win95Test, TextsAtTheLimitsOfTheirBuffersAreHeldWhole)
{
    const std::string cm = "Config Manager\\Enum\\";
    /* A: a subkey name of 19 characters, a hardware key of 99, a port name
     * of 19 and a driver of 29, all with their terminators. */
    std::string idA = "A" + std::string(18, 'a');
    std::string longHw = "BIOS\\" + std::string(94, 'K');
    std::string longName = "COM1" + std::string(15, 'N');
    std::string longDriver = "Ports\\" + std::string(23, 'R');
    addDevice(idA, longHw, longName.c_str(), longDriver.c_str(), allocIo(0x3F8, 0x3FF));
    /* B: a port name stored without its terminator. */
    addDevice("B", "BIOS\\B", nullptr, "Ports\\0001", allocIo(0x2F8, 0x2FF));
    setValue(HKEY_LOCAL_MACHINE, "Enum\\BIOS\\B", "PORTNAME", REG_BINARY, "COM7");
    /* C: a hardware key of 100 characters that fills its buffer without a
     * terminator names the key of all 100; the key of its first 99 is
     * another device's. */
    std::string hw100 = "BIOS\\" + std::string(95, 'L');
    addDevice("C", hw100, "COM10", "Ports\\0010", allocIo(0x3E8, 0x3EF));
    setValue(HKEY_DYN_DATA, cm + "C", "HardWareKey", REG_BINARY, hw100);
    setValue(HKEY_LOCAL_MACHINE, "Enum\\" + hw100.substr(0, 99), "PORTNAME", REG_SZ, sz("COM8"));
    setValue(HKEY_LOCAL_MACHINE, "Enum\\" + hw100.substr(0, 99), "Driver", REG_SZ, sz("Ports\\0008"));
    /* D: a port name of 20 bytes without a terminator is a COM port, cut to
     * 19 characters; its range still blocks COM4's base. */
    std::string name20 = "COM1" + std::string(16, 'P');
    addDevice("D", "BIOS\\D", nullptr, "Ports\\0011", allocIo(0x2E8, 0x2EF));
    setValue(HKEY_LOCAL_MACHINE, "Enum\\BIOS\\D", "PORTNAME", REG_BINARY, name20);
    /* E: a driver of 30 bytes without a terminator is recorded cut. */
    std::string driver30 = "Ports\\" + std::string(24, 'S');
    addDevice("E", "BIOS\\E", "COM2", nullptr, allocIo(0x100, 0x107));
    setValue(HKEY_LOCAL_MACHINE, "Enum\\BIOS\\E", "Driver", REG_BINARY, driver30);
    /* F: one byte more than the buffers: a hardware key of 100 characters
     * with its terminator is skipped, and so is a port name of 20. */
    addDevice("F", "BIOS\\F", "COM5", "Ports\\0012", allocIo(0x108, 0x10F));
    setValue(HKEY_DYN_DATA, cm + "F", "HardWareKey", REG_SZ, sz(hw100));
    addDevice("G", "BIOS\\G", name20.c_str(), "Ports\\0013", allocIo(0x108, 0x10F));
    baseMachine();
    run();
    EXPECT_EQ(errorBoxes(), Texts({kLaunch}));
    ASSERT_EQ(curPort, 5);
    EXPECT_EQ(std::string(Ports[0].name), longName);
    EXPECT_EQ(std::string(Ports[0].driver), longDriver);
    EXPECT_EQ(Ports[0].ioBase, 0x3F8);
    EXPECT_STREQ(Ports[1].name, "COM7");
    EXPECT_EQ(Ports[1].ioBase, 0x2F8);
    EXPECT_STREQ(Ports[2].name, "COM10");
    EXPECT_STREQ(Ports[2].driver, "Ports\\0010");
    EXPECT_EQ(Ports[2].ioBase, 0x3E8);
    EXPECT_EQ(std::string(Ports[3].name), name20.substr(0, 19));
    EXPECT_EQ(Ports[3].ioBase, 0x2E8);
    EXPECT_EQ(Ports[3].ioEnd, 0x2EF);
    EXPECT_STREQ(Ports[4].name, "COM2");
    EXPECT_EQ(std::string(Ports[4].driver), driver30.substr(0, 29));
    EXPECT_EQ(Ports[4].ioBase, 0x100);
    /* COM3 and COM4 are taken by base, COM5's base is free: F and G were
     * not recorded. */
    std::string v;
    ASSERT_TRUE(getValue(HKEY_LOCAL_MACHINE, "Enum\\Root\\Ports\\0001", "PORTNAME", &v));
    EXPECT_EQ(v, sz("COM5"));
}

TEST_F(Win95Test, ASubkeyNameThatDoesNotFitEndsTheCensus)
{
    /* 20 characters, one more than the buffer holds with its terminator;
     * created after COM1's device and before COM2's, so that Windows 95
     * enumerates it between them (and NT would sort it there): COM2 is
     * never reached. */
    addDevice("C29A1D30", "BIOS\\*PNP0501\\0D", "COM1", "Ports\\0000", allocIo(0x3F8, 0x3FF));
    addDevice("C29A1D30XXXXXXXXXXXX", "BIOS\\X", "COM5", "Ports\\0009", allocIo(0x108, 0x10F));
    defaultMachine();
    run();
    ASSERT_EQ(curPort, 1);
    EXPECT_STREQ(Ports[0].name, "COM1");
}

/* ---- the sequence's own failures ---- */

TEST_F(Win95Test, SequenceFailuresEndItWithTheirMessages)
{
    struct Case {
        const char *what;
        void (*prepare)();
        Texts messages;
        bool response;   /* qblred.iss written */
        bool classEntry; /* Class\Ports\0003 written */
        bool portEntry;  /* Enum\Root\Ports\0001 written */
    } cases[] = {
        {"doISS fails", [] { standin::unsetEnv("WINDIR"); }, {"Couldn't get windir"}, false,
         false, false},
        {"enumeration key cannot be opened",
         [] { standin::fail("RegOpenKeyExA", ERROR_ACCESS_DENIED, "Config Manager\\Enum"); },
         {"Couldn't open Config Manager\\Enum: 5"}, true, false, false},
        {"no free resource",
         [] {
             char id[16], name[16];
             for (int i = 3; i <= 9; i++) {
                 snprintf(id, sizeof id, "X%d", i);
                 snprintf(name, sizeof name, "COM%d", i);
                 addDevice(id, std::string("BIOS\\") + id, name, "Ports\\0009", allocIo(0, 0));
             }
         },
         {"Can't find a free resource"}, true, false, false},
        {"class entry fails",
         [] { standin::fail("RegSetValueExA", ERROR_ACCESS_DENIED, "|InfPath"); },
         {"Can't set InfPath value", "Error setting up driver section in Registry"}, true, true,
         false},
        {"port entry fails",
         [] { standin::fail("RegSetValueExA", ERROR_ACCESS_DENIED, "|ForcedConfig"); },
         {"Can't set ForcedConfig value", "Error setting up port section in Registry"}, true,
         true, true},
        {"uninstall entry fails",
         [] { standin::fail("RegCreateKeyExA", ERROR_ACCESS_DENIED, "Uninstall"); },
         {"Couldn't create subkey SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\"
          "Quorbelle Redirector: 5"},
         true, true, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        resetProgram();
        SetUp();
        defaultMachine();
        c.prepare();
        run();
        EXPECT_EQ(errorBoxes(), c.messages);
        EXPECT_EQ(gotError, 1);
        EXPECT_EQ(responseFileWritten(), c.response);
        EXPECT_EQ(keyExists(HKEY_LOCAL_MACHINE, std::string(kClass) + "\\0003"), c.classEntry);
        EXPECT_EQ(keyExists(HKEY_LOCAL_MACHINE, "Enum\\Root\\Ports\\0001"), c.portEntry);
        /* Nothing after the failure: no uninstall entry, no launch. */
        EXPECT_FALSE(keyExists(HKEY_LOCAL_MACHINE, kUninst));
        EXPECT_EQ(standin::calls("CreateThread"), 0);
        EXPECT_EQ(standin::openRegistryHandles(), 0);
    }
}

/* ---- allocation decoding ---- */

class AllocationTest : public InstallTest {
  protected:
    /* Decodes value from a buffer of exactly its size (so that a read past
     * its end is caught under the address sanitizer). */
    int decode(const std::string &value)
    {
        std::vector<unsigned char> buf(value.begin(), value.end());
        Ports[curPort].ioBase = 0xAAAA;
        Ports[curPort].ioEnd = 0xBBBB;
        return InterpretAllocation(nullptr, "COM1", buf.empty() ? nullptr : buf.data(),
                                   (DWORD)buf.size());
    }
};

TEST_F(AllocationTest, FindsTheFirstIoRange)
{
    curPort = 3;
    /* An I/O descriptor of just its head and the words read, last in the
     * value. */
    std::string headerOnlyIo = allocation("").substr(0, 8);
    put32(headerOnlyIo, 16);
    put32(headerOnlyIo, 2);
    put16(headerOnlyIo, 1);
    put16(headerOnlyIo, 12);
    put16(headerOnlyIo, 0x2E8);
    put16(headerOnlyIo, 0x2EF);
    struct Case {
        const char *what;
        std::string value;
        unsigned base, end;
    } cases[] = {
        {"one I/O descriptor", allocIo(0x3F8, 0x3FF), 0x3F8, 0x3FF},
        {"after an IRQ descriptor", allocation(otherDescriptor(16) + ioDescriptor(0x2F8, 0x2FF)),
         0x2F8, 0x2FF},
        {"after two others", allocation(otherDescriptor(12, 1) + otherDescriptor(24, 3) +
                                        ioDescriptor(0x108, 0x10F)),
         0x108, 0x10F},
        {"the first of two", allocation(ioDescriptor(0x3E8, 0x3EF) + ioDescriptor(0x2E8, 0x2EF)),
         0x3E8, 0x3EF},
        {"no end mark, nothing after", allocIo(0x3F8, 0x3FF).substr(0, 40), 0x3F8, 0x3FF},
        {"I/O words ending exactly at the end", headerOnlyIo, 0x2E8, 0x2EF},
        /* Any length but 0 that fits is stepped over, however short. */
        {"after a descriptor of 4 bytes", allocation(lengthOnly(4) + ioDescriptor(0x3E8, 0x3EF)),
         0x3E8, 0x3EF},
        {"after a descriptor of 7 bytes",
         allocation(otherDescriptor(8).substr(0, 7).replace(0, 1, 1, 7) +
                    ioDescriptor(0x2E8, 0x2EF)),
         0x2E8, 0x2EF},
        {"after two descriptors of 4 bytes",
         allocation(lengthOnly(4) + lengthOnly(4) + ioDescriptor(0x108, 0x10F)), 0x108, 0x10F},
        /* An I/O descriptor is read whatever length it declares, when its
         * words lie inside the value. */
        {"I/O descriptor declaring 12 bytes", withLength(allocIo(0x3F8, 0x3FF), 8, 12), 0x3F8,
         0x3FF},
        {"I/O descriptor declaring 1 byte", withLength(allocIo(0x2F8, 0x2FF), 8, 1), 0x2F8, 0x2FF},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(decode(c.value), 0);
        EXPECT_EQ(Ports[3].ioBase, c.base);
        EXPECT_EQ(Ports[3].ioEnd, c.end);
    }
    EXPECT_TRUE(standin::boxes().empty());
}

TEST_F(AllocationTest, DamagedOrEmptyAllocationsYieldNothing)
{
    std::string io = ioDescriptor(0x3F8, 0x3FF);
    std::string truncatedIo = allocation("").substr(0, 8);
    put32(truncatedIo, 32);
    put32(truncatedIo, 2);
    put16(truncatedIo, 1); /* words at 12..15 past the end */
    /* A length of 1 leaves the next length's low three bytes 0: a length
     * of 0 or one far beyond the value. */
    std::string oneByteSteps = allocation(lengthOnly(1) + std::string(4, '\0') + io);
    std::string oneByteThenHuge = allocation(lengthOnly(1) + bytes({0x00, 0x00, 0x00, 0x01}) + io);
    std::string ioWordsPast = allocation("").substr(0, 8);
    put32(ioWordsPast, 15); /* fits the 15 bytes left, but its words at 12..15 do not */
    put32(ioWordsPast, 2);
    put16(ioWordsPast, 1);
    put16(ioWordsPast, 12);
    put16(ioWordsPast, 0x3F8);
    ioWordsPast.push_back((char)0xFF);
    std::string ioTooLong = withLength(allocIo(0x3F8, 0x3FF), 8, 37); /* 36 remain */
    std::string zeroHead = allocation("").substr(0, 8) + std::string(8, '\0') + io;
    std::string tooLong = allocation(otherDescriptor(16));
    tooLong[8] = 0x40; /* claims 64 bytes of 24 */
    std::string hugeLength = allocation(otherDescriptor(16) + io);
    hugeLength[8] = hugeLength[9] = hugeLength[10] = hugeLength[11] = (char)0xFF;
    struct Case {
        const char *what;
        std::string value;
    } cases[] = {
        {"empty", ""},
        {"3 bytes", bytes({0x00, 0x04, 0x00})},
        {"header only", allocation("").substr(0, 8)},
        {"16 bytes", allocation(otherDescriptor(8))},
        {"only other types before the end mark",
         allocation(otherDescriptor(16) + otherDescriptor(20, 3))},
        {"end mark before the I/O descriptor", allocation(std::string(4, '\0') + io)},
        {"I/O words past the end", truncatedIo},
        {"I/O words past the end, its length inside the value", ioWordsPast},
        {"I/O descriptor longer than what remains", ioTooLong},
        {"one-byte step onto a zero length", oneByteSteps},
        {"one-byte step onto a length beyond the value", oneByteThenHuge},
        {"zero head", zeroHead},
        {"length beyond the value", tooLong},
        {"length of 0xFFFFFFFF", hugeLength},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(decode(c.value), -1);
        EXPECT_EQ(Ports[0].ioBase, 0xAAAA);
        EXPECT_EQ(Ports[0].ioEnd, 0xBBBB);
    }
    EXPECT_TRUE(standin::boxes().empty());
}

TEST_F(AllocationTest, UnknownVersionIsReportedWithThePortName)
{
    EXPECT_EQ(InterpretAllocation(nullptr, "COM4", (const unsigned char *)"\x00\x03\x00\x00", 4), -1);
    std::string v = allocation(ioDescriptor(0x3F8, 0x3FF), 0x500);
    EXPECT_EQ(decode(v), -1);
    EXPECT_EQ(Ports[0].ioBase, 0xAAAA);
    auto b = standin::boxes();
    ASSERT_EQ(b.size(), 2u);
    EXPECT_EQ(b[0].text, "Don't recognize CM version 0x300 for COM4");
    EXPECT_EQ(b[1].text, "Don't recognize CM version 0x500 for COM1");
    EXPECT_EQ(b[1].caption, "Error");
    EXPECT_EQ(gotError, 1);
}

/* ---- free resource choice ---- */

class FindFreeTest : public InstallTest {};

TEST_F(FindFreeTest, ChoosesTheFirstCandidateWithoutConflict)
{
    struct Port {
        const char *name;
        unsigned short base;
    };
    struct Case {
        const char *what;
        std::vector<Port> ports;
        const char *chosen; /* nullptr: none */
    } cases[] = {
        {"no ports", {}, "COM3"},
        {"COM1 and COM2", {{"COM1", 0x3F8}, {"COM2", 0x2F8}}, "COM3"},
        {"COM3 and COM4 taken", {{"COM3", 0x3E8}, {"COM4", 0x2E8}}, "COM5"},
        {"COM5 at COM3's base", {{"COM5", 0x3E8}}, "COM4"},
        {"COM3 with base 0", {{"COM3", 0}}, "COM4"},
        {"overlapping range, other base", {{"COM1", 0x3E0}}, "COM3"},
        {"name compared with case", {{"com3", 0x100}}, "COM3"},
        {"name compared whole", {{"COM33", 0x100}, {"COM", 0x101}}, "COM3"},
        {"COM3 to COM8 by base", {{"A", 0x3E8}, {"B", 0x2E8}, {"C", 0x108}, {"D", 0x110},
                                  {"E", 0x118}, {"F", 0x120}}, "COM9"},
        {"all taken", {{"COM3", 1}, {"COM4", 2}, {"COM5", 3}, {"X", 0x110}, {"COM7", 4},
                       {"COM8", 5}, {"Y", 0x128}}, nullptr},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        std::memset(Ports, 0, sizeof Ports);
        curPort = (int)c.ports.size();
        for (size_t i = 0; i < c.ports.size(); i++) {
            std::strcpy(Ports[i].name, c.ports[i].name);
            Ports[i].ioBase = c.ports[i].base;
        }
        const Resource *r = findFree();
        if (!c.chosen) {
            EXPECT_EQ(r, nullptr);
            continue;
        }
        ASSERT_NE(r, nullptr);
        EXPECT_STREQ(r->name, c.chosen);
        EXPECT_GE(r, Resources);
        EXPECT_LT(r, Resources + maxResources);
    }
    /* Entries beyond curPort do not count. */
    std::strcpy(Ports[0].name, "COM3");
    curPort = 0;
    ASSERT_NE(findFree(), nullptr);
    EXPECT_STREQ(findFree()->name, "COM3");
}

TEST_F(FindFreeTest, CandidateTable)
{
    ASSERT_EQ(maxResources, 7);
    const unsigned short bases[] = {0x3E8, 0x2E8, 0x108, 0x110, 0x118, 0x120, 0x128};
    for (int i = 0; i < maxResources; i++) {
        char name[16];
        snprintf(name, sizeof name, "COM%d", i + 3);
        EXPECT_STREQ(Resources[i].name, name);
        EXPECT_EQ(Resources[i].ioBase, bases[i]);
    }
}

} // namespace

/* ---- the machine files the scenarios share ---- */

std::string sourceFile(const std::string &relative)
{
    std::string here = __FILE__;
    std::string root = here.substr(0, here.rfind("tests/unit/"));
    /* The host's own file, not one of the stand-in's drive. */
    std::ifstream in(root + relative, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

TEST_F(Win95Test, DefaultMachineFileGivesTheCensusOfADefaultMachine)
{
    std::string text = sourceFile("scenarios/machines/win95-default.reg");
    ASSERT_FALSE(text.empty());
    std::string why;
    ASSERT_TRUE(standin::importReg(text, &why)) << why;
    run();
    EXPECT_EQ(errorBoxes(), Texts({kLaunch}));
    ASSERT_EQ(curPort, 2);
    EXPECT_STREQ(Ports[0].name, "COM1");
    EXPECT_EQ(Ports[0].ioBase, 0x3F8);
    EXPECT_EQ(Ports[0].ioEnd, 0x3FF);
    EXPECT_STREQ(Ports[1].name, "COM2");
    EXPECT_EQ(Ports[1].ioBase, 0x2F8);
    EXPECT_EQ(Ports[1].ioEnd, 0x2FF);
    EXPECT_EQ(subkeys(HKEY_LOCAL_MACHINE, kClass), Texts({"0000", "0001", "0002", "0003"}));
    EXPECT_EQ(subkeys(HKEY_LOCAL_MACHINE, "Enum\\Root\\Ports"), Texts({"0001"}));
}

TEST_F(Win95Test, ScenarioMachineFilesImportWhole)
{
    for (const char *name :
         {"alloc-16", "alloc-io-after-irq", "alloc-other-types", "cm-version", "com3-com4",
          "com3-to-com9", "lowercase-com", "no-driver", "numbers-9999", "numbers-gaps",
          "numbers-letters", "numbers-long-name", "numbers-top", "twenty-two-ports"}) {
        SCOPED_TRACE(name);
        std::string text = sourceFile(std::string("scenarios/win95/data/") + name + ".reg");
        ASSERT_FALSE(text.empty());
        std::string why;
        EXPECT_TRUE(standin::importReg(text, &why)) << why;
    }
}
