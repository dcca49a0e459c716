// Native coordinate columns. `numpy.array` infers a dtype from the items of a
// list; for lists whose items are all one plain kind the result is known:
// Python or numpy float64 floats give float64, Python ints that fit a C long
// and numpy.int_ give int_ (numpy's default integer), numpy.int32 gives int32.
// Anything else (mixed kinds, bools, big ints, other scalar types, arrays of
// other shapes) is left to numpy.
#include "point_columns.hpp"

#include "../module/numpy.hpp"

#include <numpy/arrayscalars.h>

#include <cstring>

namespace qel {

namespace {

enum class Kind : unsigned char { none, f64, long_int, int32 };

struct Number {
    Kind kind = Kind::none;
    double f = 0.0;
    long i = 0;
};

/// The kind numpy infers for one plain number, and its value; false for any
/// object numpy would treat some other way.
bool classify(PyObject* o, Number* v) {
    PyTypeObject* t = Py_TYPE(o);
    if (t == &PyFloat_Type || t == &PyDoubleArrType_Type) {
        v->kind = Kind::f64;
        v->f = PyFloat_AS_DOUBLE(o);  // numpy.float64 extends float's layout
        return true;
    }
    if (t == &PyLong_Type) {
        int overflow = 0;
        const long i = PyLong_AsLongAndOverflow(o, &overflow);
        if (overflow != 0) {
            return false;  // numpy widens or gives up; let it decide
        }
        v->kind = Kind::long_int;
        v->i = i;
        return true;
    }
    if (t == &PyLongArrType_Type) {
        v->kind = Kind::long_int;
        v->i = PyArrayScalar_VAL(o, Long);
        return true;
    }
    if (t == &PyIntArrType_Type) {
        v->kind = Kind::int32;
        v->i = PyArrayScalar_VAL(o, Int);
        return true;
    }
    return false;
}

/// Fold one item's kind into a column's; false when the column turns mixed.
bool merge(Kind* column, Kind item) {
    if (*column == Kind::none) {
        *column = item;
    }
    return *column == item;
}

/// The two integers of a contour row whose elements are `T`.
template <class T>
void read_int_pair(const char* p0, const char* p1, Kind kind, Number* a, Number* b) {
    T v0, v1;
    std::memcpy(&v0, p0, sizeof v0);
    std::memcpy(&v1, p1, sizeof v1);
    a->kind = b->kind = kind;
    a->i = v0;
    b->i = v1;
}

/// The two numbers that unpacking `point` would give: an exact 2-item tuple or
/// list of plain numbers, or a 1-D 2-element array of float64, int_ or int32
/// (a contour row), whose items come out as that dtype's scalars.
bool read_point(PyObject* point, Number* a, Number* b) {
    if (PyTuple_CheckExact(point) || PyList_CheckExact(point)) {
        if (PySequence_Fast_GET_SIZE(point) != 2) {
            return false;
        }
        PyObject** items = PySequence_Fast_ITEMS(point);
        return classify(items[0], a) && classify(items[1], b);
    }
    PyArrayObject* arr = exact_array(point);
    if (arr == nullptr || PyArray_NDIM(arr) != 1 || PyArray_DIM(arr, 0) != 2 || !PyArray_ISNOTSWAPPED(arr)) {
        return false;
    }
    const char* p0 = PyArray_BYTES(arr);
    const char* p1 = p0 + PyArray_STRIDE(arr, 0);
    switch (PyArray_TYPE(arr)) {
        case NPY_DOUBLE:
            a->kind = b->kind = Kind::f64;
            std::memcpy(&a->f, p0, sizeof(double));
            std::memcpy(&b->f, p1, sizeof(double));
            return true;
        case NPY_LONG:
            read_int_pair<npy_long>(p0, p1, Kind::long_int, a, b);
            return true;
        case NPY_INT:
            read_int_pair<npy_int>(p0, p1, Kind::int32, a, b);
            return true;
        default:
            return false;
    }
}

/// A new 1-D array of `n` elements of the dtype numpy infers for `kind`.
Ref new_column(Kind kind, Py_ssize_t n) {
    npy_intp dims[1] = {n};
    const int type = kind == Kind::f64 ? NPY_DOUBLE : kind == Kind::long_int ? NPY_LONG : NPY_INT;
    return check(PyArray_SimpleNew(1, dims, type));
}

void store(Obj column, Py_ssize_t i, const Number& v) {
    char* data = PyArray_BYTES(reinterpret_cast<PyArrayObject*>(column.p));
    switch (v.kind) {
        case Kind::f64:
            reinterpret_cast<double*>(data)[i] = v.f;
            break;
        case Kind::long_int:
            reinterpret_cast<npy_long*>(data)[i] = v.i;
            break;
        case Kind::int32:
            reinterpret_cast<npy_int*>(data)[i] = static_cast<npy_int>(v.i);
            break;
        case Kind::none:
            break;
    }
}

}  // namespace

// Both functions look before they build: the first pass only classifies, so a
// sequence they decline is left for the generic loop. Allocating the result
// may run a garbage collection, and with it arbitrary finalizers that could
// change a list, so the second pass reads the items afresh and checks them
// again; nothing else in either pass calls back into Python.

Ref native_array(PyObject* seq) {
    if (!PyTuple_CheckExact(seq) && !PyList_CheckExact(seq)) {
        return Ref();
    }
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq);
    if (n == 0) {
        return Ref();  // numpy's float64 empty array; not worth a special case
    }
    PyObject** items = PySequence_Fast_ITEMS(seq);
    Kind kind = Kind::none;
    Number v;
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (!classify(items[i], &v) || !merge(&kind, v.kind)) {
            return Ref();
        }
    }
    Ref column = new_column(kind, n);
    if (PySequence_Fast_GET_SIZE(seq) != n) {
        return Ref();
    }
    items = PySequence_Fast_ITEMS(seq);
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (!classify(items[i], &v) || v.kind != kind) {
            return Ref();
        }
        store(column, i, v);
    }
    return column;
}

bool native_point_columns(PyObject* points, Ref* x, Ref* y) {
    if (!PyTuple_CheckExact(points) && !PyList_CheckExact(points)) {
        return false;  // iterators and the like are consumed by the generic loop only
    }
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(points);
    if (n == 0) {
        return false;
    }
    PyObject** items = PySequence_Fast_ITEMS(points);
    Kind kx = Kind::none;
    Kind ky = Kind::none;
    Number a;
    Number b;
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (!read_point(items[i], &a, &b) || !merge(&kx, a.kind) || !merge(&ky, b.kind)) {
            return false;
        }
    }
    Ref xs = new_column(kx, n);
    Ref ys = new_column(ky, n);
    if (PySequence_Fast_GET_SIZE(points) != n) {
        return false;
    }
    items = PySequence_Fast_ITEMS(points);
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (!read_point(items[i], &a, &b) || a.kind != kx || b.kind != ky) {
            return false;
        }
        store(xs, i, a);
        store(ys, i, b);
    }
    *x = std::move(xs);
    *y = std::move(ys);
    return true;
}

}  // namespace qel
