/*
 * fuzz_regfile.cpp - the stand-in's .reg reader over arbitrary text.
 *
 * Whatever the reader takes from the input, its REGEDIT4 export must read
 * back into the same registry: importing the export on a fresh machine
 * succeeds and exports the same text again.
 */
#include "fuzz_common.h"

#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > 16384)
        return -1;
    freshMachine();
    std::string why;
    standin::importReg(std::string((const char *)data, size), &why);
    std::string first = standin::exportReg();

    freshMachine();
    std::string why2;
    bool ok = standin::importReg(first, &why2);
    FUZZ_CHECK(ok, "the export does not read back: %s\n--- export ---\n%s", why2.c_str(),
               first.c_str());
    std::string second = standin::exportReg();
    FUZZ_CHECK(first == second, "export changed on reading it back\n--- first ---\n%s\n--- second ---\n%s",
               first.c_str(), second.c_str());
    return 0;
}
