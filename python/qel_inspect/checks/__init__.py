"""Checks: what a frame is judged by once it is aligned with the standard.

A check is one module with a `NAME`, a `parse(table)` that validates its
recipe table (raising validate.SettingError) and returns its settings, and
one entry point, `run(aligned, settings)`, returning Findings: defects of
its own kinds (boxes in the camera frame and in the standard's
coordinates) and values measured on the frame, which go into the record.
A check may raise pipeline.InspectionError when the frame cannot be judged
at all.

A recipe names the checks it runs (`checks = [...]`, by default the
comparison alone). A name is a check of this package listed in BUILTIN,
or the dotted name of any importable module that follows the same shape.
"""
import importlib
from dataclasses import dataclass, field

from ..records import Defect

BUILTIN = {
    "compare": "qel_inspect.checks.compare",     # the shift-tolerant pixel comparison
    "grade": "qel_inspect.checks.grade",         # the verifier's grade of the linear code
    "streaks": "qel_inspect.checks.streaks",     # lines of lost or added ink from the printhead
    "widths": "qel_inspect.checks.widths",       # bar and space widths against the standard's
    "codes": "qel_inspect.checks.codes",         # code regions decoded, their print judged
    "text": "qel_inspect.checks.text",           # text regions read (OCR) or their print measured
    "content": "qel_inspect.checks.content",     # the content rules of code and text regions
}
DEFAULT = ("compare",)


@dataclass
class Findings:
    defects: list = field(default_factory=list)
    values: dict = field(default_factory=dict)


def load(name):
    """The module of a check; LookupError saying why when there is none."""
    module_name = BUILTIN.get(name, name)
    try:
        module = importlib.import_module(module_name)
    except ImportError as e:
        if name not in BUILTIN and getattr(e, "name", None) == module_name.split(".")[0]:
            raise LookupError("unknown check '%s' (the checks are %s, or a module's dotted name)"
                              % (name, ", ".join(BUILTIN)))
        raise LookupError("check '%s' cannot be loaded (%s)" % (name, e))
    for attr in ("NAME", "parse", "run"):
        if not hasattr(module, attr):
            raise LookupError("module '%s' is not a check (it has no %s)" % (module_name, attr))
    return module


def defect(aligned, kind, description, box_aligned, **extra):
    """A defect found at `box_aligned` (x1, y1, x2, y2 in the standard's
    coordinates), with its box in the camera frame (and its size and place
    in millimetres when the recipe gives px_per_mm)."""
    box = [int(v) for v in box_aligned]
    return in_mm(aligned, Defect(kind, description, aligned.to_frame(box), box,
                                 int(max(box[2] - box[0], box[3] - box[1])), extra))


def in_mm(aligned, found):
    """`found` with its size (and length) in millimetres, and its centre in
    millimetres from the label's top-left corner (from the standard's, for
    a recipe without a label), when the recipe gives px_per_mm."""
    standard = aligned.standard
    k = standard.px_per_mm
    if not k:
        return found
    x1, y1, x2, y2 = found.box_aligned
    origin = standard.label.space.margin if standard.label is not None else 0
    found.extra["size_mm"] = round(found.size / k, 2)
    found.extra["at_mm"] = [round(((x1 + x2) / 2.0 - origin) / k, 2), round(((y1 + y2) / 2.0 - origin) / k, 2)]
    if "length" in found.extra:
        found.extra["length_mm"] = round(found.extra["length"] / k, 2)
    return found
