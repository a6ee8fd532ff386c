"""A site preview: every machine of a folder previewed with one install
script, in parallel, into one table (and a CSV file for a spreadsheet).

A machine is a .reg file of the folder, or a sub-folder of .reg files (one
machine exported in several parts).  One line is printed a machine as it
finishes, then the table.  The exit status has bit 1 set when a machine
would show an error box and bit 2 when a machine could not be previewed
(its row says why); 0 means every machine would install cleanly.
"""
import concurrent.futures
import csv
import shutil
import tempfile
import threading
from pathlib import Path

from preview import machine

ERROR_BOX = 1
NOT_PREVIEWED = 2


def site_machines(folder):
    """(name, path) of each machine in folder, by name."""
    folder = Path(folder)
    if not folder.is_dir():
        raise SystemExit("site: %s is not a folder" % folder)
    found = []
    for p in sorted(folder.iterdir(), key=lambda p: p.name.lower()):
        if p.is_dir() and not p.name.startswith("."):
            found.append((p.name, p))
        elif p.is_file() and p.suffix.lower() == ".reg":
            found.append((p.stem, p))
    return found


def status_of(rows):
    status = 0
    for r in rows:
        if r.problem:
            status |= NOT_PREVIEWED
        elif r.error_boxes():
            status |= ERROR_BOX
    return status


def progress_line(done, total, row):
    if row.problem:
        what = "not previewed: " + row.problem
    else:
        boxes = row.error_boxes()
        what = "%s, %s" % (row.would_get(), "%d error box%s" % (len(boxes), "es" if len(boxes) > 1 else "")
                           if boxes else "no error box")
    return "done %d of %d: %s (%s) %s [%.1f s]" % (done, total, row.machine, row.platform, what,
                                                   row.seconds)


def markdown_table(rows):
    """The rows as a Markdown table whose columns line up in a terminal too."""
    table = [machine.Row.COLUMNS] + [[c.replace("|", "\\|") for c in r.cells()] for r in rows]
    widths = [max(len(line[i]) for line in table) for i in range(len(table[0]))]
    def line(cells):
        return "| " + " | ".join(c.ljust(w) for c, w in zip(cells, widths)) + " |"
    return "\n".join([line(table[0]), "|" + "|".join("-" * (w + 2) for w in widths) + "|"] +
                     [line(c) for c in table[1:]])


def write_csv(rows, path):
    with open(path, "w", newline="", encoding="utf-8") as f:
        w = csv.writer(f)
        w.writerow(machine.Row.CSV_COLUMNS)
        for r in rows:
            w.writerow(r.csv_cells())


def preview_site(runner, folder, script_text, jobs, version=None, coms=None, out=print,
                 keep=None):
    """Previews every machine of folder on runner with jobs in parallel;
    returns the rows in the folder's order.  keep: a folder that keeps each
    machine's run (else they are removed)."""
    machines = site_machines(folder)
    total = len(machines)
    lock = threading.Lock()
    done = [0]
    scratch = Path(keep) if keep else Path(tempfile.mkdtemp(prefix="site-"))
    scratch.mkdir(parents=True, exist_ok=True)

    def one(name, path):
        work = scratch / name
        shutil.rmtree(work, ignore_errors=True)
        work.mkdir(parents=True)
        row = machine.preview_machine(runner, name, [path], script_text, work, version, coms)
        if not keep:
            shutil.rmtree(work, ignore_errors=True)
        with lock:
            done[0] += 1
            out(progress_line(done[0], total, row))
        return row

    try:
        with concurrent.futures.ThreadPoolExecutor(max_workers=max(1, jobs)) as pool:
            rows = list(pool.map(lambda m: one(*m), machines))
    finally:
        if not keep:
            shutil.rmtree(scratch, ignore_errors=True)
    return rows
