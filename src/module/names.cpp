// Module state for late binding: the namespace and the builtins module.
#include "names.hpp"

#include "fast_path.hpp"
#include "startup.hpp"

namespace qel {

namespace {

// Raw pointers on purpose: these live until the process ends, and a static
// owner's destructor would release them after the interpreter is gone.
PyObject* g_dict = nullptr;           // borrowed from the module, which lives forever
PyObject* g_builtins = nullptr;       // the builtins module (owned)
PyObject* g_builtins_dict = nullptr;  // its namespace (borrowed from it)

// The builtins the native `len(o)` and `int(o)` stand in for.
FastPath g_native_len("the native len()", {"len"});
FastPath g_native_int("the native int()", {"int"});
const size_t kLen = g_native_len.index("len");
const size_t kInt = g_native_int.index("int");

/// The namespace, or a RuntimeError when start-up never finished: a class
/// obtained while a failed start-up ran can still be called afterwards.
PyObject* namespace_for(PyObject* name) {
    if (g_dict == nullptr) {
        raise(PyExc_RuntimeError, "qel_cv did not finish starting up, so '%U' cannot be looked up", name);
    }
    return g_dict;
}

/// `d[name]` borrowed, or NULL when absent; throws if the lookup raised.
PyObject* lookup(PyObject* d, PyObject* name) {
    PyObject* v = PyDict_GetItemWithError(d, name);
    if (v == nullptr && PyErr_Occurred()) {
        throw_error();
    }
    return v;
}

}  // namespace

PyObject* module_dict() { return g_dict; }

void bind_module_state(PyObject* dict) {
    forget_module_state();
    g_builtins = check(PyImport_ImportModule("builtins")).release();
    g_builtins_dict = PyModule_GetDict(g_builtins);
    g_dict = dict;
}

void forget_module_state() {
    forget_fast_paths();
    g_dict = nullptr;
    g_builtins_dict = nullptr;
    Py_CLEAR(g_builtins);
}

PyObject* builtins_module() { return g_builtins; }

PyObject* find_builtin(PyObject* name) { return g_builtins_dict == nullptr ? nullptr : lookup(g_builtins_dict, name); }

PyObject* resolve(PyObject* name) {
    if (g_dict == nullptr) {
        return nullptr;
    }
    if (PyObject* v = lookup(g_dict, name)) {
        return v;
    }
    return lookup(g_builtins_dict, name);
}

namespace {

Ref unwatched_global(PyObject* name) {
    if (PyObject* v = lookup(namespace_for(name), name)) {
        return Ref::borrow(v);
    }
    if (PyObject* v = lookup(g_builtins_dict, name)) {
        return Ref::borrow(v);
    }
    raise(PyExc_NameError, "name '%U' is not defined", name);
}

}  // namespace

Ref global(PyObject* name) {
    if (g_watcher != nullptr) {
        g_watcher->looked_up(name, nullptr);
    }
    return unwatched_global(name);
}

Ref lib(PyObject* alias, PyObject* name) {
    if (g_watcher != nullptr) {
        g_watcher->looked_up(alias, name);
    }
    return attr(unwatched_global(alias), name);
}

Ref len_of(Obj len_fn, Obj o) {
    GenericRegion region(g_native_len);
    if (len_fn.p == g_native_len.original(kLen)) {
        g_native_len.taken();
        return index_value(length(o));
    }
    return call(len_fn, {o});
}

Ref int_of(Obj int_fn, Obj o) {
    GenericRegion region(g_native_int);
    if (int_fn.p == g_native_int.original(kInt)) {
        g_native_int.taken();
        return check(PyNumber_Long(o.p));
    }
    return call(int_fn, {o});
}

void print(std::initializer_list<Obj> items) {
    Ref print_fn = global(QS("print"));
    Ref args = tuple_of(items);
    check(PyObject_Call(print_fn.get(), args.get(), nullptr));
}

}  // namespace qel
