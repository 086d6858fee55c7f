"""What a rollout is to do: which boxes are on the version already, which
are left out, and which boxes each wave updates; or, for a resume, what is
left of the rollout a journal tells. Faults of the controller's own (its
certificate files, its certificate refused by the boxes, no box answering
at all) stop the rollout here, before any /update."""

from skein_fleet import client, journal, service
from skein_fleet.batch import for_each
from skein_fleet.state import ALREADY_ON, PLANNED, ROLLBACK_SENT, SKIPPED, UNTOUCHED, UPDATE_SENT, BoxState, Rollout

# Names of boxes shown in one message at most.
_NAMED = 10


class ControllerFault(Exception):
    """The rollout cannot go on because of the controller's side."""


def read_box(box, get=client.get):
    """The box's /version and /status as a rollout sees them: "version"
    (None without a version file) and "status", or "problem" (why it
    could not be read) and the reply that had it."""
    reply = get(box, "/version")
    known, version = service.version_of(reply)
    if known:
        reply = get(box, "/status")
        status = service.status_of(reply)
        if status is not None:
            return {"version": version, "status": status}
    if not reply.problem:
        reply = client.Reply(problem=client.FOREIGN, reason="not a reply of the service: %s" % reply.why())
    return {"problem": reply.why(), "reply": reply}


def is_on(reading, version, known_on):
    """A box is on the version when it names it and its update to it
    completed: its status says so, or, once it is not updating (a restart
    says "Waiting for command"), a journal's last verdict on it does."""
    if reading.get("version") != version:
        return False
    status = reading.get("status")
    return status == service.COMPLETE or (status not in (service.IN_PROGRESS, service.FAILED) and known_on == version)


def _size(wave, count):
    """A wave's size: a count, or a percentage of all `count` boxes (rounded
    down, at least one), as Ansible's `serial` reads it."""
    if isinstance(wave, str) and wave.strip().endswith("%"):
        return int(float(wave.strip()[:-1]) / 100.0 * count) or 1
    return int(wave)


def wave_sizes(waves, count):
    """The sizes of the waves of `count` boxes: counts or percentages of
    all of them, the last one repeated; 0 or less takes all that are left."""
    waves = waves if isinstance(waves, list) else [waves]
    sizes, cursor = [], 0
    while count > sum(sizes):
        size = _size(waves[cursor], count)
        left = count - sum(sizes)
        sizes.append(left if size <= 0 else min(size, left))
        cursor = min(cursor + 1, len(waves) - 1)
    return sizes


def _names(boxes):
    names = [box.name for box in boxes]
    return ", ".join(names[:_NAMED]) + (" and %d more" % (len(names) - _NAMED) if len(names) > _NAMED else "")


def check_certificates(boxes):
    """Raises ControllerFault when the certificate files of an https box
    cannot be used."""
    for box in boxes:
        if box.base_url.startswith("https:"):
            try:
                client.tls_context(box)
            except (OSError, ValueError) as error:
                files = ", ".join("skein_%s %s" % (name, path) for name, path in (
                    ("client_cert", box.cert), ("client_key", box.key), ("ca_cert", box.ca)) if path)
                raise ControllerFault("%s for %s (%s): %s; no box was sent anything" % (
                    client.CERTIFICATE_FILES, box.name, files or "none given", error))


def _read(boxes, workers, get):
    """Every box's reading by name; raises ControllerFault when a box
    refused this controller's certificate, or no box could be read."""
    readings = dict(zip((box.name for box in boxes), for_each(lambda box: read_box(box, get), boxes, workers)))
    refused = [box for box in boxes if "reply" in readings[box.name] and readings[box.name]["reply"].refused_controller]
    if refused:
        raise ControllerFault("%d boxes refused this controller's certificate (%s): %s; mend the certificate or "
                              "the boxes' allow-lists; no update was sent" % (
                                  len(refused), readings[refused[0].name]["problem"], _names(refused)))
    if boxes and all("problem" in reading for reading in readings.values()):
        raise ControllerFault("no box could be read (%s: %s): check the controller's network and the inventory; "
                              "no update was sent" % (boxes[0].name, readings[boxes[0].name]["problem"]))
    return readings


