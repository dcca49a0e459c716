// Argument binding. The order of the checks decides which error a caller
// sees when several apply: too many positionals, then the first missing
// required parameter (reported with its index as the "given" count), then the
// keyword names in the caller's order.
#include "binder.hpp"

namespace qel {

namespace {

void raise_count(const Signature& sig, const char* name, Py_ssize_t given) {
    const Py_ssize_t n = static_cast<Py_ssize_t>(sig.names.size());
    const Py_ssize_t r = static_cast<Py_ssize_t>(sig.required);
    const char* word;
    Py_ssize_t expected;
    if (r == n) {
        word = "exactly";
        expected = n;
    } else if (given < r) {
        word = "at least";
        expected = r;
    } else {
        word = "at most";
        expected = n;
    }
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", name, word, expected,
                 expected == 1 ? "" : "s", given);
}

/// -1 on error, 1 if equal, 0 if not: identity first, then length, then text.
int same_name(PyObject* param, PyObject* key) {
    if (param == key) {
        return 1;
    }
    if (PyUnicode_GET_LENGTH(param) != PyUnicode_GET_LENGTH(key)) {
        return 0;
    }
    int cmp = PyUnicode_Compare(param, key);
    if (cmp == -1 && PyErr_Occurred()) {
        return -1;
    }
    return cmp == 0 ? 1 : 0;
}

/// Walk the keyword dict in the caller's order: keys naming parameters at or
/// after `nargs` are taken, the first other key raises its error.
bool parse_keywords(const Signature& sig, const char* name, Py_ssize_t nargs, PyObject* kwargs, Ref* values) {
    const size_t n = sig.names.size();
    Py_ssize_t pos = 0;
    PyObject* key;
    PyObject* value;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
        size_t i = static_cast<size_t>(nargs);
        while (i < n && sig.names[i] != key) {
            ++i;
        }
        if (i < n) {
            values[i] = Ref::borrow(value);
            continue;
        }
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", name);
            return false;
        }
        for (i = static_cast<size_t>(nargs); i < n; ++i) {
            int same = same_name(sig.names[i], key);
            if (same < 0) {
                return false;
            }
            if (same) {
                values[i] = Ref::borrow(value);
                break;
            }
        }
        if (i < n) {
            continue;
        }
        for (i = 0; i < static_cast<size_t>(nargs); ++i) {
            int same = same_name(sig.names[i], key);
            if (same < 0) {
                return false;
            }
            if (same) {
                PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", name, key);
                return false;
            }
        }
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", name, key);
        return false;
    }
    return true;
}

}  // namespace

bool bind_arguments(const Signature& sig, const char* name, PyObject* const* pos, Py_ssize_t nargs,
                    PyObject* kwargs, Ref* values) {
    const Py_ssize_t n = static_cast<Py_ssize_t>(sig.names.size());
    const Py_ssize_t r = static_cast<Py_ssize_t>(sig.required);
    if (nargs > n) {
        raise_count(sig, name, nargs);
        return false;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        values[i] = Ref::borrow(pos[i]);
    }
    if (kwargs != nullptr && PyDict_GET_SIZE(kwargs) != 0) {
        Py_ssize_t remaining = PyDict_GET_SIZE(kwargs);
        for (Py_ssize_t i = nargs; i < n; ++i) {
            PyObject* v = PyDict_GetItemWithError(kwargs, sig.names[static_cast<size_t>(i)]);
            if (v != nullptr) {
                values[i] = Ref::borrow(v);
                --remaining;
            } else if (PyErr_Occurred()) {
                return false;
            } else if (i < r) {
                raise_count(sig, name, i);
                return false;
            }
        }
        if (remaining > 0 && !parse_keywords(sig, name, nargs, kwargs, values)) {
            return false;
        }
    } else if (nargs < r) {
        raise_count(sig, name, nargs);
        return false;
    }
    PyObject* defaults = sig.defaults.get();
    for (Py_ssize_t i = r; i < n; ++i) {
        if (!values[i]) {
            values[i] = Ref::borrow(PyTuple_GET_ITEM(defaults, i - r));
        }
    }
    return true;
}

}  // namespace qel
