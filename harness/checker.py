"""The checker: what a run left (an Outcome) against what its scenario
expects."""
import json
import stat

from harness import regfile
from harness.scenario import show_value


def show(text):
    return json.dumps(text)


def check(scenario, outcome):
    """Returns a list of failure texts (empty when every expectation holds)."""
    problems = []
    shown = [e for e in outcome.events if e.get("ev") in ("box", "dialog")]
    for e in outcome.events:
        if e.get("ev") in ("unanswered", "timeout", "error"):
            problems.append("runner: %s %s" % (e.get("ev"), show(e.get("text", e.get("why", "")))))
    exits = [e for e in outcome.events if e.get("ev") == "exit"]
    if not exits:
        problems.append("the program did not end (no exit event)")
    elif exits[-1].get("code") != 0:
        problems.append("exit code %s, not 0" % exits[-1].get("code"))

    wanted = [(k, d, n) for k, d, n in scenario.expect if k in ("box", "dialog")]
    for i, (kind, data, number) in enumerate(wanted):
        if i >= len(shown):
            problems.append("line %d: expected %s %s %s, but no more boxes were shown"
                            % (number, kind, show(data["caption"]), show(data.get("text"))))
            break
        got = shown[i]
        if got.get("ev") != kind or got.get("caption") != data["caption"] or \
                (data.get("text") is not None and got.get("text") != data["text"]):
            problems.append("line %d: expected %s %s %s, got %s %s %s"
                            % (number, kind, show(data["caption"]), show(data.get("text")),
                               got.get("ev"), show(got.get("caption")), show(got.get("text"))))
            break
        if kind == "box" and data.get("buttons") and got.get("buttons") != data["buttons"]:
            problems.append("line %d: buttons %s, expected %s" % (number, got.get("buttons"),
                                                                  data["buttons"]))
    if len(shown) > len(wanted) and not any("boxes were shown" in p for p in problems):
        extra = shown[len(wanted)]
        problems.append("an unexpected %s %s %s" % (extra.get("ev"), show(extra.get("caption")),
                                                    show(extra.get("text"))))

    helps = [e for e in outcome.events if e.get("ev") == "help"]
    wanted_help = [(d, n) for k, d, n in scenario.expect if k == "help"]
    got_help = [(h.get("file"), h.get("command"), h.get("data")) for h in helps]
    exp_help = [(d["file"], d["command"], d["data"]) for d, _ in wanted_help]
    if got_help != exp_help:
        problems.append("help calls %s, expected %s" % (got_help, exp_help))

    debug = "".join(e.get("text", "") for e in outcome.events if e.get("ev") == "debug")
    posted = [(e.get("class"), e.get("msg")) for e in outcome.events if e.get("ev") == "posted"]
    reg = outcome.registry

    for kind, data, number in scenario.expect:
        where = "line %d: " % number
        if kind == "reg":
            values = reg.get(data["key"].lower())
            if values is None:
                problems.append(where + "key %s missing" % data["key"])
                continue
            got = values["values"].get(data["value"].lower())
            if got is None:
                problems.append(where + "value %s\\%s missing" % (data["key"], data["value"]))
            elif got != data["data"]:
                problems.append(where + "%s\\%s is %s, expected %s" % (
                    data["key"], data["value"], regfile.show_data(got),
                    regfile.show_data(data["data"])))
        elif kind == "noreg":
            values = reg.get(data["key"].lower())
            if values is not None and data["value"].lower() in values["values"]:
                problems.append(where + "value %s\\%s exists" % (data["key"], data["value"]))
        elif kind == "key":
            if data["key"].lower() not in reg:
                problems.append(where + "key %s missing" % data["key"])
        elif kind == "nokey":
            if data["key"].lower() in reg:
                problems.append(where + "key %s exists" % data["key"])
        elif kind == "subkeys":
            prefix = data["key"].lower() + "\\"
            names = sorted({k[len(prefix):].split("\\")[0] for k in reg if k.startswith(prefix)})
            if names != sorted(n.lower() for n in data["names"]):
                problems.append(where + "subkeys of %s are %s, expected %s"
                                % (data["key"], names, data["names"]))
        elif kind in ("samefile", "filetext"):
            f = outcome.file(data["path"])
            if f is None or not f.is_file():
                problems.append(where + "file %s missing" % data["path"])
            elif f.read_bytes() != data["bytes"]:
                problems.append(where + "file %s holds %s, expected %s" % (
                    data["path"], show(f.read_bytes().decode("latin-1")[:300]),
                    show(data["bytes"].decode("latin-1")[:300])))
        elif kind == "nofile":
            f = outcome.file(data["path"])
            if f is not None and f.exists():
                problems.append(where + "file %s exists" % data["path"])
        elif kind == "writable":
            f = outcome.file(data["path"])
            if f is None or not f.is_file():
                problems.append(where + "file %s missing" % data["path"])
            elif not f.stat().st_mode & stat.S_IWUSR:
                problems.append(where + "file %s is read-only (mode %03o)"
                                % (data["path"], stat.S_IMODE(f.stat().st_mode)))
        elif kind == "debug":
            if data["text"] not in debug:
                problems.append(where + "debugger output %s lacks %s" % (show(debug), show(data["text"])))
        elif kind == "nodebug":
            if data["text"] in debug:
                problems.append(where + "debugger output holds %s" % show(data["text"]))
        elif kind == "posted":
            if (data["class"], data["msg"]) not in posted:
                problems.append(where + "no message %d posted to %s (posted: %s)"
                                % (data["msg"], data["class"], posted))
        elif kind == "gap":
            a, b = outcome.stamp(data["from"]), outcome.stamp(data["to"])
            if a is None or b is None:
                problems.append(where + "stamp %s or %s missing" % (data["from"], data["to"]))
            elif not data["min"] <= b - a <= data["max"]:
                problems.append(where + "%s to %s took %d ms, expected %d to %d"
                                % (data["from"], data["to"], b - a, data["min"], data["max"]))
        elif kind == "runtime":
            ms = exits[-1].get("ms") if exits else None
            if ms is None or not data["min"] <= ms <= data["max"]:
                problems.append(where + "ran %s ms, expected %d to %d" % (ms, data["min"], data["max"]))
        elif kind == "service":
            state = outcome.services.get(data["name"].lower(), "absent")
            if state != data["state"]:
                problems.append(where + "service %s is %s, expected %s"
                                % (data["name"], state, data["state"]))
        elif kind == "asked":
            problems += check_asked(outcome, data, where)
        elif kind == "window":
            problems += check_window(outcome, data, where)
    return problems