def decide(name, reading, version, unreachable, known):
    """The box's state before the waves: skipped, or untouched until its wave."""
    state = BoxState(name, reading.get("version"), reading.get("status"),
                     attempt=known.get("attempts", {}).get(version, 0) + 1)
    if is_on(reading, version, known.get("on")):
        state.outcome, state.detail = SKIPPED, ALREADY_ON % version
    elif "problem" in reading and unreachable == "skip":
        state.outcome, state.detail = SKIPPED, reading["problem"]
    return state


def _into_waves(rollout, names, sizes):
    """Puts the boxes in waves of the sizes, numbered from 1."""
    rollout.waves = []
    for size in sizes:
        wave = names[sum(map(len, rollout.waves)):][:size]
        for name in wave:
            rollout.boxes[name].wave = len(rollout.waves) + 1
        rollout.waves.append(wave)


def make(boxes, version, unreachable, waves, workers, directory, get=client.get):
    """Reads every box and returns the Rollout: per box its state before
    the waves, and the waves, in inventory order."""
    check_certificates(boxes)
    readings = _read(boxes, workers, get)
    known = journal.history(directory)
    rollout = Rollout(version)
    for box in boxes:
        rollout.boxes[box.name] = decide(box.name, readings[box.name], version, unreachable, known.get(box.name, {}))
    queue = [box.name for box in boxes if rollout.boxes[box.name].outcome == UNTOUCHED]
    _into_waves(rollout, queue, wave_sizes(waves, len(queue)))
    return rollout


def resume(boxes, records, version, unreachable, workers, directory, get=client.get):
    """The Rollout that goes on from a journal's records: judged and
    skipped boxes keep their outcome, boxes sent an update or rollback
    with no verdict are judged first in their wave, and untouched boxes
    are read again and updated in their wave, as planned."""
    run, states = journal.replay(records)
    if not run.get("version") or (version and version != run["version"]):
        raise ControllerFault("the journal is of a rollout of %s, not of %s" % (run.get("version"), version))
    inventory = {box.name: box for box in boxes}
    unknown = [box for box in boxes if box.name not in states]
    in_flight = [name for name, state in states.items() if state.phase in (UPDATE_SENT, ROLLBACK_SENT)]
    if unknown or any(name not in inventory for name in in_flight):
        raise ControllerFault("the inventory and the journal name different boxes (%s); resume with the "
                              "rollout's own inventory" % (_names(unknown) or ", ".join(in_flight[:_NAMED])))
    again = [inventory[name] for name, state in states.items()
             if name in inventory and state.phase == PLANNED and state.outcome == UNTOUCHED]
    check_certificates([inventory[name] for name in in_flight] + again)
    readings = _read(again, workers, get) if again else {}
    known = journal.history(directory)
    rollout = Rollout(run["version"], boxes=states, resumed=True)
    for box in again:
        state = decide(box.name, readings[box.name], rollout.version, unreachable, known.get(box.name, {}))
        if state.outcome == UNTOUCHED:
            state.wave = states[box.name].wave
        states[box.name] = state
    queue = [name for name, state in states.items() if name in inventory and (
        state.phase in (UPDATE_SENT, ROLLBACK_SENT) or (state.phase == PLANNED and state.outcome == UNTOUCHED))]
    numbers = sorted({states[name].wave for name in queue})
    rollout.waves = [[name for name in queue if states[name].wave == number] for number in numbers]
    return rollout


def start(rollout, directory, journal_path=None, waves=None):
    """Writes the run's start and plan to the journal (a new one in
    directory, or journal_path for a resume) and returns it, open."""
    try:
        book = journal.Journal(journal_path) if journal_path else journal.Journal.create(directory, rollout.version)
    except OSError as error:
        raise ControllerFault("cannot write the journal in %s: %s; no update was sent" % (directory, error))
    rollout.journal = book.path
    book.write("rollout", version=rollout.version, waves=waves, resumed=rollout.resumed, boxes=len(rollout.boxes))
    for name, state in rollout.boxes.items():
        if state.phase == PLANNED:
            book.write("plan", box=name, **{"from": state.before}, status=state.status, outcome=state.outcome,
                       detail=state.detail, wave=state.wave, attempt=state.attempt)
    if book.broken:
        raise ControllerFault("%s; no update was sent" % book.broken)
    return book
