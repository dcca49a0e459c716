"""Recipes: one TOML file per product, read and checked before any frame is
read, and written back out by `qel-inspect recipe`.

    standard = "standard.png"          # relative to the recipe file
    aoi = [x1, y1, x2, y2]             # area of interest, ends excluded
    polarity = "dark-bars"             # or "light-bars"
    max_shift = 2                      # pixels of misregistration forgiven
    threshold = 60                     # grey levels a pixel must differ by
    dirty_width = 5                    # smallest defect counted, pixels
    min_match_score = 0.7              # below it: alignment failed
    max_frame_pixels = 4000000         # larger frames refused unread (default: 4 x the standard's)
    checks = ["compare"]               # what frames are judged by (this is the default)

    [bars]
    area = [800, 12000]                # square pixels
    perimeter = [300, 1100]            # pixels

A check other than the comparison has a table of its own, named after it.
"""
import os
import re
import tomllib
from dataclasses import dataclass, field
from typing import Optional

from . import checks, images, light, locate, pipeline, regions, validate
from .errors import UsageError
from .files import read_regular, write_atomic

MOST_BYTES = 1 << 20            # a recipe is a few hundred bytes: anything this large is something else

# The file's keys, in the order they are written.
KEYS = ("standard", "aoi", "polarity", "max_shift", "threshold", "dirty_width", "min_match_score", "px_per_mm",
        "min_contrast", "max_frame_pixels", "module", "checks", "bars", "label", "region")
REQUIRED = ("standard", "aoi", "polarity", "max_shift", "threshold", "dirty_width")
BAR_KEYS = ("area", "perimeter")
LABEL_KEYS = ("found_by", "centre", "size", "angle", "turn", "margin")
# Without the key only a negative match score fails (the library's own rule).
DEFAULT_MIN_MATCH_SCORE = 0.0

EXPLAIN = {
    "standard": "the standard print, relative to this file",
    "aoi": "area of interest [x1, y1, x2, y2] in pixels, ends excluded",
    "polarity": '"dark-bars" (dark ink bars on light paper) or "light-bars" (knock-out: light bars in ink)',
    "max_shift": "misregistration forgiven, in pixels (about half a module)",
    "threshold": "grey levels a pixel must differ by to count (about 0.4 x the bar/space contrast)",
    "dirty_width": "smallest defect reported, in pixels (about a module)",
    "min_match_score": "below this template match score a frame is an alignment failure",
    "max_frame_pixels": "a frame whose file declares more pixels is refused before it is decoded (default: %d x "
                        "the standard's)" % images.FACTOR,
    "checks": "what each frame is judged by, in this order",
    "px_per_mm": "camera pixels per millimetre on the label (sizes and places are also given in mm)",
    "min_contrast": "grey levels between paper and ink below which a frame cannot be judged",
    "module": "the module width in pixels, where the standard has no bars to measure it on",
    "label.found_by": '"edge" (the paper against the belt) or "print" (the extent of the print)',
    "label.centre": "the label's centre in the standard, pixels",
    "label.size": "its width and height along its own axes, pixels",
    "label.angle": "its tilt in the standard, degrees counter-clockwise",
    "label.turn": "the further quarter turn (degrees) that lays its bars across",
    "label.margin": "pixels of its surroundings kept around it",
    "bars.area": "a bar's area in square pixels, [lowest, highest]",
    "bars.perimeter": "a bar's outline length in pixels, [lowest, highest]",
}


