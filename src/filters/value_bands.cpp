// The value-band filters: keep the elements on one side of, inside or outside
// a band of values and set the others to 0, in the flat work array that
// `src.reshape((src.size,))` gives (a view of `src` when it is contiguous, so
// the zeroing then shows in `src`, a copy otherwise).
#include "value_bands.hpp"

#include <algorithm>
#include <cstdint>

#include "../module/fast_path.hpp"
#include "../module/float_flags.hpp"
#include "../module/names.hpp"
#include "../module/numpy.hpp"
#include "band_kernel.hpp"

namespace qel {

namespace {

using bands::Band;
using bands::Elem;
using bands::Rule;

// --- generic path --------------------------------------------------------------

/// Whether the element at `idx` is to be zeroed, evaluated as the filter's
/// test reads: `img[idx]` fetched per comparison for take_middle, once for the
/// chained comparison of take_min_or_max, later comparisons only when needed.
bool generic_selects(Rule rule, Obj img, Obj idx, Obj lo, Obj hi) {
    switch (rule) {
        case Rule::outside_closed: {
            if (compare_true(item(img, idx), lo, Py_LT)) {
                return true;
            }
            return compare_true(item(img, idx), hi, Py_GT);
        }
        case Rule::inside_open: {
            Ref v = item(img, idx);
            return compare_true(lo, v, Py_LT) && compare_true(v, hi, Py_LT);
        }
        case Rule::above:
            return compare_true(item(img, idx), hi, Py_GT);
        case Rule::below:
            return compare_true(item(img, idx), lo, Py_LT);
    }
    return false;
}

/// `for idx in range(count): if test: img[idx] = 0`, element by element through
/// Python's comparisons. An error part-way keeps the zeroing done so far, and
/// so does an interrupt (the loop runs signal handlers and lets other threads
/// in as it goes).
void generic_band(Rule rule, Obj img, Obj range, Obj count, Obj lo, Obj hi) {
    Ref indices = call(range, {count});
    Iter it(indices);
    Ref zero = integer(0);
    while (Ref idx = it.next()) {
        if (generic_selects(rule, img, idx, lo, hi)) {
            set_item(img, idx, zero);
        }
    }
}

// --- fast path -------------------------------------------------------------------

/// The kernel's element type for `a`, if the kernel handles it. uint64 is left
/// out: numpy compares it with a Python int through float64, so its result is
/// not the integer comparison. float16, bool and the rest are left out too.
bool kernel_elem(PyArrayObject* a, Elem* out) {
    PyArray_Descr* d = PyArray_DESCR(a);
    if (!PyArray_ISNOTSWAPPED(a) || PyDataType_HASFIELDS(d) || PyDataType_HASSUBARRAY(d)) {
        return false;
    }
    switch (d->type_num) {
        case NPY_BYTE: case NPY_SHORT: case NPY_INT: case NPY_LONG: case NPY_LONGLONG:
            switch (d->elsize) {
                case 1: *out = Elem::i8; return true;
                case 2: *out = Elem::i16; return true;
                case 4: *out = Elem::i32; return true;
                case 8: *out = Elem::i64; return true;
                default: return false;
            }
        case NPY_UBYTE: case NPY_USHORT: case NPY_UINT: case NPY_ULONG: case NPY_ULONGLONG:
            switch (d->elsize) {
                case 1: *out = Elem::u8; return true;
                case 2: *out = Elem::u16; return true;
                case 4: *out = Elem::u32; return true;
                default: return false;
            }
        case NPY_FLOAT:
            *out = Elem::f32;
            return d->elsize == 4;
        case NPY_DOUBLE:
            *out = Elem::f64;
            return d->elsize == 8;
        default:
            return false;
    }
}

constexpr std::int64_t kExactInDouble = std::int64_t{1} << 53;

/// One band end in the kernel's domain for `elem`, or false where only numpy's
/// own comparison of its scalar with `v` is known to be right:
/// - int64 elements: exact `int` ends within int64 (compared as integers by
///   numpy); a `float` end makes numpy round the element to float64 first.
/// - 8- to 32-bit integers: `float` ends, and `int` ends within int64 (numpy
///   compares these exactly; clamping to +-2**53 keeps every order with a
///   32-bit value and makes the double exact).
/// - float32/64: `float` ends, and `int` ends up to 2**53 in size, the range in
///   which numpy's conversion of the int to float64 is exact.
/// Subclasses of int and float, bools and numpy scalars take the generic path.
bool kernel_end(Obj v, Elem elem, std::int64_t* as_int, double* as_double) {
    if (PyFloat_CheckExact(v.p)) {
        *as_double = PyFloat_AS_DOUBLE(v.p);
        return elem != Elem::i64;
    }
    if (!PyLong_CheckExact(v.p)) {
        return false;
    }
    int overflow = 0;
    long long n = PyLong_AsLongLongAndOverflow(v.p, &overflow);
    if (overflow != 0 || (n == -1 && PyErr_Occurred())) {
        PyErr_Clear();
        return false;
    }
    *as_int = n;
    switch (elem) {
        case Elem::i64:
            return true;
        case Elem::f32:
        case Elem::f64:
            if (n > kExactInDouble || n < -kExactInDouble) {
                return false;
            }
            *as_double = static_cast<double>(n);
            return true;
        default:
            *as_double = static_cast<double>(n > kExactInDouble ? kExactInDouble
                                             : n < -kExactInDouble ? -kExactInDouble : n);
            return true;
    }
}

/// Elements handled per stretch without the GIL, counting each of the two
/// passes (a 16-bit 1080p colour frame takes one stretch).
constexpr Py_ssize_t kBandChunk = Py_ssize_t{1} << 25;

/// The generic loop's `range(count)` is what the kernel stands in for.
FastPath g_native_band("the native band filter", {"range"});

/// The guarded native path: `range` is the builtin, an exact ndarray whose
/// flat work array is a writeable 1-D array of a kernel type, `count` an exact
/// int equal to its length, and band ends the kernel compares exactly as numpy
/// does. Returns false, having done nothing, when the generic path has to run.
bool fast_band(Rule rule, PyObject* src, Obj img, Obj count, Obj lo, Obj hi) {
    PyArrayObject* source = exact_array(src);
    PyArrayObject* work = exact_array(img.p);
    if (source == nullptr || work == nullptr || PyArray_NDIM(work) != 1 || !PyArray_ISWRITEABLE(work) ||
        !PyLong_CheckExact(count.p) || !g_native_band.unchanged()) {
        return false;
    }
    Elem elem;
    if (!kernel_elem(work, &elem)) {
        return false;
    }
    const Py_ssize_t n = PyLong_AsSsize_t(count.p);
    if (n == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        return false;
    }
    if (n != PyArray_DIM(work, 0)) {
        return false;
    }
    Band band;
    const bool uses_lo = rule != Rule::above;
    const bool uses_hi = rule != Rule::below;
    if ((uses_lo && !kernel_end(lo, elem, &band.lo_i, &band.lo_f)) ||
        (uses_hi && !kernel_end(hi, elem, &band.hi_i, &band.hi_f))) {
        return false;
    }
    char* base = PyArray_BYTES(work);
    const Py_ssize_t stride = PyArray_STRIDE(work, 0);
    g_native_band.taken();
    // Two passes, counted as units 0 .. 2n: the check for signalling NaNs sees
    // every element before the first is zeroed. Each element is read once per
    // pass, at an address fixed by its index alone.
    return run_released(2 * n, kBandChunk, [&](Py_ssize_t first, Py_ssize_t last) {
        PreservedFloatFlags flags;  // NaN comparisons raise "invalid"
        const Py_ssize_t scan_end = std::min(last, n);
        if (first < scan_end && bands::has_signalling_nan(elem, base + first * stride, scan_end - first, stride)) {
            return false;
        }
        const Py_ssize_t zero_first = std::max(first, n) - n;
        const Py_ssize_t zero_last = last - n;
        if (zero_last > zero_first) {
            bands::zero_band(elem, rule, band, base + zero_first * stride, zero_last - zero_first, stride);
        }
        return true;
    });
}

// --- the four filters --------------------------------------------------------------

/// The frame the four filters share: the flat work array, the element loop
/// (native when the guards allow it), and the result in `src`'s shape.
Ref band_filter(Rule rule, PyObject* src, Obj lo, Obj hi) {
    Ref reshape = attr(src, QS("reshape"));
    Ref size = attr(src, QS("size"));
    Ref img = call(reshape, {tuple_of({size})});
    {
        // The loop header `range(src.size)`: the name, then the size read again.
        GenericRegion region(g_native_band);
        Ref range = global(QS("range"));
        Ref count = attr(src, QS("size"));
        if (!fast_band(rule, src, img, count, lo, hi)) {
            generic_band(rule, img, range, count, lo, hi);
        }
    }
    Ref reshape_back = attr(img, QS("reshape"));
    Ref shape = attr(src, QS("shape"));
    return call(reshape_back, {shape});
}

Ref take_middle(PyObject* src, PyObject* min_value, PyObject* max_value) {
    return band_filter(Rule::outside_closed, src, min_value, max_value);
}
Ref take_min_or_max(PyObject* src, PyObject* min_value, PyObject* max_value) {
    return band_filter(Rule::inside_open, src, min_value, max_value);
}
Ref take_min(PyObject* src, PyObject* max_value) { return band_filter(Rule::above, src, Py_None, max_value); }
Ref take_max(PyObject* src, PyObject* min_value) { return band_filter(Rule::below, src, min_value, Py_None); }

const FuncDef kTakeMiddle = define<take_middle>("take_middle", "take_middle", 120,
                                                {{"src", "_np.ndarray"}, {"min_value"}, {"max_value"}})
    .with_locals({"img", "idx"})
    .with_doc("\n\t保留处于区间内（含区间端点）的值，将小于区间左端点，或大于区间右端点的值设为0。"
              "\n\t:param src: 源数组\n\t:param min_value: 区间左端点值\n\t:param max_value: 区间右端点值"
              "\n\t:return: 一组与源数据形状相同的数组\n\t");
const FuncDef kTakeMinOrMax = define<take_min_or_max>("take_min_or_max", "take_min_or_max", 140,
                                                      {{"src", "_np.ndarray"}, {"min_value"}, {"max_value"}})
    .with_locals({"img", "idx"})
    .with_doc("\n\t保留处于区间外（含区间端点）的值，将大于区间左端点，且小于区间右端点的值设为0。"
              "\n\t:param src: 源数组\n\t:param min_value: 区间左端点值\n\t:param max_value: 区间右端点值"
              "\n\t:return: 一组与源数据形状相同的数组\n\t");
const FuncDef kTakeMin = define<take_min>("take_min", "take_min", 160, {{"src", "_np.ndarray"}, {"max_value"}})
    .with_locals({"img", "idx"});
const FuncDef kTakeMax = define<take_max>("take_max", "take_max", 170, {{"src", "_np.ndarray"}, {"min_value"}})
    .with_locals({"img", "idx"});

}  // namespace

void register_value_bands(Definitions& d) {
    for (const FuncDef* f : {&kTakeMiddle, &kTakeMinOrMax, &kTakeMin, &kTakeMax}) {
        d.function(*f);
    }
}

}  // namespace qel
