"""Files the station writes: each through a temporary name and a rename,
so a file is whole or absent, and nothing half-written is left behind when
writing fails; pictures encoded by OpenCV."""
import json
import os
import shutil


def write_atomic(path, data):
    """Write bytes or text to `path` through `path.part<ext>` and a rename;
    a file replaced keeps its permissions. On failure the temporary file is
    removed and the error raised."""
    tmp = path + ".part" + os.path.splitext(path)[1]
    try:
        with open(tmp, "wb") as f:
            f.write(data.encode("utf-8") if isinstance(data, str) else data)
        if os.path.exists(path):
            shutil.copymode(path, tmp)
        os.replace(tmp, path)
    except BaseException:
        try:
            os.remove(tmp)
        except OSError:
            pass
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
