// The native column walk of the vertical profile.
#include "profile_walk.hpp"

#include <algorithm>
#include <cstring>

namespace qel::profile {

bool gather_points(const char* base, Py_ssize_t first, Py_ssize_t last, Py_ssize_t point_stride,
                   Py_ssize_t coord_stride, std::int64_t begin, std::int64_t end, Gathered& out) noexcept {
    for (Py_ssize_t i = first; i < last; ++i) {
        Point p;
        const char* at = base + i * point_stride;
        std::memcpy(&p.x, at, sizeof p.x);
        std::memcpy(&p.y, at + coord_stride, sizeof p.y);
        if (p.x >= begin && p.x < end) {
            if (p.y < 0) {
                return false;
            }
            out.kept[out.size++] = p;
            ++out.counts[p.x - begin + 1];
        }
    }
    return true;
}

Walk walk_columns(Gathered& g, std::int64_t begin, std::int64_t end, Point* sorted, Column* columns) noexcept {
    // span fits Py_ssize_t: the caller bounds it before allocating.
    const Py_ssize_t span = static_cast<Py_ssize_t>(end - begin);
    Py_ssize_t* starts = g.counts;
    const Py_ssize_t m = g.size;

    // A counting sort by column: stable, so points of one column keep their
    // contour order, as the sort by x of the Python walk keeps them. The
    // counts and the placed points come from the same copy, so every column
    // receives exactly the points it counted.
    for (Py_ssize_t c = 0; c < span; ++c) {
        starts[c + 1] += starts[c];
    }
    for (Py_ssize_t i = 0; i < m; ++i) {
        const Point& p = g.kept[i];
        // starts[c] is advanced past each point placed in column c ...
        sorted[starts[p.x - begin]++] = p;
    }
    // ... so that now starts[c] is the end of column c; shift back to starts.
    for (Py_ssize_t c = span; c > 0; --c) {
        starts[c] = starts[c - 1];
    }
    starts[0] = 0;

    // The cursor walk. `pos` follows Python's sequence indexing: -1 is the
    // last point, and a position outside -m .. m-1 is the helper's IndexError.
    auto at = [sorted, m](Py_ssize_t pos) -> const Point& { return sorted[pos < 0 ? pos + m : pos]; };
    Py_ssize_t pos = 0;
    for (Py_ssize_t c = 0; c < span; ++c) {
        const std::int64_t x = begin + c;
        if (pos >= m || pos < -m) {
            return Walk::cursor_out_of_range;
        }
        if (at(pos).x != x) {
            // The helper's search finds the first point of the column, which
            // in the sorted points is where the column starts.
            pos = starts[c + 1] > starts[c] ? starts[c] : -1;
        }
        Column col{0, 0, 0};
        while (pos < m && at(pos).x == x) {
            const std::int32_t y = at(pos).y;
            col.min_y = col.count == 0 ? y : std::min(col.min_y, y);
            col.max_y = col.count == 0 ? y : std::max(col.max_y, y);
            ++col.count;
            ++pos;
        }
        columns[c] = col;
    }
    return Walk::done;
}

}  // namespace qel::profile
