"""One machine's preview: the real install.exe (or its stand-in build) run
silently on a copy of the keys a PC's registry export holds, and what that
run really did, read from its outcome: the boxes it showed, the registry
before and after, the files and the service.

    row = machine.preview_machine(runner, "pc1", [Path("pc1.reg")], script_text, work)

Nothing here computes what the program would choose: the COM name, I/O
range, "Port0" and entry numbers of a row are read from the registry the
run left behind.
"""
import time
from collections import namedtuple
from pathlib import Path

from harness import regfile, scenario, versions
from preview import pc_export

CLASS_PORTS = "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class\\Ports"
ROOT_PORTS = "HKEY_LOCAL_MACHINE\\Enum\\Root\\Ports"
SERVICE = pc_export.SERVICE_KEY
UNINSTALL = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Quorbelle Redirector"
# Where a 64-bit Windows keeps the 32-bit program's uninstall entry.
UNINSTALL_32 = UNINSTALL.replace("\\SOFTWARE\\", "\\SOFTWARE\\Wow6432Node\\")
COMDB = pc_export.COMDB_KEY
KEYS_95 = [CLASS_PORTS, ROOT_PORTS]
KEYS_NT = [SERVICE]
# Wine 8.0 starts a kernel driver only when its image path is a full one;
# the program's own start of the service then fails with this box.  The
# Wine runner starts the service afterwards the way NT finds its driver.
WINE_START_BOX = "StartService error 0x45a"


def keys_for(version, uninstall=True):
    """What an installation writes, per platform (the uninstall entry on
    both, in both views on a 64-bit edition), and the COM port database
    where the version has one (the service's number is claimed there)."""
    keys = list(KEYS_NT if versions.is_nt(version) else KEYS_95)
    if versions.has_comdb(version):
        keys.append(COMDB)
    if uninstall:
        keys.append(UNINSTALL)
        if versions.get(version).bits == 64:
            keys.append(UNINSTALL_32)
    return keys


def write_scenario(folder, version, regs, coms, script_text, runner, keys):
    """A scenario file for one silent run; its key lines make the runner
    export those keys.  No box is answered in advance: a silent run shows
    only OK boxes, which the runners answer with OK."""
    lines = ["version: " + version, "program: second exit0"]
    lines += ["reg: < " + str(Path(r).resolve()) for r in regs]
    nt = versions.is_nt(version)
    if nt:
        lines.append("program: qblred.sys")
        if coms:
            lines.append("com: " + " ".join(coms))
    lines.append("text: C:\\setup\\setup.txt = " + scenario.escape(script_text))
    lines.append("cmdline: C:\\\\setup\\\\setup.txt")
    lines += ["key: " + key for key in keys]
    if nt:
        lines.append("service: Qblred | running")
        # Under WOW64 Wine would start the 32-bit driver, which 64-bit
        # Windows never loads (docs/scenarios.md, nt-start).
        if versions.get(version).bits == 32:
            lines.append("on wine: nt-start: Qblred")
    path = Path(folder) / ("preview-%s.scn" % version)
    path.write_text("\n".join(lines) + "\n", encoding="utf-8")
    return scenario.Scenario(path, runner)


