/*
 * The port driver class entry (doDriver) and the port device entry
 * (doPort): numbering, contents byte for byte, and every failure.
 */
#include "test_win95_helpers.h"

#include <algorithm>
#include <cstring>
#include <strings.h>

using namespace w95;

namespace {

const std::string kClass = "System\\CurrentControlSet\\Services\\Class\\Ports";
const std::string kPorts = "Enum\\Root\\Ports";

/* The logical configurations as the Config Manager expects them, before
 * the allocated base and end are set. */
const std::string kConfig0 = bytes({
    0x00, 0x04, 0x00, 0x00, 0x00, 0x30, 0x00, 0x00, 0x44, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00,
    0x04, 0x00, 0x0C, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0x08, 0x00,
    0xF8, 0x03, 0xFF, 0x03, 0x00, 0x00, 0x00, 0x03, 0xFF, 0xFF, 0x08, 0x00, 0xF8, 0x02, 0xFF, 0x02,
    0x00, 0x00, 0x00, 0x03, 0xFF, 0xFF, 0x08, 0x00, 0xE8, 0x03, 0xEF, 0x03, 0x03, 0x00, 0x00, 0x03,
    0xFF, 0xFF, 0x08, 0x00, 0xE8, 0x02, 0xEF, 0x02, 0x00, 0x00, 0x00, 0x03, 0x00, 0x00, 0x00, 0x00,
});
const std::string kConfig1 = bytes({
    0x00, 0x04, 0x00, 0x00, 0x00, 0x30, 0x00, 0x00, 0x20, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00,
    0x01, 0x00, 0x0C, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xF8, 0xFF, 0x08, 0x00,
    0x00, 0x01, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0x03, 0x00, 0x00, 0x00, 0x00,
});

std::string withAllocation(std::string config, int base, int end)
{
    config[20] = (char)(base & 0xFF);
    config[21] = (char)(base >> 8);
    config[22] = (char)(end & 0xFF);
    config[23] = (char)(end >> 8);
    return config;
}

const Resource *resource(const char *name)
{
    for (int i = 0; i < maxResources; i++)
        if (std::strcmp(Resources[i].name, name) == 0)
            return &Resources[i];
    return nullptr;
}

/* The registry keeps values sorted by name: compare names as sets (the
 * order of writing shows in the failure tests, by what is left). */
Texts sorted(Texts t)
{
    std::sort(t.begin(), t.end(), [](const std::string &a, const std::string &b) {
        return strcasecmp(a.c_str(), b.c_str()) < 0;
    });
    return t;
}

/* What an entry's writing asked since the machine was set up: the key it
 * adds to opened for writing (KEY_ALL_ACCESS), every key created
 * non-volatile for writing, every text written with its terminator counted. */
void expectWrittenForWriting(const std::string &parent)
{
    auto opens = standin::asked("RegOpenKeyExA", parent);
    ASSERT_FALSE(opens.empty()) << parent;
    for (auto &c : opens)
        EXPECT_EQ(c.value("access"), (unsigned long long)KEY_ALL_ACCESS) << c.subject;
    auto creates = standin::asked("RegCreateKeyExA");
    EXPECT_FALSE(creates.empty());
    for (auto &c : creates) {
        EXPECT_EQ(c.value("access"), (unsigned long long)KEY_ALL_ACCESS) << c.subject;
        EXPECT_EQ(c.value("options"), (unsigned long long)REG_OPTION_NON_VOLATILE) << c.subject;
    }
    for (auto &c : standin::asked("RegSetValueExA"))
        if (c.value("type") == REG_SZ)
            EXPECT_EQ(c.value("terminated"), 1u) << c.subject;
    for (auto &c : standin::asked("RegEnumKeyExA"))
        EXPECT_EQ(c.value("size"), 20u) << c.subject;
}

class EntryTest : public InstallTest {
  protected:
    void SetUp() override
    {
        InstallTest::SetUp();
        usePlatform(standin::WIN95);
        baseMachine();
    }
    void TearDown() override { expectCleanRun(); }
    void fresh()
    {
        resetProgram();
        SetUp();
    }
    std::string value(const std::string &path, const char *name, DWORD *type = nullptr)
    {
        std::string v;
        EXPECT_TRUE(getValue(HKEY_LOCAL_MACHINE, path, name, &v, type)) << path << " " << name;
        return v;
    }
};

/* doDriver and doPort number their entries by one rule. */
struct Numbered {
    const char *what;
    std::string key;
    int (*make)(char *keyName); /* result; keyName receives doDriver's name */
};

const Numbered kNumbered[] = {
    {"class entry", kClass, [](char *keyName) { return doDriver(nullptr, keyName, 0); }},
    {"device entry", kPorts,
     [](char *keyName) {
         std::strcpy(keyName, "-");
         return doPort(nullptr, "0005", resource("COM3"));
     }},
};

TEST_F(EntryTest, NewEntriesTakeTheNumberAboveTheHighest)
{
    struct Case {
        const char *what;
        Texts existing;
        const char *created;
    } cases[] = {
        {"none", {}, "0001"},
        {"gaps not filled", {"0000", "0001", "0007"}, "0008"},
        {"letters count as 0, leading digits count", {"abc", "12xyz", "0003"}, "0013"},
        {"blanks and signs as strtol reads them", {" 42", "+7", "-90"}, "0043"},
        {"five digits above 9999", {"9999"}, "10000"},
        {"a name of 19 characters counts", {"0000000000000000050"}, "0051"},
        {"a name of 20 characters ends the enumeration",
         {"0001", "0002", "0002XXXXXXXXXXXXXXXXXX", "0005"}, "0003"},
        {"one below the 32-bit maximum", {"2147483646"}, "2147483647"},
    };
    for (const Numbered &n : kNumbered) {
        for (const Case &c : cases) {
            SCOPED_TRACE(std::string(n.what) + ": " + c.what);
            fresh();
            for (const auto &e : c.existing)
                makeKey(HKEY_LOCAL_MACHINE, n.key + "\\" + e);
            char keyName[12];
            EXPECT_EQ(n.make(keyName), 0);
            EXPECT_TRUE(standin::boxes().empty());
            if (n.key == kClass) {
                EXPECT_STREQ(keyName, c.created);
            }
            Texts expected = c.existing;
            expected.push_back(c.created);
            Texts got = subkeys(HKEY_LOCAL_MACHINE, n.key);
            std::sort(expected.begin(), expected.end());
            std::sort(got.begin(), got.end());
            EXPECT_EQ(got, expected);
            EXPECT_FALSE(valueNames(HKEY_LOCAL_MACHINE, n.key + "\\" + c.created).empty());
            EXPECT_EQ(standin::openRegistryHandles(), 0);
        }
    }
}

/* An existing entry is never written over: a number that is taken, or a
 * highest number that leaves no next one, ends the operation. */
TEST_F(EntryTest, ExistingEntriesAreNeverWrittenOver)
{
    for (const Numbered &n : kNumbered) {
        SCOPED_TRACE(n.what);
        /* The enumeration ends at the long name, so 0002 is chosen again. */
        fresh();
        makeKey(HKEY_LOCAL_MACHINE, n.key + "\\0001");
        makeKey(HKEY_LOCAL_MACHINE, n.key + "\\0001XXXXXXXXXXXXXXXXXXXX");
        setValue(HKEY_LOCAL_MACHINE, n.key + "\\0002", "Mine", REG_SZ, sz("kept"));
        std::string before = standin::exportReg("HKEY_LOCAL_MACHINE");
        char keyName[12];
        EXPECT_EQ(n.make(keyName), 0);
        EXPECT_EQ(errorBoxes(), Texts({"Subkey 0002 at " + n.key + " not created new"}));
        EXPECT_EQ(gotError, 1);
        if (n.key == kClass) {
            EXPECT_STREQ(keyName, "0002");
        }
        EXPECT_EQ(standin::exportReg("HKEY_LOCAL_MACHINE"), before);

        /* The enumeration fails at once: 0001 is chosen and exists. */
        fresh();
        setValue(HKEY_LOCAL_MACHINE, n.key + "\\0001", "Mine", REG_SZ, sz("kept"));
        standin::fail("RegEnumKeyExA", ERROR_ACCESS_DENIED, n.key);
        before = standin::exportReg("HKEY_LOCAL_MACHINE");
        EXPECT_EQ(n.make(keyName), 0);
        EXPECT_EQ(errorBoxes(), Texts({"Subkey 0001 at " + n.key + " not created new"}));
        EXPECT_EQ(standin::exportReg("HKEY_LOCAL_MACHINE"), before);

        /* The highest number is the 32-bit maximum, or saturates to it. */
        for (const char *top : {"2147483647", "2147483648", "99999999999", "0099999999999999999"}) {
            SCOPED_TRACE(top);
            fresh();
            makeKey(HKEY_LOCAL_MACHINE, n.key + "\\" + top);
            before = standin::exportReg("HKEY_LOCAL_MACHINE");
            EXPECT_EQ(n.make(keyName), -1);
            EXPECT_EQ(errorBoxes(), Texts({"No number left for a new subkey at " + n.key}));
            EXPECT_EQ(gotError, 1);
            EXPECT_EQ(standin::exportReg("HKEY_LOCAL_MACHINE"), before);
            EXPECT_EQ(standin::openRegistryHandles(), 0);
        }
    }
}

/* ---- the class entry ---- */

TEST_F(EntryTest, ClassEntryHoldsTheDriverStringsSubclassAndDcb)
{
    makeKey(HKEY_LOCAL_MACHINE, kClass + "\\0000");
    char keyName[12] = "";
    standin::clearAsked();
    ASSERT_EQ(doDriver(nullptr, keyName, 0), 0);
    expectWrittenForWriting(kClass);
    EXPECT_STREQ(keyName, "0001");
    EXPECT_TRUE(standin::boxes().empty());
    const std::string e = kClass + "\\0001";
    EXPECT_EQ(sorted(valueNames(HKEY_LOCAL_MACHINE, e)),
              sorted(Texts({"DevLoader", "DriverDesc", "InfPath", "PortDriver", "InfSection",
                     "EnumPropPages", "ConfigDialog", "Contention", "Enumerator", "PortSubClass",
                     "DCB"})));
    const char *texts[][2] = {
        {"DevLoader", "*vcomm"},
        {"DriverDesc", "Com Port Redirector"},
        {"InfPath", "QBLRED.INF"},
        {"PortDriver", "qblred.vxd"},
        {"InfSection", "Redirector"},
        {"EnumPropPages", "serialui.dll,EnumPropPages"},
        {"ConfigDialog", "serialui.dll"},
        {"Contention", "*vcd"},
        {"Enumerator", "serenum.vxd"},
    };
    for (const auto &t : texts) {
        DWORD type = 0;
        EXPECT_EQ(value(e, t[0], &type), sz(t[1])) << t[0];
        EXPECT_EQ(type, (DWORD)REG_SZ) << t[0];
    }
    DWORD type = 0;
    EXPECT_EQ(value(e, "PortSubClass", &type), bytes({0x01}));
    EXPECT_EQ(type, (DWORD)REG_BINARY);
    std::string dcb = value(e, "DCB", &type);
    EXPECT_EQ(type, (DWORD)REG_BINARY);
    EXPECT_EQ(hex(dcb), hex(bytes({0x1C, 0x00, 0x00, 0x00, 0x80, 0x25, 0x00, 0x00, 0x11, 0x33,
                                   0x00, 0x00, 0x00, 0x00, 0x0A, 0x00, 0x0A, 0x00, 0x08, 0x00,
                                   0x00, 0x11, 0x13, 0x00, 0x00, 0x00})));
    /* An installation more gives a second entry naming the same driver. */
    ASSERT_EQ(doDriver(nullptr, keyName, 0), 0);
    EXPECT_STREQ(keyName, "0002");
    EXPECT_EQ(value(kClass + "\\0002", "PortDriver"), sz("qblred.vxd"));
}

TEST_F(EntryTest, ClassEntryFailures)
{
    const Texts order = {"DevLoader", "DriverDesc", "InfPath", "PortDriver", "InfSection",
                         "EnumPropPages", "ConfigDialog", "Contention", "Enumerator",
                         "PortSubClass", "DCB"};
    /* Each value that cannot be set: the values before it stay. */
    for (size_t i = 0; i < order.size(); i++) {
        SCOPED_TRACE(order[i]);
        fresh();
        standin::fail("RegSetValueExA", ERROR_ACCESS_DENIED, "0001|" + order[i]);
        char keyName[12];
        EXPECT_EQ(doDriver(nullptr, keyName, 0), ERROR_ACCESS_DENIED);
        std::string message = order[i] == "DCB" ? "Can't set DCB value"
                                                : "Can't set " + order[i] + " value";
        EXPECT_EQ(errorBoxes(), Texts({message}));
        EXPECT_EQ(gotError, 1);
        EXPECT_EQ(sorted(valueNames(HKEY_LOCAL_MACHINE, kClass + "\\0001")),
              sorted(Texts(order.begin(), order.begin() + (long)i)));
        EXPECT_EQ(standin::openRegistryHandles(), 0);
    }

    struct Case {
        const char *what;
        void (*prepare)();
        int result;
        const char *message;
        bool entry;
    } cases[] = {
        {"class key cannot be opened",
         [] { standin::fail("RegOpenKeyExA", ERROR_ACCESS_DENIED, "Class\\Ports"); },
         ERROR_ACCESS_DENIED, "Couldn't open System\\CurrentControlSet\\Services\\Class\\Ports",
         false},
        {"class key missing",
         [] {
             HKEY k;
             ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "System\\CurrentControlSet\\Services\\Class",
                                     0, KEY_ALL_ACCESS, &k), ERROR_SUCCESS);
             ASSERT_EQ(RegDeleteKeyA(k, "Ports"), ERROR_SUCCESS);
             RegCloseKey(k);
         },
         ERROR_FILE_NOT_FOUND, "Couldn't open System\\CurrentControlSet\\Services\\Class\\Ports",
         false},
        {"entry cannot be created",
         [] { standin::fail("RegCreateKeyExA", ERROR_ACCESS_DENIED, "Ports\\0001"); },
         ERROR_ACCESS_DENIED,
         "Couldn't create subkey 0001 at System\\CurrentControlSet\\Services\\Class\\Ports", false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        fresh();
        c.prepare();
        char keyName[12] = "";
        EXPECT_EQ(doDriver(nullptr, keyName, 0), c.result);
        EXPECT_EQ(errorBoxes(), Texts({c.message}));
        EXPECT_EQ(keyExists(HKEY_LOCAL_MACHINE, kClass + "\\0001"), c.entry);
        if (std::string(c.what) == "entry cannot be created") {
            EXPECT_STREQ(keyName, "0001");
        }
        EXPECT_EQ(standin::openRegistryHandles(), 0);
    }

