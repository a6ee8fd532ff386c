"""The Wine runner: plays one scenario with the real install.exe in a fresh
Wine prefix under its own Xvfb, its boxes and dialog answered by driver.exe.

Which Wine: a 32-bit prefix with the i686 build (build/win32) when this
machine runs 32-bit code natively; where 32-bit code runs only under qemu
emulation (far too slow for Wine) a 64-bit prefix with the x86_64 build of
the same sources (build/win64).  REDIRECTOR_WINE_ARCH=win32|win64 forces one.

A base prefix is made once and kept in REDIRECTOR_WINE_CACHE (default
/var/cache/redirector-wine), under a name that hashes the steps that made
it.  Each run gets a copy of it (the large system files hard-linked) and its
own Xvfb; all Wine processes of a run live in a private mount namespace
whose /dev holds no serial devices, so that exactly the scenario's COM
names exist.  Only that run's wineserver and Xvfb are ever stopped.
"""
import fcntl
import hashlib
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
SETUP_STEPS = "base-1: wineboot -i; Managed=N; CursorBlinkRate=-1; Version=win95; fonts"
RUN_TIMEOUT_MS = 60000
SESSION_TIMEOUT_S = 120
DLL_OVERRIDES = "mscoree=;mshtml="
VERSIONS = {"win95": "win95", "nt351": "nt351", "nt40": "nt40", "win31": "win31"}


def qemu_i386_registered():
    try:
        return Path("/proc/sys/fs/binfmt_misc/qemu-i386").read_text().startswith("enabled")
    except OSError:
        return False


def native_32bit():
    """True when the kernel itself runs 32-bit x86 code (no emulator in between)."""
    if qemu_i386_registered():
        # binfmt_misc is asked before the kernel's own ELF loader, so every
        # 32-bit program goes through qemu while the entry is there.
        return False
    loader = Path("/usr/lib/wine/wine")
    if not loader.exists():
        return False
    try:
        return subprocess.run([str(loader), "--version"], capture_output=True,
                              timeout=20).returncode == 0
    except (OSError, subprocess.TimeoutExpired):
        return False


def choose_arch():
    forced = os.environ.get("REDIRECTOR_WINE_ARCH")
    if forced in ("win32", "win64"):
        return forced, "forced by REDIRECTOR_WINE_ARCH"
    if native_32bit():
        return "win32", "32-bit code runs natively"
    if qemu_i386_registered():
        return "win64", "32-bit code runs only under qemu emulation here, too slow for Wine"
    return "win64", "32-bit Wine cannot run here"


def wine_tools(arch):
    server = "/usr/lib/wine/wineserver64" if Path("/usr/lib/wine/wineserver64").exists() \
        else shutil.which("wineserver") or "wineserver"
    loader = "/usr/lib/wine/wine64" if arch == "win64" else "/usr/lib/wine/wine"
    return loader, server


def z_path(path):
    """A Linux path as Wine's Z: drive shows it."""
    return "Z:" + str(Path(path).resolve()).replace("/", "\\")


