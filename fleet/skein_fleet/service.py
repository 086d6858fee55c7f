"""The service's own texts, and what a reply of the service says.

Every text the controller takes from a box is compared with one of these,
exactly: a reply that is not one of them is not the service's (a proxy's
page, another program on the port) and is never read as if it were."""

# The statuses of /status.
IN_PROGRESS = "Update in progress"
COMPLETE = "Update complete"
FAILED = "Update failed"
REBOOT_INITIATED = "Reboot initiated"
REBOOT_FAILED = "Reboot failed"
WAITING = "Waiting for command"
STATUS_MISSING = "Status file not found"
STATUSES = (IN_PROGRESS, COMPLETE, FAILED, REBOOT_INITIATED, REBOOT_FAILED, WAITING, STATUS_MISSING)

# The bodies of the version routes: a prefix and the file's first line.
VERSION = "Current version: "
PREVIOUS_VERSION = "Previous version: "
PREVIOUS_VERSION_TEMP = "Previous version temp: "
PREFIXES = {"/version": VERSION, "/previousversion": PREVIOUS_VERSION,
            "/previousversiontemp": PREVIOUS_VERSION_TEMP}
# Their 404 bodies: the box has no such file yet.
MISSING_FILES = {"/version": "Version file not found", "/previousversion": "Previous version file not found",
                 "/previousversiontemp": "Previous version temp file not found"}

# /update and /rollback, with the version in place of %s.
UPDATE_STARTED = "Update initiated with version %s"
ROLLBACK_STARTED = "Rollback initiated to version %s"
# /update refused because the box's queue of updates is full.
TOO_MANY_UPDATES = "Too many updates waiting"
# The bodies with which the service refuses an /update or a /rollback: it
# did not take it.
REFUSALS = (TOO_MANY_UPDATES, "Missing version parameter", "Invalid API request", "Failed to read request",
            "Previous version temporary file not found", "Current version not found")

# Every text above, for the test that finds each in the service's sources.
TEXTS = STATUSES + tuple(PREFIXES.values()) + tuple(MISSING_FILES.values()) + REFUSALS + (
    UPDATE_STARTED.replace("%s", ""), ROLLBACK_STARTED.replace("%s", ""))


def status_of(reply):
    """The status a /status reply names, or None for anything else."""
    return reply.text if reply.status == 200 and reply.text in STATUSES else None


def version_of(reply, path="/version"):
    """(True, version) from a reply of a version route, (True, None) when
    the box has no such file, (False, None) for anything else."""
    if reply.status == 200 and reply.text.startswith(PREFIXES[path]):
        return True, reply.text[len(PREFIXES[path]):]
    if reply.status == 404 and reply.text == MISSING_FILES[path]:
        return True, None
    return False, None


def started(reply, text, version):
    """Whether the reply to /update or /rollback says the box took it."""
    return reply.status == 200 and reply.text == text % version


def refused(reply):
    """Whether the reply is the service's refusal of an /update or /rollback."""
    return reply.status not in (None, 200) and reply.text in REFUSALS
