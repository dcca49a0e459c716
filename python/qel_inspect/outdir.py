"""The output folder of a command: made, owned by one command at a time (a
lock file), cleared of an earlier run's files (or kept, with --resume,
when it holds the same work), and its header file (run.json, tune.json)
saying what the work was and whether it finished."""
import atexit
import datetime
import fcntl
import json
import os
import sys

from .errors import UsageError
from .files import WriteError, write_json
from .pictures import THUMBS
from .sources import MARKED

LOCK = ".qel-inspect.lock"
_held = {}                   # real path of a folder -> the open lock file this process holds


def make(path):
    """The folder and its picture folders; UsageError when it cannot be."""
    if os.path.exists(path) and not os.path.isdir(path):
        raise UsageError("%s is a file, not a folder" % path)
    try:
        os.makedirs(os.path.join(path, THUMBS), exist_ok=True)
    except OSError as e:
        raise UsageError("cannot make the output folder %s (%s)" % (path, e.strerror or e))


def lock(path, command="qel-inspect"):
    """Own the folder until `release` (or until this process ends): an
    advisory lock on a file in it that names the owner (pid, start time,
    command). UsageError naming the owner when another process holds it;
    a lock file left by a process that is gone is taken over, with a line
    saying so. The lock is the kernel's (flock), so it ends with its
    process whatever the ending; the file's text only says whose it was."""
    key = os.path.realpath(path)
    if key in _held:
        return
    where = os.path.join(path, LOCK)
    while True:
        try:
            fd = os.open(where, os.O_RDWR | os.O_CREAT | getattr(os, "O_CLOEXEC", 0), 0o644)
        except OSError as e:
            raise UsageError("cannot write into the output folder %s (%s)" % (path, e.strerror or e))
        f = os.fdopen(fd, "r+", encoding="utf-8", errors="replace")
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            owner = _owner(f.read())
            f.close()
            raise UsageError("%s is in use by another run (%s); wait for it to end, or give another folder"
                             % (path, owner))
        except OSError as e:
            f.close()
            raise UsageError("cannot lock the output folder %s (%s)" % (path, e.strerror or e))
        # The file may have been removed by its last owner between our open
        # and our lock: then the lock is on a file nobody else will see.
        try:
            same = os.path.samestat(os.fstat(fd), os.stat(where))
        except FileNotFoundError:
            same = False
        if same:
            break
        f.close()
    left = f.read().strip()
    if left:
        print("qel-inspect: %s: taking over the lock left by %s, which has ended"
              % (path, _owner(left)), file=sys.stderr)
    stamp = datetime.datetime.now().astimezone().isoformat(timespec="seconds")
    try:
        f.seek(0)
        f.truncate()
        f.write(json.dumps({"pid": os.getpid(), "started": stamp, "command": command}) + "\n")
        f.flush()
    except OSError as e:
        f.close()
        raise WriteError(where, e)
    _held[key] = (f, where)


def _owner(text):
    """The owner a lock file's text names, in words."""
    try:
        info = json.loads(text)
        return "%s, process %d, started %s" % (info["command"], info["pid"], info["started"])
    except (ValueError, KeyError, TypeError):
        return "a process that left no name"


def release(path=None):
    """Give up the folder (every folder this process owns when None): its
    lock file is removed, then unlocked."""
    keys = list(_held) if path is None else [os.path.realpath(path)]
    for key in keys:
        held = _held.pop(key, None)
        if held is None:
            continue
        f, where = held
        try:
            os.remove(where)
        except OSError:
            pass
        f.close()


atexit.register(release)


def start(path, header_name, header, owned, resume, same, refusal, notice=None):
    """Make the folder, own it, and begin the work: with `resume`, keep it
    when its header holds the same values under the keys `same` (otherwise
    a UsageError saying `refusal`); without, remove the files `owned` and
    every picture, printing `notice` first when the first of them exists.
    Returns whether earlier work is continued. The folder stays owned
    until `release`."""
    make(path)
    lock(path, "qel-inspect " + header_name.split(".")[0])
    if resume:
        before = read_header(path, header_name, "the work in it cannot be continued: give another folder or leave "
                                                "out --resume")
        if before is not None and {k: before.get(k) for k in same} != {k: header[k] for k in same}:
            raise UsageError(refusal % path)
        return True
    if notice and os.path.exists(os.path.join(path, owned[0])):
        print("qel-inspect: " + notice % path, file=sys.stderr)
    try:
        for name in owned:
            if os.path.exists(os.path.join(path, name)):
                os.remove(os.path.join(path, name))
        for folder in (THUMBS, MARKED):
            for name in os.listdir(os.path.join(path, folder)):
                if os.path.isfile(os.path.join(path, folder, name)):
                    os.remove(os.path.join(path, folder, name))
    except OSError as e:
        raise UsageError("cannot clear the output folder %s (%s)" % (path, e.strerror or e))
    return False


def write_header(path, header_name, header, stopped):
    write_json(os.path.join(path, header_name), dict(header, stopped=stopped))


def read_header(path, header_name, then="write it again with a new run"):
    """The header of an earlier command's folder (a dict), or None when
    there is none; UsageError, ending with `then`, when it is damaged."""
    where = os.path.join(path, header_name)
    try:
        with open(where, "rb") as f:
            value = json.loads(f.read().decode("utf-8"))
    except FileNotFoundError:
        return None
    except OSError as e:
        raise UsageError("cannot read %s (%s)" % (where, e.strerror or e))
    except (ValueError, RecursionError) as e:
        raise UsageError("%s is damaged (%s); %s" % (where, _first(e), then))
    if not isinstance(value, dict):
        raise UsageError("%s is damaged (not a JSON object); %s" % (where, then))
    return value


def _first(e):
    text = str(e).splitlines()
    return text[0] if text else type(e).__name__
