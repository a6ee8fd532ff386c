#!/usr/bin/env python3
"""Plays scenarios (docs/scenarios.md) on the native stand-in and on Wine,
and checks what each run left behind against the scenario's expectations.

    scripts/scenario.py [--runner host|wine|both] [--jobs N] [--keep DIR]
                        [--shuffle [SEED]] [--version NAME] [PATHS...]

PATHS are .scn files or folders of them (default: scenarios/).  Prints one
line per scenario and runner and ends with "scenarios: N passed, M failed".
Exits non-zero on any failure, and when a runner cannot run at all.
--shuffle (host runner only) plays every scenario with the registry's
subkeys enumerated in an order drawn from SEED (drawn and printed when not
given), except those written `order: creation`.  --version plays only the
scenarios of that version (win95, nt351, ...).
"""
import argparse
import concurrent.futures
import json
import os
import random
import shutil
import stat
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(Path(__file__).resolve().parent))

import regfile  # noqa: E402

HOST_RUNNER = ROOT / "build/host/hostrun/scenario-host"
HOST_SECOND = ROOT / "build/host/testprogs/second"
WIN32_DIR = ROOT / "build/win32"

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

    def parse(self):
        base = self.path.parent
        has_fault = False
        for number, raw in enumerate(self.path.read_text(encoding="utf-8").splitlines(), 1):
            line = raw.strip()
            if not line or line.startswith("#"):
                continue
            only, raw = self.qualifier(raw.lstrip(), number)
            if only is not None and only != self.runner:
                continue
            line = raw.strip()
            key, sep, value = line.partition(":")
            if not sep:
                if line == "noboxes":
                    continue
                raise ScenarioError("%s:%d: no directive in %r" % (self.path, number, line))
            key, value = key.strip(), value.strip()
            try:
                if key == "runners":
                    self.runners = value.split()
                elif key == "version":
                    self.version = value
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
                raise ScenarioError("%s:%d: %s" % (self.path, number, e))
        if (has_fault or self.version == "fail") and "wine" in self.runners:
            self.runners = [r for r in self.runners if r != "wine"]

    def qualifier(self, line, number):
        """('wine' or 'host', the rest) for a line `on RUNNER: rest`, else (None, line)."""
        if not line.startswith("on "):
            return None, line
        head, sep, rest = line[3:].partition(":")
        if not sep or head.strip() not in RUNNER_NAMES or not rest.strip():
            raise ScenarioError("%s:%d: 'on' takes a runner (%s) and a directive: %r"
                                % (self.path, number, " or ".join(RUNNER_NAMES), line))
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
# The outcome and its checks

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
        """The host path of a C: path, components matched without regard to case."""
        path = windows_path.replace("/", "\\")
        if len(path) >= 2 and path[1] == ":":
            path = path[2:]
        here = self.drive
        for part in [p for p in path.split("\\") if p]:
            if not here.is_dir():
                return None
            match = [c for c in here.iterdir() if c.name.lower() == part.lower()]
            if not match:
                return None
            here = match[0]
        return here

    def stamp(self, name):
        f = self.file("C:\\testlog\\%s.txt" % name)
        if f is None or not f.is_file():
            return None
        try:
            return int(f.read_text().strip())
        except ValueError:
            return None


def show(text):
    return json.dumps(text)


