// Python-level operations shared by every body.
#include "ops.hpp"

#include <vector>

namespace qel {

Ref call(Obj f, std::initializer_list<Obj> args) {
    // +1 slot in front lets callees prepend `self` without copying.
    std::vector<PyObject*> stack(args.size() + 1);
    size_t i = 1;
    for (const Obj& a : args) {
        stack[i++] = a.p;
    }
    return check(PyObject_Vectorcall(f.p, stack.data() + 1, args.size() | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                     nullptr));
}

Ref call(Obj f, std::initializer_list<Obj> args, std::initializer_list<Kw> kw) {
    std::vector<PyObject*> stack(args.size() + kw.size() + 1);
    size_t i = 1;
    for (const Obj& a : args) {
        stack[i++] = a.p;
    }
    Ref names = check(PyTuple_New(static_cast<Py_ssize_t>(kw.size())));
    Py_ssize_t k = 0;
    for (const Kw& w : kw) {
        stack[i++] = w.value.p;
        Py_INCREF(w.name);
        PyTuple_SET_ITEM(names.get(), k++, w.name);
    }
    return check(PyObject_Vectorcall(f.p, stack.data() + 1, args.size() | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                     names.get()));
}

Ref call_method(Obj o, PyObject* name, std::initializer_list<Obj> args) {
    std::vector<PyObject*> stack(args.size() + 1);
    stack[0] = o.p;
    size_t i = 1;
    for (const Obj& a : args) {
        stack[i++] = a.p;
    }
    return check(PyObject_VectorcallMethod(name, stack.data(), stack.size() | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                           nullptr));
}

Ref item(Obj o, Obj key) { return check(PyObject_GetItem(o.p, key.p)); }

Ref item(Obj o, Py_ssize_t i) {
    // Exact lists and tuples the way `o[i]` reads them (negative indices wrap).
    if (PyList_CheckExact(o.p) || PyTuple_CheckExact(o.p)) {
        return check(PySequence_GetItem(o.p, i));
    }
    Ref key = index_value(i);
    return check(PyObject_GetItem(o.p, key.get()));
}

Ref slice(Obj start, Obj stop) { return check(PySlice_New(start.p, stop.p, nullptr)); }

Ref tuple_of(std::initializer_list<Obj> items) {
    Ref t = check(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
    Py_ssize_t i = 0;
    for (const Obj& v : items) {
        Py_INCREF(v.p);
        PyTuple_SET_ITEM(t.get(), i++, v.p);
    }
    return t;
}

Ref list_of(std::initializer_list<Obj> items) {
    Ref l = check(PyList_New(static_cast<Py_ssize_t>(items.size())));
    Py_ssize_t i = 0;
    for (const Obj& v : items) {
        Py_INCREF(v.p);
        PyList_SET_ITEM(l.get(), i++, v.p);
    }
    return l;
}

std::string to_text(Obj o) {
    Ref s = check(PyObject_Str(o.p));
    Py_ssize_t n = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(s.get(), &n);
    if (utf8 == nullptr) {
        throw_error();
    }
    return std::string(utf8, static_cast<size_t>(n));
}

bool assertions_enabled() { return optimize_level() == 0; }

void assertion_failed() {
    PyErr_SetNone(PyExc_AssertionError);
    throw_error();
}

}  // namespace qel
