"""GS1 element strings: parsed into their application identifiers (AIs)
and checked the way a GS1 label must be: the check digits of GTINs, SSCCs
and GLNs, real calendar dates in the date AIs, each value's length and
characters.

A code reads as a run of AI + value, with FNC1 (ASCII GS, 0x1d) after each
value whose length is not fixed by its AI; the human-readable form puts
each AI in parentheses: "(01)09501101530003(17)270630(10)2612A7".
"""
import datetime
import re
from dataclasses import dataclass, field

GS = "\x1d"

# AIs whose element length is fixed by their first two digits (AI and value together).
PREDEFINED = {"00": 20, "01": 16, "02": 16, "03": 16, "04": 18, "11": 8, "12": 8, "13": 8, "14": 8, "15": 8,
              "16": 8, "17": 8, "18": 8, "19": 8, "20": 4, "31": 10, "32": 10, "33": 10, "34": 10, "35": 10,
              "36": 10, "41": 16}

# AI (or its first digits, for families) -> (what it is, value format): "N14" fixed digits,
# "N..8" up to 8 digits, "X..20" up to 20 characters of GS1's set; a trailing "c" marks a check digit.
TABLE = {
    "00": ("SSCC", "N18c"), "01": ("GTIN", "N14c"), "02": ("content GTIN", "N14c"),
    "10": ("batch or lot", "X..20"), "11": ("production date", "D"), "12": ("due date", "D"),
    "13": ("packaging date", "D"), "15": ("best before", "D"), "16": ("sell by", "D"), "17": ("expiry", "D"),
    "20": ("variant", "N2"), "21": ("serial", "X..20"), "22": ("consumer product variant", "X..20"),
    "235": ("third-party serial", "X..28"), "240": ("additional item id", "X..30"),
    "241": ("customer part number", "X..30"), "242": ("made-to-order variation", "N..6"),
    "250": ("secondary serial", "X..30"), "251": ("source entity", "X..30"), "254": ("GLN extension", "X..20"),
    "30": ("variable count", "N..8"), "37": ("count of items", "N..8"),
    "400": ("order number", "X..30"), "401": ("consignment", "X..30"), "402": ("shipment", "N17c"),
    "403": ("routing code", "X..30"), "410": ("ship to GLN", "N13c"), "411": ("bill to GLN", "N13c"),
    "412": ("purchased from GLN", "N13c"), "413": ("ship for GLN", "N13c"), "414": ("location GLN", "N13c"),
    "415": ("invoicing party GLN", "N13c"), "416": ("production GLN", "N13c"),
    "420": ("ship-to postal code", "X..20"), "422": ("country of origin", "N3"),
    "7003": ("expiry date and time", "N10"), "8004": ("GIAI", "X..30"), "8005": ("price per unit", "N6"),
    "8018": ("GSRN", "N18c"), "8020": ("payment slip", "X..25"), "90": ("internal", "X..30"),
}
# Measures: 31nn-36nn (the last digit places the decimal point), six digits.
MEASURE = re.compile(r"3[1-6]\d\d$")
AMOUNT = re.compile(r"39[0-3]\d$")
INTERNAL = re.compile(r"9[1-9]$")
GS1_CHARACTERS = re.compile(r"""[!"%&'()*+,\-./0-9:;<=>?A-Z_a-z]*$""")


@dataclass
class Element:
    ai: str
    value: str
    title: str


@dataclass
class Parsed:
    elements: list = field(default_factory=list)
    problems: list = field(default_factory=list)     # one-line reasons, in the order found

    def get(self, ai):
        return next((e.value for e in self.elements if e.ai == ai), None)

    def human(self):
        """The human-readable form: "(01)…(10)…"."""
        return "".join("(%s)%s" % (e.ai, e.value) for e in self.elements)


def check_digit(digits):
    """The GS1 check digit (mod 10, weights 3 and 1 from the right) of a
    digit string without its check digit."""
    total = sum(int(d) * (3 if i % 2 == 0 else 1) for i, d in enumerate(reversed(digits)))
    return str((10 - total % 10) % 10)


