/*
 * after_run.cpp - what the driver does once the program has ended: the
 * checked keys exported as regedit exports them, and driver services
 * started the way Windows NT finds their driver.  Done here, in the
 * driver's own process, they cost no Wine process start each.
 */
#include "after_run.h"
#include "nt_image_path.h"

#include <cstdio>
#include <cwchar>
#include <vector>

namespace {

void appendHex(std::wstring &out, const BYTE *data, DWORD size)
{
    wchar_t buf[4];
    for (DWORD i = 0; i < size; i++) {
        swprintf(buf, 4, L"%02x", data[i]);
        if (i) out += L',';
        out += buf;
    }
}

/* A name or text as regedit quotes it; the escapes are those a .reg
 * reader takes back. */
std::wstring quoted(const wchar_t *s, size_t n)
{
    std::wstring out = L"\"";
    for (size_t i = 0; i < n; i++) {
        switch (s[i]) {
        case L'\\': out += L"\\\\"; break;
        case L'"': out += L"\\\""; break;
        case L'\n': out += L"\\n"; break;
        case L'\r': out += L"\\r"; break;
        case L'\0': out += L"\\0"; break;
        default: out += s[i];
        }
    }
    return out + L"\"";
}

/* One value line, as Wine's regedit writes it: a REG_SZ as text (its
 * terminator dropped), a four-byte REG_DWORD as dword:, REG_BINARY as
 * hex:, every other type as hex(N): with the stored bytes (UTF-16 for the
 * string types). */
void exportValue(std::wstring &out, const wchar_t *name, DWORD nameLen, DWORD type,
                 const BYTE *data, DWORD size)
{
    out += nameLen ? quoted(name, nameLen) : std::wstring(L"@");
    out += L'=';
    if (type == REG_SZ) {
        size_t n = size / sizeof(wchar_t);
        const wchar_t *text = reinterpret_cast<const wchar_t *>(data);
        if (n && text[n - 1] == 0) n--;
        out += quoted(text, n);
    } else if (type == REG_DWORD && size == 4) {
        wchar_t buf[16];
        DWORD v = data[0] | data[1] << 8 | data[2] << 16 | (DWORD)data[3] << 24;
        swprintf(buf, 16, L"dword:%08lx", (unsigned long)v);
        out += buf;
    } else {
        if (type == REG_BINARY) {
            out += L"hex:";
        } else {
            wchar_t buf[16];
            swprintf(buf, 16, L"hex(%lx):", (unsigned long)type);
            out += buf;
        }
        appendHex(out, data, size);
    }
    out += L"\r\n";
}

/* The key's section, its values, then each subkey's, as regedit /E
 * walks a tree. */
void exportKey(std::wstring &out, HKEY key, const std::wstring &path)
{
    out += L"\r\n[" + path + L"]\r\n";
    DWORD subkeys = 0, maxSub = 0, values = 0, maxName = 0, maxData = 0;
    if (RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &subkeys, &maxSub, nullptr, &values, &maxName,
                         &maxData, nullptr, nullptr) != ERROR_SUCCESS)
        return;
    std::vector<wchar_t> name(maxName + 2);
    std::vector<BYTE> data(maxData + 2);
    for (DWORD i = 0; i < values; i++) {
        DWORD nameLen = (DWORD)name.size(), size = (DWORD)data.size(), type = 0;
        if (RegEnumValueW(key, i, name.data(), &nameLen, nullptr, &type, data.data(), &size) !=
            ERROR_SUCCESS)
            break;
        exportValue(out, name.data(), nameLen, type, data.data(), size);
    }
    std::vector<wchar_t> sub(maxSub + 2);
    for (DWORD i = 0; i < subkeys; i++) {
        DWORD len = (DWORD)sub.size();
        if (RegEnumKeyExW(key, i, sub.data(), &len, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        HKEY child;
        if (RegOpenKeyExW(key, sub.data(), 0, KEY_READ | KEY_WOW64_64KEY, &child) != ERROR_SUCCESS)
            continue;
        exportKey(out, child, path + L"\\" + std::wstring(sub.data(), len));
        RegCloseKey(child);
    }
}

std::wstring wide(const std::string &s)
{
    int n = MultiByteToWideChar(CP_ACP, 0, s.c_str(), (int)s.size(), nullptr, 0);
    std::wstring out(n, L'\0');
    if (n) MultiByteToWideChar(CP_ACP, 0, s.c_str(), (int)s.size(), &out[0], n);
    return out;
}

} // namespace

void waitWhileStarting(SC_HANDLE svc)
{
    SERVICE_STATUS st = {};
    for (int i = 0; i < 250 && QueryServiceStatus(svc, &st) && st.dwCurrentState == SERVICE_START_PENDING; i++)
        Sleep(20);
}

bool exportKeys(const std::vector<std::string> &keys, const std::string &file)
{
    std::wstring out = L"Windows Registry Editor Version 5.00\r\n";
    for (const std::string &path : keys) {
        size_t slash = path.find('\\');
        HKEY root = rootKey(path.substr(0, slash));
        std::string sub = slash == std::string::npos ? "" : path.substr(slash + 1);
        HKEY key;
        /* Named as the registry's 64-bit view names them, as a 64-bit
         * regedit exports them; a missing key is left out, as regedit
         * /E writes nothing for it. */
        if (!root || RegOpenKeyExW(root, wide(sub).c_str(), 0, KEY_READ | KEY_WOW64_64KEY, &key) !=
                         ERROR_SUCCESS)
            continue;
        exportKey(out, key, wide(path));
        RegCloseKey(key);
    }
    FILE *f = fopen(file.c_str(), "wb");
    if (!f) return false;
    fwrite("\xff\xfe", 1, 2, f);
    for (wchar_t c : out) {
        unsigned char b[2] = {(unsigned char)(c & 0xff), (unsigned char)(c >> 8)};
        fwrite(b, 1, 2, f);
    }
    return fclose(f) == 0;
}

std::string startAsNT(const std::string &name)
{
    std::string keyPath = "System\\CurrentControlSet\\Services\\" + name;
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, KEY_QUERY_VALUE | KEY_SET_VALUE | KEY_WOW64_64KEY,
                      &key) != ERROR_SUCCESS)
        return " | absent";
    char image[1024];
    DWORD size = sizeof image - 1, type = 0;
    LONG rc = RegQueryValueExA(key, "ImagePath", nullptr, &type, (BYTE *)image, &size);
    if (rc != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ)) {
        RegCloseKey(key);
        return " | absent";
    }
    image[size] = 0;
    std::string stored = image, full = ntImagePath(stored);
    if (full != stored)
        RegSetValueExA(key, "ImagePath", 0, REG_EXPAND_SZ, (const BYTE *)full.c_str(),
                       (DWORD)full.size() + 1);
    RegCloseKey(key);
    SC_HANDLE scm = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (scm) {
        SC_HANDLE svc = OpenServiceA(scm, name.c_str(), SERVICE_START | SERVICE_QUERY_STATUS);
        if (svc) {
            StartServiceA(svc, 0, nullptr);
            waitWhileStarting(svc);
            CloseServiceHandle(svc);
        }
    }
    std::string state = serviceState(scm, name);
    if (scm) CloseServiceHandle(scm);
    return full + " | " + state;
}
