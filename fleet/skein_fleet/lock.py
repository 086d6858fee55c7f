"""The fleet lock: one rollout at a time against an inventory.

The lock is a file in the journal directory naming the ansible-playbook
process that holds it. It is free when that process has ended, however it
ended (a crash, Ctrl-C, kill -9), so a lock never outlives its rollout and
never needs removing by hand; the process is told apart from a later one
with the same pid by its start time and the boot."""

import fcntl
import json
import os

NAME = "rollout.lock"


class Busy(Exception):
    """Another rollout holds the lock."""


def _first_line(path):
    try:
        with open(path) as source:
            return source.readline().strip()
    except OSError:
        return ""


def identity(pid):
    """The process's pid, start time and boot; None when it does not run."""
    stat = _first_line("/proc/%d/stat" % pid)
    if not stat:
        return None
    # The start time is the 22nd field; the 2nd, the command, may hold spaces.
    started = stat.rpartition(")")[2].split()[19]
    return {"pid": pid, "started": started, "boot": _first_line("/proc/sys/kernel/random/boot_id")}


def _holder(text):
    try:
        holder = json.loads(text)
        return holder if identity(int(holder["pid"])) == {key: holder[key] for key in ("pid", "started", "boot")} \
            else None
    except (ValueError, KeyError, TypeError):
        return None


def acquire(directory, owner, journal):
    """Takes the lock of directory for the process owner (a pid), naming
    its journal. Raises Busy, naming the holder, while another holds it."""
    os.makedirs(directory, exist_ok=True)
    fd = os.open(os.path.join(directory, NAME), os.O_RDWR | os.O_CREAT | os.O_CLOEXEC, 0o640)
    try:
        # Two rollouts that start at once decide one after the other.
        fcntl.flock(fd, fcntl.LOCK_EX)
        holder = _holder(os.pread(fd, 4096, 0).decode("utf-8", "replace"))
        if holder and holder["pid"] != owner:
            raise Busy("another rollout runs against this inventory: ansible-playbook pid %d, journal %s"
                       % (holder["pid"], holder.get("journal")))
        os.ftruncate(fd, 0)
        os.pwrite(fd, json.dumps(dict(identity(owner), journal=journal)).encode(), 0)
    finally:
        os.close(fd)


def release(directory, owner):
    """Frees the lock if owner holds it."""
    path = os.path.join(directory, NAME)
    holder = _holder(_first_line(path))
    if holder and holder["pid"] == owner:
        os.unlink(path)
