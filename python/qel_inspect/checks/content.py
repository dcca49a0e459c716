"""Content: the rules of each code and text region, on what the `codes`
and `text` checks read from the frame (so it runs after them): `expect`,
`pattern`, `gs1` and `same_as`. A broken rule is a `wrong data` defect
at the region, its reason in words: `wrong data: lot "2612A6", expected
"2612A7"`.

Serial numbers are read here (`serials`, by region) and judged across the
frames of a run by the run itself (the sequence module), which alone sees
them in order.
"""
import re

from .. import gs1, validate
from . import Findings, defect

NAME = "content"


def parse(table):
    validate.only(NAME, table, ())
    return None


def value_of(region, raw):
    """(the region's value under its pattern, a reason when the text does
    not match it)."""
    if not region.pattern:
        return raw, None
    m = re.fullmatch(region.pattern, raw)
    if not m:
        return raw, "%s %s does not match %s" % (region.label, _quoted(raw), region.pattern)
    return (m.group(1) if m.groups() else raw), None


def _quoted(text):
    return '"%s"' % text.replace("\x1d", "<GS>")


def run(aligned, settings):
    standard = aligned.standard
    read = dict(getattr(aligned, "values", {}).get("codes", {}), **getattr(aligned, "values", {}).get("texts", {}))
    values, found, serials, boxes = {}, [], {}, {}
    for r in standard.regions:
        key = r.name or "%s %d" % (r.kind, standard.regions.index(r))
        if r.kind in ("code", "text") and key in read:
            values[key], problem = value_of(r, read[key])
            if problem:
                found.append(defect(aligned, "wrong data", "wrong data: " + problem, r.box))
    for r in standard.regions:
        key = r.name or "%s %d" % (r.kind, standard.regions.index(r))
        if key not in values:
            continue
        value = values[key]
        problems = []
        if r.expect is not None and value != r.expect:
            problems.append("%s %s, expected %s" % (r.name or r.kind, _quoted(value), _quoted(r.expect)))
        parsed = None
        if r.gs1 or (r.serial and r.serial.ai):
            parsed = gs1.parse(value)
            if r.gs1:
                problems += parsed.problems
        if r.same_as:
            other, ai = r.same_as
            theirs = values.get(other)
            if theirs is not None and ai:
                theirs = gs1.parse(theirs).get(ai)
            if theirs is not None and theirs != value:
                problems.append("%s %s, but %s%s holds %s" % (r.name or r.kind, _quoted(value), other,
                                                              "(%s)" % ai if ai else "", _quoted(theirs)))
        if r.serial:
            serial = parsed.get(r.serial.ai) if r.serial.ai else value
            if serial is None:
                problems.append("%s holds no (%s) serial" % (r.name or r.kind, r.serial.ai))
            else:
                serials[key] = serial
                boxes[key] = aligned.to_frame(list(r.box))
        for p in problems:
            found.append(defect(aligned, "wrong data", "wrong data: " + p, r.box))
    out = {}
    if values:
        out["fields"] = values
    if serials:
        # Judged across frames by the run, which puts a broken sequence's defect at the box.
        out["serials"], out["boxes"] = serials, boxes
    return Findings(found, out)
