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
    coordinates), with its box in the camera frame."""
    box = [int(v) for v in box_aligned]
    return Defect(kind, description, box, aligned.to_frame(box),
                  int(max(box[2] - box[0], box[3] - box[1])), extra)
