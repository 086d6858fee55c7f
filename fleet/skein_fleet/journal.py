"""The rollout's journal: one JSON line per box event, handed to the kernel
as it happens, so that after a crash of the controller or Ctrl-C it still
says what was sent to which box and what came of it. One file per rollout
in the journal directory; a resumed rollout goes on in its file. The
summary, the JSON report and a resume are built from it, and every
rollout reads the journals beside it to know which boxes completed an
update to its version before.

Events: "rollout" (a run starts: version, waves), "plan" (a box as read
before the waves), "sending" (an /update or /rollback about to go out,
on disk before it does), "request" (a request and its result), "verdict"
(what became of a box), "stop" (the stop file stopped the rollout), "end"
(a run ended)."""

import datetime
import glob
import json
import os
import re
import threading
import time

from skein_fleet.state import JUDGED, PLANNED, ROLLBACK_SENT, UPDATE_SENT, BoxState

SUFFIX = ".jsonl"


def stamp(seconds=None):
    """A wall-clock time as the journal writes it: UTC, milliseconds."""
    moment = datetime.datetime.fromtimestamp(time.time() if seconds is None else seconds, datetime.timezone.utc)
    return moment.isoformat(timespec="milliseconds").replace("+00:00", "Z")


class Journal:
    """Appends records to one journal file, from any thread. A record that
    cannot be written leaves `broken` set to why."""

    def __init__(self, path):
        self.path = path
        self.broken = None
        self._lock = threading.Lock()
        self._fd = os.open(path, os.O_RDWR | os.O_APPEND | os.O_CREAT | os.O_CLOEXEC, 0o640)
        # A line cut short by a crash is ended, so that the next one stands
        # on its own.
        size = os.fstat(self._fd).st_size
        if size and os.pread(self._fd, 1, size - 1) != b"\n":
            os.write(self._fd, b"\n")

    @classmethod
    def create(cls, directory, version):
        """A new journal file in directory, named after the time and version."""
        os.makedirs(directory, exist_ok=True)
        base = os.path.join(directory, "rollout-%s-%s" % (time.strftime("%Y%m%dT%H%M%SZ", time.gmtime()),
                                                          re.sub(r"[^A-Za-z0-9_.-]", "_", version)[:64]))
        for number in range(1, 100):
            path = base + ("" if number == 1 else "-%d" % number) + SUFFIX
            try:
                os.close(os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o640))
                return cls(path)
            except FileExistsError:
                continue
        raise FileExistsError("no free journal name for %s" % base)

    def write(self, event, durable=False, **fields):
        """Appends one record in one write; with durable, on disk before it
        returns. Returns whether it was written."""
        line = json.dumps(dict({"time": stamp(), "event": event}, **fields), ensure_ascii=False) + "\n"
        try:
            with self._lock:
                os.write(self._fd, line.encode())
            if durable:
                os.fsync(self._fd)
            return True
        except OSError as error:
            self.broken = self.broken or "cannot write %s: %s" % (self.path, error.strerror)
            return False

    def close(self):
        os.close(self._fd)


def read(path):
    """The records of a journal; a line cut short by a crash is left out."""
    records = []
    with open(path, encoding="utf-8", errors="replace") as lines:
        for line in lines:
            try:
                record = json.loads(line)
            except ValueError:
                continue
            if isinstance(record, dict):
                records.append(record)
    return records


def replay(records):
    """(the last run's "rollout" record with the stops and end after it,
    every box's state by name) from a journal's records."""
    run, states = {}, {}
    for record in records:
        event, name = record.get("event"), record.get("box")
        if event == "rollout":
            run = dict(record, stops=[], end=None)
        elif event == "stop":
            run.setdefault("stops", []).append(record)
        elif event == "end":
            run["end"] = record.get("end")
        elif event == "plan":
            states[name] = BoxState(name, record.get("from"), record.get("status"), record["outcome"],
                                    record.get("detail", ""), record.get("wave"), record.get("attempt", 1), PLANNED)
        elif event == "sending" and name in states:
            states[name].phase = UPDATE_SENT if record["request"].startswith("/update") else ROLLBACK_SENT
        elif event == "verdict" and name in states:
            states[name].outcome, states[name].detail, states[name].phase = record["outcome"], record["detail"], JUDGED
    return run, states


def history(directory):
    """What the journals in directory know of each box: the version its
    last verdict left it on ("on", None after a failure), and how many
    updates to each version were sent to it ("attempts")."""
    boxes = {}
    for path in sorted(glob.glob(os.path.join(glob.escape(directory), "*" + SUFFIX))):
        for record in read(path):
            known = boxes.setdefault(record.get("box"), {"on": None, "time": "", "attempts": {}})
            if record.get("event") == "verdict" and "on" in record and record["time"] >= known["time"]:
                known.update(on=record["on"], time=record["time"])
            elif record.get("event") == "sending" and record.get("request", "").startswith("/update"):
                known["attempts"][record["to"]] = known["attempts"].get(record["to"], 0) + 1
    boxes.pop(None, None)
    return boxes
