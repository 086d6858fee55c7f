"""The end of a rollout in words and as JSON: what became of every box."""

from skein_fleet.plan import FAILED, ROLLED_BACK, SKIPPED, UNTOUCHED, UPDATED

OUTCOMES = (UPDATED, ROLLED_BACK, FAILED, SKIPPED, UNTOUCHED)
# Outcomes told one box a line, with why; the others as a list of names.
_EXPLAINED = (ROLLED_BACK, FAILED, SKIPPED)


def how_it_ended(rollout, stop_file, last_wave):
    """(key, sentence) for the way the rollout ended."""
    version, waves = rollout["version"], len(rollout["waves"])
    if rollout["check_mode"]:
        return "check mode", "Rollout of %s, check mode: nothing was sent; %d boxes to update in %d waves" % (
            version, len(rollout["queue"]), waves)
    if not waves:
        return "completed", "Rollout of %s: no box to update" % version
    if stop_file:
        return "stopped by the stop file", "Rollout of %s stopped before wave %d of %d: %s exists" % (
            version, last_wave, waves, stop_file)
    if any(entry["outcome"] == UNTOUCHED for entry in rollout["boxes"].values()):
        return "stopped after a failed wave", "Rollout of %s stopped after wave %d of %d, which had failed boxes" % (
            version, last_wave, waves)
    return "completed", "Rollout of %s: all %d waves ran" % (version, waves)


def _names(names):
    return " (%d): %s" % (len(names), ", ".join(names)) if names else " (0)"


def text(rollout, headline):
    lines = [headline]
    boxes = rollout["boxes"]
    for outcome in OUTCOMES:
        names = [name for name, entry in boxes.items() if entry["outcome"] == outcome]
        if outcome == UNTOUCHED and rollout["check_mode"]:
            for number, wave in enumerate(rollout["waves"], 1):
                lines.append("wave %d would update%s" % (number, _names(wave)))
        elif outcome in _EXPLAINED and names:
            lines.append("%s (%d):" % (outcome, len(names)))
            lines += ["  %s%s: %s" % (name, _wave_of(boxes[name]), boxes[name]["detail"]) for name in names]
        else:
            lines.append(outcome + _names(names))
    return "\n".join(lines)


def _wave_of(entry):
    return " (wave %d)" % entry["wave"] if "wave" in entry else ""


def report(rollout, end):
    """The JSON report: the same facts, one record per box."""
    records = [dict({"box": name, "outcome": entry["outcome"], "detail": entry["detail"]},
                    **({"wave": entry["wave"]} if "wave" in entry else {}))
               for name, entry in rollout["boxes"].items()]
    return {
        "version": rollout["version"],
        "end": end,
        "waves": [list(wave) for wave in rollout["waves"]],
        "counts": {outcome: sum(record["outcome"] == outcome for record in records) for outcome in OUTCOMES},
        "boxes": records,
    }