def check(scenario, outcome):
    """Returns a list of failure texts (empty when every expectation holds)."""
    problems = []
    shown = [e for e in outcome.events if e.get("ev") in ("box", "dialog")]
    for e in outcome.events:
        if e.get("ev") in ("unanswered", "timeout", "error"):
            problems.append("runner: %s %s" % (e.get("ev"), show(e.get("text", e.get("why", "")))))
    exits = [e for e in outcome.events if e.get("ev") == "exit"]
    if not exits:
        problems.append("the program did not end (no exit event)")
    elif exits[-1].get("code") != 0:
        problems.append("exit code %s, not 0" % exits[-1].get("code"))

    wanted = [(k, d, n) for k, d, n in scenario.expect if k in ("box", "dialog")]
    for i, (kind, data, number) in enumerate(wanted):
        if i >= len(shown):
            problems.append("line %d: expected %s %s %s, but no more boxes were shown"
                            % (number, kind, show(data["caption"]), show(data.get("text"))))
            break
        got = shown[i]
        if got.get("ev") != kind or got.get("caption") != data["caption"] or \
                (data.get("text") is not None and got.get("text") != data["text"]):
            problems.append("line %d: expected %s %s %s, got %s %s %s"
                            % (number, kind, show(data["caption"]), show(data.get("text")),
                               got.get("ev"), show(got.get("caption")), show(got.get("text"))))
            break
        if kind == "box" and data.get("buttons") and got.get("buttons") != data["buttons"]:
            problems.append("line %d: buttons %s, expected %s" % (number, got.get("buttons"),
                                                                  data["buttons"]))
    if len(shown) > len(wanted) and not any("boxes were shown" in p for p in problems):
        extra = shown[len(wanted)]
        problems.append("an unexpected %s %s %s" % (extra.get("ev"), show(extra.get("caption")),
                                                    show(extra.get("text"))))

    helps = [e for e in outcome.events if e.get("ev") == "help"]
    wanted_help = [(d, n) for k, d, n in scenario.expect if k == "help"]
    got_help = [(h.get("file"), h.get("command"), h.get("data")) for h in helps]
    exp_help = [(d["file"], d["command"], d["data"]) for d, _ in wanted_help]
    if got_help != exp_help:
        problems.append("help calls %s, expected %s" % (got_help, exp_help))

    debug = "".join(e.get("text", "") for e in outcome.events if e.get("ev") == "debug")
    posted = [(e.get("class"), e.get("msg")) for e in outcome.events if e.get("ev") == "posted"]
    reg = outcome.registry

    for kind, data, number in scenario.expect:
        where = "line %d: " % number
        if kind == "reg":
            values = reg.get(data["key"].lower())
            if values is None:
                problems.append(where + "key %s missing" % data["key"])
                continue
            got = values["values"].get(data["value"].lower())
            if got is None:
                problems.append(where + "value %s\\%s missing" % (data["key"], data["value"]))
            elif got != data["data"]:
                problems.append(where + "%s\\%s is %s, expected %s" % (
                    data["key"], data["value"], regfile.show_data(got),
                    regfile.show_data(data["data"])))
        elif kind == "noreg":
            values = reg.get(data["key"].lower())
            if values is not None and data["value"].lower() in values["values"]:
                problems.append(where + "value %s\\%s exists" % (data["key"], data["value"]))
        elif kind == "key":
            if data["key"].lower() not in reg:
                problems.append(where + "key %s missing" % data["key"])
        elif kind == "nokey":
            if data["key"].lower() in reg:
                problems.append(where + "key %s exists" % data["key"])
        elif kind == "subkeys":
            prefix = data["key"].lower() + "\\"
            names = sorted({k[len(prefix):].split("\\")[0] for k in reg if k.startswith(prefix)})
            if names != sorted(n.lower() for n in data["names"]):
                problems.append(where + "subkeys of %s are %s, expected %s"
                                % (data["key"], names, data["names"]))
        elif kind in ("samefile", "filetext"):
            f = outcome.file(data["path"])
            if f is None or not f.is_file():
                problems.append(where + "file %s missing" % data["path"])
            elif f.read_bytes() != data["bytes"]:
                problems.append(where + "file %s holds %s, expected %s" % (
                    data["path"], show(f.read_bytes().decode("latin-1")[:300]),
                    show(data["bytes"].decode("latin-1")[:300])))
        elif kind == "nofile":
            f = outcome.file(data["path"])
            if f is not None and f.exists():
                problems.append(where + "file %s exists" % data["path"])
        elif kind == "writable":
            f = outcome.file(data["path"])
            if f is None or not f.is_file():
                problems.append(where + "file %s missing" % data["path"])
            elif not f.stat().st_mode & stat.S_IWUSR:
                problems.append(where + "file %s is read-only (mode %03o)"
                                % (data["path"], stat.S_IMODE(f.stat().st_mode)))
        elif kind == "debug":
            if data["text"] not in debug:
                problems.append(where + "debugger output %s lacks %s" % (show(debug), show(data["text"])))
        elif kind == "nodebug":
            if data["text"] in debug:
                problems.append(where + "debugger output holds %s" % show(data["text"]))
        elif kind == "posted":
            if (data["class"], data["msg"]) not in posted:
                problems.append(where + "no message %d posted to %s (posted: %s)"
                                % (data["msg"], data["class"], posted))
        elif kind == "gap":
            a, b = outcome.stamp(data["from"]), outcome.stamp(data["to"])
            if a is None or b is None:
                problems.append(where + "stamp %s or %s missing" % (data["from"], data["to"]))
            elif not data["min"] <= b - a <= data["max"]:
                problems.append(where + "%s to %s took %d ms, expected %d to %d"
                                % (data["from"], data["to"], b - a, data["min"], data["max"]))
        elif kind == "runtime":
            ms = exits[-1].get("ms") if exits else None
            if ms is None or not data["min"] <= ms <= data["max"]:
                problems.append(where + "ran %s ms, expected %d to %d" % (ms, data["min"], data["max"]))
        elif kind == "service":
            state = outcome.services.get(data["name"].lower(), "absent")
            if state != data["state"]:
                problems.append(where + "service %s is %s, expected %s"
                                % (data["name"], state, data["state"]))
        elif kind == "asked":
            problems += check_asked(outcome, data, where)
        elif kind == "window":
            problems += check_window(outcome, data, where)
    return problems


