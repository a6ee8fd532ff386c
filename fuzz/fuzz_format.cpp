/*
 * fuzz_format.cpp - the Windows runtime's formatter against the C
 * library's snprintf: formats of one or two conversions of the kinds the
 * program uses and their near kin (d, i, o, u, x, X, c, s, %, the lengths
 * l, h and hh) with random flags, widths and
 * precisions (digits or * arguments), random numbers and texts, and random
 * buffer sizes.  The result and every byte written must agree, and nothing
 * may be written past the buffer: each buffer is an allocation of exactly
 * its size, watched by AddressSanitizer.  A text given with a precision is
 * a field of exactly that many bytes without a terminator, as the
 * program's fixed fields are.
 */
#include "format.h"

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

struct Input {
    const uint8_t *data;
    size_t size, pos;
    unsigned byte() { return pos < size ? data[pos++] : 0; }
    uint32_t word()
    {
        uint32_t v = 0;
        for (int i = 0; i < 4; i++)
            v = v << 8 | byte();
        return v;
    }
};

struct Arg {
    enum Kind { INT, UINT, LONG, ULONG, TEXT } kind;
    long number;
    const char *text;
};

const int MAX_ARGS = 4;

[[noreturn]] void differ(const std::string &fmt, size_t size, int n1, int n2, const char *a,
                         const char *b)
{
    fprintf(stderr, "format \"%s\" size %zu: snprintf %d \"%.*s\", ours %d \"%.*s\"\n", fmt.c_str(),
            size, n1, (int)(size ? size : 0), a ? a : "", n2, (int)(size ? size : 0), b ? b : "");
    abort();
}

int ours(char *buf, size_t size, const char *fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    int n = formatText(buf, size, fmt, args);
    va_end(args);
    return n;
}

template <typename... T> void compare(const std::string &fmt, size_t size, T... args)
{
    std::unique_ptr<char[]> a(size ? new char[size] : nullptr), b(size ? new char[size] : nullptr);
    if (size) {
        memset(a.get(), '#', size);
        memset(b.get(), '#', size);
    }
#pragma clang diagnostic push
#pragma clang diagnostic ignored "-Wformat-nonliteral"
#pragma clang diagnostic ignored "-Wformat-security"
    int n1 = snprintf(a.get(), size, fmt.c_str(), args...);
#pragma clang diagnostic pop
    int n2 = ours(b.get(), size, fmt.c_str(), args...);
    if (n1 != n2 || (size && memcmp(a.get(), b.get(), size) != 0))
        differ(fmt, size, n1, n2, a.get(), b.get());
}

/* Calls compare with the arguments as the types the format reads. */
template <int Depth, typename... T>
void dispatch(const std::string &fmt, size_t size, const std::vector<Arg> &a, T... args)
{
    if constexpr (Depth == MAX_ARGS) {
        compare(fmt, size, args...);
    } else {
        if ((size_t)Depth == a.size())
            return compare(fmt, size, args...);
        const Arg &x = a[Depth];
        switch (x.kind) {
        case Arg::INT: return dispatch<Depth + 1>(fmt, size, a, args..., (int)x.number);
        case Arg::UINT: return dispatch<Depth + 1>(fmt, size, a, args..., (unsigned)x.number);
        case Arg::LONG: return dispatch<Depth + 1>(fmt, size, a, args..., x.number);
        case Arg::ULONG: return dispatch<Depth + 1>(fmt, size, a, args..., (unsigned long)x.number);
        case Arg::TEXT: return dispatch<Depth + 1>(fmt, size, a, args..., x.text);
        }
    }
}

