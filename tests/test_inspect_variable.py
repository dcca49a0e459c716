"""Labels that change: serial numbers and lot text judged by what they
say, DataMatrix and QR labels, GS1 element strings, recipes taught from
several prints, and the README's example."""
import datetime
import glob
import os
import re
import shutil
import sys

import pytest

from qel_inspect import gs1, recipe
from test_inspect_run import FRAMES, ROOT, qel_inspect, records

sys.path.insert(0, os.path.join(ROOT, "examples"))
from make_frames import variable_batch  # noqa: E402
from verdicts import as_recorded  # noqa: E402

SERIALS = os.path.join(FRAMES, "serials")


def verdicts(out):
    return {os.path.basename(r["key"]): r for r in records(out)}


def worded(r):
    return [d["description"] for d in r["defects"]]


# --- GS1 element strings ---------------------------------------------------------------

TODAY = datetime.date(2026, 12, 10)


@pytest.mark.parametrize("text, problems", [
    ("(01)09501101530003(17)270630(10)2612A7", []),
    ("\x1d0109501101530003102612A7\x1d21S123", []),                          # coded, FNC1 as GS
    ("]C10109501101530003", []),                                               # with its symbology identifier
    ("(00)106141411234567897", []),
    ("(15)270200", []),                                                         # day 00: the month's end
    ("(3103)000250(30)12", []),
    ("(01)09501101530004", ["(01) GTIN 09501101530004 has a wrong check digit (4, not 3)"]),
    ("(00)106141411234567890", ["(00) SSCC 106141411234567890 has a wrong check digit (0, not 7)"]),
    ("(17)271332", ["(17) expiry '271332' is not a date YYMMDD"]),
    ("(11)270230", ["(11) production date '270230' is not a date YYMMDD"]),   # no 30 February
    ("(01)0950110153000", ["(01) GTIN has 13 characters, needs 14"]),
    ("(10)ABCDEFGHIJKLMNOPQRSTU", ["(10) batch or lot has 21 characters, at most 20"]),
    ("(10)LOT#1", ["(10) batch or lot 'LOT#1' has characters outside GS1's set"]),
    ("(77)1", ["unknown application identifier (77)"]),
    ("0109501101530003x", ["unknown application identifier at 'x'"]),
])
def test_gs1_element_strings(text, problems):
    assert gs1.parse(text, TODAY).problems == problems


def test_gs1_century_window_and_values():
    assert gs1.date("491231", TODAY) == datetime.date(2049, 12, 31)      # within 50 years ahead
    assert gs1.date("770101", TODAY) == datetime.date(1977, 1, 1)        # further: the century before
    assert gs1.date("240229", TODAY) == datetime.date(2024, 2, 29) and gs1.date("250229", TODAY) is None
    parsed = gs1.parse("0109501101530003172706301026\x1d21SN7", TODAY)
    assert (parsed.get("01"), parsed.get("17"), parsed.get("10"), parsed.get("21")) == \
        ("09501101530003", "270630", "26", "SN7")
    assert parsed.human() == "(01)09501101530003(17)270630(10)26(21)SN7"


# --- serialised Code 128 labels: the bundled example -----------------------------------

def readme_example():
    """The section "Labels that change": its commands and the output it shows."""
    text = open(os.path.join(ROOT, "README.md"), encoding="utf-8").read()
    section = text.split("### Labels that change", 1)[1].split("\n### ", 1)[0]
    commands = re.findall(r"```sh\n(.*?)```", section, re.S)
    shown = re.findall(r"```text\n(.*?)```", section, re.S)
    return section, commands, shown


def test_the_readme_example_runs_as_shown(tmp_path):
    """Teach a recipe from prints (it finds the code and the serial text,
    nothing else), then run the recipe the README shows (rules added by
    hand) with today's lot: every fault named as the README says."""
    section, commands, shown = readme_example()
    teach = [c for c in commands if " recipe " in c][0]
    run = [c for c in commands if " run " in c][0]
    argv = teach.split()[1:]
    argv[argv.index("-o") + 1] = str(tmp_path / "taught.toml")
    # As the shell would: paths from the checkout, patterns expanded.
    argv = [p for a in argv for p in (sorted(glob.glob(os.path.join(ROOT, a))) if a.startswith("examples/") else [a])]
    done = qel_inspect(*argv, cwd=ROOT)
    assert done.returncode == 0, done.stderr
    taught = recipe.parse(__import__("tomllib").loads((tmp_path / "taught.toml").read_text()))
    kept = recipe.parse(__import__("tomllib").load(open(os.path.join(SERIALS, "recipe.toml"), "rb")))
    assert [(r.kind, r.variable) for r in taught.regions] == [("code", True), ("text", True)]
    for got, want in zip(taught.regions, kept.regions):
        assert all(abs(a - b) <= 6 for a, b in zip(got.box, want.box)), (got.box, want.box)
    assert taught.regions[1].same_as == ("code", None) and taught.regions[1].pattern == r"SN\s+(\d{8})"
    argv = run.split()[1:]
    argv[argv.index("-o") + 1] = str(tmp_path / "out")
    ran = qel_inspect(*argv, cwd=ROOT)         # from the checkout, as the README shows it
    assert ran.returncode == 1, ran.stderr
    out = ran.stdout.replace(str(tmp_path / "out"), "/tmp/serials")
    assert out.strip() == shown[-1].strip()
    assert as_recorded("bundled-serials", tmp_path / "out") == []


