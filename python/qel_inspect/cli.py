"""The qel-inspect command: `main` turns every outcome into one exit
status (status.ExitStatus), `program` does the work.

Exit status: 0 every frame passed (or the recipe was written, or tuning
found a setting), 1 some frame was rejected (or no setting of the tuning
grid passes no bad frame), 2 some frame could not be inspected, the run was
stopped, or the command could not start (bad recipe, arguments or output
folder, a scheduler that cannot be reached), 3 an internal error: one line
names it and the file that holds its traceback.

The modules a command needs are imported by that command, so a one-frame
run pays for nothing else.
"""
import argparse
import contextlib
import datetime
import os
import sys
import tempfile
import traceback

from . import __version__
from .errors import UsageError
from .status import ExitStatus, Status
from .terminal import safe

PROG = "qel-inspect"
LISTED = 20  # rejects/errors named on the terminal; the report has them all
# Defects of what a label says rather than of its print: their words say it all.
WORDED = {"wrong data", "unreadable code", "duplicate serial", "skipped serial", "low grade", "decode mismatch",
          "undecodable"}


def fail(message):
    print(safe("%s: %s" % (PROG, message)), file=sys.stderr)
    return ExitStatus.INCOMPLETE


def parser():
    p = argparse.ArgumentParser(prog=PROG, description="Check barcode label prints against a standard print.")
    p.add_argument("--version", action="version", version="%(prog)s " + __version__)
    sub = p.add_subparsers(dest="command", required=True, metavar="COMMAND")

    r = sub.add_parser("recipe", help="propose a recipe from a standard print",
                       description="Propose a recipe from a standard print: polarity, bars, area of interest "
                                   "and comparison settings, checked on shifted and tilted copies of the standard.")
    r.add_argument("standard", help="the standard print (an image file): a clean render of the artwork, or the "
                                    "first of several good prints")
    r.add_argument("prints", nargs="*", metavar="GOOD",
                   help="more good prints: the standard is then their median, each brought onto the first's place")
    r.add_argument("--ignore", action="append", default=[], metavar="X1,Y1,X2,Y2",
                   help="leave this box (label-space pixels, as the preview shows them) out of the comparison "
                        "(repeatable)")
    r.add_argument("-o", "--output", required=True, metavar="RECIPE.toml", help="where to write the recipe")
    r.add_argument("--preview", metavar="PNG", help="preview picture (default: RECIPE.preview.png beside it)")
    r.add_argument("--force", action="store_true", help="replace an existing recipe file")

    n = sub.add_parser("run", help="inspect frames with a recipe",
                       description="Inspect frames with a recipe. Writes results.jsonl, results.csv, "
                                   "marked/<frame>.png for each rejected frame and report.html into OUTDIR.")
    n.add_argument("recipe", help="the recipe file (TOML)")
    n.add_argument("targets", nargs="+", metavar="TARGET", help="frame files, folders or glob patterns")
    n.add_argument("-o", "--output", required=True, metavar="OUTDIR", help="output folder")
    n.add_argument("--workers", type=_positive, metavar="N", help="worker processes (default: one per core)")
    n.add_argument("--resume", action="store_true", help="skip frames already recorded in OUTDIR")
    n.add_argument("--expect", action="append", default=[], metavar="NAME=VALUE",
                   help="what a named code or text region must hold in this run (today's lot, say): sets its "
                        "expect (repeatable)")
    n.add_argument("--verbose", action="store_true",
                   help="keep the library's printed lines (library_output) and the milliseconds each step took "
                        "(timings) in each record")
    n.add_argument("--scheduler", metavar="ADDRESS",
                   help="run on the Dask cluster of this scheduler (tcp://HOST:8786) instead of local workers")

    t = sub.add_parser("tune", help="choose threshold, max_shift and dirty_width on frames labelled good and bad",
                       description="Judge frames labelled good and bad under a grid of threshold, max_shift and "
                                   "dirty_width, and choose the setting that passes no bad frame and rejects the "
                                   "fewest good ones, farthest from any that passes a bad frame. Writes "
                                   "tuning.jsonl, tuning.csv, tuning.png and tuning.html into OUTDIR.")
    t.add_argument("recipe", help="the recipe file (TOML)")
    t.add_argument("--good", nargs="+", required=True, metavar="TARGET", help="frames that must pass")
    t.add_argument("--bad", nargs="+", required=True, metavar="TARGET", help="frames that must be rejected")
    t.add_argument("-o", "--output", metavar="OUTDIR", help="output folder (default: RECIPE.tuning beside the recipe)")
    t.add_argument("--write", action="store_true", help="store the chosen setting in the recipe (only those three keys "
                                                        "change)")
    t.add_argument("--grid", action="append", default=[], metavar="AXIS=VALUES",
                   help="the values of an axis (threshold, max_shift, dirty_width): numbers and LO:HI:STEP ranges, "
                        "comma-separated, e.g. threshold=40:80:10,max_shift=1,2,3 (repeatable; default: around the "
                        "recipe's values)")
    t.add_argument("--workers", type=_positive, metavar="N", help="worker processes (default: one per core)")
    t.add_argument("--scheduler", metavar="ADDRESS",
                   help="run on the Dask cluster of this scheduler (tcp://HOST:8786) instead of local workers")
    t.add_argument("--resume", action="store_true", help="skip frames already judged in OUTDIR")

    o = sub.add_parser("report", help="write the report of an output folder again",
                       description="Write OUTDIR/report.html and results.csv again from OUTDIR/results.jsonl.")
    o.add_argument("output", metavar="OUTDIR")
    line_commands(sub)
    return p


