"""Tests of the preview on PCs' registry exports and of the site preview:
    python3 -m unittest -v preview.test_preview

ExportReading needs nothing else.  ExampleSite plays the example site
(examples/site) on the stand-in and on Wine (both built, as scripts/test.sh
does) and fails when a runner cannot run.
"""
import contextlib
import csv
import io
import re
import tempfile
import unittest
from pathlib import Path

from harness import regfile, runners
from harness.scenario import ROOT
from preview import machine, main, pc_export, report, site_table

SITE = ROOT / "examples/site"
NT4 = SITE / "nt40-four-ports.reg"


def export_of(*texts, utf16=False):
    """A MachineExport read from files holding texts."""
    d = Path(tempfile.mkdtemp(prefix="test-preview-"))
    files = []
    for i, text in enumerate(texts):
        f = d / ("part%d.reg" % i)
        f.write_bytes(b"\xff\xfe" + text.encode("utf-16-le") if utf16 else text.encode("latin-1"))
        files.append(f)
    try:
        return pc_export.read_machine(files)
    finally:
        for f in files:
            f.unlink()
        d.rmdir()


def reason(*texts):
    try:
        export_of(*texts)
    except pc_export.ExportError as e:
        return str(e)
    raise AssertionError("no ExportError")


HDR = "REGEDIT4\r\n\r\n"
SERIALCOMM = "[HKEY_LOCAL_MACHINE\\HARDWARE\\DEVICEMAP\\SERIALCOMM]\r\n"
SERVICE = "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Qblred]\r\n"
NT_VERSION = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion]\r\n"
WINDOWS_VERSION = "[HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows\\CurrentVersion]\r\n"
ENVIRONMENT = "[HKEY_LOCAL_MACHINE\\%s\\Control\\Session Manager\\Environment]\r\n"
COMDB = "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\COM Name Arbiter]\r\n"


