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
import time
from pathlib import Path

from harness import wine_session
from harness.scenario import escape, host_path, prepare_drive
from harness.wine_session import RUN_TIMEOUT_MS, z_path

SETUP_STEPS = "base-2: as %s; wineboot -i; Managed=N; CursorBlinkRate=-1; Version=win95; fonts"
WINE_USER = os.environ.get("REDIRECTOR_WINE_USER", "redirwine")
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
        account = self.wine_account()
        work = Path(work)
        view = self.view  # the run's folder as Wine sees it, in the run's namespace
        prefix = work / "prefix"
        copy_prefix(self.base, prefix)
        drive = prefix / "drive_c"
        prepare_drive(scenario, drive, {"second": self.programs["second"],
                                            "second_name": "second.exe",
                                            "qblred.sys": self.programs["qblred.sys"],
                                            "qblred-sticky.sys": self.programs["qblred-sticky.sys"]})
        shutil.copy2(self.programs["install"], host_path(drive, "C:\\setup\\install.exe"))
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
                 "full": [str(host_path(drive, path).relative_to(drive))
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
            ["unshare", "--mount", "--", "sh", str(self.root / "wine/nodev.sh"),
             sys.executable, wine_session.__file__, "--session", str(work / "session.json")],
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


