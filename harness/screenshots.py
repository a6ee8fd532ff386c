#!/usr/bin/env python3
"""Screenshots of a real interactive installation: install.exe in Wine under
its own Xvfb, on a fresh Windows 95 machine (the scenario
scenarios/shell/new-win95-default.scn), photographed box by box.

    python3 harness/screenshots.py [--out DIR] [--readme README.md | --check-readme README.md]

The Wine runner plays the scenario with the test driver in screenshot mode
(REDIRECTOR_SHOTS, see wine/driver.cpp): each box and the dialog wait, once
shown, until the screen has been captured (import) and cropped to the window
plus a small margin (ImageMagick).  The run must pass the scenario's checks.
Each picture is read back and must have the window's size and more than a
few colours.  --readme rewrites the "## Screenshots" section of the README
from what the run recorded (captions, the help request); --check-readme
fails when that section differs from it.  Default --out: docs/screenshots.
"""
import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent))

from harness import checker, wine_runner, wine_session  # noqa: E402
from harness import scenario as scn  # noqa: E402

ROOT = scn.ROOT

SCENARIO = ROOT / "scenarios/shell/new-win95-default.scn"
NAMES = ["1-confirm.png", "2-destination.png", "3-info.png"]
KINDS = [("box", "Install"), ("dialog", "Destination Path"), ("box", "Info")]
# MS Sans Serif (the boxes' and the dialog's font) and Marlett (the close
# box): without them Wine draws other fonts, cut texts and an "r" for the
# close box.
FONTS = ["sserife.fon", "marlett.ttf"]
MARGIN = 4
MIN_COLOURS = 4
SHOT_WAIT_S = 60
HELP_COMMANDS = {1: "HELP_CONTEXT", 2: "HELP_QUIT", 3: "HELP_INDEX", 8: "HELP_CONTEXTPOPUP",
                 0x101: "HELP_KEY", 0x105: "HELP_PARTIALKEY"}
VERSION_NAMES = {"win95": "Windows 95", "nt40": "Windows NT 4.0", "nt351": "Windows NT 3.51"}
SECTION = "## Screenshots"


class ShotError(Exception):
    pass


# ---- pictures ----

def crop_box(rect, screen, margin=MARGIN):
    """(width, height, x, y) of the window rectangle (left top right bottom)
    with the margin; a window that does not fit on the screen is an error."""
    left, top, right, bottom = rect
    if right <= left or bottom <= top:
        raise ShotError("empty window rectangle %s" % (rect,))
    x, y = left - margin, top - margin
    w, h = right - left + 2 * margin, bottom - top + 2 * margin
    if x < 0 or y < 0 or x + w > screen[0] or y + h > screen[1]:
        raise ShotError("window %s with its margin is not wholly on the %dx%d screen"
                        % (rect, screen[0], screen[1]))
    return w, h, x, y


def grab(display):
    """The whole screen as PPM data.  ImageMagick's import reads the
    screen's visual right; xwd's files of this 16-bit Xvfb come out in
    wrong colours (grey as green) with every reader tried."""
    r = subprocess.run(["import", "-silent", "-window", "root", "-display", display,
                        "-depth", "8", "ppm:-"], capture_output=True, timeout=20)
    if r.returncode != 0 or not r.stdout:
        raise ShotError("import failed: %s" % r.stderr.decode(errors="replace").strip())
    return r.stdout


def settled_screen(display, tries=20, pause=0.1):
    """The screen once two captures in a row are the same (the window has
    been painted)."""
    time.sleep(pause)
    last = grab(display)
    for _ in range(tries):
        time.sleep(pause)
        now = grab(display)
        if now == last:
            return now
        last = now
    raise ShotError("the screen kept changing for %.1f s" % (tries * pause))


def image_info(data_or_path):
    """(width, height, number of colours) of a picture file or of PPM data."""
    args = ["identify", "-format", "%w %h %k\n"]
    if isinstance(data_or_path, bytes):
        r = subprocess.run(args + ["ppm:-"], input=data_or_path, capture_output=True, timeout=30)
    else:
        r = subprocess.run(args + [str(data_or_path)], capture_output=True, timeout=30)
    if r.returncode != 0:
        raise ShotError("identify failed: %s" % r.stderr.decode(errors="replace").strip())
    w, h, k = r.stdout.decode().split()[:3]
    return int(w), int(h), int(k)