def line_commands(sub):
    """watch, serve and export: the station beside a line."""
    w = sub.add_parser("watch", help="inspect every frame that appears in a folder, until stopped",
                       description="Inspect every image file that appears in DIR (once completely written: closed "
                                   "after writing, or renamed into DIR), in arrival order, until Ctrl-C or SIGTERM, "
                                   "which finish the frames in flight. Records go to OUTDIR/results.sqlite and "
                                   "results.jsonl as each frame is judged; watching the same folders again goes "
                                   "on where the last watch ended.")
    w.add_argument("recipe", help="the recipe file (TOML)")
    w.add_argument("folder", metavar="DIR", help="the folder the camera writes frames into")
    w.add_argument("-o", "--output", required=True, metavar="OUTDIR", help="output folder")
    w.add_argument("--workers", type=_positive, metavar="N", help="worker processes (default: one per core)")
    w.add_argument("--new-only", action="store_true", help="leave the frames already in DIR when the first watch "
                                                           "of OUTDIR starts")
    w.add_argument("--keep", type=_count, metavar="N", help="remove inspected frames from DIR, all but the newest N, "
                                                            "once their records are safe")
    w.add_argument("--move-to", metavar="FOLDER", help="move inspected frames into FOLDER once their records are "
                                                       "safe")
    w.add_argument("--poll", action="store_true", help="poll DIR instead of asking the kernel (network file "
                                                       "systems)")
    w.add_argument("--http", metavar="HOST:PORT", help="serve the live page there (e.g. 127.0.0.1:8080)")
    w.add_argument("--on-reject", metavar="CMD", help="run CMD for every frame rejected, not inspected or late, "
                                                      "its record as JSON on standard input")
    w.add_argument("--on-reject-timeout", type=_more_than_zero, default=5.0, metavar="SECONDS",
                   help="stop the command after this long (default: 5)")
    w.add_argument("--mqtt", metavar="HOST:PORT", help="publish every record to this MQTT broker")
    w.add_argument("--topic", default="qel-inspect/records", help="the MQTT topic (default: qel-inspect/records)")
    w.add_argument("--deadline", type=_more_than_zero, metavar="MS", help="announce a frame not judged this many "
                                                                   "milliseconds after it arrived as late")
    w.add_argument("--expect", action="append", default=[], metavar="NAME=VALUE",
                   help="what a named code or text region must hold (today's lot, say): sets its expect "
                        "(repeatable)")
    w.add_argument("--verbose", action="store_true",
                   help="keep the library's printed lines (library_output) and the milliseconds each step took "
                        "(timings) in each record")

    s = sub.add_parser("serve", help="serve the live page of an output folder",
                       description="Serve the live page of OUTDIR (counts, reject rate, rejects over time, the last "
                                   "rejects, defect kinds, the recipe), updating itself as frames are recorded.")
    s.add_argument("output", metavar="OUTDIR")
    s.add_argument("--http", default="127.0.0.1:8080", metavar="HOST:PORT",
                   help="where to listen (default: 127.0.0.1:8080)")

    e = sub.add_parser("export", help="the records of a time span, from the database",
                       description="Write the frames of OUTDIR/results.sqlite judged from --since to --until as "
                                   "CSV or JSON lines.")
    e.add_argument("output", metavar="OUTDIR")
    e.add_argument("--since", metavar="TIME", help="from this moment (2024-05-01T06:00, a date, or HH:MM today)")
    e.add_argument("--until", metavar="TIME", help="up to this moment, excluded")
    e.add_argument("--format", choices=("csv", "jsonl"), default="csv", help="csv (default) or jsonl")
    e.add_argument("-o", "--to", metavar="FILE", help="write to FILE (default: standard output)")


