/*
 * fuzz_allocation.cpp - InterpretAllocation over arbitrary "Allocation"
 * bytes and lengths.
 *
 * First input byte: the census index curPort (0 to 20, 20 being a full
 * table); the rest: the value, in a buffer of exactly its length so that
 * any read past it is caught.  The outcome is compared with the walk as
 * the census describes it (referenceWalk), written from that description
 * rather than from the program.
 */
#include "fuzz_common.h"

#include <cstring>
#include <vector>

namespace {

unsigned long get32(const std::vector<unsigned char> &v, size_t at)
{
    return (unsigned long)v[at] | ((unsigned long)v[at + 1] << 8) |
           ((unsigned long)v[at + 2] << 16) | ((unsigned long)v[at + 3] << 24);
}

unsigned get16(const std::vector<unsigned char> &v, size_t at)
{
    return (unsigned)v[at] | ((unsigned)v[at + 1] << 8);
}

/* The walk over an "Allocation" value:
 *   - the 32-bit word at offset 0 must be 0x400, else the version box and
 *     -1 (a value of fewer than 4 bytes has no such word: -1, no box);
 *   - the walk starts at offset 8 with remaining = length - 8; with 8 or
 *     less remaining (16 bytes or shorter) -1;
 *   - at the current descriptor, one of type 2 gives its 16-bit words at
 *     offsets 12 and 14 (base and end) and 0;
 *   - otherwise the walk advances by the descriptor's length and goes on
 *     while more than 8 bytes remain; then -1;
 *   - it never reads past the value: a length of 0 (the end of the list),
 *     a length larger than what remains, and a type-2 descriptor whose
 *     words at 12 to 15 would lie past the end give -1.
 * Nothing else stops it: a short length is stepped over, and a type-2
 * descriptor is read whatever length it declares.
 * Returns -1, or 0 with the range found; *versionBox when the version is
 * wrong. */
int referenceWalk(const std::vector<unsigned char> &v, unsigned *base, unsigned *end,
                  bool *versionBox)
{
    const size_t length = v.size();
    *versionBox = false;
    if (length < 4)
        return -1;
    if (get32(v, 0) != 0x400) {
        *versionBox = true;
        return -1;
    }
    if (length <= 16)
        return -1;
    for (size_t at = 8; length - at > 8;) {
        unsigned long declared = get32(v, at);
        if (declared == 0 || declared > length - at)
            return -1;
        bool io = get32(v, at + 4) == 2;
        if (io && at + 16 > length)
            return -1;
        if (io) {
            *base = get16(v, at + 12);
            *end = get16(v, at + 14);
            return 0;
        }
        at += declared;
    }
    return -1;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1 || size > 4096)
        return -1;
    freshMachine();
    int index = data[0] % (MAX_PORTS + 1);
    std::vector<unsigned char> value(data + 1, data + size);
    unsigned char *heap = new unsigned char[value.size() ? value.size() : 1];
    if (!value.empty())
        memcpy(heap, value.data(), value.size());

    /* Every entry carries a mark, so that a store into the wrong one shows. */
    for (int i = 0; i < MAX_PORTS; i++) {
        snprintf(Ports[i].name, sizeof Ports[i].name, "COM%d", i + 1);
        Ports[i].ioBase = (unsigned short)(0xA000 + i);
        Ports[i].ioEnd = (unsigned short)(0xB000 + i);
    }
    PortEntry before[MAX_PORTS];
    memcpy(before, Ports, sizeof Ports);
    curPort = index;

    int rc = InterpretAllocation(nullptr, "COM1", heap, (DWORD)value.size());
    delete[] heap;

    unsigned base = 0, end = 0;
    bool versionBox = false;
    int want = index < MAX_PORTS ? referenceWalk(value, &base, &end, &versionBox) : -1;
    if (index >= MAX_PORTS)
        versionBox = false;
    FUZZ_CHECK(rc == want, "result %d, expected %d (length %zu)", rc, want, value.size());
    FUZZ_CHECK(curPort == index, "curPort changed from %d to %d", index, curPort);
    for (int i = 0; i < MAX_PORTS; i++) {
        if (i == index && rc == 0) {
            FUZZ_CHECK(Ports[i].ioBase == base && Ports[i].ioEnd == end,
                       "entry %d holds %#x-%#x, expected %#x-%#x", i, Ports[i].ioBase,
                       Ports[i].ioEnd, base, end);
            FUZZ_CHECK(memcmp(Ports[i].name, before[i].name, sizeof before[i].name) == 0 &&
                           memcmp(Ports[i].driver, before[i].driver, sizeof before[i].driver) == 0,
                       "entry %d name or driver changed", i);
        } else {
            FUZZ_CHECK(memcmp(&Ports[i], &before[i], sizeof before[i]) == 0,
                       "entry %d changed (index %d, result %d)", i, index, rc);
        }
    }
    auto boxes = standin::boxes();
    if (versionBox) {
        char text[200];
        snprintf(text, sizeof text, "Don't recognize CM version 0x%lx for COM1", get32(value, 0));
        FUZZ_CHECK(boxes.size() == 1 && boxes[0].text == text && boxes[0].caption == "Error",
                   "expected the one box \"%s\", got %zu boxes", text, boxes.size());
        FUZZ_CHECK(gotError == 1, "version box without the error flag");
    } else {
        FUZZ_CHECK(boxes.empty(), "unexpected box \"%s\"", boxes.empty() ? "" : boxes[0].text.c_str());
        FUZZ_CHECK(gotError == 0, "error flag set without a box");
    }
    return 0;
}
