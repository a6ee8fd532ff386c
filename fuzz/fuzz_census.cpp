/*
 * fuzz_census.cpp - the port census of the Windows 95 sequence over a
 * Config Manager registry built from the input.
 *
 * The input describes up to 24 devices: a subkey name of the enumeration
 * (up to 30 characters, so that names that do not fit the census's buffer
 * occur), its "HardWareKey" and "Allocation" values and, under
 * HKLM\Enum\<hardware key>, "PORTNAME" and "Driver" - each present or
 * not, of any type, of any length, with or without a terminator.  Then
 * doit95 runs on it; the uninstall key cannot be created, so the run ends
 * at finishInstall's first step without starting the installer.
 *
 * Checked: handles all closed; curPort within the table; every recorded
 * entry terminated and named COM...; every recorded name is a PORTNAME of
 * the input, or the first 19 characters of one of 20 or more; at most 20
 * entries; boxes all "Error" boxes with the error flag set; a "Couldn't
 * read" failure leaves the registry without a new class or device entry.
 */
#include "fuzz_common.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>

namespace {

const char *const kCmRoot = "Config Manager\\Enum";

void setRaw(HKEY root, const std::string &path, const char *name, DWORD type,
            const std::string &bytes)
{
    HKEY k;
    DWORD disp;
    if (RegCreateKeyExA(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, &disp) !=
        ERROR_SUCCESS)
        return;
    RegSetValueExA(k, name, 0, type, (const BYTE *)bytes.data(), (DWORD)bytes.size());
    RegCloseKey(k);
}

void makeKey(HKEY root, const std::string &path)
{
    HKEY k;
    DWORD disp;
    if (RegCreateKeyExA(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, &disp) ==
        ERROR_SUCCESS)
        RegCloseKey(k);
}

DWORD pickType(ByteReader &in)
{
    static const DWORD types[] = {REG_SZ, REG_SZ, REG_SZ, REG_BINARY, REG_DWORD, REG_EXPAND_SZ,
                                  REG_MULTI_SZ, 0, 11};
    return types[in.range(sizeof types / sizeof types[0])];
}

/* A text value's bytes: the text, with its terminator or not. */
std::string textBytes(ByteReader &in, const std::string &text)
{
    return in.flag() ? text + std::string(1, '\0') : text;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > 16384)
        return -1;
    freshMachine();
    ByteReader in(data, size);
    makeKey(HKEY_LOCAL_MACHINE, driverPath);
    makeKey(HKEY_LOCAL_MACHINE, abovePath);
    makeKey(HKEY_DYN_DATA, kCmRoot);

    std::set<std::string> portNames;
    int devices = (int)in.range(25);
    for (int i = 0; i < devices && in.left > 0; i++) {
        std::string id = keyNameFrom(in.text(30), "D" + std::to_string(i));
        std::string cm = std::string(kCmRoot) + "\\" + id;
        makeKey(HKEY_DYN_DATA, cm);

        /* Each read in its own statement: the input is read in a fixed order. */
        std::string hw = "BIOS\\*PNP0501\\" + std::to_string(i);
        if (in.flag())
            hw = in.text(120);
        if (in.flag()) {
            DWORD type = pickType(in);
            std::string bytes = textBytes(in, hw);
            setRaw(HKEY_DYN_DATA, cm, "HardWareKey", type, bytes);
        }
        std::string hwPath = "Enum\\" + hw.substr(0, hw.find('\0'));
        if (in.flag())
            makeKey(HKEY_LOCAL_MACHINE, hwPath);

        if (in.flag()) {
            bool com = in.flag();
            std::string port = in.text(24);
            if (com)
                port = "COM" + port;
            portNames.insert(port.substr(0, port.find('\0')));
            DWORD type = pickType(in);
            std::string bytes = textBytes(in, port);
            setRaw(HKEY_LOCAL_MACHINE, hwPath, "PORTNAME", type, bytes);
        }
        if (in.flag()) {
            DWORD type = pickType(in);
            std::string driver = in.text(40);
            std::string bytes = textBytes(in, driver);
            setRaw(HKEY_LOCAL_MACHINE, hwPath, "Driver", type, bytes);
        }
        if (in.flag()) {
            DWORD type = pickType(in);
            std::string alloc = in.text(255);
            setRaw(HKEY_DYN_DATA, cm, "Allocation", type, alloc);
        }
    }
    const std::string classBefore = standin::exportReg(std::string("HKEY_LOCAL_MACHINE\\") + driverPath);
    const std::string portsBefore = standin::exportReg(std::string("HKEY_LOCAL_MACHINE\\") + portPath);
    standin::fail("RegCreateKeyExA", ERROR_ACCESS_DENIED, "Uninstall", 1, 0);

    int aborted = -1;
    int rc = doit95(nullptr, &aborted);
    FUZZ_CHECK(rc == 0, "doit95 returned %d", rc);
    FUZZ_CHECK(aborted == 0, "aborted flag %d", aborted);
    checkNoHandlesLeft("doit95");
    FUZZ_CHECK(curPort >= 0 && curPort <= MAX_PORTS, "curPort %d", curPort);
    for (int i = 0; i < curPort; i++) {
        const PortEntry &p = Ports[i];
        FUZZ_CHECK(terminatedWithin(p.name, sizeof p.name), "entry %d name not terminated", i);
        FUZZ_CHECK(terminatedWithin(p.driver, sizeof p.driver), "entry %d driver not terminated", i);
        FUZZ_CHECK(strncmp(p.name, "COM", 3) == 0, "entry %d named \"%s\"", i, p.name);
        /* A name that filled its buffer without a terminator is cut to 19
         * characters. */
        bool ofInput = portNames.count(p.name) == 1;
        for (const std::string &n : portNames)
            ofInput = ofInput || (strlen(p.name) == sizeof p.name - 1 && n.size() >= sizeof p.name &&
                                  n.compare(0, sizeof p.name - 1, p.name) == 0);
        FUZZ_CHECK(ofInput, "entry %d name \"%s\" is no PORTNAME of the input", i, p.name);
    }

    auto boxes = standin::boxes();
    if (getenv("FUZZ_VERBOSE")) {
        fprintf(stderr, "census: %d ports:", curPort);
        for (int i = 0; i < curPort; i++)
            fprintf(stderr, " %s@%#x", Ports[i].name, Ports[i].ioBase);
        fprintf(stderr, "\n");
        for (const auto &b : boxes)
            fprintf(stderr, "  box: %s\n", b.text.c_str());
    }
    bool readFailure = false;
    for (const auto &b : boxes) {
        FUZZ_CHECK(b.caption == "Error" && b.type == 0, "box \"%s\" captioned \"%s\"",
                   b.text.c_str(), b.caption.c_str());
        FUZZ_CHECK(b.text.size() <= 199, "box text of %zu characters", b.text.size());
        if (b.text.rfind("Couldn't read ", 0) == 0)
            readFailure = true;
    }
    FUZZ_CHECK(gotError == (boxes.empty() ? 0 : 1), "error flag %d with %zu boxes", gotError,
               boxes.size());
    if (readFailure) {
        FUZZ_CHECK(standin::exportReg(std::string("HKEY_LOCAL_MACHINE\\") + driverPath) ==
                       classBefore,
                   "class entry written after a census read failure");
        FUZZ_CHECK(standin::exportReg(std::string("HKEY_LOCAL_MACHINE\\") + portPath) ==
                       portsBefore,
                   "device entry written after a census read failure");
    }
    return 0;
}
