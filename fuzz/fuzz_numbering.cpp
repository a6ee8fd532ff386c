/*
 * fuzz_numbering.cpp - the numbering of new class and device entries over
 * fuzzed subkey names.
 *
 * The input gives the subkey names already under the Ports class key and
 * under Enum\Root\Ports (which may be missing), each with a value of its
 * own.  doDriver and then doPort run; each new entry must take the number
 * one above the highest leading decimal number (strtol, 32-bit) of the
 * names enumerated before the first name of 20 characters or more, printed
 * with at least four digits, and no existing entry may be written over:
 * an existing one is reported as "not created new" and left as it was.
 */
#include "fuzz_common.h"

#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

std::vector<std::string> subkeysOf(const std::string &path)
{
    std::vector<std::string> names;
    HKEY k;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &k) != ERROR_SUCCESS)
        return names;
    for (DWORD i = 0;; i++) {
        char name[512];
        DWORD len = sizeof name;
        if (RegEnumKeyExA(k, i, name, &len, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        names.push_back(name);
    }
    RegCloseKey(k);
    return names;
}

/* The expected next name, or "" when no number is left. */
std::string expectedName(const std::vector<std::string> &names)
{
    long long highest = 0;
    for (const auto &n : names) {
        if (n.size() >= 20)
            break;
        long long v = strtoll(n.c_str(), nullptr, 10);
        if (v > INT_MAX)
            v = INT_MAX;
        if (v > highest)
            highest = v;
    }
    if (highest >= INT_MAX)
        return "";
    char buf[16];
    snprintf(buf, sizeof buf, "%04lld", highest + 1);
    return buf;
}

void addEntries(ByteReader &in, const std::string &parent, int count)
{
    for (int i = 0; i < count && in.left > 0; i++) {
        std::string name = keyNameFrom(in.text(28), "x");
        std::string path = parent + "\\" + name;
        HKEY k;
        DWORD disp;
        if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                            nullptr, &k, &disp) != ERROR_SUCCESS)
            continue;
        static const char mark[] = "earlier entry";
        RegSetValueExA(k, "Mark", 0, REG_SZ, (const BYTE *)mark, sizeof mark);
        RegCloseKey(k);
    }
}

bool hasBox(const std::string &text)
{
    for (const auto &b : standin::boxes())
        if (b.text == text)
            return true;
    return false;
}

/* Checks one numbering step: the name chosen, the entry created new or
 * reported, earlier entries kept. */
void checkStep(const char *what, const std::string &parent, const std::vector<std::string> &names,
               const std::string &exportBefore, const std::string &chosen, int rc)
{
    std::string want = expectedName(names);
    if (want.empty()) {
        FUZZ_CHECK(rc != 0, "%s: success without a number left", what);
        FUZZ_CHECK(subkeysOf(parent).size() == names.size(), "%s: entry added without a number",
                   what);
        return;
    }
    FUZZ_CHECK(chosen == want, "%s: chose \"%s\", expected \"%s\"", what, chosen.c_str(),
               want.c_str());
    bool existed = false;
    for (const auto &n : names)
        if (strcasecmp(n.c_str(), want.c_str()) == 0)
            existed = true;
    if (existed) {
        FUZZ_CHECK(rc == 0, "%s: existing entry gave %d", what, rc);
        FUZZ_CHECK(hasBox("Subkey " + want + " at " + parent + " not created new"),
                   "%s: existing entry %s not reported", what, want.c_str());
        FUZZ_CHECK(standin::exportReg("HKEY_LOCAL_MACHINE\\" + parent) == exportBefore,
                   "%s: existing entry %s changed", what, want.c_str());
    } else {
        FUZZ_CHECK(rc == 0, "%s: new entry %s gave %d", what, want.c_str(), rc);
        FUZZ_CHECK(subkeysOf(parent).size() == names.size() + 1, "%s: not one entry added", what);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > 8192)
        return -1;
    freshMachine();
    ByteReader in(data, size);
    const std::string classKey = driverPath;
    const std::string portsKey = portPath;
    HKEY k;
    DWORD disp;
    RegCreateKeyExA(HKEY_LOCAL_MACHINE, classKey.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                    &k, &disp);
    RegCloseKey(k);
    RegCreateKeyExA(HKEY_LOCAL_MACHINE, abovePath, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k,
                    &disp);
    RegCloseKey(k);
    bool portsExist = in.flag();
    int resource = (int)in.range((unsigned)maxResources);
    addEntries(in, classKey, (int)in.range(13));
    if (portsExist)
        addEntries(in, portsKey, (int)in.range(13));

    std::vector<std::string> classNames = subkeysOf(classKey);
    std::string classBefore = standin::exportReg("HKEY_LOCAL_MACHINE\\" + classKey);
    char keyName[12];
    memset(keyName, 0x55, sizeof keyName);
    int rc = doDriver(nullptr, keyName, 0);
    checkNoHandlesLeft("doDriver");
    FUZZ_CHECK(rc != 0 || terminatedWithin(keyName, sizeof keyName), "key name not terminated");
    checkStep("doDriver", classKey, classNames, classBefore, rc == 0 ? keyName : "", rc);
    if (rc != 0)
        return 0;

    std::vector<std::string> portNames = subkeysOf(portsKey);
    std::string portsBefore = standin::exportReg("HKEY_LOCAL_MACHINE\\" + portsKey);
    size_t boxesBefore = standin::boxes().size();
    rc = doPort(nullptr, keyName, &Resources[resource]);
    checkNoHandlesLeft("doPort");
    std::string chosen;
    std::vector<std::string> after = subkeysOf(portsKey);
    for (const auto &n : after) {
        bool old = false;
        for (const auto &o : portNames)
            old = old || strcasecmp(o.c_str(), n.c_str()) == 0;
        if (!old)
            chosen = n;
    }
    if (chosen.empty()) {
        /* No new entry: the chosen number was taken, or none was left. */
        std::string want = expectedName(portNames);
        chosen = want;
    }
    checkStep("doPort", portsKey, portNames, portsBefore, chosen, rc);
    if (rc == 0 && standin::boxes().size() == boxesBefore) {
        char desc[64];
        snprintf(desc, sizeof desc, "Com Port Redirector (%s)", Resources[resource].name);
        HKEY e;
        std::string path = portsKey + "\\" + chosen;
        FUZZ_CHECK(RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &e) ==
                       ERROR_SUCCESS,
                   "new device entry %s missing", chosen.c_str());
        char buf[64];
        DWORD len = sizeof buf;
        FUZZ_CHECK(RegQueryValueExA(e, "DeviceDesc", nullptr, nullptr, (BYTE *)buf, &len) ==
                           ERROR_SUCCESS &&
                       strcmp(buf, desc) == 0,
                   "DeviceDesc of %s wrong", chosen.c_str());
        len = sizeof buf;
        std::string driver = std::string("Ports\\") + keyName;
        FUZZ_CHECK(RegQueryValueExA(e, "Driver", nullptr, nullptr, (BYTE *)buf, &len) ==
                           ERROR_SUCCESS &&
                       driver == buf,
                   "Driver of %s wrong", chosen.c_str());
        RegCloseKey(e);
    }
    return 0;
}