/* A field width or precision: none, digits or a * argument. */
int fieldValue(Input &in, std::string &fmt, std::vector<Arg> &args, bool isPrecision)
{
    switch (in.byte() % 3) {
    case 0:
        return -1;
    case 1: {
        int v = (int)(in.byte() % 41);
        fmt += std::to_string(v);
        return v;
    }
    default: {
        int v = (int)(in.byte() % 121) - 60;
        fmt += '*';
        args.push_back({Arg::INT, v, nullptr});
        return isPrecision && v < 0 ? -1 : v;
    }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    Input in{data, size, 0};
    std::string fmt;
    std::vector<Arg> args;
    std::vector<std::unique_ptr<char[]>> texts;
    const char kinds[] = "diuxXcs%o";

    int conversions = 1 + (int)(in.byte() % 2);
    for (int k = 0; k < conversions; k++) {
        int plain = (int)(in.byte() % 4);
        for (int i = 0; i < plain; i++) {
            char ch = (char)(' ' + in.byte() % 95);
            fmt += ch == '%' ? 'p' : ch;
        }
        char conv = kinds[in.byte() % 9];
        fmt += '%';
        if (conv == '%') {
            fmt += '%';
            continue;
        }
        unsigned flags = in.byte();
        bool numeric = conv != 'c' && conv != 's';
        if (flags & 1)
            fmt += '-';
        if ((flags & 2) && numeric)
            fmt += '0';
        if ((flags & 4) && (conv == 'd' || conv == 'i'))
            fmt += '+';
        if ((flags & 8) && (conv == 'd' || conv == 'i'))
            fmt += ' ';
        if ((flags & 16) && (conv == 'x' || conv == 'X' || conv == 'o'))
            fmt += '#';
        size_t before = args.size();
        fieldValue(in, fmt, args, false);
        int precision = -1;
        if (conv != 'c' && (flags & 32)) {
            fmt += '.';
            precision = fieldValue(in, fmt, args, true);
            if (fmt.back() == '.') { /* "." alone, which the sanitizer's */
                fmt += '0';          /* snprintf interceptor misreads    */
                precision = 0;
            }
        }
        bool isLong = numeric && (flags & 64);
        if (isLong)
            fmt += 'l';
        else if (numeric && (flags & 128))
            fmt += (in.byte() & 1) ? "hh" : "h"; /* the int argument, shortened */
        fmt += conv;
        if (args.size() >= MAX_ARGS) { /* no room for the value: start over simpler */
            args.resize(before);
            return 0;
        }
        uint32_t w = in.word();
        switch (conv) {
        case 'd':
        case 'i':
            if (isLong)
                args.push_back({Arg::LONG, (long)(int32_t)w * (long)(in.byte() + 1), nullptr});
            else
                args.push_back({Arg::INT, (long)(int32_t)w, nullptr});
            break;
        case 'u':
        case 'o':
        case 'x':
        case 'X':
            args.push_back({isLong ? Arg::ULONG : Arg::UINT, (long)w, nullptr});
            break;
        case 'c':
            args.push_back({Arg::INT, (long)(w % 255 + 1), nullptr});
            break;
        default: { /* s */
            size_t len = in.byte() % 48;
            if (precision >= 0 && (size_t)precision <= len)
                len = (size_t)precision; /* a field without its terminator */
            else
                precision = -1;
            /* An empty field keeps a terminator: the sanitizer's snprintf
             * interceptor reads one byte even at a precision of 0. */
            bool terminated = precision < 0 || len == 0;
            texts.emplace_back(new char[len + terminated]);
            char *t = texts.back().get();
            for (size_t i = 0; i < len; i++)
                t[i] = (char)(in.byte() % 255 + 1);
            if (terminated)
                t[len] = '\0';
            args.push_back({Arg::TEXT, 0, t});
            break;
        }
        }
    }
    if (getenv("FUZZ_FORMAT_SHOW"))
        fprintf(stderr, "format \"%s\"\n", fmt.c_str());
    size_t sizes[3] = {0, in.byte() % 200, 1 + in.byte() % 40};
    for (size_t s : sizes)
        dispatch<0>(fmt, s, args);
    return 0;
}