def _count(text):
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError("not a whole number: %r" % text)
    if value < 0:
        raise argparse.ArgumentTypeError("must be 0 or more")
    return value


def _more_than_zero(text):
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError("not a number: %r" % text)
    if not value > 0:
        raise argparse.ArgumentTypeError("must be more than 0")
    return value


def _positive(text):
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError("not a whole number: %r" % text)
    if value < 1:
        raise argparse.ArgumentTypeError("must be 1 or more")
    return value


def recorded_px_per_mm(path):
    """Pixels per millimetre from the resolution an image file records
    (an artwork export does; 72 and 96 dpi are screen defaults, not a
    measurement), or None."""
    try:
        from PIL import Image

        with Image.open(path) as im:
            dpi = im.info.get("dpi")
    except Exception:  # noqa: BLE001 - no readable resolution is no resolution
        return None
    if not dpi or not dpi[0] or round(float(dpi[0])) in (72, 96) or not 50 <= float(dpi[0]) <= 10000:
        return None
    return float(dpi[0]) / 25.4


def cmd_recipe(args):
    import tomllib

    import cv2

    from . import pipeline, propose, recipe, regions, teach

    prints = [args.standard] + list(args.prints)
    images = []
    for path in prints:
        try:
            images.append(pipeline.read_frame(path))
        except pipeline.InspectionError as e:
            return fail("%s: %s" % (path, e))
    if os.path.exists(args.output) and not args.force:
        return fail("%s exists (use --force to replace it)" % args.output)
    folder = os.path.dirname(os.path.abspath(args.output))
    px_per_mm = recorded_px_per_mm(args.standard)
    standard_path = os.path.abspath(args.standard)
    image, taught = images[0], []
    if len(images) > 1:
        try:
            image, brought = teach.median_standard(images)
            if len(images) >= 3:
                # What differs from print to print: variable regions, and what each
                # holds; there the standard keeps the first print's own pixels.
                image, taught = teach.teach_regions(image, images[0], brought)
        except (teach.TeachError, propose.ProposalError) as e:
            return fail(str(e))
        standard_path = os.path.join(folder, os.path.splitext(os.path.basename(args.output))[0] + ".standard.png")
    try:
        proposal = propose.propose(image, os.path.basename(standard_path), px_per_mm)
    except propose.ProposalError as e:
        return fail("%s: %s" % (args.standard, e))
    settings = dict(proposal.settings)
    settings["standard"] = os.path.relpath(standard_path, folder)
    if args.ignore:
        if proposal.label is None:
            return fail("--ignore needs a label the proposal can find in the standard")
        within = proposal.label[1].size
        try:
            boxes = [regions.box("--ignore", _box_argument(text), within) for text in args.ignore]
        except (ValueError, recipe.validate.SettingError) as e:
            return fail("--ignore: %s" % e)
        settings["region"] = [{"kind": "ignore", "box": list(b)} for b in boxes]
    if taught:
        settings["region"] = settings.get("region", []) + taught
        kinds = {r["kind"] for r in taught}
        wanted = list(settings.get("checks", ["compare"]))
        if any(r["kind"] == "code" and regions.overlap(r["box"], settings["aoi"]) for r in taught):
            # Widths and streaks measure against the standard's bars, which a
            # code that changes from print to print does not keep.
            dropped = [c for c in wanted if c in ("widths", "streaks")]
            wanted = [c for c in wanted if c not in dropped]
            for name in dropped:
                settings.pop(name)
            if dropped:
                proposal.notes.append("the code changes from print to print, and %s measure%s against the "
                                      "standard's bars: off" % (" and ".join(dropped), "" if len(dropped) > 1 else "s"))
        wanted += [c for c, k in (("codes", "code"), ("text", "text")) if k in kinds]
        if any(k in r for r in taught for k in ("gs1", "serial", "same_as", "pattern")):
            wanted.append("content")
        if len(wanted) > 1:
            settings["checks"] = wanted
    preview = args.preview or os.path.splitext(args.output)[0] + ".preview.png"
    h, w = image.shape[:2]
    try:
        settings["standard"].encode("utf-8")
    except UnicodeEncodeError:
        return fail("%s: the name is not UTF-8 text, which a recipe cannot hold; rename the file" % args.standard)
    made = safe("the median of %d prints (%s)" % (len(prints), ", ".join(os.path.basename(p) for p in prints))
                if len(prints) > 1 else os.path.basename(args.standard))
    header = ["Recipe proposed by %s recipe from %s (%dx%d)." % (PROG, made, w, h)]
    if proposal.label is not None:
        pose, space = proposal.label
        header.append("The label is found by its %s, anywhere in the frame and any way up; every area below is in "
                      "label-space pixels (the label turned %d degrees so its bars run across, with %d px around it: "
                      "see the preview picture). The whole label is compared; the bar area (aoi) aligns it."
                      % ("edge against the belt" if pose.found_by == "edge" else "print", space.turn, space.margin))
    header.append("Found %d bars (%s), module about %.1f px, bar/space contrast %.0f grey levels."
                  % (len(proposal.bars), settings["polarity"], proposal.module, proposal.contrast))
    if px_per_mm:
        header.append("px_per_mm from the resolution the standard records (%.0f dpi)." % (px_per_mm * 25.4))
    header.append("Self-check: the standard " + "; ".join("%s %s" % c for c in proposal.checks) + ".")
    header += ["Note: " + n for n in proposal.notes]
    smallest = settings["dirty_width"] + 2 * settings["max_shift"]
    notes = {"dirty_width": ["A spot is reported when its longer side reaches about dirty_width + 2 x max_shift"
                             " = %d px." % smallest],
             "grade.min_grade": ["The lowest grade passed, 0-4 (A 3.5, B 2.5, C 1.5, D 0.5): the grade is estimated"
                                 " from the camera's view of the print."],
             "widths.tolerance": ["Modules an edge of a bar or space may lie from the standard's."],
             "streaks.dots_per_mm": ["The printhead's resolution: 8 for 203 dpi, 12 for 300 dpi, 24 for 600 dpi."]}
    text = recipe.to_toml(settings, _wrap(header), notes)
    # The proposal must read back as the recipe it is (a writer fault would show here, not at the first run).
    recipe.parse(tomllib.loads(text), args.output)
    try:
        os.makedirs(folder, exist_ok=True)
    except OSError as e:
        return fail("cannot make the folder %s (%s)" % (folder, e.strerror or e))
    if len(prints) > 1:
        from .files import write_atomic
        write_atomic(standard_path, cv2.imencode(".png", image)[1].tobytes())
    picture = proposal.preview
    if settings.get("region") and proposal.label is not None:
        picture = propose.preview(propose.standard_space(image, proposal), settings, proposal.bars, proposal.module,
                                  proposal.contrast, proposal.compare,
                                  [tuple(r["box"]) for r in settings["region"] if r["kind"] == "ignore"],
                                  [(tuple(r["box"]), r.get("name") or r["kind"]) for r in settings["region"]
                                   if r["kind"] in ("code", "text")])
    try:
        written = cv2.imwrite(preview, picture)
    except cv2.error:
        written = False
    if not written:
        return fail("cannot write the preview picture %s (a .png or .jpg name in an existing folder)" % preview)
    try:
        with open(args.output, "w", encoding="utf-8") as f:
            f.write(text)
    except OSError as e:
        return fail("cannot write %s (%s)" % (args.output, e.strerror or e))
    with _reader_may_leave():
        symbol = ("%d bars" % len(proposal.bars)) if proposal.bars else "a 2D code"
        print(safe("wrote %s: %s, %s, module %.1f px, contrast %.0f" % (
            args.output, settings["polarity"], symbol, proposal.module, proposal.contrast)))
        if proposal.label is not None:
            turned = (", bars laid across by a %d degree turn" % proposal.label[1].turn) if proposal.bars else ""
            print("  label found by its %s, %.0fx%.0f px%s" % (proposal.label[0].found_by, *proposal.label[0].size,
                                                            turned))
        print("  bar area %s, max_shift %d, threshold %d, dirty_width %d, min_match_score %.2f" % (
            settings["aoi"], settings["max_shift"], settings["threshold"], settings["dirty_width"],
            settings["min_match_score"]))
        if len(prints) > 1:
            print(safe("  standard: %s, the median of %d prints" % (standard_path, len(prints))))
        for r in taught:
            rules = ", ".join("%s %s" % (k, r[k] if not isinstance(r[k], dict) else "step %d" % r[k]["step"])
                              for k in ("symbology", "gs1", "pattern", "serial", "same_as") if k in r)
            print("  varies from print to print: %s %s at %s%s" % (r["kind"], r["name"], r["box"],
                                                                   " (%s)" % rules if rules else ""))
        for what, outcome in proposal.checks:
            print("  self-check: the standard %s %s" % (what, outcome))
        for n in proposal.notes:
            print("  note: " + n)
        print(safe("preview: %s" % preview))
    return ExitStatus.OK


