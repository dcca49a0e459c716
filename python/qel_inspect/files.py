"""Files the station writes: each through a temporary name and a rename,
so a file is whole or absent, and nothing half-written is left behind when
writing fails; pictures encoded by OpenCV. And files it reads: only
regular ones, so a FIFO or a device named as a file cannot hold a run up."""
import errno
import json
import os
import shutil
import stat

from .errors import UsageError

# What a file that is not a regular one is, in words.
_KINDS = ((stat.S_ISDIR, "a folder"), (stat.S_ISFIFO, "a FIFO"), (stat.S_ISCHR, "a character device"),
          (stat.S_ISBLK, "a block device"), (stat.S_ISSOCK, "a socket"))


class WriteError(UsageError):
    """A file of the output that cannot be written (read-only, full, gone);
    str() names it and says why. `error` is the OSError (or the database's
    error)."""

    def __init__(self, path, error):
        self.path, self.error = path, error
        super().__init__("cannot write %s (%s)" % (path, getattr(error, "strerror", None) or error))


def not_regular(mode):
    """What a file of this st_mode is when not a regular file, else None."""
    if stat.S_ISREG(mode):
        return None
    return next((words for test, words in _KINDS if test(mode)), "not a regular file")


def read_regular(path, most=None):
    """The bytes of a regular file. OSError when it cannot be read, with
    a `strerror` that says so when it is not a regular file (a FIFO would
    block the reader for good, a device never end) or holds more than
    `most` bytes. The file is opened without blocking and looked at before
    a byte is read."""
    fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | getattr(os, "O_NOCTTY", 0) | getattr(os, "O_CLOEXEC", 0))
    try:
        info = os.fstat(fd)
        kind = not_regular(info.st_mode)
        if kind is not None:
            raise OSError(errno.EINVAL, "%s, not a regular file" % kind, path)
        if most is not None and info.st_size > most:
            raise OSError(errno.EFBIG, "too large: %d bytes, at most %d are read" % (info.st_size, most), path)
        with os.fdopen(fd, "rb", closefd=False) as f:
            return f.read()
    finally:
        os.close(fd)


def write_atomic(path, data):
    """Write bytes or text to `path` through `path.part<ext>` and a rename;
    a file replaced keeps its permissions. On failure the temporary file is
    removed and WriteError raised."""
    tmp = path + ".part" + os.path.splitext(path)[1]
    try:
        with open(tmp, "wb") as f:
            f.write(data.encode("utf-8") if isinstance(data, str) else data)
        if os.path.exists(path):
            shutil.copymode(path, tmp)
        os.replace(tmp, path)
    except BaseException as e:
        try:
            os.remove(tmp)
        except OSError:
            pass
        if isinstance(e, OSError):
            raise WriteError(path, e) from e
        raise


def write_json(path, value, indent=1):
    write_atomic(path, json.dumps(value, indent=indent, ensure_ascii=False))


def encode_picture(name, image, params=()):
    """A picture's file bytes, in the format its name's extension says."""
    import cv2

    ok, data = cv2.imencode(os.path.splitext(name)[1], image, list(params))
    if not ok:
        raise OSError("cannot encode %s" % name)
    return data.tobytes()


def write_picture(path, image, params=()):
    write_atomic(path, encode_picture(path, image, params))
