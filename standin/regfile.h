/*
 * regfile.h - reading and writing registry text (.reg files).
 *
 * parseReg is a pure function over the text: it never touches the
 * registry, so a fuzzer can call it on any bytes.
 */
#ifndef STANDIN_REGFILE_H
#define STANDIN_REGFILE_H

#include <string>
#include <vector>

namespace standin {

struct RegOp {
    enum Kind { KEY, DELETE_KEY, VALUE, DELETE_VALUE } kind = KEY;
    std::string key;  /* full path, "HKEY_LOCAL_MACHINE\..." as written */
    std::string name; /* value name; "" = the default value (@) */
    unsigned type = 0;
    std::string data; /* the value's bytes */
};

/* Reads REGEDIT4 text or Wine's "Windows Registry Editor Version 5.00"
 * text (UTF-16LE with BOM, or 8-bit).  The operations read before a fault
 * are in *ops; on a fault it returns false and the reason with its line
 * number in *why. */
bool parseReg(const std::string &text, std::vector<RegOp> *ops, std::string *why);

} // namespace standin

#endif
