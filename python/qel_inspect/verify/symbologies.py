"""The symbologies the verifier grades: how each is decoded, the quiet
zones it needs, and the name the code reader gives it; and the decode of
a symbol's scans, each tried in its order and reversed."""
from dataclasses import dataclass
from typing import Callable, Optional

import numpy as np

from . import code39, code128, ean, itf
from .decoding import Decoded, failed


@dataclass(frozen=True)
class Symbology:
    name: str
    title: str
    decode_rows: Callable     # scans of one element count (one a row) -> a Decoded each
    quiet: tuple              # quiet zones (modules) before and after the symbol as read
    reader: str               # zxingcpp's BarcodeFormat name


SYMBOLOGIES = {s.name: s for s in (
    Symbology("code128", "Code 128", code128.decode_rows, (10, 10), "Code128"),
    Symbology("gs1-128", "GS1-128", code128.decode_rows, (10, 10), "Code128"),
    Symbology("ean13", "EAN-13", ean.decode_ean13_rows, (11, 7), "EAN13"),
    Symbology("upca", "UPC-A", ean.decode_upca_rows, (9, 9), "UPCA"),
    Symbology("ean8", "EAN-8", ean.decode_ean8_rows, (7, 7), "EAN8"),
    Symbology("upce", "UPC-E", ean.decode_upce_rows, (9, 7), "UPCE"),
    Symbology("code39", "Code 39", code39.decode_rows, (10, 10), "Code39"),
    Symbology("itf", "Interleaved 2 of 5", itf.decode_rows, (10, 10), "ITF"),
)}
# A GS1-128 symbol is read as a Code 128 one whose symbology identifier says so.
_BY_READER = {s.reader: s.name for s in SYMBOLOGIES.values() if s.name != "gs1-128"}


def from_reader(format_name: str, identifier: str = "") -> str:
    """Our name of a symbology as the code reader names it; KeyError for
    one not graded here."""
    name = _BY_READER[format_name]
    return "gs1-128" if name == "code128" and identifier == "]C1" else name


def _accept(name, found, widths, quiet, module):
    """`found` (a reading of the scan) as the decode of symbology `name`:
    the right kind of Code 128, and quiet zones (`quiet`, as scanned) as
    wide as the symbology asks, less half a module for the edges' own
    uncertainty. None, and why not, when it is not."""
    symbology = SYMBOLOGIES[name]
    if found.symbology in ("code128", "gs1-128") and found.symbology != name:
        return "a %s symbol, not %s" % (SYMBOLOGIES[found.symbology].title, symbology.title)
    if quiet is not None:
        x = module if module is not None else float(np.sum(widths)) / found.modules.sum()
        lead, trail = quiet[::-1] if found.reversed else quiet
        need_lead, need_trail = symbology.quiet
        if lead < (need_lead - 0.5) * x or trail < (need_trail - 0.5) * x:
            return "quiet zone %.1f and %.1f modules, %d and %d needed" % (lead / x, trail / x, need_lead, need_trail)
    return None


def decode_all(name: str, scans: list, module: Optional[float] = None) -> list:
    """The reference decode of each scan: (widths, quiet) pairs, widths of
    the elements bar first (quiet zones left out), quiet the widths of the
    quiet zones as scanned (None: not checked; needs `module`, the narrow
    element width; by default the mean module of the scan). Each scan is read in its order and, failing that,
    reversed. Never raises: a failure is a Decoded with `error` set."""
    symbology = SYMBOLOGIES[name]
    out = [None] * len(scans)
    groups = {}
    for i, (widths, _) in enumerate(scans):
        groups.setdefault(len(widths), []).append(i)
    for members in groups.values():
        rows = np.array([scans[i][0] for i in members], np.float64)
        forward = symbology.decode_rows(rows)
        retry = []
        for i, found in zip(members, forward):
            why = found.error or _accept(name, found, scans[i][0], scans[i][1], module)
            if why is None:
                out[i] = found
            else:
                out[i] = failed(name, why)
                retry.append(i)
        if retry:
            backward = symbology.decode_rows(np.array([scans[i][0][::-1] for i in retry], np.float64))
            for i, found in zip(retry, backward):
                found.reversed = True
                why = found.error or _accept(name, found, scans[i][0], scans[i][1], module)
                if why is None:
                    out[i] = found
                elif out[i].error != why:
                    out[i] = failed(name, "%s; reversed: %s" % (out[i].error, why))
    return out


def decode(name: str, widths, quiet=None, module=None) -> Decoded:
    """The reference decode of one scan (see decode_all)."""
    return decode_all(name, [(np.asarray(widths, np.float64), quiet)], module)[0]
