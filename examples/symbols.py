"""Bar patterns of the linear symbols the example frames print, from the
symbologies' published encodation tables: Code 128 (code sets B and C,
with FNC1 for GS1-128) and EAN-13; and the module matrices of DataMatrix
and QR symbols, from the maintained encoder.

A pattern is a list of element widths in modules, starting with a bar and
alternating bar, space, bar, ...
"""
from make_samples import CODE128

START_B, START_C, FNC1, CODE_B, CODE_C, STOP = 104, 105, 102, 100, 99, 106

# EAN-13: the left half's digits in odd (L) or even (G) parity, the right
# half's in R; the first digit is carried by the left half's parities.
EAN_L = ("3211", "2221", "2122", "1411", "1132", "1231", "1114", "1312", "1213", "3112")
EAN_G = ("1123", "1222", "2212", "1141", "2311", "1321", "4111", "2131", "3121", "2113")
EAN_PARITY = ("LLLLLL", "LLGLGG", "LLGGLG", "LLGGGL", "LGLLGG", "LGGLLG", "LGGGLL", "LGLGLG", "LGLGGL", "LGGLGL")


def code128_values(data, gs1=False):
    """Symbol values for `data`: code set C for runs of digits, B for the
    rest, FNC1 first for GS1-128; with start, check and stop."""
    values = []
    i, current = 0, None
    while i < len(data):
        run = 0
        while i + run < len(data) and data[i + run].isdigit():
            run += 1
        if run >= 4 or (run >= 2 and run == len(data) - i and current == "C"):
            if current != "C":
                values.append(START_C if current is None else CODE_C)
                current = "C"
            take = run - run % 2
            values += [int(data[j:j + 2]) for j in range(i, i + take, 2)]
            i += take
        else:
            if current != "B":
                values.append(START_B if current is None else CODE_B)
                current = "B"
            values.append(ord(data[i]) - 32)
            i += 1
        if gs1 and len(values) == 1:
            values.append(FNC1)
    if gs1 and len(values) == 1:
        values.append(FNC1)
    check = (values[0] + sum(k * v for k, v in enumerate(values[1:], start=1))) % 103
    return values + [check, STOP]


def code128_pattern(data, gs1=False):
    return [int(w) for v in code128_values(data, gs1) for w in CODE128[v]]


def ean13_check(digits12):
    total = sum(int(d) * (3 if k % 2 else 1) for k, d in enumerate(digits12))
    return str((10 - total % 10) % 10)


def ean13_pattern(digits):
    """The 95-module pattern of a 12- or 13-digit EAN-13 (the check digit
    is computed for 12)."""
    if len(digits) == 12:
        digits += ean13_check(digits)
    if len(digits) != 13 or not digits.isdigit() or ean13_check(digits[:12]) != digits[12]:
        raise ValueError("not an EAN-13: %r" % digits)
    out = [1, 1, 1]           # guard bar, space, bar; then the left half starts with a space
    for d, parity in zip(digits[1:7], EAN_PARITY[int(digits[0])]):
        widths = (EAN_L if parity == "L" else EAN_G)[int(d)]
        out += [int(w) for w in widths]
    out += [1, 1, 1, 1, 1]
    for d in digits[7:]:
        out += [int(w) for w in EAN_L[int(d)]]     # R patterns: L's widths, starting with a bar
    return out + [1, 1, 1]


def runs(pattern):
    """(first module, width) of every bar of a pattern."""
    out, pos = [], 0
    for k, w in enumerate(pattern):
        if k % 2 == 0:
            out.append((pos, w))
        pos += w
    return out, pos


def matrix_modules(symbology, data):
    """The module matrix (1 = dark) of a DataMatrix or QR symbol for
    `data`, without its quiet zone, from the maintained encoder."""
    import numpy as np
    import zxingcpp

    kind = zxingcpp.BarcodeFormat.DataMatrix if symbology == "datamatrix" else zxingcpp.BarcodeFormat.QRCode
    image = np.asarray(zxingcpp.write_barcode(kind, data, 0, 0))
    dark = image < 128
    rows, cols = np.nonzero(dark.any(1))[0], np.nonzero(dark.any(0))[0]
    return dark[rows[0]:rows[-1] + 1, cols[0]:cols[-1] + 1].astype(np.uint8)