def start_xvfb():
    """Starts an Xvfb on a display number of its own; returns (process, ":N")."""
    r, w = os.pipe()
    proc = subprocess.Popen(["Xvfb", "-displayfd", str(w), "-screen", "0", "1024x768x16",
                             "-nolisten", "tcp", "-noreset"], pass_fds=(w,),
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.close(w)
    number = b""
    deadline = time.time() + 20
    with os.fdopen(r, "rb") as f:
        while time.time() < deadline and not number.endswith(b"\n"):
            c = f.read(1)
            if not c:
                break
            number += c
    if not number.strip().isdigit():
        proc.kill()
        proc.wait()
        raise RuntimeError("Xvfb did not start")
    return proc, ":" + number.strip().decode()


def stop(proc):
    if proc and proc.poll() is None:
        proc.terminate()
        try:
            proc.wait(5)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()


def wine_env(arch, prefix, display):
    env = dict(os.environ)
    env.update(WINEPREFIX=str(prefix), WINEARCH=arch, WINEDEBUG=os.environ.get("REDIRECTOR_WINEDEBUG", "-all"),
               WINEDLLOVERRIDES=DLL_OVERRIDES, DISPLAY=display)
    if arch == "win32" and not native_32bit():
        env["QEMU_RESERVED_VA"] = "0xf7000000"
    return env


def copy_prefix(base, target):
    """A run's own prefix: text and registry files copied, the big system
    files (never written by a run) hard-linked."""
    for dirpath, dirnames, filenames in os.walk(base):
        rel = Path(dirpath).relative_to(base)
        dest = Path(target) / rel
        dest.mkdir(parents=True, exist_ok=True)
        shared = len(rel.parts) >= 3 and rel.parts[:2] == ("drive_c", "windows") and \
            rel.parts[2].lower() in ("system32", "syswow64", "winsxs")
        for name in dirnames:
            src = Path(dirpath) / name
            if src.is_symlink():
                os.symlink(os.readlink(src), dest / name)
        dirnames[:] = [d for d in dirnames if not (Path(dirpath) / d).is_symlink()]
        for name in filenames:
            src = Path(dirpath) / name
            if src.is_symlink():
                os.symlink(os.readlink(src), dest / name)
            elif shared and not name.lower().endswith((".ini", ".reg", ".txt", ".log")):
                os.link(src, dest / name)
            else:
                shutil.copy2(src, dest / name)


def set_reg_section(text, header, lines):
    """Replaces the values of one section of a Wine registry file
    (system.reg / user.reg) with lines; the section is added if missing."""
    pattern = re.compile(r"^\[" + re.escape(header) + r"\][^\n]*\n", re.M | re.I)
    m = pattern.search(text)
    body = "".join(line + "\n" for line in lines)
    if not m:
        return text.rstrip("\n") + "\n\n[%s] %d\n%s" % (header, int(time.time()), body)
    start = m.end()
    end = text.find("\n\n", start)
    end = len(text) if end < 0 else end + 1
    kept = [ln for ln in text[start:end].splitlines(True)
            if ln.startswith("#") and not ln.startswith("#time")]
    kept_time = [ln for ln in text[start:end].splitlines(True) if ln.startswith("#time")]
    return text[:start] + "".join(kept_time + kept) + body + text[end:]


def configure_prefix(prefix, version, coms):
    """The version Wine reports and the COM devices that exist, written
    into the prefix's registry files before its wineserver starts."""
    user = Path(prefix) / "user.reg"
    text = user.read_text(encoding="utf-8")
    text = set_reg_section(text, r"Software\\Wine", ['"Version"="%s"' % version])
    user.write_text(text, encoding="utf-8")
    system = Path(prefix) / "system.reg"
    text = system.read_text(encoding="utf-8")
    # A name with a target of its own (NAME=TARGET) is defined by the driver.
    ports = ['"%s"="/dev/null"' % c.upper() for c in coms if "=" not in c]
    text = set_reg_section(text, r"Software\\Wine\\Ports", ports)
    system.write_text(text, encoding="utf-8")


def outermost_keys(keys):
    out = []
    for k in sorted(set(keys), key=lambda s: (len(s), s.lower())):
        if not any(k.lower() == o.lower() or k.lower().startswith(o.lower() + "\\") for o in out):
            out.append(k)
    return out


def merge_exports(files, target):
    """Joins several regedit exports into one version 5 file (UTF-16)."""
    body = []
    for f in files:
        if not f.exists():
            continue
        raw = f.read_bytes()
        text = raw[2:].decode("utf-16-le", errors="replace") if raw.startswith(b"\xff\xfe") \
            else raw.decode("latin-1")
        lines = text.replace("\r\n", "\n").split("\n")
        if lines and lines[0].startswith(("Windows Registry Editor", "REGEDIT4")):
            lines = lines[1:]
        body.append("\n".join(lines).strip("\n"))
    text = "Windows Registry Editor Version 5.00\r\n\r\n" + \
        "\r\n\r\n".join(b.replace("\n", "\r\n") for b in body if b) + "\r\n"
    target.write_bytes(b"\xff\xfe" + text.encode("utf-16-le"))


def escape(text):
    return text.replace("\\", "\\\\").replace("\n", "\\n").replace("\r", "\\r").replace("\t", "\\t")


class WineRunner:
    name = "wine"
    max_jobs = 2

    def __init__(self, root):
        self.root = Path(root)
        self.arch, self.why = choose_arch()
        self.build = self.root / "build" / self.arch
        self.loader, self.server = wine_tools(self.arch)
        self.cache = Path(os.environ.get("REDIRECTOR_WINE_CACHE", "/var/cache/redirector-wine"))
        self.base = None
        self.programs = {
            "install": self.build / "install.exe",
            "driver": self.build / "wine/driver.exe",
            "second": self.build / "testprogs/second.exe",
            "red32": self.build / "testprogs/red32.exe",
            "qblred.sys": self.build / "testprogs/qblred.sys",
            "qblred-sticky.sys": self.build / "testprogs/qblred-sticky.sys",
        }

    # ---- the base prefix ----
    def wine_version(self):
        try:
            return subprocess.run([self.loader, "--version"], capture_output=True, text=True,
                                  timeout=30).stdout.strip()
        except (OSError, subprocess.TimeoutExpired):
            return ""

    def base_prefix(self):
        key = hashlib.sha256("\n".join([self.arch, self.wine_version(), SETUP_STEPS,
                                        DLL_OVERRIDES]).encode()).hexdigest()[:16]
        folder = self.cache / ("%s-%s" % (self.arch, key))
        prefix = folder / "prefix"
        if (folder / "ready").exists():
            return prefix
        folder.mkdir(parents=True, exist_ok=True)
        with open(folder / "lock", "w") as lock:
            fcntl.flock(lock, fcntl.LOCK_EX)
            if (folder / "ready").exists():
                return prefix
            shutil.rmtree(prefix, ignore_errors=True)
            started = time.time()
            print("wine: making the base prefix %s (once, about half a minute)" % prefix, flush=True)
            xvfb, display = start_xvfb()
            env = wine_env(self.arch, prefix, display)
            try:
                steps = [[self.loader, "wineboot", "-i"],
                         [self.loader, "reg", "add", r"HKCU\Software\Wine\X11 Driver", "/v",
                          "Managed", "/d", "N", "/f"],
                         [self.loader, "reg", "add", r"HKCU\Control Panel\Desktop", "/v",
                          "CursorBlinkRate", "/d", "-1", "/f"],
                         [self.loader, "reg", "add", r"HKCU\Software\Wine", "/v", "Version",
                          "/d", "win95", "/f"]]
                for cmd in steps:
                    r = subprocess.run(cmd, env=env, capture_output=True, timeout=900)
                    if r.returncode != 0:
                        raise RuntimeError("%s failed: %s" % (" ".join(cmd[1:3]),
                                                              r.stderr.decode(errors="replace")[-300:]))
                subprocess.run([self.server, "-k"], env=env, capture_output=True, timeout=60)
                subprocess.run([self.server, "-w"], env=env, capture_output=True, timeout=60)
            finally:
                stop(xvfb)
            fonts = prefix / "drive_c/windows/Fonts"
            fonts.mkdir(parents=True, exist_ok=True)
            for f in Path("/usr/share/wine/fonts").glob("*"):
                shutil.copy2(f, fonts / f.name)
            (folder / "ready").write_text("%.0f s\n" % (time.time() - started))
            print("wine: base prefix made in %.0f s" % (time.time() - started), flush=True)
        return prefix

    def available(self):
        missing = [t for t in ("Xvfb", "unshare") if not shutil.which(t)]
        missing += [p for p in (self.loader, self.server) if not Path(p).exists()]
        missing += [str(p.relative_to(self.root)) for p in self.programs.values() if not p.exists()]
        if missing:
            return False, "missing %s (%s; build the %s preset)" % (", ".join(missing), self.why,
                                                                    self.arch)
        try:
            self.base = self.base_prefix()
        except Exception as e:  # noqa: BLE001 - reported as a runner that cannot run
            return False, "cannot make the base prefix: %s" % e
        return True, ""

    def describe(self):
        bits = "32-bit" if self.arch == "win32" else "64-bit"
        return "%s, %s prefix (%s), programs of build/%s, base %s" % (
            self.wine_version(), bits, self.why, self.arch, self.base)

    # ---- one run ----
    def run(self, scenario, work, on_display=None):
        """Plays one scenario into the folder work; on_display, if given, is
        told the X display of the run's Xvfb once it is up."""
        import scenario as scn  # the checker's drive layout
        work = Path(work)
        prefix = work / "prefix"
        copy_prefix(self.base, prefix)
        drive = prefix / "drive_c"
        scn.prepare_drive(scenario, drive, {"second": self.programs["second"],
                                            "second_name": "second.exe",
                                            "qblred.sys": self.programs["qblred.sys"],
                                            "qblred-sticky.sys": self.programs["qblred-sticky.sys"]})
        shutil.copy2(self.programs["install"], scn.host_path(drive, "C:\\setup\\install.exe"))
        os.symlink("prefix/drive_c", work / "drive_c")
        configure_prefix(prefix, VERSIONS.get(scenario.version, scenario.version), scenario.coms)

        plan = ["exe C:\\setup\\install.exe", "cwd " + scenario.cwd, "stamps C:\\testlog",
                "timeout %d" % RUN_TIMEOUT_MS, "services " + z_path(work / "services.txt")]
        if scenario.args is not None:
            plan.append("args " + escape(scenario.args))
        for name, value in scenario.env:  # in order; None removes the name
            plan.append("unset " + name if value is None
                        else "env " + escape("%s=%s" % (name, value)))
        if "red32" in scenario.programs:
            plan.append("red32 " + z_path(self.programs["red32"]))
        for answer in scenario.answers:
            plan.append("answer " + "; ".join(
                "Type " + escape(a[5:]) if a.startswith("Type ") else a
                for a in answer.split("; ")))
        for kind, data, _ in scenario.expect:
            if kind == "service":
                plan.append("service " + data["name"])
        for com in scenario.coms:
            name, sep, target = com.partition("=")
            if sep:
                plan.append("dosdevice %s %s" % (name.upper(), target))
        # regedit's export shows a REG_SZ as text, without its stored size:
        # the driver reads the checked keys' values exactly after the run.
        plan.append("valuesfile " + z_path(work / "values.jsonl"))
        for key in scenario.value_keys():
            plan.append("values " + key)
        (work / "plan.txt").write_text("\n".join(plan) + "\n", encoding="latin-1")

        setup = {"arch": self.arch, "loader": self.loader, "server": self.server,
                "prefix": str(prefix), "work": str(work),
                "regs": [str(Path(r).resolve()) for r in scenario.regs],
                "driver": str(self.programs["driver"]),
                "exports": outermost_keys(scenario.registry_keys()),
                "nt_start": list(scenario.nt_start), "running": list(scenario.running)}
        (work / "session.json").write_text(json.dumps(setup, indent=1))

        xvfb, display = start_xvfb()
        if on_display:
            on_display(display)
        env = wine_env(self.arch, prefix, display)
        log = open(work / "runner.log", "wb")
        session = subprocess.Popen(
            ["unshare", "--mount", "--", "sh", str(HERE.parent / "wine/nodev.sh"),
             sys.executable, str(Path(__file__).resolve()), "--session", str(work / "session.json")],
            env=env, stdout=log, stderr=subprocess.STDOUT, start_new_session=True)
        try:
            session.wait(SESSION_TIMEOUT_S)
        except subprocess.TimeoutExpired:
            os.killpg(session.pid, signal.SIGKILL)
            session.wait()
            with open(work / "events.jsonl", "a") as f:
                f.write(json.dumps({"ev": "timeout", "text": "session ran over %d s"
                                    % SESSION_TIMEOUT_S}) + "\n")
        finally:
            # This prefix's wineserver only (its socket is found by the prefix).
            subprocess.run([self.server, "-k"], env=env, capture_output=True, timeout=30)
            subprocess.run([self.server, "-w"], env=env, capture_output=True, timeout=30)
            stop(xvfb)
            log.close()
        if session.returncode not in (0, None, -9):
            with open(work / "events.jsonl", "a") as f:
                f.write(json.dumps({"ev": "error", "text": "Wine session failed (%s), see %s"
                                    % (session.returncode, work / "runner.log")}) + "\n")


SERVICE_LINE = re.compile(rb"^[ \t]*\[hkey_local_machine\\system\\currentcontrolset\\services\\([^\\\]\r\n]+)",
                          re.M)


def imports_service(raw):
    """True when a REGEDIT4 file holds the key of a service (the Windows 95
    class entries under Services\\Class are none)."""
    text = raw[2:].decode("utf-16-le", errors="replace").encode("latin-1", errors="replace") \
        if raw.startswith(b"\xff\xfe") else raw
    return any(name.strip() != b"class" for name in SERVICE_LINE.findall(text.lower()))


def session(setup_file):
    """Inside the private mount namespace: import, drive, export."""
    setup = json.loads(Path(setup_file).read_text())
    work = Path(setup["work"])
    loader, server = setup["loader"], setup["server"]

    def wine(*args, timeout=60, output=None):
        # Output goes straight to the log: Wine's helper processes (services,
        # explorer) inherit it and outlive the command, so a pipe would
        # never reach its end.
        started = time.time()
        r = subprocess.run([loader] + list(args), stdin=subprocess.DEVNULL, timeout=timeout,
                           stdout=output)
        print("[%.2fs] wine %s -> %d" % (time.time() - started, " ".join(args), r.returncode),
              flush=True)
        return r

    def import_all():
        for reg in setup["regs"]:
            if wine("regedit", "/S", z_path(reg)).returncode != 0:
                print("session: import of %s failed" % reg, flush=True)
                return False
        return True

    t0 = time.time()
    subprocess.run([server, "-p"], check=True)
    if not import_all():
        return 3
    if any(imports_service(Path(r).read_bytes()) for r in setup["regs"]):
        # The service manager reads its services once, when it starts: let
        # it start again over the imported keys.  HKEY_DYN_DATA does not
        # survive the restart, so everything is imported once more.
        subprocess.run([server, "-k"])
        subprocess.run([server, "-w"])
        subprocess.run([server, "-p"], check=True)
        if not import_all():
            return 3
    for name in setup.get("running", []):
        wine("sc", "start", name)
        if service_state(wine, work, name) != "running":
            print("session: %s did not start before the run" % name, flush=True)
            return 3
    r = wine(setup["driver"], z_path(work / "plan.txt"), z_path(work / "events.jsonl"),
             timeout=RUN_TIMEOUT_MS // 1000 + 30)
    if r.returncode != 0:
        print("session: driver failed with %d" % r.returncode, flush=True)
        return 4
    exports = []
    for i, key in enumerate(setup["exports"]):
        out = work / ("export-%d.reg" % i)
        wine("regedit", "/E", z_path(out), key)
        exports.append(out)
    merge_exports(exports, work / "registry.reg")
    for name in setup.get("nt_start", []):
        start_as_nt(wine, name, work)
    print("[%.2fs] session done" % (time.time() - t0), flush=True)
    return 0


SERVICES_KEY = "HKLM\\System\\CurrentControlSet\\Services\\"
SC_STATES = {"1": "stopped", "2": "start-pending", "3": "stop-pending", "4": "running"}


def nt_image_path(path):
    """The image path as Windows NT's loader finds it: a path that is neither
    absolute nor a device path is relative to the system root.  Wine 8.0's
    ntoskrnl refuses such a path (it loads drivers with
    LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR, which wants a full path), so it gets
    the \\SystemRoot\\ prefix, which both NT and Wine understand."""
    if path.startswith("\\") or (len(path) > 1 and path[1] == ":"):
        return path
    return "\\SystemRoot\\" + path


def command_output(wine, work, *args, tries=3):
    """What a Wine command printed.  It goes through a file, never a pipe
    (see wine() in session).  A command started while the prefix's system
    processes are shutting down after the previous one can fail at once
    with no output; it is tried again, a little later."""
    out = work / "command-output.txt"
    for attempt in range(tries):
        if attempt:
            time.sleep(0.5)
        with open(out, "wb") as f:
            if wine(*args, output=f).returncode == 0:
                break
    return out.read_text(encoding="utf-8", errors="replace")


def service_state(wine, work, name):
    """The service's state as `sc query` gives it: running, stopped, ... or absent."""
    code = re.search(r"STATE\s*:\s*(\d+)", command_output(wine, work, "sc", "query", name))
    return SC_STATES.get(code.group(1), "unknown") if code else "absent"


def start_as_nt(wine, name, work):
    """After the run (and the registry export): starts the driver service
    the way Windows NT would find its driver, and records its state in
    services.txt."""
    found = re.search(r"ImagePath\s+REG_(?:EXPAND_)?SZ\s+(.*\S)",
                      command_output(wine, work, "reg", "query", SERVICES_KEY + name, "/v",
                                     "ImagePath"))
    state = "absent"
    if found:
        image = nt_image_path(found.group(1))
        if image != found.group(1):
            wine("reg", "add", SERVICES_KEY + name, "/v", "ImagePath", "/t", "REG_EXPAND_SZ",
                 "/d", image, "/f")
        wine("sc", "start", name)
        state = service_state(wine, work, name)
    print("session: %s started as NT would: %s" % (name, state), flush=True)
    services = work / "services.txt"
    lines = services.read_text().splitlines() if services.exists() else []
    before = [line.partition(" ")[2] for line in lines if line.split(" ")[0].lower() == name.lower()]
    lines = [line for line in lines if line.split(" ")[0].lower() != name.lower()]
    services.write_text("\n".join(lines + ["%s %s" % (name, state)]) + "\n")
    with open(work / "nt-start.txt", "a") as f:
        f.write("%s | %s | %s | %s\n" % (name, before[0] if before else "unknown",
                                         image if found else "", state))


if __name__ == "__main__":
    if len(sys.argv) == 3 and sys.argv[1] == "--session":
        sys.exit(session(sys.argv[2]))
    print("usage: winerun.py --session SETUP (started by scenario.py)", file=sys.stderr)
    sys.exit(2)
