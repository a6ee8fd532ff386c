"""Tests of the harness that need no Wine: the scenario format, the
checker, the host runner's command line, the Wine runner's own file
handling and its session's helpers:
    python3 -m unittest -v harness.test_harness
"""
import ast
import json
import shutil
import tempfile
import unittest
from pathlib import Path
from unittest import mock

from harness import checker, host_runner, regfile, scenario, versions, wine_runner, wine_session

USER_REG = """WINE REGISTRY Version 2
;; All keys relative to \\\\User\\\\S-1-5-21

[Control Panel\\\\Desktop] 1796635877
#time=1dd862db624d738
"CursorBlinkRate"="-1"

[Software\\\\Wine] 1796635877
#time=1dd862db624c860
"Version"="win95"

[Software\\\\Wine\\\\X11 Driver] 1796635877
"Managed"="N"
"""


class RegSection(unittest.TestCase):
    def test_replaces_only_that_section(self):
        out = wine_runner.set_reg_section(USER_REG, r"Software\\Wine", ['"Version"="nt40"'])
        self.assertIn('[Software\\\\Wine] 1796635877\n#time=1dd862db624c860\n"Version"="nt40"\n\n', out)
        self.assertNotIn('"win95"', out)
        self.assertIn('"Managed"="N"', out)          # the subkey's section is kept
        self.assertIn('"CursorBlinkRate"="-1"', out)

    def test_empties_and_adds(self):
        out = wine_runner.set_reg_section(USER_REG, r"Software\\Wine\\X11 Driver", [])
        self.assertNotIn('"Managed"', out)
        self.assertTrue(out.rstrip("\n").endswith("[Software\\\\Wine\\\\X11 Driver] 1796635877"))
        out = wine_runner.set_reg_section(USER_REG, r"Software\\Wine\\Ports", ['"COM2"="/dev/null"'])
        self.assertRegex(out, r'\[Software\\\\Wine\\\\Ports\] \d+\n"COM2"="/dev/null"\n$')

    def test_configure_prefix_sets_version_and_exact_ports(self):
        with tempfile.TemporaryDirectory() as d:
            (Path(d) / "user.reg").write_text(USER_REG)
            (Path(d) / "system.reg").write_text(
                '[Software\\\\Wine\\\\Ports] 1\n"COM1"="/dev/ttyS0"\n\n[Other] 1\n"a"="b"\n')
            wine_runner.configure_prefix(d, "nt351", ["com2", "COM4", "COM5=\\Device\\X"])
            system = (Path(d) / "system.reg").read_text()
            # A name with a target of its own is the driver's to define.
            self.assertIn('"COM2"="/dev/null"\n"COM4"="/dev/null"\n\n', system)
            self.assertNotIn("COM1", system)
            self.assertIn('[Other] 1\n"a"="b"', system)
            self.assertIn('"Version"="nt351"', (Path(d) / "user.reg").read_text())


class Exports(unittest.TestCase):
    def test_outermost_keys(self):
        keys = [r"HKEY_LOCAL_MACHINE\A\B", r"HKEY_LOCAL_MACHINE\a", r"HKEY_LOCAL_MACHINE\AB",
                r"HKEY_DYN_DATA\X", r"HKEY_LOCAL_MACHINE\A\B\C"]
        self.assertEqual(wine_runner.outermost_keys(keys),
                         [r"HKEY_DYN_DATA\X", r"HKEY_LOCAL_MACHINE\a", r"HKEY_LOCAL_MACHINE\AB"])

    def test_merged_exports_read_back_exactly(self):
        one = ('Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\A]\r\n'
               '"S"="x\\\\y"\r\n"D"=dword:00000003\r\n"B"=hex:01,02,\\\r\n  03\r\n')
        two = ('Windows Registry Editor Version 5.00\r\n\r\n[HKEY_DYN_DATA\\Config Manager\\Enum\\C1]\r\n'
               '"Allocation"=hex:00,04\r\n"M"=hex(7):61,00,00,00,00,00\r\n')
        with tempfile.TemporaryDirectory() as d:
            files = []
            for i, text in enumerate((one, two)):
                f = Path(d) / ("e%d.reg" % i)
                f.write_bytes(b"\xff\xfe" + text.encode("utf-16-le"))
                files.append(f)
            files.append(Path(d) / "missing.reg")  # a key that did not exist
            wine_session.merge_exports(files, Path(d) / "registry.reg")
            reg = regfile.parse_file(Path(d) / "registry.reg")
        a = reg["hkey_local_machine\\a"]["values"]
        self.assertEqual(a["s"], (1, b"x\\y\0"))
        self.assertEqual(a["d"], (4, b"\x03\0\0\0"))
        self.assertEqual(a["b"], (3, b"\x01\x02\x03"))
        c = reg["hkey_dyn_data\\config manager\\enum\\c1"]["values"]
        self.assertEqual(c["allocation"], (3, b"\x00\x04"))
        self.assertEqual(c["m"][0], 7)


