"""Boxes for the controller's unit tests: each acts as the service does on
its files (versions moved on by /update and /rollback, one script at a
time, "Update failed" for a version it fails), on a clock the test turns,
and may misbehave on the wire in the ways the fleet meets."""

import os
import sys
import tempfile
from urllib.parse import unquote

_ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
sys.path.insert(0, os.path.join(_ROOT, "fleet"))
# The service's sources, whose texts the controller compares replies with.
SOURCES = os.path.join(_ROOT, "src")

from skein_fleet import client, service  # noqa: E402


class Clock:
    """Virtual seconds: sleeping moves them on at once."""

    def __init__(self):
        self.now = 1000.0

    def __call__(self):
        return self.now

    def sleep(self, seconds):
        self.now += seconds


# How a box may misbehave; each takes the path and the box's own reply.
def refused(path, reply):
    """Refuses /update: its queue is full."""
    return client.Reply(503, service.TOO_MANY_UPDATES) if path.startswith("/update") else reply


def late(path, reply):
    """Takes /update but answers after the request's time limit."""
    return client.Reply(problem=client.NO_ANSWER, reason="no whole reply within 10 s") \
        if path.startswith("/update") else reply


def down(path, reply):
    return client.Reply(problem=client.UNREACHABLE, reason="Connection refused", delivered=False)


def refuses_controller(path, reply):
    return client.Reply(400, problem=client.TLS_REFUSED, reason="%s (400 The SSL certificate error)"
                        % client.CONTROLLER_REFUSED, delivered=False)


PAGE = client.Reply(200, problem=client.FOREIGN, reason="a page, not the service's reply: Welcome (HTTP 200)")


class Box:
    """A box on `version` with `status`; its scripts take `script` seconds
    and fail for the versions in `fails`. `wire(path, reply)` is what the
    controller gets instead of the reply; `acts(path)` whether the service
    sees the request at all."""

    def __init__(self, clock, version="1.0", status=service.COMPLETE, script=3, fails=(), wire=None,
                 acts=None, silent_after_update=False):
        self.clock, self.version, self.temp, self.status = clock, version, None, status
        self.script, self.fails, self.busy_until, self.last = script, fails, 0.0, None
        self.wire = wire or (lambda path, reply: reply)
        self.acts = acts or (lambda path: True)
        self.silent_after_update = silent_after_update
        self.silent = False
        self.runs = []  # (time, version) of every script started
        self.requests = []  # (time, path) of every request that came

    def _status(self):
        if self.last is not None and self.clock() >= self.busy_until:
            self.status = service.FAILED if self.last in self.fails else service.COMPLETE
            self.last = None
        return self.status

    def _run(self, version):
        self._status()
        self.busy_until = max(self.busy_until, self.clock()) + self.script
        self.runs.append((self.clock(), version))
        self.status, self.last = service.IN_PROGRESS, version

    def _serve(self, path):
        if path.startswith("/update?version="):
            version = unquote(path.split("=", 1)[1])
            self.temp, self.version = self.version, version
            self._run(version)
            return client.Reply(200, service.UPDATE_STARTED % version)
        if path == "/rollback":
            self.temp, self.version = self.version, self.temp
            self._run(self.version)
            return client.Reply(200, service.ROLLBACK_STARTED % self.version)
        if path == "/status":
            return client.Reply(200, self._status())
        value = {"/version": self.version, "/previousversiontemp": self.temp}[path]
        if value is None:
            return client.Reply(404, service.MISSING_FILES[path])
        return client.Reply(200, service.PREFIXES[path] + value)

    def get(self, path):
        self.requests.append((self.clock(), path))
        if self.silent:
            return client.Reply(problem=client.NO_ANSWER, reason="no whole reply within 10 s")
        reply = self._serve(path) if self.acts(path) else None
        self.silent = self.silent_after_update and path.startswith("/update")
        return self.wire(path, reply)

    def sent(self, prefix):
        return [path for _, path in self.requests if path.startswith(prefix)]


def get_from(boxes):
    """The client's get for these boxes, by name."""
    return lambda box, path: boxes[box.name].get(path)


def reach(names):
    return {name: client.Box(name, "http://%s:8888" % name) for name in names}


def temporary_directory(test):
    directory = tempfile.TemporaryDirectory()
    test.addCleanup(directory.cleanup)
    return directory.name