def expecting(loaded, given):
    """Set the `expect` of named regions from --expect NAME=VALUE; a
    UsageError names what is wrong."""
    from . import regions

    overrides = {}
    for text in given:
        name, sep, value = text.partition("=")
        if not sep or not name:
            raise UsageError("--expect %r: write NAME=VALUE, as in lot=2612A7" % text)
        overrides[name.strip()] = value
    if not overrides:
        return
    try:
        loaded.regions = regions.expecting(loaded.regions, overrides)
    except KeyError as e:
        names = sorted(r.name for r in loaded.regions if r.name and r.kind in regions.RULE_KINDS)
        raise UsageError("--expect: the recipe has no code or text region named %r (%s)"
                         % (e.args[0], "its regions are " + ", ".join(names) if names else "it names none"))
    if "content" not in loaded.checks:
        loaded.checks = tuple(loaded.checks) + ("content",)


def _box_argument(text):
    parts = text.replace(" ", "").split(",")
    if len(parts) != 4:
        raise ValueError("%r is not x1,y1,x2,y2" % text)
    return [int(p) for p in parts]


def _wrap(lines, width=96):
    out = []
    for line in lines:
        words, current = line.split(), ""
        for word in words:
            if current and len(current) + 1 + len(word) > width:
                out.append(current)
                current = word
            else:
                current = (current + " " + word).strip()
        out.append(current)
    return out


