"""Recipes: one TOML file per product, read and checked before any frame is
read, and written back out by `qel-inspect recipe`.

    standard = "standard.png"          # relative to the recipe file
    aoi = [x1, y1, x2, y2]             # area of interest, ends excluded
    polarity = "dark-bars"             # or "light-bars"
    max_shift = 2                      # pixels of misregistration forgiven
    threshold = 60                     # grey levels a pixel must differ by
    dirty_width = 5                    # smallest defect counted, pixels
    min_match_score = 0.7              # below it: alignment failed

    [bars]
    area = [800, 12000]                # square pixels
    perimeter = [300, 1100]            # pixels
"""
import difflib
import math
import os
import re
import shutil
import tomllib
from dataclasses import dataclass, field

from . import pipeline

# The file's keys, in the order they are written.
KEYS = ("standard", "aoi", "polarity", "max_shift", "threshold", "dirty_width", "min_match_score", "bars")
REQUIRED = ("standard", "aoi", "polarity", "max_shift", "threshold", "dirty_width")
BAR_KEYS = ("area", "perimeter")
DEFAULT_MIN_MATCH_SCORE = 0.0

EXPLAIN = {
    "standard": "the standard print, relative to this file",
    "aoi": "area of interest [x1, y1, x2, y2] in pixels, ends excluded",
    "polarity": '"dark-bars" (dark ink bars on light paper) or "light-bars" (knock-out: light bars in ink)',
    "max_shift": "misregistration forgiven, in pixels (about half a module)",
    "threshold": "grey levels a pixel must differ by to count (about 0.4 x the bar/space contrast)",
    "dirty_width": "smallest defect reported, in pixels (about a module)",
    "min_match_score": "below this template match score a frame is an alignment failure",
    "bars.area": "a bar's area in square pixels, [lowest, highest]",
    "bars.perimeter": "a bar's outline length in pixels, [lowest, highest]",
}


class RecipeError(Exception):
    """A recipe that cannot be used; str() is the one-line message."""

    def __init__(self, path, key, message):
        self.path, self.key = path, key
        where = "key '%s': " % key if key else ""
        super().__init__("%s: %s%s" % (path, where, message))


@dataclass
class Recipe:
    standard: str                     # absolute path once loaded
    aoi: tuple
    polarity: str
    max_shift: int
    threshold: int
    dirty_width: int
    min_match_score: float = DEFAULT_MIN_MATCH_SCORE
    bars: dict = field(default_factory=lambda: {k: tuple(v) for k, v in pipeline.LIBRARY_BANDS.items()})
    path: str = None                  # where it was read from

    def settings(self):
        """The plain values, as the file holds them (standard as read)."""
        return {"standard": self.standard, "aoi": list(self.aoi), "polarity": self.polarity,
                "max_shift": self.max_shift, "threshold": self.threshold, "dirty_width": self.dirty_width,
                "min_match_score": self.min_match_score,
                "bars": {k: list(v) for k, v in self.bars.items()}}


def _is_int(v):
    return isinstance(v, int) and not isinstance(v, bool)


def _is_number(v):
    return (_is_int(v) or isinstance(v, float)) and math.isfinite(v)


def _type_name(v):
    return {bool: "a boolean", int: "an integer", float: "a number", str: "a text", list: "a list",
            dict: "a table"}.get(type(v), type(v).__name__)


def _unknown(path, key, allowed):
    close = difflib.get_close_matches(key, allowed, n=1, cutoff=0.6)
    hint = " (did you mean '%s'?)" % close[0] if close else " (known keys: %s)" % ", ".join(allowed)
    return RecipeError(path, key, "unknown key" + hint)


def _band(path, key, value):
    if not isinstance(value, list):
        raise RecipeError(path, key, "must be a list [lowest, highest], not %s" % _type_name(value))
    if len(value) != 2 or not all(_is_number(v) for v in value):
        raise RecipeError(path, key, "must be two numbers [lowest, highest]")
    lo, hi = value
    if lo < 0:
        raise RecipeError(path, key, "the lowest value must not be negative")
    if lo > hi:
        raise RecipeError(path, key, "lowest %g is above highest %g" % (lo, hi))
    return (lo, hi)


