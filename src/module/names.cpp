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

/// The namespace, or a RuntimeError when start-up never finished: a class
/// obtained while a failed start-up ran can still be called afterwards.
PyObject* namespace_for(PyObject* name) {
    if (g_dict == nullptr) {
        PyErr_Format(PyExc_RuntimeError, "qel_cv did not finish starting up, so '%U' cannot be looked up", name);
        throw PyError{};
    }
    return g_dict;
}

/// `d[name]` borrowed, or NULL when absent; throws if the lookup raised.
PyObject* lookup(PyObject* d, PyObject* name) {
    PyObject* v = PyDict_GetItemWithError(d, name);
    if (v == nullptr && PyErr_Occurred()) {
        throw PyError{};
    }
    return v;
}

}  // namespace

PyObject* module_dict() { return g_dict; }

void bind_module_state(PyObject* dict) {
    forget_module_state();
    g_builtins = check(PyImport_ImportModule("builtins")).release();
    g_originals = check(PyDict_New()).release();
    g_lib_originals = check(PyDict_New()).release();
    g_dict = dict;
}

void forget_module_state() {
    g_dict = nullptr;
    Py_CLEAR(g_builtins);
    Py_CLEAR(g_captured);
    Py_CLEAR(g_originals);
    Py_CLEAR(g_lib_originals);
}

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
    if (PyObject* v = lookup(namespace_for(name), name)) {
        return Ref::borrow(v);
    }
    PyObject* v = PyObject_GetAttr(g_builtins, name);
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
    if (g_dict == nullptr) {
        return false;
    }
    PyObject* now = lookup(g_dict, name);
    return now != nullptr && now == lookup(g_originals, name);
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