class Checks(unittest.TestCase):
    """The checker's view of an outcome: exact values, calls, windows."""

    def outcome(self, files):
        d = tempfile.mkdtemp()
        self.addCleanup(lambda: __import__("shutil").rmtree(d))
        for name, text in files.items():
            (Path(d) / name).write_text(text)
        return scenario.Outcome(d)

    def scenario(self, text):
        with tempfile.TemporaryDirectory() as d:
            path = Path(d) / "x.scn"
            path.write_text(text)
            return scenario.Scenario(path, "host")

    def problems(self, text, files):
        files = dict(files)
        files.setdefault("events.jsonl", '{"ev":"exit","code":0,"ms":1}\n')
        return checker.check(self.scenario(text), self.outcome(files))

    def test_exact_values_take_the_place_of_the_export(self):
        export = 'REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\K]\n"S"="abc"\n"Gone"="x"\n'
        # Read exactly: "S" stored without its terminator, "Gone" no longer there.
        exact = '{"key":"HKEY_LOCAL_MACHINE\\\\K","values":[{"name":"S","type":1,"data":"616263"}]}\n'
        files = {"registry.reg": export, "values.jsonl": exact}
        self.assertEqual([], self.problems('noreg: HKLM\\K | Gone\n', files))
        found = self.problems('reg: HKLM\\K | S | sz:"abc"\n', files)
        self.assertEqual(1, len(found))
        self.assertIn("hex(1):61,62,63", found[0])

    def test_asked_every_matching_call_and_only_on_a_runner_that_records(self):
        calls = ('{"api":"RegSetValueExA","subject":"K|A","type":1,"size":4,"terminated":1}\n'
                 '{"api":"RegSetValueExA","subject":"K|B","type":3,"size":2}\n'
                 '{"api":"RegSetValueExA","subject":"K|C","type":1,"size":3,"terminated":0}\n')
        files = {"calls.jsonl": calls}
        self.assertEqual([], self.problems("asked: RegSetValueExA | K|A | size=4 type=1\n", files))
        self.assertEqual(1, len(self.problems("asked: RegSetValueExA | * | type=1 | terminated=1\n", files)))
        self.assertEqual(1, len(self.problems("asked: RegSetValueExA | * | size=4\n", files)))
        self.assertEqual(1, len(self.problems("asked: RegOpenKeyExA | * | access=1\n", files)))
        self.assertIn("does not record", self.problems("asked: X | * | a=1\n", {})[0])

    def test_window_values_the_runner_read(self):
        events = ('{"ev":"window","class":"install","x":10,"style":80674816,"shown":false}\n'
                  '{"ev":"exit","code":0,"ms":1}\n')
        files = {"events.jsonl": events}
        self.assertEqual([], self.problems("window: install | x=10 style=0x04cf0000 shown=no\n", files))
        self.assertIn("shown=no, expected yes",
                      self.problems("window: install | shown=yes\n", files)[0])
        self.assertIn("does not read the window's brush",
                      self.problems("window: install | brush=white\n", files)[0])
        self.assertIn("no window", self.problems("window: other | x=1\n", files)[0])

    def test_writable_is_a_file_its_owner_may_write(self):
        out = self.outcome({"events.jsonl": '{"ev":"exit","code":0,"ms":1}\n'})
        drivers = out.folder / "drive_c/Windows/System32/drivers"
        drivers.mkdir(parents=True)
        for name, mode in (("a.sys", 0o644), ("ro.sys", 0o444), ("others.sys", 0o466)):
            (drivers / name).write_text(name)
            (drivers / name).chmod(mode)
        where = "writable: C:\\windows\\system32\\drivers\\"
        found = checker.check(self.scenario("".join(where + name + "\n" for name in (
            "A.SYS", "ro.sys", "others.sys", "none.sys", ""))), out)
        # The stand-in reads a file its owner may not write as read-only.
        self.assertEqual(["line 2: file C:\\windows\\system32\\drivers\\ro.sys is read-only (mode 444)",
                          "line 3: file C:\\windows\\system32\\drivers\\others.sys is read-only (mode 466)",
                          "line 4: file C:\\windows\\system32\\drivers\\none.sys missing",
                          "line 5: file C:\\windows\\system32\\drivers\\ missing"], found)


