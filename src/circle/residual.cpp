// Native squared distances and circle-fit residuals. The solver evaluates the
// residual many times per fit, so on plain arrays the whole expression runs as
// one loop instead of five numpy temporaries.
//
// Every value must equal what numpy computes: the elementwise steps are the
// same IEEE operations in the same order; the sum behind the mean is left to
// numpy's own reduction, whose blocking and summation order depend on numpy's
// version and buffer size. A loop that raises a floating-point condition numpy
// would report (it may warn or raise under `np.seterr`) is discarded and the
// generic path runs, so numpy reports it there.
#include "residual.hpp"

#include "../module/float_flags.hpp"
#include "../module/numpy.hpp"
#include "../module/ops.hpp"

#include <atomic>
#include <cfenv>
#include <cstdint>
#include <cstring>

namespace qel {

namespace {

// --- kernels (plain C++) ------------------------------------------------------

// The conditions numpy checks after each ufunc loop and reports through
// `np.seterr` (inexact results are not reported).
constexpr int kReported = FE_DIVBYZERO | FE_OVERFLOW | FE_UNDERFLOW | FE_INVALID;

/// Clears the reported flags, runs `loop`, and tells whether it raised none.
/// The fences keep the compiler from moving the loop's memory traffic, and so
/// its arithmetic, across the flag accesses; the flags are per thread.
template <class Loop>
bool without_conditions(Loop&& loop) {
    PreservedFloatFlags caller_flags;
    std::feclearexcept(kReported);
    std::atomic_signal_fence(std::memory_order_seq_cst);
    loop();
    std::atomic_signal_fence(std::memory_order_seq_cst);
    return std::fetestexcept(kReported) == 0;
}

template <class T>
inline double load(const char* p) {
    T v;
    std::memcpy(&v, p, sizeof v);
    return static_cast<double>(v);
}

template <class TX, class TY>
inline void distance_loop(double cx, double cy, const char* x, Py_ssize_t xs, const char* y, Py_ssize_t ys,
                          Py_ssize_t n, double* out) {
    for (Py_ssize_t i = 0; i < n; ++i) {
        // numpy's order and roundings: each difference, its square, the sum
        // (no fused multiply-add: ISO mode keeps contraction off).
        const double dx = cx - load<TX>(x + i * xs);
        const double dy = cy - load<TY>(y + i * ys);
        const double sx = dx * dx;
        const double sy = dy * dy;
        out[i] = sx + sy;
    }
}

// Contract: reads n elements of x and y at their byte strides, writes out[0..n)
// (which aliases neither); false if a condition numpy reports was raised.
template <class TX, class TY>
bool squared_distances(double cx, double cy, const char* x, Py_ssize_t xs, const char* y, Py_ssize_t ys,
                       Py_ssize_t n, double* out) {
    return without_conditions([&] {
        // The packed case runs the same body with constant strides, which
        // the compiler vectorises.
        if (xs == static_cast<Py_ssize_t>(sizeof(TX)) && ys == static_cast<Py_ssize_t>(sizeof(TY))) {
            distance_loop<TX, TY>(cx, cy, x, sizeof(TX), y, sizeof(TY), n, out);
        } else {
            distance_loop<TX, TY>(cx, cy, x, xs, y, ys, n, out);
        }
    });
}

// Contract: out[i] = out[i] - total / count for i in [0, n); false if a
// condition numpy reports was raised (the division may underflow).
bool subtract_mean(double* out, Py_ssize_t n, double total, Py_ssize_t count) {
    return without_conditions([&] {
        const double mean = total / static_cast<double>(count);
        for (Py_ssize_t i = 0; i < n; ++i) {
            out[i] = out[i] - mean;
        }
    });
}

/// Elements handled per stretch without the GIL.
constexpr Py_ssize_t kChunk = Py_ssize_t{1} << 24;

// --- guards -------------------------------------------------------------------

enum class Elem { f64, i32, i64 };

/// One coordinate array: a 1-D numpy array of native float64, int32 or int64.
/// Subtracting those from a float64 centre gives float64, whatever the values.
struct Column {
    const char* data;
    Py_ssize_t stride;
    Py_ssize_t size;
    Elem elem;
};

bool as_column(PyObject* o, Column* c) {
    PyArrayObject* a = exact_array(o);
    if (a == nullptr || PyArray_NDIM(a) != 1 || !PyArray_ISNOTSWAPPED(a)) {
        return false;
    }
    PyArray_Descr* d = PyArray_DESCR(a);
    if (d->kind == 'f' && d->elsize == 8) {
        c->elem = Elem::f64;
    } else if (d->kind == 'i' && d->elsize == 4) {
        c->elem = Elem::i32;
    } else if (d->kind == 'i' && d->elsize == 8) {
        c->elem = Elem::i64;
    } else {
        return false;
    }
    c->data = PyArray_BYTES(a);
    c->stride = PyArray_STRIDE(a, 0);
    c->size = PyArray_DIM(a, 0);
    return true;
}

/// A float64 value as `cx, cy = para` would hand it to the arithmetic:
/// an exact float or numpy.float64.
bool as_float64(PyObject* o, double* v) {
    if (!PyFloat_CheckExact(o) && Py_TYPE(o) != &PyDoubleArrType_Type) {
        return false;
    }
    *v = PyFloat_AS_DOUBLE(o);  // numpy.float64 extends float's layout
    return true;
}

/// The centre: a 2-element 1-D float64 array (what the solver passes), or an
/// exact tuple or list of two float64 values.
bool as_center(PyObject* para, double* cx, double* cy) {
    if (PyArrayObject* a = exact_array(para)) {
        PyArray_Descr* d = PyArray_DESCR(a);
        if (PyArray_NDIM(a) != 1 || PyArray_DIM(a, 0) != 2 || d->kind != 'f' || d->elsize != 8 ||
            !PyArray_ISNOTSWAPPED(a)) {
            return false;
        }
        *cx = load<double>(PyArray_BYTES(a));
        *cy = load<double>(PyArray_BYTES(a) + PyArray_STRIDE(a, 0));
        return true;
    }
    if ((PyTuple_CheckExact(para) || PyList_CheckExact(para)) && PySequence_Fast_GET_SIZE(para) == 2) {
        PyObject** items = PySequence_Fast_ITEMS(para);
        return as_float64(items[0], cx) && as_float64(items[1], cy);
    }
    return false;
}

template <class F>
bool with_type(Elem e, F&& f) {
    switch (e) {
        case Elem::f64:
            return f(double{});
        case Elem::i32:
            return f(std::int32_t{});
        case Elem::i64:
            return f(std::int64_t{});
    }
    return false;
}

/// The distances for guarded inputs, computed natively into a new float64
/// array; empty when a guard declines or the loop raised a condition.
Ref distances(PyObject* para, PyObject* x, PyObject* y) {
    double cx = 0.0;
    double cy = 0.0;
    Column xc{};
    Column yc{};
    // Empty arrays keep numpy's own warnings; unequal lengths its broadcasting.
    if (!as_center(para, &cx, &cy) || !as_column(x, &xc) || !as_column(y, &yc) || xc.size == 0 ||
        xc.size != yc.size) {
        return Ref();
    }
    npy_intp n = xc.size;
    Ref out = check(PyArray_SimpleNew(1, &n, NPY_DOUBLE));
    double* dst = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(out.get())));
    // Each coordinate is read once, at an address fixed by its index alone.
    const bool ok = run_released(n, kChunk, [&](Py_ssize_t first, Py_ssize_t last) {
        return with_type(xc.elem, [&](auto tx) {
            return with_type(yc.elem, [&](auto ty) {
                return squared_distances<decltype(tx), decltype(ty)>(
                    cx, cy, xc.data + first * xc.stride, xc.stride, yc.data + first * yc.stride, yc.stride,
                    last - first, dst + first);
            });
        });
    });
    return ok ? std::move(out) : Ref();
}