def _known(ai):
    """(title, format) of a known application identifier, or None."""
    if ai in TABLE:
        return TABLE[ai]
    if MEASURE.match(ai):
        return ("measure", "N6")
    if AMOUNT.match(ai):
        return ("amount", "N..15")
    if INTERNAL.match(ai):
        return ("company internal", "X..90")
    return None


def _ai_at(text, i):
    """The AI starting at text[i]: the shortest known one (AIs are prefix-free)."""
    for n in (2, 3, 4):
        candidate = text[i:i + n]
        if len(candidate) == n and candidate.isdigit() and _known(candidate):
            return candidate
    return None


def date(value, today=None):
    """The date of a YYMMDD value (DD 00: the month's last day), with the
    century chosen as GS1 does: within 49 years back and 50 ahead of
    today. None when it is no date."""
    if not re.fullmatch(r"\d{6}", value):
        return None
    today = today or datetime.date.today()
    yy, mm, dd = int(value[:2]), int(value[2:4]), int(value[4:])
    difference = yy - today.year % 100
    century = today.year // 100 * 100
    if difference >= 51:
        century -= 100
    elif difference <= -50:
        century += 100
    year = century + yy
    if not 1 <= mm <= 12:
        return None
    if dd == 0:
        dd = [31, 29 if year % 4 == 0 and (year % 100 or year % 400 == 0) else 28, 31, 30, 31, 30, 31, 31, 30, 31,
              30, 31][mm - 1]
    try:
        return datetime.date(year, mm, dd)
    except ValueError:
        return None


def _check_value(ai, value, fmt, problems, today):
    title = _known(ai)[0]
    if fmt == "D":
        if date(value, today) is None:
            problems.append("(%s) %s %r is not a date YYMMDD" % (ai, title, value))
        return
    m = re.fullmatch(r"([NX])(\.\.)?(\d+)(c?)", fmt)
    kind, variable, length, checked = m.group(1), bool(m.group(2)), int(m.group(3)), bool(m.group(4))
    if (variable and not 1 <= len(value) <= length) or (not variable and len(value) != length):
        problems.append("(%s) %s has %d characters, %s %d" % (ai, title, len(value), "at most" if variable else
                                                             "needs", length))
    elif kind == "N" and not value.isdigit():
        problems.append("(%s) %s %r is not all digits" % (ai, title, value))
    elif kind == "X" and not GS1_CHARACTERS.match(value):
        problems.append("(%s) %s %r has characters outside GS1's set" % (ai, title, value))
    elif checked and check_digit(value[:-1]) != value[-1]:
        problems.append("(%s) %s %s has a wrong check digit (%s, not %s)" % (ai, title, value, value[-1],
                                                                          check_digit(value[:-1])))


def parse(text, today=None):
    """Parse an element string, in its coded form (FNC1 as GS, a leading
    FNC1 or symbology identifier "]C1"/"]d2"/"]Q3"/"]e0" allowed) or its
    human-readable form with parentheses. Every problem found is listed."""
    out = Parsed()
    text = re.sub(r"^\][A-Za-z]\d", "", text or "")
    if text.startswith("("):
        pieces = re.findall(r"\((\d{2,4})\)([^(]*)", text)
        if "".join("(%s)%s" % p for p in pieces) != text:
            out.problems.append("not a GS1 element string in parentheses")
        for ai, value in pieces:
            known = _known(ai)
            if known is None:
                out.problems.append("unknown application identifier (%s)" % ai)
                continue
            out.elements.append(Element(ai, value, known[0]))
            _check_value(ai, value, known[1], out.problems, today)
        return out
    text = text.lstrip(GS)
    i = 0
    while i < len(text):
        ai = _ai_at(text, i)
        if ai is None:
            out.problems.append("unknown application identifier at %r" % text[i:i + 4])
            return out
        title, fmt = _known(ai)
        i += len(ai)
        fixed = PREDEFINED.get(ai[:2])
        if fixed is not None:
            end = i + fixed - 2 - (len(ai) - 2)
        else:
            end = text.find(GS, i)
            end = len(text) if end < 0 else end
        value = text[i:end]
        out.elements.append(Element(ai, value, title))
        _check_value(ai, value, fmt, out.problems, today)
        i = end + (1 if end < len(text) and text[end] == GS else 0)
    if not out.elements:
        out.problems.append("no GS1 element string")
    return out
