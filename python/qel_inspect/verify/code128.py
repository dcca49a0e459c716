"""Code 128 (and GS1-128, a Code 128 whose data starts with FNC1): the
reference decode from edge-to-similar-edge distances.

Each character is three bars and three spaces over 11 modules. Its four
distances (bar+space, space+bar, ...) rounded to whole modules against
the character width name it; the sum of its bars, within 1.75 modules of
the character's own, checks it. The stop pattern is a character followed
by a two-module bar.
"""
import functools

import numpy as np

from .decoding import Decoded, failed, similar_edges, worst

# Widths (bar, space, bar, space, bar, space) in modules of symbol values
# 0..105, and the stop pattern (106) with its final bar.
PATTERNS = (
    "212222 222122 222221 121223 121322 131222 122213 122312 132212 221213 "
    "221312 231212 112232 122132 122231 113222 123122 123221 223211 221132 "
    "221231 213212 223112 312131 311222 321122 321221 312212 322112 322211 "
    "212123 212321 232121 111323 131123 131321 112313 132113 132311 211313 "
    "231113 231311 112133 112331 132131 113123 113321 133121 313121 211331 "
    "231131 213113 213311 213131 311123 311321 331121 312113 312311 332111 "
    "314111 221411 431111 111224 111422 121124 121421 141122 141221 112214 "
    "112412 122114 122411 142112 142211 241211 221114 413111 241112 134111 "
    "111242 121142 121241 114212 124112 124211 411212 421112 421211 212141 "
    "214121 412121 111143 111341 131141 114113 114311 411113 411311 113141 "
    "114131 311141 411131 211412 211214 211232 2331112"
).split()
START_A, START_B, START_C, STOP = 103, 104, 105, 106
FNC1, FNC2, FNC3 = 102, 97, 96
SHIFT = 98
GS = "\x1d"       # how an FNC1 inside the data is passed on

# Distances E1..E4 (each 2..7) as one index -> symbol value and its bar modules.
_VALUE = np.full(6 ** 4, -1)
_BARS = np.zeros(6 ** 4)
for _v, _p in enumerate(PATTERNS):
    _w = [int(c) for c in _p[:6]]
    _k = (((_w[0] + _w[1] - 2) * 6 + _w[1] + _w[2] - 2) * 6 + _w[2] + _w[3] - 2) * 6 + _w[3] + _w[4] - 2
    _VALUE[_k], _BARS[_k] = _v, _w[0] + _w[2] + _w[4]


def _text(data):
    """The data of the symbol values from start to check character
    (excluded); (text, whether FNC1 leads)."""
    code = {START_A: "A", START_B: "B", START_C: "C"}[data[0]]
    out, gs1, shift, fnc4_once, fnc4_latch = [], False, False, False, False
    for pos, v in enumerate(data[1:]):
        current = ("B" if code == "A" else "A") if shift else code
        shift = False
        if v == FNC1:
            if pos == 0:
                gs1 = True
            else:
                out.append(GS)
            continue
        if current == "C":
            if v < 100:
                out.append("%02d" % v)
            elif v == 100:
                code = "B"
            elif v == 101:
                code = "A"
            continue
        if v in (FNC2, FNC3):
            continue
        if v == SHIFT:
            shift = True
            continue
        if v == 99:
            code = "C"
            continue
        if (current, v) in (("A", 100), ("B", 101)):
            code = "B" if current == "A" else "A"
            continue
        if (current, v) in (("A", 101), ("B", 100)):
            # FNC4: one extended character, or twice in a row to latch.
            if fnc4_once:
                fnc4_latch, fnc4_once = not fnc4_latch, False
            else:
                fnc4_once = True
            continue
        ch = v + 32 if current == "B" or v < 64 else v - 64
        if fnc4_once != fnc4_latch:
            ch += 128
        fnc4_once = False
        out.append(chr(ch))
    return "".join(out), gs1


@functools.lru_cache(maxsize=256)
def _read(values):
    """(symbology, text) of symbol values, or (None, why not)."""
    if values[0] not in (START_A, START_B, START_C):
        return None, "no start character"
    if values[-1] != STOP:
        return None, "no stop character"
    data = values[:-2]
    if len(data) < 2:
        return None, "no data"
    if any(v >= START_A for v in values[1:-1]):
        return None, "a start or stop character inside the data"
    check = (data[0] + sum(i * v for i, v in enumerate(data[1:], 1))) % 103
    if check != values[-2]:
        return None, "the check character is %d, the data make it %d" % (values[-2], check)
    text, gs1 = _text(data)
    return ("gs1-128" if gs1 else "code128"), text


@functools.lru_cache(maxsize=256)
def modules(values: tuple) -> np.ndarray:
    """Nominal widths (modules) of every element of these symbol values
    (shared: not to be changed)."""
    return np.array([int(c) for v in values for c in PATTERNS[v]], np.float64)


def decode_rows(widths: np.ndarray) -> list:
    """Read scans of one element count (one a row, in the order given)."""
    m, n = widths.shape
    if n < 6 * 3 + 7 or (n - 7) % 6:
        return [failed("code128", "%d elements: not a Code 128 symbol" % n)] * m
    chars = widths[:, :-1].reshape(m, -1, 6)
    whole, margins = similar_edges(chars, 11)
    valid = ((whole >= 2) & (whole <= 7)).all(axis=2)
    key = (((whole[..., 0] - 2) * 6 + whole[..., 1] - 2) * 6 + whole[..., 2] - 2) * 6 + whole[..., 3] - 2
    key = np.where(valid, key, 0)
    values = np.where(valid, _VALUE[key], -1)
    p = chars.sum(axis=2)
    bars = (chars[..., 0] + chars[..., 2] + chars[..., 4]) * 11 / p
    checked = np.abs(bars - _BARS[key]) < 1.75
    final = widths[:, -1] * 11 / p[:, -1]
    decodability = worst(margins).tolist()
    named, whole_ok = (values >= 0).all(axis=1), checked.all(axis=1)
    rows = values.tolist()
    out = []
    for i in range(m):
        if not named[i]:
            bad = int(np.flatnonzero(values[i] < 0)[0])
            out.append(failed("code128", "character %d: no character has the distances %s"
                              % (bad + 1, tuple(whole[i, bad].tolist()))))
            continue
        if not whole_ok[i]:
            bad = int(np.flatnonzero(~checked[i])[0])
            out.append(failed("code128", "character %d: its bars (%.2f modules) do not check"
                              % (bad + 1, bars[i, bad])))
            continue
        if not 1.5 <= final[i] < 2.5:
            out.append(failed("code128", "the stop pattern's last bar is %.2f modules" % final[i]))
            continue
        found = tuple(rows[i])
        name, text = _read(found)
        out.append(Decoded(name, text, decodability[i], modules(found)) if name
                   else failed("code128", text))
    return out
