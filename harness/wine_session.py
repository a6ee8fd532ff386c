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
        driver = [loader, setup["driver"], z_path(view / "plan.txt"), z_path(view / "events.jsonl")]
        if setup.get("deleted"):
            # The driver holds the deleted services' handles until the
            # release file exists: the registry is exported while the
            # service manager still has them marked for deletion.
            started = time.time()
            held = subprocess.Popen(driver, stdin=subprocess.DEVNULL, **creds)
            if not outcome_written(work / "events.jsonl", held, RUN_TIMEOUT_MS / 1000 + 30):
                held.kill()
            print("[%.2fs] driver ran, holding %s" % (time.time() - started,
                                                     " ".join(setup["deleted"])), flush=True)
        else:
            held = None
            r = wine(*driver[1:], timeout=RUN_TIMEOUT_MS // 1000 + 30)
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
        if held:
            (work / "release.txt").write_text("")
            try:
                held.wait(30)
            except subprocess.TimeoutExpired:
                held.kill()
                held.wait()
            if held.returncode != 0:
                print("session: driver failed with %d" % held.returncode, flush=True)
                return 4
    finally:
        stop_server(wineserver)
        for folder in setup["full"]:
            copy_back(view / "prefix/drive_c" / folder, work / "prefix/drive_c" / folder)
    print("[%.2fs] session done" % (time.time() - t0), flush=True)
    return 0


def outcome_written(events, proc, timeout):
    """Waits until the driver proc has written its outcome (the exit event
    ends it) or has ended; False when neither happened within timeout s."""
    deadline = time.time() + timeout
    while time.time() < deadline:
        if proc.poll() is not None:
            return True
        try:
            if '"ev":"exit"' in events.read_text(encoding="utf-8", errors="replace"):
                return True
        except OSError:
            pass
        time.sleep(0.05)
    return False


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
    print("usage: wine_session.py --session SETUP (started by the Wine runner)", file=sys.stderr)
    sys.exit(2)
