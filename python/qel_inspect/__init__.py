"""qel_inspect: an inspection station for label prints, built on the
public functions of qel_cv.

    qel-inspect recipe STANDARD -o RECIPE.toml      propose a recipe from a standard print
    qel-inspect run RECIPE TARGETS... -o OUTDIR     inspect frames: records, pictures, report
    qel-inspect tune RECIPE --good ... --bad ...    choose the comparison settings
    qel-inspect report OUTDIR                       write the report again
    qel-inspect watch RECIPE DIR -o OUTDIR          inspect frames as a camera writes them
    qel-inspect serve OUTDIR                        the live page of a folder
    qel-inspect export OUTDIR                       records of a time span from results.sqlite

Frames flow one way:

    sources -> driver -> executors -> tasks -> pipeline (align) -> checks -> records
    records -> sinks (pictures, results.sqlite, results.jsonl) -> reject signals,
               CSV, report and live page, derived afterwards

Modules, one step each: sources (where frames come from), driver (the one
loop, frames in flight bounded), executors and cluster (where tasks run),
tasks (a worker's work on one frame), pipeline (the barcode steps: align,
then judge), checks (what an aligned frame is judged by), records and
status (typed results, exit statuses), sinks, files, pictures and outdir
(what is written, and how), recipe, validate and propose (recipes), run
and tune (the commands' work), report (HTML), progress, cli.
"""
try:
    from ._version import __version__   # written by the install (CMake or wheel)
except ImportError:                      # a checkout: the repository's one release number
    import os as _os

    with open(_os.path.join(_os.path.dirname(__file__), "..", "..", "VERSION"), encoding="utf-8") as _f:
        __version__ = _f.read().strip()
    del _os, _f
