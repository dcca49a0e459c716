"""The HTML report of an output folder, derived from its results.jsonl: one
self-contained page (inline style, no script, no network), pictures
referenced relatively. Also the tuning page of `qel-inspect tune`, with its
plot (matplotlib, imported only for it)."""
import csv
import datetime
import io
import math
import os
import urllib.parse

import cv2

from . import pipeline
from .files import write_atomic, write_picture
from .outdir import read_header
from .recipe import EXPLAIN, KEYS
from .records import counts, latest, read_records
from .run import REPORT, RUN
from .sinks import RESULTS
from .status import Status
from .tune import TUNING_CSV, TUNING_PAGE, TUNING_PLOT

TEMPLATE = "report.html.j2"
STANDARD_PICTURE = "standard.jpg"


def _degrees(v):
    return "–" if v is None else "%+.2f°" % v


def _score(v):
    return "–" if v is None else "%.3f" % v


def _ms(v):
    return "–" if v is None else "%.0f ms" % (1000 * v)


def _box(b):
    return "%d, %d – %d, %d" % tuple(b)


def _size(d):
    """A defect's size for people: pixels, millimetres when known, the
    length of a streak."""
    extra = d.extra
    words = "%d px" % d.size
    if "size_mm" in extra:
        words += " (%.1f mm)" % extra["size_mm"]
    if "length" in extra:
        words += ", %d px long" % extra["length"] + (" (%.1f mm)" % extra["length_mm"] if "length_mm" in extra else "")
    return words


def _kindclass(kind):
    return "kind-missing" if kind == pipeline.MISSING else "kind-extra"


def _environment():
    import jinja2

    env = jinja2.Environment(loader=jinja2.FileSystemLoader(os.path.dirname(os.path.abspath(__file__))),
                             autoescape=True, undefined=jinja2.StrictUndefined)
    env.filters.update(url=lambda p: urllib.parse.quote(p.replace(os.sep, "/")), degrees=_degrees, score=_score,
                       ms=_ms, box=_box, kindclass=_kindclass, basename=os.path.basename, size=_size,
                       shown=lambda v: str(v).replace("\x1d", "\u241d"), grade=_grade)
    return env


def _shown(value):
    if isinstance(value, float):
        return "%g" % value
    if isinstance(value, list):
        return "[" + ", ".join(_shown(v) for v in value) + "]"
    return str(value)


def _recipe_rows(settings):
    """(key, value, meaning) of every key the recipe sets, tables' keys
    as table.key, each region as a row of its own."""
    rows = []
    for key in list(KEYS) + sorted(k for k in settings if k not in KEYS):
        value = settings.get(key)
        if value is None:
            continue
        if key == "region":
            for n, region in enumerate(value, 1):
                rows.append(("region %d" % n, "%s %s%s" % (region["kind"], _shown(region["box"]),
                                                          " (%s)" % region["name"] if region.get("name") else ""),
                             "label-space pixels"))
        elif isinstance(value, dict):
            for sub, v in value.items():
                rows.append(("%s.%s" % (key, sub), _shown(v), EXPLAIN.get("%s.%s" % (key, sub), "")))
        else:
            rows.append((key, _shown(value), EXPLAIN.get(key, "")))
    return rows


def standard_picture(settings):
    """The standard as the comparison sees it, with its areas drawn: with
    a label, the label in its own coordinates, the compared and ignored
    regions and the bar area; otherwise the frame with its area of
    interest. None when the standard cannot be read."""
    from . import recipe as recipes
    from .pictures import regions_picture

    try:
        image = pipeline.read_frame(settings["standard"])
    except pipeline.InspectionError:
        return None
    try:
        rec = recipes.parse(settings)
        standard = recipes.prepare(rec, image)
    except Exception:  # noqa: BLE001 - a picture of the plain standard serves as well
        return regions_picture(image, settings["aoi"], ticks=False)
    compare = [r.box for r in rec.regions if r.kind == "compare"] or [pipeline.default_compare_box(standard)]
    ignore = [r.box for r in rec.regions if r.kind == "ignore"]
    return regions_picture(standard.image, rec.aoi, compare, ignore, ticks=False)


