"""A PC's registry, exported there with regedit, read for a preview.

    export = pc_export.read_machine([Path("pc.reg"), ...])

One machine may come in several .reg files (an administrator often exports
a few keys separately).  From them this module tells

- the platform: Windows 95 (keys under HKEY_DYN_DATA or HKEY_LOCAL_MACHINE\\Enum)
  or Windows NT, with its version from
  HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion;
- the COM devices an NT machine has: the names in the data of the values
  under HKEY_LOCAL_MACHINE\\HARDWARE\\DEVICEMAP\\SERIALCOMM, and no others;
- the keys install.exe reads or writes (KEYS_READ), which it writes out
  (write_import) as one REGEDIT4 file for a runner to import.  Nothing else
  of the export is imported: a whole-registry export holds much that Wine
  and the stand-in must not get (other services, other users).

An export that cannot be read, is no registry export, was cut short, or is
damaged inside a key the program reads raises ExportError with the reason.
Damage in keys the program never reads is passed over.
"""
import re
from pathlib import Path

from harness import regfile

HKLM = "HKEY_LOCAL_MACHINE"
CONFIG_MANAGER_ENUM = "HKEY_DYN_DATA\\Config Manager\\Enum"
SERIALCOMM = HKLM + "\\HARDWARE\\DEVICEMAP\\SERIALCOMM"
NT_VERSION_KEY = HKLM + "\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion"
SERVICE_KEY = HKLM + "\\System\\CurrentControlSet\\Services\\Qblred"
SELECT_KEY = HKLM + "\\SYSTEM\\Select"
KEYS_READ = [
    CONFIG_MANAGER_ENUM,
    HKLM + "\\Enum",
    HKLM + "\\System\\CurrentControlSet\\Services\\Class\\Ports",
    SERVICE_KEY,
    HKLM + "\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Quorbelle Redirector",
    HKLM + "\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths\\rdcfg.exe",
]
NT_VERSIONS = {"3.51": "nt351", "4.0": "nt40"}
COM_NAME = re.compile(r"^COM([1-9][0-9]{0,2})$", re.I)
CONTROL_SET = re.compile(r"^(HKEY_LOCAL_MACHINE\\SYSTEM\\)ControlSet(\d{3})(?=\\|$)", re.I)

# How to export what the preview needs, per platform (shown where it lacks them).
EXPORT_HELP = {
    "win95": 'regedit /e cm.reg "HKEY_DYN_DATA\\Config Manager\\Enum"',
    "nt": 'regedit /e serialcomm.reg "HKEY_LOCAL_MACHINE\\HARDWARE\\DEVICEMAP\\SERIALCOMM"',
}


class ExportError(Exception):
    """An export that cannot be previewed; the text says why."""


def under(key, prefix):
    k, p = key.lower(), prefix.lower()
    return k == p or k.startswith(p + "\\")


def decode(raw, name):
    if not raw.strip(b"\r\n\t \x00\xff\xfe"):
        raise ExportError("%s is empty" % name)
    if raw.startswith(b"\xff\xfe"):
        if len(raw) % 2:
            raise ExportError("%s was cut short (UTF-16 text of odd length)" % name)
        return raw[2:].decode("utf-16-le", errors="replace"), 5
    if b"\0" in raw[:200]:
        raise ExportError("%s is no registry export (binary data)" % name)
    return raw.decode("latin-1"), 4


def numbered_lines(text):
    """(line number, logical line): lines continued with a trailing backslash
    joined.  A file that ends inside a continued line was cut short."""
    pending, start = None, 0
    for number, line in enumerate(text.splitlines(), 1):
        stripped = line.rstrip()
        if pending is not None:
            stripped = stripped.lstrip()
        else:
            start = number
        if stripped.endswith("\\") and not stripped.lstrip().startswith("["):
            pending = (pending or "") + stripped[:-1]
            continue
        yield start, (pending or "") + stripped
        pending = None
    if pending is not None:
        raise ExportError("line %d: the file ends inside a value (cut short)" % start)


