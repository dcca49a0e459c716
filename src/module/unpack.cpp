// Sequence unpacking with length checks before any item is taken.
#include "unpack.hpp"

namespace qel {

void raise_too_many_values(Py_ssize_t expected) {
    raise(PyExc_ValueError, "too many values to unpack (expected %zd)", expected);
}

void raise_need_more_values(Py_ssize_t got) {
    raise(PyExc_ValueError, "need more than %zd value%.1s to unpack", got, got == 1 ? "" : "s");
}

void unpack_into(PyObject* value, Ref* out, Py_ssize_t n) {
    if (PyTuple_CheckExact(value) || PyList_CheckExact(value)) {
        Py_ssize_t size = PySequence_Fast_GET_SIZE(value);
        if (size > n) {
            raise_too_many_values(n);
        }
        if (size < n) {
            raise_need_more_values(size);
        }
        PyObject** items = PySequence_Fast_ITEMS(value);
        for (Py_ssize_t i = 0; i < n; ++i) {
            out[i] = Ref::borrow(items[i]);
        }
        return;
    }
    Ref it = check(PyObject_GetIter(value));
    iternextfunc next = Py_TYPE(it.get())->tp_iternext;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* v = next(it.get());
        if (v == nullptr) {
            if (PyErr_Occurred()) {
                if (!PyErr_ExceptionMatches(PyExc_StopIteration)) {
                    throw_error();
                }
                PyErr_Clear();
            }
            raise_need_more_values(i);
        }
        out[i] = Ref::steal(v);
    }
    Ref extra = Ref::steal(next(it.get()));
    if (extra) {
        raise_too_many_values(n);
    }
    if (PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_StopIteration)) {
            throw_error();
        }
        PyErr_Clear();
    }
}

}  // namespace qel
