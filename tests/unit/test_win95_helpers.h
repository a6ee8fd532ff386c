/*
 * test_win95_helpers.h - machines and registry checks shared by the tests
 * of the Windows 95 port registration.
 */
#ifndef TEST_WIN95_HELPERS_H
#define TEST_WIN95_HELPERS_H

#include "fixture.h"

#include <cstdio>
#include <string>
#include <vector>

namespace w95 {

inline std::string bytes(std::initializer_list<int> list)
{
    std::string s;
    for (int b : list)
        s.push_back((char)(unsigned char)b);
    return s;
}

inline void put32(std::string &s, unsigned long v)
{
    for (int i = 0; i < 4; i++)
        s.push_back((char)((v >> (8 * i)) & 0xFF));
}

inline void put16(std::string &s, unsigned v)
{
    s.push_back((char)(v & 0xFF));
    s.push_back((char)((v >> 8) & 0xFF));
}

/* An I/O resource descriptor with one range, as the Config Manager
 * allocates it (32 bytes). */
inline std::string ioDescriptor(unsigned base, unsigned end)
{
    std::string d;
    put32(d, 32);
    put32(d, 2);
    put16(d, 1);
    put16(d, 12);
    put16(d, base);
    put16(d, end);
    put16(d, 0);
    d.push_back(0);
    d.push_back(3);
    put16(d, 0xFFFF);
    put16(d, 8);
    put16(d, base);
    put16(d, end);
    put16(d, 0);
    d.push_back(0);
    d.push_back(3);
    return d;
}

/* A descriptor of another resource type (an IRQ, type 4) of len bytes. */
inline std::string otherDescriptor(unsigned long len = 16, unsigned long type = 4)
{
    std::string d;
    put32(d, len);
    put32(d, type);
    while (d.size() < len)
        d.push_back(0x07);
    return d;
}

/* A descriptor of len bytes that holds only its length (len below 8
 * overlaps the next descriptor). */
inline std::string lengthOnly(unsigned long len)
{
    std::string d;
    put32(d, len);
    return d.substr(0, len < 4 ? len : 4) + std::string(len > 4 ? len - 4 : 0, '\0');
}

/* value with the 32-bit word at offset at set to v. */
inline std::string withLength(std::string value, size_t at, unsigned long v)
{
    std::string w;
    put32(w, v);
    return value.replace(at, 4, w);
}

/* Version, priority, the descriptors and the end mark. */
inline std::string allocation(const std::string &descriptors, unsigned long version = 0x400)
{
    std::string a;
    put32(a, version);
    put32(a, 0x3000);
    a += descriptors;
    put32(a, 0);
    return a;
}

inline std::string allocIo(unsigned base, unsigned end)
{
    return allocation(ioDescriptor(base, end));
}

inline std::string sz(const std::string &text) { return text + std::string(1, '\0'); }

inline void setValue(HKEY root, const std::string &path, const char *name, DWORD type,
                     const std::string &data)
{
    HKEY k;
    DWORD disp;
    ASSERT_EQ(RegCreateKeyExA(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k,
                              &disp),
              ERROR_SUCCESS)
        << path;
    ASSERT_EQ(RegSetValueExA(k, name, 0, type, (const BYTE *)data.data(), (DWORD)data.size()),
              ERROR_SUCCESS);
    RegCloseKey(k);
}

inline void makeKey(HKEY root, const std::string &path)
{
    HKEY k;
    DWORD disp;
    ASSERT_EQ(RegCreateKeyExA(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k,
                              &disp),
              ERROR_SUCCESS)
        << path;
    RegCloseKey(k);
}

/* A Config Manager device: HKEY_DYN_DATA\Config Manager\Enum\<id> with
 * "HardWareKey" and "Allocation", and HKLM\Enum\<hardware key> with
 * "PORTNAME" and "Driver" (a null text leaves the value out). */
inline void addDevice(const std::string &id, const std::string &hardwareKey, const char *portName,
                      const char *driver, const std::string &alloc)
{
    std::string cm = std::string("Config Manager\\Enum\\") + id;
    setValue(HKEY_DYN_DATA, cm, "HardWareKey", REG_SZ, sz(hardwareKey));
    setValue(HKEY_DYN_DATA, cm, "Allocation", REG_BINARY, alloc);
    std::string hw = "Enum\\" + hardwareKey;
    makeKey(HKEY_LOCAL_MACHINE, hw);
    if (portName)
        setValue(HKEY_LOCAL_MACHINE, hw, "PORTNAME", REG_SZ, sz(portName));
    if (driver)
        setValue(HKEY_LOCAL_MACHINE, hw, "Driver", REG_SZ, sz(driver));
}

/* The keys every Windows 95 machine has: the Ports class key and
 * Enum\Root. */
inline void baseMachine()
{
    makeKey(HKEY_LOCAL_MACHINE, "System\\CurrentControlSet\\Services\\Class\\Ports");
    makeKey(HKEY_LOCAL_MACHINE, "Enum\\Root");
}

/* A Windows 95 machine with COM1, COM2 and LPT1, their class entries
 * 0000 to 0002 and an Enum\Root without Ports. */
inline void defaultMachine()
{
    addDevice("C29A1D30", "BIOS\\*PNP0501\\0D", "COM1", "Ports\\0000", allocIo(0x3F8, 0x3FF));
    addDevice("C29A1E10", "BIOS\\*PNP0501\\0E", "COM2", "Ports\\0001", allocIo(0x2F8, 0x2FF));
    addDevice("C29A1F00", "BIOS\\*PNP0400\\0C", "LPT1", "Ports\\0002", allocIo(0x378, 0x37A));
    const std::string cls = "System\\CurrentControlSet\\Services\\Class\\Ports\\";
    setValue(HKEY_LOCAL_MACHINE, cls + "0000", "PortDriver", REG_SZ, sz("serial.vxd"));
    setValue(HKEY_LOCAL_MACHINE, cls + "0001", "PortDriver", REG_SZ, sz("serial.vxd"));
    setValue(HKEY_LOCAL_MACHINE, cls + "0002", "PortDriver", REG_SZ, sz("lpt.vxd"));
    setValue(HKEY_LOCAL_MACHINE, "Enum\\Root\\*PNP0C01\\0000", "Class", REG_SZ, sz("System"));
}

/* A value's type and bytes; false if it is not there. */
inline bool getValue(HKEY root, const std::string &path, const char *name, std::string *data,
                     DWORD *type = nullptr)
{
    HKEY k;
    if (RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, &k) != ERROR_SUCCESS)
        return false;
    DWORD len = 0, t = 0;
    LONG rc = RegQueryValueExA(k, name, nullptr, &t, nullptr, &len);
    if (rc == ERROR_SUCCESS) {
        std::string buf(len, '\0');
        rc = RegQueryValueExA(k, name, nullptr, &t, (LPBYTE)&buf[0], &len);
        buf.resize(len);
        if (data)
            *data = buf;
        if (type)
            *type = t;
    }
    RegCloseKey(k);
    return rc == ERROR_SUCCESS;
}

