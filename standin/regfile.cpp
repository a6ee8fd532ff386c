/* regfile.cpp - .reg text: the reader, the import and the REGEDIT4
 * export. */
#include "regfile.h"

#include "internal.h"

#include <cstring>

namespace standin {

namespace {

/* UTF-16LE to 8-bit text (code points above 0xFF become '?'). */
bool fromUtf16(const std::string &in, size_t start, std::string *out, std::string *why)
{
    if ((in.size() - start) % 2) {
        *why = "UTF-16 text of odd length";
        return false;
    }
    out->clear();
    for (size_t i = start; i + 1 < in.size(); i += 2) {
        unsigned c = (unsigned char)in[i] | ((unsigned)(unsigned char)in[i + 1] << 8);
        *out += c <= 0xFF ? (char)c : '?';
    }
    return true;
}

std::string trim(const std::string &s)
{
    size_t a = s.find_first_not_of(" \t");
    if (a == std::string::npos)
        return "";
    size_t b = s.find_last_not_of(" \t");
    return s.substr(a, b - a + 1);
}

int hexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

/* A quoted text from s[*pos] (at the opening quote); false if unclosed. */
bool readQuoted(const std::string &s, size_t *pos, std::string *out)
{
    out->clear();
    size_t i = *pos + 1;
    while (i < s.size()) {
        char c = s[i];
        if (c == '"') {
            *pos = i + 1;
            return true;
        }
        if (c == '\\' && i + 1 < s.size()) {
            char n = s[i + 1];
            if (n == '\\' || n == '"')
                *out += n;
            else if (n == 'n')
                *out += '\n';
            else if (n == 'r')
                *out += '\r';
            else if (n == '0')
                *out += '\0';
            else {
                *out += '\\';
                *out += n;
            }
            i += 2;
            continue;
        }
        *out += c;
        i++;
    }
    return false;
}

bool restIsBlank(const std::string &s, size_t pos)
{
    std::string r = trim(s.substr(pos));
    return r.empty() || r[0] == ';';
}

/* "aa,bb,..." bytes; false on a bad byte. */
bool readHexBytes(const std::string &s, std::string *out)
{
    out->clear();
    size_t i = 0;
    while (i < s.size()) {
        while (i < s.size() && (s[i] == ' ' || s[i] == '\t'))
            i++;
        if (i >= s.size() || s[i] == ';')
            break;
        int hi = hexDigit(s[i]);
        if (hi < 0)
            return false;
        int value = hi;
        i++;
        if (i < s.size() && hexDigit(s[i]) >= 0) {
            value = value * 16 + hexDigit(s[i]);
            i++;
        }
        *out += (char)value;
        while (i < s.size() && (s[i] == ' ' || s[i] == '\t'))
            i++;
        if (i < s.size() && s[i] == ',') {
            i++;
            continue;
        }
        if (i < s.size() && s[i] != ';')
            return false;
    }
    return true;
}

bool knownRoot(const std::string &path)
{
    std::string root = path.substr(0, path.find('\\'));
    return detail::rootByName(root) != nullptr;
}

} // namespace

bool parseReg(const std::string &input, std::vector<RegOp> *ops, std::string *why)
{
    std::string dummy;
    if (!why)
        why = &dummy;
    std::string text;
    bool unicode = false;
    if (input.size() >= 2 && (unsigned char)input[0] == 0xFF && (unsigned char)input[1] == 0xFE) {
        if (!fromUtf16(input, 2, &text, why))
            return false;
        unicode = true;
    } else if (input.size() >= 3 && input.compare(0, 3, "\xEF\xBB\xBF") == 0) {
        text = input.substr(3);
    } else {
        text = input;
    }

    /* Lines, with continuations joined. */
    std::vector<std::pair<int, std::string>> lines;
    {
        size_t i = 0;
        int number = 0;
        std::string pending;
        int pendingLine = 0;
        while (i <= text.size()) {
            size_t j = text.find('\n', i);
            if (j == std::string::npos)
                j = text.size();
            std::string line = text.substr(i, j - i);
            i = j + 1;
            number++;
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            if (pending.empty())
                pendingLine = number;
            else
                line = trim(line);
            std::string t = trim(line);
            bool continued = !t.empty() && t.back() == '\\' && t[0] != '[' &&
                             (t[0] != '"' && t[0] != '@' ? !pending.empty() : true);
            if (continued) {
                pending += t.substr(0, t.size() - 1);
                if (i > text.size())
                    lines.emplace_back(pendingLine, pending);
                continue;
            }
            lines.emplace_back(pendingLine, pending + line);
            pending.clear();
        }
    }

    size_t first = 0;
    while (first < lines.size() && trim(lines[first].second).empty())
        first++;
    if (first == lines.size()) {
        *why = "empty text, no REGEDIT4 header";
        return false;
    }
    std::string header = trim(lines[first].second);
    if (header != "REGEDIT4" && header != "Windows Registry Editor Version 5.00") {
        *why = "line " + std::to_string(lines[first].first) + ": not a registry file header";
        return false;
    }
    (void)unicode;
    bool utf16Data = header != "REGEDIT4";

    std::string key;
    bool haveKey = false;
    for (size_t n = first + 1; n < lines.size(); n++) {
        const std::string where = "line " + std::to_string(lines[n].first) + ": ";
        std::string line = trim(lines[n].second);
        if (line.empty() || line[0] == ';' || line[0] == '#')
            continue;
        if (line[0] == '[') {
            size_t close = line.rfind(']');
            if (close == std::string::npos || !restIsBlank(line, close + 1)) {
                *why = where + "key line without its closing bracket";
                return false;
            }
            bool del = line.size() > 1 && line[1] == '-';
            std::string path = line.substr(del ? 2 : 1, close - (del ? 2 : 1));
            while (!path.empty() && path.back() == '\\')
                path.pop_back();
            if (path.empty() || !knownRoot(path)) {
                *why = where + "unknown root key in [" + path + "]";
                return false;
            }
            RegOp op;
            op.kind = del ? RegOp::DELETE_KEY : RegOp::KEY;
            op.key = path;
            ops->push_back(op);
            key = path;
            haveKey = !del;
            continue;
        }
        if (line[0] != '"' && line[0] != '@') {
            *why = where + "neither a key nor a value";
            return false;
        }
        if (!haveKey) {
            *why = where + "value outside a key";
            return false;
        }
        RegOp op;
        op.kind = RegOp::VALUE;
        op.key = key;
        size_t pos = 0;
        if (line[0] == '@') {
            pos = 1;
        } else if (!readQuoted(line, &pos, &op.name)) {
            *why = where + "value name without its closing quote";
            return false;
        }
        while (pos < line.size() && (line[pos] == ' ' || line[pos] == '\t'))
            pos++;
        if (pos >= line.size() || line[pos] != '=') {
            *why = where + "value without '='";
            return false;
        }
        std::string data = trim(line.substr(pos + 1));
        if (data == "-" || (data.size() > 1 && data[0] == '-' && restIsBlank(data, 1))) {
            op.kind = RegOp::DELETE_VALUE;
        } else if (!data.empty() && data[0] == '"') {
            size_t p = 0;
            std::string s;
            if (!readQuoted(data, &p, &s) || !restIsBlank(data, p)) {
                *why = where + "string data without its closing quote";
                return false;
            }
            op.type = REG_SZ;
            op.data = s + '\0';
        } else if (data.compare(0, 6, "dword:") == 0) {
            std::string digits = trim(data.substr(6));
            size_t semi = digits.find(';');
            if (semi != std::string::npos)
                digits = trim(digits.substr(0, semi));
            if (digits.empty() || digits.size() > 8) {
                *why = where + "dword data is not 1 to 8 hex digits";
                return false;
            }
            DWORD v = 0;
            for (char c : digits) {
                int d = hexDigit(c);
                if (d < 0) {
                    *why = where + "dword data is not 1 to 8 hex digits";
                    return false;
                }
                v = v * 16 + (DWORD)d;
            }
            op.type = REG_DWORD;
            op.data = std::string(reinterpret_cast<const char *>(&v), 4);
        } else if (data.compare(0, 4, "hex:") == 0 || data.compare(0, 4, "hex(") == 0) {
            size_t colon = data.find(':');
            op.type = REG_BINARY;
            if (data[3] == '(') {
                size_t close = data.find(')');
                if (close == std::string::npos || close + 1 != colon || close == 4 || close > 12) {
                    *why = where + "bad hex(type) prefix";
                    return false;
                }
                unsigned t = 0;
                for (size_t k = 4; k < close; k++) {
                    int d = hexDigit(data[k]);
                    if (d < 0) {
                        *why = where + "bad hex(type) prefix";
                        return false;
                    }
                    t = t * 16 + (unsigned)d;
                }
                op.type = t;
            }
            if (!readHexBytes(data.substr(colon + 1), &op.data)) {
                *why = where + "bad byte in hex data";
                return false;
            }
            /* Version 5 text holds string types as UTF-16. */
            if (utf16Data && (op.type == REG_SZ || op.type == REG_EXPAND_SZ ||
                              op.type == REG_MULTI_SZ)) {
                std::string narrow;
                if (!fromUtf16(op.data, 0, &narrow, why)) {
                    *why = where + *why;
                    return false;
                }
                op.data = narrow;
            }
        } else {
            *why = where + "unknown data type";
            return false;
        }
        ops->push_back(op);
    }
    return true;
}

bool importReg(const std::string &text, std::string *why)
{
    std::vector<RegOp> ops;
    bool ok = parseReg(text, &ops, why);
    for (const RegOp &op : ops) {
        switch (op.kind) {
        case RegOp::KEY: detail::regCreatePath(op.key); break;
        case RegOp::DELETE_KEY: detail::regDeletePath(detail::regCanonical(op.key)); break;
        case RegOp::VALUE: detail::regSetValue(op.key, op.name, op.type, op.data); break;
        case RegOp::DELETE_VALUE: detail::regDeleteValue(op.key, op.name); break;
        }
    }
    return ok;
}

namespace {

std::string quote(const std::string &s)
{
    std::string out = "\"";
    for (char c : s) {
        /* The escapes the reader knows, so that every name reads back. */
        if (c == '\0' || c == '\n' || c == '\r') {
            out += c == '\0' ? "\\0" : c == '\n' ? "\\n" : "\\r";
            continue;
        }
        if (c == '\\' || c == '"')
            out += '\\';
        out += c;
    }
    return out + "\"";
}

/* A REG_SZ that REGEDIT4 can show as a quoted text. */
bool plainString(const detail::RegValue &v)
{
    if (v.type != REG_SZ || v.data.empty() || v.data.back() != '\0')
        return false;
    for (size_t i = 0; i + 1 < v.data.size(); i++) {
        unsigned char c = (unsigned char)v.data[i];
        if (c < 0x20 || c > 0x7E)
            return false;
    }
    return true;
}

std::string valueLine(const detail::RegValue &v)
{
    std::string line = v.name.empty() ? "@=" : quote(v.name) + "=";
    if (plainString(v))
        return line + quote(v.data.substr(0, v.data.size() - 1));
    if (v.type == REG_DWORD && v.data.size() == 4) {
        DWORD d;
        memcpy(&d, v.data.data(), 4);
        char buf[16];
        snprintf(buf, sizeof buf, "dword:%08x", d);
        return line + buf;
    }
    char prefix[24];
    if (v.type == REG_BINARY)
        snprintf(prefix, sizeof prefix, "hex:");
    else
        snprintf(prefix, sizeof prefix, "hex(%x):", v.type);
    line += prefix;
    size_t width = line.size();
    for (size_t i = 0; i < v.data.size(); i++) {
        char b[4];
        snprintf(b, sizeof b, "%02x", (unsigned char)v.data[i]);
        line += b;
        width += 2;
        if (i + 1 < v.data.size()) {
            line += ',';
            width++;
            if (width > 76) { /* wrapped like regedit does */
                line += "\\\n  ";
                width = 2;
            }
        }
    }
    return line;
}

void exportKey(void *ctx, const std::string &path, const std::vector<detail::RegValue> &values)
{
    std::string *out = static_cast<std::string *>(ctx);
    /* A root is written only when it holds values of its own. */
    if (path.find('\\') == std::string::npos && values.empty())
        return;
    *out += "[" + path + "]\n";
    for (const auto &v : values)
        *out += valueLine(v) + "\n";
    *out += "\n";
}

} // namespace

std::string exportReg(const std::string &keyPath)
{
    std::string out = "REGEDIT4\n\n";
    if (keyPath.empty()) {
        for (const char *root : {"HKEY_CLASSES_ROOT", "HKEY_CURRENT_USER", "HKEY_LOCAL_MACHINE",
                                 "HKEY_USERS", "HKEY_CURRENT_CONFIG", "HKEY_DYN_DATA"})
            detail::regWalk(root, exportKey, &out);
    } else {
        detail::regWalk(keyPath, exportKey, &out);
    }
    return out;
}

} // namespace standin
