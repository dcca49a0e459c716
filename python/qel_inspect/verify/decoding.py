"""What a reference decode gives, and the measurements the symbologies'
reference decodes share: edge-to-similar-edge distances in modules for
the symbologies of many widths, a threshold between narrow and wide for
those of two. Every decode takes the scans of one symbol together, one a
row (each row's elements bar first, quiet zones left out).

Decodability is the share of its margin the worst measurement keeps: 1.0
when every measurement is nominal, 0.0 when one sits on its decode
threshold.
"""
from dataclasses import dataclass
from typing import Optional

import numpy as np


class DecodeError(ValueError):
    """A scan the reference decode cannot read; str() says where it stopped."""


@dataclass
class Decoded:
    symbology: str                       # as read: "gs1-128" for a Code 128 whose data starts with FNC1
    text: Optional[str]
    decodability: float = 0.0
    modules: Optional[np.ndarray] = None # nominal width of each element between the quiet zones, in modules
    reversed: bool = False               # read from the far end of the scan
    error: Optional[str] = None


def failed(symbology: str, why: str) -> Decoded:
    return Decoded(symbology, None, 0.0, error=why)


def similar_edges(chars: np.ndarray, n: int):
    """Edge-to-similar-edge distances of characters of `n` modules.

    `chars` holds characters along its last-but-one axis, their elements
    along the last; a character's width p is the sum of its elements.
    Returns the distances rounded to whole modules (as the reference decode
    does: 1.5p/n up to 2.5p/n is 2, and so on) and each one's margin, 0.5
    module from a threshold being 1.0."""
    p = chars.sum(axis=-1, keepdims=True)
    e = (chars[..., :-2] + chars[..., 1:-1]) * n / p
    whole = np.floor(e + 0.5)
    return whole.astype(int), (0.5 - np.abs(e - whole)) / 0.5


def ratio(widths: np.ndarray, wide: int) -> np.ndarray:
    """The wide-to-narrow ratio of each scan (first axis), of characters
    (second axis) with `wide` wide elements each (last axis), taking each
    character's widest elements as its wide ones."""
    order = np.sort(widths, axis=-1)
    return order[..., -wide:].mean(axis=(-2, -1)) / order[..., :-wide].mean(axis=(-2, -1))


def two_widths(widths: np.ndarray, pitch: np.ndarray, narrow: int, wide: int, n_ratio: np.ndarray):
    """Wide (True) or narrow of every element of two-width characters
    (scans, characters, elements), and the margins.

    A character's nominal narrow width follows from its pitch (the width it
    spans: `narrow` narrow and `wide` wide elements at the scan's ratio
    `n_ratio`); the threshold lies midway between narrow and wide. A margin
    is the share of the nominal distance to the threshold an element keeps.
    An element pushed across the threshold is read as the other width, and
    its character's pattern then names no character."""
    n = n_ratio[:, None]
    x = pitch / (narrow + wide * n)
    threshold = (x * (1.0 + n) / 2.0)[..., None]
    x = x[..., None]
    is_wide = widths > threshold
    margin = np.where(is_wide, (widths - threshold) / (x * n[..., None] - threshold),
                      (threshold - widths) / (threshold - x))
    return is_wide, margin


def worst(*margins) -> np.ndarray:
    """Each scan's worst margin (scans along the first axis), at most 1."""
    out = None
    for m in margins:
        if m.size == 0:
            continue
        w = m.reshape(m.shape[0], -1).min(axis=1)
        out = w if out is None else np.minimum(out, w)
    return np.minimum(out, 1.0)


def bits(flags: np.ndarray) -> np.ndarray:
    """Rows of booleans along the last axis as integers, first flag highest."""
    weights = 1 << np.arange(flags.shape[-1] - 1, -1, -1)
    return (flags.astype(np.int64) * weights).sum(axis=-1)
