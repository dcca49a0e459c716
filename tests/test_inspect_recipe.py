"""Recipes: one-line errors naming the key before any frame is read; the
proposal from a standard of either polarity."""
import os
import shutil
import tomllib

import cv2
import numpy as np
import pytest

import qel_cv
from qel_inspect import cli, pipeline, propose, recipe, run

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
DARK = os.path.join(ROOT, "examples", "frames", "dark")
SAMPLES = os.path.join(ROOT, "examples", "samples")

GOOD = """standard = "standard.png"
aoi = [86, 64, 554, 449]
polarity = "dark-bars"
max_shift = 2
threshold = 62
dirty_width = 5
min_match_score = 0.7

[bars]
area = [796, 7179]
perimeter = [482, 1149]
"""


@pytest.fixture
def folder(tmp_path):
    shutil.copy(os.path.join(DARK, "standard.png"), tmp_path / "standard.png")
    return tmp_path


@pytest.mark.parametrize("change, message", [
    (("threshold = 62\n", ""), "key 'threshold': missing (grey levels a pixel must differ by to count"),
    (("threshold =", "threshhold ="), "key 'threshhold': unknown key (did you mean 'threshold'?)"),
    (("area =", "aera ="), "key 'bars.aera': unknown key (did you mean 'bars.area'?)"),
    (("max_shift = 2", 'max_shift = "2"'), "key 'max_shift': must be a whole number, not a text"),
    (("dirty_width = 5", "dirty_width = 5.5"), "key 'dirty_width': must be a whole number, not a number"),
    (("threshold = 62", "threshold = 300"), "key 'threshold': must be from 0 to 254, not 300"),
    (("aoi = [86, 64, 554, 449]", "aoi = [86, 64, 554, 600]"),
     "key 'aoi': [86, 64, 554, 600] reaches outside the 640x512 standard"),
    (("aoi = [86, 64, 554, 449]", "aoi = [86, 64, 554]"), "key 'aoi': must be four whole numbers [x1, y1, x2, y2]"),
    (("aoi = [86, 64, 554, 449]", "aoi = [554, 64, 86, 449]"), "key 'aoi': [554, 64, 86, 449] is not a rectangle"),
    (("aoi = [86, 64, 554, 449]", "aoi = [86, 64, 86, 449]"), "key 'aoi': [86, 64, 86, 449] is not a rectangle"),
    (("aoi = [86, 64, 554, 449]", "aoi = [86, 64, 554, 64]"), "key 'aoi': [86, 64, 554, 64] is not a rectangle"),
    (("aoi = [86, 64, 554, 449]", "aoi = [86, 64, 641, 449]"),
     "key 'aoi': [86, 64, 641, 449] reaches outside the 640x512 standard"),
    (('"dark-bars"', '"dark"'), 'key \'polarity\': must be "dark-bars" or "light-bars", not "dark"'),
    (("area = [796, 7179]", "area = [7179, 796]"), "key 'bars.area': lowest 7179 is above highest 796"),
    (("perimeter = [482, 1149]", "perimeter = 482"), "key 'bars.perimeter': must be a list [lowest, highest]"),
    (("min_match_score = 0.7", "min_match_score = 1.5"), "key 'min_match_score': must be between 0 and 1, not 1.5"),
    (('"standard.png"', '"missing.png"'), "key 'standard': cannot read 'missing.png': unreadable (No such file"),
    (("area = [796, 7179]", "area = [10, 20]"), "key 'bars': no bars found in the standard inside the area"),
    (("max_shift = 2", "max_shift = "), "not valid TOML"),
])
def test_bad_recipe_stops_with_one_line_before_any_frame(folder, change, message, capsys, monkeypatch):
    path = folder / "recipe.toml"
    path.write_text(GOOD.replace(*change))
    monkeypatch.setattr(run, "run", lambda *a, **k: pytest.fail("frames were read"))
    assert cli.main(["run", str(path), os.path.join(DARK, "frames"), "-o", str(folder / "out")]) == 2
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and err.startswith("qel-inspect: %s: " % path), err
    assert message in err, err


def test_written_recipe_reads_back_with_its_comments(folder):
    settings = recipe.parse(tomllib.loads(GOOD)).settings()
    text = recipe.to_toml(settings, ["a header"], {"threshold": ["a note"]})
    assert recipe.parse(tomllib.loads(text)).settings() == settings
    assert "# a note\nthreshold = 62" in text and text.startswith("# a header\n")


def test_an_area_may_end_at_the_standards_edges(folder):
    path = folder / "recipe.toml"
    path.write_text(GOOD.replace("aoi = [86, 64, 554, 449]", "aoi = [0, 0, 640, 512]"))
    assert recipe.load(str(path))[0].aoi == (0, 0, 640, 512)


def test_any_name_written_into_a_recipe_reads_back_as_it_was():
    settings = recipe.parse(tomllib.loads(GOOD)).settings()
    for name in ("C:\\labels\\std.png", 'a "quoted" name.png', "tab\tand\x1bescape\x7f.png", "\\\\server\\n.png"):
        text = recipe.to_toml(dict(settings, standard=name))
        assert tomllib.loads(text)["standard"] == name


def test_bars_table_and_min_match_score_may_be_left_out():
    lean = "\n".join(l for l in GOOD.splitlines() if l.split(" ")[0] not in ("area", "perimeter", "[bars]",
                                                                            "min_match_score"))
    r = recipe.parse(tomllib.loads(lean))
    assert r.bars == pipeline.LIBRARY_BANDS and r.min_match_score == 0.0


# --- the proposal ---------------------------------------------------------------------

