"""The runners by name."""
from harness import host_runner, wine_runner
from harness.scenario import ROOT


def make_runner(name, shuffle=None):
    """A runner has: name, available() -> (ok, why), describe(), run(scenario,
    work) which leaves the outcome (events.jsonl, registry.reg, services.txt,
    drive_c/) in the folder work, optionally close() and max_jobs.  Both lay
    out the drive and read a scenario with harness.scenario.  shuffle: the
    host runner's seed of the enumeration order (None: the version's own)."""
    if name == "host":
        return host_runner.HostRunner(shuffle)
    return wine_runner.WineRunner(ROOT)
