"""qel_inspect: an inspection station for barcode label prints, built on the
public functions of qel_cv.

    qel-inspect recipe STANDARD -o RECIPE.toml      propose a recipe from a standard print
    qel-inspect run RECIPE TARGETS... -o OUTDIR     check frames: results, pictures, report

Modules: recipe (TOML in and out), propose (a recipe from a standard),
pipeline (one frame: align, then judge), batch (workers, progress, resume),
report (HTML), cli (the command).
"""
try:
    from ._version import __version__   # written by the install (CMake or wheel)
except ImportError:                      # a checkout: the repository's one release number
    import os as _os

    with open(_os.path.join(_os.path.dirname(__file__), "..", "..", "VERSION"), encoding="utf-8") as _f:
        __version__ = _f.read().strip()
    del _os, _f
