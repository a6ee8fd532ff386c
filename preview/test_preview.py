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
from preview import machine, main, pc_export, site_table

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


class ExportReading(unittest.TestCase):
    def test_serialcomm_names_are_the_com_devices(self):
        e = export_of(HDR + SERIALCOMM + '"\\\\Device\\\\Serial3"="COM10"\r\n"S0"="com1"\r\n'
                      '"S1"="COM2"\r\n"Mouse"="SERMOUSE"\r\n"Num"=dword:00000001\r\n"Dup"="COM1"\r\n')
        self.assertEqual(e.com_devices(), (["COM1", "COM2", "COM10"], ["SERMOUSE"]))
        self.assertEqual(e.platform(), ("nt40", "Windows NT (no version in the export: previewed as NT 4.0)"))
        self.assertIsNone(export_of(HDR + SERVICE).com_devices())
        self.assertEqual(export_of(HDR + SERIALCOMM).com_devices(), ([], []))

    def test_platform_and_nt_version(self):
        version = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion]\r\n"
        self.assertEqual(export_of(HDR + version + '"CurrentVersion"="3.51"\r\n').platform()[0], "nt351")
        self.assertEqual(export_of(HDR + version + '"CurrentVersion"="4.0"\r\n').platform()[0], "nt40")
        self.assertEqual(export_of(HDR + version + '"CurrentVersion"="5.0"\r\n').platform(),
                         ("nt40", "Windows NT 5.0, previewed as NT 4.0"))
        self.assertEqual(export_of(HDR + "[HKEY_DYN_DATA\\Config Manager]\r\n").platform()[0], "win95")
        self.assertEqual(export_of(HDR + "[HKEY_LOCAL_MACHINE\\Enum\\Root]\r\n").platform()[0], "win95")
        none = export_of(HDR + "[HKEY_USERS\\.DEFAULT]\r\n").platform()
        self.assertIsNone(none[0])
        self.assertIn("cannot tell the platform", none[1])
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

    def test_plan_notes_the_com_devices_and_missing_keys(self):
        nt = export_of(HDR + SERVICE)
        version, coms, notes = machine.plan(nt)
        self.assertEqual((version, coms), ("nt40", []))
        self.assertIn("the preview assumed no COM device", notes[-1])
        self.assertIn("--com COM1,COM2", notes[-1])
        self.assertEqual(machine.plan(nt, coms=["COM1"])[1], ["COM1"])
        self.assertEqual(machine.plan(pc_export.read_machine([NT4]))[1], ["COM1", "COM2", "COM3", "COM4"])
        self.assertEqual(machine.plan(pc_export.read_machine([NT4]), coms=["COM2"])[1], ["COM2"])
        w95 = export_of(HDR + "[HKEY_LOCAL_MACHINE\\Enum\\Root]\r\n")
        version, coms, notes = machine.plan(w95, coms=["COM1"])
        self.assertEqual((version, coms), ("win95", None))
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
                             ("NT 3.51", 4, 'from the old "Port"', True), name)
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
        for pc in ("nt40-four-ports", "nt351-old-service"):
            self.assertEqual(self.rows("wine")[pc].wine_only, [machine.WINE_START_BOX])

    def test_com_given_by_hand_wins_over_the_export(self):
        for name in ("host", "wine"):
            (row,) = self.runs[name + "-com1"][0]
            self.assertEqual((row.port0, row.clean()), (2, True), name)
            self.assertEqual(row.notes, ["COM devices from --com: COM1"])

    def test_progress_says_how_many_are_done(self):
        lines = self.runs["host"][1]
        self.assertEqual([re.match(r"done (\d+) of 6: ", l).group(1) for l in lines],
                         [str(i) for i in range(1, 7)])
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