def check_asked(outcome, data, where):
    """Every call of the API whose subject holds the match was given these values."""
    if outcome.calls is None:
        return [where + "this runner does not record what the calls were asked (write 'on host:')"]
    calls = [c for c in outcome.calls if c.get("api", "").lower() == data["api"].lower()
             and (data["match"] == "*" or data["match"].lower() in c.get("subject", "").lower())
             and all(c.get(k) == v for k, v in data["when"].items())]
    if not calls:
        return [where + "no call of %s on %s" % (data["api"], show(data["match"]))]
    for c in calls:
        for name, want in data["values"].items():
            got = c.get(name)
            if got != want:
                return [where + "%s on %s was given %s=%s, expected %s" % (
                    data["api"], show(c.get("subject")), name,
                    "nothing" if got is None else show_value(got), show_value(want))]
    return []


def check_window(outcome, data, where):
    """The program's top-level window of that class, as the runner read it."""
    windows = [e for e in outcome.events if e.get("ev") == "window" and
               e.get("class", "").lower() == data["class"].lower()]
    if not windows:
        return [where + "no window of class %s was seen" % show(data["class"])]
    w = windows[-1]
    for name, want in data["values"].items():
        if name not in w:
            return [where + "this runner does not read the window's %s" % name]
        if w[name] != want:
            return [where + "window %s has %s=%s, expected %s" % (
                data["class"], name, show_value(w[name]), show_value(want))]
    return []


# ---------------------------------------------------------------------------
# Preparing a drive and running

def prepare_drive(scenario, drive, programs):
    """Lays out C: for one run.  programs maps a test program's name to its file."""
    for folder in ("windows", "windows/system32/drivers", "setup", "testlog"):
        (drive / folder).mkdir(parents=True, exist_ok=True)
    for name, mode in scenario.programs.items():
        if name == "second":
            shutil.copy2(programs["second"], drive / "setup" / programs["second_name"])
            (drive / "testlog" / "second-mode.txt").write_text(mode or "exit0")
        elif name in ("qblred.sys", "qblred-sticky.sys"):
            shutil.copy2(programs[name], drive / "setup" / name)
            if mode == "installed":
                shutil.copy2(programs[name], drive / "windows/system32/drivers/qblred.sys")
            elif mode:
                raise ScenarioError("%s takes no mode but 'installed': %r" % (name, mode))
        elif name == "red32":
            pass
        else:
            raise ScenarioError("unknown program %r" % name)
    for path, data in scenario.files:
        target = host_path(drive, path)
        target.parent.mkdir(parents=True, exist_ok=True)
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


