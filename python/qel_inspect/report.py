"""The HTML report of an output folder, derived from its results.jsonl: one
self-contained page (inline style, no script, no network), pictures
referenced relatively."""
import datetime
import json
import os
import urllib.parse

import cv2
import jinja2

from . import batch, pipeline
from .recipe import EXPLAIN, KEYS

TEMPLATE = "report.html.j2"
REPORT = "report.html"
STANDARD_PICTURE = "standard.jpg"
VERDICTS = {"pass": "pass", "reject": "reject", "error": "not inspected"}


def _degrees(v):
    return "–" if v is None else "%+.2f°" % v


def _score(v):
    return "–" if v is None else "%.3f" % v


def _ms(v):
    return "–" if v is None else "%.0f ms" % (1000 * v)


def _box(b):
    return "%d, %d – %d, %d" % tuple(b)


def _kindclass(kind):
    return "kind-missing" if kind == pipeline.MISSING else "kind-extra"


def _environment():
    env = jinja2.Environment(loader=jinja2.FileSystemLoader(os.path.dirname(os.path.abspath(__file__))),
                             autoescape=True, undefined=jinja2.StrictUndefined)
    env.filters.update(url=lambda p: urllib.parse.quote(p.replace(os.sep, "/")), degrees=_degrees, score=_score,
                       ms=_ms, box=_box, kindclass=_kindclass, basename=os.path.basename)
    return env


def _recipe_rows(settings):
    rows = []
    for key in KEYS:
        if key == "bars":
            for band in ("area", "perimeter"):
                rows.append(("bars." + band, "[%g, %g]" % tuple(settings["bars"][band]), EXPLAIN["bars." + band]))
        elif key == "aoi":
            rows.append((key, "[%d, %d, %d, %d]" % tuple(settings[key]), EXPLAIN[key]))
        else:
            rows.append((key, str(settings[key]), EXPLAIN[key]))
    return rows


def _standard_picture(outdir, settings):
    """The standard with its area of interest, beside the recipe."""
    try:
        image = pipeline.read_frame(settings["standard"])
    except pipeline.InspectionError:
        return None
    picture = cv2.cvtColor(image, cv2.COLOR_GRAY2BGR)
    x1, y1, x2, y2 = settings["aoi"]
    cv2.rectangle(picture, (x1, y1), (x2 - 1, y2 - 1), (255, 120, 0), max(2, image.shape[1] // 320))
    scale = min(1.0, 420.0 / picture.shape[1])
    if scale < 1.0:
        picture = cv2.resize(picture, None, fx=scale, fy=scale, interpolation=cv2.INTER_AREA)
    batch.write_picture(os.path.join(outdir, STANDARD_PICTURE), picture, (cv2.IMWRITE_JPEG_QUALITY, 88))
    return STANDARD_PICTURE


# Fields a record may lack (an error stops before they are measured).
OPTIONAL = {"reason": None, "defects": [], "tilt_frame": None, "tilt_standard": None, "match_score": None,
            "shift": None, "seconds": None, "marked": None, "thumb": None}


def write(outdir, records=None):
    """Write report.html for the folder; returns its path."""
    if records is None:
        records = batch.latest(batch.read_records(outdir))
    records = [{**OPTIONAL, **r} for r in records]
    with open(os.path.join(outdir, batch.RUN), encoding="utf-8") as f:
        run = json.load(f)
    settings = run["recipe"]
    recipe_file = run.get("recipe_file")
    title = os.path.basename(recipe_file) if recipe_file else "recipe"
    page = _environment().get_template(TEMPLATE).render(
        title=title, standard_name=os.path.basename(settings["standard"]),
        written=datetime.datetime.now().strftime("%Y-%m-%d %H:%M"),
        counts=batch.counts(records), total=len(records), planned=run.get("frames", len(records)),
        stopped=run.get("stopped", False), records=records,
        rejects=[r for r in records if r["status"] == "reject"],
        errors=[r for r in records if r["status"] == "error"],
        verdicts=VERDICTS, recipe=_recipe_rows(settings),
        standard_picture=_standard_picture(outdir, settings))
    path = os.path.join(outdir, REPORT)
    with open(path + ".part", "w", encoding="utf-8") as f:
        f.write(page)
    os.replace(path + ".part", path)
    return path
