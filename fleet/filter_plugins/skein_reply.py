"""Reads the control API's replies as ansible.builtin.uri registers them."""


def skein_reply_value(reply, missing=None):
    """The text a box answered with, less a leading "Current version: " or the
    like, trimmed; `missing` when it did not answer 200 (a version file it
    does not have, or no answer at all)."""
    if reply.get("status") != 200:
        return missing
    return reply.get("content", "").split(": ", 1)[-1].strip()


class FilterModule:
    def filters(self):
        return {"skein_reply_value": skein_reply_value}