inline bool keyExists(HKEY root, const std::string &path)
{
    HKEY k;
    if (RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, &k) != ERROR_SUCCESS)
        return false;
    RegCloseKey(k);
    return true;
}

/* Names of the key's values, in the order the registry keeps them. */
inline std::vector<std::string> valueNames(HKEY root, const std::string &path)
{
    std::vector<std::string> names;
    HKEY k;
    if (RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, &k) != ERROR_SUCCESS)
        return names;
    for (DWORD i = 0;; i++) {
        char name[256];
        DWORD len = sizeof name;
        if (RegEnumValueA(k, i, name, &len, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        names.push_back(name);
    }
    RegCloseKey(k);
    return names;
}

inline std::vector<std::string> subkeys(HKEY root, const std::string &path)
{
    std::vector<std::string> names;
    HKEY k;
    if (RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, &k) != ERROR_SUCCESS)
        return names;
    for (DWORD i = 0;; i++) {
        char name[256];
        DWORD len = sizeof name;
        if (RegEnumKeyExA(k, i, name, &len, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        names.push_back(name);
    }
    RegCloseKey(k);
    return names;
}

/* The texts of the boxes shown so far; every one must be an error box
 * owned as given. */
inline std::vector<std::string> errorBoxes()
{
    std::vector<std::string> texts;
    for (const auto &b : standin::boxes()) {
        EXPECT_EQ(b.caption, "Error") << b.text;
        EXPECT_EQ(b.type, 0u) << b.text;
        texts.push_back(b.text);
    }
    return texts;
}

inline std::string hex(const std::string &s)
{
    std::string out;
    char buf[4];
    for (unsigned char c : s) {
        snprintf(buf, sizeof buf, "%02X ", c);
        out += buf;
    }
    return out;
}

using Texts = std::vector<std::string>;

} // namespace w95

#endif
