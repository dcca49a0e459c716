"""Frames named one a line on a stream (standard input for the target
"-"), read as they come: another program can feed a run for as long as it
likes. Blank lines are skipped; a line that names no file becomes a frame
that cannot be read, recorded with its reason."""
import os

from . import Frame, Names, Source


class Lines(Source):
    def __init__(self, stream, outdir):
        self.stream = stream
        self.out_root = os.path.realpath(outdir)
        self.names = Names()

    def __iter__(self):
        seen = set()
        for line in self.stream:
            path = line.rstrip("\r\n")
            if not path.strip():
                continue
            key = os.path.realpath(path)
            if key in seen or key.startswith(self.out_root + os.sep):
                continue
            seen.add(key)
            yield Frame(key, path, self.names(key))
