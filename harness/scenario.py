"""The scenario format (docs/scenarios.md): one scenario's machine and
expectations as a runner plays them, the C: drive laid out for a run, and
the outcome a run leaves in its folder.  The runners, the checker and the
preview use it; it uses no runner.
"""
import json
import shutil
import stat
from pathlib import Path

from harness import regfile, versions

ROOT = Path(__file__).resolve().parent.parent

ROOT_NAMES = {
    "HKLM": "HKEY_LOCAL_MACHINE",
    "HKEY_LOCAL_MACHINE": "HKEY_LOCAL_MACHINE",
    "HKDD": "HKEY_DYN_DATA",
    "HKEY_DYN_DATA": "HKEY_DYN_DATA",
}


class ScenarioError(Exception):
    """A scenario file that cannot be read as written."""


def unescape(text):
    """The scenario escapes: \\n \\r \\t \\\\ \\xHH."""
    out, i = [], 0
    while i < len(text):
        c = text[i]
        if c == "\\" and i + 1 < len(text):
            n = text[i + 1]
            if n in "nrt\\":
                out.append({"n": "\n", "r": "\r", "t": "\t", "\\": "\\"}[n])
                i += 2
                continue
            if n == "x" and i + 3 < len(text) + 1:
                try:
                    out.append(chr(int(text[i + 2:i + 4], 16)))
                    i += 4
                    continue
                except ValueError:
                    pass
        out.append(c)
        i += 1
    return "".join(out)


def escape(text):
    """Text written with the escapes unescape() reads (the Wine driver's
    plan reads the same ones)."""
    return text.replace("\\", "\\\\").replace("\n", "\\n").replace("\r", "\\r").replace("\t", "\\t")


def canonical_key(path):
    path = path.strip().strip("\\")
    head, _, rest = path.partition("\\")
    root = ROOT_NAMES.get(head.upper())
    if not root:
        raise ScenarioError("unknown registry root in %r" % path)
    return root + ("\\" + rest if rest else "")


def c_path(text):
    """A file or folder on C: as a scenario names it."""
    path = text.strip()
    if not (len(path) > 3 and path[0].upper() == "C" and path[1:3] == ":\\"):
        raise ScenarioError("expected a path on C:, such as C:\\setup\\x.sys, got %r" % text)
    return path


def fields(text, count_min, count_max=None):
    parts = [p.strip() for p in text.split(" | ")]
    if count_max is None:
        count_max = count_min
    if not count_min <= len(parts) <= count_max:
        raise ScenarioError("expected %d to %d fields separated by ' | ' in %r"
                            % (count_min, count_max, text))
    return parts


RUNNER_NAMES = ("wine", "host")


def named_values(text):
    """NAME=VALUE words: numbers (decimal or 0x hex), yes/no, or a word."""
    out = {}
    for word in text.split():
        name, sep, val = word.partition("=")
        if not sep or not name or not val:
            raise ScenarioError("expected NAME=VALUE words, got %r" % word)
        if val in ("yes", "no"):
            out[name] = val == "yes"
        else:
            try:
                out[name] = int(val, 0)
            except ValueError:
                out[name] = val
    return out


def show_value(v):
    if isinstance(v, bool):
        return "yes" if v else "no"
    if isinstance(v, int):
        return "0x%x" % v if v > 9 else str(v)
    return str(v)


