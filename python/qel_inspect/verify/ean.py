"""EAN-13, UPC-A, EAN-8 and UPC-E: the reference decode from
edge-to-similar-edge distances.

Each character is two bars and two spaces over 7 modules. Its two
distances (first element + second, second + third) rounded to whole
modules against the character width name it and its parity set, except
for 1/7 and 2/8 (in each set), which share their distances and are told
apart by the sum of their second and fourth elements (the bars of a
left-hand character), one module either side of the threshold between
them. Guard patterns must read as one-module elements.
"""
import numpy as np

from .decoding import Decoded, failed, similar_edges, worst

# Left-hand characters of set A (odd parity), as 7 modules, space first.
_A = ("0001101", "0011001", "0010011", "0111101", "0100011", "0110001", "0101111", "0111011", "0110111",
      "0001011")
# Set C (right-hand) is set A inverted; set B (even parity) is set C reversed.
_C = tuple("".join("1" if b == "0" else "0" for b in a) for a in _A)
_B = tuple(c[::-1] for c in _C)
# The first digit of an EAN-13, from the sets of its six left-hand characters.
_FIRST = {"AAAAAA": 0, "AABABB": 1, "AABBAB": 2, "AABBBA": 3, "ABAABB": 4, "ABBAAB": 5, "ABBBAA": 6,
          "ABABAB": 7, "ABABBA": 8, "ABBABA": 9}
# UPC-E: the check digit from the sets of its six characters (number system 0;
# number system 1 takes the other set throughout).
_UPCE = {"BBBAAA": 0, "BBABAA": 1, "BBAABA": 2, "BBAAAB": 3, "BABBAA": 4, "BAABBA": 5, "BAAABB": 6,
         "BABABA": 7, "BABAAB": 8, "BAABAB": 9}
SETS = "ABC"


def _runs(bits):
    out, n = [], 1
    for a, b in zip(bits, bits[1:]):
        if a == b:
            n += 1
        else:
            out.append(n)
            n = 1
    return out + [n]


def _table(sets):
    """Distances (T1, T2), each 2..5, as one index -> up to two candidates:
    set, digit, modules of the second and fourth elements (-1: none)."""
    table = np.full((2, 16, 3), -1)
    for name, chars in sets:
        for digit, bits in enumerate(chars):
            w = _runs(bits)
            k = (w[0] + w[1] - 2) * 4 + w[1] + w[2] - 2
            slot = 0 if table[0, k, 0] < 0 else 1
            table[slot, k] = (SETS.index(name), digit, w[1] + w[3])
    return table


_LEFT = _table((("A", _A), ("B", _B)))
_RIGHT = _table((("C", _C),))
# Modules of each (set, digit) character's four elements.
_WIDTHS = {(SETS.index(n), d): _runs(bits) for n, chars in (("A", _A), ("B", _B), ("C", _C))
           for d, bits in enumerate(chars)}


def _characters(chars, table):
    """Sets and digits of characters (scans, characters, 4 elements), the
    margins of their measurements, and why each scan fails (None: it reads)."""
    whole, margins = similar_edges(chars, 7)
    valid = ((whole >= 2) & (whole <= 5)).all(axis=2)
    key = np.where(valid, (whole[..., 0] - 2) * 4 + whole[..., 1] - 2, 0)
    first, second = table[0][key], table[1][key]
    t = chars.sum(axis=2)
    pair = (chars[..., 1] + chars[..., 3]) * 7 / t
    # Where two characters share the distances, the threshold between their
    # element sums lies midway, one module from each.
    mid = (first[..., 2] + second[..., 2]) / 2.0
    two = second[..., 0] >= 0
    take_second = two & ((pair < mid) != (first[..., 2] < mid))
    chosen = np.where(take_second[..., None], second, first)
    extra = np.where(two, np.minimum(np.abs(pair - mid), 1.0), 1.0)
    why = []
    for i in range(chars.shape[0]):
        bad = np.flatnonzero(~valid[i] | (first[i, :, 0] < 0))
        why.append(None if not bad.size else "character %d: no character has the distances %s"
                   % (bad[0] + 1, tuple(whole[i, bad[0]])))
    return chosen[..., 0], chosen[..., 1], [margins, extra], why


def _guards(widths, count, guards):
    """Why each scan's guards fail (None: they read as one-module elements)."""
    x = widths.sum(axis=1) / count
    out = [None] * widths.shape[0]
    for name, start, length in guards:
        part = widths[:, start:start + length]
        pairs = (part[:, :-1] + part[:, 1:]) / x[:, None]
        bad = np.abs(pairs - 2.0).max(axis=1) >= 0.5
        for i in np.flatnonzero(bad):
            out[i] = out[i] or "the %s guard does not read as one-module elements" % name
    return out


def _check_digit(digits):
    """The check digit of the digits before it (weights 3 and 1 from the right)."""
    total = sum(d * (3 if i % 2 == 0 else 1) for i, d in enumerate(reversed(digits)))
    return (10 - total % 10) % 10


