"""One Wine run's session, started by the Wine runner as root inside the
run's private mount namespace: the run's folder is seen at the view and a
folder on a full drive is mounted; then, with Wine run as the unprivileged
user, the machine's keys are imported, driver.exe plays the plan, the
checked keys are exported and services are started as NT would.

    python3 harness/wine_session.py --session SETUP.json

It imports nothing of the harness: it runs alone, as the runner started it.
"""
import errno
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

# A folder on a full drive: a file system this small (and as large again as
# the files the scenario put in the folder), filled to its last byte; inodes
# are left, so a file can still be created there.
FULL_FS_BYTES = 65536
FULL_FS_OPTIONS = "size=%d,nr_inodes=1024,mode=0755"
RUN_TIMEOUT_MS = 60000


def z_path(path):
    """A Linux path as Wine's Z: drive shows it."""
    return "Z:" + str(Path(path).resolve()).replace("/", "\\")


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

    phases = {}

    def timed(name, started):
        phases[name] = phases.get(name, 0.0) + time.time() - started

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

    def save_and_stop_server(proc):
        """Ends the wineserver as `wineserver -k` does, which saves the
        registry to the prefix's files first."""
        subprocess.run([server, "-k"], stdin=subprocess.DEVNULL, timeout=30, **creds)
        try:
            proc.wait(30)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
        end_wine_processes()

    def stop_server(proc):
        """Ends the wineserver and every Wine process of the run at once.
        Nothing of the prefix is read after it (the keys were exported),
        so the server is not asked to save its registry: `wineserver -k`
        would wait for that and for each process's end by turns, most of
        a second."""
        proc.kill()
        proc.wait()
        end_wine_processes()

    t0 = time.time()
    wineserver = start_server()
    timed("server start", t0)
    try:
        started = time.time()
        if not import_all():
            return 3
        if any(imports_service(Path(r).read_bytes()) for r in setup["regs"]):
            # The service manager reads its services once, when it starts: let
            # it start again over the imported keys.  HKEY_DYN_DATA does not
            # survive the restart, so everything is imported once more.
            save_and_stop_server(wineserver)
            wineserver = start_server()
            if not import_all():
                return 3
        timed("import", started)
        started = time.time()
        driver = [setup["driver"], z_path(view / "plan.txt"), z_path(view / "events.jsonl")]
        r = wine(*driver, timeout=RUN_TIMEOUT_MS // 1000 + 30)
        if r.returncode != 0:
            print("session: driver failed with %d" % r.returncode, flush=True)
            return 4
        timed("program", started)
        merge_exports([work / "export.reg"], work / "registry.reg")
        if setup.get("nt_start"):
            record_nt_start(work, (work / "ntstart.txt").read_text(encoding="latin-1").splitlines())
    finally:
        started = time.time()
        stop_server(wineserver)
        timed("server stop", started)
        for folder in setup["full"]:
            copy_back(view / "prefix/drive_c" / folder, work / "prefix/drive_c" / folder)
        (work / "phases.json").write_text(json.dumps(phases))
    print("[%.2fs] session done" % (time.time() - t0), flush=True)
    return 0


def namespace_processes():
    """The run's Wine processes: every process in this session's mount
    namespace but the session itself and the processes that started it.
    Wine's system processes (services, winedevice, explorer, ...) start
    sessions of their own, so the process group would miss them."""
    own_ns = os.readlink("/proc/self/ns/mnt")
    own, pid = set(), os.getpid()
    while pid > 1:
        own.add(pid)
        try:
            pid = int(Path("/proc/%d/stat" % pid).read_text().rpartition(")")[2].split()[1])
        except (OSError, ValueError, IndexError):
            break
    found = []
    for entry in os.listdir("/proc"):
        if entry.isdigit() and int(entry) not in own and in_namespace(entry, own_ns):
            found.append(int(entry))
    return found


def in_namespace(pid, ns):
    """Whether the process pid is in the mount namespace ns.  A Wine
    process's first thread may have ended while its others run on (its
    /proc/PID/ns is then unreadable): a living thread tells."""
    for path in ["/proc/%s/ns/mnt" % pid] + ["/proc/%s/task/%s/ns/mnt" % (pid, t)
                                            for t in tasks(pid)]:
        try:
            return os.readlink(path) == ns
        except OSError:
            continue
    return False


def tasks(pid):
    try:
        return os.listdir("/proc/%s/task" % pid)
    except OSError:
        return []


def end_wine_processes(timeout=5.0):
    """Kills the run's Wine processes, which do not all end by themselves
    when their server is gone, and waits until they have."""
    deadline = time.time() + timeout
    while True:
        left = namespace_processes()
        if not left or time.time() > deadline:
            return
        for pid in left:
            try:
                os.kill(pid, 9)
            except OSError:
                pass
        time.sleep(0.01)


def record_nt_start(work, lines):
    """The driver's starts of services as NT would ("NAME | IMAGE | STATE"
    lines): each service's state in services.txt becomes the one after the
    start, and nt-start.txt gets "NAME | BEFORE | IMAGE | STATE"."""
    services = work / "services.txt"
    states = services.read_text().splitlines() if services.exists() else []
    for line in lines:
        name, _, rest = line.partition(" | ")
        image, _, state = rest.rpartition(" | ")
        print("session: %s started as NT would: %s" % (name, state), flush=True)
        before = [s.partition(" ")[2] for s in states if s.split(" ")[0].lower() == name.lower()]
        states = [s for s in states if s.split(" ")[0].lower() != name.lower()] + \
            ["%s %s" % (name, state)]
        with open(work / "nt-start.txt", "a") as f:
            f.write("%s | %s | %s | %s\n" % (name, before[0] if before else "unknown", image, state))
    services.write_text("\n".join(states) + "\n")


if __name__ == "__main__":
    if len(sys.argv) == 3 and sys.argv[1] == "--session":
        sys.exit(session(sys.argv[2]))
    print("usage: wine_session.py --session SETUP (started by the Wine runner)", file=sys.stderr)
    sys.exit(2)
