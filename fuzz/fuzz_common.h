/*
 * fuzz_common.h - what every fuzz target shares: a cheap fresh machine for
 * each input, and checks that stop the run with a message.
 */
#ifndef FUZZ_COMMON_H
#define FUZZ_COMMON_H

#include "install.h"
#include "standin.h"

#include <string>

/* A fresh machine and a fresh program state.  The C: drive is one host
 * folder made once per process (with windows\ and setup\), so that a reset
 * costs no folder creation or removal. */
void freshMachine();

/* The program's globals back to their state at start. */
void resetProgramState();

/* Stops the fuzzer with a message when a check does not hold: libFuzzer
 * then keeps the input as a crash. */
#define FUZZ_CHECK(cond, ...)                                                    \
    do {                                                                         \
        if (!(cond))                                                             \
            fuzzFailure(__FILE__, __LINE__, #cond, __VA_ARGS__);                 \
    } while (0)
[[noreturn]] void fuzzFailure(const char *file, int line, const char *cond, const char *fmt, ...)
    __attribute__((format(printf, 4, 5)));

/* True when the n-byte field holds a terminator. */
bool terminatedWithin(const char *field, size_t n);

/* Every registry, service and kernel handle the program opened is closed. */
void checkNoHandlesLeft(const char *where);

/* A registry name from fuzzed bytes: no backslash, no NUL, not empty. */
std::string keyNameFrom(const std::string &bytes, const std::string &fallback);

/* Reads a fuzz input front to back; past its end every read gives 0 or
 * "".  Texts are a length byte followed by that many bytes (the length
 * taken modulo max + 1), so that seeds can be written by hand
 * (make_seeds.py). */
struct ByteReader {
    const unsigned char *p;
    size_t left;
    ByteReader(const unsigned char *data, size_t size) : p(data), left(size) {}
    unsigned u8()
    {
        if (!left)
            return 0;
        left--;
        return *p++;
    }
    bool flag() { return u8() & 1; }
    unsigned range(unsigned count) { return u8() % count; }
    std::string text(size_t max)
    {
        size_t n = u8() % (max + 1);
        if (n > left)
            n = left;
        std::string s((const char *)p, n);
        p += n;
        left -= n;
        return s;
    }
};

#endif