class Scenario:
    """One scenario as one runner plays it: lines written `on wine: ...` or
    `on host: ...` count only for that runner (runner None: for neither)."""

    def __init__(self, path, runner=None):
        self.path = Path(path)
        self.runner = runner
        self.name = str(self.path.relative_to(ROOT)) if self.path.is_absolute() and \
            ROOT in self.path.parents else str(self.path)
        self.runners = ["wine", "host"]
        self.version = "win95"
        self.comdb = None       # "none" or "faulting"; None: as the version has it
        self.user = None        # "limited": a user who is no administrator
        self.deleted = []       # services deleted while a handle stays open
        self.regs = []          # host files to import
        self.coms = []
        self.all_com = False
        self.env = []           # (name, value or None to remove), in order
        self.files = []         # (windows path, bytes)
        self.readonly = []      # files given the read-only attribute once on the drive
        self.full = []          # folders on a full drive
        self.programs = {}      # name -> mode
        self.cwd = "C:\\setup"
        self.faults = []
        self.ignore_stop = []
        self.nt_start = []      # services the Wine runner starts afterwards
        self.running = []       # services started before the run
        self.args = None
        self.order = "any"      # "creation": played in Windows 95's order also when shuffled
        self.answers = []
        self.expect = []        # (kind, data, line number)
        self.parse()

    def lines(self, path, seen=()):
        """(file, folder, line number, line) of a scenario file, the lines of
        each file it includes (`include: < other.scn`) in their place."""
        path = Path(path)
        if path.resolve() in seen:
            raise ScenarioError("%s includes itself" % path)
        for number, raw in enumerate(path.read_text(encoding="utf-8").splitlines(), 1):
            key, sep, value = raw.strip().partition(":")
            if sep and key.strip() == "include":
                name = value.strip()
                if not name.startswith("<"):
                    raise ScenarioError("%s:%d: include takes '< FILE'" % (path, number))
                other = path.parent / name[1:].strip()
                if not other.is_file():
                    raise ScenarioError("%s:%d: no scenario %s to include" % (path, number, other))
                yield from self.lines(other, seen + (path.resolve(),))
                continue
            yield path, path.parent, number, raw

    def parse(self):
        has_fault = False
        for source, base, number, raw in self.lines(self.path):
            line = raw.strip()
            if not line or line.startswith("#"):
                continue
            only, raw = self.qualifier(raw.lstrip(), number, source)
            if only is not None and only != self.runner:
                continue
            line = raw.strip()
            key, sep, value = line.partition(":")
            if not sep:
                if line == "noboxes":
                    continue
                raise ScenarioError("%s:%d: no directive in %r" % (source, number, line))
            key, value = key.strip(), value.strip()
            try:
                if key == "runners":
                    self.runners = value.split()
                elif key == "version":
                    if value not in versions.SCENARIO_NAMES:
                        raise ScenarioError("unknown version %r (known: %s)"
                                            % (value, " ".join(versions.SCENARIO_NAMES)))
                    self.version = value
                elif key == "comdb":
                    if value not in ("none", "faulting"):
                        raise ScenarioError("comdb takes 'none' or 'faulting', not %r" % value)
                    self.comdb = value
                elif key == "user":
                    if value != "limited":
                        raise ScenarioError("user takes only 'limited', not %r" % value)
                    self.user = value
                elif key == "service-deleted":
                    self.deleted.append(value)
                elif key == "order":
                    if value != "creation":
                        raise ScenarioError("order takes only 'creation', not %r" % value)
                    self.order = value
                elif key == "reg" and value.startswith("<"):
                    self.regs.append(base / value[1:].strip())
                elif key == "com":
                    self.coms += value.split()
                elif key == "all-com":
                    self.all_com = True
                elif key == "env":
                    name, _, val = value.partition("=")
                    self.env.append((name, unescape(val)))
                elif key == "unset":
                    self.env.append((value, None))
                elif key == "file":
                    dest, _, src = value.partition("<")
                    self.files.append((dest.strip(), (base / src.strip()).read_bytes()))
                elif key == "text":
                    dest, _, body = value.partition(" = ")
                    if not _:
                        dest, body = value.rstrip("=").strip(), ""
                    self.files.append((dest.strip(), unescape(body).encode("latin-1")))
                elif key == "program":
                    words = value.split()
                    self.programs[words[0]] = words[1] if len(words) > 1 else ""
                elif key == "readonly":
                    self.readonly.append(c_path(value))
                elif key == "full":
                    self.full.append(c_path(value))
                elif key == "cwd":
                    self.cwd = value
                elif key == "fault":
                    has_fault = True
                    self.faults.append("|".join(p.strip() for p in value.split("|")))
                elif key == "service-ignores-stop":
                    has_fault = True
                    self.ignore_stop.append(value)
                elif key == "service-running":
                    self.running.append(value)
                elif key == "nt-start":
                    self.nt_start.append(value)
                elif key == "cmdline":
                    rest = raw.split(":", 1)[1]
                    self.args = unescape(rest.lstrip(" ")) if rest.strip() else rest[1:]
                elif key == "answer":
                    self.answers.append("; ".join(unescape(a.strip()) if not a.strip().startswith("Type ")
                                                  else "Type " + unescape(a.strip()[5:])
                                                  for a in value.split(";")))
                elif key in ("box", "dialog", "reg", "noreg", "key", "nokey", "subkeys",
                             "samefile", "filetext", "nofile", "writable", "help", "debug", "nodebug",
                             "posted", "gap", "runtime", "service", "asked", "window"):
                    self.expect.append((key, self.expectation(key, value, base), number))
                else:
                    raise ScenarioError("unknown directive %r" % key)
            except (ScenarioError, OSError, ValueError) as e:
                raise ScenarioError("%s:%d: %s" % (source, number, e))
        if (has_fault or self.version == "fail") and "wine" in self.runners:
            self.runners = [r for r in self.runners if r != "wine"]

    def qualifier(self, line, number, source=None):
        """('wine' or 'host', the rest) for a line `on RUNNER: rest`, else (None, line)."""
        if not line.startswith("on "):
            return None, line
        head, sep, rest = line[3:].partition(":")
        if not sep or head.strip() not in RUNNER_NAMES or not rest.strip():
            raise ScenarioError("%s:%d: 'on' takes a runner (%s) and a directive: %r"
                                % (source or self.path, number, " or ".join(RUNNER_NAMES), line))
        return head.strip(), rest.lstrip(" ")

    @staticmethod
    def expectation(key, value, base):
        if key == "box":
            p = fields(value, 2, 3)
            return {"caption": p[0], "text": unescape(p[1]),
                    "buttons": p[2].split() if len(p) > 2 else None}
        if key == "dialog":
            p = fields(value, 1, 2)
            return {"caption": p[0], "text": unescape(p[1]) if len(p) > 1 else None}
        if key == "reg":
            p = fields(value, 3)
            return {"key": canonical_key(p[0]), "value": p[1], "data": regfile.parse_data(p[2], unescape)}
        if key == "noreg":
            p = fields(value, 2)
            return {"key": canonical_key(p[0]), "value": p[1]}
        if key in ("key", "nokey"):
            return {"key": canonical_key(value)}
        if key == "subkeys":
            p = fields(value, 1, 2)
            return {"key": canonical_key(p[0]), "names": p[1].split() if len(p) > 1 else []}
        if key == "samefile":
            dest, _, src = value.partition("<")
            return {"path": dest.strip(), "bytes": (base / src.strip()).read_bytes()}
        if key == "filetext":
            dest, _, body = value.partition(" = ")
            return {"path": dest.strip(), "bytes": unescape(body).encode("latin-1")}
        if key in ("nofile", "writable"):
            return {"path": value}
        if key == "help":
            p = fields(value, 3)
            return {"file": p[0], "command": int(p[1], 0), "data": int(p[2], 0)}
        if key in ("debug", "nodebug"):
            return {"text": unescape(value)}
        if key == "posted":
            p = fields(value, 2)
            return {"class": p[0], "msg": int(p[1], 0)}
        if key == "gap":
            p = fields(value, 3)
            a, b = p[0].split()
            return {"from": a, "to": b, "min": int(p[1]), "max": int(p[2])}
        if key == "runtime":
            p = fields(value, 2)
            return {"min": int(p[0]), "max": int(p[1])}
        if key == "service":
            p = fields(value, 2)
            return {"name": p[0], "state": p[1]}
        if key == "asked":
            p = fields(value, 3, 4)
            return {"api": p[0], "match": p[1], "when": named_values(p[2]) if len(p) == 4 else {},
                    "values": named_values(p[-1])}
        if key == "window":
            p = fields(value, 2)
            return {"class": p[0], "values": named_values(p[1])}
        raise ScenarioError("unknown expectation %r" % key)

    def registry_keys(self):
        """The keys the expectations look at (for runners that export only part)."""
        keys = set()
        for kind, data, _ in self.expect:
            if "key" in data:
                keys.add(data["key"])
        return sorted(keys)

    def value_keys(self):
        """The keys whose values the expectations look at (reg:, noreg:): a
        runner whose export does not keep every value's type and stored
        size reads them once more, exactly."""
        return sorted({data["key"] for kind, data, _ in self.expect if kind in ("reg", "noreg")})


