// One pass of the shift-tolerant comparison, as its two renderings: the
// generic one through the module's own `translate` and
// `compare_image_difference`, looked up at call time, and the native sweep,
// taken only when nothing it replaces has been rebound and the inputs are of
// the exact kind it was checked against.
#pragma once
#include "../module/fast_path.hpp"
#include "../module/numpy.hpp"
#include "shift_kernel.hpp"

#include <optional>
#include <vector>

namespace qel {

/// The pass's `result` (a boolean array) through the module namespace,
/// exactly as written: every name looked up at its use.
Ref generic_mask(PyObject* stay, PyObject* moved, PyObject* max_shift, PyObject* threshold, PyObject* slope,
                 PyObject* step);

/// The settings of a pass as plain numbers.
struct PassSettings {
    long long threshold;
    long long max_shift;
    long long step;
    bool slope;
};

/// The settings as the native sweep takes them, when all four run no Python
/// code when used (exact ints; a slope whose truth test runs none) and are
/// within the sweep's bounds; else nothing (the generic pass then raises or
/// does what it does).
std::optional<PassSettings> plain_settings(PyObject* max_shift, PyObject* threshold, PyObject* slope, PyObject* step);

/// A 2-D array of exactly `Pixel`s in native byte order, aligned, not empty
/// and within warpAffine's size limit; else NULL.
template <class Pixel>
PyArrayObject* native_plane(PyObject* o);

template <class Pixel>
Plane<Pixel> plane_of(PyArrayObject* a) {
    return {PyArray_BYTES(a), PyArray_STRIDE(a, 0), PyArray_STRIDE(a, 1)};
}

/// The guard of the native pass: every name a generic pass goes through.
FastPath& native_pass();

/// The trial shifts of a pass on a height x width image, in kernel form.
std::vector<TrialShift> trial_shifts(const PassSettings& s, Py_ssize_t height, Py_ssize_t width);

/// Rows per stretch without the GIL for a sweep over `width` columns making
/// `tests_per_pixel` tests at most.
Py_ssize_t rows_per_stretch(Py_ssize_t width, size_t tests_per_pixel);

/// A pass's `not_match` image (255 where a defect pixel survives, else 0)
/// and whether it holds any such pixel.
struct Mask {
    Ref image;
    bool any = false;
    std::vector<RowSpan> rows;  // per row, when the sweep that made it tells
};

/// The native pass on two int16 planes of equal shape: the generic
/// `result * _np.uint8(255)` without the boolean array in between. The image
/// comes from the mask pool.
Mask native_not_match(PyArrayObject* stay, PyArrayObject* moved, const PassSettings& s);

}  // namespace qel