class RecipeError(UsageError):
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
    checks: tuple = checks.DEFAULT    # names of the checks, in the order they run
    tables: dict = field(default_factory=dict)   # each check's own table as written, by table name
    label: dict = None                # [label] as written; None: frames in the standard's place and size
    regions: list = field(default_factory=list)  # regions.Region, label-space pixels
    px_per_mm: float = None
    min_contrast: float = light.MIN_CONTRAST
    max_frame_pixels: Optional[int] = None       # None: images.FACTOR times the standard's pixels
    module: float = None

    def placement(self):
        """(the standard's label pose, its label space), or None."""
        if self.label is None:
            return None
        t = self.label
        pose = locate.Pose(tuple(t["centre"]), tuple(t["size"]), t["angle"], t["found_by"])
        return pose, locate.Space(tuple(t["size"]), t["turn"], t["margin"])

    def settings(self):
        """The plain values, as the file holds them (standard as read)."""
        out = {"standard": self.standard, "aoi": list(self.aoi), "polarity": self.polarity,
               "max_shift": self.max_shift, "threshold": self.threshold, "dirty_width": self.dirty_width,
               "min_match_score": self.min_match_score,
               "bars": {k: list(v) for k, v in self.bars.items()}}
        if self.px_per_mm is not None:
            out["px_per_mm"] = self.px_per_mm
        if self.module is not None:
            out["module"] = self.module
        if self.label is not None:
            out["min_contrast"] = self.min_contrast
            out["label"] = dict(self.label)
        if self.regions:
            out["region"] = [r.settings() for r in self.regions]
        if self.max_frame_pixels is not None:
            out["max_frame_pixels"] = self.max_frame_pixels
        if tuple(self.checks) != checks.DEFAULT:
            out["checks"] = list(self.checks)
        out.update(self.tables)
        return out

    def check_runs(self):
        """(module, settings) of each check, in order; RecipeError when a
        check cannot be loaded or refuses its table."""
        return [(module, settings) for _, module, settings in _checks(self.settings(), self.path or "recipe")]


def _modules(data, path):
    """(name, module) of each check the recipe names."""
    names = data.get("checks", list(checks.DEFAULT))
    if not isinstance(names, list) or not all(isinstance(n, str) and n for n in names):
        raise RecipeError(path, "checks", "must be a list of check names in quotes")
    if len(set(names)) != len(names):
        raise RecipeError(path, "checks", "names a check twice")
    out = []
    for name in names:
        try:
            out.append((name, checks.load(name)))
        except LookupError as e:
            raise RecipeError(path, "checks", str(e))
    return out


def _own_table(module):
    """The name of a check's recipe table; None for one whose keys are the
    recipe's own (the comparison's)."""
    return None if getattr(module, "TOP_LEVEL", None) else module.NAME


def _checks(data, path):
    """(table name, module, settings) of each check the recipe names."""
    out = []
    for _, module in _modules(data, path):
        table = _own_table(module)
        try:
            if table is None:
                settings = module.parse({k: data[k] for k in module.TOP_LEVEL})
            else:
                settings = module.parse(validate.table(table, data.get(table, {})))
        except validate.SettingError as e:
            key = e.key if table is None or e.key == table or e.key.startswith(table + ".") \
                else "%s.%s" % (table, e.key)
            raise RecipeError(path, key, str(e))
        out.append((table, module, settings))
    return out


def parse(data, path="recipe", image_size=None):
    """Check a recipe given as a dict (as read from TOML). `image_size`
    (width, height) bounds the area of interest when known. Returns a Recipe
    whose `standard` is still as written."""
    try:
        return _parse(data, path, image_size)
    except validate.SettingError as e:
        raise RecipeError(path, e.key, str(e))


