"""The end of a rollout in words and as JSON: what became of every box, as
the journal tells it (or, in check mode, as the plan does)."""

from skein_fleet.contained import MESSAGE, contain
from skein_fleet.state import FAILED, OUTCOMES, PLANNED, ROLLED_BACK, SKIPPED, UNTOUCHED

# Outcomes told one box a line, with why; the others as a list of names.
_EXPLAINED = (ROLLED_BACK, FAILED, SKIPPED)


def waves(rollout):
    """Every wave of the rollout, box names in inventory order."""
    numbers = sorted({state.wave for state in rollout.boxes.values() if state.wave})
    return [[name for name, state in rollout.boxes.items() if state.wave == number] for number in numbers]


def how_it_ended(rollout, stops):
    """(key, sentence) for the way the rollout ended; stops are the journal's
    stop records of this run."""
    version, count = rollout.version, len(waves(rollout))
    if rollout.check_mode:
        return "check mode", "Rollout of %s, check mode: nothing was sent; %d boxes to update in %d waves" % (
            version, sum(map(len, rollout.waves)), len(rollout.waves))
    if not count:
        return "completed", "Rollout of %s: no box to update" % version
    if stops:
        number = stops[0].get("wave") or 0
        sent = any(state.wave == number and state.phase != PLANNED for state in rollout.boxes.values())
        return "stopped by the stop file", "Rollout of %s stopped %s wave %d of %d: %s" % (
            version, "in" if sent else "before", number, count, stops[0].get("why"))
    if any(state.outcome == UNTOUCHED and state.wave for state in rollout.boxes.values()):
        last = max((state.wave for state in rollout.boxes.values() if state.wave and state.phase != PLANNED),
                   default=0)
        return "stopped after a failed wave", "Rollout of %s stopped after wave %d of %d, which had failed boxes" % (
            version, last, count)
    return "completed", "Rollout of %s: all %d waves ran" % (version, count)


def _names(names):
    return " (%d): %s" % (len(names), ", ".join(names)) if names else " (0)"


def text(rollout, headline):
    lines = [headline]
    for outcome in OUTCOMES:
        names = [name for name, state in rollout.boxes.items() if state.outcome == outcome]
        if outcome == UNTOUCHED and rollout.check_mode:
            for wave in rollout.waves:
                lines.append("wave %d would update%s" % (rollout.boxes[wave[0]].wave, _names(wave)))
        elif outcome in _EXPLAINED and names:
            lines.append("%s (%d):" % (outcome, len(names)))
            lines += ["  %s%s: %s" % (name, _wave_of(rollout.boxes[name]), contain(rollout.boxes[name].detail,
                                                                                     MESSAGE))
                      for name in names]
        else:
            lines.append(outcome + _names(names))
    if rollout.journal:
        lines.append("journal: %s" % rollout.journal)
    return "\n".join(lines)


def _wave_of(state):
    return " (wave %d)" % state.wave if state.wave else ""


def report(rollout, end):
    """The JSON report: the same facts, one record per box."""
    records = [dict({"box": name, "outcome": state.outcome, "detail": contain(state.detail, MESSAGE)},
                    **({"wave": state.wave} if state.wave else {}))
               for name, state in rollout.boxes.items()]
    return {
        "version": rollout.version,
        "end": end,
        "journal": rollout.journal,
        "waves": waves(rollout),
        "counts": {outcome: sum(record["outcome"] == outcome for record in records) for outcome in OUTCOMES},
        "boxes": records,
    }