class HostRunner:
    name = "host"

    def __init__(self, shuffle=None):
        self.shuffle = shuffle  # a seed: subkeys enumerated in an order drawn from it

    def available(self):
        missing = [str(p) for p in (HOST_RUNNER, HOST_SECOND) if not p.exists()]
        return (not missing, "missing %s (build the host preset)" % ", ".join(missing))

    def describe(self):
        return "native stand-in (%s)" % HOST_RUNNER.relative_to(ROOT)

    def run(self, scenario, work):
        drive = work / "drive_c"
        prepare_drive(scenario, drive, {"second": HOST_SECOND, "second_name": "second.exe",
                                        "qblred.sys": ROOT / "testprogs/qblred_sys.c",
                                        "qblred-sticky.sys": ROOT / "testprogs/qblred_sys.c"})
        cmd = self.command(scenario, work)
        import subprocess
        try:
            proc = subprocess.run(cmd, capture_output=True, timeout=120)
        except subprocess.TimeoutExpired:
            with open(work / "events.jsonl", "a") as f:
                f.write(json.dumps({"ev": "timeout"}) + "\n")
            return
        (work / "runner.log").write_bytes(proc.stdout + proc.stderr)
        if proc.returncode != 0:
            with open(work / "events.jsonl", "a") as f:
                f.write(json.dumps({"ev": "error", "why": "scenario-host exit %d: %s" % (
                    proc.returncode, proc.stderr.decode(errors="replace")[-500:])}) + "\n")

    def command(self, scenario, work):
        """scenario-host's command line for one run (docs/scenarios.md)."""
        drive = work / "drive_c"
        cmd = [str(HOST_RUNNER), "--root", str(drive), "--out", str(work),
               "--version", scenario.version, "--cwd", scenario.cwd]
        if self.shuffle is not None and scenario.order != "creation":
            cmd += ["--shuffle", str(self.shuffle)]
        for r in scenario.regs:
            cmd += ["--reg", str(r)]
        for c in scenario.coms:
            cmd += ["--com", c]
        if scenario.all_com:
            cmd.append("--all-com")
        for name, value in scenario.env:
            cmd += ["--unset", name] if value is None else ["--env", "%s=%s" % (name, value)]
        for f in scenario.faults:
            cmd += ["--fault", f]
        for s in scenario.ignore_stop:
            cmd += ["--service-ignores-stop", s]
        for s in scenario.running:
            cmd += ["--service-running", s]
        for folder in scenario.full:
            cmd += ["--full", folder]
        if "red32" in scenario.programs:
            cmd += ["--window", "red32"]
        if scenario.answers:
            (work / "answers.txt").write_text("\n".join(scenario.answers) + "\n", encoding="latin-1")
            cmd += ["--answers", str(work / "answers.txt")]
        if scenario.args is not None:
            cmd += ["--args", scenario.args]
        return cmd


def make_runner(name, shuffle=None):
    """A runner has: name, available() -> (ok, why), describe(), run(scenario,
    work) which leaves the outcome (events.jsonl, registry.reg, services.txt,
    drive_c/) in the folder work, optionally close() and max_jobs.  The Wine
    runner is scripts/winerun.py: WineRunner(ROOT); it may use
    prepare_drive() and Scenario.registry_keys() from here.  shuffle: the
    host runner's seed of the enumeration order (None: the version's own)."""
    if name == "host":
        return HostRunner(shuffle)
    import winerun
    return winerun.WineRunner(ROOT)


def collect(paths):
    files = []
    for p in paths:
        p = Path(p)
        if p.is_dir():
            files += sorted(p.rglob("*.scn"))
        elif p.exists():
            files.append(p)
        else:
            raise SystemExit("scenario: no such file or folder: %s" % p)
    return files


