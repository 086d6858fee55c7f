"""One wave of a rollout. Each box of the wave goes its own way, on its own
clock: /update, then /status every interval until its update script has
ended, and on failure its rollback, judged the same way. A box that is
slow, silent or floods holds back no other box's verdict or rollback.

What counts is what the box did, not what the wire did: when /update (or
/rollback) gets no clean answer, the box is asked for its /version and
/status before anything is decided, and a box that took the update is
judged like any other. Every request that changes a box is in the journal
before it goes out, and every result and verdict after."""

import os
import threading
import time
from urllib.parse import quote

from skein_fleet import client, schedule, service
from skein_fleet.contained import MESSAGE, contain
from skein_fleet.journal import stamp
from skein_fleet.state import FAILED, JUDGED, ROLLBACK_SENT, ROLLED_BACK, SKIPPED, UPDATE_SENT, UPDATED

# How a box answered /update or /rollback.
TAKEN, REFUSED, NOT_DELIVERED, UNCLEAR = "taken", "refused", "not delivered", "unclear"


class Settings:
    """How a wave is run: seconds between two reads of /status, seconds an
    update or rollback may take, requests at a time, and "fail" or "skip"
    for a box that cannot be reached."""

    def __init__(self, interval, timeout, workers, unreachable):
        self.interval = max(1, int(interval))
        self.timeout = int(timeout)
        self.workers = int(workers)
        self.unreachable = unreachable


def answer(reply, text, version):
    """TAKEN, REFUSED (the service said no), NOT_DELIVERED (the request
    cannot have reached the service) or UNCLEAR."""
    if service.started(reply, text, version):
        return TAKEN
    if service.refused(reply):
        return REFUSED
    return NOT_DELIVERED if reply.problem and not reply.delivered else UNCLEAR


def _ended_as(reply, timeout):
    """Why an update or rollback did not complete, from the last /status."""
    status = service.status_of(reply)
    if status == service.IN_PROGRESS:
        return "still running after %d s" % timeout
    if status is not None:
        return "did not complete: %s" % status
    return "no answer within %d s (%s)" % (timeout, reply.why())


