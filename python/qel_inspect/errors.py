"""Errors the user can cause and mend: each is one line for the terminal
and ends a command with exit status 2."""


class UsageError(Exception):
    """Bad arguments, targets, output folder or recipe; str() is the line."""


def internal_error(e):
    """The one-line reason for a frame whose task raised unexpectedly."""
    first = str(e).splitlines()[0] if str(e) else ""
    return "internal error: %s: %s" % (type(e).__name__, first)