def test_serials_across_a_resumed_run(tmp_path):
    """A serial seen in the part of a run done before it was resumed is a
    duplicate too; a frame that cannot be read breaks no sequence."""
    frames = sorted(os.listdir(os.path.join(SERIALS, "frames")))
    first, rest = tmp_path / "first", tmp_path / "rest"
    first.mkdir()
    rest.mkdir()
    for n, name in enumerate(frames):
        shutil.copy(os.path.join(SERIALS, "frames", name), (first if n < 11 else rest) / name)
    cut = [first / f for f in frames[:11]]
    recipe_path = os.path.join(SERIALS, "recipe.toml")
    done = qel_inspect("run", recipe_path, *cut, "-o", tmp_path / "out", "--expect", "lot=2612A7")
    assert done.returncode == 1
    # frame_0011 repeats frame_0010's serial, which the first part recorded.
    again = qel_inspect("run", recipe_path, *cut, *[rest / f for f in frames[11:]], "-o", tmp_path / "out",
                        "--resume", "--expect", "lot=2612A7")
    got = verdicts(tmp_path / "out")
    assert worded(got["frame_0011.jpg"]) == ["duplicate serial 26120592 (also frame %s)" % (first / "frame_0010.jpg")]
    assert got["frame_0012.jpg"]["status"] == "pass", again.stdout


def test_bad_regions_and_expectations_are_one_line(tmp_path):
    text = open(os.path.join(SERIALS, "recipe.toml")).read()
    shutil.copy(os.path.join(SERIALS, "recipe.standard.png"), tmp_path / "recipe.standard.png")
    cases = [
        (text.replace('same_as = "serial"', 'same_as = "serail"'), "key 'region 2.same_as': no region is named 'serail'"),
        (text.replace("pattern = 'LOT (\\w+)'", "pattern = 'LOT (\\w+'"),
         "key 'region 3.pattern': not a regular expression (missing ), unterminated subpattern at position 4)"),
        (text.replace('kind = "text"\nbox = [78', 'kind = "txt"\nbox = [78'),
         'key \'region 3.kind\': must be "compare" or "ignore" or "code" or "text", not "txt"'),
        (text.replace("serial = { step = 1 }", "serial = { step = 0 }"), "key 'region 1.serial.step': must not be 0"),
    ]
    for n, (changed, message) in enumerate(cases):
        path = tmp_path / ("r%d.toml" % n)
        path.write_text(changed)
        done = qel_inspect("run", path, os.path.join(SERIALS, "frames"), "-o", tmp_path / "out")
        assert (done.returncode, done.stderr) == (2, "qel-inspect: %s: %s\n" % (path, message)), done.stderr


# --- DataMatrix and QR labels ------------------------------------------------------------

@pytest.mark.parametrize("symbology, serialised, faults, seed", [
    ("datamatrix", True, ("void", "smudge", "wrong_lot", "duplicate", "skip"), 41),
    ("qr", False, ("void", "smudge", "wrong_lot"), 41),
    # A good label here is printed heavier where a dark module of its serial meets the symbol's edge.
    ("qr", True, ("void", "smudge"), 42),
])
def test_2d_labels_taught_from_prints(tmp_path, symbology, serialised, faults, seed):
    """A recipe taught from three prints finds the code (variable when it
    carries a serial) and nothing else that varies; good labels pass, and
    each fault is rejected."""
    truth = variable_batch(str(tmp_path), symbology, good=8, seed=seed, faults=faults, serialised=serialised)
    done = qel_inspect("recipe", tmp_path / "standard.png", *sorted((tmp_path / "teach").iterdir()),
                       "-o", tmp_path / "r.toml")
    assert done.returncode == 0, done.stderr
    taught = recipe.parse(__import__("tomllib").loads((tmp_path / "r.toml").read_text()))
    if serialised:
        [code] = taught.regions
        assert (code.kind, code.symbology, code.variable, code.gs1) == ("code", symbology, True, True)
        # The prints' serials do not follow on; the line's do: say so.
        text = (tmp_path / "r.toml").read_text().replace("gs1 = true", 'gs1 = true\nserial = { step = 1, ai = "21" }')
        (tmp_path / "r.toml").write_text(text)
    else:
        assert taught.regions == []
    ran = qel_inspect("run", tmp_path / "r.toml", tmp_path / "frames", "-o", tmp_path / "out", "--workers", 2)
    got = verdicts(tmp_path / "out")
    wrong = {n: (t["note"], got[n]["status"], worded(got[n])[:2]) for n, t in truth["frames"].items()
             if got[n]["status"] != t["expect"]}
    assert wrong == {}, ran.stdout
    if symbology == "datamatrix":
        assert as_recorded("datamatrix", tmp_path / "out") == []
    reasons = {t["note"]: worded(got[n]) for n, t in truth["frames"].items() if t["note"]}
    if "duplicate" in faults:
        assert any(w.startswith("duplicate serial") for w in reasons["duplicate"])
        assert any(w.startswith("serial ") and "expected" in w for w in reasons["skip"])
        assert all(got[n]["fields"]["code"].count("\x1d") == 1 for n in got if got[n]["status"] == "pass")
        # A variable symbol is judged module by module (a fixed one pixel by pixel, as all fixed print).
        assert any("void in code" in w or "unreadable code" in w for w in reasons["void"])
