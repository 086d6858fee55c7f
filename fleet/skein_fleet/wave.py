"""One wave of a rollout: every box of the wave gets /update, then /status is
read until its update script has ended, and the boxes on which it failed
are rolled back. All boxes of the wave go through each step together."""

import time
from urllib.parse import quote

from skein_fleet import client
from skein_fleet.batch import for_each
from skein_fleet.plan import COMPLETE, FAILED, IN_PROGRESS, ROLLED_BACK, SKIPPED, UPDATED


class Settings:
    """How a wave is run: seconds between two reads of /status, seconds an
    update or rollback may take, requests at a time, and "fail" or "skip"
    for a box that cannot be reached."""

    def __init__(self, interval, timeout, workers, unreachable):
        self.interval = max(1, int(interval))
        self.timeout = int(timeout)
        self.workers = int(workers)
        self.unreachable = unreachable


def wait_for_end(boxes, settings):
    """Reads /status of the boxes every interval until each has left "Update
    in progress", for at most the timeout. Returns each box's last reply;
    a box still in progress, or not answering, at the end timed out."""
    deadline = time.monotonic() + settings.timeout
    last, pending = {}, list(boxes)
    while pending:
        time.sleep(max(0, min(settings.interval, deadline - time.monotonic())))
        replies = for_each(lambda box: client.get(box, "/status"), pending, settings.workers)
        for box, reply in zip(pending, replies):
            last[box.name] = reply
        pending = [box for box in pending if _is_running(last[box.name]) or not last[box.name].ok]
        if time.monotonic() >= deadline:
            break
    return last


def _is_running(reply):
    return reply.ok and reply.text == IN_PROGRESS


def _ended_as(reply, settings):
    """Why an update or rollback did not complete, from the last reply."""
    if _is_running(reply):
        return "still running after %d s" % settings.timeout
    if reply.ok:
        return "did not complete: %s" % reply.text
    return "no answer within %d s (%s)" % (settings.timeout, reply.why())


class Wave:
    def __init__(self, boxes, version, before, settings):
        self.boxes = boxes
        self.version = version
        self.before = before  # box name -> the version it had, or None
        self.settings = settings
        self.outcomes = {}

    def _note(self, box, outcome, detail=""):
        self.outcomes[box.name] = {"outcome": outcome, "detail": detail}

    def _each(self, function, boxes):
        return for_each(function, boxes, self.settings.workers)

    def run(self):
        started = self._start(self.boxes, "/update?version=" + quote(self.version, safe=""))
        ends = wait_for_end(started, self.settings)
        failed = []
        for box in started:
            if ends[box.name].ok and ends[box.name].text == COMPLETE:
                self._note(box, UPDATED)
            else:
                failed.append(box)
        self._roll_back(failed, ends)
        return self.outcomes

    def _start(self, boxes, path):
        """Sends path to the boxes; returns those that took it."""
        started = []
        for box, reply in zip(boxes, self._each(lambda box: client.get(box, path), boxes)):
            if reply.ok:
                started.append(box)
            elif reply.problem and self.settings.unreachable == "skip":
                self._note(box, SKIPPED, reply.why())
            else:
                self._note(box, FAILED, "not updated: %s" % reply.why())
        return started

    def _roll_back(self, boxes, ends):
        """A failed box is rolled back when it took the update: its /version
        names the version and its /previousversiontemp the one it had. A box
        whose update script still runs gets the rollback without a wait: the
        box runs it once the script has ended."""
        why = {box.name: self._why_failed(ends[box.name]) for box in boxes}
        possible = []
        for box, target in zip(boxes, self._each(self._rollback_target, boxes)):
            if target is None:
                possible.append(box)
            else:
                self._note(box, FAILED, "%s; not rolled back: %s" % (why[box.name], target))
        waiting = []
        for box, reply in zip(possible, self._each(lambda box: client.get(box, "/rollback"), possible)):
            if not reply.ok:
                self._note(box, FAILED, "%s; rollback not started: %s" % (why[box.name], reply.why()))
            elif _is_running(ends[box.name]):
                self._note(box, FAILED, "%s; rollback queued behind it" % why[box.name])
            else:
                waiting.append(box)
        ends = wait_for_end(waiting, self.settings)
        for box in waiting:
            if ends[box.name].ok and ends[box.name].text == COMPLETE:
                self._note(box, ROLLED_BACK, "%s; rolled back to %s" % (why[box.name], self.before[box.name]))
            else:
                self._note(box, FAILED, "%s; rollback %s" % (why[box.name], _ended_as(ends[box.name], self.settings)))

    def _why_failed(self, end):
        if _is_running(end):
            return "update still running after %d s" % self.settings.timeout
        return "update to %s %s" % (self.version, _ended_as(end, self.settings))

    def _rollback_target(self, box):
        """None when a rollback goes back to the version the box had, else
        why it would not."""
        version = client.get(box, "/version")
        previous = client.get(box, "/previousversiontemp")
        if (version.value() == self.version and self.before.get(box.name) is not None
                and previous.value() == self.before[box.name]):
            return None
        return "its version and rollback version are %s and %s" % (
            version.value("unknown"), previous.value("unknown"))
