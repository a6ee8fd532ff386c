"""The Wine runner: plays one scenario with the real install.exe in a fresh
Wine prefix under its own Xvfb, its boxes and dialog answered by driver.exe.

Which Wine: a 32-bit prefix with the i686 build (build/win32) when this
machine runs 32-bit code natively; where 32-bit code runs only under qemu
emulation (far too slow for Wine) a 64-bit prefix with the x86_64 build of
the same sources (build/win64).  REDIRECTOR_WINE_ARCH=win32|win64 forces one.
A 64-bit edition of Windows (version win7-64, ...) is always played in a
64-bit prefix with the i686 programs of build/win32, the product under
WOW64; where this machine cannot run 32-bit code, such a run fails and
says why.  The version Wine reports is harness/versions.py's; the COM port
database (msports.dll) is the test DLL of testprogs/msports.c, Wine's own
(whose stubs fault) or none, as the version and the scenario's comdb: say.

Wine runs as an unprivileged user (REDIRECTOR_WINE_USER, default redirwine,
which scripts/deps.sh adds), never as root: root may overwrite, truncate or
delete a file without write permission, where Windows refuses with
ERROR_ACCESS_DENIED.  That user owns the prefixes, and each run gives it a
TMPDIR of its own (Wine's server folder) and a shared HOME under the cache.

A base prefix is made once and kept in REDIRECTOR_WINE_CACHE (default
/var/cache/redirector-wine), under a name that hashes the steps that made
it.  Each run gets a copy of it (the large system files hard-linked) and its
own Xvfb; all Wine processes of a run live in a private mount namespace
whose /dev holds no serial devices, so that exactly the scenario's COM
names exist.  In that namespace the run's folder (which may lie below
folders only root may enter) is seen at one fixed place, the cache's
"view", and Wine is only ever given paths there; a folder the scenario puts
on a full drive is a small file system filled to its last byte, mounted
there too, and its files are copied back into the drive before the
namespace ends.  Only that run's wineserver and Xvfb are ever stopped.
"""
import fcntl
import hashlib
import json
import os
import pwd
import re
import shutil
import signal
import stat
import subprocess
import sys
import tempfile
import time
from collections import namedtuple
from pathlib import Path

from harness import versions, wine_session
from harness.scenario import escape, host_path, prepare_drive
from harness.wine_session import RUN_TIMEOUT_MS, z_path

SETUP_STEPS = "base-3: as %s; wineboot -i; Managed=N; CursorBlinkRate=-1; Version=win95; fonts; shared files root's"
WINE_USER = os.environ.get("REDIRECTOR_WINE_USER", "redirwine")
SESSION_TIMEOUT_S = 120
# Wine's .NET and HTML engines are never installed into a prefix; each run
# adds the COM port database's override (comdb_setup).
DLL_OVERRIDES = "mscoree=;mshtml="
# What Wine does differently for a user who is no administrator: nothing.
LIMITED_USER_NOTE = ("user: limited is played as an administrator's run: Wine gives every "
                     "process an administrator's token")

# How a scenario is played: the prefix (win32 or win64), the build whose
# programs run in it, and why.  "wow64": the i686 programs in a 64-bit
# prefix, a 64-bit edition of Windows.
Setup = namedtuple("Setup", "name arch build why")


def comdb_mode(scenario):
    """The COM port database the scenario's machine has: "working",
    "faulting" or "none" (comdb:, else what the version has)."""
    if scenario.comdb:
        return scenario.comdb
    return "working" if versions.has_comdb(scenario.version) else "none"


def comdb_setup(mode, setup):
    """(the WINEDLLOVERRIDES entry, the system folders whose msports.dll is
    replaced by ours, the folders whose msports.dll is removed) for a
    database of that mode.  The program loads it by the full path of its
    system directory: system32, and for the i686 program in a 64-bit
    prefix syswow64.  A working one is our DLL, loaded rather than Wine's
    (msports=n); a faulting one is Wine's own file and builtin, left as
    they are; none is no file, and Wine's builtin disabled (msports=), which
    Wine would otherwise load for a missing file."""
    folder = "syswow64" if setup.name == "wow64" else "system32"
    if mode == "working":
        return "msports=n", [folder], []
    if mode == "faulting":
        return "", [], []
    if mode == "none":
        both = ["system32", "syswow64"] if setup.arch == "win64" else ["system32"]
        return "msports=", [], both
    raise ValueError("no COM port database %r" % mode)


