/* fuzz_common.cpp - the shared machine and checks of the fuzz targets. */
#include "fuzz_common.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sys/stat.h>

namespace {

void removeDriveFolder();

const std::string &driveFolder()
{
    static const std::string folder = [] {
        const char *tmp = getenv("TMPDIR");
        std::string templ = std::string(tmp && *tmp ? tmp : "/tmp") + "/fuzz-c-XXXXXX";
        char buf[512];
        snprintf(buf, sizeof buf, "%s", templ.c_str());
        if (!mkdtemp(buf)) {
            perror("fuzz: mkdtemp");
            abort();
        }
        std::string root = buf;
        mkdir((root + "/windows").c_str(), 0700);
        mkdir((root + "/setup").c_str(), 0700);
        return root;
    }();
    /* Registered after the folder's name is made, so it runs before the
     * name is destroyed. */
    static const bool removedAtExit = (atexit(removeDriveFolder), true);
    (void)removedAtExit;
    return folder;
}

/* The drive goes with the process (libFuzzer ends with exit). */
void removeDriveFolder()
{
    std::error_code ignored;
    std::filesystem::remove_all(driveFolder(), ignored);
}

unsigned char pristineConfig0[sizeof logicalConfig0];
unsigned char pristineConfig1[sizeof logicalConfig1];
const bool saved = [] {
    memcpy(pristineConfig0, logicalConfig0, sizeof logicalConfig0);
    memcpy(pristineConfig1, logicalConfig1, sizeof logicalConfig1);
    return true;
}();

} // namespace

void resetProgramState()
{
    (void)saved;
    memset(&scriptData, 0, sizeof scriptData);
    memset(Ports, 0, sizeof Ports);
    curPort = 0;
    gotError = 0;
    doAuto = 1;
    ghInst = nullptr;
    hWndMain = nullptr;
    memcpy(logicalConfig0, pristineConfig0, sizeof logicalConfig0);
    memcpy(logicalConfig1, pristineConfig1, sizeof logicalConfig1);
    memset(&OSInfo, 0, sizeof OSInfo);
    OSInfo.dwOSVersionInfoSize = sizeof OSInfo;
    GetVersionExA(&OSInfo);
}

void freshMachine()
{
    standin::reset(driveFolder());
    resetProgramState();
}

void fuzzFailure(const char *file, int line, const char *cond, const char *fmt, ...)
{
    fprintf(stderr, "\n%s:%d: check failed: %s\n  ", file, line, cond);
    va_list args;
    va_start(args, fmt);
    vfprintf(stderr, fmt, args);
    va_end(args);
    fprintf(stderr, "\n");
    abort();
}

bool terminatedWithin(const char *field, size_t n) { return memchr(field, 0, n) != nullptr; }

void checkNoHandlesLeft(const char *where)
{
    FUZZ_CHECK(standin::openRegistryHandles() == 0, "%s: %d registry handles left open", where,
               standin::openRegistryHandles());
    FUZZ_CHECK(standin::openServiceHandles() == 0, "%s: %d service handles left open", where,
               standin::openServiceHandles());
    FUZZ_CHECK(standin::openKernelHandles() == 0, "%s: %d kernel handles left open", where,
               standin::openKernelHandles());
}

std::string keyNameFrom(const std::string &bytes, const std::string &fallback)
{
    std::string name;
    for (char c : bytes)
        if (c != '\\' && c != '\0')
            name += c;
    return name.empty() ? fallback : name;
}