def _halves(name, widths, count, allowed):
    """Scans of a symbol of two halves of `count` characters each: per scan
    (digits, left sets as text, decodability, modules) or a failed Decoded."""
    m, n = widths.shape
    need = 3 + 4 * count + 5 + 4 * count + 3
    if n != need:
        return [failed(name, "%d elements, not the %d of this symbol" % (n, need))] * m
    centre = 3 + 4 * count
    guard_fail = _guards(widths, 3 + 14 * count + 8,
                         (("left", 0, 3), ("centre", centre, 5), ("right", n - 3, 3)))
    lset, ldig, lmarg, lwhy = _characters(widths[:, 3:centre].reshape(m, count, 4), _LEFT)
    rset, rdig, rmarg, rwhy = _characters(widths[:, centre + 5:n - 3].reshape(m, count, 4), _RIGHT)
    dec = worst(*lmarg, *rmarg)
    out = []
    for i in range(m):
        why = guard_fail[i] or lwhy[i] or rwhy[i]
        sets = "".join(SETS[s] for s in lset[i])
        if why is None and any(c not in allowed for c in sets):
            why = "a left-hand character of set %s" % next(c for c in sets if c not in allowed)
        if why:
            out.append(failed(name, why))
            continue
        widths_m = [1] * 3 + [w for s, d in zip(lset[i], ldig[i]) for w in _WIDTHS[(s, d)]] + [1] * 5 + \
            [w for s, d in zip(rset[i], rdig[i]) for w in _WIDTHS[(s, d)]] + [1] * 3
        out.append((list(ldig[i]) + list(rdig[i]), sets, float(dec[i]), np.array(widths_m, np.float64)))
    return out


def decode_ean13_rows(widths: np.ndarray, name="ean13") -> list:
    out = []
    for r in _halves(name, widths, 6, "AB"):
        if isinstance(r, Decoded):
            out.append(r)
            continue
        digits, sets, dec, modules = r
        first = _FIRST.get(sets)
        if first is None:
            out.append(failed(name, "the left half's parity %s names no first digit" % sets))
            continue
        digits = [first] + digits
        if _check_digit(digits[:-1]) != digits[-1]:
            out.append(failed(name, "the check digit does not check"))
            continue
        text = "".join(map(str, digits))
        if name == "upca":
            if first != 0:
                out.append(failed(name, "an EAN-13 symbol, not a UPC-A one"))
                continue
            text = text[1:]
        out.append(Decoded(name, text, dec, modules))
    return out


def decode_upca_rows(widths: np.ndarray) -> list:
    return decode_ean13_rows(widths, "upca")


def decode_ean8_rows(widths: np.ndarray) -> list:
    out = []
    for r in _halves("ean8", widths, 4, "A"):
        if isinstance(r, Decoded):
            out.append(r)
            continue
        digits, _, dec, modules = r
        if _check_digit(digits[:-1]) != digits[-1]:
            out.append(failed("ean8", "the check digit does not check"))
            continue
        out.append(Decoded("ean8", "".join(map(str, digits)), dec, modules))
    return out


def _upce_to_upca(ns, d):
    """The UPC-A digits (without check) a UPC-E symbol stands for."""
    last = d[5]
    if last <= 2:
        body = d[0:2] + [last, 0, 0, 0, 0] + d[2:5]
    elif last == 3:
        body = d[0:3] + [0, 0, 0, 0, 0] + d[3:5]
    elif last == 4:
        body = d[0:4] + [0, 0, 0, 0, 0] + [d[4]]
    else:
        body = d[0:5] + [0, 0, 0, 0] + [last]
    return [ns] + body


def decode_upce_rows(widths: np.ndarray) -> list:
    m, n = widths.shape
    if n != 3 + 24 + 6:
        return [failed("upce", "%d elements, not the 33 of a UPC-E symbol" % n)] * m
    guard_fail = _guards(widths, 51, (("left", 0, 3), ("right", n - 6, 6)))
    sets_a, digs, marg, why = _characters(widths[:, 3:27].reshape(m, 6, 4), _LEFT)
    dec = worst(*marg)
    out = []
    for i in range(m):
        fail = guard_fail[i] or why[i]
        if fail:
            out.append(failed("upce", fail))
            continue
        sets = "".join(SETS[s] for s in sets_a[i])
        digits = [int(d) for d in digs[i]]
        if sets in _UPCE:
            ns, check = 0, _UPCE[sets]
        elif sets.translate(str.maketrans("AB", "BA")) in _UPCE:
            ns, check = 1, _UPCE[sets.translate(str.maketrans("AB", "BA"))]
        else:
            out.append(failed("upce", "the parity %s names no number system and check digit" % sets))
            continue
        if _check_digit(_upce_to_upca(ns, digits)) != check:
            out.append(failed("upce", "the check digit does not check"))
            continue
        modules = np.array([1] * 3 + [w for s, d in zip(sets_a[i], digs[i]) for w in _WIDTHS[(s, d)]] + [1] * 6,
                           np.float64)
        out.append(Decoded("upce", "%d%s%d" % (ns, "".join(map(str, digits)), check), float(dec[i]), modules))
    return out