def _parse(data, path, image_size):
    tables = {_own_table(m) for _, m in _modules(data, path)} - {None}
    for key in data:
        if key not in KEYS and key not in tables:
            raise validate.unknown(key, list(KEYS))
    for key in REQUIRED:
        if key not in data:
            raise RecipeError(path, key, "missing (%s)" % EXPLAIN[key])

    standard = data["standard"]
    if not isinstance(standard, str) or not standard:
        raise RecipeError(path, "standard", "must be a file name in quotes, not %s"
                          % ("an empty text" if standard == "" else validate.type_name(standard)))
    if "\0" in standard:
        raise RecipeError(path, "standard", "holds a NUL character (\\0), which no file name can")

    polarity = validate.choice("polarity", data["polarity"], pipeline.POLARITIES)

    aoi = data["aoi"]
    if not isinstance(aoi, list) or len(aoi) != 4 or not all(validate.is_int(v) for v in aoi):
        raise RecipeError(path, "aoi", "must be four whole numbers [x1, y1, x2, y2]")
    x1, y1, x2, y2 = aoi
    if x1 < 0 or y1 < 0 or x2 <= x1 or y2 <= y1:
        raise RecipeError(path, "aoi", "[%d, %d, %d, %d] is not a rectangle with x1 < x2, y1 < y2, "
                          "both corners at 0 or above" % tuple(aoi))
    label = _label(data.get("label")) if "label" in data else None
    if label is not None:
        image_size = locate.Space(tuple(label["size"]), label["turn"], label["margin"]).size
    if image_size is not None and (x2 > image_size[0] or y2 > image_size[1]):
        raise RecipeError(path, "aoi", "[%d, %d, %d, %d] reaches outside the %dx%d %s"
                          % (*aoi, *image_size, "label" if label else "standard"))
    found = regions.parse(data.get("region", []), image_size if label else None)
    px_per_mm = data.get("px_per_mm")
    if px_per_mm is not None:
        px_per_mm = validate.number("px_per_mm", px_per_mm, 0.01, 1000.0)
    min_contrast = validate.number("min_contrast", data.get("min_contrast", light.MIN_CONTRAST), 1, 254)
    module = data.get("module")
    if module is not None:
        module = validate.number("module", module, 1.0, 1000.0)

    max_shift = validate.whole("max_shift", data["max_shift"], 0, 50)
    threshold = validate.whole("threshold", data["threshold"], 0, 254)
    dirty_width = validate.whole("dirty_width", data["dirty_width"], 1)
    score = validate.number("min_match_score", data.get("min_match_score", DEFAULT_MIN_MATCH_SCORE), 0.0, 1.0)
    most = data.get("max_frame_pixels")
    if most is not None:
        validate.whole("max_frame_pixels", most, 1, images.LARGEST)
        if image_size is not None and most < image_size[0] * image_size[1]:
            raise RecipeError(path, "max_frame_pixels", "%d is below the %dx%d standard's %d pixels, so every "
                              "frame would be refused" % (most, *image_size, image_size[0] * image_size[1]))

    bars = {k: tuple(v) for k, v in pipeline.LIBRARY_BANDS.items()}
    table = data.get("bars", {})
    if not isinstance(table, dict):
        raise RecipeError(path, "bars", "must be a table ([bars] with area and perimeter), not %s"
                          % validate.type_name(table))
    validate.only("bars", table, BAR_KEYS)
    for key, value in table.items():
        bars[key] = validate.band("bars." + key, value)
    _checks(data, path)
    names = tuple(data.get("checks", checks.DEFAULT))
    return Recipe(standard, tuple(aoi), polarity, max_shift, threshold, dirty_width, score, bars,
                  checks=names, tables={t: data[t] for t in sorted(tables) if t in data}, label=label,
                  regions=found, px_per_mm=px_per_mm, min_contrast=min_contrast, max_frame_pixels=most,
                  module=module)


def _label(table):
    """The [label] table, checked: where the standard's label lies and how
    frames are brought into its space."""
    validate.table("label", table)
    validate.only("label", table, LABEL_KEYS)
    for key in LABEL_KEYS:
        if key not in table:
            raise validate.SettingError("label." + key, "missing (%s)" % EXPLAIN["label." + key])
    out = {"found_by": validate.choice("label.found_by", table["found_by"], (locate.EDGE, locate.PRINT))}
    for key in ("centre", "size"):
        value = table[key]
        if not isinstance(value, list) or len(value) != 2 or not all(validate.is_number(v) for v in value):
            raise validate.SettingError("label." + key, "must be two numbers")
        out[key] = [float(v) for v in value]
    if min(out["size"]) < 8 or max(out["size"]) > 100000:
        raise validate.SettingError("label.size", "must be from 8 to 100000 pixels each way")
    out["angle"] = validate.number("label.angle", table["angle"], -360.0, 360.0)
    out["turn"] = validate.choice("label.turn", table["turn"], (0, 90, 180, 270))
    out["margin"] = validate.whole("label.margin", table["margin"], 0, 10000)
    return out


def load(path):
    """Read and check a recipe file, its standard included (the image must
    be readable and hold the area). Raises RecipeError."""
    data = read_toml(path)
    recipe = parse(data, path)
    where = os.path.join(os.path.dirname(os.path.abspath(path)), recipe.standard)
    try:
        image = pipeline.read_frame(where, max(images.CEILING, recipe.max_frame_pixels or 0))
    except pipeline.InspectionError as e:
        raise RecipeError(path, "standard", "cannot read '%s': %s" % (recipe.standard, e))
    recipe = parse(data, path, (image.shape[1], image.shape[0]))
    recipe.standard = where
    recipe.path = path
    return recipe, image


