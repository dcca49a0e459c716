"""The checks 'streaks', 'widths' and 'grade' run the way the station runs
them: frames printed by a simulated 203-dpi head and seen by a 10 px/mm
line camera, aligned by the pipeline and judged with the checks a recipe
names; bar finding across a two-dot streak; the checks' recipe tables."""
import os
import shutil
import sys

import numpy as np
import pytest

from qel_inspect import pipeline, recipe, symbol
from qel_inspect.checks import defect, streaks
from qel_inspect.verify import reader

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "examples"))
import printhead as ph  # noqa: E402

CODE128 = ph.Label(ph.symbol_modules("code128", "27182818"), module=0.375)
HEAD_TABLE = {"dots_per_mm": 8.0, "px_per_mm": 10.0}


def station(label, checks, head=None, **tables):
    """(prepared standard, the checks as the station binds them) for frames
    of `label`; the standard printed by a sound head and shot upright."""
    rec = recipe.parse(ph.recipe(label, checks=checks, **tables), "recipe.toml")
    standard = recipe.prepare(rec, ph.frame(label, head or ph.Head(), seed=0))
    return standard, [lambda a, m=m, s=s: m.run(a, s) for m, s in rec.check_runs()]


def inspect(setup, frame, min_match_score=0.7):
    standard, checks = setup
    return pipeline.inspect_frame(standard, frame, checks, min_match_score)


def placements(n, seed):
    """Tilts, shifts, blur, noise and JPEG quality of `n` frames as a line gives them."""
    rng = np.random.default_rng(seed)
    for i in range(n):
        yield dict(degrees=float(rng.uniform(-2.5, 2.5)), shift=(float(rng.uniform(-12, 12)),
                   float(rng.uniform(-10, 10))), blur=float(rng.uniform(0.9, 1.3)), noise=float(rng.uniform(2, 4)),
                   quality=int(rng.integers(80, 93)), seed=seed * 100 + i)


def streak_defects(record):
    return [d for d in record.defects if d.kind == streaks.KIND]


# --- streaks ------------------------------------------------------------------------

@pytest.mark.parametrize("direction", ["across", "along"])
def test_dead_and_dirty_elements_are_reported_at_their_dot(direction):
    # Across the bars a recipe looking for streaks has bar finding close two-dot gaps first;
    # along them a streak splits a bar lengthwise, and bars are found as they are.
    setup = station(CODE128, ["compare", "streaks"], streaks=dict(HEAD_TABLE, direction=direction))
    inside = ph.dots_inside_bars(CODE128, ph.Head(direction="along"), clear=1)
    dead = [250, 301] if direction == "across" else [inside[3], inside[20]]
    cases = [("dead", (dead[0],)), ("dead", (dead[1], dead[1] + 1)), ("dirty", (190,)), ("dirty", (262, 263))]
    for (what, dots), place in zip(cases, placements(len(cases), 3)):
        head = ph.Head(direction=direction, **{what: dots})
        record = inspect(setup, ph.frame(ph.Label(CODE128.widths, CODE128.module), head, **place))
        found = streak_defects(record)
        assert record.status == "reject" and len(found) == 1, (what, dots, record.reason, record.defects)
        d = found[0]
        assert d.extra["element"] == what and abs(d.extra["dot"] - np.mean(dots)) <= 1, (what, dots, d.extra)
        assert d.extra["position_mm"] == pytest.approx((np.mean(dots) + 0.5) / 8.0, abs=0.125)
        assert d.description.startswith("%s element at dot %d (" % (what, d.extra["dot"]))
        # It runs the symbol's whole length in the print direction.
        box = d.box_aligned
        length = box[3] - box[1] if direction == "across" else box[2] - box[0]
        assert d.extra["length_px"] == length > 250
        assert d.extra["ink_lost" if what == "dead" else "ink_added"] > 0.15
        assert record.values["streaks"] == 1


