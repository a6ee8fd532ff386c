"""A PC's registry, exported there with regedit, read for a preview.

    export = pc_export.read_machine([Path("pc.reg"), ...])

One machine may come in several .reg files (an administrator often exports
a few keys separately).  From them this module tells

- the Windows version (platform()): an NT's from "CurrentVersion" and
  "CurrentBuildNumber" of HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion,
  a 95, 98 or ME's from "VersionNumber" of
  HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows\\CurrentVersion, a 64-bit
  edition by PROCESSOR_ARCHITECTURE in the Session Manager's Environment or
  by any Wow6432Node key; without a version, Windows 95 (keys under
  HKEY_DYN_DATA or HKEY_LOCAL_MACHINE\\Enum) or NT 4.0;
- the numbers the COM port database (Windows 2000 and later) reserves:
  the bits of "ComDB" under ...\\Control\\COM Name Arbiter;
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
from collections import namedtuple
from pathlib import Path

from harness import regfile, versions

HKLM = "HKEY_LOCAL_MACHINE"
CONFIG_MANAGER_ENUM = "HKEY_DYN_DATA\\Config Manager\\Enum"
SERIALCOMM = HKLM + "\\HARDWARE\\DEVICEMAP\\SERIALCOMM"
NT_VERSION_KEY = HKLM + "\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion"
WINDOWS_VERSION_KEY = HKLM + "\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion"
ENVIRONMENT_KEY = HKLM + "\\SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Environment"
COMDB_KEY = HKLM + "\\SYSTEM\\CurrentControlSet\\Control\\COM Name Arbiter"
SERVICE_KEY = HKLM + "\\System\\CurrentControlSet\\Services\\Qblred"
SELECT_KEY = HKLM + "\\SYSTEM\\Select"
KEYS_READ = [
    CONFIG_MANAGER_ENUM,
    HKLM + "\\Enum",
    HKLM + "\\System\\CurrentControlSet\\Services\\Class\\Ports",
    SERVICE_KEY,
    HKLM + "\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Quorbelle Redirector",
    HKLM + "\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths\\rdcfg.exe",
    # A 64-bit PC's export names the 32-bit program's view of SOFTWARE so.
    HKLM + "\\SOFTWARE\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Quorbelle Redirector",
    HKLM + "\\SOFTWARE\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\App Paths\\rdcfg.exe",
    COMDB_KEY,
]
# Keys read for the platform alone, without their subkeys (a whole-registry
# export holds much under them that nothing here reads).
PLATFORM_KEYS = [NT_VERSION_KEY, WINDOWS_VERSION_KEY, ENVIRONMENT_KEY, SELECT_KEY]
# "CurrentVersion" of an NT: the runners' version.  6.3 is also what
# Windows 10 and 11 write there; their build numbers start at 10000.
NT_VERSIONS = {"3.51": "nt351", "4.0": "nt40", "5.0": "win2k", "5.1": "winxp", "5.2": "win2003",
               "6.0": "vista", "6.1": "win7", "6.2": "win8", "6.3": "win81"}
FIRST_WIN10_BUILD = 10000
FIRST_WIN11_BUILD = 22000
# "VersionNumber" of a 95, 98 or ME (major.minor): the runners' version.
# 4.03 is a later Windows 95 release; 98 SE is build 2222 of 4.10.
VERSIONS_9X = {(4, 0): "win95", (4, 3): "win95", (4, 10): "win98", (4, 90): "winme"}
WIN98_SE_BUILD = 2222
ARCHITECTURES_64 = ("AMD64", "IA64", "ARM64")
COM_NAME = re.compile(r"^COM([1-9][0-9]{0,2})$", re.I)
CONTROL_SET = re.compile(r"^(HKEY_LOCAL_MACHINE\\SYSTEM\\)ControlSet(\d{3})(?=\\|$)", re.I)

# How to export what the preview needs, per platform (shown where it lacks them).
EXPORT_HELP = {
    "win95": 'regedit /e cm.reg "HKEY_DYN_DATA\\Config Manager\\Enum"',
    "nt": 'regedit /e serialcomm.reg "HKEY_LOCAL_MACHINE\\HARDWARE\\DEVICEMAP\\SERIALCOMM"',
    "comdb": 'regedit /e comdb.reg "%s"' % COMDB_KEY,
}

# What platform() tells: the runners' version, the name Windows gives it,
# and a note when the export did not say it all (else None).
Platform = namedtuple("Platform", "version title note")


class ExportError(Exception):
    """An export that cannot be previewed; the text says why."""


def under(key, prefix):
    k, p = key.lower(), prefix.lower()
    return k == p or k.startswith(p + "\\")


def decode(raw, name):
    """(text, 5 for a "Windows Registry Editor Version 5.00" export, else 4).
    Windows 2000 and later write that export as UTF-16 LE with a byte order
    mark; one saved again by an editor may be UTF-8 (with its mark) or ANSI.
    Its hex(2) and hex(7) data are UTF-16 in every form, REGEDIT4's ANSI."""
    if not raw.strip(b"\r\n\t \x00\xff\xfe"):
        raise ExportError("%s is empty" % name)
    if raw.startswith(b"\xff\xfe"):
        if len(raw) % 2:
            raise ExportError("%s was cut short (UTF-16 text of odd length)" % name)
        return raw[2:].decode("utf-16-le", errors="replace").rstrip("\0"), 5
    if b"\0" in raw[:200]:
        raise ExportError("%s is no registry export (binary data)" % name)
    if raw.startswith(b"\xef\xbb\xbf"):
        text = raw[3:].decode("utf-8", errors="replace")
    else:
        text = raw.decode("latin-1")
    return text, 5 if text.lstrip().startswith("Windows Registry Editor Version 5.00") else 4


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
        if not any(under(current, p) for p in KEYS_READ + [SERIALCOMM]) and \
                current.lower() not in (p.lower() for p in PLATFORM_KEYS):
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
        """The Platform the export tells: version None (and the note says
        why) when it tells none."""
        nt = self.text(NT_VERSION_KEY, "CurrentVersion")
        if nt:
            return self.nt_platform(nt)
        number = self.text(WINDOWS_VERSION_KEY, "VersionNumber")
        if number:
            return self.platform_9x(number)
        if self.has("HKEY_DYN_DATA") or self.has(HKLM + "\\Enum"):
            return Platform("win95", "Windows 95", "no VersionNumber in %s: previewed as Windows 95"
                            % WINDOWS_VERSION_KEY)
        if any(self.has(k) for k in (SERIALCOMM, SERVICE_KEY, COMDB_KEY, ENVIRONMENT_KEY)):
            note = "Windows NT (no version in the export: previewed as NT 4.0)"
            if self.has(COMDB_KEY):
                note += "; its COM port database, which only Windows 2000 and later have, " \
                        "is not used: give --version"
            return Platform("nt40", "Windows NT 4.0", note)
        return Platform(None, "?", (
            "cannot tell the platform: the export holds none of HKEY_DYN_DATA, "
            "HKEY_LOCAL_MACHINE\\Enum, %s (Windows 95, 98, ME), %s or %s (Windows NT and later); "
            "give --version" % (WINDOWS_VERSION_KEY, NT_VERSION_KEY, SERIALCOMM)))

    def nt_platform(self, nt):
        build = leading_number(self.text(NT_VERSION_KEY, "CurrentBuildNumber") or
                               self.text(NT_VERSION_KEY, "CurrentBuild")) or 0
        major = self.value(NT_VERSION_KEY, "CurrentMajorVersionNumber")
        note = None
        name = NT_VERSIONS.get(nt)
        if nt == "6.3" and build >= FIRST_WIN10_BUILD or \
                major and major[1] == regfile.REG_DWORD and int.from_bytes(major[2], "little") >= 10:
            name = "win10"
            title = "Windows 11" if build >= FIRST_WIN11_BUILD else "Windows 10"
        else:
            if name is None:
                name, note = "nt40", "Windows NT %s, previewed as NT 4.0" % nt
            title = versions.get(name).title
        bits64, how = self.edition_64()
        if title == "Windows 11" and not bits64:
            bits64 = True   # there is no 32-bit Windows 11
        if bits64:
            # XP x64 is an NT 5.2, as Server 2003 is; ProductName tells them apart.
            xp = name == "winxp" or name == "win2003" and \
                "XP" in (self.text(NT_VERSION_KEY, "ProductName") or "")
            wide = "win2003-64" if name == "winxp" else name + "-64"
            if wide not in versions.BY_NAME:
                note = "%s, but %s has no 64-bit edition: previewed as the 32-bit one" % (how, title)
            else:
                name, title = wide, ("Windows XP" if xp else title) + " 64-bit"
        return Platform(name, title, note)

    def platform_9x(self, number):
        found = re.match(r"(\d+)\.(\d+)(?:\.(\d+))?", number)
        key = (int(found.group(1)), int(found.group(2))) if found else None
        name = VERSIONS_9X.get(key)
        if name is None:
            return Platform("win95", "Windows 95", 'VersionNumber "%s", previewed as Windows 95' % number)
        title = versions.get(name).title
        if name == "win98" and found.group(3) and int(found.group(3)) >= WIN98_SE_BUILD:
            title = "Windows 98 SE"
        return Platform(name, title, None)

    def edition_64(self):
        """(whether the export is of a 64-bit edition, how that is told)."""
        arch = self.text(ENVIRONMENT_KEY, "PROCESSOR_ARCHITECTURE")
        if arch:
            return arch.upper() in ARCHITECTURES_64, "PROCESSOR_ARCHITECTURE %s" % arch
        if any("wow6432node" in k.split("\\") for k in self.seen):
            return True, "keys under Wow6432Node"
        return False, "no PROCESSOR_ARCHITECTURE"

    def comdb_reserved(self):
        """The COM numbers the COM port database holds, from "ComDB" (bit
        n-1 for COMn, least significant first); None when the export has no
        COM Name Arbiter key.  A key without the value is an empty database."""
        if not self.has(COMDB_KEY):
            return None
        value = self.value(COMDB_KEY, "ComDB")
        bitmap = value[2] if value and value[1] == regfile.REG_BINARY else b""
        return [i * 8 + bit + 1 for i, byte in enumerate(bitmap) for bit in range(8) if byte >> bit & 1]

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
        Windows 95, 98 and ME always have the Config Manager's enumeration
        key: when the export lacks it, it is there empty (the census then
        sees no port).  The COM port database goes only to a version that
        has one."""
        out = ["REGEDIT4", ""]
        keys = [(path, values) for path, values in self.import_keys()
                if versions.has_comdb(version) or not under(path, COMDB_KEY)]
        if versions.is_9x(version) and not self.has_config_manager():
            keys.insert(0, (CONFIG_MANAGER_ENUM, {}))
        for path, values in keys:
            out.append("[%s]" % path)
            out += [reg4_value(name, kind, data) for name, kind, data in values.values()]
            out.append("")
        Path(target).write_bytes("\r\n".join(out).encode("latin-1") + b"\r\n")
        return Path(target)


def leading_number(text):
    found = re.match(r"\d+", text or "")
    return int(found.group(0)) if found else None


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