def save_crop(screen, box, target):
    w, h, x, y = box
    r = subprocess.run(["convert", "ppm:-", "-crop", "%dx%d+%d+%d" % (w, h, x, y), "+repage",
                        "-strip", "-define", "png:exclude-chunks=date,time", "png:" + str(target)],
                       input=screen, capture_output=True, timeout=30)
    if r.returncode != 0:
        raise ShotError("convert failed: %s" % r.stderr.decode(errors="replace").strip())


def verify_picture(path, size):
    """Problems of a saved picture: missing, not the window's size, blank."""
    if not Path(path).exists():
        return ["%s was not written" % path]
    w, h, colours = image_info(path)
    problems = []
    if (w, h) != tuple(size):
        problems.append("%s is %dx%d, the window with its margin is %dx%d"
                        % (Path(path).name, w, h, size[0], size[1]))
    if colours <= MIN_COLOURS:
        problems.append("%s has only %d colours: blank or unpainted" % (Path(path).name, colours))
    return problems


# ---- the run ----

def read_rect(path):
    nums = path.read_text().split()
    if len(nums) != 4:
        raise ShotError("%s does not hold a rectangle: %r" % (path, nums))
    return tuple(int(n) for n in nums)


def capture(out, keep=None):
    """Plays the scenario and photographs its windows into out; returns
    (the scenario, its outcome, [(picture, crop size)])."""
    runner = wine_runner.WineRunner(ROOT)
    ok, why = runner.available()
    if not ok:
        raise ShotError("the Wine runner cannot run: %s" % why)
    fonts = runner.base / "drive_c/windows/Fonts"
    missing = [f for f in FONTS if not (fonts / f).exists()]
    if missing:
        raise ShotError("the base prefix has no %s in %s (install fonts-wine, then remove "
                        "the cached prefix)" % (", ".join(missing), fonts))
    sc = scn.Scenario(SCENARIO, "wine")
    work = Path(tempfile.mkdtemp(prefix="shots-", dir=keep))
    shots = work / "shots"
    shots.mkdir()

    displays = []  # the run's own Xvfb, as the runner reports it
    failure = []

    def play():
        try:
            runner.run(sc, work, on_display=displays.append)
        except Exception as e:  # noqa: BLE001 - reported by the main thread
            failure.append(e)

    os.environ["REDIRECTOR_SHOTS"] = wine_session.z_path(shots)
    thread = threading.Thread(target=play, daemon=True)
    taken = []
    started = time.time()
    try:
        thread.start()
        for n, name in enumerate(NAMES, 1):
            report = shots / ("shot-%d.txt" % n)
            deadline = time.time() + SHOT_WAIT_S
            while not report.exists():
                if not thread.is_alive():
                    raise ShotError("the run ended before window %d showed (outcome %s)" % (n, work))
                if time.time() > deadline:
                    raise ShotError("window %d did not show within %d s" % (n, SHOT_WAIT_S))
                time.sleep(0.02)
            if not displays:
                raise ShotError("the runner started no Xvfb that this script saw")
            shown = time.time()
            screen = settled_screen(displays[-1])
            box = crop_box(read_rect(report), image_info(screen)[:2])
            save_crop(screen, box, out / name)
            taken.append((out / name, box[:2]))
            (shots / ("go-%d" % n)).write_text("")
            print("window %d: shown %.1f s after the start, captured in %.1f s"
                  % (n, shown - started, time.time() - shown), flush=True)
        thread.join(wine_runner.SESSION_TIMEOUT_S + 60)
        if thread.is_alive():
            raise ShotError("the run did not end")
    finally:
        del os.environ["REDIRECTOR_SHOTS"]
    if failure:
        raise ShotError("the runner failed: %s" % failure[0])
    outcome = scn.Outcome(work)
    problems = checker.check(sc, outcome)
    if (shots / ("shot-%d.txt" % (len(NAMES) + 1))).exists():
        problems.append("more windows showed than the %d photographed" % len(NAMES))
    if problems:
        raise ShotError("the run failed its scenario (outcome %s): %s" % (work, "; ".join(problems)))
    if keep is None:
        shutil.rmtree(work, ignore_errors=True)
    return sc, outcome, taken


# ---- the README section ----

def windows_of(events):
    return [e for e in events if e.get("ev") in ("box", "dialog")]


