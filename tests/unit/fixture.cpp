#include "fixture.h"

#include <cstring>

namespace {
/* Copies of the tables that the program writes into, taken before any
 * test runs (they are constant-initialized, so they are ready here). */
unsigned char pristineConfig0[sizeof logicalConfig0];
unsigned char pristineConfig1[sizeof logicalConfig1];
const bool saved = [] {
    std::memcpy(pristineConfig0, logicalConfig0, sizeof logicalConfig0);
    std::memcpy(pristineConfig1, logicalConfig1, sizeof logicalConfig1);
    return true;
}();
} // namespace

void resetProgram()
{
    (void)saved;
    standin::reset();
    std::memset(&scriptData, 0, sizeof scriptData);
    std::memset(&OSInfo, 0, sizeof OSInfo);
    std::memset(Ports, 0, sizeof Ports);
    curPort = 0;
    gotError = 0;
    doAuto = 0;
    ghInst = nullptr;
    hWndMain = nullptr;
    std::memcpy(logicalConfig0, pristineConfig0, sizeof logicalConfig0);
    std::memcpy(logicalConfig1, pristineConfig1, sizeof logicalConfig1);
}

void usePlatform(standin::Version v)
{
    standin::setVersion(v);
    std::memset(&OSInfo, 0, sizeof OSInfo);
    OSInfo.dwOSVersionInfoSize = sizeof OSInfo;
    GetVersionExA(&OSInfo);
}

void expectCleanRun()
{
    EXPECT_EQ(standin::leftOpen(), std::vector<std::string>());
    for (auto &e : standin::events())
        EXPECT_NE(e.ev, "error") << e.text;
}