    /* Only mode 0 creates an entry. */
    fresh();
    char keyName[12] = "";
    EXPECT_NE(doDriver(nullptr, keyName, 1), 0);
    EXPECT_EQ(errorBoxes(), Texts({"Unknown driver setup mode 1"}));
    EXPECT_TRUE(subkeys(HKEY_LOCAL_MACHINE, kClass).empty());
}

/* ---- the device entry ---- */

TEST_F(EntryTest, DeviceEntryForCom5HoldsItsNamesAndConfigurations)
{
    makeKey(HKEY_LOCAL_MACHINE, kPorts);
    standin::clearAsked();
    ASSERT_EQ(doPort(nullptr, "0005", resource("COM5")), 0);
    expectWrittenForWriting(kPorts);
    EXPECT_TRUE(standin::boxes().empty());
    const std::string e = kPorts + "\\0001";
    EXPECT_EQ(sorted(valueNames(HKEY_LOCAL_MACHINE, e)),
              sorted(Texts({"Class", "HardwareID", "Mfg", "Driver", "DeviceDesc", "FRIENDLYNAME",
                     "PORTNAME", "ConfigFlags", "ForcedConfig"})));
    const char *texts[][2] = {
        {"Class", "Ports"},
        {"HardwareID", "Ports"},
        {"Mfg", "Quorbelle"},
        {"Driver", "Ports\\0005"},
        {"DeviceDesc", "Com Port Redirector (COM5)"},
        {"FRIENDLYNAME", "Com Port Redirector (COM5)"},
        {"PORTNAME", "COM5"},
    };
    for (const auto &t : texts) {
        DWORD type = 0;
        EXPECT_EQ(value(e, t[0], &type), sz(t[1])) << t[0];
        EXPECT_EQ(type, (DWORD)REG_SZ) << t[0];
    }
    DWORD type = 0;
    EXPECT_EQ(value(e, "ConfigFlags", &type), bytes({0x04, 0x00, 0x00, 0x00}));
    EXPECT_EQ(type, (DWORD)REG_BINARY);
    std::string forced = withAllocation(kConfig1, 0x108, 0x10F);
    EXPECT_EQ(hex(value(e, "ForcedConfig", &type)), hex(forced));
    EXPECT_EQ(type, (DWORD)REG_BINARY);
    EXPECT_EQ(forced.substr(20, 4), bytes({0x08, 0x01, 0x0F, 0x01}));
    EXPECT_EQ(sorted(valueNames(HKEY_LOCAL_MACHINE, e + "\\LogConfig")),
              sorted(Texts({"0", "1"})));
    EXPECT_EQ(hex(value(e + "\\LogConfig", "0", &type)), hex(kConfig0));
    EXPECT_EQ(type, (DWORD)REG_BINARY);
    EXPECT_EQ(hex(value(e + "\\LogConfig", "1", &type)), hex(forced));
    EXPECT_EQ(type, (DWORD)REG_BINARY);
}

