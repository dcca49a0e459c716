// Coordinate columns for the fit: `numpy.array(...)` of plain numbers, and the
// x and y columns of a point list, built natively when numpy's own inference
// would give a known result.
#pragma once
#include "../module/ref.hpp"

namespace qel {

/// `numpy.array(seq)` for an exact, non-empty list or tuple of plain numbers
/// of one kind; an empty Ref when numpy's own inference must run.
Ref native_array(PyObject* seq);

/// The arrays `numpy.array(x)`, `numpy.array(y)` that unpacking every item of
/// `points` into `x` and `y` lists would produce; false (outputs untouched)
/// when the generic loop must run instead.
bool native_point_columns(PyObject* points, Ref* x, Ref* y);

}  // namespace qel
