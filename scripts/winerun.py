"""The Wine runner: plays one scenario with the real install.exe in a fresh
Wine prefix under its own Xvfb, its boxes and dialog answered by driver.exe.

Which Wine: a 32-bit prefix with the i686 build (build/win32) when this
machine runs 32-bit code natively; where 32-bit code runs only under qemu
emulation (far too slow for Wine) a 64-bit prefix with the x86_64 build of
the same sources (build/win64).  REDIRECTOR_WINE_ARCH=win32|win64 forces one.

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
import errno
import fcntl
import hashlib
import json
import os
import pwd
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
SETUP_STEPS = "base-2: as %s; wineboot -i; Managed=N; CursorBlinkRate=-1; Version=win95; fonts"
WINE_USER = os.environ.get("REDIRECTOR_WINE_USER", "redirwine")
# A folder on a full drive: a file system this small (and as large again as
# the files the scenario put in the folder), filled to its last byte; inodes
# are left, so a file can still be created there.
FULL_FS_BYTES = 65536
FULL_FS_OPTIONS = "size=%d,nr_inodes=1024,mode=0755"
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
    path = Path(path)
    os.lchown(path, uid, gid)
    if path.is_symlink() or not path.is_dir():
        return
    for dirpath, dirnames, filenames in os.walk(path):
        for name in dirnames + filenames:
            os.lchown(os.path.join(dirpath, name), uid, gid)


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
        # Where a run's folder is seen inside its mount namespace (an empty
        # folder outside any): the run's folder may lie below folders that
        # only root may enter.
        self.view = self.cache / "view"
        self.base = None
        self.account = None
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

    def base_prefix(self):
        account = self.wine_account()
        key = hashlib.sha256("\n".join([self.arch, self.wine_version(), SETUP_STEPS % account.name,
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
            os.chmod(folder, 0o755)
            prefix.mkdir()
            os.chown(prefix, account.uid, account.gid)
            xvfb, display = start_xvfb()
            env = wine_env(self.arch, prefix, display, account)
            try:
                steps = [[self.loader, "wineboot", "-i"],
                         [self.loader, "reg", "add", r"HKCU\Software\Wine\X11 Driver", "/v",
                          "Managed", "/d", "N", "/f"],
                         [self.loader, "reg", "add", r"HKCU\Control Panel\Desktop", "/v",
                          "CursorBlinkRate", "/d", "-1", "/f"],
                         [self.loader, "reg", "add", r"HKCU\Software\Wine", "/v", "Version",
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
        return "%s, %s prefix (%s), programs of build/%s, run as %s, base %s" % (
            self.wine_version(), bits, self.why, self.arch, WINE_USER, self.base)

    # ---- one run ----
    def run(self, scenario, work, on_display=None):
        """Plays one scenario into the folder work; on_display, if given, is
        told the X display of the run's Xvfb once it is up."""
        import scenario as scn  # the checker's drive layout
        account = self.wine_account()
        work = Path(work)
        view = self.view  # the run's folder as Wine sees it, in the run's namespace
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
        # What Wine reads from outside the prefix is copied into the run's
        # folder: the user may not reach the places it comes from.
        tools = work / "tools"
        tools.mkdir()
        regs = []
        for i, reg in enumerate(scenario.regs):
            shutil.copyfile(reg, tools / ("import-%d.reg" % i))
            regs.append(str(view / "tools" / ("import-%d.reg" % i)))
        for name in ("driver", "red32"):
            shutil.copyfile(self.programs[name], tools / self.programs[name].name)
        (work / "tmp").mkdir()

        plan = ["exe C:\\setup\\install.exe", "cwd " + scenario.cwd, "stamps C:\\testlog",
                "timeout %d" % RUN_TIMEOUT_MS, "services " + z_path(view / "services.txt")]
        if scenario.args is not None:
            plan.append("args " + escape(scenario.args))
        for name, value in scenario.env:  # in order; None removes the name
            plan.append("unset " + name if value is None
                        else "env " + escape("%s=%s" % (name, value)))
        if "red32" in scenario.programs:
            plan.append("red32 " + z_path(view / "tools" / self.programs["red32"].name))
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
        # read-only file is one and a folder on a full drive is full.
        plan += ["readonly " + path for path in scenario.readonly]
        plan += ["full " + path for path in scenario.full]
        # regedit's export shows a REG_SZ as text, without its stored size:
        # the driver reads the checked keys' values exactly after the run.
        plan.append("valuesfile " + z_path(view / "values.jsonl"))
        for key in scenario.value_keys():
            plan.append("values " + key)
        (work / "plan.txt").write_text("\n".join(plan) + "\n", encoding="latin-1")

        setup = {"arch": self.arch, "loader": self.loader, "server": self.server,
                 "work": str(work), "view": str(view), "regs": regs,
                 "driver": str(view / "tools" / self.programs["driver"].name),
                 "exports": outermost_keys(scenario.registry_keys()),
                 "nt_start": list(scenario.nt_start), "running": list(scenario.running),
                 "full": [str(scn.host_path(drive, path).relative_to(drive))
                          for path in scenario.full],
                 "creds": account.creds()}
        (work / "session.json").write_text(json.dumps(setup, indent=1))
        account.own(work)

        xvfb, display = start_xvfb()
        if on_display:
            on_display(display)
        env = seen_from_view(wine_env(self.arch, view / "prefix", display, account,
                                      tmp=view / "tmp"), work, view)
        log = open(work / "runner.log", "wb")
        session = subprocess.Popen(
            ["unshare", "--mount", "--", "sh", str(HERE.parent / "wine/nodev.sh"),
             sys.executable, str(Path(__file__).resolve()), "--session", str(work / "session.json")],
            env=env, stdout=log, stderr=subprocess.STDOUT, start_new_session=True)
        try:
            session.wait(SESSION_TIMEOUT_S)
        except subprocess.TimeoutExpired:
            # The whole run: the session, and the wineserver it keeps in the
            # foreground with every Wine process; the namespace goes with them.
            os.killpg(session.pid, signal.SIGKILL)
            session.wait()
            with open(work / "events.jsonl", "a") as f:
                f.write(json.dumps({"ev": "timeout", "text": "session ran over %d s"
                                    % SESSION_TIMEOUT_S}) + "\n")
        finally:
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