def _standard_picture(outdir, settings):
    picture = standard_picture(settings)
    if picture is None:
        return None
    scale = min(1.0, 420.0 / picture.shape[1])
    if scale < 1.0:
        picture = cv2.resize(picture, None, fx=scale, fy=scale, interpolation=cv2.INTER_AREA)
    write_picture(os.path.join(outdir, STANDARD_PICTURE), picture, (cv2.IMWRITE_JPEG_QUALITY, 88))
    return STANDARD_PICTURE


TABLE_ROWS = 300          # frames in the table before the rest are folded away
FOLD_ROWS = 2000          # frames a folded part holds
GALLERY = 48              # reject pictures shown before the rest are folded away


def defect_kinds(records):
    """[(kind, frames with it, defects of it)], most frames first."""
    frames, found = {}, {}
    for r in records:
        for kind in {d.kind for d in r.defects}:
            frames[kind] = frames.get(kind, 0) + 1
        for d in r.defects:
            found[d.kind] = found.get(d.kind, 0) + 1
    return sorted(((k, frames[k], found[k]) for k in frames), key=lambda t: (-t[1], t[0]))


# The verifier's parameters in the rejects' table: (record key, heading, as a share).
GRADE_COLUMNS = (("symbol_contrast_worst", "SC", True), ("min_reflectance_worst", "Rmin", True),
                 ("edge_contrast_min_worst", "ECmin", True), ("modulation_worst", "MOD", False),
                 ("defects_worst", "Defects", False), ("decodability_worst", "Decodability", False))


def _grade(r):
    """"B 3.0", or "" for a record without a grade."""
    g = r.values.get("grade")
    return "" if g is None else "%s %.1f" % (r.values.get("grade_letter", ""), g)


def graded_rejects(records):
    """[(record, [parameter values as shown])] of the rejects that were graded."""
    out = []
    for r in records:
        if r.status != Status.REJECT or r.values.get("grade") is None:
            continue
        cells = []
        for key, _, share in GRADE_COLUMNS:
            v = r.values.get(key)
            cells.append("–" if v is None else ("%.0f %%" % (100 * v) if share else "%.2f" % v))
        growth = r.values.get("print_growth")
        cells.append("–" if growth is None else "%+.2f" % (round(growth, 2) + 0.0))     # no "-0.00"
        out.append((r, cells))
    return out


def _folds(rows, first, size):
    """The rows after the first `first`, in parts of `size`: [(from, to, rows)]."""
    return [(i + 1, min(i + size, len(rows)), rows[i:i + size]) for i in range(first, len(rows), size)]