def play(runner, scenario, keep):
    work = Path(tempfile.mkdtemp(prefix="scn-%s-" % runner.name, dir=keep))
    start = time.time()
    try:
        runner.run(scenario, work)
        problems = check(scenario, Outcome(work))
    except Exception as e:  # a broken run is a failed scenario, never a skip
        problems = ["runner failed: %s: %s" % (type(e).__name__, e)]
    took = time.time() - start
    if not problems and keep is None:
        shutil.rmtree(work, ignore_errors=True)
    return problems, took, work


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--runner", choices=["host", "wine", "both"], default="both")
    ap.add_argument("--jobs", type=int, default=1)
    ap.add_argument("--keep", help="keep every outcome in this folder")
    ap.add_argument("--shuffle", nargs="?", const="draw", metavar="SEED",
                    help="host runner: enumerate subkeys in an order drawn from SEED "
                         "(a number; drawn and printed when left out)")
    ap.add_argument("--version", help="play only the scenarios of this version")
    ap.add_argument("paths", nargs="*")
    opts = ap.parse_args()
    seed = None
    if opts.shuffle is not None:
        if opts.runner != "host":
            ap.error("--shuffle plays on the host runner only (--runner host)")
        if opts.shuffle != "draw" and not opts.shuffle.isdigit() and Path(opts.shuffle).exists():
            opts.paths.insert(0, opts.shuffle)  # "--shuffle PATH...": no seed given
            opts.shuffle = "draw"
        if opts.shuffle == "draw":
            seed = random.SystemRandom().randrange(1, 2 ** 32)
        elif opts.shuffle.isdigit() and int(opts.shuffle) < 2 ** 64:
            seed = int(opts.shuffle)
        else:
            ap.error("--shuffle takes a number, not %r" % opts.shuffle)
        print("shuffle seed %d" % seed)
    if opts.keep:
        Path(opts.keep).mkdir(parents=True, exist_ok=True)

    try:
        files = collect(opts.paths or [ROOT / "scenarios"])
        scenarios = {name: [Scenario(p, name) for p in files] for name in RUNNER_NAMES}
    except ScenarioError as e:
        print("scenario: %s" % e)
        print("scenarios: 0 passed, 1 failed")
        return 1

    names = ["host", "wine"] if opts.runner == "both" else [opts.runner]
    counts = {}
    passed = failed = 0
    for name in names:
        runner = make_runner(name, seed)
        todo = [s for s in scenarios[name] if name in s.runners and
                opts.version in (None, s.version)]
        ok, why = runner.available()
        if not ok:
            print("%s: cannot run: %s" % (name, why))
            failed += max(1, len(todo))
            counts[name] = (0, max(1, len(todo)))
            continue
        pinned = sum(1 for s in todo if s.order == "creation")
        print("== %s runner: %s, %d scenarios%s" % (
            name, runner.describe(), len(todo),
            "" if seed is None or name != "host" else
            " (shuffle seed %d; %d in the order of creation)" % (seed, pinned)))
        jobs = opts.jobs if name == "host" else min(opts.jobs, getattr(runner, "max_jobs", 1))
        p = f = 0
        with concurrent.futures.ThreadPoolExecutor(max_workers=max(1, jobs)) as pool:
            futures = {pool.submit(play, runner, s, opts.keep): s for s in todo}
            for fut in concurrent.futures.as_completed(futures):
                s = futures[fut]
                problems, took, work = fut.result()
                if problems:
                    f += 1
                    replay = "" if seed is None or s.order == "creation" else \
                        ", shuffle seed %d" % seed
                    print("FAIL %s [%s%s] %.1fs: %s (outcome %s)" % (s.name, name, replay, took,
                                                                     problems[0], work))
                    for extra in problems[1:4]:
                        print("     %s" % extra)
                else:
                    p += 1
                    print("PASS %s [%s] %.1fs" % (s.name, name, took))
        if hasattr(runner, "close"):
            runner.close()
        counts[name] = (p, f)
        passed += p
        failed += f
    print(", ".join("%s: %d passed, %d failed" % (n, c[0], c[1]) for n, c in counts.items()))
    print("scenarios: %d passed, %d failed" % (passed, failed))
    return 0 if failed == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
