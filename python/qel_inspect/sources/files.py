"""Frames named by files, folders (the images in them, not recursing) and
glob patterns, in the order given (a folder's or a pattern's sorted by
name), each once; the output folder's own pictures are left out."""
import glob
import os

from ..errors import UsageError
from ..files import not_regular
from . import Frame, Source, is_image_name, marked_name


def _images_in(folder):
    names = sorted(os.listdir(folder))
    return [os.path.join(folder, n) for n in names
            if is_image_name(n) and os.path.isfile(os.path.join(folder, n))]


def _named(target):
    if os.path.isdir(target):
        found = _images_in(target)
        if not found:
            raise UsageError("folder '%s' holds no images" % target)
        return found
    if glob.has_magic(target):
        found = sorted(p for p in glob.glob(target, recursive=True) if os.path.isfile(p) and is_image_name(p))
        if not found:
            raise UsageError("pattern '%s' matches no image" % target)
        return found
    if os.path.exists(target):
        kind = not_regular(os.stat(target).st_mode)
        if kind is not None:
            # Reading a FIFO or a device would wait for good, or never end.
            raise UsageError("%s is %s, not an image file" % (target, kind))
        return [target]
    raise UsageError("no such file or folder: %s" % target)


class Files(Source):
    """Listed when made (a target that names nothing is a UsageError at
    once), so `total` is known and pictures of frames that share a name in
    different folders get names apart from the start."""

    def __init__(self, targets, outdir):
        out_root = os.path.realpath(outdir)
        seen, frames = set(), []
        for target in targets:
            for p in _named(target):
                key = os.path.realpath(p)
                if key in seen or key.startswith(out_root + os.sep):
                    continue
                seen.add(key)
                frames.append((key, p))
        stems = {}
        for key, _ in frames:
            stem = os.path.splitext(os.path.basename(key))[0]
            stems[stem] = stems.get(stem, 0) + 1
        self.frames = []
        for key, shown in frames:
            stem = os.path.splitext(os.path.basename(key))[0]
            self.frames.append(Frame(key, shown, marked_name(stem, key, stems[stem] > 1)))
        self.total = len(self.frames)

    def __iter__(self):
        return iter(self.frames)
