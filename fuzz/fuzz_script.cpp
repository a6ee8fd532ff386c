/*
 * fuzz_script.cpp - the install script reader over arbitrary file bytes.
 *
 * The input is the script file.  parseScript reads it through the
 * stand-in's text-mode file; the result is compared with a plain reading
 * of the same bytes: carriage returns dropped, a Ctrl-Z ends the file,
 * lines of at most 99 characters (a longer one goes on as the next line),
 * a NUL ends a line's text.
 */
#include "fuzz_common.h"

#include <cstring>
#include <string>
#include <vector>

namespace {

struct Expected {
    std::string path;
    std::string text[SLOT_COUNT];
    int kind[SLOT_COUNT] = {0, 0, 0, 0};
};

bool startsNoCase(const std::string &s, const char *prefix)
{
    size_t n = strlen(prefix);
    if (s.size() < n)
        return false;
    for (size_t i = 0; i < n; i++) {
        char c = s[i];
        if (c >= 'A' && c <= 'Z')
            c = (char)(c - 'A' + 'a');
        if (c != prefix[i])
            return false;
    }
    return true;
}

void readLine(const std::string &line, Expected *e)
{
    if (startsNoCase(line, "path")) {
        size_t eq = line.find('=');
        if (eq == std::string::npos)
            return;
        e->path = line.substr(eq + 1);
        if (e->path.empty() || e->path.back() != '\\')
            e->path += '\\';
        return;
    }
    if (!startsNoCase(line, "sv") || line.size() < 3 || line[2] < '1' || line[2] > '4')
        return;
    int slot = line[2] - '1';
    size_t eq = line.find('=');
    if (eq == std::string::npos)
        return;
    std::string value = line.substr(eq + 1);
    size_t colon = value.find(':');
    if (startsNoCase(value, "ipx")) {
        if (colon == std::string::npos)
            return;
        e->kind[slot] = SLOT_IPX;
        e->text[slot] = value.substr(colon + 1);
        for (char &c : e->text[slot])
            if (c >= 'a' && c <= 'z')
                c = (char)(c - 'a' + 'A');
    } else if (startsNoCase(value, "ip")) {
        if (colon == std::string::npos)
            return;
        e->kind[slot] = SLOT_IP;
        std::string rest = value.substr(colon + 1);
        if (rest.find(':') != std::string::npos)
            e->text[slot] = rest;
    }
}

Expected expectedFor(const std::string &file)
{
    std::string stream;
    for (char c : file) {
        if (c == 0x1A)
            break;
        if (c != '\r')
            stream += c;
    }
    Expected e;
    size_t pos = 0;
    while (pos < stream.size()) {
        std::string line;
        while (pos < stream.size() && line.size() < 99) {
            char c = stream[pos++];
            if (c == '\n')
                break;
            line += c;
        }
        readLine(line.substr(0, line.find('\0')), &e);
    }
    return e;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > 8192)
        return -1;
    freshMachine();
    const std::string file((const char *)data, size);
    standin::putFile("C:\\setup\\script.txt", file);

    FUZZ_CHECK(parseScript("C:\\setup\\script.txt") == 0, "parseScript failed on a readable file");
    checkNoHandlesLeft("parseScript");
    FUZZ_CHECK(standin::boxes().empty(), "parseScript showed a box");

    FUZZ_CHECK(terminatedWithin(scriptData.path, sizeof scriptData.path),
               "destination path not terminated within its field");
    FUZZ_CHECK(scriptData.setupCmd[0] == 0, "command line written by the script reader");
    Expected e = expectedFor(file);
    FUZZ_CHECK(e.path == scriptData.path, "path \"%s\", expected \"%s\"", scriptData.path,
               e.path.c_str());
    for (int i = 0; i < SLOT_COUNT; i++) {
        const ServiceSlot &s = scriptData.slot[i];
        FUZZ_CHECK(terminatedWithin(s.text, sizeof s.text), "slot %d text not terminated", i + 1);
        FUZZ_CHECK(s.kind == e.kind[i], "slot %d kind %d, expected %d", i + 1, s.kind, e.kind[i]);
        FUZZ_CHECK(e.text[i] == s.text, "slot %d text \"%s\", expected \"%s\"", i + 1, s.text,
                   e.text[i].c_str());
    }
    return 0;
}