# ---------------------------------------------------------------------------
# The drive a run starts from, and the outcome it leaves

def fresh_copy(src, target):
    """Copies src to target as a file of its own: a file already there
    (which may be a hard link to files other runs share) is replaced, not
    written through."""
    if target.is_file() or target.is_symlink():
        target.unlink()
    shutil.copy2(src, target)


def prepare_drive(scenario, drive, programs):
    """Lays out C: for one run.  programs maps a test program's name to its file."""
    for folder in ("windows", "windows/system32/drivers", "setup", "testlog"):
        (drive / folder).mkdir(parents=True, exist_ok=True)
    for name, mode in scenario.programs.items():
        if name == "second":
            fresh_copy(programs["second"], drive / "setup" / programs["second_name"])
            (drive / "testlog" / "second-mode.txt").write_text(mode or "exit0")
        elif name in ("qblred.sys", "qblred-sticky.sys"):
            fresh_copy(programs[name], drive / "setup" / name)
            if mode == "installed":
                fresh_copy(programs[name], drive / "windows/system32/drivers/qblred.sys")
            elif mode:
                raise ScenarioError("%s takes no mode but 'installed': %r" % (name, mode))
        elif name == "red32":
            pass
        else:
            raise ScenarioError("unknown program %r" % name)
    for path, data in scenario.files:
        target = host_path(drive, path)
        target.parent.mkdir(parents=True, exist_ok=True)
        if target.is_file() or target.is_symlink():
            target.unlink()
        target.write_bytes(data)
    for path in scenario.full:
        host_path(drive, path).mkdir(parents=True, exist_ok=True)
    # The read-only attribute is the host file without write permission
    # (Wine shows a file that has none as FILE_ATTRIBUTE_READONLY, the
    # stand-in one without its owner's).
    for path in scenario.readonly:
        target = host_path(drive, path)
        if not target.is_file():
            raise ScenarioError("readonly: %s is no file the scenario puts on the drive" % path)
        target.chmod(stat.S_IMODE(target.stat().st_mode) & ~0o222)