def cmd_run(args):
    from . import recipe, report, run, sources
    from .records import counts

    loaded, image = recipe.load(args.recipe)
    expecting(loaded, args.expect)
    recipe.prepare(loaded, image)
    if os.path.exists(args.output) and not os.path.isdir(args.output):
        raise UsageError("%s is a file, not a folder" % args.output)
    source = sources.open_source(args.targets, args.output)
    records, stopped = run.run(loaded, source, args.output, args.workers, args.resume, args.verbose,
                               scheduler=args.scheduler)
    path = report.write(args.output, records)
    with _reader_may_leave():
        summarise(records, stopped, source.total or len(records))
        print(safe("report: %s" % path))
    return ExitStatus.of(counts(records), stopped)


@contextlib.contextmanager
def _reader_may_leave():
    """Output piped into `head` and the like: when the reader goes away the
    results are on disk already, so stop printing quietly, keeping the
    exit status."""
    try:
        yield
        sys.stdout.flush()
    except BrokenPipeError:
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())


def summarise(records, stopped, planned):
    from .records import counts

    c = counts(records)
    print("%d frame%s: %d passed, %d rejected, %d not inspected" % (
        len(records), "" if len(records) == 1 else "s", c[Status.PASS], c[Status.REJECT], c[Status.ERROR]))
    listed = [r for r in records if r.status != Status.PASS]
    for r in listed[:LISTED]:
        if r.status == Status.REJECT:
            # The most telling first: what the label says, then the largest fault.
            d = min(r.defects, key=lambda d: (d.kind not in WORDED, -d.size))
            more = " (+%d more)" % (len(r.defects) - 1) if len(r.defects) > 1 else ""
            if d.kind in WORDED:
                # An undecodable code's reasons are for the report: the line says what it is.
                words = "undecodable: no scan decodes" if d.kind == "undecodable" else d.description
                print(safe("  reject  %s: %s%s" % (r.frame, words, more)))
                continue
            size = "%d px" % d.size
            if "size_mm" in d.extra:
                size += " (%.1f mm)" % d.extra["size_mm"]
            what = d.kind + (" streak" if "length" in d.extra else "")
            print(safe("  reject  %s: %s %s at %d, %d - %d, %d%s" % (r.frame, what, size, *d.box_frame, more)))
        else:
            print(safe("  error   %s: %s" % (r.frame, r.reason)))
    if len(listed) > LISTED:
        print("  ... and %d more in the report" % (len(listed) - LISTED))
    if stopped:
        print("stopped after %d of %d frames: run the same command with --resume to finish" % (len(records), planned))


