"""What one machine's run showed and did, printed for a person: its boxes,
the response file, the driver, the installer's command line, the service,
the registry's changes, and the summary the site table gives it."""
from harness import regfile, versions
from preview import machine

FILES = ["C:\\windows\\qblred.iss", "C:\\windows\\system32\\drivers\\qblred.sys"]
# What only Wine's service manager writes into a service's key
# (docs/scenarios.md, "What Wine does differently").
WINE_ONLY_VALUES = {
    "objectname": "Wine's service manager writes it; Windows writes none for a driver",
    "preshutdowntimeout": "Wine's service manager writes it; Windows does not",
    "wow64": "Wine marks a service a 32-bit program created in a 64-bit prefix; Windows does not",
}
WINE_IMAGE_PATH = "Wine's service manager stores it as REG_SZ; Windows as REG_EXPAND_SZ"


def subtree(registry, key):
    low = key.lower()
    return {k: v for k, v in registry.items() if k == low or k.startswith(low + "\\")}


def show_value(name, value, entry=None):
    if entry is not None:
        name = entry.get("names", {}).get(name, name)
    return '  "%s" = %s' % (name, regfile.show_data(value))


def wine_mark(key, name, value):
    """Why a value the Wine runner's service key holds is Wine's, or None."""
    if key != machine.SERVICE.lower():
        return None
    if name == "imagepath" and value[0] == regfile.REG_SZ:
        return WINE_IMAGE_PATH
    return WINE_ONLY_VALUES.get(name)


def print_diff(before, after, version, runner_name=None):
    """The changes under the keys an installation writes; with the Wine
    runner, the values only Wine writes are marked as Wine's."""
    changes = 0

    def added(k, v, entry):
        line = "+" + show_value(v, entry["values"][v], entry)[1:]
        why = wine_mark(k, v, entry["values"][v]) if runner_name == "wine" else None
        return line + ("   (Wine only: %s)" % why if why else "")

    for key in machine.keys_for(version):
        old, new = subtree(before, key), subtree(after, key)
        for k in sorted(set(old) | set(new)):
            name = (new.get(k) or old.get(k))["name"]
            if k not in old:
                print("+ [%s]" % name)
                for v in sorted(new[k]["values"]):
                    print(added(k, v, new[k]))
                changes += 1
                continue
            if k not in new:
                print("- [%s]" % name)
                changes += 1
                continue
            ov, nv = old[k]["values"], new[k]["values"]
            lines = []
            for v in sorted(set(ov) | set(nv)):
                if v not in ov:
                    lines.append(added(k, v, new[k]))
                elif v not in nv:
                    lines.append("-" + show_value(v, ov[v], old[k])[1:])
                elif ov[v] != nv[v]:
                    lines.append("-" + show_value(v, ov[v], old[k])[1:])
                    lines.append(added(k, v, new[k]))
            if lines:
                print("  [%s]" % name)
                print("\n".join(lines))
                changes += 1
    if not changes:
        print("  (no registry changes)")


def print_run(outcome, version):
    boxes = [e for e in outcome.events if e.get("ev") in ("box", "unanswered")]
    for e in boxes:
        if e.get("ev") == "box":
            print('box "%s": %s' % (e.get("caption"), e.get("text")))
    if not boxes:
        print("no message boxes (a silent installation that went well)")
    for e in outcome.events:
        if e.get("ev") == "debug":
            print("debugger output: %r" % e.get("text"))
    print()
    for f in FILES:
        host = outcome.file(f)
        if host is None or not host.is_file():
            continue
        data = host.read_bytes()
        if f.endswith(".iss"):
            print("--- %s (%d bytes, %d lines, CR LF line ends)" % (f, len(data), data.count(b"\r\n")))
            print(data.decode("latin-1").replace("\r\n", "\n"), end="")
            print("---")
        else:
            print("--- %s: the driver file, %d bytes" % (f, len(data)))
    cmd = outcome.file("C:\\testlog\\second-cmdline.txt")
    if cmd is not None and cmd.is_file():
        print("the application installer was started with: %s" % cmd.read_text(errors="replace"))
    else:
        print("the application installer was not started")
    if versions.is_nt(version):
        started = outcome.folder / "nt-start.txt"
        if started.exists():
            for line in started.read_text().splitlines():
                name, before, image, after = (p.strip() for p in line.split("|"))
                print("service %s after the installation: %s" % (name, before))
                if before != "running":
                    print("  (Wine 8.0 loads only drivers given by a full path; Windows NT takes\n"
                          "   the service's relative path from the system root.)")
                print("service %s started as NT finds its driver (%s): %s" % (name, image, after))
        else:
            print("service Qblred: %s" % outcome.services.get("qblred", "absent"))
    print()


def print_summary(row, command="demo"):
    if row.problem:
        print("%s: %s cannot be previewed: %s" % (command, row.machine, row.problem))
        return
    print("What it would get: %s" % row.would_get())
    if row.class_entry or row.device_entry:
        print("  class entry %s, device entry %s" % (row.class_entry or "none", row.device_entry or "none"))
    print("Ends cleanly: %s" % row.ends_text())
    for note in row.notes + row.runner_notes:
        print("Note: %s" % note)
