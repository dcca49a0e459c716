"""Regions of a label: what each part of it is, for the checks. A recipe
lists them as `[[region]]` tables, boxes in label-space pixels:

    [[region]]
    kind = "ignore"                   # left out of the pixel comparison
    box = [x1, y1, x2, y2]            # ends excluded
    name = "sticker"                  # optional: how reports call it

    compare   compared pixel by pixel with the standard (by default the
              whole label, when no region says otherwise)
    ignore    left out of the comparison
"""
from dataclasses import dataclass
from typing import Optional

from . import validate

KINDS = ("compare", "ignore")
KEYS = ("kind", "box", "name")


@dataclass(frozen=True)
class Region:
    kind: str
    box: tuple                  # (x1, y1, x2, y2), label-space pixels, ends excluded
    name: Optional[str] = None

    def settings(self):
        out = {"kind": self.kind, "box": list(self.box)}
        if self.name:
            out["name"] = self.name
        return out


def box(key, value, within=None):
    """A box [x1, y1, x2, y2] of whole numbers, x1 < x2 and y1 < y2, inside
    `within` (width, height) when given."""
    if not isinstance(value, list) or len(value) != 4 or not all(validate.is_int(v) for v in value):
        raise validate.SettingError(key, "must be four whole numbers [x1, y1, x2, y2]")
    x1, y1, x2, y2 = value
    if x1 < 0 or y1 < 0 or x2 <= x1 or y2 <= y1:
        raise validate.SettingError(key, "[%d, %d, %d, %d] is not a rectangle with x1 < x2, y1 < y2, both corners "
                                         "at 0 or above" % tuple(value))
    if within is not None and (x2 > within[0] or y2 > within[1]):
        raise validate.SettingError(key, "[%d, %d, %d, %d] reaches outside the %dx%d label" % (*value, *within))
    return tuple(value)


def parse(value, within=None):
    """The regions of a recipe's `region` array of tables."""
    if not isinstance(value, list) or not all(isinstance(t, dict) for t in value):
        raise validate.SettingError("region", "must be [[region]] tables, each with kind and box")
    out = []
    for n, table in enumerate(value, 1):
        where = "region %d" % n
        validate.only(where, table, KEYS)
        if "kind" not in table or "box" not in table:
            raise validate.SettingError(where, "needs a kind (%s) and a box [x1, y1, x2, y2]" % ", ".join(KINDS))
        kind = validate.choice(where + ".kind", table["kind"], KINDS)
        name = table.get("name")
        if name is not None and not isinstance(name, str):
            raise validate.SettingError(where + ".name", "must be a text, not %s" % validate.type_name(name))
        out.append(Region(kind, box(where + ".box", table["box"], within), name))
    return out
