// Python-level operations for the bodies: attribute access, calls, items,
// arithmetic and comparison, each throwing PyError on failure.
#pragma once
#include "long_work.hpp"
#include "ref.hpp"

#include <initializer_list>
#include <string>

namespace qel {

/// One keyword argument of a call: an interned name and its value.
struct Kw {
    PyObject* name;
    Obj value;
};

inline Ref none() { return Ref::borrow(Py_None); }
inline Ref py_bool(bool v) { return Ref::borrow(v ? Py_True : Py_False); }
inline Ref integer(long long v) { return check(PyLong_FromLongLong(v)); }
inline Ref index_value(Py_ssize_t v) { return check(PyLong_FromSsize_t(v)); }
inline Ref real(double v) { return check(PyFloat_FromDouble(v)); }
inline Ref text(const char* s) { return check(PyUnicode_FromString(s)); }

inline Ref attr(Obj o, PyObject* name) { return check(PyObject_GetAttr(o.p, name)); }
inline void set_attr(Obj o, PyObject* name, Obj v) { check(PyObject_SetAttr(o.p, name, v.p)); }

Ref call(Obj f, std::initializer_list<Obj> args = {});
Ref call(Obj f, std::initializer_list<Obj> args, std::initializer_list<Kw> kw);
Ref call_method(Obj o, PyObject* name, std::initializer_list<Obj> args = {});

Ref item(Obj o, Obj key);
Ref item(Obj o, Py_ssize_t i);
inline void set_item(Obj o, Obj key, Obj v) { check(PyObject_SetItem(o.p, key.p, v.p)); }
Ref slice(Obj start, Obj stop);
inline Py_ssize_t length(Obj o) {
    Py_ssize_t n = PyObject_Length(o.p);
    if (n < 0) {
        throw_error();
    }
    return n;
}

Ref tuple_of(std::initializer_list<Obj> items);
Ref list_of(std::initializer_list<Obj> items);
inline void list_append(Obj list, Obj v) { check(PyList_Append(list.p, v.p)); }

/// The index `[y1:y2, x1:x2]` of an image region.
inline Ref region_index(Obj x1, Obj y1, Obj x2, Obj y2) { return tuple_of({slice(y1, y2), slice(x1, x2)}); }
/// `image[y1:y2, x1:x2]`: a view, clipped by numpy at the edges.
inline Ref crop(Obj image, Obj x1, Obj y1, Obj x2, Obj y2) { return item(image, region_index(x1, y1, x2, y2)); }

inline Ref add(Obj a, Obj b) { return check(PyNumber_Add(a.p, b.p)); }
inline Ref sub(Obj a, Obj b) { return check(PyNumber_Subtract(a.p, b.p)); }
inline Ref mul(Obj a, Obj b) { return check(PyNumber_Multiply(a.p, b.p)); }
inline Ref true_div(Obj a, Obj b) { return check(PyNumber_TrueDivide(a.p, b.p)); }
inline Ref floor_div(Obj a, Obj b) { return check(PyNumber_FloorDivide(a.p, b.p)); }
inline Ref neg(Obj a) { return check(PyNumber_Negative(a.p)); }
inline Ref bit_and(Obj a, Obj b) { return check(PyNumber_And(a.p, b.p)); }

/// Truth of an object, as `if x:` tests it.
inline bool truth(Obj o) { return check(PyObject_IsTrue(o.p)) != 0; }
/// `a <op> b` as an object (numpy comparisons give arrays).
inline Ref compare(Obj a, Obj b, int op) { return check(PyObject_RichCompare(a.p, b.p, op)); }
/// `bool(a <op> b)` as a C++ bool, as an `if` statement would test it.
/// Not PyObject_RichCompareBool: its identity shortcut would call a NaN
/// equal to itself.
inline bool compare_true(Obj a, Obj b, int op) { return truth(compare(a, b, op)); }
/// `str(o)` as UTF-8 text.
std::string to_text(Obj o);

/// `for item in iterable:` — `next()` gives an empty Ref at the end and
/// throws when iterating raised, so no loop can swallow an error. Each step
/// is the loop's back edge: signal handlers run and other threads get turns.
class Iter {
public:
    explicit Iter(Obj iterable) : it_(check(PyObject_GetIter(iterable.p))) {}
    Ref next() {
        back_edge_();
        Ref item = Ref::steal(PyIter_Next(it_.get()));
        if (!item && PyErr_Occurred()) {
            throw_error();
        }
        return item;
    }

private:
    Ref it_;
    LoopCheck back_edge_;
};

/// Whether `assert` statements run: read at each assert, as `python -O` sets it.
bool assertions_enabled();
/// Raise the message-less AssertionError of a failed `assert`.
[[noreturn]] void assertion_failed();

}  // namespace qel
