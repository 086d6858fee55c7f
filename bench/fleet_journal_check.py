"""Checks a rollout's journal against every box's own files, as the fleet
benchmark leaves them (tests/fleet/fleet_lib.sh): version.info, status.info
and update.log ("start TIME VERSION" for every script run). Prints the
tally, the span of each wave and the time from each box's /update to its
verdict; exits 1 when the journal and a box disagree.

  fleet_journal_check.py JOURNAL FLEET_DIR"""

import json
import os
import statistics
import sys
from datetime import datetime

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "fleet"))

from skein_fleet import journal  # noqa: E402


def seconds(stamp):
    return datetime.fromisoformat(stamp.replace("Z", "+00:00")).timestamp()


def box_files(directory):
    def first_line(name):
        try:
            with open(os.path.join(directory, "installation_details", name)) as source:
                return source.readline().strip()
        except OSError:
            return None
    try:
        with open(os.path.join(directory, "update.log")) as log:
            runs = [line.split() for line in log if line.startswith("start ")]
    except OSError:
        runs = []
    return first_line("version.info"), first_line("status.info"), runs


def agrees(state, version, files, since):
    """'agrees', 'unknown' (the journal says it cannot tell) or why not."""
    current, status, runs = files
    ran = [run[2] for run in runs if float(run[1]) >= since]
    if state.outcome == "updated":
        ok = current == version and status == "Update complete" and ran.count(version) == 1
    elif state.outcome == "rolled back":
        ok = current == state.before and status == "Update complete" and ran == [version, state.before]
    elif "may have taken" in state.detail:
        return "unknown"
    elif state.outcome == "failed" and state.detail.startswith("not updated"):
        ok = version not in ran
    elif state.outcome in ("skipped", "untouched"):
        ok = version not in ran
    else:
        ok = bool(ran) and ran[0] == version
    return "agrees" if ok else "disagrees: journal %s (%s), box %s, %s, ran %s" % (
        state.outcome, state.detail, current, status, ran)


def main(path, fleet):
    records = journal.read(path)
    run, states = journal.replay(records)
    version, since = run["version"], seconds(records[0]["time"])
    tally, sent, verdicts, waves = {}, {}, {}, {}
    for record in records:
        if record["event"] == "sending" and record["request"].startswith("/update"):
            sent[record["box"]] = seconds(record["time"])
        if record["event"] == "verdict":
            verdicts[record["box"]] = seconds(record["time"])
        if record["event"] in ("sending", "verdict") and record["box"] in states:
            span = waves.setdefault(states[record["box"]].wave, [seconds(record["time"])] * 2)
            span[0], span[1] = min(span[0], seconds(record["time"])), max(span[1], seconds(record["time"]))
    bad = 0
    for name, state in states.items():
        files = box_files(os.path.join(fleet, name))
        verdict = agrees(state, version, files, since)
        if verdict.startswith("disagrees"):
            bad += 1
            print("%s %s" % (name, verdict))
        tally[verdict.split(":")[0]] = tally.get(verdict.split(":")[0], 0) + 1
        if version in [run[2] for run in files[2] if float(run[1]) >= since] and name not in sent:
            bad += 1
            print("%s ran %s with no /update in the journal" % (name, version))
    print("journal vs boxes (%d): %s" % (len(states), json.dumps(tally)))
    print("waves (first /update to last verdict): %s" % ", ".join(
        "%s: %.1f s" % (number, span[1] - span[0]) for number, span in sorted(waves.items(), key=str)))
    for label, names in (("every box", list(sent)), ("updated boxes", [
            name for name in sent if states[name].outcome == "updated"])):
        latency = sorted(verdicts[name] - sent[name] for name in names if name in verdicts)
        if latency:
            print("verdict after /update, %s: median %.1f s, max %.1f s" % (
                label, statistics.median(latency), latency[-1]))
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:3]))
