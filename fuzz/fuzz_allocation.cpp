/*
 * fuzz_allocation.cpp - InterpretAllocation over arbitrary "Allocation"
 * bytes and lengths.
 *
 * First input byte: the census index curPort (0 to 20, 20 being a full
 * table); the rest: the value, in a buffer of exactly its length so that
 * any read past it is caught.  The outcome is compared with a walk of the
 * same bytes: version 0x400, descriptors from offset 8, the first type-2
 * descriptor's words at 12 and 14.  A walk ends with -1 at the end mark,
 * at a length past what remains, at a length shorter than a descriptor's
 * own head (8 bytes; 16 for an I/O descriptor), and when fewer than 9
 * bytes remain.
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

/* -1, or 0 with the range found; *versionBox when the version is wrong. */
int expectedWalk(const std::vector<unsigned char> &v, unsigned *base, unsigned *end,
                 bool *versionBox)
{
    *versionBox = false;
    if (v.size() < 4)
        return -1;
    if (get32(v, 0) != 0x400) {
        *versionBox = true;
        return -1;
    }
    if (v.size() <= 16)
        return -1;
    size_t offset = 8;
    size_t remaining = v.size() - 8;
    while (remaining > 8) {
        unsigned long len = get32(v, offset);
        unsigned long type = get32(v, offset + 4);
        if (len < 8 || len > remaining)
            return -1;
        if (type == 2) {
            if (len < 16)
                return -1;
            *base = get16(v, offset + 12);
            *end = get16(v, offset + 14);
            return 0;
        }
        offset += len;
        remaining -= len;
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
    int want = index < MAX_PORTS ? expectedWalk(value, &base, &end, &versionBox) : -1;
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
