"""Tests of screenshots.py's parts that need no Wine: the crop, the check of
a saved picture, the captions from recorded events and the README rewrite."""
import subprocess
import tempfile
import unittest
from pathlib import Path

from harness import screenshots as s

EVENTS = [
    {"ev": "debug", "text": "x"},
    {"ev": "box", "caption": "Install", "text": "Continue?", "buttons": ["OK", "Cancel"]},
    {"ev": "dialog", "caption": "Destination Path", "text": "C:\\Program Files\\Q\\"},
    {"ev": "box", "caption": "Info", "text": "Done.\nRestart\n", "buttons": ["OK"]},
    {"ev": "help", "file": "redir.hlp", "command": 1, "data": 1037},
    {"ev": "exit", "code": 0, "ms": 5},
]


class Scenario:
    version = "win95"


class CropAndPictures(unittest.TestCase):
    def test_crop_adds_the_margin_and_refuses_windows_off_the_screen(self):
        self.assertEqual(s.crop_box((100, 50, 300, 150), (1024, 768), 4), (208, 108, 96, 46))
        for rect in [(2, 50, 300, 150), (100, 50, 1022, 150), (100, 50, 300, 766),
                     (100, 50, 100, 150)]:
            with self.assertRaises(s.ShotError, msg=rect):
                s.crop_box(rect, (1024, 768), 4)

    def picture(self, folder, drawing, size="30x20"):
        path = Path(folder) / "p.png"
        subprocess.run(["convert", "-size", size] + drawing + [str(path)], check=True)
        return path

    def test_a_picture_must_have_the_window_size_and_more_than_a_few_colours(self):
        with tempfile.TemporaryDirectory() as d:
            self.assertEqual(s.verify_picture(Path(d) / "none.png", (30, 20)),
                             ["%s was not written" % (Path(d) / "none.png")])
            busy = self.picture(d, ["gradient:red-blue"])
            self.assertEqual(s.verify_picture(busy, (30, 20)), [])
            self.assertIn("is 30x20", s.verify_picture(busy, (31, 20))[0])
            blank = self.picture(d, ["xc:#c0c0c0"])
            self.assertIn("only 1 colours", s.verify_picture(blank, (30, 20))[0])


class Readme(unittest.TestCase):
    def test_captions_come_from_the_recorded_windows_and_help_call(self):
        section = s.readme_section(Scenario(), EVENTS)
        self.assertIn("fresh Windows 95 machine", section)
        self.assertIn("**1.** The box “Install”: “Continue?” (OK, Cancel).", section)
        self.assertIn("default path `C:\\Program Files\\Q\\`", section)
        self.assertIn("file `redir.hlp`, HELP_CONTEXT (1), context 1037.", section)
        self.assertEqual([ln for ln in section.splitlines() if ln.startswith("![")],
                         ["![Install](docs/screenshots/1-confirm.png)",
                          "![Destination Path](docs/screenshots/2-destination.png)",
                          "![Info](docs/screenshots/3-info.png)"])

    def test_a_run_with_other_windows_or_help_calls_makes_no_section(self):
        swapped = [EVENTS[0], EVENTS[2], EVENTS[1]] + EVENTS[3:]
        no_help = [e for e in EVENTS if e["ev"] != "help"]
        twice = EVENTS + [EVENTS[4]]
        for events in (swapped, no_help, twice, EVENTS[:3] + EVENTS[4:]):
            with self.assertRaises(s.ShotError):
                s.readme_section(Scenario(), events)

    def test_the_section_goes_before_the_commands_and_replaces_only_itself(self):
        readme = "# T\n\nintro\n\n## The two commands\n\nrun\n\n## Layout\n\nx\n"
        first = s.replace_section(readme, "## Screenshots\n\nA\n\n")
        self.assertEqual(first, "# T\n\nintro\n\n## Screenshots\n\nA\n\n"
                                "## The two commands\n\nrun\n\n## Layout\n\nx\n")
        second = s.replace_section(first, "## Screenshots\n\nB\n\n")
        self.assertEqual(second, first.replace("\nA\n", "\nB\n"))
        self.assertEqual(s.replace_section(second, "## Screenshots\n\nB\n\n"), second)
        with self.assertRaises(s.ShotError):
            s.replace_section("# T\n\n## Layout\n", "## Screenshots\n\n")


if __name__ == "__main__":
    unittest.main()