def mount(*args):
    subprocess.run(["mount"] + [str(a) for a in args], check=True)


def fill(folder):
    """Writes a file into folder until its file system is full to the last
    byte; OSError when it is not full then."""
    fd = os.open(os.path.join(folder, "filler"), os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600)
    try:
        for chunk in (65536, 4096, 1):
            block = b"\0" * chunk
            try:
                while os.write(fd, block):
                    pass
            except OSError as e:
                if e.errno != errno.ENOSPC:
                    raise
    finally:
        os.close(fd)
    probe = os.path.join(folder, "probe")
    fd = os.open(probe, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600)
    try:
        os.write(fd, b"x")
    except OSError as e:
        if e.errno != errno.ENOSPC:
            raise
    else:
        raise OSError("%s is not full: one more byte could be written" % folder)
    finally:
        os.close(fd)
        os.unlink(probe)


def mount_full(target, creds):
    """Inside the run's namespace: puts a small file system, filled to its
    last byte, at the folder target (its files copied onto it).  The filler
    lies beside the folder on that file system, where the program cannot
    see it; only the folder stays mounted."""
    held = sum((f.stat().st_size + 4095) // 4096 * 4096
               for f in Path(target).rglob("*") if f.is_file() and not f.is_symlink())
    place = tempfile.mkdtemp(prefix="redir-full-", dir="/tmp")
    try:
        mount("-t", "tmpfs", "-o", FULL_FS_OPTIONS % (FULL_FS_BYTES + held), "redir-full", place)
        try:
            inner = Path(place) / "folder"
            subprocess.run(["cp", "-a", str(target), str(inner)], check=True)
            os.chown(inner, creds["user"], creds["group"])
            fill(place)
            mount("--bind", inner, target)
        finally:
            subprocess.run(["umount", "-l", place], check=True)
    finally:
        os.rmdir(place)


