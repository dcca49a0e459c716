// Argument binding and conversion. The order of the checks decides which
// error a caller sees when several apply: too many positionals, then the
// first missing required parameter (reported with its index as the "given"
// count), then the keyword names in the caller's order, then the conversions.
#include "binder.hpp"

namespace qel {

namespace {

[[noreturn]] void raise_count(const Signature& sig, const char* name, Py_ssize_t given) {
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
    raise(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", name, word, expected,
          expected == 1 ? "" : "s", given);
}

/// Whether a keyword names a parameter: identity first, then length, then text.
bool same_name(PyObject* param, PyObject* key) {
    if (param == key) {
        return true;
    }
    if (PyUnicode_GET_LENGTH(param) != PyUnicode_GET_LENGTH(key)) {
        return false;
    }
    int cmp = PyUnicode_Compare(param, key);
    if (cmp == -1 && PyErr_Occurred()) {
        throw_error();
    }
    return cmp == 0;
}

/// Walk the keyword dict in the caller's order: keys naming parameters at or
/// after `nargs` are taken, the first other key raises its error.
void parse_keywords(const Signature& sig, const char* name, Py_ssize_t nargs, PyObject* kwargs, Ref* values) {
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
            raise(PyExc_TypeError, "%.200s() keywords must be strings", name);
        }
        for (i = static_cast<size_t>(nargs); i < n; ++i) {
            if (same_name(sig.names[i], key)) {
                values[i] = Ref::borrow(value);
                break;
            }
        }
        if (i < n) {
            continue;
        }
        for (i = 0; i < static_cast<size_t>(nargs); ++i) {
            if (same_name(sig.names[i], key)) {
                raise(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", name, key);
            }
        }
        raise(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", name, key);
    }
}

}  // namespace

void bind_one_argument(const char* name, Py_ssize_t nargs, PyObject* kwargs) {
    if (kwargs != nullptr && PyDict_GET_SIZE(kwargs) != 0) {
        raise(PyExc_TypeError, "%.200s() takes no keyword arguments", name);
    }
    if (nargs != 1) {
        raise(PyExc_TypeError, "%.200s() takes exactly one argument (%zd given)", name, nargs);
    }
}

void bind_arguments(const Signature& sig, const char* name, PyObject* const* pos, Py_ssize_t nargs,
                    PyObject* kwargs, Ref* values) {
    const Py_ssize_t n = static_cast<Py_ssize_t>(sig.names.size());
    const Py_ssize_t r = static_cast<Py_ssize_t>(sig.required);
    if (nargs > n) {
        raise_count(sig, name, nargs);
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
                throw_error();
            } else if (i < r) {
                raise_count(sig, name, i);
            }
        }
        if (remaining > 0) {
            parse_keywords(sig, name, nargs, kwargs, values);
        }
    } else if (nargs < r) {
        raise_count(sig, name, nargs);
    }
    PyObject* defaults = sig.defaults.get();
    for (Py_ssize_t i = r; i < n; ++i) {
        if (!values[i]) {
            values[i] = Ref::borrow(PyTuple_GET_ITEM(defaults, i - r));
        }
    }
}

void convert_arguments(const Signature& sig, Ref* values, bool* with_entry) {
    const size_t n = sig.conversions.size();
    for (size_t i = 0; i < n; ++i) {
        PyObject* v = values[i].get();
        if (sig.conversions[i] == Conversion::to_float && !PyFloat_CheckExact(v)) {
            const double d = PyFloat_AsDouble(v);
            if (d == -1.0 && PyErr_Occurred()) {
                throw_error();
            }
            values[i] = check(PyFloat_FromDouble(d));
        }
    }
    for (size_t i = 0; i < n; ++i) {
        PyObject* v = values[i].get();
        if (sig.conversions[i] == Conversion::exact_text && v != Py_None && !PyUnicode_CheckExact(v)) {
            *with_entry = false;
            raise(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                  PyUnicode_AsUTF8(sig.names[i]), PyUnicode_Type.tp_name, Py_TYPE(v)->tp_name);
        }
    }
}

}  // namespace qel