/// numpy's `add.reduce`, the very reduction `ndarray.mean` sums with. Fetched
/// once and kept for the process.
PyObject* add_reduce() {
    static PyObject* reduce = nullptr;
    if (reduce == nullptr) {
        Ref umath = check(PyImport_ImportModule("numpy.core.umath"));
        reduce = attr(attr(umath, QS("add")), QS("reduce")).release();
    }
    return reduce;
}

}  // namespace

Ref native_distance_square(PyObject* para, PyObject* x, PyObject* y) { return distances(para, x, y); }

Ref native_residual(PyObject* para, PyObject* x, PyObject* y) {
    Ref d = distances(para, x, y);
    if (!d) {
        return d;
    }
    // `d.mean()` for a 1-D float64 array: the sum with mean's own arguments,
    // then divided by the count. The reduction reports its own conditions;
    // the division may underflow, and then the generic path redoes it all
    // (the sum of such small terms raised nothing, so nothing is reported twice).
    Ref absent = none();
    Ref keepdims = py_bool(false);
    Ref where = py_bool(true);
    Ref sum = call(add_reduce(), {d, absent, absent, absent, keepdims}, {{QS("where"), where}});
    const double total = PyFloat_AsDouble(sum.get());
    if (total == -1.0 && PyErr_Occurred()) {
        throw_error();
    }
    PyArrayObject* a = reinterpret_cast<PyArrayObject*>(d.get());
    const Py_ssize_t n = PyArray_DIM(a, 0);
    double* values = static_cast<double*>(PyArray_DATA(a));
    const bool ok = run_released(n, kChunk, [&](Py_ssize_t first, Py_ssize_t last) {
        return subtract_mean(values + first, last - first, total, n);
    });
    if (!ok) {
        return Ref();
    }
    return d;
}

}  // namespace qel