TEST_F(EntryTest, ForcedConfigurationFollowsTheComName)
{
    struct Case {
        const char *name;
        std::string forced;
        std::string log0, log1;
    } cases[] = {
        {"COM3", withAllocation(kConfig0, 0x3E8, 0x3EF), withAllocation(kConfig0, 0x3E8, 0x3EF),
         kConfig1},
        {"COM4", withAllocation(kConfig0, 0x2E8, 0x2EF), withAllocation(kConfig0, 0x2E8, 0x2EF),
         kConfig1},
        {"COM9", withAllocation(kConfig1, 0x128, 0x12F), kConfig0,
         withAllocation(kConfig1, 0x128, 0x12F)},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        fresh();
        makeKey(HKEY_LOCAL_MACHINE, kPorts);
        ASSERT_EQ(doPort(nullptr, "0003", resource(c.name)), 0);
        const std::string e = kPorts + "\\0001";
        EXPECT_EQ(hex(value(e, "ForcedConfig")), hex(c.forced));
        EXPECT_EQ(hex(value(e + "\\LogConfig", "0")), hex(c.log0));
        EXPECT_EQ(hex(value(e + "\\LogConfig", "1")), hex(c.log1));
    }
    EXPECT_EQ(withAllocation(kConfig0, 0x3E8, 0x3EF).substr(20, 4), bytes({0xE8, 0x03, 0xEF, 0x03}));
}

