"""The verifier's grade of the linear code: scan reflectance profiles
across the bars, each parameter graded 4-0, the symbol grade the mean of
the profiles' grades (see qel_inspect.verify). A grade below `min_grade`
is a defect naming the weakest parameter; a code no scan decodes is one
too. Every record gets the grade, its letter, each parameter's mean and
worst value, the symbology and the decoded text; and, for a frame whose
reference decode does not read the standard's text, what the code reader
(zxing-cpp) reads there: where the two read different texts, that is a
`decode mismatch` defect.

    [grade]
    min_grade = 1.5            # lowest grade passed (a number 0-4, or "A".."D")
    scans = 10                 # scan profiles over the middle 80 % of the bars
    aperture = 0.5             # side of the square aperture, modules
    paper_reflectance = 1.0    # the paper's reflectance, when it is known
    black_level = 0            # the camera's grey level for no light
"""
from dataclasses import dataclass

from .. import symbol, validate
from ..pipeline import rounded
from ..verify import verifier
from . import Findings, defect

NAME = "grade"
KEYS = ("min_grade", "scans", "aperture", "paper_reflectance", "black_level")
LETTER_GRADES = {"A": 3.5, "B": 2.5, "C": 1.5, "D": 0.5}
DEFAULT_MIN_GRADE = 1.5
# How a parameter is named in a defect's description.
WORDS = {"decode": "decode", "edge_determination": "edge determination", "min_reflectance": "minimum reflectance",
         "symbol_contrast": "symbol contrast", "edge_contrast_min": "minimum edge contrast",
         "modulation": "modulation", "defects": "defects", "decodability": "decodability"}
# The parameters whose mean and worst value each record carries.
RECORDED = ("symbol_contrast", "min_reflectance", "max_reflectance", "edge_contrast_min", "modulation", "defects",
            "decodability")
UNDECODABLE, LOW_GRADE, MISREAD = "undecodable", "low grade", "decode mismatch"


@dataclass(frozen=True)
class Settings:
    min_grade: float = DEFAULT_MIN_GRADE
    scan: symbol.ScanSettings = symbol.ScanSettings()


def min_grade(key, value):
    """A grade as a number from 0 to 4 or as the letter whose lowest grade it is."""
    if isinstance(value, str):
        return LETTER_GRADES[validate.choice(key, value.upper(), tuple(LETTER_GRADES))]
    return validate.number(key, value, 0.0, 4.0)


def parse(table):
    validate.only(NAME, table, KEYS)
    return Settings(min_grade("min_grade", table.get("min_grade", DEFAULT_MIN_GRADE)), symbol.scan_settings(table))


def _value(v):
    return None if v is None else rounded(v)


def run(aligned, settings):
    scans = symbol.scans(aligned, settings.scan)
    lay = symbol.layout(aligned.standard, settings.scan)
    result = verifier.grade_scans(scans)
    # The code reader and the reference decode read the standard alike when
    # its layout was found; where a frame's reference decode reads that same
    # text there is nothing for a second reading to disagree with, so the
    # reader reads the frames that decode otherwise, or not at all.
    read = symbol.read_frame(aligned, settings.scan) if result.decoded != lay.text else None
    values = {"grade": round(result.grade, 2), "grade_letter": result.letter, "symbology": lay.symbology,
              "decoded": result.decoded, "grade_weakest": result.weakest,
              "scans_decoded": sum(s.decoded is not None and s.decoded.error is None for s in scans),
              "scans": len(scans)}
    for name in RECORDED:
        summary = result.parameters[name]
        values[name + "_mean"], values[name + "_worst"] = _value(summary.mean), _value(summary.worst)
    defects = []
    if not result.decodable:
        reasons = [p.reason for p in result.profiles if p.reason]
        defects.append(defect(aligned, UNDECODABLE, "no scan decodes (%s)" % max(set(reasons), key=reasons.count),
                              lay.bars, grade=values["grade"]))
    elif result.grade < settings.min_grade - 1e-9:
        defects.append(defect(aligned, LOW_GRADE, describe(result), lay.bars, grade=values["grade"],
                              parameter=result.weakest))
    if read is not None and result.decoded is not None and read.text != result.decoded:
        defects.append(defect(aligned, MISREAD, "the reference decode reads %r, the code reader %r"
                              % (result.decoded, read.text), lay.bars))
    values["reader_text"] = None if read is None else read.text
    return Findings(defects, values)


def describe(result):
    """"grade D 1.2: modulation 0.46": the grade and its weakest parameter
    at its worst."""
    name = result.weakest
    summary = result.parameters[name]
    if summary.worst is None:
        reasons = [p.reason for p in result.profiles if p.grades[name] == 0 and p.reason]
        detail = "failed" + (" (%s)" % reasons[0] if reasons else "")
    else:
        detail = "%.2f" % summary.worst
    return "grade %s %.1f: %s %s" % (result.letter, result.grade, WORDS[name], detail)