def copy_back(full, real):
    """The files of a folder on a full drive, copied back into the drive
    (modes kept) before the namespace and its file systems go."""
    for child in list(Path(real).iterdir()):
        if child.is_dir() and not child.is_symlink():
            shutil.rmtree(child)
        else:
            child.unlink()
    subprocess.run(["cp", "-a", str(full) + "/.", str(real)], check=True)


def session(setup_file):
    """Inside the private mount namespace, as root: the run's folder seen
    at the view, the full folders mounted; then, with Wine run as the
    unprivileged user: import, drive, export."""
    setup = json.loads(Path(setup_file).read_text())
    work, view = Path(setup["work"]), Path(setup["view"])
    loader, server = setup["loader"], setup["server"]
    creds = setup["creds"]
    mount("--bind", work, view)
    for folder in setup["full"]:
        mount_full(view / "prefix/drive_c" / folder, creds)

    def wine(*args, timeout=60, output=None):
        # Output goes straight to the log: Wine's helper processes (services,
        # explorer) inherit it and outlive the command, so a pipe would
        # never reach its end.
        started = time.time()
        r = subprocess.run([loader] + list(args), stdin=subprocess.DEVNULL, timeout=timeout,
                           stdout=output, **creds)
        print("[%.2fs] wine %s -> %d" % (time.time() - started, " ".join(args), r.returncode),
              flush=True)
        return r

    def import_all():
        for reg in setup["regs"]:
            if wine("regedit", "/S", z_path(reg)).returncode != 0:
                print("session: import of %s failed" % reg, flush=True)
                return False
        return True

    def start_server():
        """The prefix's wineserver, kept in the foreground (so it belongs to
        this run's process group) and persistent: HKEY_DYN_DATA lives only
        as long as it does.  It is ready once its socket is there (in its
        server folder under the run's own TMPDIR); until then a Wine
        program would start a server of its own."""
        sockets = lambda: list(view.glob("tmp/**/server-*/socket"))  # noqa: E731
        for stale in sockets():
            stale.unlink()
        proc = subprocess.Popen([server, "-f", "-p"], stdin=subprocess.DEVNULL, **creds)
        deadline = time.time() + 10
        while not sockets() and time.time() < deadline:
            if proc.poll() is not None:
                raise RuntimeError("the wineserver ended at once (%s)" % proc.returncode)
            time.sleep(0.01)
        if not sockets():
            print("session: no wineserver socket under %s after 10 s" % (view / "tmp"), flush=True)
        return proc

    def stop_server(proc):
        subprocess.run([server, "-k"], stdin=subprocess.DEVNULL, timeout=30, **creds)
        try:
            proc.wait(30)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()

    t0 = time.time()
    wineserver = start_server()
    try:
        if not import_all():
            return 3
        if any(imports_service(Path(r).read_bytes()) for r in setup["regs"]):
            # The service manager reads its services once, when it starts: let
            # it start again over the imported keys.  HKEY_DYN_DATA does not
            # survive the restart, so everything is imported once more.
            stop_server(wineserver)
            wineserver = start_server()
            if not import_all():
                return 3
        for name in setup.get("running", []):
            wine("sc", "start", name)
            if service_state(wine, work, name) != "running":
                print("session: %s did not start before the run" % name, flush=True)
                return 3
        r = wine(setup["driver"], z_path(view / "plan.txt"), z_path(view / "events.jsonl"),
                 timeout=RUN_TIMEOUT_MS // 1000 + 30)
        if r.returncode != 0:
            print("session: driver failed with %d" % r.returncode, flush=True)
            return 4
        exports = []
        for i, key in enumerate(setup["exports"]):
            out = view / ("export-%d.reg" % i)
            wine("regedit", "/E", z_path(out), key)
            exports.append(out)
        merge_exports(exports, work / "registry.reg")
        for name in setup.get("nt_start", []):
            start_as_nt(wine, name, work)
    finally:
        stop_server(wineserver)
        for folder in setup["full"]:
            copy_back(view / "prefix/drive_c" / folder, work / "prefix/drive_c" / folder)
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