class ExportReading(unittest.TestCase):
    def test_serialcomm_names_are_the_com_devices(self):
        e = export_of(HDR + SERIALCOMM + '"\\\\Device\\\\Serial3"="COM10"\r\n"S0"="com1"\r\n'
                      '"S1"="COM2"\r\n"Mouse"="SERMOUSE"\r\n"Num"=dword:00000001\r\n"Dup"="COM1"\r\n')
        self.assertEqual(e.com_devices(), (["COM1", "COM2", "COM10"], ["SERMOUSE"]))
        self.assertEqual(e.platform(), ("nt40", "Windows NT 4.0",
                                        "Windows NT (no version in the export: previewed as NT 4.0)"))
        self.assertIsNone(export_of(HDR + SERVICE).com_devices())
        self.assertEqual(export_of(HDR + SERIALCOMM).com_devices(), ([], []))

    def test_platform_and_nt_version(self):
        def told(*extra, current="3.51", build=None):
            text = HDR + NT_VERSION + '"CurrentVersion"="%s"\r\n' % current
            if build is not None:
                text += '"CurrentBuildNumber"="%s"\r\n' % build
            return export_of(text + "".join(extra)).platform()
        for current, build, version, title in (
                ("3.51", "1057", "nt351", "Windows NT 3.51"), ("4.0", "1381", "nt40", "Windows NT 4.0"),
                ("5.0", "2195", "win2k", "Windows 2000"), ("5.1", "2600", "winxp", "Windows XP"),
                ("5.2", "3790", "win2003", "Windows Server 2003"), ("6.0", "6002", "vista", "Windows Vista"),
                ("6.1", "7601", "win7", "Windows 7"), ("6.2", "9200", "win8", "Windows 8"),
                ("6.3", "9600", "win81", "Windows 8.1"), ("6.3", None, "win81", "Windows 8.1"),
                # 10 and 11 keep 6.3 in CurrentVersion; the build tells them.
                ("6.3", "10240", "win10", "Windows 10"), ("6.3", "19045", "win10", "Windows 10")):
            self.assertEqual(told(current=current, build=build), (version, title, None), (current, build))
        # There is no 32-bit Windows 11.
        self.assertEqual(told(current="6.3", build="22631"), ("win10-64", "Windows 11 64-bit", None))
        self.assertEqual(told(NT_VERSION + '"CurrentMajorVersionNumber"=dword:0000000a\r\n', current="6.3"),
                         ("win10", "Windows 10", None))
        self.assertEqual(told(current="5.9"), ("nt40", "Windows NT 4.0", "Windows NT 5.9, previewed as NT 4.0"))
        # 64-bit editions: by the processor, or by the 32-bit view's keys.
        amd64 = ENVIRONMENT % "SYSTEM\\CurrentControlSet" + '"PROCESSOR_ARCHITECTURE"="AMD64"\r\n'
        self.assertEqual(told(amd64, current="6.1", build="7601"), ("win7-64", "Windows 7 64-bit", None))
        self.assertEqual(told(amd64, current="6.3", build="9600"), ("win81-64", "Windows 8.1 64-bit", None))
        self.assertEqual(told(amd64, current="6.3", build="19045"), ("win10-64", "Windows 10 64-bit", None))
        self.assertEqual(told(amd64, current="6.0"), ("vista-64", "Windows Vista 64-bit", None))
        self.assertEqual(told(amd64, current="6.2"), ("win8-64", "Windows 8 64-bit", None))
        self.assertEqual(told(amd64, current="5.2"), ("win2003-64", "Windows Server 2003 64-bit", None))
        self.assertEqual(told(amd64, NT_VERSION + '"ProductName"="Microsoft Windows XP"\r\n', current="5.2"),
                         ("win2003-64", "Windows XP 64-bit", None))
        # The control set that Select names, and an Itanium.
        ia64 = ("[HKEY_LOCAL_MACHINE\\SYSTEM\\Select]\r\n\"Current\"=dword:00000002\r\n" +
                ENVIRONMENT % "SYSTEM\\ControlSet001" + '"PROCESSOR_ARCHITECTURE"="x86"\r\n' +
                ENVIRONMENT % "SYSTEM\\ControlSet002" + '"PROCESSOR_ARCHITECTURE"="IA64"\r\n')
        self.assertEqual(told(ia64, current="5.2")[0], "win2003-64")
        wow = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Wow6432Node\\Microsoft]\r\n"
        self.assertEqual(told(wow, current="6.1"), ("win7-64", "Windows 7 64-bit", None))
        x86 = ENVIRONMENT % "SYSTEM\\CurrentControlSet" + '"PROCESSOR_ARCHITECTURE"="x86"\r\n'
        self.assertEqual(told(x86, current="6.1")[0], "win7")
        self.assertEqual(told(amd64, current="5.0"),
                         ("win2k", "Windows 2000", "PROCESSOR_ARCHITECTURE AMD64, but Windows 2000 has no "
                          "64-bit edition: previewed as the 32-bit one"))
        # 95, 98, 98 SE and ME by VersionNumber, whatever case the key is written in.
        for key, number, version, title in (
                ("SOFTWARE", "4.00.950", "win95", "Windows 95"), ("Software", "4.00.950B", "win95", "Windows 95"),
                ("Software", "4.03.1214", "win95", "Windows 95"), ("SOFTWARE", "4.10.1998", "win98", "Windows 98"),
                ("Software", "4.10.2222", "win98", "Windows 98 SE"), ("SOFTWARE", "4.90.3000", "winme", "Windows ME")):
            text = (HDR + "[HKEY_LOCAL_MACHINE\\%s\\Microsoft\\Windows\\CurrentVersion]\r\n" % key +
                    '"VersionNumber"="%s"\r\n' % number + "[HKEY_LOCAL_MACHINE\\Enum\\Root]\r\n")
            self.assertEqual(export_of(text).platform(), (version, title, None), number)
        odd = export_of(HDR + WINDOWS_VERSION + '"VersionNumber"="5.00.1"\r\n').platform()
        self.assertEqual(odd, ("win95", "Windows 95", 'VersionNumber "5.00.1", previewed as Windows 95'))
        self.assertEqual(export_of(HDR + "[HKEY_DYN_DATA\\Config Manager]\r\n").platform()[:2],
                         ("win95", "Windows 95"))
        self.assertIn("no VersionNumber", export_of(HDR + "[HKEY_LOCAL_MACHINE\\Enum\\Root]\r\n").platform()[2])
        none = export_of(HDR + "[HKEY_USERS\\.DEFAULT]\r\n").platform()
        self.assertIsNone(none[0])
        self.assertIn("cannot tell the platform", none[2])
        with self.assertRaises(pc_export.ExportError):
            machine.plan(export_of(HDR + "[HKEY_USERS\\.DEFAULT]\r\n"))

    def test_several_files_make_one_machine(self):
        e = export_of(HDR + SERVICE + '"Port"=dword:00000004\r\n"Start"=dword:00000003\r\n',
                      HDR + SERVICE + '"Start"=dword:00000001\r\n"Port"=-\r\n' + SERIALCOMM + '"a"="COM3"\r\n')
        self.assertEqual(e.value(pc_export.SERVICE_KEY, "start")[2], b"\x01\0\0\0")
        self.assertIsNone(e.value(pc_export.SERVICE_KEY, "port"))
        self.assertEqual(e.com_devices()[0], ["COM3"])
        gone = export_of(HDR + SERVICE + '"Port"=dword:00000004\r\n',
                         HDR + "[-HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Qblred]\r\n")
        self.assertEqual(gone.import_keys(), [])

    def test_damaged_exports_say_why(self):
        self.assertIn("line 4: the file ends inside a value (cut short)",
                      reason(HDR + SERVICE + '"B"=hex:01,02,\\\r\n'))
        self.assertIn("line 4: unterminated string, in [HKEY_LOCAL_MACHINE\\SYSTEM",
                      reason(HDR + SERVICE + '"ImagePath"="system32\r\n'))
        self.assertIn("line 3: key line without its closing bracket",
                      reason(HDR + "[HKEY_LOCAL_MACHINE\\SYSTEM\r\n"))
        self.assertIn("no registry export", reason("[HKEY_LOCAL_MACHINE\\Enum]\r\n"))
        self.assertIn("is empty", reason(""))
        self.assertIn("line 4: value without '='", reason(HDR + SERVICE + '"Port" dword:1\r\n'))
        self.assertIn("line 4: ", reason(HDR + SERVICE + '"Port"=dword:xyz\r\n'))
        # Damage in a key the program never reads is passed over.
        e = export_of(HDR + "[HKEY_USERS\\.DEFAULT]\r\n\"x\"=quad:1\r\n\"y\"=\"open\r\n" + SERVICE +
                      '"Port"=dword:00000004\r\n')
        self.assertEqual(e.value(pc_export.SERVICE_KEY, "port")[2], b"\x04\0\0\0")
        with tempfile.TemporaryDirectory() as d:
            odd = Path(d) / "odd.reg"
            odd.write_bytes(b"\xff\xfeR\x00E")
            binary = Path(d) / "bin.reg"
            binary.write_bytes(b"MZ\x90\x00\x03\x00\x00\x00")
            for path, text in ((odd, "odd.reg was cut short"), (binary, "binary data"),
                               (Path(d) / "gone.reg", "cannot read gone.reg")):
                with self.assertRaises(pc_export.ExportError) as caught:
                    pc_export.read_machine([path])
                self.assertIn(text, str(caught.exception))
            (Path(d) / "empty").mkdir()
            with self.assertRaises(pc_export.ExportError) as caught:
                pc_export.read_machine([Path(d) / "empty"])
            self.assertIn("no .reg file", str(caught.exception))

    def test_only_the_keys_the_program_reads_are_imported(self):
        text = (HDR + "[HKEY_USERS\\.DEFAULT\\Control Panel]\r\n\"a\"=\"b\"\r\n" + SERIALCOMM + '"s"="COM1"\r\n'
                "[HKEY_LOCAL_MACHINE\\SYSTEM\\Select]\r\n\"Current\"=dword:00000002\r\n"
                "[HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet001\\Services\\Qblred]\r\n\"Port\"=dword:00000007\r\n"
                "[HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet002\\Services\\Qblred]\r\n\"Port\"=dword:00000003\r\n"
                "[HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet002\\Services\\Serial]\r\n\"Start\"=dword:0000000x1\r\n"
                "[HKEY_LOCAL_MACHINE\\Enum\\Root\\Ports\\0001]\r\n"
                "\"PORTNAME\"=\"COM\\\\\\\"5\\\"\"\r\n\"Bytes\"=hex(1):41,e9,00\r\n@=\"d\"\r\n")
        e = export_of(text)
        with tempfile.TemporaryDirectory() as d:
            reg = regfile.parse_file(e.write_import(Path(d) / "m.reg", "nt40"))
            self.assertEqual(sorted(reg), ["hkey_local_machine", "hkey_local_machine\\enum",
                                           "hkey_local_machine\\enum\\root",
                                           "hkey_local_machine\\enum\\root\\ports",
                                           "hkey_local_machine\\enum\\root\\ports\\0001",
                                           "hkey_local_machine\\system",
                                           "hkey_local_machine\\system\\currentcontrolset",
                                           "hkey_local_machine\\system\\currentcontrolset\\services",
                                           "hkey_local_machine\\system\\currentcontrolset\\services\\qblred"])
            # The control set that Select names is the current one.
            service = reg["hkey_local_machine\\system\\currentcontrolset\\services\\qblred"]["values"]
            self.assertEqual(service["port"], (regfile.REG_DWORD, b"\x03\0\0\0"))
            port = reg["hkey_local_machine\\enum\\root\\ports\\0001"]["values"]
            self.assertEqual(port["portname"], (regfile.REG_SZ, b'COM\\"5"\0'))
            self.assertEqual(port["bytes"], (regfile.REG_SZ, b"A\xe9\0"))
            self.assertEqual(port["@"], (regfile.REG_SZ, b"d\0"))
            # Windows 95 always has the Config Manager's key, empty if the export lacks it.
            reg95 = regfile.parse_file(e.write_import(Path(d) / "w.reg", "win95"))
            self.assertIn(pc_export.CONFIG_MANAGER_ENUM.lower(), reg95)
            self.assertNotIn(pc_export.CONFIG_MANAGER_ENUM.lower(), reg)
        # A Windows 95 PC's export lists devices as the PC enumerates them; the
        # import keeps that order for the stand-in to play back.
        cm = "[HKEY_DYN_DATA\\Config Manager\\Enum\\%s]\r\n\"HardWareKey\"=\"x\"\r\n"
        keys = [p.rsplit("\\", 1)[1] for p, _ in export_of(HDR + cm % "C29A2000" + cm % "C29A1000")
                .import_keys()]
        self.assertEqual(keys, ["C29A2000", "C29A1000"])

    def test_version_5_exports_become_ansi(self):
        text = ("Windows Registry Editor Version 5.00\r\n\r\n" + SERVICE +
                '"DisplayName"="Caf\u00e9"\r\n"ImagePath"=hex(2):73,00,79,00,73,00,00,00\r\n'
                "[HKEY_LOCAL_MACHINE\\Enum\\Root\\Ports\\0001]\r\n\"N\u00e4me\"=\"x\"\r\n")
        e = export_of(text, utf16=True)
        with tempfile.TemporaryDirectory() as d:
            reg = regfile.parse_file(e.write_import(Path(d) / "m.reg", "nt40"))
        service = reg[pc_export.SERVICE_KEY.lower()]["values"]
        self.assertEqual(service["displayname"], (regfile.REG_SZ, b"Caf\xe9\0"))
        self.assertEqual(service["imagepath"], (regfile.REG_EXPAND_SZ, b"sys\0"))
        self.assertIn("n\xe4me", reg["hkey_local_machine\\enum\\root\\ports\\0001"]["values"])
        # As XP's regedit writes them: CR LF, long hex lists continued, the
        # string forms in UTF-16; the same lines in REGEDIT4 (98, ME) are ANSI.
        lines = ('"ImagePath"=hex(2):73,00,79,00,73,00,74,00,65,00,6d,00,33,00,32,00,5c,00,71,00,\\\r\n'
                 '  62,00,6c,00,2e,00,73,00,79,00,73,00,00,00\r\n'
                 '"Group"=hex(7):61,00,00,00,62,00,00,00,00,00\r\n"None"=hex(7):00,00\r\n'
                 '"Quad"=hex(b):01,02,00,00,00,00,00,\\\r\n  00\r\n"Tail"=dword:00000007\r\n')
        ansi = ('"ImagePath"=hex(2):73,79,73,\\\r\n  00\r\n"Group"=hex(7):61,00,62,00,00\r\n'
                '"Quad"=hex(b):01,02,00,00,00,00,00,00\r\n')
        with tempfile.TemporaryDirectory() as d:
            utf8 = Path(d) / "utf8.reg"
            utf8.write_bytes(b"\xef\xbb\xbf" + ("Windows Registry Editor Version 5.00\r\n\r\n" + SERVICE +
                                                  '"Group"=hex(7):63,00,00,00,00,00\r\n').encode("utf-8"))
            services = []
            for e, image in ((export_of("Windows Registry Editor Version 5.00\r\n\r\n" + SERVICE + lines,
                                        utf16=True), b"system32\\qbl.sys\0"),
                             (export_of(HDR + SERVICE + ansi), b"sys\0")):
                reg = regfile.parse_file(e.write_import(Path(d) / "m.reg", "winxp"))
                services.append(reg[pc_export.SERVICE_KEY.lower()]["values"])
                self.assertEqual(services[-1]["imagepath"], (regfile.REG_EXPAND_SZ, image))
                self.assertEqual(services[-1]["group"], (regfile.REG_MULTI_SZ, b"a\0b\0\0"))
                self.assertEqual(services[-1]["quad"], (0xB, b"\x01\x02" + b"\0" * 6))
            self.assertEqual(services[0]["none"], (regfile.REG_MULTI_SZ, b"\0"))
            self.assertEqual(services[0]["tail"], (regfile.REG_DWORD, b"\x07\0\0\0"))
            self.assertEqual(pc_export.read_machine([utf8]).value(pc_export.SERVICE_KEY, "Group"),
                             ("Group", regfile.REG_MULTI_SZ, b"c\0\0"))

    def test_the_com_port_database_goes_into_the_scenario(self):
        xp = NT_VERSION + '"CurrentVersion"="5.1"\r\n"CurrentBuildNumber"="2600"\r\n'
        arbiter = (HDR + xp + SERIALCOMM + '"Serial0"="COM1"\r\n' +
                   COMDB.replace("CurrentControlSet", "ControlSet001") +
                   '"ComDB"=hex:05,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,\\\r\n'
                   '  00,00,00,00,00,00,00,80\r\n')
        e = export_of(arbiter)
        self.assertEqual(e.comdb_reserved(), [1, 3, 256])
        version, coms, notes, title = machine.plan(e)
        self.assertEqual((version, coms, title), ("winxp", ["COM1"], "Windows XP"))
        self.assertEqual(notes, ["COM devices from SERIALCOMM: COM1", "COM port database reserves COM1 COM3 COM256"])
        with tempfile.TemporaryDirectory() as d:
            imported = e.write_import(Path(d) / "m.reg", version)
            scn = machine.write_scenario(d, version, [imported], coms, "x", "host",
                                         machine.keys_for(version, uninstall=False))
            given = {}
            for reg in scn.regs:
                regfile.parse_file(reg, given)
            self.assertEqual(given[pc_export.COMDB_KEY.lower()]["values"]["comdb"],
                             (regfile.REG_BINARY, bytes([5] + [0] * 30 + [0x80])))
            self.assertEqual((scn.version, scn.coms), ("winxp", ["COM1"]))
            self.assertIn(pc_export.COMDB_KEY, scn.registry_keys())
            # NT 4.0 has no database: neither imported nor exported, no note.
            nt40 = regfile.parse_file(e.write_import(Path(d) / "n.reg", "nt40"))
            self.assertNotIn(pc_export.COMDB_KEY.lower(), nt40)
            self.assertNotIn(pc_export.COMDB_KEY, machine.keys_for("nt40"))
            self.assertEqual(machine.plan(e, version="nt40")[2],
                             ["the export tells Windows XP; previewed as Windows NT 4.0 (--version)",
                              "COM devices from SERIALCOMM: COM1"])
            self.assertEqual(machine.plan(e, version="winxp")[2], notes)
        # 64-bit: no start of the 32-bit driver afterwards; both uninstall views exported.
        with tempfile.TemporaryDirectory() as d:
            scn = machine.write_scenario(d, "win7-64", [], ["COM1"], "x", "wine", machine.keys_for("win7-64"))
            self.assertEqual(scn.nt_start, [])
            self.assertIn(machine.UNINSTALL_32, scn.registry_keys())
            self.assertEqual(machine.write_scenario(d, "win7", [], [], "x", "wine", []).nt_start, ["Qblred"])
        # A key without the value is an empty database.
        self.assertEqual(machine.plan(export_of(HDR + xp + COMDB))[2][-1], "COM port database reserves no number")
        missing = machine.plan(export_of(HDR + xp))[2][-1]
        self.assertIn("the export has no HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\COM Name "
                      "Arbiter: the COM port database reserves no number", missing)
        without_version = export_of(HDR + COMDB + '"ComDB"=hex:01\r\n').platform()
        self.assertEqual(without_version[0], "nt40")
        self.assertIn("give --version", without_version[2])

    def test_the_diff_names_what_only_wine_writes(self):
        key = pc_export.SERVICE_KEY
        def reg(text):
            return regfile.parse_text(text.replace("\r\n", "\n"))
        before = reg("[%s]\n\"ImagePath\"=hex(2):61,00\n\"Start\"=dword:00000003\n" % key)
        after = reg("[%s]\n\"ImagePath\"=\"a\"\n\"Start\"=dword:00000001\n\"ObjectName\"=\"LocalSystem\"\n"
                    "\"PreshutdownTimeout\"=dword:0002bf20\n\"WOW64\"=dword:00000001\n"
                    "[%s]\n\"ComDB\"=hex:01\n" % (key, pc_export.COMDB_KEY))
        shown = {}
        for runner in ("wine", "host"):
            with contextlib.redirect_stdout(io.StringIO()) as out:
                report.print_diff(before, after, "winxp", runner)
            shown[runner] = out.getvalue().splitlines()
        marked = [l.split(" = ")[0] for l in shown["wine"] if "(Wine only: " in l]
        self.assertEqual(marked, ['+ "ImagePath"', '+ "ObjectName"', '+ "PreshutdownTimeout"', '+ "WOW64"'])
        self.assertIn('+ "Start" = dword:00000001', shown["wine"])
        self.assertIn('+ "ComDB" = hex(3):01', shown["wine"])
        self.assertEqual([l.split("   (Wine only")[0] for l in shown["wine"]], shown["host"])
        # A REG_EXPAND_SZ image path, as Windows stores it, is not Wine's.
        self.assertIsNone(report.wine_mark(key.lower(), "imagepath", (regfile.REG_EXPAND_SZ, b"a\0")))
        self.assertIsNone(report.wine_mark(machine.UNINSTALL.lower(), "objectname", (regfile.REG_SZ, b"a\0")))

    def test_plan_notes_the_com_devices_and_missing_keys(self):
        nt = export_of(HDR + SERVICE)
        version, coms, notes, title = machine.plan(nt)
        self.assertEqual((version, coms, title), ("nt40", [], "Windows NT 4.0"))
        self.assertIn("the preview assumed no COM device", notes[-1])
        self.assertIn("--com COM1,COM2", notes[-1])
        self.assertEqual(machine.plan(nt, coms=["COM1"])[1], ["COM1"])
        self.assertEqual(machine.plan(pc_export.read_machine([NT4]))[1], ["COM1", "COM2", "COM3", "COM4"])
        self.assertEqual(machine.plan(pc_export.read_machine([NT4]), coms=["COM2"])[1], ["COM2"])
        w95 = export_of(HDR + "[HKEY_LOCAL_MACHINE\\Enum\\Root]\r\n")
        version, coms, notes, _ = machine.plan(w95, coms=["COM1"])
        self.assertEqual((version, coms), ("win95", None))
        self.assertEqual(machine.plan(w95, version="winme")[::3], ("winme", "Windows ME"))
        self.assertTrue(any("no HKEY_DYN_DATA\\Config Manager\\Enum in the export" in n for n in notes))
        self.assertEqual(main.parse_coms("com1, COM3", "demo"), ["COM1", "COM3"])
        with self.assertRaises(SystemExit) as bad:
            main.parse_coms("COM1,LPT1", "preview")
        self.assertEqual(str(bad.exception), "preview: --com takes COM names such as COM1,COM3, not LPT1")
        # scripts/preview.sh wants the PCs; scripts/demo.sh has default machines.
        with self.assertRaises(SystemExit) as usage, contextlib.redirect_stderr(io.StringIO()) as err:
            main.main(["--as", "preview", "--host"])
        self.assertEqual(usage.exception.code, 2)
        self.assertIn("scripts/preview.sh: error: give the PCs to preview", err.getvalue())


