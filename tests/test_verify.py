"""The verifier: each scan-profile parameter graded on profiles whose values
are known by construction, at and on each side of every grade boundary;
the reference decodes of every symbology (both directions, the ambiguous
EAN characters, two-width thresholds, quiet zones); rendered symbols of
every symbology graded, and damaged the ways that move one parameter."""
import os
import sys

import numpy as np
import pytest

from qel_inspect.verify import code128, grade, profile, reader, scan, symbologies, verifier

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "examples"))
import printhead  # noqa: E402

# Samples a module in the synthetic profiles: every edge falls between two
# samples, so edges, contrasts and widths are measured exactly.
X = 200
CODE128 = printhead.symbol_modules("code128", "QEL22")


def synthetic(modules=CODE128, high=0.9, low=0.1, levels=None, dips=(), quiet=11):
    """A profile of elements `modules` wide (bar first) between quiet zones:
    spaces at `high`, bars at `low`, element k at levels[k] where given,
    and for each (k, depth) a one-sample dip (or rise, in a bar) of `depth`
    in the middle of element k."""
    levels = levels or {}
    parts = [np.full(quiet * X, high)]
    for k, w in enumerate(modules):
        part = np.full(int(round(w * X)), levels.get(k, low if k % 2 == 0 else high))
        parts.append(part)
    parts.append(np.full(quiet * X, high))
    for k, depth in dips:
        part = parts[k + 1]
        part[part.size // 2] += depth if k % 2 == 0 else -depth
    return np.concatenate(parts)


def graded(r, name="code128"):
    m = profile.measure(r)
    return grade.grade_profile(m, symbologies.decode(name, m.widths, m.quiet, X) if m.error is None else None)


def moved_edge(modules, k, samples):
    """The modules with the edge after element k moved by `samples`."""
    out = np.array(modules, np.float64)
    out[k] += samples / X
    out[k + 1] -= samples / X
    return out


def test_a_clean_profile_measures_exactly_and_grades_4():
    r = synthetic()
    m = profile.measure(r)
    assert (m.rmin, m.rmax, m.symbol_contrast, m.threshold) == pytest.approx((0.1, 0.9, 0.8, 0.5))
    assert m.widths == pytest.approx(np.array(CODE128) * X)
    assert m.quiet == pytest.approx((11 * X, 11 * X))
    assert (m.modulation, m.defects, m.error) == (pytest.approx(1.0), pytest.approx(0.0, abs=1e-12), None)
    g = graded(r)
    assert g.grade == 4 and g.decoded == "QEL22" and g.values["decodability"] == pytest.approx(1.0)


# (what, the profile at a value, the parameter that must be its weakest)
# Each parameter moved alone: the others stay at 4 (or, for ECmin and Rmin,
# whose failures cannot come without a low symbol contrast, at its grade).
def symbol_contrast(sc):
    high = min(0.9, 1.6 * sc)                   # Rmin stays at most half of Rmax
    return synthetic(high=high, low=high - sc)


def modulation(mod):
    # A narrow space lowered and its neighbour bars raised towards the
    # threshold by the same amount: ECmin = MOD x SC.
    half = mod * 0.8 / 2
    return synthetic(levels={2: 0.5 - half, 3: 0.5 + half, 4: 0.5 - half})


def defects(ratio):
    widest = int(np.argmax(CODE128[1::2])) * 2 + 1
    return synthetic(dips=[(widest, ratio * 0.8)])


def decodability(v):
    return synthetic(moved_edge(CODE128, 3, round((1 - v) / 2 * X)))


@pytest.mark.parametrize("make, name, bounds", [
    (symbol_contrast, "symbol_contrast", (0.70, 0.55, 0.40, 0.20)),
    (modulation, "modulation", (0.70, 0.60, 0.50, 0.40)),
    (decodability, "decodability", (0.62, 0.50, 0.37, 0.25)),
])
def test_each_parameter_grades_at_and_either_side_of_its_bounds(make, name, bounds):
    for expected, bound in zip((4, 3, 2, 1), bounds):
        for value, want in ((bound + 0.01, expected), (bound, expected), (bound - 0.01, expected - 1)):
            g = graded(make(value))
            assert g.values[name] == pytest.approx(value, abs=1e-9)
            others = {k: v for k, v in g.grades.items() if k != name}
            assert (g.grades[name], g.grade, min(others.values())) == (want, want, 4), (name, value, g.grades)


def test_defects_grade_at_and_either_side_of_their_bounds():
    for expected, bound in zip((4, 3, 2, 1), (0.15, 0.20, 0.25, 0.30)):
        for value, want in ((bound - 0.01, expected), (bound, expected), (bound + 0.01, expected - 1)):
            g = graded(defects(value))
            assert g.values["defects"] == pytest.approx(value, abs=1e-9)
            assert (g.grades["defects"], g.grade) == (want, want), (value, g.grades)


def test_min_reflectance_and_edge_contrast_pass_or_fail_alone():
    # Rmin at half of Rmax passes (the grade is the contrast's, 2), a hair more fails.
    assert graded(synthetic(high=0.8, low=0.4)).grades["min_reflectance"] == 4
    assert graded(synthetic(high=0.8, low=0.4)).grade == 2
    g = graded(synthetic(high=0.8, low=0.401))
    assert (g.grades["min_reflectance"], g.grade) == (0, 0)
    assert [k for k, v in g.grades.items() if v == 0] == ["min_reflectance"]
    # ECmin: a contrast of 0.20 (grade 1) with one edge of 0.15 passes, 0.149 fails.
    for ec, want in ((0.15, 1), (0.149, 0)):
        g = graded(synthetic(high=0.3, low=0.1, levels={2: 0.2 - ec / 2, 3: 0.2 + ec / 2, 4: 0.2 - ec / 2}))
        assert g.values["edge_contrast_min"] == pytest.approx(ec)
        assert (g.grades["edge_contrast_min"], g.grade) == (4 if want else 0, want)


def test_edges_and_decode_failures_grade_zero_and_say_why():
    no_quiet = synthetic(quiet=11)[11 * X - 5:]
    g = graded(no_quiet)
    assert (g.grade, g.grades["decode"]) == (0, 0) and "quiet zone" in g.reason
    bar_at_end = synthetic()[11 * X:]
    g = graded(bar_at_end)
    assert (g.grades["edge_determination"], g.reason) == (0, "a bar at the end of the scan (no quiet zone)")
    k = 6 + int(np.flatnonzero(np.array(CODE128[7:12]) >= 2)[0])      # in the second character
    g = graded(synthetic(moved_edge(CODE128, k, X)))                    # a whole module: another pattern
    assert (g.grades["decode"], g.values["decodability"]) == (0, None) and g.reason


def test_symbol_grade_is_the_mean_of_the_profiles_with_the_letter():
    profiles = [graded(symbol_contrast(v)) for v in (0.8, 0.8, 0.6, 0.45, 0.1)]   # 4, 4, 3, 2, 0
    s = grade.grade_symbol(profiles)
    assert (s.grade, s.letter, s.weakest, s.decoded) == (2.6, "B", "symbol_contrast", "QEL22")
    assert s.parameters["symbol_contrast"].mean == pytest.approx(0.55)
    assert s.parameters["symbol_contrast"].worst == pytest.approx(0.1)
    assert [grade.letter(g) for g in (4.0, 3.5, 3.49, 2.5, 1.5, 1.49, 0.5, 0.49, 0.0)] == \
        ["A", "A", "B", "B", "C", "D", "D", "F", "F"]


# --- reference decodes -------------------------------------------------------------------

SYMBOLS = [("code128", "QEL-22 Test"), ("gs1-128", "0109501101530003\x1d10ABC"), ("ean13", "590123412345"),
           ("upca", "03600029145"), ("ean8", "9638507"), ("upce", "0123456"), ("code39", "ABC-123"),
           ("itf", "12345678")]
# What the symbols hold, as read (check digits added).
TEXTS = {"code128": "QEL-22 Test", "gs1-128": "0109501101530003\x1d10ABC", "ean13": "5901234123457",
         "upca": "036000291452", "ean8": "96385074", "upce": "01234565", "code39": "ABC-123", "itf": "12345678"}


@pytest.mark.parametrize("name, text", SYMBOLS, ids=[s[0] for s in SYMBOLS])
def test_nominal_symbols_decode_both_ways_with_full_decodability(name, text):
    widths = printhead.symbol_modules(name, text) * 10
    for order in (widths, widths[::-1]):
        d = symbologies.decode(name, order)
        assert (d.symbology, d.text, d.error) == (name, TEXTS[name], None)
        assert d.decodability == pytest.approx(1.0)
        assert d.reversed == (order is not widths)
        assert d.modules * 10 == pytest.approx(widths)


def checked(*values):
    return values + ((values[0] + sum(i * v for i, v in enumerate(values[1:], 1))) % 103, code128.STOP)


def test_code128_values_checks_and_code_sets():
    assert code128._read(checked(104, 49, 48)) == ("code128", "QP")
    wrong = checked(104, 49, 48)[:-2] + (0, code128.STOP)
    assert code128._read(wrong) == (None, "the check character is 0, the data make it %d" % checked(104, 49, 48)[-2])
    assert code128._read(checked(105, 102, 1, 23)) == ("gs1-128", "0123")
    assert code128._read(checked(105, 1, 102, 23)) == ("code128", "01\x1d23")
    assert code128._read(checked(104, 105, 23)) == (None, "a start or stop character inside the data")
    assert code128._text([105, 12, 34, 100, 33, 98, 65]) == ("1234A\x01", False)   # C, then B with a shift to A
    assert code128._text([103, 65, 101, 65, 65]) == ("\x01\x81\x01", False)         # FNC4: the next one extended
    d = symbologies.decode("code128", printhead.symbol_modules("gs1-128", "0109501101530003"))
    assert d.error.startswith("a GS1-128 symbol, not Code 128")


def test_ean_characters_sharing_distances_are_told_apart_by_their_bars():
    widths = printhead.symbol_modules("ean13", "471234567890")       # the first left-hand character: 7 of set A
    k = 3                                                            # its four elements
    assert list(widths[k:k + 4]) == [1, 3, 1, 2]
    text = symbologies.decode("ean13", widths).text
    for shift, readable, margin in ((0.2, True, 0.6), (0.45, True, 0.1), (0.55, False, None)):
        w = widths.copy()
        # The bars thinner and the spaces wider by as much: both distances stay.
        w[k:k + 4] += [shift, -shift, shift, -shift]
        d = symbologies.decode("ean13", w)
        assert (d.error is None) == readable, d.error
        if readable:
            assert (d.text, d.decodability) == (text, pytest.approx(margin))
    assert symbologies.decode("ean8", printhead.symbol_modules("ean13", "471234567890")).error.startswith(
        "59 elements, not the 43")


@pytest.mark.parametrize("name, text", [("code39", "QEL 22"), ("itf", "0042")])
def test_two_width_symbols_at_any_ratio_and_their_threshold(name, text):
    for ratio in (2.0, 2.5, 3.0):
        widths = printhead.symbol_modules(name, text, ratio=ratio)
        assert symbologies.decode(name, widths).text == text
    widths = printhead.symbol_modules(name, text, ratio=3.0)
    narrow = int(np.flatnonzero(widths[4:] == 1)[0]) + 4 if name == "itf" else 0
    for grown, readable in ((0.5, True), (1.3, False)):
        w = widths.copy()
        w[narrow] += grown
        d = symbologies.decode(name, w)
        assert (d.error is None) == readable, d.error
        if readable:
            # The threshold lies a module from the narrow width: half a module
            # leaves about half the margin (the character's pitch grows a little).
            assert 0.4 < d.decodability < 0.6


def test_quiet_zones_are_checked_against_the_symbology():
    widths = printhead.symbol_modules("ean13", "590123412345")
    assert symbologies.decode("ean13", widths, quiet=(11, 7), module=1.0).error is None
    assert symbologies.decode("ean13", widths, quiet=(10.6, 6.6), module=1.0).error is None
    d = symbologies.decode("ean13", widths, quiet=(7, 11), module=1.0)
    assert "quiet zone 7.0 and 11.0 modules, 11 and 7 needed" in d.error
    assert symbologies.decode("ean13", widths[::-1], quiet=(7, 11), module=1.0).error is None


# --- rendered symbols ------------------------------------------------------------------------

def render(name, text, **kw):
    kw.setdefault("module", 4)
    return printhead.symbol_image(printhead.symbol_modules(name, text), quiet=13, **kw)


@pytest.mark.parametrize("name, text", SYMBOLS, ids=[s[0] for s in SYMBOLS])
def test_a_clean_render_grades_4_and_agrees_with_the_reader(name, text):
    image = render(name, text, noise=1.5, seed=3)
    result = verifier.verify_image(image)
    assert (result.grade, result.letter, result.decoded) == (4.0, "A", TEXTS[name])
    found = reader.read(image)
    assert (found.symbology, found.text) == (name, result.decoded)


@pytest.mark.parametrize("name, text", [s for s in SYMBOLS if s[0] in ("code128", "ean13", "code39", "itf")])
def test_damage_moves_the_right_parameter_past_the_right_bound(name, text):
    base = verifier.verify_image(render(name, text))
    assert base.grade == 4.0

    def graded_as(image, parameter, at_most):
        # Damaged codes a scanner's decoder may refuse: the symbology is given.
        g = verifier.verify_image(image, symbology=name)
        assert g.parameters[parameter].grade <= at_most, (parameter, {k: v.grade for k, v in g.parameters.items()})
        return g

    # Half the contrast: the ink halfway to the paper. Relative to the paper,
    # its darkest bar is then above half the paper's reflectance too.
    g = graded_as(render(name, text, ink=(212 + 38) / 2), "symbol_contrast", 2)
    assert g.parameters["symbol_contrast"].grade == 2
    assert g.parameters["symbol_contrast"].mean == pytest.approx(base.parameters["symbol_contrast"].mean / 2, abs=0.03)
    assert (g.weakest, g.grade) == ("min_reflectance", 0.0)
    # Blur until the narrow elements lose their contrast.
    g = graded_as(render(name, text, blur=1.8), "modulation", 1)
    assert g.parameters["modulation"].mean < 0.5 < base.parameters["modulation"].mean
    # A grey spot in the middle of the widest bar, all along it.
    widths = printhead.symbol_modules(name, text)
    k = int(np.argmax(widths[0::2])) * 2
    spot = (widths[:k].sum() * 4 + 3, 0, widths[k] * 4 - 6, 400, 85)
    g = graded_as(render(name, text, spots=[spot]), "defects", 2)
    assert g.weakest == "defects" and g.parameters["defects"].worst > 0.2
    # Bars widened: two-width codes uniformly, and EAN's 1/7 and 2/8 judge by
    # their bars; Code 128 keeps its edge-to-similar-edge distances under
    # uniform growth, so every other bar grows.
    if name == "code128":
        growth = np.where(np.arange(widths.size // 2 + 1) % 2 == 0, 0.3, 0.0)
        growth[-1] = 0.0
    else:
        growth = 0.3 if name == "ean13" else 0.45
    g = graded_as(render(name, text, growth=growth), "decodability", 2)
    assert g.weakest == "decodability" and g.decoded == TEXTS[name]


def test_the_reference_decode_reads_growth_a_scanners_decoder_may_refuse():
    """Uniform growth leaves every edge-to-similar-edge distance of Code 128
    as it was: the reference decode keeps its decodability."""
    g = verifier.verify_image(render("code128", "QEL-22 Test", growth=0.4), symbology="code128")
    assert g.decoded == "QEL-22 Test"
    assert g.parameters["decodability"].worst > 0.62


READ_IN_A_CHILD = """
import sys
sys.path[:0] = %r
import numpy as np
from qel_inspect.verify import reader
sys.path.insert(0, %r)
import printhead
image = printhead.symbol_image(printhead.symbol_modules("ean13", "590123412345"), module=4, quiet=13, blur=1.8)
print(reader.read(image).text)
"""


def test_a_blurred_ean_code_is_read_without_taking_the_process_down():
    """Debian's zxing-cpp 1.4 aborts on this image when asked for a list of
    codes; the reader asks for one."""
    import subprocess
    from conftest import CHILD_ENV
    here = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    done = subprocess.run([sys.executable, "-c", READ_IN_A_CHILD % (sys.path[:3], os.path.join(here, "examples"))],
                          env=CHILD_ENV, capture_output=True, text=True, timeout=120)
    assert (done.returncode, done.stdout) == (0, "5901234123457\n"), done.stderr


def test_scan_profiles_are_square_aperture_means_over_the_paper():
    image = (np.random.default_rng(1).random((120, 90)) * 255).astype(np.uint8)
    xs = [0, 5, 44, 89]
    for a in (1, 2, 3, 4):
        got = scan.profiles(image, xs, 3, 117, a, black=10.0, paper_reflectance=0.8)
        half = (a - 1) // 2
        want = np.array([[image[np.ix_(np.clip(np.arange(y - half, y - half + a), 0, 119),
                                       np.clip(np.arange(x - half, x - half + a), 0, 89))].mean()
                          for y in range(3, 117)] for x in xs]) - 10.0
        paper = np.sort(want, axis=1)[:, round(want.shape[1] * 0.9)]
        assert got == pytest.approx(want / paper[:, None] * 0.8, abs=1e-6)