class Plan(unittest.TestCase):
    def test_escape_is_undone_by_the_driver_rules(self):
        # driver.cpp unescapes \n \r \t \\ exactly; anything else stays.
        self.assertEqual(scenario.escape("C:\\a\nb\tc\r"), "C:\\\\a\\nb\\tc\\r")

    def test_copy_prefix_links_system_files_and_copies_the_rest(self):
        with tempfile.TemporaryDirectory() as d:
            base = Path(d) / "base"
            (base / "drive_c/windows/system32/drivers").mkdir(parents=True)
            (base / "dosdevices").mkdir()
            (base / "dosdevices/c:").symlink_to("../drive_c")
            (base / "system.reg").write_text("r")
            (base / "drive_c/windows/win.ini").write_text("w")
            (base / "drive_c/windows/system32/kernel32.dll").write_text("k")
            (base / "drive_c/windows/system32/drivers/x.sys").write_text("s")
            target = Path(d) / "run"
            wine_runner.copy_prefix(base, target)
            self.assertEqual(os_stat_ino(base / "drive_c/windows/system32/kernel32.dll"),
                             os_stat_ino(target / "drive_c/windows/system32/kernel32.dll"))
            self.assertNotEqual(os_stat_ino(base / "system.reg"), os_stat_ino(target / "system.reg"))
            self.assertNotEqual(os_stat_ino(base / "drive_c/windows/win.ini"),
                                os_stat_ino(target / "drive_c/windows/win.ini"))
            self.assertTrue((target / "dosdevices/c:").is_symlink())
            self.assertEqual((target / "dosdevices/c:/windows/win.ini").read_text(), "w")
            # Program files anywhere on C: are shared, the users' folders never.
            for rel, shared in (("drive_c/Program Files/x/wordpad.exe", True),
                                ("drive_c/windows/Fonts/a.ttf", True),
                                ("drive_c/users/Public/b.dll", False),
                                ("drive_c/windows/inf/c.inf", False)):
                self.assertEqual(wine_runner.shared_file(Path(rel)), shared, rel)
            # Shared files are root's and read-only to the user; giving a run
            # to the user leaves them so, and a file the run puts where one
            # lies is its own: the base keeps its bytes.
            wine_runner.share_base_files(base)
            dll = base / "drive_c/windows/system32/kernel32.dll"
            self.assertEqual((dll.stat().st_uid, dll.stat().st_mode & 0o777), (0, 0o644))
            wine_runner.chown_tree(target, 65534, 65534)
            self.assertEqual(dll.stat().st_uid, 0)
            self.assertEqual((target / "system.reg").stat().st_uid, 65534)
            src = Path(d) / "new.sys"
            src.write_text("new")
            scenario.fresh_copy(src, target / "drive_c/windows/system32/drivers/x.sys")
            self.assertEqual((base / "drive_c/windows/system32/drivers/x.sys").read_text(), "s")
            self.assertEqual((target / "drive_c/windows/system32/drivers/x.sys").read_text(), "new")


    def test_readonly_files_lose_their_write_bits_once_on_the_drive(self):
        with tempfile.TemporaryDirectory() as d:
            sys_file = Path(d) / "qblred.sys"
            sys_file.write_text("driver")
            sys_file.chmod(0o755)
            path = Path(d) / "x.scn"
            path.write_text("program: qblred.sys installed\n"
                            "text: C:\\Setup\\Data\\x.txt = abc\n"
                            "readonly: C:\\windows\\system32\\drivers\\qblred.sys\n"
                            "readonly: c:\\setup\\data\\X.TXT\n"
                            "full: C:\\fullwin\\sub\n"
                            "full: C:\\windows\n")
            sc = scenario.Scenario(path, "host")
            drive = Path(d) / "drive_c"
            scenario.prepare_drive(sc, drive, {"qblred.sys": sys_file})
            mode = lambda p: (drive / p).stat().st_mode & 0o777  # noqa: E731
            self.assertEqual(mode("windows/system32/drivers/qblred.sys"), 0o555)
            self.assertEqual(mode("setup/qblred.sys"), 0o755)
            self.assertEqual(mode("setup/Data/x.txt") & 0o222, 0)
            self.assertTrue((drive / "fullwin/sub").is_dir())
            cmd = host_runner.HostRunner().command(sc, Path(d))
            self.assertEqual([cmd[i + 1] for i, a in enumerate(cmd) if a == "--full"],
                             ["C:\\fullwin\\sub", "C:\\windows"])
            # Only a file the scenario put there can be made read-only.
            path.write_text("readonly: C:\\setup\\none.txt\n")
            with self.assertRaises(scenario.ScenarioError):
                scenario.prepare_drive(scenario.Scenario(path, "host"), drive, {})
            for line in ("readonly: setup\\x.txt", "readonly: D:\\x.txt", "full: C:", "full:"):
                path.write_text(line + "\n")
                with self.assertRaises(scenario.ScenarioError, msg=line):
                    scenario.Scenario(path, "host")

    def test_settings_below_the_run_folder_are_named_as_wine_sees_them(self):
        with tempfile.TemporaryDirectory() as d:
            work, view = Path(d) / "run1", Path(d) / "view"
            here = wine_session.z_path(work)
            env = {"REDIRECTOR_SHOTS": here + "\\shots", "REDIRECTOR_A": here, "PATH": here,
                   "REDIRECTOR_B": here + "0\\shots"}
            out = wine_runner.seen_from_view(env, work, view)
        self.assertEqual(out, {"REDIRECTOR_SHOTS": wine_session.z_path(view) + "\\shots",
                               "REDIRECTOR_A": wine_session.z_path(view), "PATH": here,
                               "REDIRECTOR_B": here + "0\\shots"})