def write(outdir, records=None):
    """Write report.html for the folder; returns its path."""
    from .charts import bucket_words, grade_svg, rate_svg
    from .database import timeline

    if records is None:
        records = latest(read_records(os.path.join(outdir, RESULTS)))
    run = read_header(outdir, RUN)
    settings = run["recipe"]
    recipe_file = run.get("recipe_file")
    title = os.path.basename(recipe_file) if recipe_file else "recipe"
    rejects = [r for r in records if r.status == Status.REJECT]
    buckets = timeline(outdir)
    graded = any(r.values.get("grade") is not None for r in records)
    min_grade = settings.get("grade", {}).get("min_grade", 1.5) if "grade" in settings.get("checks", ()) else None
    if isinstance(min_grade, str):
        from .checks.grade import LETTER_GRADES
        min_grade = LETTER_GRADES.get(min_grade.upper())
    grade_chart = grade_svg([(r.frame, r.values.get("grade"), r.status, r.values.get("print_growth"))
                             for r in records], min_grade) if graded else ""
    page = _environment().get_template(TEMPLATE).render(
        graded=graded, grade_chart=grade_chart, min_grade=min_grade, grade_columns=GRADE_COLUMNS,
        graded_rejects=graded_rejects(records),
        kinds=defect_kinds(records), chart=rate_svg(buckets), chart_words=bucket_words(buckets) if buckets else "",
        table=records[:TABLE_ROWS], folds=_folds(records, TABLE_ROWS, FOLD_ROWS),
        gallery=rejects[:GALLERY], gallery_folds=_folds(rejects, GALLERY, 10 * GALLERY),
        title=title, standard_name=os.path.basename(settings["standard"]),
        written=datetime.datetime.now().strftime("%Y-%m-%d %H:%M"),
        counts={s.value: n for s, n in counts(records).items()}, total=len(records),
        planned=run.get("frames") or len(records), stopped=run.get("stopped", False), records=records,
        rejects=rejects, errors=[r for r in records if r.status == Status.ERROR],
        recipe=_recipe_rows(settings), standard_picture=_standard_picture(outdir, settings), gallery_limit=GALLERY)
    path = os.path.join(outdir, REPORT)
    write_atomic(path, page)
    return path


# --- the tuning page -----------------------------------------------------------------

TUNING_TEMPLATE = "tuning.html.j2"


def _margin(row):
    if row.false_accepts:
        return "–"
    return "∞" if row.margin == float("inf") else "%.2f" % row.margin


def tuning_plot(summary, path):
    """False rejects (upper panels) and false accepts (lower panels) against
    threshold, a column per dirty_width, a colour per max_shift (drawn a
    little apart where the lines would lie on each other), the chosen
    setting starred. Each kind of count has its own scale, so a handful of
    false accepts shows beside many false rejects."""
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib.lines import Line2D
    from matplotlib.ticker import MaxNLocator

    grid = summary.grid
    thresholds, shifts, widths = grid["threshold"], grid["max_shift"], grid["dirty_width"]
    rows = {r.setting: r for r in summary.rows}
    columns = min(4, len(widths))
    bands = math.ceil(len(widths) / columns)
    height = 4.6 * bands + 0.5
    fig, axes = plt.subplots(2 * bands, columns, figsize=(3.7 * columns, height), sharex=True, squeeze=False)
    colours = plt.get_cmap("tab10").colors
    step = min((b - a for a, b in zip(thresholds, thresholds[1:])), default=1)
    dodge = 0.12 * step
    chosen = summary.rows[summary.chosen].setting if summary.chosen is not None else None
    kinds = (("false_rejects", "false rejects\n(good frames)"), ("false_accepts", "false accepts\n(bad frames)"))
    tops = {k: max(1, max(len(getattr(r, k)) for r in summary.rows)) for k, _ in kinds}
    for n, width in enumerate(widths):
        band, column = divmod(n, columns)
        for row_in_band, (kind, label) in enumerate(kinds):
            ax = axes[2 * band + row_in_band][column]
            for j, shift in enumerate(shifts):
                offset = (j - (len(shifts) - 1) / 2) * dodge
                counts = [len(getattr(rows[(t, shift, width)], kind)) for t in thresholds]
                ax.plot([t + offset for t in thresholds], counts, "-o", color=colours[j % len(colours)], ms=3, lw=1.4)
                if chosen is not None and chosen[1:] == (shift, width):
                    ax.axvline(chosen[0] + offset, color="#c0392b", lw=0.8, ls=":")
                    ax.plot([chosen[0] + offset], [len(getattr(rows[chosen], kind))], marker="*", ms=16,
                            color="#c0392b", mec="black", mew=0.6, zorder=5, ls="none")
            ax.set_ylim(-0.06 * tops[kind], tops[kind] * 1.08)
            ax.yaxis.set_major_locator(MaxNLocator(integer=True))
            ax.grid(True, alpha=0.3)
            if row_in_band == 0:
                ax.set_title("dirty_width %d" % width, fontsize=10)
            else:
                ax.set_xlabel("threshold")
                ax.xaxis.set_tick_params(labelbottom=True)
            if column == 0:
                ax.set_ylabel(label, fontsize=9)
    for n in range(len(widths), bands * columns):
        band, column = divmod(n, columns)
        axes[2 * band][column].set_visible(False)
        axes[2 * band + 1][column].set_visible(False)
    handles = [Line2D([], [], color=colours[j % len(colours)], lw=2.5, marker="o", ms=3, label="max_shift %d" % s)
               for j, s in enumerate(shifts)]
    if chosen is not None:
        handles.append(Line2D([], [], color="#c0392b", marker="*", ms=12, mec="black", ls="none", label="chosen"))
    fig.legend(handles=handles, loc="lower center", ncol=min(len(handles), 7), fontsize=8.5, frameon=False)
    fig.tight_layout(rect=(0, 0.4 / height, 1, 1))
    data = io.BytesIO()
    fig.savefig(data, format="png", dpi=100)
    plt.close(fig)
    write_atomic(path, data.getvalue())