def place_comdb(drive, mode, setup, dll):
    """Lays out the run's system folders for a database of that mode;
    returns its override.  The base prefix's system files are hard-linked
    into the run's copy: a file is unlinked before it is replaced."""
    override, ours, removed = comdb_setup(mode, setup)
    for folder in ours + removed:
        target = drive / "windows" / folder / "msports.dll"
        if target.exists() or target.is_symlink():
            target.unlink()
        if folder in ours:
            shutil.copyfile(dll, target)
    return override


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


def wine_env(arch, prefix, display, account=None, tmp=None):
    """The environment of Wine's processes; with account, that user's HOME
    and names, and tmp as its TMPDIR."""
    env = dict(os.environ)
    env.update(WINEPREFIX=str(prefix), WINEARCH=arch, WINEDEBUG=os.environ.get("REDIRECTOR_WINEDEBUG", "-all"),
               WINEDLLOVERRIDES=DLL_OVERRIDES, DISPLAY=display)
    if account:
        env.update(HOME=str(account.home), USER=account.name, LOGNAME=account.name,
                   TMPDIR=str(tmp or account.tmp))
    if arch == "win32" and not native_32bit():
        env["QEMU_RESERVED_VA"] = "0xf7000000"
    return env


class Account:
    """The unprivileged user Wine runs as: root may write a file that has
    no write permission, a program on Windows (and this user) may not.
    Its HOME and the TMPDIR of Wine run outside a session are folders of
    its own under the cache."""

    def __init__(self, name, cache):
        entry = pwd.getpwnam(name)  # KeyError: no such user
        self.name, self.uid, self.gid = name, entry.pw_uid, entry.pw_gid
        self.home = Path(cache) / ("user-" + name)
        self.tmp = self.home / "tmp"

    def prepare(self):
        for folder in (self.home, self.tmp):
            folder.mkdir(parents=True, exist_ok=True)
            os.chown(folder, self.uid, self.gid)
            os.chmod(folder, 0o700)

    def creds(self):
        """subprocess arguments that run a program as this user."""
        return {"user": self.uid, "group": self.gid, "extra_groups": []}

    def own(self, path):
        """Gives path, and everything under it, to this user."""
        chown_tree(path, self.uid, self.gid)


def chown_tree(path, uid, gid):
    """Gives path and everything under it to uid, but the base prefix's
    shared files hard-linked there (they stay root's)."""
    path = Path(path)
    os.lchown(path, uid, gid)
    if path.is_symlink() or not path.is_dir():
        return
    for dirpath, dirnames, filenames in os.walk(path):
        for name in dirnames:
            os.lchown(os.path.join(dirpath, name), uid, gid)
        for name in filenames:
            full = os.path.join(dirpath, name)
            st = os.lstat(full)
            if not (stat.S_ISREG(st.st_mode) and st.st_nlink > 1 and st.st_uid == 0):
                os.lchown(full, uid, gid)


# The base prefix's program files (Wine's DLLs and programs, fonts, code
# pages, ...), which no run writes: each run's prefix has them hard-linked,
# and they belong to root, read-only to the user Wine runs as, so that a
# run that tried to write one would fail instead of changing the base.
SHARED_SUFFIXES = (".dll", ".exe", ".sys", ".drv", ".nls", ".fon", ".ttf", ".vxd", ".ocx", ".cpl",
                   ".acm", ".tlb", ".ds", ".msstyles", ".mod", ".icm", ".com", ".ax", ".manifest")


def shared_file(rel):
    """Whether the base prefix's file rel (relative to the prefix) is
    shared by hard links: a program file under drive_c, outside the
    users' folders."""
    return len(rel.parts) > 2 and rel.parts[0] == "drive_c" and rel.parts[1].lower() != "users" \
        and rel.name.lower().endswith(SHARED_SUFFIXES)


