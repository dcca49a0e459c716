"""Checking the values of a recipe's keys: the recipe's own and those of
each check's table. A bad value raises SettingError naming the key; the
recipe turns it into its one-line error with the file's name."""
import difflib
import math


class SettingError(ValueError):
    def __init__(self, key, message):
        self.key = key
        super().__init__(message)


def is_int(v):
    return isinstance(v, int) and not isinstance(v, bool)


def is_number(v):
    return (is_int(v) or isinstance(v, float)) and math.isfinite(v)


def type_name(v):
    if isinstance(v, float) and not math.isfinite(v):
        return "%s" % v
    return {bool: "a boolean", int: "an integer", float: "a number", str: "a text", list: "a list",
            dict: "a table"}.get(type(v), type(v).__name__)


def unknown(key, allowed):
    """The error for a key not among `allowed`, with the likeliest meant."""
    last = key.rsplit(".", 1)[-1]
    short = [a.rsplit(".", 1)[-1] for a in allowed]
    close = difflib.get_close_matches(last, short, n=1, cutoff=0.6)
    if close:
        hint = " (did you mean '%s'?)" % allowed[short.index(close[0])]
    else:
        hint = " (known keys: %s)" % ", ".join(allowed)
    return SettingError(key, "unknown key" + hint)


def whole(key, value, lo, hi=None):
    if not is_int(value):
        raise SettingError(key, "must be a whole number, not %s" % type_name(value))
    if value < lo or (hi is not None and value > hi):
        limits = "from %d to %d" % (lo, hi) if hi is not None else "%d or more" % lo
        raise SettingError(key, "must be %s, not %d" % (limits, value))
    return value


def number(key, value, lo=None, hi=None):
    if not is_number(value):
        raise SettingError(key, "must be a number, not %s" % type_name(value))
    if (lo is not None and value < lo) or (hi is not None and value > hi):
        if lo is not None and hi is not None:
            limits = "between %g and %g" % (lo, hi)
        else:
            limits = "%g or more" % lo if lo is not None else "%g or less" % hi
        raise SettingError(key, "must be %s, not %g" % (limits, value))
    return float(value)


def band(key, value):
    """[lowest, highest], both numbers, neither negative."""
    if not isinstance(value, list):
        raise SettingError(key, "must be a list [lowest, highest], not %s" % type_name(value))
    if len(value) != 2 or not all(is_number(v) for v in value):
        raise SettingError(key, "must be two numbers [lowest, highest]")
    lo, hi = value
    if lo < 0:
        raise SettingError(key, "the lowest value must not be negative")
    if lo > hi:
        raise SettingError(key, "lowest %g is above highest %g" % (lo, hi))
    return (lo, hi)


def choice(key, value, allowed):
    if value not in allowed:
        shown = '"%s"' % value if isinstance(value, str) else type_name(value)
        raise SettingError(key, "must be %s, not %s" % (" or ".join('"%s"' % a for a in allowed), shown))
    return value


def table(key, value):
    if not isinstance(value, dict):
        raise SettingError(key, "must be a table ([%s] with its keys), not %s" % (key, type_name(value)))
    return value


def only(prefix, tbl, allowed):
    """Refuse keys of a table that are not `allowed`."""
    for k in tbl:
        if k not in allowed:
            raise unknown("%s.%s" % (prefix, k), ["%s.%s" % (prefix, a) for a in allowed])
