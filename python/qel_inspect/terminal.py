"""Text for a terminal: names come from file systems and records, and a
name may hold anything a file name can, escape sequences included, which a
terminal would obey (move the cursor, rewrite the screen, retitle the
window). Everything the station prints that holds a name goes through
`safe` first."""
import re

# C0 and C1 controls, DEL, the bidirectional overrides and isolates (which
# reorder what is shown), and lone surrogates (bytes of a name that are not
# UTF-8, which cannot be printed at all).
_UNSAFE = re.compile("[\x00-\x1f\x7f-\x9f\u061c\u200e\u200f\u202a-\u202e\u2066-\u2069\ud800-\udfff]")


def _escape(m):
    c = ord(m.group())
    if 0xDC80 <= c <= 0xDCFF:                 # a byte that was not UTF-8 (surrogateescape)
        return "\\x%02x" % (c - 0xDC00)
    return "\\x%02x" % c if c < 0x100 else "\\u%04x" % c


def safe(text):
    """`text` with every character a terminal would act on written as an
    escape (ESC as \\x1b, a newline as \\x0a); the rest as it is."""
    return _UNSAFE.sub(_escape, str(text))