def _int(path, key, value, lo, hi=None):
    if not _is_int(value):
        raise RecipeError(path, key, "must be a whole number, not %s" % _type_name(value))
    if value < lo or (hi is not None and value > hi):
        limits = "from %d to %d" % (lo, hi) if hi is not None else "%d or more" % lo
        raise RecipeError(path, key, "must be %s, not %d" % (limits, value))
    return value


def parse(data, path="recipe", image_size=None):
    """Check a recipe given as a dict (as read from TOML). `image_size`
    (width, height) bounds the area of interest when known. Returns a Recipe
    whose `standard` is still as written."""
    for key in data:
        if key not in KEYS:
            raise _unknown(path, key, KEYS)
    for key in REQUIRED:
        if key not in data:
            raise RecipeError(path, key, "missing (%s)" % EXPLAIN[key])

    standard = data["standard"]
    if not isinstance(standard, str) or not standard:
        raise RecipeError(path, "standard", "must be a file name in quotes, not %s" % _type_name(standard))

    polarity = data["polarity"]
    if polarity not in pipeline.POLARITIES:
        shown = '"%s"' % polarity if isinstance(polarity, str) else _type_name(polarity)
        raise RecipeError(path, "polarity", "must be \"dark-bars\" or \"light-bars\", not %s" % shown)

    aoi = data["aoi"]
    if not isinstance(aoi, list) or len(aoi) != 4 or not all(_is_int(v) for v in aoi):
        raise RecipeError(path, "aoi", "must be four whole numbers [x1, y1, x2, y2]")
    x1, y1, x2, y2 = aoi
    if x1 < 0 or y1 < 0 or x2 <= x1 or y2 <= y1:
        raise RecipeError(path, "aoi", "[%d, %d, %d, %d] is not a rectangle with x1 < x2, y1 < y2, "
                          "both corners at 0 or above" % tuple(aoi))
    if image_size is not None and (x2 > image_size[0] or y2 > image_size[1]):
        raise RecipeError(path, "aoi", "[%d, %d, %d, %d] reaches outside the %dx%d standard"
                          % (*aoi, *image_size))

    max_shift = _int(path, "max_shift", data["max_shift"], 0, 50)
    threshold = _int(path, "threshold", data["threshold"], 0, 254)
    dirty_width = _int(path, "dirty_width", data["dirty_width"], 1)

    score = data.get("min_match_score", DEFAULT_MIN_MATCH_SCORE)
    if not _is_number(score):
        raise RecipeError(path, "min_match_score", "must be a number, not %s" % _type_name(score))
    if not 0.0 <= score <= 1.0:
        raise RecipeError(path, "min_match_score", "must be between 0 and 1, not %g" % score)

    bars = {k: tuple(v) for k, v in pipeline.LIBRARY_BANDS.items()}
    table = data.get("bars", {})
    if not isinstance(table, dict):
        raise RecipeError(path, "bars", "must be a table ([bars] with area and perimeter), not %s"
                          % _type_name(table))
    for key, value in table.items():
        if key not in BAR_KEYS:
            raise _unknown(path, "bars." + key, ["bars." + k for k in BAR_KEYS])
        bars[key] = _band(path, "bars." + key, value)
    return Recipe(standard, tuple(aoi), polarity, max_shift, threshold, dirty_width, float(score), bars)


def load(path):
    """Read and check a recipe file, its standard included (the image must
    be readable and hold the area). Raises RecipeError."""
    try:
        with open(path, "rb") as f:
            data = tomllib.load(f)
    except OSError as e:
        raise RecipeError(path, None, "cannot read (%s)" % (e.strerror or e))
    except tomllib.TOMLDecodeError as e:
        raise RecipeError(path, None, "not valid TOML (%s)" % e)
    recipe = parse(data, path)
    where = os.path.join(os.path.dirname(os.path.abspath(path)), recipe.standard)
    try:
        image = pipeline.read_frame(where)
    except pipeline.InspectionError as e:
        raise RecipeError(path, "standard", "cannot read '%s': %s" % (recipe.standard, e))
    recipe = parse(data, path, (image.shape[1], image.shape[0]))
    recipe.standard = where
    recipe.path = path
    return recipe, image


