"""Interleaved 2 of 5: the reference decode of a two-width symbology.

Characters come in pairs: the five bars of a pair are the first digit,
its five spaces the second, two of each five wide. Within a pair an
element is wide when it is wider than the threshold midway between the
narrow and wide widths that the pair's width (from its first bar to the
next pair's) implies at the scan's wide-to-narrow ratio. The start is
four narrow elements, the stop a wide bar, a narrow space and a narrow
bar.
"""
import numpy as np

from .decoding import Decoded, bits, failed, ratio, two_widths, worst

_DIGITS = ("00110", "10001", "01001", "11000", "00101", "10100", "01100", "00011", "10010", "01010")
_LOOKUP = np.full(32, -1)
for _d, _p in enumerate(_DIGITS):
    _LOOKUP[int(_p, 2)] = _d


def pattern(digit: int) -> str:
    return _DIGITS[digit]


def decode_rows(widths: np.ndarray) -> list:
    m, n = widths.shape
    if n < 4 + 10 + 3 or (n - 7) % 10:
        return [failed("itf", "%d elements: not an Interleaved 2 of 5 symbol" % n)] * m
    pairs = widths[:, 4:-3].reshape(m, -1, 10)
    bars, spaces = pairs[..., 0::2], pairs[..., 1::2]
    n_ratio = ratio(np.concatenate((bars, spaces), axis=1), 2)
    pitch = pairs.sum(axis=2) / 2
    wide_b, margin_b = two_widths(bars, pitch, 3, 2, n_ratio)
    wide_s, margin_s = two_widths(spaces, pitch, 3, 2, n_ratio)
    digits = np.stack((_LOOKUP[bits(wide_b)], _LOOKUP[bits(wide_s)]), axis=2).reshape(m, -1)
    # Start and stop against the narrow width of the pairs.
    x = pitch.mean(axis=1) / (3 + 2 * n_ratio)
    threshold = x * (1 + n_ratio) / 2
    start, stop = widths[:, :4], widths[:, -3:]
    t, xx = threshold[:, None], x[:, None]
    ends = np.concatenate(((t - start) / (t - xx), (stop[:, :1] - t) / (xx * n_ratio[:, None] - t),
                           (t - stop[:, 1:]) / (t - xx)), axis=1)
    decodability = worst(margin_b, margin_s, ends)
    out = []
    for i in range(m):
        bad = np.flatnonzero(digits[i] < 0)
        if bad.size:
            k = bad[0]
            code = (wide_b if k % 2 == 0 else wide_s)[i, k // 2]
            flags = "".join("1" if w else "0" for w in code)
            out.append(failed("itf", "pair %d: no digit is %s" % (k // 2 + 1, flags)))
        elif np.any(start[i] >= threshold[i]):
            out.append(failed("itf", "the start pattern is not four narrow elements"))
        elif stop[i, 0] <= threshold[i] or np.any(stop[i, 1:] >= threshold[i]):
            out.append(failed("itf", "the stop pattern is not a wide bar and two narrow elements"))
        else:
            inner = np.empty(pairs.shape[1:])
            inner[:, 0::2] = np.where(wide_b[i], n_ratio[i], 1.0)
            inner[:, 1::2] = np.where(wide_s[i], n_ratio[i], 1.0)
            modules = np.concatenate(([1.0] * 4, inner.ravel(), [n_ratio[i], 1.0, 1.0]))
            out.append(Decoded("itf", "".join(map(str, digits[i])), float(decodability[i]), modules))
    return out
