/*
 * bench_win95 - time of one Windows 95 installation (doit95 through the
 * stand-in) on a machine with 1,000 and with 10,000 Config Manager devices
 * and as many port class entries, and the ratio of the two.
 *
 *   bench_win95 [--check] [--runs N]
 *
 * Prints the figures.  With --check it exits 1 when the ratio exceeds 12
 * (growth worse than linear); without, it exits 0 whenever the runs were
 * real installations.  The application installer is not on the machine:
 * its launch fails with its message, which costs the same in every run.
 */
#include "install.h"
#include "standin.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

const char kClass[] = "System\\CurrentControlSet\\Services\\Class\\Ports";

void setValue(HKEY root, const std::string &path, const char *name, DWORD type,
              const void *data, DWORD size)
{
    HKEY k;
    DWORD disp;
    if (RegCreateKeyExA(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, &disp) !=
        ERROR_SUCCESS) {
        std::fprintf(stderr, "bench: cannot create %s\n", path.c_str());
        std::exit(2);
    }
    RegSetValueExA(k, name, 0, type, (const BYTE *)data, size);
    RegCloseKey(k);
}

void setText(HKEY root, const std::string &path, const char *name, const std::string &text)
{
    setValue(root, path, name, REG_SZ, text.c_str(), (DWORD)text.size() + 1);
}

/* An allocation with one I/O range. */
std::vector<unsigned char> allocation(unsigned base, unsigned end)
{
    std::vector<unsigned char> a = {0x00, 0x04, 0x00, 0x00, 0x00, 0x30, 0x00, 0x00,
                                    0x20, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00,
                                    0x01, 0x00, 0x0C, 0x00};
    const unsigned words[] = {base, end, 0};
    for (unsigned w : words) {
        a.push_back((unsigned char)(w & 0xFF));
        a.push_back((unsigned char)(w >> 8));
    }
    a.push_back(0);
    a.push_back(3);
    const unsigned range[] = {0xFFFF, 8, base, end, 0};
    for (unsigned w : range) {
        a.push_back((unsigned char)(w & 0xFF));
        a.push_back((unsigned char)(w >> 8));
    }
    a.push_back(0);
    a.push_back(3);
    a.insert(a.end(), 4, 0);
    return a;
}

/* n Config Manager devices: COM1 and COM2, a printer port, and for the
 * rest devices of other classes (no port name) with an I/O allocation;
 * n port class entries 0000 upward. */
void buildMachine(int n)
{
    standin::reset();
    standin::setVersion(standin::WIN95);
    std::memset(&OSInfo, 0, sizeof OSInfo);
    OSInfo.dwOSVersionInfoSize = sizeof OSInfo;
    GetVersionExA(&OSInfo);
    std::memset(&scriptData, 0, sizeof scriptData);
    std::strcpy(scriptData.path, "C:\\QBLRED\\");
    gotError = 0;

    char id[32], hw[64];
    for (int i = 0; i < n; i++) {
        std::snprintf(id, sizeof id, "Config Manager\\Enum\\C%07X", 0x29A0000 + i);
        std::snprintf(hw, sizeof hw, "PCI\\VEN_%04X&DEV_%04X\\%04d", 0x8086, i % 0x10000, i);
        const char *port = nullptr;
        unsigned base = 0x1000 + 16 * (unsigned)(i % 0x0F00);
        if (i == n / 3) {
            port = "COM1", base = 0x3F8;
        } else if (i == (2 * n) / 3) {
            port = "COM2", base = 0x2F8;
        } else if (i == n / 2) {
            port = "LPT1", base = 0x378;
        }
        setText(HKEY_DYN_DATA, id, "HardWareKey", hw);
        std::vector<unsigned char> a = allocation(base, base + 7);
        setValue(HKEY_DYN_DATA, id, "Allocation", REG_BINARY, a.data(), (DWORD)a.size());
        std::string hwPath = std::string("Enum\\") + hw;
        setText(HKEY_LOCAL_MACHINE, hwPath, "Class", port ? "Ports" : "System");
        if (port) {
            setText(HKEY_LOCAL_MACHINE, hwPath, "PORTNAME", port);
            setText(HKEY_LOCAL_MACHINE, hwPath, "Driver", "Ports\\0000");
        }
    }
    char entry[96];
    for (int i = 0; i < n; i++) {
        std::snprintf(entry, sizeof entry, "%s\\%04d", kClass, i);
        setText(HKEY_LOCAL_MACHINE, entry, "PortDriver", "serial.vxd");
    }
    setText(HKEY_LOCAL_MACHINE, "Enum\\Root\\*PNP0C01\\0000", "Class", "System");
}

/* Milliseconds of one installation; checks that it was a whole one. */
double timeOne(int n)
{
    buildMachine(n);
    int aborted = 0;
    auto start = std::chrono::steady_clock::now();
    doit95(nullptr, &aborted);
    auto stop = std::chrono::steady_clock::now();

    char entry[96];
    std::snprintf(entry, sizeof entry, "%s\\%04d", kClass, n);
    HKEY k;
    bool made = RegOpenKeyExA(HKEY_LOCAL_MACHINE, entry, 0, KEY_READ, &k) == ERROR_SUCCESS;
    if (made)
        RegCloseKey(k);
    if (!made || curPort != 2 ||
        RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Enum\\Root\\Ports\\0001", 0, KEY_READ, &k) !=
            ERROR_SUCCESS) {
        std::fprintf(stderr, "bench: the installation with %d devices did not run through "
                             "(census %d ports, class entry %s %s)\n",
                     n, curPort, entry, made ? "made" : "missing");
        for (const auto &b : standin::boxes())
            std::fprintf(stderr, "bench: box: %s\n", b.text.c_str());
        std::exit(2);
    }
    RegCloseKey(k);
    return std::chrono::duration<double, std::milli>(stop - start).count();
}

/* The median of runs installations. */
double median(int n, int runs)
{
    std::vector<double> t;
    for (int i = 0; i < runs; i++)
        t.push_back(timeOne(n));
    std::sort(t.begin(), t.end());
    return t[t.size() / 2];
}

} // namespace

int main(int argc, char **argv)
{
    bool check = false;
    int runs = 3;
    for (int i = 1; i < argc; i++) {
        if (std::strcmp(argv[i], "--check") == 0) {
            check = true;
        } else if (std::strcmp(argv[i], "--runs") == 0 && i + 1 < argc) {
            runs = std::max(1, std::atoi(argv[++i]));
        } else {
            std::fprintf(stderr, "usage: %s [--check] [--runs N]\n", argv[0]);
            return 2;
        }
    }
    const double limit = 12.0;
    double small = median(1000, runs);
    double large = median(10000, runs);
    double ratio = small > 0 ? large / small : 0;
    std::printf("win95 installation, 1000 devices and 1000 class entries:   %9.3f ms\n", small);
    std::printf("win95 installation, 10000 devices and 10000 class entries: %9.3f ms\n", large);
    std::printf("ratio 10000/1000: %.2f (limit %.0f)\n", ratio, limit);
    if (check && ratio > limit) {
        std::printf("growth worse than linear\n");
        return 1;
    }
    return 0;
}