class Row:
    """One machine's preview, as the site table and the CSV show it."""
    COLUMNS = ["machine", "platform", "would get", "class entry", "device entry", "boxes",
               "ends cleanly", "notes"]

    def __init__(self, machine):
        self.machine = machine
        self.platform = "?"
        self.com_name = self.io_base = self.io_end = None
        self.port0 = None
        self.port0_how = ""      # "new service", "from the old Port", "kept"
        self.class_entry = self.device_entry = None
        self.boxes = []          # (caption, text) of every box the machine would show
        self.wine_only = []      # boxes only Wine shows (see WINE_START_BOX)
        self.installer = False   # the application installer was started
        self.ended = False       # the program came to its end
        self.problem = None      # why the machine could not be previewed
        self.notes = []          # about the export (the same on every runner)
        self.runner_notes = []   # about this runner only
        self.seconds = 0.0

    def error_boxes(self):
        return [b for b in self.boxes if b[0] == "Error"]

    def clean(self):
        return self.problem is None and self.ended and not self.error_boxes() and self.installer

    def would_get(self):
        if self.problem:
            return "-"
        if self.com_name:
            io = "0x%X-0x%X" % (self.io_base, self.io_end) if self.io_base is not None else "no I/O range"
            return "%s at %s" % (self.com_name, io)
        if self.port0 is not None:
            return '"Port0" = %d (COM%d, %s)' % (self.port0, self.port0, self.port0_how)
        return "nothing"

    def boxes_text(self):
        if self.problem:
            return "-"
        return "; ".join('%s: "%s"' % b for b in self.boxes) or "none"

    def ends_text(self):
        if self.problem:
            return "not previewed"
        if self.clean():
            return "yes"
        if not self.ended:
            return "no (the program did not end)"
        return "no"

    def cells(self):
        """The table's cells, in COLUMNS order."""
        notes = ([self.problem] if self.problem else []) + self.notes + self.runner_notes
        return [self.machine, self.platform, self.would_get(), self.class_entry or "-",
                self.device_entry or "-", self.boxes_text(), self.ends_text(), "; ".join(notes)]

    def compared(self):
        """What must be the same on every runner: all but this runner's notes."""
        return self.cells()[:-1] + ["; ".join(self.notes)]

    CSV_COLUMNS = ["machine", "platform", "COM name", "I/O base", "I/O end", "Port0", "class entry",
                   "device entry", "boxes", "ends cleanly", "notes"]

    def csv_cells(self):
        hexa = lambda v: "" if v is None else "0x%X" % v  # noqa: E731
        c = self.cells()
        return [self.machine, self.platform, self.com_name or "", hexa(self.io_base),
                hexa(self.io_end), "" if self.port0 is None else str(self.port0),
                self.class_entry or "", self.device_entry or "", c[5], c[6], c[7]]


# ---------------------------------------------------------------------------
# What the run did

def new_subkeys(before, after, key):
    """Names of the direct subkeys of key that the run added."""
    low = key.lower() + "\\"
    def direct(reg):
        return {v["name"].split("\\")[-1] for k, v in reg.items()
                if k.startswith(low) and "\\" not in k[len(low):]}
    return sorted(direct(after) - direct(before))


def dword(entry, name):
    v = entry["values"].get(name.lower()) if entry else None
    if v and v[0] == regfile.REG_DWORD and len(v[1]) == 4:
        return int.from_bytes(v[1], "little")
    return None


def read_win95(row, before, after):
    classes = new_subkeys(before, after, CLASS_PORTS)
    devices = new_subkeys(before, after, ROOT_PORTS)
    row.class_entry = " ".join(classes) or None
    row.device_entry = " ".join(devices) or None
    for d in devices:
        entry = after.get((ROOT_PORTS + "\\" + d).lower())
        values = entry["values"] if entry else {}
        name = values.get("portname")
        if name and name[0] in regfile.STRING_TYPES:
            row.com_name = name[1].split(b"\0")[0].decode("latin-1")
        forced = values.get("forcedconfig")
        if forced and len(forced[1]) >= 24:
            row.io_base = int.from_bytes(forced[1][20:22], "little")
            row.io_end = int.from_bytes(forced[1][22:24], "little")


def read_nt(row, before, after):
    old = before.get(SERVICE.lower())
    new = after.get(SERVICE.lower())
    row.port0 = dword(new, "Port0")
    if old is None:
        row.port0_how = "new service"
    elif "port" in old["values"] and "port" not in (new or {"values": {}})["values"]:
        row.port0_how = 'from the old "Port"'
    else:
        row.port0_how = "kept" if dword(old, "Port0") == row.port0 else "existing service"


def read_boxes(row, outcome, runner_name):
    boxes = [(e.get("caption"), e.get("text")) for e in outcome.events if e.get("ev") == "box"]
    started = outcome.folder / "nt-start.txt"
    if runner_name == "wine" and started.exists():
        after = [p.strip() for p in started.read_text().splitlines()[-1].split("|")]
        if after[-1] == "running" and ("Error", WINE_START_BOX) in boxes:
            boxes.remove(("Error", WINE_START_BOX))
            row.wine_only.append(WINE_START_BOX)
            row.runner_notes.append(
                'Wine only: "%s" (Wine 8.0 starts a driver only by a full path); '
                "started as NT starts it, the driver ran" % WINE_START_BOX)
    row.boxes = boxes