def md_code(text):
    return "`%s`" % text.replace("`", "'")


def caption(event, number):
    """One line about a box or the dialog, from its recorded event."""
    if event["ev"] == "dialog":
        return "**%d.** The dialog “%s” with its default path %s." % (
            number, event["caption"], md_code(event["text"]))
    first = event["text"].split("\n")[0].strip()
    return "**%d.** The box “%s”: “%s” (%s)." % (number, event["caption"], first,
                                          ", ".join(event["buttons"]))


def help_caption(help_event):
    command = help_event["command"]
    name = HELP_COMMANDS.get(command, "command")
    return ("After OK the program asks for help, as the test driver's `MS_WINHELP` window "
            "recorded it: file %s, %s (%d), context %d." % (
                md_code(help_event["file"]), name, command, help_event["data"]))


def readme_section(sc, events, pictures_dir="docs/screenshots"):
    """The README's Screenshots section (up to, not including, the next heading)."""
    shown = windows_of(events)
    helps = [e for e in events if e.get("ev") == "help"]
    got = [(e["ev"], e["caption"]) for e in shown]
    if got != KINDS:
        raise ShotError("the run showed %s, not %s" % (got, KINDS))
    if len(helps) != 1:
        raise ShotError("the run made %d help calls, not one" % len(helps))
    lines = [SECTION, "",
             "The real `install.exe` on a fresh %s machine, in Wine (its own" %
             VERSION_NAMES.get(sc.version, sc.version),
             "MS Sans Serif, its Light colours) under Xvfb, answered by our test driver.",
             "`python3 harness/screenshots.py --readme README.md` takes them again and rewrites",
             "this section from what the run recorded.", ""]
    for i, (event, name) in enumerate(zip(shown, NAMES), 1):
        lines.append("![%s](%s/%s)" % (event["caption"], pictures_dir, name))
        lines.append("")
        text = caption(event, i)
        if i == len(NAMES):
            text += " " + help_caption(helps[0])
        lines.append(text)
        lines.append("")
    return "\n".join(lines) + "\n"


def replace_section(readme, section, before="## The two commands"):
    """The README with its Screenshots section replaced, or inserted just
    before the heading `before` when it has none."""
    m = re.search(r"^%s[ \t]*\n" % re.escape(SECTION), readme, re.M)
    if m:
        nxt = re.search(r"^## ", readme[m.end():], re.M)
        end = m.end() + nxt.start() if nxt else len(readme)
        return readme[:m.start()] + section + readme[end:]
    at = re.search(r"^%s[ \t]*$" % re.escape(before), readme, re.M)
    if not at:
        raise ShotError("the README has no %r heading to put the section before" % before)
    return readme[:at.start()] + section + readme[at.start():]


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--out", default=str(ROOT / "docs/screenshots"))
    group = ap.add_mutually_exclusive_group()
    group.add_argument("--readme", help="rewrite the Screenshots section of this README")
    group.add_argument("--check-readme", help="fail when this README's section is out of date")
    ap.add_argument("--keep", help="keep the run's outcome in this folder")
    opts = ap.parse_args()
    out = Path(opts.out)
    out.mkdir(parents=True, exist_ok=True)
    started = time.time()
    try:
        sc, outcome, taken = capture(out, opts.keep)
        problems = [p for picture, size in taken for p in verify_picture(picture, size)]
        if problems:
            raise ShotError("; ".join(problems))
        section = readme_section(sc, outcome.events)
        for picture, size in taken:
            print("screenshot %s: %dx%d, %d colours" % ((picture,) + image_info(picture)))
        if opts.readme:
            path = Path(opts.readme)
            path.write_text(replace_section(path.read_text(encoding="utf-8"), section),
                            encoding="utf-8")
            print("screenshots: rewrote the section in %s" % path)
        if opts.check_readme:
            text = Path(opts.check_readme).read_text(encoding="utf-8")
            if replace_section(text, section) != text:
                raise ShotError("the %s section of %s is not what this run recorded "
                                "(run python3 harness/screenshots.py --readme %s)"
                                % (SECTION, opts.check_readme, opts.check_readme))
    except ShotError as e:
        print("screenshots: FAILED: %s" % e)
        return 1
    print("screenshots: %d taken in %.1f s" % (len(taken), time.time() - started))
    return 0


if __name__ == "__main__":
    sys.exit(main())