class Wave:
    """Runs the boxes `names` of the rollout; `boxes` tells how to reach
    each, `book` is the journal, `get` makes a request."""

    def __init__(self, rollout, names, boxes, settings, book, stop_file, get=client.get, clock=time.monotonic,
                 sleep=time.sleep):
        self.rollout = rollout
        self.version = rollout.version
        self.names = names
        self.boxes = boxes
        self.settings = settings
        self.book = book
        self.stop_file = stop_file
        self.get = get
        self.clock = clock
        self.sleep = sleep
        self.stopped = ""
        self._stop_lock = threading.Lock()

    def run(self):
        """Judges every box of the wave; returns their states by name."""
        lives = {name: self._life(self.rollout.boxes[name]) for name in self.names}
        schedule.run(lives, lambda name, path: self.get(self.boxes[name], path), self.settings.workers,
                     self._controller_error, self.clock, self.sleep)
        return {name: self.rollout.boxes[name] for name in self.names}

    # ---- The journal ----

    def _fields(self, state, **fields):
        return dict({"box": state.name, "from": state.before, "to": self.version, "attempt": state.attempt,
                     "controller": client.certificate_serial(self.boxes[state.name].cert)}, **fields)

    def _record(self, state, request, reply, result):
        self.book.write("request", **self._fields(state, request=request, result=contain(result, MESSAGE),
                                                  began=stamp(reply.began), ended=stamp(reply.ended)))

    def _verdict(self, state, outcome, detail=""):
        state.outcome, state.detail, state.phase = outcome, contain(detail, MESSAGE), JUDGED
        fields = {"outcome": outcome, "detail": state.detail, "wave": state.wave}
        on = state.on(self.version)
        self.book.write("verdict", box=state.name, **(dict(fields, on=on) if on != "" else fields))
        return state

    def _controller_error(self, name, error):
        return self._verdict(self.rollout.boxes[name], FAILED, "controller error: %s: %s" % (
            type(error).__name__, error))

    def _is_stopped(self):
        """Whether no further /update may go out: the stop file exists, or
        the journal cannot be written. The first time, the stop is
        journaled."""
        why = ("%s exists" % self.stop_file) if os.path.exists(self.stop_file) else self.book.broken
        with self._stop_lock:
            if why and not self.stopped:
                self.stopped = why
                self.book.write("stop", file=self.stop_file, why=why, wave=self.rollout.boxes[self.names[0]].wave)
        return bool(self.stopped)

    def _sending(self, state, request, guarded):
        """The guard of a request that changes the box: on disk in the
        journal before it goes out; an /update goes out only while the
        rollout is not stopped."""
        def guard():
            if guarded and self._is_stopped():
                return False
            if not self.book.write("sending", durable=True, **self._fields(state, request=request)) and guarded:
                return False
            state.phase = UPDATE_SENT if guarded else ROLLBACK_SENT
            return True
        return guard

    # ---- A box's life ----

    def _life(self, state):
        if state.phase == ROLLBACK_SENT:
            return (yield from self._rollback_judged(state, "the update failed", None))
        took = False
        if state.phase == UPDATE_SENT:
            # Sent by a run that stopped before the answer came: a box that
            # did not take it is sent it again.
            took, why = yield from self._ask(state, self.clock() + self.settings.timeout,
                                             "sent by a run that stopped before its answer")
            if took is None:
                return self._verdict(state, FAILED, why)
        deadline = self.clock() + self.settings.timeout
        if not took:
            path = "/update?version=" + quote(self.version, safe="")
            reply = yield schedule.Get(path, self._sending(state, path, guarded=True))
            if reply is None:
                return state  # stopped: untouched, left for a resume
            # The box's time runs from the moment its /update went out.
            deadline = self.clock() - (reply.ended - reply.began) + self.settings.timeout
            kind = answer(reply, service.UPDATE_STARTED, self.version)
            self._record(state, path, reply, "%s: %s" % (kind, reply.why()))
            if kind == REFUSED:
                return self._verdict(state, FAILED, "not updated: %s" % reply.why())
            if kind == NOT_DELIVERED:
                skip = self.settings.unreachable == "skip"
                return self._verdict(state, SKIPPED if skip else FAILED, ("" if skip else "not updated: ") + reply.why())
            if kind == UNCLEAR:
                took, why = yield from self._ask(state, deadline, "no clean answer to /update: %s" % reply.why())
                if not took:
                    return self._verdict(state, FAILED, why)
        end = yield from self._wait_for_end(state, deadline, "update")
        if service.status_of(end) == service.COMPLETE:
            return self._verdict(state, UPDATED)
        if service.status_of(end) == service.IN_PROGRESS:
            why = "update still running after %d s" % self.settings.timeout
        else:
            why = "update to %s %s" % (self.version, _ended_as(end, self.settings.timeout))
        return (yield from self._roll_back(state, why, end))

    def _ask(self, state, deadline, why):
        """Whether the box took an /update whose answer did not come: it did
        when it names the version now, and named another before, or its
        status moved on. (True, ""), (False, why not), or (None, why) when
        the box did not answer until the deadline."""
        version, status, reply = yield from self._read_until(deadline)
        if status is None:
            return None, "%s; no answer since within %d s (%s): it may have taken the update; not rolled back" % (
                why, self.settings.timeout, reply.why())
        took = version == self.version and (state.before != self.version or status == service.IN_PROGRESS
                                            or status != state.status)
        self._record(state, "/version /status", reply, "names %s, %s: %s" % (
            version, status, "took the update" if took else "did not take it"))
        return took, "" if took else "not updated: %s; the box names %s, %s" % (why, version, status)

    def _read_until(self, deadline):
        """(version, status, last reply) of the box, asked every interval
        until it answers both as the service does (status None: it did
        not until the deadline)."""
        while True:
            reply = yield schedule.Get("/version")
            known, version = service.version_of(reply)
            if known:
                reply = yield schedule.Get("/status")
                if service.status_of(reply) is not None:
                    return version, reply.text, reply
            if self.clock() >= deadline:
                return None, None, reply
            yield schedule.Pause(min(self.settings.interval, deadline - self.clock()))

    def _wait_for_end(self, state, deadline, what):
        """Reads /status every interval until the script of the update or
        rollback has ended, or the deadline; returns the last reply."""
        while True:
            yield schedule.Pause(max(0.0, min(self.settings.interval, deadline - self.clock())))
            reply = yield schedule.Get("/status")
            status = service.status_of(reply)
            if status not in (None, service.IN_PROGRESS):
                self._record(state, "/status", reply, "%s ended: %s" % (what, status))
                return reply
            if self.clock() >= deadline:
                self._record(state, "/status", reply, "%s %s" % (what, _ended_as(reply, self.settings.timeout)))
                return reply

    def _roll_back(self, state, why, end):
        """A failed box is rolled back when it took the update: it names
        the version and its rollback would go to the version it had. A box
        whose update script still runs gets the rollback at once; its
        service runs it once the script has ended."""
        before = state.before
        if before is None or before == self.version:
            return self._verdict(state, FAILED, "%s; not rolled back: it named %s before the update" % (
                why, before or "no version"))
        known, version = service.version_of((yield schedule.Get("/version")))
        target, previous = service.version_of((yield schedule.Get("/previousversiontemp")), "/previousversiontemp")
        if not (known and target and version == self.version and previous == before):
            return self._verdict(state, FAILED, "%s; not rolled back: its version and rollback version are %s and %s"
                                 % (why, version if known else "unknown", previous if target else "unknown"))
        reply = yield schedule.Get("/rollback", self._sending(state, "/rollback", guarded=False))
        self._record(state, "/rollback", reply, "%s: %s" % (answer(reply, service.ROLLBACK_STARTED, before),
                                                            reply.why()))
        return (yield from self._rollback_judged(state, why, reply,
                                                 service.status_of(end) == service.IN_PROGRESS))

    def _rollback_judged(self, state, why, reply, queued=False):
        """The verdict on a box sent /rollback (reply None: sent by a run
        that stopped before its answer)."""
        took = answer(reply, service.ROLLBACK_STARTED, state.before) if reply else UNCLEAR
        if took in (REFUSED, NOT_DELIVERED):
            return self._verdict(state, FAILED, "%s; rollback not started: %s" % (why, reply.why()))
        deadline = self.clock() + self.settings.timeout
        if took == UNCLEAR:
            version, status, asked = yield from self._read_until(deadline)
            if status is None:
                return self._verdict(state, FAILED, "%s; no clean answer to /rollback, and none since within %d s "
                                     "(%s)" % (why, self.settings.timeout, asked.why()))
            if version != state.before:
                return self._verdict(state, FAILED, "%s; rollback not started: the box names %s, %s" % (
                    why, version, status))
            queued = status == service.IN_PROGRESS and queued
        if queued:
            return self._verdict(state, FAILED, "%s; rollback queued behind it" % why)
        end = yield from self._wait_for_end(state, deadline, "rollback")
        if service.status_of(end) == service.COMPLETE:
            return self._verdict(state, ROLLED_BACK, "%s; rolled back to %s" % (why, state.before))
        return self._verdict(state, FAILED, "%s; rollback %s" % (why, _ended_as(end, self.settings.timeout)))