def cmd_report(args):
    from . import report
    from .records import latest, read_records
    from .run import RUN
    from .sinks import RESULTS, write_csv

    if not os.path.exists(os.path.join(args.output, RUN)):
        return fail("%s holds no inspection run" % args.output)
    records = latest(read_records(os.path.join(args.output, RESULTS)))
    write_csv(args.output, records)
    print(safe("report: %s" % report.write(args.output, records)))
    return ExitStatus.OK


def cmd_tune(args):
    from . import recipe, report, tune
    from .outdir import read_header

    loaded, image = recipe.load(args.recipe)
    standard = recipe.prepare(loaded, image)
    base, module, contrast = tune.default_grid(loaded, standard)
    grid = tune.parse_grid(args.grid, base)
    outdir = args.output or os.path.splitext(args.recipe)[0] + ".tuning"
    if os.path.exists(outdir) and not os.path.isdir(outdir):
        raise UsageError("%s is a file, not a folder" % outdir)
    frames, labels = tune.labelled(args.good, args.bad, outdir)
    records, stopped = tune.sweep(loaded, frames, labels, grid, outdir, args.workers, args.scheduler, args.resume)
    if stopped:
        done = len({r["key"] for r in records})
        with _reader_may_leave():
            print("stopped after %d of %d frames: run the same command with --resume to finish" % (done, len(frames)))
        return ExitStatus.INCOMPLETE
    current = (loaded.threshold, loaded.max_shift, loaded.dirty_width)
    summary = tune.summarise(records, labels, grid, current)
    summary.module, summary.contrast = module, contrast
    misjudged = tune.misjudged(summary, loaded, standard, frames, outdir)
    status, note = ExitStatus.OK, "Run with --write to store it in the recipe."
    if summary.chosen is None:
        status, note = ExitStatus.REJECTED, "The recipe was not changed."
    elif args.write and summary.rows[summary.chosen].setting == current:
        note = "The recipe already holds these values; it was left as it was."
    elif args.write:
        chosen = dict(zip(tune.AXES, summary.rows[summary.chosen].setting))
        try:
            recipe.rewrite(args.recipe, chosen)
            note = "Stored in %s (only threshold, max_shift and dirty_width changed)." % args.recipe
        except recipe.RecipeError as e:
            fail(str(e))
            status, note = ExitStatus.INCOMPLETE, "Not stored: %s" % e
    header = read_header(outdir, tune.TUNE)
    margin = ""
    if summary.chosen is not None:
        margin = "; ".join(w for w in (tune.margin_words(summary), "on the other side, " + tune.reject_words(summary),
                                       tune.edge_words(summary)) if w)
    page = report.write_tuning(outdir, summary, header, misjudged, margin, note, tune.grid_words(grid))
    with _reader_may_leave():
        for line in tune.describe(summary):
            print(safe(line))
        print(safe(note.replace("Run with", "run with").replace("Stored", "stored").replace("The recipe", "the recipe")
                   .replace("Not stored", "not stored").rstrip(".")))
        print(safe("tuning page: %s" % page))
    return status