@pytest.mark.parametrize("direction", ["across", "along"])
def test_good_frames_and_other_faults_are_not_streaks(direction):
    setup = station(CODE128, ["compare", "streaks"], streaks=dict(HEAD_TABLE, direction=direction))
    for place in placements(12, 5 if direction == "across" else 6):
        growth = place["seed"] % 3 * 0.05 - 0.05          # ink spread -0.05, 0 or +0.05 mm
        record = inspect(setup, ph.frame(CODE128, ph.Head(direction=direction, growth=growth), **place))
        assert (record.status, record.reason, record.values["streaks"]) == ("pass", None, 0), place
    # A gap in a bar, a blot between bars and a bar printed a module too
    # thick are the comparison's to report, not streaks.
    x1, y1, x2, y2 = (v * ph.DRAW_PER_MM for v in CODE128.bars()[4])
    ink = ph.printed(CODE128, ph.Head(direction=direction))
    m = int(CODE128.module * ph.DRAW_PER_MM)
    faults = ink.copy()
    faults[int(y1):int(y2), int(x1) + 600:int(x1) + 680] = 0                        # a gap 2 mm long
    faults[int(y2) + m // 2:int(y2) + 3 * m // 2, int(x1) + 1200:int(x1) + 1320] = 255  # a blot in the space below
    bottom = int(CODE128.bars()[9][3] * ph.DRAW_PER_MM)
    faults[bottom:bottom + m, int(x1):int(x2)] = 255                                 # bar 10 a module thicker
    record = inspect(setup, ph.Camera().shoot(faults, 1.2, (4, -3), seed=9))
    assert record.status == "reject" and record.values["streaks"] == 0, record.defects
    assert {d.kind for d in record.defects} == {"missing ink", "extra ink"}


@pytest.mark.parametrize("what", ["dead", "dirty"])
def test_a_two_dot_streak_breaks_bar_finding_unless_its_gaps_are_closed(what):
    setup = station(CODE128, ["compare", "streaks"], streaks=HEAD_TABLE)
    standard = setup[0]
    assert standard.bridge == streaks.bridge_width(2) == 2.5
    frame = ph.frame(CODE128, ph.Head(**{what: (250, 251)}), degrees=0.8, shift=(3, 2), seed=4)
    work = pipeline.to_work(frame, "dark-bars")
    whole, _ = pipeline.detect_bars(standard.rotated, standard.aoi, standard.bands)
    closed, _ = pipeline.detect_bars(work, standard.aoi, standard.bands, standard.bridge)
    assert len(closed) == len(whole) == 22
    # A recipe that does not look for streaks does not see through them.
    assert inspect(station(CODE128, ["compare"]), frame).reason == "no bars found"
    record = inspect(setup, frame)
    # Aligned now, the comparison still sees the streak and so does the check.
    assert record.status == "reject" and ("missing ink" if what == "dead" else "extra ink") in \
        {d.kind for d in record.defects}
    assert [d.extra["dot"] for d in streak_defects(record)] in ([250], [251])


# --- widths -------------------------------------------------------------------------

# EAN-13 at 4 px a module (0.4 mm), printed on a head fine enough to place
# every edge where it belongs (a 203-dpi head would round them to its dots).
EAN13 = ph.Label(ph.symbol_modules("ean13", "590123412345"), module=0.4, bar_length=30)


def fine(growth=0.0):
    return ph.Head(dots_per_mm=20.0, growth=growth)


def ean13_station(checks):
    """As `station`, with bar bands wide enough for bars that lost 0.1 mm at
    each edge (half their width). Frames are inspected with a minimum match
    score of 0.4: at 4 px a module, 0.1 mm an edge takes half the narrow
    elements' width, and the template matches at 0.6 or so."""
    data = ph.recipe(EAN13, checks=checks)
    data["bars"]["area"][0] //= 3
    data["bars"]["perimeter"][0] //= 2
    rec = recipe.parse(data, "recipe.toml")
    return (recipe.prepare(rec, ph.frame(EAN13, fine(), seed=0)),
            [lambda a, m=m, s=s: m.run(a, s) for m, s in rec.check_runs()])


def test_bar_widths_pass_a_tenth_of_a_millimetre_of_growth_and_catch_more():
    """Bars 0.1 mm wider or narrower (0.05 mm an edge, an eighth of a module
    here) pass; a bar half a module too wide on each side (below) or growth
    that closes the narrow spaces is a fault."""
    setup = ean13_station(["widths"])
    for place in placements(6, 7):
        for width in (0.1, -0.1, 0.0):
            record = inspect(setup, ph.frame(EAN13, fine(width), **place), 0.4)
            assert (record.status, record.reason) == ("pass", None), (width, place, record.defects)
            assert record.values["print_growth"] == pytest.approx(width / 2 / 0.4, abs=0.02)
            assert record.values["width_worst"] < 0.25
    # 0.15 mm an edge: the one-module spaces close up, measured all the same.
    bars = symbol.layout(setup[0]).bars
    record = inspect(setup, ph.frame(EAN13, fine(0.3), **place), 0.4)
    assert {d.kind for d in record.defects} == {"bar width"}
    assert sum(d.extra["elements"] for d in record.defects) > 45
    assert all(abs(d.extra["deviation"]) > 0.35 for d in record.defects)
    assert record.defects[0].box_aligned[1] - bars[1] <= 3 and bars[3] - record.defects[-1].box_aligned[3] <= 12
    assert record.values["print_growth"] == pytest.approx(0.375, abs=0.06)


def test_one_bar_printed_too_wide_is_named():
    setup = station(EAN13, ["compare", "widths"], head=fine())
    widths = EAN13.widths.copy()
    k = 2 * 17                                # bar 18: in the right half
    widths[k] += 1.0
    widths[k - 1] -= 0.5
    widths[k + 1] -= 0.5
    record = inspect(setup, ph.frame(ph.Label(widths, 0.4, 30.0, origin=EAN13.origin), fine(), degrees=1.0, seed=2))
    found = [d for d in record.defects if d.kind == "bar width"]
    # Bar 18 a module wider (half a module an edge); its spaces each half a
    # module narrower, a quarter an edge, within the tolerance.
    assert len(found) == 1 and found[0].description.startswith("bar 18 wider by 0.9"), found
    assert found[0].extra["deviation"] == pytest.approx(0.5, abs=0.08)
    assert abs(record.values["print_growth"]) < 0.03


# --- grade --------------------------------------------------------------------------

GRADED = ph.Label(ph.symbol_modules("code128", "27182818"), module=0.5, bar_length=40)


def test_grades_in_the_record_and_low_grades_rejected():
    setup = station(GRADED, ["compare", "grade"], grade={"min_grade": "C"})
    for place in placements(4, 11):
        record = inspect(setup, ph.frame(GRADED, **place))
        v = record.values
        assert (record.status, v["symbology"], v["decoded"], v["reader_text"]) == ("pass", "code128", "27182818",
                                                                                     None)
        assert v["grade"] >= 2.5 and v["grade_letter"] in "AB" and v["scans"] == v["scans_decoded"] == 10
        for name in ("symbol_contrast", "modulation", "defects", "decodability", "edge_contrast_min",
                     "min_reflectance", "max_reflectance"):
            assert v[name + "_worst"] is not None and v[name + "_mean"] is not None
        assert v["modulation_worst"] <= v["modulation_mean"] and v["defects_worst"] >= v["defects_mean"]
    # Grey ink on grey paper: the contrast and minimum reflectance fail.
    low = inspect(setup, ph.frame(GRADED, camera=ph.Camera(ink=120.0), seed=3))
    (d,) = [d for d in low.defects if d.kind != "missing ink"]
    assert (low.status, d.kind, d.extra["parameter"]) == ("reject", "low grade", "min_reflectance")
    assert d.description.startswith("grade F 0.0: minimum reflectance ")
    assert low.values["grade"] == 0.0 and 0.35 < low.values["symbol_contrast_mean"] < 0.5
    # Ink spread that closes the narrow spaces: nothing decodes.
    blotted = inspect(setup, ph.frame(GRADED, ph.Head(growth=0.3), seed=4))
    assert [d.kind for d in blotted.defects if d.kind != "extra ink"] == ["undecodable"]
    assert blotted.values["decoded"] is None and blotted.values["scans_decoded"] == 0


def test_the_code_reader_reads_a_frame_that_decodes_otherwise_and_must_agree(monkeypatch):
    setup = station(GRADED, ["grade"])
    other = ph.Label(ph.symbol_modules("code128", "27182819"), module=0.5, bar_length=40, origin=GRADED.origin)
    record = inspect(setup, ph.frame(other, degrees=0.5, seed=6))
    assert (record.status, record.values["decoded"], record.values["reader_text"]) == ("pass", "27182819", "27182819")
    monkeypatch.setattr(symbol, "read_frame", lambda aligned, settings: reader.Read("code128", "27182810", 0, 0))
    record = inspect(setup, ph.frame(other, degrees=0.5, seed=6))
    (d,) = record.defects
    assert (d.kind, d.description) == ("decode mismatch", "the reference decode reads '27182819', the code reader "
                                                          "'27182810'")


def test_a_grade_just_below_the_minimum_names_its_weakest_parameter():
    setup = station(GRADED, ["grade"], grade={"min_grade": 3.9})
    record = inspect(setup, ph.frame(GRADED, degrees=1.0, seed=5, blur=1.8))
    v = record.values
    (d,) = record.defects
    assert d.kind == "low grade" and d.extra["parameter"] == v["grade_weakest"]
    words = {"modulation": "modulation", "decodability": "decodability", "defects": "defects"}
    assert d.description == "grade %s %.1f: %s %.2f" % (v["grade_letter"], v["grade"], words[v["grade_weakest"]],
                                                        v[v["grade_weakest"] + "_worst"])


def test_a_knock_out_label_is_graded_inverted_and_its_ink_spread_is_the_spaces():
    rec = recipe.parse(dict(ph.recipe(GRADED, checks=["grade", "widths"]), polarity="light-bars"), "recipe.toml")
    camera = ph.Camera(paper=205.0, ink=45.0)

    def shoot(growth=0.0, **place):
        return camera.shoot(255 - ph.printed(GRADED, ph.Head(growth=-growth)), **place)

    standard = recipe.prepare(rec, shoot())
    checks = [lambda a, m=m, s=s: m.run(a, s) for m, s in rec.check_runs()]
    record = pipeline.inspect_frame(standard, shoot(0.1, degrees=-1.2, shift=(3, 4), seed=2), checks)
    v = record.values
    assert (record.status, v["decoded"]) == ("pass", "27182818") and v["grade_letter"] in "AB"
    # More ink around light bars: the bars narrow, the print grows (0.05 mm an edge).
    assert v["print_growth"] == pytest.approx(0.05 / 0.5, abs=0.03)


def test_a_standard_without_a_graded_code_fails_every_frame_with_the_reason():
    label = ph.Label(np.array([3, 1, 1, 2, 1, 1, 4, 1, 2, 2, 1, 3, 1] * 3, np.float64), module=0.5)
    setup = station(label, ["compare", "grade"])
    record = inspect(setup, ph.frame(label, seed=1))
    assert record.status == "error" and record.reason.startswith(
        "the standard's barcode: no barcode of a graded symbology (Code 128, EAN-13, ")


# --- recipe tables ------------------------------------------------------------------

@pytest.mark.parametrize("tables, key, message", [
    ({"grade": {"min_grad": 2}}, "grade.min_grad", "unknown key (did you mean 'grade.min_grade'?)"),
    ({"grade": {"min_grade": 5}}, "grade.min_grade", "must be between 0 and 4, not 5"),
    ({"grade": {"min_grade": "E"}}, "grade.min_grade", 'must be "A" or "B" or "C" or "D", not "E"'),
    ({"grade": {"scans": 0}}, "grade.scans", "must be from 1 to 100, not 0"),
    ({"widths": {"tolerance": "wide"}}, "widths.tolerance", "must be a number, not a text"),
    ({"streaks": {"direction": "diagonal"}}, "streaks.direction", 'must be "across" or "along", not "diagonal"'),
    ({"streaks": {"dots_per_mm": 0}}, "streaks.dots_per_mm", "must be 0.01 or more, not 0"),
])
def test_bad_check_tables_name_their_key(tables, key, message):
    data = ph.recipe(CODE128, checks=["compare", "grade", "streaks", "widths"], **tables)
    with pytest.raises(recipe.RecipeError) as e:
        recipe.parse(data, "r.toml")
    assert str(e.value) == "r.toml: key '%s': %s" % (key, message)


def test_check_tables_as_written_and_their_defaults():
    data = ph.recipe(CODE128, checks=["compare", "grade", "streaks", "widths"],
                     grade={"min_grade": "c", "aperture": 0.8}, streaks={"direction": "along", "dots_per_mm": 8},
                     widths={})
    runs = {m.NAME: s for m, s in recipe.parse(data, "r.toml").check_runs()}
    assert (runs["grade"].min_grade, runs["grade"].scan.aperture, runs["grade"].scan.scans) == (1.5, 0.8, 10)
    assert (runs["streaks"].direction, runs["streaks"].dots_per_mm, runs["streaks"].elements) == ("along", 8.0, 1)
    assert streaks.parse({}).elements == 3
    assert (runs["widths"].tolerance, runs["widths"].scan.aperture) == (0.35, 0.5)


def test_a_checks_defect_has_its_box_in_both_coordinates():
    setup = station(CODE128, ["compare"])
    aligned = pipeline.align(setup[0], ph.frame(CODE128, degrees=2.0, shift=(10, -6), seed=1))
    box = [300, 200, 310, 212]
    d = defect(aligned, "spot", "a spot", box, area=3)
    assert (d.box_aligned, d.box_frame, d.size, d.extra) == (box, aligned.to_frame(box), 12, {"area": 3})
    assert d.box_frame != d.box_aligned


# --- proposed by recipe, shown in the report ------------------------------------------

@pytest.fixture(scope="module")
def graded_run(tmp_path_factory):
    """Labels on a belt with a 0.5 mm module (5 camera pixels): a recipe
    proposed from their standard, then run."""
    import make_frames
    from test_inspect_run import qel_inspect

    top = tmp_path_factory.mktemp("graded")
    truth = make_frames.label_batch(str(top), seed=7, good=4, defective=2, kinds=("thick", "gap"), empty=0,
                                    module_mm=0.5)
    proposed = qel_inspect("recipe", top / "standard.png", "-o", top / "recipe.toml")
    done = qel_inspect("run", top / "recipe.toml", top / "frames", "-o", top / "out", "--workers", 1)
    return truth["frames"], top, proposed, done


def test_the_proposal_turns_the_checks_on_where_the_camera_can_measure(graded_run):
    import tomllib

    import cv2
    import verdicts
    from qel_inspect import propose
    from test_inspect_run import ROOT, records

    truth, top, proposed, done = graded_run
    assert proposed.returncode == 0, proposed.stderr
    assert "self-check: the standard grades A" in proposed.stdout
    written = tomllib.loads((top / "recipe.toml").read_text())
    assert written["checks"] == ["compare", "grade", "widths", "streaks"]
    assert (written["grade"], written["widths"]) == ({"min_grade": 1.5}, {"tolerance": 0.35})
    assert written["streaks"]["direction"] == "across" and written["streaks"]["dots_per_mm"] == 8.0
    assert done.returncode == 1, done.stderr                 # rejects, nothing left uninspected
    got = {os.path.basename(r["key"]): r for r in records(top / "out")}
    assert {n: got[n]["status"] for n in truth} == {n: t["expect"] for n, t in truth.items()}
    assert verdicts.as_recorded("graded", top / "out") == []
    assert all(got[n]["grade"] >= 1.5 for n, t in truth.items() if t["expect"] == "pass")
    # At 3.5 px a module blur closes thin spaces: the grade and widths stay off, and the note says why.
    standard = cv2.imread(os.path.join(ROOT, "examples", "frames", "labels", "standard.png"), cv2.IMREAD_GRAYSCALE)
    coarse = propose.propose(standard, "standard.png", 10.0)
    assert coarse.settings["checks"] == ["compare", "streaks"]
    assert any("the module is 3.5 px: under 5 px" in n for n in coarse.notes)


def test_the_report_shows_grades_a_plot_and_the_rejects_parameters(graded_run):
    import csv

    from test_inspect_run import browser, records

    truth, top, _, _ = graded_run
    graded = [r for r in records(top / "out") if r.get("grade") is not None]
    rejects = [r for r in graded if r["status"] == "reject"]
    with open(top / "out" / "results.csv", newline="", encoding="utf-8") as f:
        rows = list(csv.DictReader(f))
    assert {r["frame"]: r["grade"] for r in rows} == {r["frame"]: str(r["grade"]) for r in graded}
    driver, profile = browser()
    try:
        driver.get("file://%s" % (top / "out" / "report.html"))
        dots = driver.execute_script("return [...document.querySelectorAll('#grade-chart circle')]"
                                     ".map(c => c.textContent)")
        assert sorted(dots) == sorted("%s: grade %.1f" % (r["frame"], r["grade"]) for r in graded)
        assert driver.find_elements("css selector", "#grade-chart line.min-grade")
        table = driver.find_elements("css selector", "#grade-parameters tr")
        assert len(table) == len(rejects) + 1 and rejects
        assert "MOD" in table[0].text and "Decodability" in table[0].text
        headings = [th.text for th in driver.find_elements("css selector", "#frames th")]
        assert "Grade" in headings
    finally:
        driver.quit()
        shutil.rmtree(profile, ignore_errors=True)