TEST_F(EntryTest, MissingPortsKeyIsCreated)
{
    ASSERT_FALSE(keyExists(HKEY_LOCAL_MACHINE, kPorts));
    standin::clearAsked();
    ASSERT_EQ(doPort(nullptr, "0001", resource("COM3")), 0);
    expectWrittenForWriting("Enum\\Root");
    EXPECT_TRUE(standin::boxes().empty());
    EXPECT_EQ(subkeys(HKEY_LOCAL_MACHINE, kPorts), Texts({"0001"}));
    EXPECT_EQ(subkeys(HKEY_LOCAL_MACHINE, kPorts + "\\0001"), Texts({"LogConfig"}));
    EXPECT_EQ(value(kPorts + "\\0001", "PORTNAME"), sz("COM3"));
}

TEST_F(EntryTest, DeviceEntryValueFailures)
{
    const Texts order = {"Class", "HardwareID", "Mfg", "Driver", "DeviceDesc", "FRIENDLYNAME",
                         "PORTNAME", "ConfigFlags", "ForcedConfig"};
    for (size_t i = 0; i < order.size(); i++) {
        SCOPED_TRACE(order[i]);
        fresh();
        makeKey(HKEY_LOCAL_MACHINE, kPorts);
        standin::fail("RegSetValueExA", ERROR_ACCESS_DENIED, "0001|" + order[i]);
        EXPECT_EQ(doPort(nullptr, "0004", resource("COM3")), ERROR_ACCESS_DENIED);
        EXPECT_EQ(errorBoxes(), Texts({"Can't set " + order[i] + " value"}));
        EXPECT_EQ(gotError, 1);
        EXPECT_EQ(sorted(valueNames(HKEY_LOCAL_MACHINE, kPorts + "\\0001")),
              sorted(Texts(order.begin(), order.begin() + (long)i)));
        EXPECT_FALSE(keyExists(HKEY_LOCAL_MACHINE, kPorts + "\\0001\\LogConfig"));
        EXPECT_EQ(standin::openRegistryHandles(), 0);
    }
    for (const char *v : {"0", "1"}) {
        SCOPED_TRACE(v);
        fresh();
        makeKey(HKEY_LOCAL_MACHINE, kPorts);
        standin::fail("RegSetValueExA", ERROR_ACCESS_DENIED, std::string("LogConfig|") + v);
        EXPECT_EQ(doPort(nullptr, "0004", resource("COM3")), ERROR_ACCESS_DENIED);
        EXPECT_EQ(errorBoxes(), Texts({std::string("Can't set LogConfig ") + v + " value"}));
        EXPECT_EQ(valueNames(HKEY_LOCAL_MACHINE, kPorts + "\\0001").size(), order.size());
        EXPECT_EQ(valueNames(HKEY_LOCAL_MACHINE, kPorts + "\\0001\\LogConfig"),
                  v[0] == '0' ? Texts() : Texts({"0"}));
        EXPECT_EQ(standin::openRegistryHandles(), 0);
    }
}

