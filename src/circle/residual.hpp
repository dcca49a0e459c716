// The circle fit's squared distances and residual, computed natively when the
// inputs are plain numeric arrays numpy would treat exactly the same way.
#pragma once
#include "../module/ref.hpp"

namespace qel {

/// `(cx - x) ** 2 + (cy - y) ** 2` with `cx, cy = para`, computed natively;
/// an empty Ref when the inputs are not ones the native loop reproduces
/// bit for bit (the caller then runs the generic path).
Ref native_distance_square(PyObject* para, PyObject* x, PyObject* y);

/// `d - d.mean()` for those distances `d`, under the same conditions.
Ref native_residual(PyObject* para, PyObject* x, PyObject* y);

}  // namespace qel
