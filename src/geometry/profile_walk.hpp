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

/// Contract: reads the n points of a contour, x at base + i*point_stride and y
/// at base + i*point_stride + coord_stride (int32, native order); writes only
/// `sorted` (capacity n), `starts` (span + 1 entries) and `columns` (span
/// entries), span = end - begin > 0. Allocates nothing.
Walk walk_columns(const char* base, Py_ssize_t n, Py_ssize_t point_stride, Py_ssize_t coord_stride,
                  std::int64_t begin, std::int64_t end, Point* sorted, Py_ssize_t* starts,
                  Column* columns) noexcept;

}  // namespace qel::profile
