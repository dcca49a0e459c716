// The native column walk of the vertical profile: the points of an int32
// contour within [begin, end), sorted stably by x, walked column by column
// with the cursor rules of the Python helpers. Plain C++.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>  // Py_ssize_t only

#include <cstdint>

namespace qel::profile {

struct Point {
    std::int32_t x, y;
};

/// What one column's call of the helpers saw: how many points its run held
/// (the last point can be counted twice, as the cursor wraps from -1 to 0)
/// and their smallest and largest y.
struct Column {
    Py_ssize_t count;
    std::int32_t min_y, max_y;
};

enum class Walk {
    done,
    negative_y,  // a point below row 0: distances would not be plain int32 differences
    cursor_out_of_range,  // the helper would raise IndexError at this column
};

/// The private copy the walk works on. The contour is caller-owned memory
/// that another thread may write while the GIL is released, so each point is
/// read exactly once, here; everything after works on the copy, whose x
/// values were checked to lie in [begin, end) as they were copied.
struct Gathered {
    Point* kept;               // capacity: the contour's points
    Py_ssize_t* counts;        // span + 1 entries, zeroed; counts[c + 1] for column c
    Py_ssize_t size = 0;       // points kept so far
};

/// Contract: reads points [first, last) of the contour, each once (x at
/// base + i*point_stride, y at base + i*point_stride + coord_stride, int32,
/// native order); appends those with begin <= x < end to `out.kept` and counts
/// them per column. False at the first such point with y < 0.
bool gather_points(const char* base, Py_ssize_t first, Py_ssize_t last, Py_ssize_t point_stride,
                   Py_ssize_t coord_stride, std::int64_t begin, std::int64_t end, Gathered& out) noexcept;

/// Contract: reads the gathered copy only; rewrites `g.counts` into column
/// starts, writes `sorted` (g.size entries) and `columns` (span entries),
/// span = end - begin > 0. Allocates nothing.
Walk walk_columns(Gathered& g, std::int64_t begin, std::int64_t end, Point* sorted, Column* columns) noexcept;

}  // namespace qel::profile
