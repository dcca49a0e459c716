// One pass of the shift-tolerant comparison: the generic rendering through the
// module namespace, and what the native sweep needs to stand in for it.
#include "shift_pass.hpp"

#include <algorithm>
#include <cmath>

#include "../module/fast_path.hpp"
#include "../module/long_work.hpp"
#include "../module/names.hpp"
#include "mask_pool.hpp"

namespace qel {

namespace {

// --- generic --------------------------------------------------------------------

/// `for i in range(1, stop, step): AND in the comparison with the target
/// shifted by (sx * i, sy * i)`, each call through the module namespace.
/// `range` is the name as looked up before `stop` was computed.
void and_shifted(PyObject* stay, PyObject* moved, PyObject* threshold, Obj range, Obj stop, PyObject* step, int sx,
                 int sy, Obj result) {
    Ref one = integer(1);
    Ref zero = integer(0);
    Ref distances = call(range, {one, stop, step});
    Iter it(distances);
    while (Ref i = it.next()) {
        Ref right = sx == 0 ? zero.copy() : (sx > 0 ? i.copy() : neg(i));
        Ref down = sy == 0 ? zero.copy() : (sy > 0 ? i.copy() : neg(i));
        Ref img = call(global(QS("translate")), {moved, right, down});
        Ref not_match = call(global(QS("compare_image_difference")), {stay, img, threshold});
        call(np(QS("logical_and")), {result, not_match, result});
    }
}

// --- native ---------------------------------------------------------------------

// warpAffine refuses images of 32767 pixels or more a side, and its
// fixed-point coordinates (1/1024 pixel in an int) wrap once a shift plus the
// width reaches 2**21: below these bounds a whole-pixel shift with the edge
// repeated reads exactly the clamped source pixel, which is what the kernel
// does. Beyond them the generic path keeps whatever OpenCV does.
constexpr Py_ssize_t kMaxSide = 32766;
constexpr long long kMaxShift = 1LL << 20;

/// Pixel tests per stretch without the GIL (a fraction of a second at worst;
/// a 2048 x 2048 pass with the usual shifts takes one or two stretches).
constexpr Py_ssize_t kChunkTests = Py_ssize_t{1} << 28;

/// Every name the generic pass goes through, its helpers' included.
FastPath g_native_pass("the native shift pass",
                       {"translate", "compare_image_difference", "_cv.warpAffine", "_np.logical_and", "_np.float32",
                        "_np.uint8", "_math.sqrt", "range", "int"});

/// An exact int (bool excluded) that fits a long long.
std::optional<long long> plain_int(PyObject* o) {
    if (!PyLong_CheckExact(o)) {
        return std::nullopt;
    }
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
    if (overflow != 0 || (v == -1 && PyErr_Occurred())) {
        PyErr_Clear();
        return std::nullopt;
    }
    return v;
}

/// The values of `range(1, stop, step)`, cut short after the first one at or
/// beyond `limit` in the direction of travel: all later values clamp to the
/// same edge pixel.
std::vector<long long> distances(long long stop, long long step, long long limit) {
    std::vector<long long> out;
    if (step > 0) {
        for (long long v = 1; v < stop;) {
            out.push_back(v);
            if (v >= limit || step >= stop - v) {
                break;
            }
            v += step;
        }
    } else {
        for (long long v = 1; v > stop;) {
            out.push_back(v);
            if (v <= -limit || step <= stop - v) {
                break;
            }
            v += step;
        }
    }
    return out;
}

void add_shifts(std::vector<TrialShift>& shifts, const std::vector<long long>& ds, const int (&dirs)[4][2]) {
    for (const auto& d : dirs) {
        for (long long i : ds) {
            shifts.push_back({static_cast<Py_ssize_t>(d[0] * i), static_cast<Py_ssize_t>(d[1] * i)});
        }
    }
}

}  // namespace

Ref generic_mask(PyObject* stay, PyObject* moved, PyObject* max_shift, PyObject* threshold, PyObject* slope,
                 PyObject* step) {
    Ref result = call(global(QS("compare_image_difference")), {stay, moved, threshold});
    const int axes[4][2] = {{1, 0}, {-1, 0}, {0, 1}, {0, -1}};
    for (const auto& d : axes) {
        Ref range = global(QS("range"));
        Ref stop = add(max_shift, integer(1));
        and_shifted(stay, moved, threshold, range, stop, step, d[0], d[1], result);
    }
    if (truth(slope)) {
        // `int(max_shift / _math.sqrt(2)) + 1`, names looked up left to right.
        Ref int_fn = global(QS("int"));
        Ref root = call(lib(QS("_math"), QS("sqrt")), {integer(2)});
        Ref shift = add(call(int_fn, {true_div(max_shift, root)}), integer(1));
        const int diagonals[4][2] = {{1, 1}, {-1, 1}, {1, -1}, {-1, -1}};
        for (const auto& d : diagonals) {
            Ref range = global(QS("range"));
            and_shifted(stay, moved, threshold, range, shift, step, d[0], d[1], result);
        }
    }
    return result;
}

std::optional<PassSettings> plain_settings(PyObject* max_shift, PyObject* threshold, PyObject* slope, PyObject* step) {
    // Only a slope whose truth test runs no Python code: a __bool__ could
    // rebind names or reshape the arrays after the guards have passed.
    const bool plain_slope =
        PyBool_Check(slope) || slope == Py_None || PyLong_CheckExact(slope) || PyFloat_CheckExact(slope);
    auto t = plain_int(threshold);
    auto m = plain_int(max_shift);
    auto s = plain_int(step);
    // A zero step is left to the generic pass, where range() raises.
    if (!plain_slope || !t || !m || !s || *s == 0 || *m > kMaxShift || *m < -kMaxShift) {
        return std::nullopt;
    }
    return PassSettings{*t, *m, *s, truth(slope)};
}

template <class Pixel>
PyArrayObject* native_plane(PyObject* o) {
    constexpr int kType = sizeof(Pixel) == 1 ? NPY_UINT8 : NPY_INT16;
    PyArrayObject* a = exact_array(o);
    if (a == nullptr || PyArray_NDIM(a) != 2 || PyArray_TYPE(a) != kType || !PyArray_ISNOTSWAPPED(a) ||
        !PyArray_ISALIGNED(a)) {
        return nullptr;
    }
    for (int k = 0; k < 2; ++k) {
        npy_intp n = PyArray_DIM(a, k);
        if (n < 1 || n > kMaxSide) {
            return nullptr;
        }
    }
    return a;
}

template PyArrayObject* native_plane<std::int16_t>(PyObject*);
template PyArrayObject* native_plane<std::uint8_t>(PyObject*);

FastPath& native_pass() { return g_native_pass; }

std::vector<TrialShift> trial_shifts(const PassSettings& s, Py_ssize_t h, Py_ssize_t w) {
    const long long limit = (h > w ? h : w) - 1;
    std::vector<TrialShift> shifts;
    const int axes[4][2] = {{1, 0}, {-1, 0}, {0, 1}, {0, -1}};
    add_shifts(shifts, distances(s.max_shift + 1, s.step, limit), axes);
    if (s.slope) {
        // int(max_shift / sqrt(2)) + 1, in the same double arithmetic.
        const long long stop = static_cast<long long>(static_cast<double>(s.max_shift) / std::sqrt(2.0)) + 1;
        const int diagonals[4][2] = {{1, 1}, {-1, 1}, {1, -1}, {-1, -1}};
        add_shifts(shifts, distances(stop, s.step, limit), diagonals);
    }
    return normalise_shifts(std::move(shifts), h, w);
}

Py_ssize_t rows_per_stretch(Py_ssize_t width, size_t tests_per_pixel) {
    // Even if every row stays dense through every shift.
    const Py_ssize_t row_tests = width * static_cast<Py_ssize_t>(tests_per_pixel);
    return std::max<Py_ssize_t>(1, kChunkTests / row_tests);
}

Mask native_not_match(PyArrayObject* stay_array, PyArrayObject* moved_array, const PassSettings& s) {
    const Py_ssize_t h = PyArray_DIM(stay_array, 0);
    const Py_ssize_t w = PyArray_DIM(stay_array, 1);
    const std::vector<TrialShift> shifts = trial_shifts(s, h, w);
    std::vector<Py_ssize_t> scratch(static_cast<size_t>(w));
    Ref image = take_mask(h, w);
    PyArrayObject* out = reinterpret_cast<PyArrayObject*>(image.get());
    const Int16Plane stay = plane_of<std::int16_t>(stay_array);
    const Int16Plane moved = plane_of<std::int16_t>(moved_array);
    unsigned char* out_base = reinterpret_cast<unsigned char*>(PyArray_BYTES(out));
    const Py_ssize_t out_rs = PyArray_STRIDE(out, 0);
    bool any = false;
    g_native_pass.taken();
    run_released(h, rows_per_stretch(w, shifts.size() + 1), [&](Py_ssize_t first, Py_ssize_t last) {
        any |= shift_tolerant_mask(stay, moved, h, w, s.threshold, shifts.data(), shifts.size(), out_base, out_rs,
                                   scratch.data(), first, last);
        return true;
    });
    return {std::move(image), any, {}};
}

}  // namespace qel
