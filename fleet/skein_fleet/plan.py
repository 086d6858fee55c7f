"""What a rollout is to do: which boxes are on the version already, which
are left out, and which boxes each wave updates."""

from ansible.utils.helpers import pct_to_int

from skein_fleet import client
from skein_fleet.batch import for_each

# The service's own texts.
COMPLETE = "Update complete"
IN_PROGRESS = "Update in progress"

# What became of a box, in the rollout's summary and report.
UPDATED = "updated"
ROLLED_BACK = "rolled back"
FAILED = "failed"
SKIPPED = "skipped"
UNTOUCHED = "untouched"


def read_box(box):
    """The box's /version and /status as a rollout sees them."""
    version = client.get(box, "/version")
    if version.problem:
        return {"problem": version.why()}
    status = client.get(box, "/status")
    if status.problem:
        return {"problem": status.why()}
    return {"version": version.value(), "status": status.value()}


def is_on(state, version):
    """A box is on a version only when its last update to it completed: a
    box restarted in the middle of one names the version too, but says
    "Waiting for command"."""
    return state.get("version") == version and state.get("status") == COMPLETE


def wave_sizes(waves, count):
    """The sizes of the batches that Ansible's `serial` makes of `count`
    hosts: counts or percentages of all of them, the last one repeated."""
    waves = waves if isinstance(waves, list) else [waves]
    sizes, cursor = [], 0
    while count > sum(sizes):
        size = pct_to_int(waves[cursor], count)
        left = count - sum(sizes)
        sizes.append(left if size <= 0 else min(size, left))
        cursor = min(cursor + 1, len(waves) - 1)
    return sizes


def make(boxes, version, unreachable, waves, workers):
    """Reads every box and returns the plan: per box its outcome so far
    (skipped, or untouched until its wave), the version it had, and its
    wave; the queue of boxes to update, in inventory order; the waves."""
    states = for_each(read_box, boxes, workers)
    plan = {"version": version, "boxes": {}, "queue": []}
    for box, state in zip(boxes, states):
        entry = {"before": state.get("version"), "outcome": UNTOUCHED, "detail": ""}
        if is_on(state, version):
            entry.update(outcome=SKIPPED, detail="already on %s" % version)
        elif "problem" in state and unreachable == "skip":
            entry.update(outcome=SKIPPED, detail=state["problem"])
        else:
            plan["queue"].append(box.name)
        plan["boxes"][box.name] = entry
    plan["waves"] = []
    for size in wave_sizes(waves, len(plan["queue"])):
        wave = plan["queue"][sum(map(len, plan["waves"])):][:size]
        for name in wave:
            plan["boxes"][name]["wave"] = len(plan["waves"]) + 1
        plan["waves"].append(wave)
    return plan
