"""Text from a box made safe to print: whatever a box sends, it never adds a
line to a report, moves the cursor of a terminal or fills a screen."""

import unicodedata

# A box's text in a message: a status, a version, a page title.
BOX_TEXT = 200
# A whole message built of several box texts and the controller's words.
MESSAGE = 2000

_NAMED = {"\n": "\\n", "\r": "\\r", "\t": "\\t"}


def _escaped(character):
    if character in _NAMED:
        return _NAMED[character]
    if unicodedata.category(character)[0] != "C":
        return character
    code = ord(character)
    return "\\x%02x" % code if code < 0x100 else "\\u%04x" % code if code < 0x10000 else "\\U%08x" % code


def contain(text, limit=BOX_TEXT):
    """The text with control and format characters escaped (a newline reads
    \\n), cut to `limit` characters with "..." at the end. Applying it again
    changes nothing but the length."""
    text = "".join(map(_escaped, str(text)))
    return text if len(text) <= limit else text[:limit - 3] + "..."
