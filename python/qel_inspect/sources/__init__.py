"""Where frames come from. A source is an iterable of Frame, produced
lazily; it may never end (a folder watched for new files, a camera), and
`total` says how many frames it holds when that is known.

    files   frame files, folders (their images) and glob patterns
    lines   paths read one a line from a stream ("-": standard input)

`open_source(targets, outdir)` picks one from the command line's targets.
"""
import hashlib
import os
from dataclasses import dataclass
from typing import Optional

from ..errors import UsageError

MARKED = "marked"
IMAGE_EXTENSIONS = {".png", ".jpg", ".jpeg", ".bmp", ".tif", ".tiff", ".pgm", ".ppm", ".webp"}


@dataclass(frozen=True)
class Frame:
    key: str                       # identity for resume and results: the resolved path, say
    shown: str                     # as the user named it
    marked: str                    # its marked picture, relative to the output folder
    data: Optional[bytes] = None   # the frame's bytes, when the source delivers them instead of a path


class Source:
    """Frames one after another; `total` when known, else None."""
    total = None

    def __iter__(self):
        raise NotImplementedError


def is_image_name(path):
    return os.path.splitext(path)[1].lower() in IMAGE_EXTENSIONS


def marked_name(stem, key, clash):
    """A frame's marked picture: its name, with a stable suffix when
    another frame of the same name needs the picture too."""
    if clash:
        stem += "-" + hashlib.sha1(key.encode()).hexdigest()[:8]
    return os.path.join(MARKED, stem + ".png")


class Names:
    """Marked-picture names handed out as frames come, for sources that
    cannot see all their frames first: the first frame of a name keeps it."""

    def __init__(self):
        self.owner = {}

    def __call__(self, key):
        stem = os.path.splitext(os.path.basename(key))[0]
        owner = self.owner.setdefault(stem, key)
        return marked_name(stem, key, owner != key)


def open_source(targets, outdir, stdin=None):
    """The source the command line names: "-" alone reads paths from
    standard input, anything else names files, folders and patterns."""
    if "-" in targets:
        if len(targets) != 1:
            raise UsageError("'-' (paths on standard input) cannot be mixed with other targets")
        from .lines import Lines
        import sys
        return Lines(stdin or sys.stdin, outdir)
    from .files import Files
    return Files(targets, outdir)