def os_stat_ino(p):
    return p.stat().st_ino


class RunnerQualifier(unittest.TestCase):
    TEXT = ("version: nt40\n"
            "cmdline: a.txt  \n"
            "on host: service: Qblred | running\n"
            "on wine: box: Error | StartService error 0x45a | OK\n"
            "on wine: nt-start: Qblred\n"
            "on wine:   cmdline: b.txt \n")

    def scenario(self, text, runner):
        with tempfile.TemporaryDirectory() as d:
            path = Path(d) / "x.scn"
            path.write_text(text)
            return scenario.Scenario(path, runner)

    def test_each_runner_sees_only_its_own_lines(self):
        host = self.scenario(self.TEXT, "host")
        wine = self.scenario(self.TEXT, "wine")
        self.assertEqual([k for k, _, _ in host.expect], ["service"])
        self.assertEqual([k for k, _, _ in wine.expect], ["box"])
        self.assertEqual((host.nt_start, wine.nt_start), ([], ["Qblred"]))
        # A qualified cmdline replaces the common one, its trailing blank kept.
        self.assertEqual((host.args, wine.args), ("a.txt  ", "b.txt "))
        neither = self.scenario(self.TEXT, None)
        self.assertEqual((neither.expect, neither.nt_start), ([], []))

    def test_bad_qualifiers_are_refused(self):
        for line in ("on dos: noboxes", "on wine:", "on wine noboxes", "on : reg: x"):
            with self.assertRaises(scenario.ScenarioError, msg=line):
                self.scenario(line + "\n", "wine")


    def test_included_lines_keep_their_folder_and_later_lines_win(self):
        with tempfile.TemporaryDirectory() as d:
            inner = Path(d) / "b" / "sub"
            inner.mkdir(parents=True)
            (inner / "base.scn").write_text("version: nt40\nreg: < data.reg\n"
                                             "on wine: nt-start: Qblred\n")
            (inner / "data.reg").write_text("REGEDIT4\n")
            outer = Path(d) / "a"
            outer.mkdir()
            (outer / "x.scn").write_text("include: < ../b/sub/base.scn\nversion: winxp\n")
            s = scenario.Scenario(outer / "x.scn", "wine")
            self.assertEqual(s.version, "winxp")
            self.assertEqual([r.resolve() for r in s.regs], [(inner / "data.reg").resolve()])
            self.assertEqual(s.nt_start, ["Qblred"])
            (outer / "loop.scn").write_text("include: < loop.scn\n")
            for text in ("include: < loop.scn\n", "include: < missing.scn\n", "include: base.scn\n"):
                (outer / "y.scn").write_text(text)
                with self.assertRaises(scenario.ScenarioError, msg=text):
                    scenario.Scenario(outer / "y.scn", "host")

