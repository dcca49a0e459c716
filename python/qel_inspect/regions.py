"""Regions of a label: what each part of it is, for the checks. A recipe
lists them as `[[region]]` tables, boxes in label-space pixels:

    [[region]]
    kind = "code"                     # what the region holds (below)
    box = [x1, y1, x2, y2]            # ends excluded
    name = "serial"                   # how reports and rules call it
    variable = true                   # it changes from label to label
    gs1 = true                        # content rules (below)
    serial = { step = 1, ai = "21" }

    compare   compared pixel by pixel with the standard (by default the
              whole label, when no region says otherwise)
    ignore    left out of the comparison
    code      a 1D or 2D code: decoded, its print judged, its content
              checked; a fixed code is also compared pixel by pixel
    text      plain text: read (OCR) and checked against a pattern, or,
              without one, checked to hold print of the standard's extent

A variable region is left out of the pixel comparison (a 2D code's finder
pattern and the paper around a variable code's symbol stay in it).

Content rules, on a code or text region:

    expect = "LOT 2612A7"             # exactly this (--expect NAME=VALUE sets it for a run)
    pattern = 'LOT (\\w+)'            # a regular expression the whole text must match; its first
                                      # group, if any, is the region's value for the rules below
    gs1 = true                        # a GS1 element string: check digits, dates, lengths
    serial = { step = 1 }             # each label's value is the last one's plus step, never seen
                                      # twice (ai = "21": the serial inside a GS1 string)
    same_as = "code(10)"              # equal to another region's value (or to one AI of it)
"""
import re
from dataclasses import dataclass, field
from typing import Optional

from . import validate

KINDS = ("compare", "ignore", "code", "text")
KEYS = ("kind", "box", "name", "variable", "symbology", "expect", "pattern", "gs1", "serial", "same_as",
        "min_grade")
RULE_KINDS = ("code", "text")
SYMBOLOGIES = ("code128", "gs1-128", "ean13", "ean8", "upca", "upce", "code39", "itf", "datamatrix", "qr")
SAME_AS = re.compile(r"([A-Za-z_][\w-]*)(?:\((\d{2,4})\))?$")


@dataclass(frozen=True)
class Serial:
    step: int = 1
    ai: Optional[str] = None       # the serial inside a GS1 string; None: the whole value


@dataclass(frozen=True)
class Region:
    kind: str
    box: tuple                      # (x1, y1, x2, y2), label-space pixels, ends excluded
    name: Optional[str] = None
    variable: bool = False
    symbology: Optional[str] = None     # what a code region holds
    expect: Optional[str] = None
    pattern: Optional[str] = None
    gs1: bool = False
    serial: Optional[Serial] = None
    same_as: Optional[tuple] = None     # (region name, AI or None)
    min_grade: Optional[float] = None
    extra: dict = field(default_factory=dict, compare=False)

    @property
    def label(self):
        return self.name or "%s region at %s" % (self.kind, list(self.box))

    @property
    def has_rules(self):
        return bool(self.expect is not None or self.pattern or self.gs1 or self.serial or self.same_as)

    def settings(self):
        out = {"kind": self.kind, "box": list(self.box)}
        if self.name:
            out["name"] = self.name
        if self.variable:
            out["variable"] = True
        for key in ("symbology", "expect", "pattern", "min_grade"):
            if getattr(self, key) is not None:
                out[key] = getattr(self, key)
        if self.gs1:
            out["gs1"] = True
        if self.serial:
            out["serial"] = {"step": self.serial.step, **({"ai": self.serial.ai} if self.serial.ai else {})}
        if self.same_as:
            out["same_as"] = self.same_as[0] + ("(%s)" % self.same_as[1] if self.same_as[1] else "")
        return out


def overlap(p, q):
    """Whether boxes (x1, y1, x2, y2) share any pixel."""
    return p[0] < q[2] and q[0] < p[2] and p[1] < q[3] and q[1] < p[3]


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


def _text(key, value):
    if not isinstance(value, str):
        raise validate.SettingError(key, "must be a text in quotes, not %s" % validate.type_name(value))
    return value