def check_asked(outcome, data, where):
    """Every call of the API whose subject holds the match was given these values."""
    if outcome.calls is None:
        return [where + "this runner does not record what the calls were asked (write 'on host:')"]
    calls = [c for c in outcome.calls if c.get("api", "").lower() == data["api"].lower()
             and (data["match"] == "*" or data["match"].lower() in c.get("subject", "").lower())
             and all(c.get(k) == v for k, v in data["when"].items())]
    if not calls:
        return [where + "no call of %s on %s" % (data["api"], show(data["match"]))]
    for c in calls:
        for name, want in data["values"].items():
            got = c.get(name)
            if got != want:
                return [where + "%s on %s was given %s=%s, expected %s" % (
                    data["api"], show(c.get("subject")), name,
                    "nothing" if got is None else show_value(got), show_value(want))]
    return []


def check_window(outcome, data, where):
    """The program's top-level window of that class, as the runner read it."""
    windows = [e for e in outcome.events if e.get("ev") == "window" and
               e.get("class", "").lower() == data["class"].lower()]
    if not windows:
        return [where + "no window of class %s was seen" % show(data["class"])]
    w = windows[-1]
    for name, want in data["values"].items():
        if name not in w:
            return [where + "this runner does not read the window's %s" % name]
        if w[name] != want:
            return [where + "window %s has %s=%s, expected %s" % (
                data["class"], name, show_value(w[name]), show_value(want))]
    return []