class ServiceImports(unittest.TestCase):
    def test_only_a_service_key_restarts_the_service_manager(self):
        key = "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\%s]\r\n"
        for name, restarts in (("Qblred", True), ("qblred\\Parameters", True), ("Class\\Ports\\0000", False),
                               ("Class", False), ("Classic", True)):
            text = "REGEDIT4\r\n\r\n" + key % name
            self.assertEqual(wine_session.imports_service(text.upper().encode()), restarts, name)
            self.assertEqual(wine_session.imports_service(b"\xff\xfe" + text.encode("utf-16-le")), restarts, name)
        self.assertFalse(wine_session.imports_service(b'REGEDIT4\r\n"x"="\\services\\qblred"\r\n'))


class WineRuns(unittest.TestCase):
    """How the Wine runner lays out a run (prepare, no Wine started) for
    each version, COM port database and deleted service, over fake builds
    and base prefixes."""

    def setUp(self):
        self.root = Path(tempfile.mkdtemp())
        self.addCleanup(shutil.rmtree, self.root)
        runner = wine_runner.WineRunner.__new__(wine_runner.WineRunner)
        runner.root, runner.arch, runner.why, runner.view = self.root, "win32", "test", self.root / "view"
        runner.bases = {}
        for arch in ("win32", "win64"):
            for prog in runner.programs_of(self.root / "build" / arch).values():
                prog.parent.mkdir(parents=True, exist_ok=True)
                prog.write_text("%s %s" % (arch, prog.name))
            base = runner.bases[arch] = self.root / ("base-" + arch)
            (base / "user.reg").parent.mkdir()
            (base / "user.reg").write_text(USER_REG)
            (base / "system.reg").write_text("#base %s\n" % arch)
            for folder in ("system32", "syswow64") if arch == "win64" else ("system32",):
                (base / "drive_c/windows" / folder).mkdir(parents=True)
                (base / "drive_c/windows" / folder / "msports.dll").write_text("Wine's " + arch)
        (self.root / "wine").mkdir()
        self.runner = runner
        self.account = mock.Mock(**{"creds.return_value": {}})
        for name, value in (("wine_tools", (str(self.root / "wine"), str(self.root / "wine"))),
                            ("native_32bit", True)):
            patch = mock.patch.object(wine_runner, name, return_value=value)
            patch.start()
            self.addCleanup(patch.stop)
        self.runs = 0

    def prepare(self, text, arch="win32"):
        """(session, the run's folder, its plan lines) of a scenario."""
        self.runs += 1
        path = self.root / ("s%d.scn" % self.runs)
        path.write_text(text)
        work = self.root / ("run%d" % self.runs)
        self.runner.arch = arch
        session = self.runner.prepare(scenario.Scenario(path, "wine"), work, self.account)
        return session, work, (work / "plan.txt").read_text().splitlines()

    def test_each_version_has_its_prefix_programs_and_wine_version(self):
        for arch in ("win32", "win64"):
            for name in versions.NAMES:
                session, work, plan = self.prepare("version: %s\n" % name, arch)
                wow64 = versions.get(name).bits == 64
                prefix = "win64" if wow64 else arch
                self.assertEqual(session["arch"], prefix, name)
                self.assertTrue((work / "prefix/system.reg").read_text().startswith(
                    "#base " + prefix), name)
                self.assertIn('"Version"="%s"' % versions.get(name).wine,
                              (work / "prefix/user.reg").read_text(), name)
                # A 64-bit edition is the i686 product, always.
                self.assertEqual((work / "drive_c/setup/install.exe").read_text(),
                                 ("win32" if wow64 else arch) + " install.exe", name)
                self.assertEqual((work / "tools/driver.exe").read_text(),
                                 ("win32" if wow64 else arch) + " driver.exe", name)
                self.assertIn("wow64 " + ("yes" if wow64 else "no"), plan, name)
                self.assertEqual((work / "drive_c/windows/syswow64/drivers").is_dir(), wow64, name)
        # Where 32-bit code cannot run, a 64-bit edition is a failed run.
        wine_runner.native_32bit.return_value = False
        self.runner.arch, self.runner.account = "win64", self.account
        path = self.root / "x.scn"
        path.write_text("version: win10-64\n")
        self.runner.run(scenario.Scenario(path, "wine"), self.root / "failed")
        event = json.loads((self.root / "failed/events.jsonl").read_text())
        self.assertEqual(event["ev"], "error")
        self.assertIn("cannot run 32-bit code", event["text"])
        with self.assertRaises(RuntimeError):
            self.runner.setup_for("fail")

    def test_the_com_port_database_each_machine_gets(self):
        # arch, version, comdb: line -> mode, override, system32, syswow64
        # (None: no msports.dll there)
        cases = [("win32", "win2k", "", "working", "msports=n", "win32 msports.dll", None),
                 ("win32", "win10", "", "working", "msports=n", "win32 msports.dll", None),
                 ("win32", "winxp", "faulting", "faulting", "", "Wine's win32", None),
                 ("win32", "winxp", "none", "none", "msports=", None, None),
                 ("win32", "nt40", "", "none", "msports=", None, None),
                 ("win32", "win98", "", "none", "msports=", None, None),
                 ("win32", "win7-64", "", "working", "msports=n", "Wine's win64", "win32 msports.dll"),
                 ("win32", "win7-64", "faulting", "faulting", "", "Wine's win64", "Wine's win64"),
                 ("win32", "win7-64", "none", "none", "msports=", None, None),
                 ("win64", "win2k", "", "working", "msports=n", "win64 msports.dll", "Wine's win64"),
                 ("win64", "nt351", "", "none", "msports=", None, None)]
        for arch, name, line, mode, override, system32, syswow64 in cases:
            text = "version: %s\n" % name + ("comdb: %s\n" % line if line else "")
            session, work, plan = self.prepare(text, arch)
            what = (arch, name, line)
            self.assertIn("comdb " + mode, plan, what)
            self.assertEqual(session["dll_overrides"],
                             ";".join(o for o in ("mscoree=;mshtml=", override) if o), what)
            for folder, want in (("system32", system32), ("syswow64", syswow64)):
                dll = work / "drive_c/windows" / folder / "msports.dll"
                self.assertEqual(dll.read_text() if dll.exists() else None, want, (what, folder))
        # The base prefixes' files, hard-linked into each run, are never written.
        for arch, base in self.runner.bases.items():
            for dll in base.glob("drive_c/windows/*/msports.dll"):
                self.assertEqual(dll.read_text(), "Wine's " + arch)

    def test_a_deleted_service_is_held_and_a_limited_user_is_said(self):
        session, _, plan = self.prepare("version: winxp\nservice-deleted: Qblred\nuser: limited\n")
        self.assertIn("deleteservice Qblred", plan)
        self.assertIn("administrator's run", " ".join(session["notes"]))
        session, _, plan = self.prepare("version: winxp\n")
        self.assertEqual([p for p in plan if p.startswith("deleteservice")], [])
        self.assertNotIn("administrator", " ".join(session["notes"]))


