"""Image files before they are decoded: only regular files are read, and
the size an image's header declares is checked against a limit before a
pixel is decoded, so a small file cannot make a worker allocate gigabytes
(a decompression bomb), and a damaged one is refused without the decoding
libraries' own complaints on the terminal.

The headers read are those of every format OpenCV decodes from memory here:
PNG, JPEG, BMP, TIFF (and BigTIFF), WebP, JPEG 2000, PBM/PGM/PPM/PAM, PFM,
Sun raster and Radiance HDR. Anything else is not decoded at all.
"""
import contextlib
import os
import re
import struct
import sys
import threading

from .files import read_regular

FACTOR = 4                    # default limit on a frame: this many times the standard's pixels
CEILING = 100_000_000         # pixels of any image when no other limit is given (the standard's too)
LABEL_FLOOR = 32_000_000      # the default limit with a label is never below this
LARGEST = 1 << 30             # OpenCV's own limit on pixels: no recipe may allow more
BYTES_PER_PIXEL = 8           # a file may hold up to this much a pixel allowed (16-bit colour, alpha) ...
SLACK = 64 << 20              # ... plus this much (metadata, thumbnails) before it is too large to read


class Unreadable(ValueError):
    """An image that is not read; str() is the reason, in a few words."""


def frame_limit(max_frame_pixels, standard_shape, label=False):
    """The pixels a frame may declare: the recipe's `max_frame_pixels`, or
    by default FACTOR times the standard's; with a label, which is found
    anywhere in frames that may be larger than the standard (a label's
    artwork against a camera's frames), at least LABEL_FLOOR."""
    if max_frame_pixels:
        return int(max_frame_pixels)
    least = LABEL_FLOOR if label else 0
    return min(LARGEST, max(least, FACTOR * standard_shape[0] * standard_shape[1]))


def read(path, limit=None):
    """An image file's bytes, its declared size checked against `limit`
    pixels (CEILING when None); Unreadable, or OSError when it cannot be
    read."""
    limit = limit or CEILING
    data = read_regular(path, BYTES_PER_PIXEL * limit + SLACK)
    check(data, limit)
    return data


def check(data, limit=None):
    """(format, width, height) of an image file's bytes when its header
    declares at most `limit` pixels; Unreadable otherwise."""
    limit = limit or CEILING
    found = declared(data)
    if found is None:
        raise Unreadable("not an image OpenCV can decode")
    kind, w, h = found
    if w <= 0 or h <= 0:
        raise Unreadable("the %s header declares %dx%d pixels" % (kind, w, h))
    if w * h > limit:
        raise Unreadable("too large: the %s header declares %dx%d pixels, more than the limit of %d (set "
                         "max_frame_pixels in the recipe to allow more)" % (kind, w, h, limit))
    return found


def decode(data, limit=None):
    """A grey image from an image file's bytes (bytes or a uint8 array),
    its header checked first; Unreadable when it cannot be."""
    import cv2
    import numpy as np

    if isinstance(data, np.ndarray):
        array, data = data, data.tobytes()
    else:
        data = bytes(data)
        array = np.frombuffer(data, np.uint8)
    kind = check(data, limit)[0]
    try:
        with quiet_stderr():
            image = cv2.imdecode(array, cv2.IMREAD_GRAYSCALE)
    except cv2.error as e:
        raise Unreadable("a damaged %s image (%s)" % (kind, _first_line(e)))
    if image is None:
        raise Unreadable("a damaged %s image" % kind)
    if image.ndim != 2 or image.dtype != np.uint8:
        # Floating-point formats (HDR, PFM) ignore the request for grey levels.
        raise Unreadable("a %s image of %s values, not 8-bit grey levels" % (kind, image.dtype))
    return image


def _first_line(e):
    lines = [l.strip() for l in str(e).splitlines() if l.strip()]
    return lines[-1] if lines else type(e).__name__


_quiet = threading.Lock()