def write_tuning_csv(outdir, summary):
    text = io.StringIO(newline="")
    out = csv.writer(text)
    out.writerow(["threshold", "max_shift", "dirty_width", "false_rejects", "false_accepts", "bad_not_inspectable",
                  "margin", "chosen"])
    for i, r in enumerate(summary.rows):
        out.writerow([*r.setting, len(r.false_rejects), len(r.false_accepts), len(r.bad_errors),
                      "" if r.false_accepts else ("inf" if r.margin == float("inf") else round(r.margin, 4)),
                      "yes" if i == summary.chosen else ""])
    write_atomic(os.path.join(outdir, TUNING_CSV), text.getvalue())


def write_tuning(outdir, summary, header, misjudged, margin, write_note, grid_text):
    """Write tuning.html (with tuning.png and tuning.csv) into the tuning's
    folder; returns the page's path."""
    tuning_plot(summary, os.path.join(outdir, TUNING_PLOT))
    write_tuning_csv(outdir, summary)
    rows = []
    for i, r in sorted(enumerate(summary.rows), key=lambda p: (p[1].setting[2], p[1].setting[1], p[1].setting[0])):
        classes = ["unsafe" if r.false_accepts else "safe"]
        if i == summary.chosen:
            classes.append("chosen")
        if r.setting == summary.current:
            classes.append("current")
        rows.append({"setting": r.setting, "fr": len(r.false_rejects), "fa": len(r.false_accepts),
                     "bad_errors": len(r.bad_errors), "margin": _margin(r), "classes": " ".join(classes),
                     "is_chosen": i == summary.chosen, "is_current": r.setting == summary.current})
    shown = summary.rows[summary.shown]
    recipe_file = header.get("recipe_file")
    measured = []
    if summary.module:
        measured.append("%.1f px" % summary.module)
    if summary.contrast:
        measured.append("its contrast %.0f grey levels" % summary.contrast)
    page = _environment().get_template(TUNING_TEMPLATE).render(
        title=os.path.basename(recipe_file) if recipe_file else "recipe",
        written=datetime.datetime.now().strftime("%Y-%m-%d %H:%M"),
        settings_count=len(summary.rows), good=len(summary.good), bad=len(summary.bad),
        chosen=summary.rows[summary.chosen] if summary.chosen is not None else None, shown=shown,
        current=summary.current, margin=margin, write_note=write_note, plot=TUNING_PLOT, grid_text=grid_text,
        measured=" and ".join(measured), misjudged=misjudged, rows=rows, recipe=_recipe_rows(header["recipe"]),
        bad_errors=[(summary.frames[k], summary.verdicts[(k, shown.setting)].get("reason")) for k in shown.bad_errors])
    path = os.path.join(outdir, TUNING_PAGE)
    write_atomic(path, page)
    return path