TEST_F(EntryTest, DeviceEntryKeyFailures)
{
    struct Case {
        const char *what;
        void (*prepare)();
        int result;
        const char *message;
        Texts ports;        /* subkeys of Enum\Root\Ports afterwards; "-": no key */
        Texts entry;        /* subkeys of 0001 afterwards */
    } cases[] = {
        {"Ports cannot be opened",
         [] {
             makeKey(HKEY_LOCAL_MACHINE, "Enum\\Root\\Ports");
             standin::fail("RegOpenKeyExA", ERROR_ACCESS_DENIED, "Enum\\Root\\Ports");
         },
         ERROR_ACCESS_DENIED, "Couldn't open Enum\\Root\\Ports: 5", {}, {}},
        {"Enum\\Root cannot be opened",
         [] { standin::fail("RegOpenKeyExA", ERROR_ACCESS_DENIED, "Enum\\Root", 2); },
         ERROR_ACCESS_DENIED, "Couldn't open Enum\\Root", {"-"}, {}},
        {"Enum\\Root missing",
         [] {
             HKEY k;
             ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Enum", 0, KEY_ALL_ACCESS, &k),
                       ERROR_SUCCESS);
             ASSERT_EQ(RegDeleteKeyA(k, "Root"), ERROR_SUCCESS);
             RegCloseKey(k);
         },
         ERROR_FILE_NOT_FOUND, "Couldn't open Enum\\Root", {"-"}, {}},
        {"Ports cannot be created",
         [] { standin::fail("RegCreateKeyExA", ERROR_ACCESS_DENIED, "Enum\\Root\\Ports"); },
         ERROR_ACCESS_DENIED, "Couldn't create subkey Ports at Enum\\Root", {"-"}, {}},
        {"Ports existed when it was created",
         [] {
             makeKey(HKEY_LOCAL_MACHINE, "Enum\\Root\\Ports");
             standin::fail("RegOpenKeyExA", ERROR_FILE_NOT_FOUND, "Enum\\Root\\Ports");
         },
         0, "Subkey Ports at Enum\\Root not created new", {}, {}},
        {"entry cannot be created",
         [] { standin::fail("RegCreateKeyExA", ERROR_ACCESS_DENIED, "Ports\\0001"); },
         ERROR_ACCESS_DENIED, "Couldn't create subkey 0001 at Enum\\Root\\Ports", {}, {}},
        {"LogConfig cannot be created",
         [] { standin::fail("RegCreateKeyExA", ERROR_ACCESS_DENIED, "LogConfig"); },
         ERROR_ACCESS_DENIED, "Couldn't create subkey LogConfig at Enum\\Root\\Ports", {"0001"},
         {}},
        /* A creation that succeeds but reports an existing key. */
        {"LogConfig existed already",
         [] { standin::fail("RegCreateKeyExA", ERROR_SUCCESS, "LogConfig"); }, 0,
         "Subkey LogConfig at Enum\\Root\\Ports not created new", {"0001"}, {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        fresh();
        c.prepare();
        EXPECT_EQ(doPort(nullptr, "0002", resource("COM3")), c.result);
        EXPECT_EQ(errorBoxes(), Texts({c.message}));
        EXPECT_EQ(gotError, 1);
        if (c.ports == Texts({"-"})) {
            EXPECT_FALSE(keyExists(HKEY_LOCAL_MACHINE, kPorts));
        } else {
            EXPECT_EQ(subkeys(HKEY_LOCAL_MACHINE, kPorts), c.ports);
            if (!c.ports.empty()) {
                EXPECT_EQ(subkeys(HKEY_LOCAL_MACHINE, kPorts + "\\0001"), c.entry);
                /* Rows 1 to 9 stay. */
                EXPECT_EQ(valueNames(HKEY_LOCAL_MACHINE, kPorts + "\\0001").size(), 9u);
            }
        }
        EXPECT_EQ(standin::openRegistryHandles(), 0);
    }
}

} // namespace