@contextlib.contextmanager
def quiet_stderr():
    """Standard error sent nowhere meanwhile, at the level of the file
    descriptor, where libpng and libjpeg write their warnings. Only in the
    main thread: the descriptor is the whole process's, and the threads of
    a cluster worker write to the worker's log, not to anyone's terminal."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    with _quiet:
        try:
            sys.stderr.flush()
        except (AttributeError, ValueError, OSError):
            pass
        saved = os.dup(2)
        nowhere = os.open(os.devnull, os.O_WRONLY)
        try:
            os.dup2(nowhere, 2)
            yield
        finally:
            os.dup2(saved, 2)
            os.close(saved)
            os.close(nowhere)


# --- headers -------------------------------------------------------------------------

def declared(data):
    """(format, width, height) as the header of an image file's bytes
    declares them; None when they are not an image of a known format;
    Unreadable when the header is cut short or makes no sense."""
    for signature, kind, reader in _FORMATS:
        if data.startswith(signature) and (kind != "WebP" or data[8:12] == b"WEBP"):
            try:
                w, h = reader(data)
            except (struct.error, IndexError, KeyError, ValueError, AttributeError):
                raise Unreadable("a %s file whose header is cut short or damaged" % kind)
            return kind, w, h
    return None


def _png(d):
    if d[12:16] != b"IHDR":
        raise ValueError("IHDR is not the first chunk")
    return struct.unpack(">II", d[16:24])


_SOF = set(range(0xC0, 0xD0)) - {0xC4, 0xC8, 0xCC}      # start-of-frame markers (not DHT, JPG, DAC)


def _jpeg(d):
    i = 2
    while True:
        i = d.index(b"\xff", i)              # stray bytes between segments are skipped, as libjpeg does
        while d[i] == 0xFF:
            i += 1
        marker = d[i]
        i += 1
        if marker in (0x01,) or 0xD0 <= marker <= 0xD8:
            continue                          # no length
        if marker in (0xD9, 0xDA):
            raise ValueError("no frame header before the scan")
        length = struct.unpack(">H", d[i:i + 2])[0]
        if marker in _SOF:
            h, w = struct.unpack(">HH", d[i + 3:i + 7])
            return w, h
        i += length


def _bmp(d):
    size = struct.unpack("<I", d[14:18])[0]
    if size == 12:
        return struct.unpack("<HH", d[18:22])
    w, h = struct.unpack("<ii", d[18:26])
    return w, abs(h)                          # a negative height is a top-down picture


def _tiff(d):
    e = "<" if d[:2] == b"II" else ">"
    big = struct.unpack(e + "H", d[2:4])[0] == 43
    if big:
        offset = struct.unpack(e + "Q", d[8:16])[0]
        count, entry, head = struct.unpack(e + "Q", d[offset:offset + 8])[0], 20, 8
    else:
        offset = struct.unpack(e + "I", d[4:8])[0]
        count, entry, head = struct.unpack(e + "H", d[offset:offset + 2])[0], 12, 2
    sizes = {}
    for n in range(count):
        at = offset + head + n * entry
        tag, kind = struct.unpack(e + "HH", d[at:at + 4])
        value = d[at + (12 if big else 8):at + entry]
        if tag in (256, 257):
            fmt = {3: "H", 4: "I", 16: "Q"}[kind]
            sizes[tag] = struct.unpack(e + fmt, value[:struct.calcsize(fmt)])[0]
    return sizes[256], sizes[257]


def _webp(d):
    chunk = d[12:16]
    if chunk == b"VP8 ":
        if d[23:26] != b"\x9d\x01\x2a":
            raise ValueError("no VP8 start code")
        w, h = struct.unpack("<HH", d[26:30])
        return w & 0x3FFF, h & 0x3FFF
    if chunk == b"VP8L":
        bits = struct.unpack("<I", d[21:25])[0]
        return (bits & 0x3FFF) + 1, ((bits >> 14) & 0x3FFF) + 1
    if chunk == b"VP8X":
        return int.from_bytes(d[24:27], "little") + 1, int.from_bytes(d[27:30], "little") + 1
    raise ValueError("unknown WebP chunk")


def _jp2(d):
    """The ihdr box inside the jp2h box of a JPEG 2000 file."""
    def boxes(start, end):
        i = start
        while i + 8 <= end:
            length, kind = struct.unpack(">I4s", d[i:i + 8])
            head = 8
            if length == 1:
                length, head = struct.unpack(">Q", d[i + 8:i + 16])[0], 16
            elif length == 0:
                length = end - i
            if length < head:
                raise ValueError("bad box")
            yield kind, i + head, i + length
            i += length

    for kind, start, end in boxes(0, len(d)):
        if kind == b"jp2h":
            for inner, s, _ in boxes(start, end):
                if inner == b"ihdr":
                    h, w = struct.unpack(">II", d[s:s + 8])
                    return w, h
    raise ValueError("no image header box")


def _j2k(d):
    xsiz, ysiz, xo, yo = struct.unpack(">IIII", d[8:24])
    return xsiz - xo, ysiz - yo


_TOKEN = re.compile(rb"(?:\s|#[^\n]*\n)*(\S+)")


def _pnm(d):
    """P1..P6 and PF/Pf: the magic, then width and height, comments allowed."""
    w, h = _TOKEN.match(d, 2), None
    h = _TOKEN.match(d, w.end())
    return int(w.group(1)), int(h.group(1))


def _pam(d):
    head = d[:d.index(b"ENDHDR")]
    w = re.search(rb"^WIDTH\s+(\d+)", head, re.M)
    h = re.search(rb"^HEIGHT\s+(\d+)", head, re.M)
    return int(w.group(1)), int(h.group(1))


def _sun(d):
    return struct.unpack(">II", d[4:12])


def _hdr(d):
    """The resolution line after the header's empty line: "-Y 512 +X 640"."""
    body = d[d.index(b"\n\n") + 2:]
    m = re.match(rb"([-+])([XY]) (\d+) ([-+])([XY]) (\d+)\n", body)
    if m is None or m.group(2) == m.group(5):
        raise ValueError("no resolution line")
    sizes = {m.group(2): int(m.group(3)), m.group(5): int(m.group(6))}
    return sizes[b"X"], sizes[b"Y"]


_FORMATS = [
    (b"\x89PNG\r\n\x1a\n", "PNG", _png),
    (b"\xff\xd8", "JPEG", _jpeg),
    (b"BM", "BMP", _bmp),
    (b"II*\x00", "TIFF", _tiff), (b"MM\x00*", "TIFF", _tiff),
    (b"II+\x00", "TIFF", _tiff), (b"MM\x00+", "TIFF", _tiff),
    (b"RIFF", "WebP", _webp),
    (b"\x00\x00\x00\x0cjP  \r\n\x87\n", "JPEG 2000", _jp2),
    (b"\xff\x4f\xff\x51", "JPEG 2000", _j2k),
    (b"#?RADIANCE", "HDR", _hdr), (b"#?RGBE", "HDR", _hdr),
    (b"\x59\xa6\x6a\x95", "Sun raster", _sun),
    (b"P7", "PAM", _pam),
    (b"PF", "PFM", _pnm), (b"Pf", "PFM", _pnm),
] + [(b"P%c" % n, "PNM", _pnm) for n in b"123456"]