def share_base_files(base):
    """Gives the base prefix's shared files to root, read-only to others."""
    for dirpath, _, filenames in os.walk(base):
        for name in filenames:
            path = Path(dirpath) / name
            if not path.is_symlink() and shared_file(path.relative_to(base)):
                os.chown(path, 0, 0)
                os.chmod(path, 0o644)


def copy_prefix(base, target):
    """A run's own prefix: the shared program files hard-linked, the rest
    (registry, settings, the users' folders) copied."""
    for dirpath, dirnames, filenames in os.walk(base):
        rel = Path(dirpath).relative_to(base)
        dest = Path(target) / rel
        dest.mkdir(parents=True, exist_ok=True)
        for name in dirnames:
            src = Path(dirpath) / name
            if src.is_symlink():
                os.symlink(os.readlink(src), dest / name)
        dirnames[:] = [d for d in dirnames if not (Path(dirpath) / d).is_symlink()]
        for name in filenames:
            src = Path(dirpath) / name
            if src.is_symlink():
                os.symlink(os.readlink(src), dest / name)
            elif shared_file(rel / name):
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


def seen_from_view(env, work, view):
    """env with each of our own settings (REDIRECTOR_...) that names a
    place below the run's folder work as a Z: path, named as Wine sees it
    there: below view."""
    out = dict(env)
    here, there = z_path(work), z_path(view)
    for name, value in env.items():
        if name.startswith("REDIRECTOR_") and (value.lower() == here.lower() or
                                               value.lower().startswith(here.lower() + "\\")):
            out[name] = there + value[len(here):]
    return out


def write_timing(work, phases):
    """timing.json of a run: seconds of each phase, the runner's (prepare,
    display, session) and the session's own, read from its phases.json,
    with the program's own run (its exit event's ms) as "install.exe"."""
    try:
        phases.update({"session " + k: v for k, v in
                       json.loads((work / "phases.json").read_text()).items()})
    except (OSError, ValueError):
        pass
    try:
        for line in (work / "events.jsonl").read_text(encoding="utf-8", errors="replace").splitlines():
            event = json.loads(line)
            if event.get("ev") == "exit" and "ms" in event:
                phases["install.exe"] = event["ms"] / 1000.0
    except (OSError, ValueError):
        pass
    (work / "timing.json").write_text(json.dumps(phases))


def outermost_keys(keys):
    out = []
    for k in sorted(set(keys), key=lambda s: (len(s), s.lower())):
        if not any(k.lower() == o.lower() or k.lower().startswith(o.lower() + "\\") for o in out):
            out.append(k)
    return out


