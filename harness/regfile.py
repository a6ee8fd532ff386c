"""Reads registry export files (REGEDIT4 text, and the UTF-16 "Windows
Registry Editor Version 5.00" text that Wine's regedit writes) into

    { lower-case key path: {"name": key path, "values": {lower-case value name: (type, bytes)}} }

Value data are compared as the program's ANSI calls see them: strings of a
version 5 file are turned from UTF-16 into ANSI bytes.
"""

REG_SZ, REG_EXPAND_SZ, REG_BINARY, REG_DWORD, REG_MULTI_SZ = 1, 2, 3, 4, 7
STRING_TYPES = (REG_SZ, REG_EXPAND_SZ, REG_MULTI_SZ)


def decode(raw):
    if raw.startswith(b"\xff\xfe"):
        return raw[2:].decode("utf-16-le", errors="replace"), 5
    text = raw.decode("latin-1")
    return text, 5 if text.startswith("Windows Registry Editor Version 5.00") else 4


def ansi(text):
    return text.encode("cp1252", errors="replace")


def unquote(text, start):
    """Reads a quoted .reg string starting at text[start] == '"'.  Returns (value, end)."""
    out, i = [], start + 1
    while i < len(text):
        c = text[i]
        if c == "\\" and i + 1 < len(text):
            n = text[i + 1]
            out.append({"n": "\n", "r": "\r", "0": "\0", "t": "\t"}.get(n, n))
            i += 2
            continue
        if c == '"':
            return "".join(out), i + 1
        out.append(c)
        i += 1
    raise ValueError("unterminated string")


def hex_bytes(text):
    text = text.replace("\\", "").replace(" ", "").replace("\t", "").strip(",")
    if not text:
        return b""
    return bytes(int(h, 16) for h in text.split(","))


def parse_value(data, version):
    """The data part of a value line (after '=') as (type, bytes)."""
    data = data.strip()
    if data.startswith('"'):
        text, _ = unquote(data, 0)
        return REG_SZ, ansi(text) + b"\0"
    low = data.lower()
    if low.startswith("dword:"):
        return REG_DWORD, int(data[6:].strip(), 16).to_bytes(4, "little")
    if low.startswith("hex:"):
        return REG_BINARY, hex_bytes(data[4:])
    if low.startswith("hex("):
        close = data.index(")")
        kind = int(data[4:close], 16)
        raw = hex_bytes(data[close + 2:])
        if version == 5 and kind in STRING_TYPES:
            raw = ansi(raw.decode("utf-16-le", errors="replace"))
        return kind, raw
    if low.startswith("str(") or low.startswith("quad:"):
        raise ValueError("unsupported value form %r" % data[:20])
    raise ValueError("unreadable value %r" % data[:40])


def logical_lines(text):
    """Joins lines continued with a trailing backslash (hex lists)."""
    pending = ""
    for line in text.splitlines():
        stripped = line.rstrip()
        if pending:
            stripped = stripped.lstrip()
        if stripped.endswith("\\") and not stripped.lstrip().startswith("["):
            pending += stripped[:-1]
            continue
        yield pending + stripped
        pending = ""
    if pending:
        yield pending


def parse_text(text, version=4, into=None):
    keys = {} if into is None else into
    current = None
    for line in logical_lines(text):
        s = line.strip()
        if not s or s.startswith(";") or s.startswith("REGEDIT4") or \
                s.startswith("Windows Registry Editor") or s.startswith("#"):
            continue
        if s.startswith("[") and s.endswith("]"):
            name = s[1:-1]
            if name.startswith("-"):
                drop = name[1:].lower()
                for k in [k for k in keys if k == drop or k.startswith(drop + "\\")]:
                    del keys[k]
                current = None
                continue
            current = keys.setdefault(name.lower(), {"name": name, "values": {}, "names": {}})
            # every parent of a listed key exists too
            parts = name.split("\\")
            for i in range(1, len(parts)):
                parent = "\\".join(parts[:i])
                keys.setdefault(parent.lower(), {"name": parent, "values": {}, "names": {}})
            continue
        if current is None:
            continue
        if s.startswith("@="):
            vname, rest = "@", s[2:]
        elif s.startswith('"'):
            vname, end = unquote(s, 0)
            rest = s[end:].lstrip()
            if not rest.startswith("="):
                continue
            rest = rest[1:]
        else:
            continue
        if rest.strip() == "-":
            current["values"].pop(vname.lower(), None)
            continue
        current["values"][vname.lower()] = parse_value(rest, version)
        current["names"][vname.lower()] = vname
    return keys


def parse_file(path, into=None):
    with open(path, "rb") as f:
        raw = f.read()
    # Several exports may be joined into one file; each part has its own header.
    keys = {} if into is None else into
    if raw.startswith(b"\xff\xfe") or b"\xff\xfe" in raw[:4]:
        chunks = raw.split(b"\xff\xfe")
        for chunk in chunks:
            if chunk:
                parse_text(chunk.decode("utf-16-le", errors="replace"), 5, keys)
        return keys
    text, version = decode(raw)
    return parse_text(text, version, keys)


def parse_data(text, unescape):
    """An expectation's data: sz:"text" or expand_sz:"text" (scenario
    escapes), dword:N, hex:.., hex(N):.."""
    text = text.strip()
    low = text.lower()
    for prefix, kind in (("sz:", REG_SZ), ("expand_sz:", REG_EXPAND_SZ)):
        if low.startswith(prefix):
            body = text[len(prefix):].strip()
            if not (body.startswith('"') and body.endswith('"') and len(body) >= 2):
                raise ValueError("%s wants a quoted text: %r" % (prefix, text))
            return kind, unescape(body[1:-1]).encode("latin-1") + b"\0"
    if low.startswith("dword:"):
        return REG_DWORD, int(text[6:].strip(), 16).to_bytes(4, "little")
    return parse_value(text, 4)


def show_data(value):
    kind, data = value
    if kind in (REG_SZ, REG_EXPAND_SZ) and data.endswith(b"\0") and b"\0" not in data[:-1]:
        return '%s:"%s"' % ("sz" if kind == REG_SZ else "expand_sz", data[:-1].decode("latin-1"))
    if kind == REG_DWORD and len(data) == 4:
        return "dword:%08x" % int.from_bytes(data, "little")
    return "hex(%x):%s" % (kind, ",".join("%02x" % b for b in data))
