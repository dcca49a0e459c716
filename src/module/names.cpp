// Module state for late binding: the namespace, the builtins module, and
// what start-up bound (for the fast-path guards).
#include "names.hpp"

#include "startup.hpp"

namespace qel {

namespace {

// Raw pointers on purpose: these live until the process ends, and a static
// owner's destructor would release them after the interpreter is gone.
PyObject* g_dict = nullptr;             // borrowed from the module, which lives forever
PyObject* g_builtins = nullptr;         // the builtins module (owned)
PyObject* g_builtins_dict = nullptr;    // its namespace (borrowed from it)
PyObject* g_originals = nullptr;        // name -> object start-up bound (owned)
PyObject* g_lib_originals = nullptr;    // (alias, name) -> object at start-up (owned)
std::vector<std::pair<const char*, const char*>>& watched() {
    static std::vector<std::pair<const char*, const char*>> pairs;
    return pairs;
}

/// The builtins native paths stand in for, as start-up found them (owned);
/// see is_builtin.
struct GuardedBuiltin {
    const char* name;
    PyObject* key;       // the interned name, set at the first start-up
    PyObject* original;
};
GuardedBuiltin g_guarded[] = {{"len", nullptr, nullptr}, {"range", nullptr, nullptr}, {"int", nullptr, nullptr}};

/// Names come interned (QS), so a pointer comparison finds the entry.
PyObject* original_builtin(PyObject* name) {
    for (const GuardedBuiltin& b : g_guarded) {
        if (b.key == name) {
            return b.original;
        }
    }
    fatal("qel_cv: a builtin was guarded that start-up does not record");
}

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
    g_originals = check(PyDict_New()).release();
    g_lib_originals = check(PyDict_New()).release();
    for (GuardedBuiltin& b : g_guarded) {
        if (b.key == nullptr) {
            b.key = intern_forever(b.name);
        }
        b.original = Ref::borrow(lookup(g_builtins_dict, b.key)).release();
    }
    g_dict = dict;
}

void forget_module_state() {
    g_dict = nullptr;
    g_builtins_dict = nullptr;
    Py_CLEAR(g_builtins);
    Py_CLEAR(g_originals);
    Py_CLEAR(g_lib_originals);
    for (GuardedBuiltin& b : g_guarded) {
        Py_CLEAR(b.original);
    }
}

PyObject* builtins_module() { return g_builtins; }

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
    if (PyObject* v = lookup(g_builtins_dict, name)) {
        return Ref::borrow(v);
    }
    raise(PyExc_NameError, "name '%U' is not defined", name);
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
    PyObject* then = lookup(g_lib_originals, key.get());
    if (then == nullptr) {
        fatal("qel_cv: a library attribute was guarded without being watched");
    }
    Ref now = Ref::steal(PyObject_GetAttr(PyDict_GetItemWithError(g_dict, alias), name));
    if (!now) {
        PyErr_Clear();
        return false;
    }
    return now.get() == then;
}

bool is_builtin(PyObject* name) {
    if (g_dict == nullptr) {
        return false;
    }
    PyObject* now = lookup(g_dict, name);
    if (now == nullptr) {
        now = lookup(g_builtins_dict, name);
    }
    return now != nullptr && now == original_builtin(name);
}

Ref len_of(Obj len_fn, Obj o) {
    if (len_fn.p == original_builtin(QS("len"))) {
        return index_value(length(o));
    }
    return call(len_fn, {o});
}

Ref int_of(Obj int_fn, Obj o) {
    if (int_fn.p == original_builtin(QS("int"))) {
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
