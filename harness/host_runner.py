"""The host runner: plays one scenario with scenario-host, the program
built natively over the stand-in."""
import json
import subprocess

from harness.scenario import ROOT, prepare_drive

HOST_RUNNER = ROOT / "build/host/hostrun/scenario-host"
HOST_SECOND = ROOT / "build/host/testprogs/second"


class HostRunner:
    name = "host"

    def __init__(self, shuffle=None):
        self.shuffle = shuffle  # a seed: subkeys enumerated in an order drawn from it

    def available(self):
        missing = [str(p) for p in (HOST_RUNNER, HOST_SECOND) if not p.exists()]
        return (not missing, "missing %s (build the host preset)" % ", ".join(missing))

    def describe(self):
        return "native stand-in (%s)" % HOST_RUNNER.relative_to(ROOT)

    def run(self, scenario, work):
        drive = work / "drive_c"
        prepare_drive(scenario, drive, {"second": HOST_SECOND, "second_name": "second.exe",
                                        "qblred.sys": ROOT / "testprogs/qblred_sys.c",
                                        "qblred-sticky.sys": ROOT / "testprogs/qblred_sys.c"})
        cmd = self.command(scenario, work)
        try:
            proc = subprocess.run(cmd, capture_output=True, timeout=120)
        except subprocess.TimeoutExpired:
            with open(work / "events.jsonl", "a") as f:
                f.write(json.dumps({"ev": "timeout"}) + "\n")
            return
        (work / "runner.log").write_bytes(proc.stdout + proc.stderr)
        if proc.returncode != 0:
            with open(work / "events.jsonl", "a") as f:
                f.write(json.dumps({"ev": "error", "why": "scenario-host exit %d: %s" % (
                    proc.returncode, proc.stderr.decode(errors="replace")[-500:])}) + "\n")

    def command(self, scenario, work):
        """scenario-host's command line for one run (docs/scenarios.md)."""
        drive = work / "drive_c"
        cmd = [str(HOST_RUNNER), "--root", str(drive), "--out", str(work),
               "--version", scenario.version, "--cwd", scenario.cwd]
        if self.shuffle is not None and scenario.order != "creation":
            cmd += ["--shuffle", str(self.shuffle)]
        for r in scenario.regs:
            cmd += ["--reg", str(r)]
        for c in scenario.coms:
            cmd += ["--com", c]
        if scenario.all_com:
            cmd.append("--all-com")
        for name, value in scenario.env:
            cmd += ["--unset", name] if value is None else ["--env", "%s=%s" % (name, value)]
        for f in scenario.faults:
            cmd += ["--fault", f]
        for s in scenario.ignore_stop:
            cmd += ["--service-ignores-stop", s]
        for s in scenario.running:
            cmd += ["--service-running", s]
        for s in scenario.deleted:
            cmd += ["--service-deleted", s]
        if scenario.comdb:
            cmd += ["--comdb", scenario.comdb]
        if scenario.user:
            cmd += ["--user", scenario.user]
        for folder in scenario.full:
            cmd += ["--full", folder]
        if "red32" in scenario.programs:
            cmd += ["--window", "red32"]
        if scenario.answers:
            (work / "answers.txt").write_text("\n".join(scenario.answers) + "\n", encoding="latin-1")
            cmd += ["--answers", str(work / "answers.txt")]
        if scenario.args is not None:
            cmd += ["--args", scenario.args]
        return cmd
