"""The Windows versions a scenario (version:) or a preview (--version) can
name, and what each one is: the runners make a machine of that version, the
preview names it in its table.

install.exe decides by the platform id alone: every Windows of the 9x
family runs its Windows 95 sequence, every NT its NT sequence.  A version
ending in "-64" is a 64-bit edition, where the 32-bit program runs under
WOW64.
"""
from collections import namedtuple

Version = namedtuple("Version", "name title family wine bits")

# name, as Windows names it, family, Wine's Version setting, bits
VERSIONS = [Version(*v) for v in (
    ("win95", "Windows 95", "9x", "win95", 32),
    ("win98", "Windows 98", "9x", "win98", 32),
    ("winme", "Windows ME", "9x", "winme", 32),
    ("nt351", "Windows NT 3.51", "nt", "nt351", 32),
    ("nt40", "Windows NT 4.0", "nt", "nt40", 32),
    ("win2k", "Windows 2000", "nt", "win2k", 32),
    ("winxp", "Windows XP", "nt", "winxp", 32),
    ("win2003", "Windows Server 2003", "nt", "win2003", 32),
    ("vista", "Windows Vista", "nt", "vista", 32),
    ("win7", "Windows 7", "nt", "win7", 32),
    ("win8", "Windows 8", "nt", "win8", 32),
    ("win81", "Windows 8.1", "nt", "win81", 32),
    ("win10", "Windows 10", "nt", "win10", 32),
    ("win2003-64", "Windows Server 2003 64-bit", "nt", "win2003", 64),
    ("vista-64", "Windows Vista 64-bit", "nt", "vista", 64),
    ("win7-64", "Windows 7 64-bit", "nt", "win7", 64),
    ("win8-64", "Windows 8 64-bit", "nt", "win8", 64),
    ("win81-64", "Windows 8.1 64-bit", "nt", "win81", 64),
    ("win10-64", "Windows 10 64-bit", "nt", "win10", 64),
    ("win31", "Win32s on Windows 3.1", "win32s", "win31", 32),
)]
BY_NAME = {v.name: v for v in VERSIONS}
NAMES = [v.name for v in VERSIONS]
# "fail": the version query itself fails (the stand-in only).
SCENARIO_NAMES = NAMES + ["fail"]


def get(name):
    """The version of that name; KeyError for a name no runner knows."""
    return BY_NAME[name]


def is_nt(name):
    return name in BY_NAME and BY_NAME[name].family == "nt"


def is_9x(name):
    return name in BY_NAME and BY_NAME[name].family == "9x"


def has_comdb(name):
    """Whether a machine of that version has the COM port database
    (msports.dll, from Windows 2000 on)."""
    return is_nt(name) and name not in ("nt351", "nt40")
