/* strings.cpp - small text helpers of the stand-in, and the string and
 * formatting calls of the Win32 API and the Microsoft C library. */
#include "internal.h"

#include <chrono>
#include <cstring>
#include <strings.h>

namespace standin {
namespace detail {

static unsigned char lowerByte(unsigned char c)
{
    return (c >= 'A' && c <= 'Z') ? (unsigned char)(c + 32) : c;
}

bool iequals(const std::string &a, const std::string &b)
{
    return icompare(a, b) == 0;
}

int icompare(const std::string &a, const std::string &b)
{
    size_t n = a.size() < b.size() ? a.size() : b.size();
    for (size_t i = 0; i < n; i++) {
        unsigned char x = lowerByte((unsigned char)a[i]), y = lowerByte((unsigned char)b[i]);
        if (x != y)
            return x < y ? -1 : 1;
    }
    return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

std::string lower(std::string s)
{
    for (auto &c : s)
        c = (char)lowerByte((unsigned char)c);
    return s;
}

bool icontains(const std::string &haystack, const std::string &needle)
{
    return lower(haystack).find(lower(needle)) != std::string::npos;
}

size_t copyOut(const std::string &s, char *buffer, size_t size)
{
    if (!buffer || size == 0)
        return 0;
    size_t n = s.size() < size - 1 ? s.size() : size - 1;
    memcpy(buffer, s.data(), n);
    buffer[n] = 0;
    return n;
}

std::string jsonString(const std::string &s)
{
    std::string out = "\"";
    for (unsigned char c : s) {
        char buf[8];
        if (c == '"' || c == '\\') {
            out += '\\';
            out += (char)c;
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c < 0x20 || c >= 0x7f) {
            snprintf(buf, sizeof buf, "\\u%04x", c);
            out += buf;
        } else {
            out += (char)c;
        }
    }
    return out + "\"";
}

long long nowMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

} // namespace detail
} // namespace standin

using namespace standin::detail;

extern "C" {

int WINAPI lstrlenA(LPCSTR s) { return s ? (int)strlen(s) : 0; }

LPSTR WINAPI lstrcpyA(LPSTR dst, LPCSTR src)
{
    if (!dst || !src)
        return nullptr;
    return strcpy(dst, src);
}

LPSTR WINAPI lstrcpynA(LPSTR dst, LPCSTR src, int size)
{
    if (!dst || size <= 0)
        return dst;
    standin::detail::copyOut(src ? src : "", dst, (size_t)size);
    return dst;
}

LPSTR WINAPI lstrcatA(LPSTR dst, LPCSTR src)
{
    if (!dst || !src)
        return nullptr;
    return strcat(dst, src);
}

int WINAPI lstrcmpA(LPCSTR a, LPCSTR b) { return strcmp(a ? a : "", b ? b : ""); }
int WINAPI lstrcmpiA(LPCSTR a, LPCSTR b) { return strcasecmp(a ? a : "", b ? b : ""); }

/* wsprintf writes at most 1024 characters with the terminator. */
int WINAPI wvsprintfA(LPSTR buffer, LPCSTR format, va_list args)
{
    int n = vsnprintf(buffer, 1024, format, args);
    return n < 0 ? -1 : (n > 1023 ? 1023 : n);
}

int WINAPIV wsprintfA(LPSTR buffer, LPCSTR format, ...)
{
    va_list ap;
    va_start(ap, format);
    int n = wvsprintfA(buffer, format, ap);
    va_end(ap);
    return n;
}

int _vsnprintf(char *buffer, size_t size, const char *format, va_list args)
{
    va_list copy;
    va_copy(copy, args);
    int n = vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    if (n < 0)
        return -1;
    if ((size_t)n < size) {
        vsnprintf(buffer, size, format, args);
        return n;
    }
    if ((size_t)n == size) { /* fits without the terminator */
        std::string tmp((size_t)n + 1, '\0');
        vsnprintf(&tmp[0], tmp.size(), format, args);
        memcpy(buffer, tmp.data(), size);
        return n;
    }
    if (size > 0) {
        std::string tmp((size_t)n + 1, '\0');
        vsnprintf(&tmp[0], tmp.size(), format, args);
        memcpy(buffer, tmp.data(), size);
    }
    return -1;
}

int _snprintf(char *buffer, size_t size, const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    int n = _vsnprintf(buffer, size, format, ap);
    va_end(ap);
    return n;
}

int _stricmp(const char *a, const char *b) { return strcasecmp(a, b); }
int _strnicmp(const char *a, const char *b, size_t n) { return strncasecmp(a, b, n); }

} // extern "C"