def _one(n, table, within):
    where = "region %d" % n
    validate.only(where, table, KEYS)
    if "kind" not in table or "box" not in table:
        raise validate.SettingError(where, "needs a kind (%s) and a box [x1, y1, x2, y2]" % ", ".join(KINDS))
    kind = validate.choice(where + ".kind", table["kind"], KINDS)
    found = {"kind": kind, "box": box(where + ".box", table["box"], within)}
    if "name" in table:
        name = _text(where + ".name", table["name"])
        if not re.fullmatch(r"[A-Za-z_][\w-]*", name):
            raise validate.SettingError(where + ".name", "%r must start with a letter and hold only letters, digits, "
                                                         "- and _" % name)
        found["name"] = name
    for key in ("variable", "gs1"):
        if key in table:
            if not isinstance(table[key], bool):
                raise validate.SettingError("%s.%s" % (where, key), "must be true or false, not %s"
                                            % validate.type_name(table[key]))
            found[key] = table[key]
    rules = [k for k in ("expect", "pattern", "gs1", "serial", "same_as", "symbology", "min_grade") if k in table]
    if rules and kind not in RULE_KINDS:
        raise validate.SettingError("%s.%s" % (where, rules[0]), "applies to code and text regions, not to %s" % kind)
    if "symbology" in table:
        if kind != "code":
            raise validate.SettingError(where + ".symbology", "applies to code regions")
        found["symbology"] = validate.choice(where + ".symbology", table["symbology"], SYMBOLOGIES)
    if "expect" in table:
        found["expect"] = _text(where + ".expect", table["expect"])
    if "pattern" in table:
        pattern = _text(where + ".pattern", table["pattern"])
        try:
            re.compile(pattern)
        except re.error as e:
            raise validate.SettingError(where + ".pattern", "not a regular expression (%s)" % e)
        found["pattern"] = pattern
    if "serial" in table:
        serial = validate.table(where + ".serial", table["serial"])
        validate.only(where + ".serial", serial, ("step", "ai"))
        step = validate.whole(where + ".serial.step", serial.get("step", 1), -10**9, 10**9)
        if step == 0:
            raise validate.SettingError(where + ".serial.step", "must not be 0")
        ai = serial.get("ai")
        if ai is not None and not (isinstance(ai, str) and re.fullmatch(r"\d{2,4}", ai)):
            raise validate.SettingError(where + ".serial.ai", "must be an application identifier such as \"21\"")
        found["serial"] = Serial(step, ai)
    if "same_as" in table:
        m = SAME_AS.match(_text(where + ".same_as", table["same_as"]))
        if not m:
            raise validate.SettingError(where + ".same_as", "must name a region, or a region and an AI: \"code(10)\"")
        found["same_as"] = (m.group(1), m.group(2))
    if "min_grade" in table:
        found["min_grade"] = validate.number(where + ".min_grade", table["min_grade"], 0.0, 4.0)
    return Region(**found)


def parse(value, within=None):
    """The regions of a recipe's `region` array of tables."""
    if not isinstance(value, list) or not all(isinstance(t, dict) for t in value):
        raise validate.SettingError("region", "must be [[region]] tables, each with kind and box")
    out = [_one(n, table, within) for n, table in enumerate(value, 1)]
    names = [r.name for r in out if r.name]
    twice = sorted({n for n in names if names.count(n) > 1})
    if twice:
        raise validate.SettingError("region", "the name %r is given to two regions" % twice[0])
    for n, r in enumerate(out, 1):
        if r.same_as and r.same_as[0] not in names:
            raise validate.SettingError("region %d.same_as" % n, "no region is named %r" % r.same_as[0])
        if r.same_as and r.same_as[0] == r.name:
            raise validate.SettingError("region %d.same_as" % n, "names the region itself")
    return out


def expecting(regions, overrides):
    """The regions with `expect` set from NAME=VALUE overrides (the
    command line's --expect); KeyError naming an unknown region."""
    by_name = {r.name: r for r in regions if r.name}
    out = list(regions)
    for name, value in overrides.items():
        if name not in by_name or by_name[name].kind not in RULE_KINDS:
            raise KeyError(name)
        i = out.index(by_name[name])
        r = out[i]
        out[i] = Region(**{**{k: getattr(r, k) for k in r.__dataclass_fields__ if k != "extra"}, "expect": value})
    return out
