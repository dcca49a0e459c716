"""Grading the linear code of a grey image: where it lies (found and named
by the code reader; the bars' extent along their length; the module and
reading direction from the reference decode), the scans across it, and
their grades.

The image has the bars dark and running across it, so a scan is a column.
Scans are spread over the middle 80 % of the bars' length and reach the
symbology's quiet zones (and a module more) beyond the outer bars.
"""
from dataclasses import dataclass
from typing import Optional

import numpy as np

from . import grade, profile, reader, scan, symbologies
from .decoding import Decoded


class NotFound(ValueError):
    """No graded linear code could be found or read; str() says why."""


@dataclass(frozen=True)
class Geometry:
    symbology: str
    text: Optional[str]                # what the code reader read
    bars: tuple                        # (x1, y1, x2, y2): the bars together
    xs: tuple                          # scan columns
    y1: int                            # scans run over rows y1..y2-1
    y2: int
    module: float                      # pixels (the narrow element of a two-width symbology)
    aperture: int                      # pixels
    reversed: bool                     # the symbol reads from the bottom up
    modules: tuple                     # nominal width of each element in modules, in scan order (top down)


@dataclass
class Scan:
    x: int
    reflectance: np.ndarray            # the profile, rows y1..y2-1
    measured: profile.Measured
    decoded: Optional[Decoded]         # None when the edges failed


def bar_extent(image: np.ndarray, y1: int, y2: int) -> tuple:
    """Columns (x1, x2) the bars of rows y1..y2-1 run over: the longest
    stretch of columns that are dark for at least half as many of those
    rows as the darkest column."""
    band = image[y1:y2]
    level = (float(band.min()) + float(band.max())) / 2.0
    dark = (band < level).mean(axis=0)
    inside = dark >= dark.max() / 2.0
    edges = np.flatnonzero(np.diff(np.concatenate(([0], inside.astype(np.int8), [0]))))
    starts, ends = edges[0::2], edges[1::2]
    k = int(np.argmax(ends - starts))
    return int(starts[k]), int(ends[k])


def _dark_rows(image):
    """The first and last rows with a sample darker than midway between the
    image's extremes."""
    rows = np.flatnonzero((image < (float(image.min()) + float(image.max())) / 2.0).any(axis=1))
    return int(rows[0]), int(rows[-1])


def locate(image: np.ndarray, scans: int = 10, aperture: float = 0.5, region: Optional[tuple] = None,
           symbology: Optional[str] = None) -> Geometry:
    """Where the graded linear code of `image` lies, and its scan lines;
    NotFound when there is none the reference decode reads. With `region`
    (x1, y1, x2, y2) the code is looked for there, and the scans still
    reach beyond it into the quiet zones. The code reader finds and names
    the code; where it reads nothing, a code of `symbology` is taken to
    span the dark rows of the region."""
    h = image.shape[0]
    rx1, ry1, rx2, ry2 = region or (0, 0, image.shape[1], h)
    found = reader.read(image[ry1:ry2, rx1:rx2])
    if found is None:
        if symbology is None:
            raise NotFound("no barcode of a graded symbology (%s) could be read"
                           % ", ".join(s.title for s in symbologies.SYMBOLOGIES.values() if s.name != "gs1-128"))
        found = reader.Read(symbology, None, *_dark_rows(image[ry1:ry2, rx1:rx2]))
    start, end = int(found.start) + ry1, int(np.ceil(found.end)) + ry1
    x1, x2 = bar_extent(image[:, rx1:rx2], start, end + 1)
    x1, x2 = x1 + rx1, x2 + rx1
    # One scan through the middle finds the outer bars' edges and, read by
    # the reference decode, the module and the direction.
    margin = max(4, (end - start) // 50)
    lo, hi = max(0, start - margin), min(h, end + margin + 1)
    m = profile.measure(scan.profiles(image, [(x1 + x2) // 2], lo, hi)[0])
    decoded = symbologies.decode(found.symbology, m.widths) if m.error is None else None
    if decoded is None or decoded.error:
        raise NotFound("the %s cannot be read by its reference decode (%s)"
                       % (symbologies.SYMBOLOGIES[found.symbology].title, m.error if decoded is None
                          else decoded.error))
    if found.text is not None and decoded.text != found.text:
        raise NotFound("the reference decode reads %r, the code reader %r" % (decoded.text, found.text))
    first, last = lo + m.edges[0], lo + m.edges[-1]
    module = (last - first) / decoded.modules.sum()
    lead, trail = symbologies.SYMBOLOGIES[found.symbology].quiet
    if decoded.reversed:
        lead, trail = trail, lead
    y1 = max(0, int(np.floor(first - (lead + 1) * module)))
    y2 = min(h, int(np.ceil(last + (trail + 1) * module)))
    length = x2 - x1
    xs = tuple(int(round(x)) for x in np.linspace(x1 + 0.1 * length, x2 - 0.1 * length, scans))
    nominal = decoded.modules[::-1] if decoded.reversed else decoded.modules
    return Geometry(decoded.symbology, found.text, (x1, int(first), x2, int(np.ceil(last))), xs, y1, y2,
                    float(module), max(1, int(round(aperture * module))), decoded.reversed,
                    tuple(float(v) for v in nominal))


def scan_symbol(image: np.ndarray, where: Geometry, black: float = 0.0, paper_reflectance: float = 1.0) -> list:
    """The scans of `image` along the scan lines of `where`, measured and
    decoded."""
    rows = scan.profiles(image, where.xs, where.y1, where.y2, where.aperture, black, paper_reflectance)
    measured = profile.measure_all(rows)
    usable = [i for i, m in enumerate(measured) if m.error is None]
    decoded = dict(zip(usable, symbologies.decode_all(
        where.symbology, [(measured[i].widths, measured[i].quiet) for i in usable], where.module)))
    return [Scan(x, r, m, decoded.get(i)) for i, (x, r, m) in enumerate(zip(where.xs, rows, measured))]


def grade_scans(scans: list) -> grade.SymbolGrade:
    return grade.grade_symbol([grade.grade_profile(s.measured, s.decoded) for s in scans])


def verify_image(image: np.ndarray, scans: int = 10, aperture: float = 0.5, black: float = 0.0,
                 paper_reflectance: float = 1.0, symbology: Optional[str] = None) -> grade.SymbolGrade:
    """The grade of the linear code in `image` (grey, bars dark, running
    across it); NotFound when there is none (see locate for `symbology`)."""
    return grade_scans(scan_symbol(image, locate(image, scans, aperture, symbology=symbology), black,
                                   paper_reflectance))