def read_outcome(row, outcome, before, version, runner_name):
    trouble = [e for e in outcome.events if e.get("ev") in ("timeout", "error")]
    row.ended = any(e.get("ev") == "exit" for e in outcome.events)
    if trouble:
        row.problem = "the run did not complete: %s" % "; ".join(
            str(e.get("text") or e.get("why") or e.get("ev")) for e in trouble)
        return
    read_boxes(row, outcome, runner_name)
    cmd = outcome.file("C:\\testlog\\second-cmdline.txt")
    row.installer = cmd is not None and cmd.is_file()
    if versions.is_nt(version):
        read_nt(row, before, outcome.registry)
    else:
        read_win95(row, before, outcome.registry)


# ---------------------------------------------------------------------------
# The machine before

Plan = namedtuple("Plan", "version coms notes title")


def plan(export, version=None, coms=None):
    """The Plan of one machine's export: its version, its COM devices (None
    on 9x), the notes about the export and the version's name as Windows
    gives it; ExportError when its platform cannot be told.  A version
    given overrides the export's."""
    notes = []
    if version is None:
        version, title, how = export.platform()
        if version is None:
            raise pc_export.ExportError(how)
        if how:
            notes.append(how)
    else:
        title = versions.get(version).title
        told = export.platform()
        if told.version not in (None, version):
            notes.append("the export tells %s; previewed as %s (--version)" % (told.title, title))
    if versions.is_nt(version):
        found = export.com_devices()
        if coms is not None:
            notes.append("COM devices from --com: %s" % (" ".join(coms) or "none"))
        elif found is None or not found[0]:
            where = "has no %s" % pc_export.SERIALCOMM if found is None else \
                "lists no COM device under SERIALCOMM"
            notes.append("the export %s: the preview assumed no COM device (give them with "
                         "--com COM1,COM2, or export them there: %s)"
                         % (where, pc_export.EXPORT_HELP["nt"]))
            coms = []
        else:
            coms = found[0]
            notes.append("COM devices from SERIALCOMM: %s" % " ".join(coms))
        if found and found[1]:
            notes.append("SERIALCOMM also lists %s, not COM names" % ", ".join(found[1]))
        if versions.has_comdb(version):
            notes.append(comdb_note(export.comdb_reserved()))
    else:
        if coms:
            notes.append("--com is for Windows NT; the Windows 95 census reads the Config Manager")
        coms = None
        if not export.has_config_manager():
            notes.append("no %s in the export (a whole-registry export on Windows 95, 98 or ME "
                         "may leave it out): the census sees no port; export it there: %s"
                         % (pc_export.CONFIG_MANAGER_ENUM, pc_export.EXPORT_HELP["win95"]))
    return Plan(version, coms, notes, title)


def comdb_note(reserved):
    if reserved is None:
        return ("the export has no %s: the COM port database reserves no number (export it "
                "there: %s)" % (pc_export.COMDB_KEY, pc_export.EXPORT_HELP["comdb"]))
    if not reserved:
        return "COM port database reserves no number"
    return "COM port database reserves %s" % " ".join("COM%d" % n for n in reserved)


def preview_machine(runner, name, paths, script_text, work, version=None, coms=None, keep=None):
    """Previews one machine (its .reg files or folders) on runner; work is
    an empty folder of its own.  keep, if given, is called with the run's
    outcome, version and registry before the run, for a caller that prints
    more; the run then also exports the uninstall entry (the Row does not
    need it, and a site preview spares the Wine runner that export)."""
    started = time.time()
    row = Row(name)
    work = Path(work)
    try:
        export = pc_export.read_machine(paths)
        version, coms, row.notes, row.platform = plan(export, version, coms)
    except pc_export.ExportError as e:
        row.problem = str(e)
        row.seconds = time.time() - started
        return row
    imported = export.write_import(work / "machine.reg", version)
    scn = write_scenario(work, version, [imported], coms, script_text, runner.name,
                         keys_for(version, uninstall=keep is not None))
    outcome_folder = work / "run"
    outcome_folder.mkdir()
    try:
        runner.run(scn, outcome_folder)
        outcome = scenario.Outcome(outcome_folder)
        read_outcome(row, outcome, regfile.parse_file(imported), version, runner.name)
        if keep:
            keep(outcome, version, regfile.parse_file(imported))
    except Exception as e:  # noqa: BLE001 - a broken run is one row, never a stop
        row.problem = "the run failed: %s: %s" % (type(e).__name__, e)
    row.seconds = time.time() - started
    return row