def read_toml(path):
    """The table of a recipe file; RecipeError in one line for a file that
    is not one: not a regular file, too large, not UTF-8, not TOML, or
    nested too deeply for the TOML reader."""
    try:
        raw = read_regular(path, MOST_BYTES)
    except OSError as e:
        raise RecipeError(path, None, "cannot read (%s)" % (e.strerror or e))
    try:
        text = raw.decode("utf-8")
    except UnicodeDecodeError as e:
        line = raw[:e.start].count(b"\n") + 1
        raise RecipeError(path, None, "not UTF-8 text (byte 0x%02x on line %d); save it as UTF-8"
                          % (raw[e.start], line))
    try:
        return tomllib.loads(text)
    except tomllib.TOMLDecodeError as e:
        raise RecipeError(path, None, "not valid TOML (%s)" % e)
    except RecursionError:
        raise RecipeError(path, None, "not a recipe (arrays or tables nested too deeply)")


def bridge_of(recipe):
    """How wide a printhead streak bar finding must see through: two dead
    elements, for a recipe that looks for streaks across the bars."""
    if "streaks" not in recipe.checks:
        return 0.0
    from .checks import streaks

    table = recipe.tables.get("streaks", {})
    if table.get("direction", "across") != "across":
        return 0.0
    return streaks.bridge_width(2, table.get("dots_per_mm") or 8.0, table.get("px_per_mm") or recipe.px_per_mm or 10.0)


def prepare(recipe, image):
    """The prepared standard of a loaded recipe; RecipeError when its bars
    cannot be found with the recipe's bands."""
    try:
        return pipeline.prepare_standard(image, recipe.aoi, recipe.polarity, recipe.bars, recipe.placement(),
                                         recipe.regions, recipe.px_per_mm, recipe.min_contrast, recipe.module,
                                         bridge_of(recipe))
    except pipeline.InspectionError as e:
        # Preparing fails only when no outline of the standard is a bar.
        raise RecipeError(recipe.path or "recipe", "bars", "%s (area %g..%g, perimeter %g..%g)"
                          % (e, *recipe.bars["area"], *recipe.bars["perimeter"]))


# --- writing ---------------------------------------------------------------------------

def _toml_value(v):
    if isinstance(v, bool):
        return "true" if v else "false"
    if isinstance(v, str):
        text = v.replace("\\", "\\\\").replace('"', '\\"')
        return '"%s"' % re.sub(r"[\x00-\x08\x0a-\x1f\x7f]", lambda m: "\\u%04x" % ord(m.group()), text)
    if isinstance(v, float):
        return repr(round(v, 4))
    if isinstance(v, (list, tuple)):
        return "[" + ", ".join(_toml_value(x) for x in v) + "]"
    if isinstance(v, dict):
        return "{ " + ", ".join("%s = %s" % (k, _toml_value(x)) for k, x in v.items()) + " }"
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
        if key not in ("bars", "label", "region") and key in settings:
            emit(key, settings[key], key)
    if settings.get("label"):
        out += ["", "%-30s # %s" % ("[label]", "where the standard's label lies; frames are found anywhere")]
        for key in LABEL_KEYS:
            emit(key, settings["label"][key], "label." + key)
    for region in settings.get("region", ()):
        out += ["", "[[region]]"]
        for key in regions.KEYS:
            if key in region:
                out.append("%s = %s" % (key, _toml_value(region[key])))
    if settings.get("bars"):
        out += ["", "%-30s # %s" % ("[bars]", "which outlines count as bars")]
        for key in BAR_KEYS:
            if key in settings["bars"]:
                emit(key, settings["bars"][key], "bars." + key)
    for name, table in settings.items():
        if name in KEYS or not isinstance(table, dict):
            continue
        out += ["", "[%s]" % name]
        for key, value in table.items():
            for line in notes.get("%s.%s" % (name, key), ()):
                out.append("# " + line)
            out.append("%s = %s" % (key, _toml_value(value)))
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
    write_atomic(path, new)
    return new