def cmd_watch(args):
    from . import recipe, report, watch
    from .records import counts

    loaded, image = recipe.load(args.recipe)
    expecting(loaded, args.expect)
    recipe.prepare(loaded, image)
    options = watch.Options(workers=args.workers, new_only=args.new_only, keep=args.keep, move_to=args.move_to,
                            poll=args.poll, verbose=args.verbose, http=args.http, on_reject=args.on_reject,
                            on_reject_timeout=args.on_reject_timeout, mqtt=args.mqtt, topic=args.topic,
                            deadline_ms=args.deadline)
    records, here, stopped = watch.watch(loaded, args.folder, args.output, options)
    path = report.write(args.output, records)
    with _reader_may_leave():
        print("this watch: %d frames, %d passed, %d rejected, %d not inspected" % (
            sum(here.values()), here[Status.PASS], here[Status.REJECT], here[Status.ERROR]))
        summarise(records, False, len(records))
        print(safe("report: %s" % path))
    return ExitStatus.of(counts(records), stopped)


def cmd_serve(args):
    from . import live
    from .run import RUN

    if not os.path.exists(os.path.join(args.output, RUN)):
        return fail("%s holds no inspection run" % args.output)
    server = live.Server(args.output, args.http)
    print("live page: %s (Ctrl-C to stop)" % server.url, flush=True)
    server.run()
    return ExitStatus.OK


def cmd_export(args):
    from . import export

    since = export.parse_time(args.since, "--since") if args.since else None
    until = export.parse_time(args.until, "--until") if args.until else None
    if args.to:
        with open(args.to, "w", encoding="utf-8", newline="") as out:
            n = export.export(args.output, out, args.format, since, until)
        print(safe("%d frame%s written to %s" % (n, "" if n == 1 else "s", args.to)), file=sys.stderr)
    else:
        with _reader_may_leave():
            export.export(args.output, sys.stdout, args.format, since, until)
    return ExitStatus.OK


COMMANDS = {"recipe": cmd_recipe, "run": cmd_run, "tune": cmd_tune, "report": cmd_report, "watch": cmd_watch,
            "serve": cmd_serve, "export": cmd_export}


def program(args):
    return COMMANDS[args.command](args)


def main(argv=None):
    """The command line's exit status; never a traceback for what the user
    can mend, and never a verdict's status for a fault of the tool."""
    args = parser().parse_args(argv)
    try:
        return int(program(args))
    except UsageError as e:
        return int(fail(str(e)))
    except KeyboardInterrupt:
        return int(fail("stopped"))
    except Exception as e:  # noqa: BLE001 - the one catch-all: a fault of the tool, not a verdict
        first = (str(e).splitlines() or [""])[0]
        where = crash_log()
        print(safe("%s: internal error: %s%s (the traceback is in %s)" % (PROG, type(e).__name__,
                                                                          ": " + first if first else "", where)),
              file=sys.stderr)
        return int(ExitStatus.INTERNAL)
    finally:
        # The output folder is free for the next command (loaded only if a command owned one).
        outdir = sys.modules.get("qel_inspect.outdir")
        if outdir is not None:
            outdir.release()


def crash_log():
    """Write the exception being handled, with its traceback, to a log file
    of its own; returns the file's path."""
    stamp = datetime.datetime.now().strftime("%Y%m%d-%H%M%S")
    fd, path = tempfile.mkstemp(prefix="%s-crash-%s-" % (PROG, stamp), suffix=".log")
    with os.fdopen(fd, "w", encoding="utf-8") as f:
        f.write("%s %s: %s\n\n" % (PROG, __version__, " ".join(sys.argv)))
        traceback.print_exc(file=f)
    return path
