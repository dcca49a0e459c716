"""Frames and rejects over time as an inline SVG picture, for the report
(which has no script) and the live page (which swaps it in as it comes):
a bar a time bucket, rejects red from the bottom, frames not inspected
amber above them, passes green on top, and the reject rate as a line on
its own scale."""
import datetime
from typing import Sequence

WIDTH, HEIGHT = 900, 200
LEFT, RIGHT, TOP, BOTTOM = 44, 44, 12, 26


def _clock(t, step):
    moment = datetime.datetime.fromtimestamp(t)
    if step >= 86400:
        return moment.strftime("%m-%d")
    return moment.strftime("%H:%M" if step >= 60 else "%H:%M:%S")


def _nice_top(n):
    for top in (1, 2, 5, 10, 20, 25, 50, 100, 200, 250, 500, 1000, 2000, 2500, 5000, 10000):
        if n <= top:
            return top
    return n


def rate_svg(buckets: Sequence[tuple], width: int = WIDTH, height: int = HEIGHT) -> str:
    """The chart of [(bucket start, frames, rejects, not inspected)]; an
    empty string for no buckets."""
    if not buckets:
        return ""
    step = buckets[1][0] - buckets[0][0] if len(buckets) > 1 else 60
    plot_w, plot_h = width - LEFT - RIGHT, height - TOP - BOTTOM
    top = _nice_top(max(n for _, n, _, _ in buckets) or 1)
    bar = plot_w / len(buckets)
    gap = 1 if bar > 4 else 0
    parts = ['<svg class="rate-chart" xmlns="http://www.w3.org/2000/svg" viewBox="0 0 %d %d" width="%d" height="%d" '
             'role="img" aria-label="frames and rejects over time">' % (width, height, width, height)]
    for frac in (0, 0.5, 1):
        y = TOP + plot_h * (1 - frac)
        parts.append('<line x1="%d" x2="%d" y1="%.1f" y2="%.1f" stroke="#dde3ea"/>' % (LEFT, LEFT + plot_w, y, y))
        parts.append('<text x="%d" y="%.1f" text-anchor="end" font-size="11" fill="#5f6b7a">%g</text>'
                     % (LEFT - 6, y + 4, top * frac))
        parts.append('<text x="%d" y="%.1f" font-size="11" fill="#c0392b">%d%%</text>'
                     % (LEFT + plot_w + 6, y + 4, round(100 * frac)))
    rate_points = []
    for i, (start, frames, rejects, errors) in enumerate(buckets):
        x = LEFT + i * bar
        y = TOP + plot_h
        for count, colour, what in ((rejects, "#c0392b", "rejected"), (errors, "#e0a800", "not inspected"),
                                    (frames - rejects - errors, "#9fd3ab", "passed")):
            if count <= 0:
                continue
            h = plot_h * count / top
            y -= h
            parts.append('<rect x="%.1f" y="%.1f" width="%.1f" height="%.1f" fill="%s"><title>%s: %d %s</title>'
                         '</rect>' % (x, y, max(0.5, bar - gap), h, colour, _clock(start, step), count, what))
        if frames:
            rate_points.append("%.1f,%.1f" % (x + bar / 2, TOP + plot_h * (1 - rejects / frames)))
    if len(rate_points) > 1:
        parts.append('<polyline points="%s" fill="none" stroke="#7b1d12" stroke-width="1.5" '
                     'stroke-dasharray="4 2"/>' % " ".join(rate_points))
    ticks = max(1, len(buckets) // 6)
    for i in range(0, len(buckets), ticks):
        parts.append('<text x="%.1f" y="%d" text-anchor="middle" font-size="11" fill="#5f6b7a">%s</text>'
                     % (LEFT + i * bar + bar / 2, height - 8, _clock(buckets[i][0], step)))
    parts.append("</svg>")
    return "".join(parts)


def bucket_words(buckets: Sequence[tuple]) -> str:
    """What a bar stands for, as a person says it."""
    if len(buckets) < 2:
        return "one bar"
    step = buckets[1][0] - buckets[0][0]
    if step % 3600 == 0:
        return "a bar every %d hour%s" % (step // 3600, "" if step == 3600 else "s")
    if step % 60 == 0:
        return "a bar every %d minute%s" % (step // 60, "" if step == 60 else "s")
    return "a bar every %d seconds" % step
