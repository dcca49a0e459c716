"""qel_inspect: an inspection station for barcode label prints, built on the
public functions of qel_cv.

    qel-inspect recipe STANDARD -o RECIPE.toml      propose a recipe from a standard print
    qel-inspect run RECIPE TARGETS... -o OUTDIR     check frames: results, pictures, report

Modules: recipe (TOML in and out), propose (a recipe from a standard),
pipeline (one frame: align, then judge), batch (workers, progress, resume),
report (HTML), cli (the command).
"""
__version__ = "0.1.0"
