"""The shift-tolerant pixel comparison of the aligned frame with the
standard: a pixel that differs at its own place and at every shift up to
`max_shift` is a defect, reported when its spot reaches `dirty_width`.
Its settings are the recipe's top-level `max_shift`, `threshold` and
`dirty_width`."""
from dataclasses import dataclass

from .. import pipeline
from . import Findings

NAME = "compare"
TOP_LEVEL = ("max_shift", "threshold", "dirty_width")


@dataclass(frozen=True)
class Settings:
    max_shift: int
    threshold: int
    dirty_width: int


def parse(table):
    return Settings(*(table[k] for k in TOP_LEVEL))


def run(aligned, settings):
    return Findings(pipeline.judge(aligned, settings.max_shift, settings.threshold, settings.dirty_width))