def our_imports(path):
    """The modules of harness/ and preview/ that a Python file imports."""
    found = set()
    for node in ast.walk(ast.parse(path.read_text(encoding="utf-8"))):
        if isinstance(node, ast.Import):
            found |= {a.name for a in node.names}
        elif isinstance(node, ast.ImportFrom) and node.module:
            found.add(node.module)
            found |= {node.module + "." + a.name for a in node.names}
    return {name for name in found if name.split(".")[0] in ("harness", "preview")
            and (scenario.ROOT / (name.replace(".", "/") + ".py")).exists()}


class ModuleGraph(unittest.TestCase):
    def test_no_circle_and_the_format_uses_no_runner(self):
        files = [f for room in ("harness", "preview", "checks", "bench")
                 for f in sorted((scenario.ROOT / room).glob("*.py"))]
        graph = {".".join(f.relative_to(scenario.ROOT).with_suffix("").parts): our_imports(f)
                 for f in files}
        self.assertIn("harness.wine_runner", graph["harness.runners"])  # the reading works

        def reach(name, path=()):
            self.assertNotIn(name, path, "import circle: %s" % " -> ".join(path + (name,)))
            out = set(graph.get(name, ()))
            for dep in graph.get(name, ()):
                out |= reach(dep, path + (name,))
            return out
        for name in graph:
            reach(name)
        runners = {"harness.runners", "harness.host_runner", "harness.wine_runner", "harness.play"}
        self.assertEqual(reach("harness.scenario") & runners, set())
        # The session runs alone, started by path inside the run's namespace.
        self.assertEqual(graph["harness.wine_session"], set())
        # scripts/ holds only what a person runs.
        self.assertEqual(sorted(p.name for p in (scenario.ROOT / "scripts").glob("*.py")), [])


if __name__ == "__main__":
    unittest.main()