def host_path(drive, windows_path):
    path = windows_path.replace("/", "\\")
    if len(path) >= 2 and path[1] == ":":
        if path[0].upper() != "C":
            raise ScenarioError("only the C: drive can hold files: %r" % windows_path)
        path = path[2:]
    here = drive
    for part in [p for p in path.split("\\") if p]:
        match = [c for c in here.iterdir() if c.name.lower() == part.lower()] if here.is_dir() else []
        here = match[0] if match else here / part
    return here


class Outcome:
    def __init__(self, folder):
        self.folder = Path(folder)
        self.events = []
        events = self.folder / "events.jsonl"
        if events.exists():
            for line in events.read_text(encoding="utf-8", errors="replace").splitlines():
                if line.strip():
                    self.events.append(json.loads(line))
        reg = self.folder / "registry.reg"
        self.registry = regfile.parse_file(reg) if reg.exists() else {}
        # Values read once more with their exact type and stored size (the
        # Wine runner's export turns a REG_SZ into text and loses its size):
        # one JSON line a key, {"key": K, "values": [{"name", "type", "data" (hex)}]}.
        exact = self.folder / "values.jsonl"
        if exact.exists():
            for line in exact.read_text(encoding="utf-8", errors="replace").splitlines():
                if not line.strip():
                    continue
                key = json.loads(line)
                if "values" not in key:
                    continue  # the key could not be read
                values = {v["name"].lower(): (v["type"], bytes.fromhex(v["data"]))
                          for v in key["values"]}
                names = {v["name"].lower(): v["name"] for v in key["values"]}
                self.registry[key["key"].lower()] = {"name": key["key"], "values": values,
                                                     "names": names}
        self.calls = None
        calls = self.folder / "calls.jsonl"
        if calls.exists():
            self.calls = [json.loads(line) for line in
                          calls.read_text(encoding="utf-8", errors="replace").splitlines() if line.strip()]
        self.services = {}
        svc = self.folder / "services.txt"
        if svc.exists():
            for line in svc.read_text().splitlines():
                if line.strip():
                    name, _, state = line.partition(" ")
                    self.services[name.lower()] = state.strip()
        self.drive = self.folder / "drive_c"

    def file(self, windows_path):
        """The host path of a C: path, components matched without regard to
        case; None when it is not there."""
        here = host_path(self.drive, windows_path)
        return here if here.exists() or here.is_symlink() else None

    def stamp(self, name):
        f = self.file("C:\\testlog\\%s.txt" % name)
        if f is None or not f.is_file():
            return None
        try:
            return int(f.read_text().strip())
        except ValueError:
            return None


