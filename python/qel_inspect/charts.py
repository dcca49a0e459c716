"""Frames and rejects over time as an inline SVG picture, for the report
(which has no script) and the live page (which swaps it in as it comes):
a bar a time bucket, rejects red from the bottom, frames not inspected
amber above them, passes green on top, and the reject rate as a line on
its own scale."""
import datetime
import html
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


GRADE_LINES = ((4.0, ""), (3.5, "A"), (2.5, "B"), (1.5, "C"), (0.5, "D"), (0.0, "F"))
STATUS_COLOURS = {"pass": "#2e8b57", "reject": "#c0392b", "error": "#e0a800"}


def grade_svg(points: Sequence[tuple], min_grade: float = None, width: int = WIDTH, height: int = HEIGHT) -> str:
    """The grade of each frame in order, [(frame name, grade, status,
    print growth or None)]: a dot a frame coloured by its verdict, the
    letter boundaries faint, `min_grade` as a red line, and the print
    growth (modules) as a line on its own scale at the right. An empty
    string when no frame has a grade."""
    points = [p for p in points if p[1] is not None]
    if not points:
        return ""
    plot_w, plot_h = width - LEFT - RIGHT, height - TOP - BOTTOM
    step = plot_w / max(1, len(points) - 1) if len(points) > 1 else 0
    x_of = (lambda i: LEFT + i * step) if len(points) > 1 else (lambda i: LEFT + plot_w / 2)
    y_of = lambda g: TOP + plot_h * (1 - g / 4.0)           # noqa: E731
    growth = [p[3] for p in points if p[3] is not None]
    reach = max([0.25] + [abs(g) for g in growth])           # modules either side of 0
    g_of = lambda g: TOP + plot_h * (0.5 - g / (2 * reach))  # noqa: E731
    parts = ['<svg class="grade-chart" xmlns="http://www.w3.org/2000/svg" viewBox="0 0 %d %d" width="%d" height="%d" '
             'role="img" aria-label="grade of each frame">' % (width, height, width, height)]
    for value, letter in GRADE_LINES:
        y = y_of(value)
        parts.append('<line x1="%d" x2="%d" y1="%.1f" y2="%.1f" stroke="#dde3ea"/>' % (LEFT, LEFT + plot_w, y, y))
        parts.append('<text x="%d" y="%.1f" text-anchor="end" font-size="11" fill="#5f6b7a">%s %g</text>'
                     % (LEFT - 6, y + 4, letter, value))
    if growth:
        for frac in (-1, 0, 1):
            parts.append('<text x="%d" y="%.1f" font-size="11" fill="#4a6fa5">%+.2f</text>'
                         % (LEFT + plot_w + 6, g_of(frac * reach) + 4, frac * reach))
        line = ["%.1f,%.1f" % (x_of(i), g_of(p[3])) for i, p in enumerate(points) if p[3] is not None]
        if len(line) > 1:
            parts.append('<polyline class="growth" points="%s" fill="none" stroke="#4a6fa5" stroke-width="1.2" '
                         'stroke-dasharray="4 2"/>' % " ".join(line))
    if min_grade is not None:
        y = y_of(min_grade)
        parts.append('<line class="min-grade" x1="%d" x2="%d" y1="%.1f" y2="%.1f" stroke="#c0392b" '
                     'stroke-width="1.5"/>' % (LEFT, LEFT + plot_w, y, y))
    radius = 3 if len(points) <= 200 else 1.5
    for i, (name, grade, status, _) in enumerate(points):
        parts.append('<circle cx="%.1f" cy="%.1f" r="%g" fill="%s"><title>%s: grade %.1f</title></circle>'
                     % (x_of(i), y_of(grade), radius, STATUS_COLOURS.get(str(status), "#5f6b7a"), html.escape(str(name)),
                        grade))
    parts.append('<text x="%d" y="%d" font-size="11" fill="#5f6b7a">frame 1</text>' % (LEFT, height - 8))
    parts.append('<text x="%d" y="%d" text-anchor="end" font-size="11" fill="#5f6b7a">frame %d</text>'
                 % (LEFT + plot_w, height - 8, len(points)))
    parts.append("</svg>")
    return "".join(parts)
