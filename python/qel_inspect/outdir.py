"""The output folder of a command: made, cleared of an earlier run's files
(or kept, with --resume, when it holds the same work), and its header file
(run.json, tune.json) saying what the work was and whether it finished."""
import json
import os
import sys

from .errors import UsageError
from .files import write_json
from .pictures import THUMBS
from .sources import MARKED


def make(path):
    """The folder and its picture folders; UsageError when it cannot be."""
    if os.path.exists(path) and not os.path.isdir(path):
        raise UsageError("%s is a file, not a folder" % path)
    try:
        os.makedirs(os.path.join(path, THUMBS), exist_ok=True)
    except OSError as e:
        raise UsageError("cannot make the output folder %s (%s)" % (path, e.strerror or e))


def start(path, header_name, header, owned, resume, same, refusal, notice=None):
    """Make the folder and begin the work: with `resume`, keep it when its
    header holds the same values under the keys `same` (otherwise a
    UsageError saying `refusal`); without, remove the files `owned` and
    every picture, printing `notice` first when the first of them exists.
    Returns whether earlier work is continued."""
    make(path)
    header_path = os.path.join(path, header_name)
    if resume:
        if os.path.exists(header_path):
            with open(header_path, encoding="utf-8") as f:
                before = json.load(f)
            if {k: before.get(k) for k in same} != {k: header[k] for k in same}:
                raise UsageError(refusal % path)
        return True
    if notice and os.path.exists(os.path.join(path, owned[0])):
        print("qel-inspect: " + notice % path, file=sys.stderr)
    for name in owned:
        if os.path.exists(os.path.join(path, name)):
            os.remove(os.path.join(path, name))
    for folder in (THUMBS, MARKED):
        for name in os.listdir(os.path.join(path, folder)):
            if os.path.isfile(os.path.join(path, folder, name)):
                os.remove(os.path.join(path, folder, name))
    return False


def write_header(path, header_name, header, stopped):
    write_json(os.path.join(path, header_name), dict(header, stopped=stopped))


def read_header(path, header_name):
    """The header of an earlier command's folder, or None."""
    try:
        with open(os.path.join(path, header_name), encoding="utf-8") as f:
            return json.load(f)
    except FileNotFoundError:
        return None
