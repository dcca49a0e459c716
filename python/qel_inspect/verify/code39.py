"""Code 39: the reference decode of a two-width symbology.

Each character is five bars and four spaces, three of them wide, followed
by a narrow gap; the start and stop character is '*'. Within a character,
an element is wide when it is wider than the threshold midway between the
narrow and wide widths that the character's width implies at the scan's
wide-to-narrow ratio.
"""
import numpy as np

from .decoding import Decoded, bits, failed, ratio, two_widths, worst

# Wide (1) or narrow (0) of each of the nine elements, bar first.
_CHARS = {
    "0": "000110100", "1": "100100001", "2": "001100001", "3": "101100000", "4": "000110001",
    "5": "100110000", "6": "001110000", "7": "000100101", "8": "100100100", "9": "001100100",
    "A": "100001001", "B": "001001001", "C": "101001000", "D": "000011001", "E": "100011000",
    "F": "001011000", "G": "000001101", "H": "100001100", "I": "001001100", "J": "000011100",
    "K": "100000011", "L": "001000011", "M": "101000010", "N": "000010011", "O": "100010010",
    "P": "001010010", "Q": "000000111", "R": "100000110", "S": "001000110", "T": "000010110",
    "U": "110000001", "V": "011000001", "W": "111000000", "X": "010010001", "Y": "110010000",
    "Z": "011010000", "-": "010000101", ".": "110000100", " ": "011000100", "*": "010010100",
    "$": "010101000", "/": "010100010", "+": "010001010", "%": "000101010",
}
START_STOP = "*"
_LOOKUP = ["" for _ in range(512)]
for _c, _p in _CHARS.items():
    _LOOKUP[int(_p, 2)] = _c


def pattern(char: str) -> str:
    """Wide (1) and narrow (0) of a character's nine elements."""
    return _CHARS[char]


def decode_rows(widths: np.ndarray) -> list:
    m, n = widths.shape
    if n < 29 or (n + 1) % 10:
        return [failed("code39", "%d elements: not a Code 39 symbol" % n)] * m
    chars = np.concatenate((widths, np.zeros((m, 1))), axis=1).reshape(m, -1, 10)[..., :9]
    gaps = widths[:, 9::10]
    n_ratio = ratio(chars, 3)
    is_wide, margins = two_widths(chars, chars.sum(axis=2), 6, 3, n_ratio)
    codes = bits(is_wide)
    x = chars.sum(axis=(1, 2)) / (chars.shape[1] * (6 + 3 * n_ratio))
    decodability = worst(margins)
    out = []
    for i in range(m):
        text = [_LOOKUP[c] for c in codes[i]]
        if "" in text:
            k = text.index("")
            out.append(failed("code39", "character %d: no character is %s" % (k + 1, format(codes[i, k], "09b"))))
        elif text[0] != START_STOP or text[-1] != START_STOP:
            out.append(failed("code39", "no start or stop character"))
        elif START_STOP in text[1:-1]:
            out.append(failed("code39", "a start/stop character inside the data"))
        elif np.any(gaps[i] > 10 * x[i]):
            out.append(failed("code39", "a gap between characters as wide as a quiet zone"))
        else:
            modules = np.empty((chars.shape[1], 10))
            modules[:, :9] = np.where(is_wide[i], n_ratio[i], 1.0)
            modules[:-1, 9] = gaps[i] / x[i]
            out.append(Decoded("code39", "".join(text[1:-1]), float(decodability[i]), modules.ravel()[:n]))
    return out