def parse_value_line(line, version):
    """(name, (type, bytes)) or (name, None) for a deletion; ValueError says why."""
    if line.startswith("@"):
        name, rest = "", line[1:].lstrip()
    else:
        name, end = regfile.unquote(line, 0)  # ValueError: no closing quote
        rest = line[end:].lstrip()
    if not rest.startswith("="):
        raise ValueError("value without '='")
    data = rest[1:].strip()
    if data == "-":
        return name, None
    if data.startswith('"'):
        _, end = regfile.unquote(data, 0)
        if data[end:].strip():
            raise ValueError("text after the closing quote")
    return name, regfile.parse_value(data, version)


class MachineExport:
    """The keys of one machine's export files.  keys maps a lower-case key
    path to (path, {lower-case value name: (name, type, bytes)}) for the keys
    the program reads, plus the platform keys; seen holds every key path of
    the files (lower case)."""

    def __init__(self, files):
        self.files = [Path(f) for f in files]
        self.keys = {}
        self.seen = set()

    # ---- reading ----
    def read(self):
        if not self.files:
            raise ExportError("no .reg file")
        for f in self.files:
            try:
                raw = f.read_bytes()
            except OSError as e:
                raise ExportError("cannot read %s: %s" % (f.name, e.strerror or e))
            try:
                self.read_text(*decode(raw, f.name))
            except ExportError as e:
                raise ExportError(str(e) if str(e).startswith(f.name) else "%s: %s" % (f.name, e))
        self.use_current_control_set()
        return self

    def read_text(self, text, version):
        lines = numbered_lines(text)
        header = next(((n, l.strip()) for n, l in lines if l.strip()), None)
        if header is None or header[1] not in ("REGEDIT4", "Windows Registry Editor Version 5.00"):
            raise ExportError("no registry export (its first line is not REGEDIT4 or "
                              "Windows Registry Editor Version 5.00)")
        current = None
        for number, line in lines:
            s = line.strip()
            if not s or s.startswith(";"):
                continue
            if s.startswith("["):
                if not s.endswith("]"):
                    raise ExportError("line %d: key line without its closing bracket" % number)
                path = s[1:-1].rstrip("\\")
                current = self.open_key(path)
                continue
            if current is None:
                continue
            try:
                name, value = parse_value_line(s, version)
            except ValueError as e:
                raise ExportError("line %d: %s, in [%s]" % (number, e, current[0]))
            if version == 5:  # names as the program's ANSI calls see them
                name = regfile.ansi(name).decode("latin-1")
            if value is None:
                current[1].pop(name.lower(), None)
            else:
                current[1][name.lower()] = (name, value[0], value[1])

    def open_key(self, path):
        """The key's entry when its values are kept, else None.  A line
        [-KEY] deletes the key and what lies under it."""
        if path.startswith("-"):
            gone = path[1:].lower()
            for k in [k for k in self.keys if under(k, gone)]:
                del self.keys[k]
            return None
        self.seen.add(path.lower())
        current = CONTROL_SET.sub(r"\1CurrentControlSet", path)
        if not any(under(current, p) for p in KEYS_READ + [SERIALCOMM, NT_VERSION_KEY, SELECT_KEY]):
            return None
        return self.keys.setdefault(path.lower(), (path, {}))

    def use_current_control_set(self):
        """An export of HKEY_LOCAL_MACHINE\\SYSTEM may hold ControlSet001 and
        no CurrentControlSet; the control set named by SYSTEM\\Select
        "Current" (else 001) is then the current one."""
        if not self.has(HKLM + "\\SYSTEM\\CurrentControlSet"):
            select = self.value(SELECT_KEY, "Current")
            current = 1
            if select and select[1] == regfile.REG_DWORD:
                current = int.from_bytes(select[2], "little")
            for k in list(self.keys):
                m = CONTROL_SET.match(self.keys[k][0])
                if m and int(m.group(2)) == current:
                    path = CONTROL_SET.sub(r"\1CurrentControlSet", self.keys[k][0])
                    self.keys[path.lower()] = (path, self.keys[k][1])
                    self.seen.add(path.lower())
        for k in [k for k in self.keys if CONTROL_SET.match(self.keys[k][0])]:
            del self.keys[k]

    # ---- what it tells ----
    def has(self, prefix):
        return any(under(k, prefix) for k in self.seen)

    def value(self, key, name):
        entry = self.keys.get(key.lower())
        return entry[1].get(name.lower()) if entry else None

    def text(self, key, name):
        v = self.value(key, name)
        if v and v[1] in regfile.STRING_TYPES:
            return v[2].split(b"\0")[0].decode("latin-1").strip()
        return None

    def platform(self):
        """(version for the runners or None, how it was told)."""
        nt = self.text(NT_VERSION_KEY, "CurrentVersion")
        if nt:
            if nt in NT_VERSIONS:
                return NT_VERSIONS[nt], "Windows NT %s" % nt
            return "nt40", "Windows NT %s, previewed as NT 4.0" % nt
        if self.has("HKEY_DYN_DATA") or self.has(HKLM + "\\Enum"):
            return "win95", "Windows 95"
        if self.has(SERIALCOMM) or self.has(SERVICE_KEY):
            return "nt40", "Windows NT (no version in the export: previewed as NT 4.0)"
        return None, ("cannot tell the platform: the export holds none of HKEY_DYN_DATA, "
                      "HKEY_LOCAL_MACHINE\\Enum (Windows 95), %s or %s (Windows NT); "
                      "give --version" % (NT_VERSION_KEY, SERIALCOMM))

    def com_devices(self):
        """(the COM names listed under SERIALCOMM, the other names it lists);
        None when the export has no SERIALCOMM key."""
        if not self.has(SERIALCOMM):
            return None
        names, others = [], []
        for k, (path, values) in sorted(self.keys.items()):
            if not under(k, SERIALCOMM):
                continue
            for _, kind, data in values.values():
                if kind not in regfile.STRING_TYPES:
                    continue
                name = data.split(b"\0")[0].decode("latin-1").strip()
                target = names if COM_NAME.match(name) else others
                if name and name.upper() not in (n.upper() for n in names + others):
                    target.append(name.upper() if target is names else name)
        return sorted(names, key=lambda n: int(COM_NAME.match(n).group(1))), others

    def has_config_manager(self):
        return any(under(k, CONFIG_MANAGER_ENUM) for k in self.keys)

    # ---- the file a runner imports ----
    def import_keys(self):
        """In the export's own order: a Windows 95 PC's regedit lists subkeys
        as the PC enumerates them, which the stand-in plays back."""
        return [(path, values) for k, (path, values) in self.keys.items()
                if any(under(k, p) for p in KEYS_READ)]

    def write_import(self, target, version):
        """The keys the program reads, as REGEDIT4 text; returns the path.
        Windows 95 always has the Config Manager's enumeration key: when the
        export lacks it, it is there empty (the census then sees no port)."""
        out = ["REGEDIT4", ""]
        keys = self.import_keys()
        if version == "win95" and not self.has_config_manager():
            keys.insert(0, (CONFIG_MANAGER_ENUM, {}))
        for path, values in keys:
            out.append("[%s]" % path)
            out += [reg4_value(name, kind, data) for name, kind, data in values.values()]
            out.append("")
        Path(target).write_bytes("\r\n".join(out).encode("latin-1") + b"\r\n")
        return Path(target)


def reg4_value(name, kind, data):
    head = "@" if name == "" else '"%s"' % reg4_escape(name)
    if kind == regfile.REG_SZ and data.endswith(b"\0") and \
            all(0x20 <= b < 0x7F for b in data[:-1]):
        return '%s="%s"' % (head, reg4_escape(data[:-1].decode("ascii")))
    if kind == regfile.REG_DWORD and len(data) == 4:
        return "%s=dword:%08x" % (head, int.from_bytes(data, "little"))
    prefix = "hex:" if kind == regfile.REG_BINARY else "hex(%x):" % kind
    return head + "=" + prefix + ",".join("%02x" % b for b in data)


def reg4_escape(text):
    return text.replace("\\", "\\\\").replace('"', '\\"')


def machine_files(path):
    """The .reg files of one machine: the file itself, or the .reg files of a folder."""
    path = Path(path)
    if path.is_dir():
        return sorted(p for p in path.iterdir() if p.suffix.lower() == ".reg" and p.is_file())
    return [path]


def read_machine(paths):
    files = []
    for p in paths:
        files += machine_files(p)
    return MachineExport(files).read()
