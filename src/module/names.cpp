// Module state for late binding: the namespace, the builtins captured at
// import, and what start-up bound (for the fast-path guards).
#include "names.hpp"

#include "startup.hpp"

namespace qel {

namespace {

// Raw pointers on purpose: these live until the process ends, and a static
// owner's destructor would release them after the interpreter is gone.
PyObject* g_dict = nullptr;             // borrowed from the module, which lives forever
PyObject* g_builtins = nullptr;         // the builtins module (owned)
PyObject* g_captured = nullptr;         // name -> builtin, captured at import (owned)
PyObject* g_originals = nullptr;        // name -> object start-up bound (owned)
PyObject* g_lib_originals = nullptr;    // (alias, name) -> object at start-up (owned)
std::vector<std::pair<const char*, const char*>>& watched() {
    static std::vector<std::pair<const char*, const char*>> pairs;
    return pairs;
}

/// Builtins the bodies use; all must exist when the module is imported.
const char* const kCapturedBuiltins[] = {
    "print", "range", "property", "staticmethod", "type", "len", "isinstance", "int", "float", "str",
    "list", "tuple", "max", "min", "abs", "sorted", "round", "enumerate", "zip", "sum", "bool",
};

}  // namespace

PyObject* module_dict() { return g_dict; }

void bind_module_state(PyObject* dict) {
    g_dict = dict;
    if (g_builtins == nullptr) {
        g_builtins = check(PyImport_ImportModule("builtins")).release();
    }
    Py_XDECREF(g_originals);
    g_originals = check(PyDict_New()).release();
    Py_XDECREF(g_lib_originals);
    g_lib_originals = check(PyDict_New()).release();
}

void forget_module_state() { g_dict = nullptr; }

PyObject* builtins_module() { return g_builtins; }

void capture_builtins() {
    Ref captured = check(PyDict_New());
    for (const char* name : kCapturedBuiltins) {
        Ref key = text(name);
        PyObject* v = PyObject_GetAttr(g_builtins, key.get());
        if (v == nullptr) {
            PyErr_Clear();
            PyErr_Format(PyExc_NameError, "name '%U' is not defined", key.get());
            throw PyError{};
        }
        Ref value = Ref::steal(v);
        check(PyDict_SetItem(captured.get(), key.get(), value.get()));
    }
    Py_XDECREF(g_captured);
    g_captured = captured.release();
}

void record_original(PyObject* name, PyObject* value) { check(PyDict_SetItem(g_originals, name, value)); }

void watch(const char* alias, const char* name) { watched().emplace_back(alias, name); }

void record_watched() {
    for (const auto& [alias, name] : watched()) {
        Ref key = tuple_of({text(alias), text(name)});
        Ref value = attr(global(intern_forever(alias)), intern_forever(name));
        check(PyDict_SetItem(g_lib_originals, key.get(), value.get()));
    }
}

Ref global(PyObject* name) {
    PyObject* v = PyDict_GetItemWithError(g_dict, name);
    if (v != nullptr) {
        return Ref::borrow(v);
    }
    if (PyErr_Occurred()) {
        throw PyError{};
    }
    v = PyObject_GetAttr(g_builtins, name);
    if (v != nullptr) {
        return Ref::steal(v);
    }
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
        throw PyError{};
    }
    PyErr_Clear();
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    throw PyError{};
}

Ref builtin(PyObject* name) {
    PyObject* v = g_captured ? PyDict_GetItemWithError(g_captured, name) : nullptr;
    if (v == nullptr) {
        Py_FatalError("qel_cv: a builtin was used that start-up did not capture");
    }
    return Ref::borrow(v);
}

bool is_original(PyObject* name) {
    PyObject* now = PyDict_GetItemWithError(g_dict, name);
    if (now == nullptr) {
        if (PyErr_Occurred()) {
            throw PyError{};
        }
        return false;
    }
    return now == PyDict_GetItemWithError(g_originals, name);
}

bool lib_is_original(PyObject* alias, PyObject* name) {
    if (!is_original(alias)) {
        return false;
    }
    Ref key = tuple_of({alias, name});
    PyObject* then = PyDict_GetItemWithError(g_lib_originals, key.get());
    if (then == nullptr) {
        if (PyErr_Occurred()) {
            throw PyError{};
        }
        Py_FatalError("qel_cv: a library attribute was guarded without being watched");
    }
    Ref now = Ref::steal(PyObject_GetAttr(PyDict_GetItemWithError(g_dict, alias), name));
    if (!now) {
        PyErr_Clear();
        return false;
    }
    return now.get() == then;
}

void print(std::initializer_list<Obj> items) {
    Ref args = tuple_of(items);
    check(PyObject_Call(builtin(QS("print")).get(), args.get(), nullptr));
}

}  // namespace qel