def standards():
    dark = cv2.imread(os.path.join(DARK, "standard.png"), cv2.IMREAD_GRAYSCALE)
    knock = cv2.imread(os.path.join(SAMPLES, "standard.png"), cv2.IMREAD_GRAYSCALE)
    return [("dark", dark, "dark-bars"), ("knock-out", knock, "light-bars"),
            # The knock-out sample inverted is an ordinary dark-on-light print.
            ("inverted knock-out", 255 - knock, "dark-bars")]


@pytest.mark.parametrize("name, image, polarity", standards(), ids=[s[0] for s in standards()])
def test_proposed_recipe_passes_the_standard_and_its_moved_copies(name, image, polarity, tmp_path, capsys):
    path = tmp_path / "standard.png"
    cv2.imwrite(str(path), image)
    assert cli.main(["recipe", str(path), "-o", str(tmp_path / "r.toml")]) == 0
    assert (tmp_path / "r.preview.png").exists()
    rec, std = recipe.load(str(tmp_path / "r.toml"))
    assert rec.polarity == polarity
    standard = recipe.prepare(rec, std)
    h, w = std.shape
    # Moves other than the ones the proposal checked itself.
    copies = [std, qel_cv.translate(std, 5, 7), qel_cv.translate(std, -9, -3),
              qel_cv.translate_and_rotate(std, (w / 2, h / 2), (w / 2 + 3, h / 2 - 4), 1.5),
              qel_cv.translate_and_rotate(std, (w / 2, h / 2), (w / 2 - 4, h / 2 + 2), -2.5)]
    for copy in copies:
        out = pipeline.inspect(standard, copy, rec.max_shift, rec.threshold, rec.dirty_width, rec.min_match_score)
        assert out.status == "pass", (name, out)
    # Not so lax that a bar-wide blot between bars goes through.
    x0, y0 = rec.aoi[:2]
    top = cv2.boundingRect(standard.bars[0])
    blotted = pipeline.to_work(std, polarity).copy()
    ys = sorted((r[1], r[1] + r[3]) for r in (cv2.boundingRect(b) for b in standard.bars))
    gap = max(zip(ys, ys[1:]), key=lambda p: p[1][0] - p[0][1])
    y = y0 + (gap[0][1] + gap[1][0]) // 2
    blotted[y - 2:y + 3, x0 + top[0] + 100:x0 + top[0] + 120] = 255
    out = pipeline.inspect(standard, pipeline.to_work(blotted, polarity), rec.max_shift, rec.threshold,
                           rec.dirty_width, rec.min_match_score)
    assert out.status == "reject"


@pytest.mark.parametrize("scale, max_shift, dirty_width", [(1.15, 2, 6), (1.5, 2, 7)])
def test_proposed_settings_follow_the_module_and_contrast(scale, max_shift, dirty_width):
    """threshold 0.4 of the contrast, dirty_width 1.25 modules, each rounded
    to the nearest: pinned on standards whose module (4.5 and 5.5 px) makes
    rounding and flooring differ."""
    std = cv2.imread(os.path.join(DARK, "standard.png"), cv2.IMREAD_GRAYSCALE)
    scaled = cv2.resize(std, None, fx=scale, fy=scale, interpolation=cv2.INTER_CUBIC)
    proposal = propose.propose(scaled, "standard.png")
    assert (proposal.settings["max_shift"], proposal.settings["dirty_width"]) == (max_shift, dirty_width)
    assert proposal.settings["dirty_width"] == round(1.25 * proposal.module) > int(1.25 * proposal.module)
    assert proposal.settings["threshold"] == round(0.4 * proposal.contrast)


@pytest.mark.parametrize("image, message", [
    (np.full((300, 400), 200, np.uint8), "no barcode found"),
    (np.ascontiguousarray(np.rot90(cv2.imread(os.path.join(SAMPLES, "standard.png"), cv2.IMREAD_GRAYSCALE))),
     "the bars run up and down the image"),
])
def test_proposal_refuses_what_it_cannot_inspect(image, message, tmp_path, capsys):
    path = tmp_path / "standard.png"
    cv2.imwrite(str(path), image)
    assert cli.main(["recipe", str(path), "-o", str(tmp_path / "r.toml")]) == 2
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and message in err
    assert not (tmp_path / "r.toml").exists()


def test_proposal_keeps_an_existing_recipe(folder, capsys):
    (folder / "recipe.toml").write_text("mine")
    assert cli.main(["recipe", str(folder / "standard.png"), "-o", str(folder / "recipe.toml")]) == 2
    assert "exists (use --force to replace it)" in capsys.readouterr().err
    assert (folder / "recipe.toml").read_text() == "mine"


def test_area_stays_clear_of_a_label_edge_near_the_bars(tmp_path, capsys):
    """A label with a narrow quiet zone on a dark belt: the area of interest
    keeps half-way to the edge, so a frame moved towards it still passes."""
    std = cv2.imread(os.path.join(DARK, "standard.png"), cv2.IMREAD_GRAYSCALE)
    belt = std.copy()
    belt[:, :] = 70
    belt[60:452, 80:560] = std[60:452, 80:560]      # the label: 40 px of paper around the bars
    path = tmp_path / "standard.png"
    cv2.imwrite(str(path), belt)
    assert cli.main(["recipe", str(path), "-o", str(tmp_path / "r.toml")]) == 0
    assert "note: an edge lies" in capsys.readouterr().out
    rec, image = recipe.load(str(tmp_path / "r.toml"))
    standard = recipe.prepare(rec, image)
    for dx, dy in ((12, 10), (-12, -10)):
        out = pipeline.inspect(standard, qel_cv.translate(belt, dx, dy), rec.max_shift, rec.threshold,
                               rec.dirty_width, rec.min_match_score)
        assert out.status == "pass", out