def prepare(recipe, image):
    """The prepared standard of a loaded recipe; RecipeError when its bars
    cannot be found with the recipe's bands."""
    try:
        return pipeline.prepare_standard(image, recipe.aoi, recipe.polarity, recipe.bars)
    except pipeline.InspectionError as e:
        # Preparing fails only when no outline of the standard is a bar.
        raise RecipeError(recipe.path or "recipe", "bars", "%s (area %g..%g, perimeter %g..%g)"
                          % (e, *recipe.bars["area"], *recipe.bars["perimeter"]))


# --- writing ---------------------------------------------------------------------------

def _toml_value(v):
    if isinstance(v, bool):
        return "true" if v else "false"
    if isinstance(v, str):
        return '"%s"' % v.replace("\\", "\\\\").replace('"', '\\"')
    if isinstance(v, float):
        return repr(round(v, 4))
    if isinstance(v, (list, tuple)):
        return "[" + ", ".join(_toml_value(x) for x in v) + "]"
    return str(v)


def to_toml(settings, header=(), notes=None):
    """TOML text for a settings dict (as Recipe.settings() gives), each key
    with a comment saying what it means; `notes` maps a key to an extra
    comment line above it."""
    notes = notes or {}
    out = ["# " + line if line else "#" for line in header]
    if header:
        out.append("")

    def emit(key, value, name):
        for line in notes.get(name, ()):
            out.append("# " + line)
        out.append("%-30s # %s" % ("%s = %s" % (key, _toml_value(value)), EXPLAIN[name]))

    for key in KEYS:
        if key != "bars" and key in settings:
            emit(key, settings[key], key)
    if settings.get("bars"):
        out += ["", "%-30s # %s" % ("[bars]", "which outlines count as bars")]
        for key in BAR_KEYS:
            if key in settings["bars"]:
                emit(key, settings["bars"][key], "bars." + key)
    return "\n".join(out) + "\n"


def rewrite(path, values):
    """Set whole-number keys of a recipe file in place: only each key's
    value changes, every other byte (comments, spacing, order, line ends)
    stays. Only keys before the first table can be set. RecipeError when a
    key's line is not found, or when the file would not read back as the
    same recipe with just these values changed."""
    try:
        with open(path, "rb") as f:
            text = f.read().decode("utf-8")
    except (OSError, UnicodeDecodeError) as e:
        raise RecipeError(path, None, "cannot read (%s)" % (getattr(e, "strerror", None) or e))
    lines = text.splitlines(keepends=True)
    found = set()
    for i, line in enumerate(lines):
        if line.lstrip().startswith("["):
            break                                   # a table: the top-level keys are behind
        for key, value in values.items():
            m = re.match(r"""(\s*(?:%s|"%s"|'%s')\s*=\s*)([+-]?[0-9][0-9_]*)([ \t]*)(?=#|\r?\n|$)"""
                         % ((key,) * 3), line)
            if m:
                number, gap = str(int(value)), m.group(3)
                if gap and line[m.end():m.end() + 1] == "#":
                    # Keep the comment in its column while there is room.
                    gap = gap[0] * max(1, len(gap) + len(m.group(2)) - len(number))
                lines[i] = m.group(1) + number + gap + line[m.end():]
                found.add(key)
    for key in values:
        if key not in found:
            raise RecipeError(path, key, "not found as 'key = number' before the first table; set it to %d by hand"
                              % values[key])
    new = "".join(lines)
    try:
        same = tomllib.loads(new) == dict(tomllib.loads(text), **values)
    except tomllib.TOMLDecodeError:
        same = False
    if not same:
        raise RecipeError(path, None, "cannot be changed in place safely; set %s by hand"
                          % ", ".join("%s = %d" % kv for kv in values.items()))
    tmp = path + ".part"
    with open(tmp, "w", encoding="utf-8", newline="") as f:
        f.write(new)
    shutil.copymode(path, tmp)
    os.replace(tmp, path)
    return new