def play_site(name, folder, coms=None):
    runner = runners.make_runner(name)
    ok, why = runner.available()
    if not ok:
        raise AssertionError("the %s runner cannot run: %s" % (name, why))
    lines = []
    try:
        rows = site_table.preview_site(runner, folder, main.DEFAULT_SCRIPT, 2, coms=coms,
                                        out=lines.append)
    finally:
        if hasattr(runner, "close"):
            runner.close()
    return rows, lines


class ExampleSite(unittest.TestCase):
    """The example site on both runners: each row as the program behaves."""
    runs = {}

    @classmethod
    def setUpClass(cls):
        for name in ("host", "wine"):
            cls.runs[name] = play_site(name, SITE)
        with tempfile.TemporaryDirectory() as d:
            (Path(d) / "nt4.reg").write_bytes(NT4.read_bytes())
            for name in ("host", "wine"):
                cls.runs[name + "-com1"] = play_site(name, d, coms=["COM1"])

    def rows(self, name):
        return {r.machine: r for r in self.runs[name][0]}

    def test_the_runners_agree_row_by_row(self):
        host, wine = self.runs["host"][0], self.runs["wine"][0]
        self.assertEqual([r.machine for r in host], [r.machine for r in wine])
        for h, w in zip(host, wine):
            self.assertEqual(h.compared(), w.compared(), h.machine)
            self.assertFalse(h.runner_notes, h.machine)

    def test_each_machine_as_the_program_behaves(self):
        for name in ("host", "wine"):
            rows = self.rows(name)
            r = rows["win95-com1-to-com6"]
            self.assertEqual((r.com_name, r.io_base, r.io_end, r.class_entry, r.device_entry),
                             ("COM7", 0x118, 0x11F, "0007", "0001"), name)
            self.assertTrue(r.clean(), name)
            r = rows["win95-all-taken"]
            self.assertEqual((r.boxes, r.com_name, r.class_entry, r.installer),
                             ([("Error", "Can't find a free resource")], None, None, False), name)
            r = rows["nt40-four-ports"]
            self.assertEqual((r.port0, r.port0_how, r.boxes, r.clean()), (5, "new service", [], True), name)
            r = rows["nt351-old-service"]
            self.assertEqual((r.platform, r.port0, r.port0_how, r.clean()),
                             ("Windows NT 3.51", 4, 'from the old "Port"', True), name)
            r = rows["win98-com1-to-com3"]
            self.assertEqual((r.platform, r.com_name, r.io_base, r.io_end, r.class_entry, r.clean()),
                             ("Windows 98", "COM4", 0x2E8, 0x2EF, "0004", True), name)
            # COM1 is a device and reserved, COM3 reserved by an unplugged adapter.
            r = rows["winxp-adapter-on-com3"]
            self.assertEqual((r.platform, r.port0, r.clean()), ("Windows XP", 2, True), name)
            self.assertEqual(r.notes, ["COM devices from SERIALCOMM: COM1", "COM port database reserves COM1 COM3"])
            r = rows["win7-64-bit"]
            self.assertEqual((r.platform, r.boxes, r.port0, r.installer, r.ends_text()),
                             ("Windows 7 64-bit", [("Error", "This is a 64-bit edition of Windows.  The Quorbelle "
                                                   "COM Redirector driver needs a 32-bit edition of Windows.  "
                                                   "Aborting")], None, False, "no"), name)
            r = rows["win95-cut-short"]
            self.assertEqual(r.problem, "win95-cut-short.reg: line 115: the file ends inside a value (cut short)")
            self.assertEqual(r.ends_text(), "not previewed")
            r = rows["win95-no-config-manager"]
            self.assertEqual((r.com_name, r.io_base), ("COM3", 0x3E8), name)
            self.assertIn("the census sees no port", r.notes[0])
            self.assertEqual(site_table.status_of(self.runs[name][0]),
                             site_table.ERROR_BOX | site_table.NOT_PREVIEWED)
        # On Wine the program's own start of the driver fails (relative path);
        # the row leaves that box out only because the driver then ran.
        for pc in ("nt40-four-ports", "nt351-old-service", "winxp-adapter-on-com3"):
            self.assertEqual(self.rows("wine")[pc].wine_only, [machine.WINE_START_BOX])
        self.assertEqual(self.rows("wine")["win7-64-bit"].wine_only, [])

    def test_com_given_by_hand_wins_over_the_export(self):
        for name in ("host", "wine"):
            (row,) = self.runs[name + "-com1"][0]
            self.assertEqual((row.port0, row.clean()), (2, True), name)
            self.assertEqual(row.notes, ["COM devices from --com: COM1"])

    def test_progress_says_how_many_are_done(self):
        lines = self.runs["host"][1]
        self.assertEqual([re.match(r"done (\d+) of 9: ", l).group(1) for l in lines],
                         [str(i) for i in range(1, 10)])
        self.assertTrue(any("win95-cut-short (?) not previewed: " in l for l in lines))

    def test_csv_holds_the_table(self):
        with tempfile.TemporaryDirectory() as d:
            site_table.write_csv(self.runs["host"][0], Path(d) / "site.csv")
            with open(Path(d) / "site.csv", newline="", encoding="utf-8") as f:
                table = list(csv.reader(f))
        self.assertEqual(table[0], machine.Row.CSV_COLUMNS)
        row = {r[0]: r for r in table[1:]}["win95-com1-to-com6"]
        self.assertEqual(row[2:8], ["COM7", "0x118", "0x11F", "", "0007", "0001"])
        self.assertEqual({r[0]: r for r in table[1:]}["nt40-four-ports"][5], "5")

    def test_the_readme_shows_this_run(self):
        readme = (ROOT / "README.md").read_text(encoding="utf-8")
        found = re.search(r"<!-- site table -->\n(.*?)\n<!-- end of site table -->", readme, re.S)
        self.assertIsNotNone(found, "README.md has no site table section")
        self.assertEqual(found.group(1).strip(), site_table.markdown_table(self.runs["wine"][0]),
                         "README.md's site table is not what scripts/preview.sh --site examples/site "
                         "prints now; paste its table into README.md")


if __name__ == "__main__":
    unittest.main()
