"""Finding and reading a linear code with zxing-cpp (Debian's
python3-zxing-cpp): which symbology it is, what it holds and where it
lies. The verifier's own reference decode grades it; this reader names the
symbology and gives the text the reference decode must agree with."""
from dataclasses import dataclass
from typing import Optional

import numpy as np

from . import symbologies


@dataclass(frozen=True)
class Read:
    symbology: str          # our name ("code128", "gs1-128", "ean13", ...)
    text: str
    start: float            # where the symbol starts and ends along the scan (rows of the image given)
    end: float


def _formats(zxingcpp, names):
    if not names:
        return zxingcpp.LinearCodes
    out = None
    for name in names:
        f = getattr(zxingcpp, symbologies.SYMBOLOGIES[name].reader)
        out = f if out is None else out | f
    return out


def read(image: np.ndarray, symbologies_wanted=()) -> Optional[Read]:
    """The graded linear code in `image` (grey, bars dark, running across
    it: a scan is a column); None when there is none. `symbologies_wanted`
    narrows the search to those symbologies."""
    import zxingcpp
    turned = np.ascontiguousarray(image.T)          # the reader scans rows
    # One symbol, not read_barcodes: Debian's 1.4 aborts the process (a
    # failed assertion) when it merges the readings of a blurred EAN code
    # from several rows into a list.
    r = zxingcpp.read_barcode(turned, formats=_formats(zxingcpp, symbologies_wanted), try_rotate=False,
                              try_downscale=False)
    if r is None or not r.valid:
        return None
    try:
        name = symbologies.from_reader(r.format.name, r.symbology_identifier)
    except KeyError:
        return None
    xs = [p.x for p in (r.position.top_left, r.position.top_right, r.position.bottom_left, r.position.bottom_right)]
    return Read(name, r.text, float(min(xs)), float(max(xs)))