class WineRunner:
    name = "wine"
    max_jobs = 2

    def __init__(self, root):
        self.root = Path(root)
        self.arch, self.why = choose_arch()
        self.build = self.root / "build" / self.arch
        self.loader, self.server = wine_tools(self.arch)
        self.bases = {}
        self.cache = Path(os.environ.get("REDIRECTOR_WINE_CACHE", "/var/cache/redirector-wine"))
        # Where a run's folder is seen inside its mount namespace (an empty
        # folder outside any): the run's folder may lie below folders that
        # only root may enter.
        self.view = self.cache / "view"
        self.base = None
        self.account = None
        self.programs = self.programs_of(self.build)

    @staticmethod
    def programs_of(build):
        return {
            "install": build / "install.exe",
            "driver": build / "wine/driver.exe",
            "second": build / "testprogs/second.exe",
            "red32": build / "testprogs/red32.exe",
            "qblred.sys": build / "testprogs/qblred.sys",
            "qblred-sticky.sys": build / "testprogs/qblred-sticky.sys",
            "msports": build / "testprogs/msports.dll",
        }

    def setup_for(self, version):
        """How a machine of that version is played: a Setup, or RuntimeError
        saying why it cannot be played here."""
        try:
            bits = versions.get(version).bits
        except KeyError:
            raise RuntimeError("the Wine runner plays no version %r" % version) from None
        if bits == 32:
            return Setup(self.arch, self.arch, self.root / "build" / self.arch, self.why)
        if self.arch == "win64" and not native_32bit():
            raise RuntimeError("a 64-bit edition is the i686 program under WOW64, and this machine "
                               "cannot run 32-bit code (%s)" % self.why)
        return Setup("wow64", "win64", self.root / "build/win32",
                     "a 64-bit edition: the i686 programs under WOW64")

    # ---- the base prefix ----
    def wine_version(self):
        try:
            return subprocess.run([self.loader, "--version"], capture_output=True, text=True,
                                  timeout=30).stdout.strip()
        except (OSError, subprocess.TimeoutExpired):
            return ""

    def wine_account(self):
        """The user Wine runs as, with its folders ready; RuntimeError when
        the user does not exist."""
        if self.account is None:
            try:
                account = Account(WINE_USER, self.cache)
            except KeyError:
                raise RuntimeError("no user %s to run Wine as (scripts/deps.sh adds it)"
                                   % WINE_USER) from None
            for folder in (self.cache, self.view):
                folder.mkdir(parents=True, exist_ok=True)
                os.chmod(folder, 0o755)
            account.prepare()
            self.account = account
        return self.account

    def base_prefix(self, arch=None):
        """The cached base prefix of that arch (default: the runner's own),
        made once."""
        arch = arch or self.arch
        if arch in self.bases:
            return self.bases[arch]
        loader = wine_tools(arch)[0]
        account = self.wine_account()
        key = hashlib.sha256("\n".join([arch, self.wine_version(), SETUP_STEPS % account.name,
                                        DLL_OVERRIDES]).encode()).hexdigest()[:16]
        folder = self.cache / ("%s-%s" % (arch, key))
        prefix = folder / "prefix"
        if (folder / "ready").exists():
            self.bases[arch] = prefix
            return prefix
        folder.mkdir(parents=True, exist_ok=True)
        with open(folder / "lock", "w") as lock:
            fcntl.flock(lock, fcntl.LOCK_EX)
            if (folder / "ready").exists():
                self.bases[arch] = prefix
                return prefix
            shutil.rmtree(prefix, ignore_errors=True)
            started = time.time()
            print("wine: making the base prefix %s (once, about half a minute)" % prefix, flush=True)
            os.chmod(folder, 0o755)
            prefix.mkdir()
            os.chown(prefix, account.uid, account.gid)
            xvfb, display = start_xvfb()
            env = wine_env(arch, prefix, display, account)
            try:
                steps = [[loader, "wineboot", "-i"],
                         [loader, "reg", "add", r"HKCU\Software\Wine\X11 Driver", "/v",
                          "Managed", "/d", "N", "/f"],
                         [loader, "reg", "add", r"HKCU\Control Panel\Desktop", "/v",
                          "CursorBlinkRate", "/d", "-1", "/f"],
                         [loader, "reg", "add", r"HKCU\Software\Wine", "/v", "Version",
                          "/d", "win95", "/f"]]
                for cmd in steps:
                    r = subprocess.run(cmd, env=env, capture_output=True, timeout=900,
                                       **account.creds())
                    if r.returncode != 0:
                        raise RuntimeError("%s failed: %s" % (" ".join(cmd[1:3]),
                                                              r.stderr.decode(errors="replace")[-300:]))
            finally:
                for flag in ("-k", "-w"):
                    subprocess.run([self.server, flag], env=env, capture_output=True, timeout=60,
                                   **account.creds())
                stop(xvfb)
            fonts = prefix / "drive_c/windows/Fonts"
            fonts.mkdir(parents=True, exist_ok=True)
            for f in Path("/usr/share/wine/fonts").glob("*"):
                shutil.copy2(f, fonts / f.name)
            account.own(prefix)
            share_base_files(prefix)
            (folder / "ready").write_text("%.0f s\n" % (time.time() - started))
            print("wine: base prefix made in %.0f s" % (time.time() - started), flush=True)
        self.bases[arch] = prefix
        return prefix

    def available(self):
        missing = [t for t in ("Xvfb", "unshare") if not shutil.which(t)]
        missing += [p for p in (self.loader, self.server) if not Path(p).exists()]
        missing += [str(p.relative_to(self.root)) for p in self.programs.values() if not p.exists()]
        if missing:
            return False, "missing %s (%s; build the %s preset)" % (", ".join(missing), self.why,
                                                                    self.arch)
        if os.geteuid() != 0:
            return False, "the Wine runner runs as root (it mounts, and runs Wine as %s)" % WINE_USER
        try:
            self.wine_account()
        except RuntimeError as e:
            return False, str(e)
        try:
            self.base = self.base_prefix()
        except Exception as e:  # noqa: BLE001 - reported as a runner that cannot run
            return False, "cannot make the base prefix: %s" % e
        return True, ""

    def describe(self):
        bits = "32-bit" if self.arch == "win32" else "64-bit"
        try:
            self.setup_for("win7-64")
            editions = "64-bit editions: programs of build/win32 under WOW64 in a 64-bit prefix"
        except RuntimeError as e:
            editions = "64-bit editions cannot be played: %s" % e
        return "%s, %s prefix (%s), programs of build/%s, run as %s, base %s; %s" % (
            self.wine_version(), bits, self.why, self.arch, WINE_USER, self.base, editions)

    # ---- one run ----
    def cannot_run(self, work, why):
        """The outcome of a run that cannot be played here: a failure."""
        work.mkdir(parents=True, exist_ok=True)
        with open(work / "events.jsonl", "a") as f:
            f.write(json.dumps({"ev": "error", "text": "cannot play this here: %s" % why}) + "\n")

    def run(self, scenario, work, on_display=None):
        """Plays one scenario into the folder work; on_display, if given, is
        told the X display of the run's Xvfb once it is up."""
        account = self.wine_account()
        work = Path(work)
        started = time.time()
        try:
            session = self.prepare(scenario, work, account)
        except RuntimeError as e:
            self.cannot_run(work, str(e))
            return
        phases = {"prepare": time.time() - started}
        view = self.view
        started = time.time()
        xvfb, display = start_xvfb()
        phases["display"] = time.time() - started
        if on_display:
            on_display(display)
        env = seen_from_view(wine_env(session["arch"], view / "prefix", display, account,
                                      tmp=view / "tmp"), work, view)
        env["WINEDLLOVERRIDES"] = session["dll_overrides"]
        log = open(work / "runner.log", "wb")
        log.write("".join("wine runner: %s\n" % n for n in session["notes"]).encode())
        log.flush()
        proc = subprocess.Popen(
            ["unshare", "--mount", "--", "sh", str(self.root / "wine/nodev.sh"),
             sys.executable, wine_session.__file__, "--session", str(work / "session.json")],
            env=env, stdout=log, stderr=subprocess.STDOUT, start_new_session=True)
        started = time.time()
        try:
            proc.wait(SESSION_TIMEOUT_S)
        except subprocess.TimeoutExpired:
            # The whole run: the session, and the wineserver it keeps in the
            # foreground with every Wine process; the namespace goes with them.
            os.killpg(proc.pid, signal.SIGKILL)
            proc.wait()
            with open(work / "events.jsonl", "a") as f:
                f.write(json.dumps({"ev": "timeout", "text": "session ran over %d s"
                                    % SESSION_TIMEOUT_S}) + "\n")
        finally:
            phases["session"] = time.time() - started
            started = time.time()
            stop(xvfb)
            phases["display"] += time.time() - started
            log.close()
        write_timing(work, phases)
        if proc.returncode not in (0, None, -9):
            with open(work / "events.jsonl", "a") as f:
                f.write(json.dumps({"ev": "error", "text": "Wine session failed (%s), see %s"
                                    % (proc.returncode, work / "runner.log")}) + "\n")

    def prepare(self, scenario, work, account):
        """Lays out the run's folder work for the scenario: the prefix (a
        copy of the base of its version's arch, configured), the drive, the
        COM port database, the tools and driver.exe's plan.  Returns what
        the session is given (session.json), with the run's
        "dll_overrides" and "notes".  RuntimeError: it cannot be played here."""
        setup = self.setup_for(scenario.version)
        programs = self.programs_of(setup.build)
        missing = [str(p) for p in programs.values() if not p.exists()]
        if missing:
            raise RuntimeError("missing %s (build the %s preset)" % (", ".join(missing),
                                                                     setup.build.name))
        loader, server = wine_tools(setup.arch)
        if not Path(loader).exists():
            raise RuntimeError("no %s for a %s prefix" % (loader, setup.arch))
        base = self.base_prefix(setup.arch)
        view = self.view  # the run's folder as Wine sees it, in the run's namespace
        prefix = work / "prefix"
        copy_prefix(base, prefix)
        drive = prefix / "drive_c"
        prepare_drive(scenario, drive, {"second": programs["second"],
                                            "second_name": "second.exe",
                                            "qblred.sys": programs["qblred.sys"],
                                            "qblred-sticky.sys": programs["qblred-sticky.sys"]})
        if setup.name == "wow64":
            # 64-bit Windows has the folder where a 32-bit program's copy
            # into system32\drivers lands; a fresh Wine 8.0 prefix lacks it.
            (drive / "windows/syswow64/drivers").mkdir(parents=True, exist_ok=True)
        shutil.copy2(programs["install"], host_path(drive, "C:\\setup\\install.exe"))
        os.symlink("prefix/drive_c", work / "drive_c")
        version = versions.get(scenario.version)
        configure_prefix(prefix, version.wine, scenario.coms)
        comdb = comdb_mode(scenario)
        override = place_comdb(drive, comdb, setup, programs["msports"])
        # What Wine reads from outside the prefix is copied into the run's
        # folder: the user may not reach the places it comes from.
        tools = work / "tools"
        tools.mkdir()
        regs = []
        for i, reg in enumerate(scenario.regs):
            shutil.copyfile(reg, tools / ("import-%d.reg" % i))
            regs.append(str(view / "tools" / ("import-%d.reg" % i)))
        for name in ("driver", "red32"):
            shutil.copyfile(programs[name], tools / programs[name].name)
        (work / "tmp").mkdir()
        (work / "plan.txt").write_text("\n".join(self.plan(scenario, setup, comdb)) + "\n",
                                       encoding="latin-1")

        notes = ["%s: %s prefix, programs of %s (%s); Version=%s; COM port database %s%s"
                 % (scenario.version, setup.arch, setup.build.relative_to(self.root), setup.why,
                    version.wine, comdb, " (WINEDLLOVERRIDES %s)" % override if override else "")]
        if scenario.user == "limited":
            notes.append(LIMITED_USER_NOTE)
        session = {"arch": setup.arch, "loader": loader, "server": server,
                   "work": str(work), "view": str(view), "regs": regs,
                   "driver": str(view / "tools" / programs["driver"].name),
                   "nt_start": list(scenario.nt_start),
                   "full": [str(host_path(drive, path).relative_to(drive))
                            for path in scenario.full],
                   "dll_overrides": ";".join(o for o in (DLL_OVERRIDES, override) if o),
                   "notes": notes, "creds": account.creds()}
        (work / "session.json").write_text(json.dumps(session, indent=1))
        account.own(work)
        return session

    def plan(self, scenario, setup, comdb):
        """driver.exe's plan for the scenario (wine/driver.cpp reads it)."""
        view = self.view
        plan = ["exe C:\\setup\\install.exe", "cwd " + scenario.cwd, "stamps C:\\testlog",
                "timeout %d" % RUN_TIMEOUT_MS, "services " + z_path(view / "services.txt")]
        if scenario.args is not None:
            plan.append("args " + escape(scenario.args))
        for name, value in scenario.env:  # in order; None removes the name
            plan.append("unset " + name if value is None
                        else "env " + escape("%s=%s" % (name, value)))
        if "red32" in scenario.programs:
            plan.append("red32 " + z_path(view / "tools" / "red32.exe"))
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
        # The driver checks, as Wine shows them to the program, that a
        # read-only file is one, a folder on a full drive is full, the COM
        # port database is the one planned and the program runs under WOW64
        # exactly on a 64-bit edition.
        plan += ["readonly " + path for path in scenario.readonly]
        plan += ["full " + path for path in scenario.full]
        plan += ["comdb " + comdb, "wow64 " + ("yes" if setup.name == "wow64" else "no")]
        # A service deleted while a handle stays open: the driver deletes it
        # before the program starts and holds the handle until it has
        # exported the registry.
        plan += ["deleteservice " + name for name in scenario.deleted]
        # Services running before the run: the driver starts them first.
        plan += ["start " + name for name in scenario.running]
        # After the run the driver exports the checked keys and then starts
        # the driver services as NT would, in its own process.
        plan += ["export " + key for key in outermost_keys(scenario.registry_keys())]
        plan.append("exportfile " + z_path(view / "export.reg"))
        plan += ["ntstart " + name for name in scenario.nt_start]
        if scenario.nt_start:
            plan.append("ntstartfile " + z_path(view / "ntstart.txt"))
        # regedit's export shows a REG_SZ as text, without its stored size:
        # the driver reads the checked keys' values exactly after the run.
        plan.append("valuesfile " + z_path(view / "values.jsonl"))
        for key in scenario.value_keys():
            plan.append("values " + key)
        return plan

    # ---- the COM port database, checked ----
    def check_comdb(self, out=print):
        """Runs testprogs/test_msports.exe in a copy of each base prefix the
        runner plays in, with the COM port database laid out as a run lays
        it out for each mode, and the program loading msports.dll as
        install.exe does; returns (passed, failed)."""
        account = self.wine_account()
        passed = failed = 0
        for version in ("win2k", "win7-64"):
            try:
                setup = self.setup_for(version)
                base = self.base_prefix(setup.arch)
            except RuntimeError as e:
                out("msports: %s: FAIL cannot run: %s" % (version, e))
                failed += 1
                continue
            loader, server = wine_tools(setup.arch)
            programs = self.programs_of(setup.build)
            test = setup.build / "testprogs/test_msports.exe"
            work = Path(tempfile.mkdtemp(prefix="msports-check-", dir=self.cache))
            copy_prefix(base, work / "prefix")
            shutil.copyfile(test, work / test.name)
            (work / "tmp").mkdir()
            account.own(work)
            drive = work / "prefix/drive_c"
            xvfb, display = start_xvfb()
            env = wine_env(setup.arch, work / "prefix", display, account, tmp=work / "tmp")
            ok = True
            try:
                # Wine's own file first: the other modes replace or remove it.
                for mode in ("faulting", "working", "none"):
                    override = place_comdb(drive, mode, setup, programs["msports"])
                    env["WINEDLLOVERRIDES"] = ";".join(o for o in (DLL_OVERRIDES, override) if o)
                    report = work / ("report-%s.txt" % mode)
                    with open(report, "wb") as f:
                        r = subprocess.run([loader, str(work / test.name), mode], env=env,
                                           stdin=subprocess.DEVNULL, stdout=f,
                                           stderr=subprocess.DEVNULL, timeout=120,
                                           **account.creds())
                    text = report.read_text(encoding="latin-1").replace("\r\n", "\n")
                    last = text.strip().splitlines()[-1] if text.strip() else "(no report)"
                    good = r.returncode == 0 and last.startswith("test_msports: ") and \
                        last.endswith(" 0 failures")
                    out("msports: %s, %s prefix, programs of %s, %s: %s %s" % (
                        version, setup.arch, setup.build.name, mode, "PASS" if good else "FAIL", last))
                    if not good:
                        for line in text.splitlines()[:-1][:10]:
                            out("     " + line)
                    passed, failed = passed + good, failed + (not good)
                    ok = ok and good
            finally:
                subprocess.run([server, "-k"], env=env, stdin=subprocess.DEVNULL,
                               capture_output=True, timeout=30, **account.creds())
                stop(xvfb)
            if ok:
                shutil.rmtree(work, ignore_errors=True)
            else:
                out("     (the check's folder is kept: %s)" % work)
        return passed, failed


def main(argv):
    """python3 -m harness.wine_runner --check-comdb: runs check_comdb."""
    if argv != ["--check-comdb"]:
        print("usage: python3 -m harness.wine_runner --check-comdb", file=sys.stderr)
        return 2
    runner = WineRunner(Path(__file__).resolve().parent.parent)
    ok, why = runner.available()
    if not ok:
        print("msports: cannot run: %s" % why)
        print("msports: 0 passed, 1 failed")
        return 1
    passed, failed = runner.check_comdb()
    print("msports: %d passed, %d failed" % (passed, failed))
    return 0 if failed == 0 else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
