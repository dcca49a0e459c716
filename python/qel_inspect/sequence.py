"""Serial numbers across a run: each label's serial must follow the one
before it by the region's step, and no serial may come twice in a run or
in the runs it resumes. Only the run sees the frames in order, so the
rules are applied there, to each record before it is committed; the
checks on the workers only read the serials (`serials` in a record's
values).
"""
from .records import Defect
from .status import Status


class Sequence:
    def __init__(self, regions, earlier=()):
        """`regions`: the recipe's regions; `earlier`: the records already
        in the output folder (a resumed run), in the order they were
        written."""
        self.rules = {(r.name or "%s %d" % (r.kind, regions.index(r))): r for r in regions if r.serial}
        self.last = {}                 # region -> (serial, frame)
        self.seen = {}                 # region -> {serial: frame}
        for record in earlier:
            self._remember(record)

    def __bool__(self):
        return bool(self.rules)

    def _remember(self, record):
        serials = record.values.get("serials") or {}
        for key in self.rules:
            if key in serials:
                self.last[key] = (serials[key], record.frame)
                self.seen.setdefault(key, {}).setdefault(serials[key], record.frame)
            else:
                # Unread (or not inspected): the next one has nothing to follow.
                self.last.pop(key, None)

    def judge(self, record):
        """Add `duplicate serial` and `skipped serial` defects to a record
        (it becomes a reject), then remember its serials."""
        for key, serial in (record.values.get("serials") or {}).items():
            rule = self.rules.get(key)
            if rule is None:
                continue
            box = list(rule.box)
            at = (record.values.get("boxes") or {}).get(key) or [0, 0, 0, 0]
            size = max(box[2] - box[0], box[3] - box[1])
            first = self.seen.get(key, {}).get(serial)
            if first is not None:
                record.defects.append(Defect("duplicate serial", "duplicate serial %s (also frame %s)"
                                             % (serial, first), at, box, size))
            elif key in self.last:
                before, frame = self.last[key]
                expected = _next(before, rule.serial.step)
                if expected is not None and serial != expected:
                    record.defects.append(Defect("skipped serial", "serial %s, expected %s after %s (frame %s)"
                                                 % (serial, expected, before, frame), at, box, size))
        if record.defects and record.status == Status.PASS:
            record.status = Status.REJECT
        self._remember(record)
        return record


def _next(serial, step):
    """The serial `step` after `serial`: its trailing number counted on,
    its width kept (leading zeros); None when it ends in no number."""
    head = serial.rstrip("0123456789")
    tail = serial[len(head):]
    if not tail:
        return None
    return head + str(int(tail) + step).zfill(len(tail))
