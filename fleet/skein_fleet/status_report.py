"""Where every box stands: one line per box, then the count of boxes per
status and per version, then why the boxes that did not answer did not."""

from collections import Counter

from skein_fleet import client, service
from skein_fleet.batch import for_each


def read_box(box):
    """The box's status and versions; a box that does not answer /status is
    not asked for the rest."""
    reply = client.get(box, "/status")
    if service.status_of(reply) is None:
        problem, why = reply.problem or client.FOREIGN, reply.reason or "not a status: %s" % reply.why()
        return {"status": problem, "why": why, "version": "-", "previous": "-"}
    return {"status": reply.text,
            "version": service.version_of(client.get(box, "/version"))[1] or "-",
            "previous": service.version_of(client.get(box, "/previousversion"), "/previousversion")[1] or "-"}


def _sorted(counter):
    return sorted(counter.items(), key=lambda count: (count[0].lower(), count[0]))


def make(boxes, workers):
    """The report's text, and the readings per box name."""
    readings = dict(zip((box.name for box in boxes), for_each(read_box, boxes, workers)))
    lines = [" | ".join([box.name, box.base_url] + [readings[box.name][key] for key in ("status", "version", "previous")])
             for box in boxes]
    statuses = Counter(reading["status"] for reading in readings.values())
    versions = Counter(reading["version"] for reading in readings.values())
    lines += [""] + ["%s: %d" % count for count in _sorted(statuses)]
    lines += [""] + ["version %s: %d" % count for count in _sorted(versions)]
    why = ["%s: %s: %s" % (name, reading["status"], reading["why"])
           for name, reading in readings.items() if "why" in reading]
    if why:
        lines += [""] + why
    return "\n".join(lines) + "\n", readings
