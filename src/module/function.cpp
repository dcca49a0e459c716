// The function type of every public callable: attributes, method binding and
// the call entry point with its single error boundary.
#include "function.hpp"

#include <structmember.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <memory>
#include <new>
#include <string>

#include "binder.hpp"
#include "names.hpp"
#include "ops.hpp"
#include "stack_guard.hpp"
#include "traceback.hpp"

namespace qel {

namespace {

struct FunctionObject {
    PyObject_HEAD
    const FuncDef* def;
    const Signature* sig;   // lives as long as the process, like the FuncDef (see make_function)
    PyObject* name;         // __name__ (writable)
    PyObject* qualname;     // __qualname__ (writable)
    PyObject* module;       // __module__
    PyObject* doc;          // __doc__
    PyObject* defaults;     // __defaults__ as reported; calls never read it
    PyObject* kwdefaults;   // __kwdefaults__
    PyObject* annotations;  // __annotations__, NULL until first read when empty
    PyObject* dict;         // __dict__, created lazily
    PyObject* code;         // __code__
    PyObject* globals;      // __globals__
    PyObject* weakreflist;
    bool returns_text;      // `-> "unicode"` is enforced on the result
};

// Filled in by ready_function_type(); zero until then.
PyTypeObject FunctionType;

FunctionObject* as_function(PyObject* self) { return reinterpret_cast<FunctionObject*>(self); }

Ref run_body(const FunctionObject* f, const Ref* values) {
    Ref result = f->def->invoke(values);
    if (f->returns_text && result.get() != Py_None && !PyUnicode_CheckExact(result.get())) {
        raise(PyExc_TypeError, "Expected %.16s, got %.200s", "unicode", Py_TYPE(result.get())->tp_name);
    }
    return result;
}

/// Binding, conversion and the body, once the call depth is admitted.
/// `*with_entry` is cleared for the errors that carry no traceback entry.
Ref bind_and_run(const FunctionObject* f, PyObject* args, PyObject* kwargs, bool* with_entry) {
    const Signature& sig = *f->sig;
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    PyObject* const* pos = &PyTuple_GET_ITEM(args, 0);

    if (sig.one_arg) {
        // Dispatch errors of one-argument callables carry no traceback entry.
        *with_entry = false;
        bind_one_argument(f->def->name, nargs, kwargs);
        *with_entry = true;
        const Ref arg = Ref::borrow(pos[0]);
        return run_body(f, &arg);
    }
    std::array<Ref, kMaxParams> values;
    bind_arguments(sig, f->def->name, pos, nargs, kwargs, values.data());
    convert_arguments(sig, values.data(), with_entry);
    return run_body(f, values.data());
}

/// Any error of a call, binding included, gets the entry `qel_cv.<qualname>`
/// at the def line, except the few that `with_entry` excludes.
void add_call_traceback(const FuncDef* def) {
    const std::string name = std::string("qel_cv.") + def->qualname;
    add_traceback(name.c_str(), def->line);
}

/// The call entry point, with the module's one error boundary.
PyObject* function_call(PyObject* self, PyObject* args, PyObject* kwargs) {
    const FunctionObject* f = as_function(self);
    if (!enter_call()) {
        add_call_traceback(f->def);
        return nullptr;
    }
    bool with_entry = true;
    PyObject* result = guarded(f->def->qualname, static_cast<PyObject*>(nullptr),
                               [&] { return bind_and_run(f, args, kwargs, &with_entry).release(); });
    if (result == nullptr && with_entry) {
        add_call_traceback(f->def);
    }
    // Not a scope guard: a destructor would run in the unwinding that ends a
    // daemon thread at exit, without the GIL.
    leave_call();
    return result;
}

PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject* /*type*/) {
    if (obj == nullptr || obj == Py_None) {
        Py_INCREF(self);
        return self;
    }
    return PyMethod_New(self, obj);
}

PyObject* function_repr(PyObject* self) {
    return PyUnicode_FromFormat("<cyfunction %U at %p>", as_function(self)->qualname, self);
}

int function_traverse(PyObject* self, visitproc visit, void* arg) {
    FunctionObject* f = as_function(self);
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    Py_VISIT(f->module);
    Py_VISIT(f->doc);
    Py_VISIT(f->defaults);
    Py_VISIT(f->kwdefaults);
    Py_VISIT(f->annotations);
    Py_VISIT(f->dict);
    Py_VISIT(f->code);
    Py_VISIT(f->globals);
    return 0;
}

int function_clear(PyObject* self) {
    FunctionObject* f = as_function(self);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->module);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->kwdefaults);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->dict);
    Py_CLEAR(f->code);
    Py_CLEAR(f->globals);
    return 0;
}

void function_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    if (as_function(self)->weakreflist != nullptr) {
        PyObject_ClearWeakRefs(self);
    }
    function_clear(self);
    PyObject_GC_Del(self);
}

// --- attributes -------------------------------------------------------------

PyObject* new_ref_or_none(PyObject* p) {
    if (p == nullptr) {
        p = Py_None;
    }
    Py_INCREF(p);
    return p;
}

void replace_field(PyObject** field, PyObject* value) {
    Py_XINCREF(value);
    PyObject* old = *field;
    *field = value;
    Py_XDECREF(old);
}

PyObject* get_name(PyObject* self, void*) { return new_ref_or_none(as_function(self)->name); }
int set_name(PyObject* self, PyObject* value, void*) {
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__name__ must be set to a string object");
        return -1;
    }
    replace_field(&as_function(self)->name, value);
    return 0;
}

PyObject* get_qualname(PyObject* self, void*) { return new_ref_or_none(as_function(self)->qualname); }
int set_qualname(PyObject* self, PyObject* value, void*) {
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__qualname__ must be set to a string object");
        return -1;
    }
    replace_field(&as_function(self)->qualname, value);
    return 0;
}

PyObject* get_doc(PyObject* self, void*) { return new_ref_or_none(as_function(self)->doc); }
int set_doc(PyObject* self, PyObject* value, void*) {
    replace_field(&as_function(self)->doc, value == nullptr ? Py_None : value);
    return 0;
}

PyObject* get_defaults(PyObject* self, void*) { return new_ref_or_none(as_function(self)->defaults); }
int set_defaults(PyObject* self, PyObject* value, void*) {
    if (value == nullptr) {
        value = Py_None;
    } else if (value != Py_None && !PyTuple_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__defaults__ must be set to a tuple object");
        return -1;
    }
    replace_field(&as_function(self)->defaults, value);
    return 0;
}

PyObject* get_kwdefaults(PyObject* self, void*) { return new_ref_or_none(as_function(self)->kwdefaults); }
int set_kwdefaults(PyObject* self, PyObject* value, void*) {
    if (value == nullptr) {
        value = Py_None;
    } else if (value != Py_None && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__kwdefaults__ must be set to a dict object");
        return -1;
    }
    replace_field(&as_function(self)->kwdefaults, value);
    return 0;
}

PyObject* get_annotations(PyObject* self, void*) {
    FunctionObject* f = as_function(self);
    if (f->annotations == nullptr) {
        f->annotations = PyDict_New();
        if (f->annotations == nullptr) {
            return nullptr;
        }
    }
    Py_INCREF(f->annotations);
    return f->annotations;
}
int set_annotations(PyObject* self, PyObject* value, void*) {
    if (value == Py_None) {
        value = nullptr;
    } else if (value != nullptr && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    replace_field(&as_function(self)->annotations, value);
    return 0;
}

PyObject* get_dict(PyObject* self, void*) {
    FunctionObject* f = as_function(self);
    if (f->dict == nullptr) {
        f->dict = PyDict_New();
        if (f->dict == nullptr) {
            return nullptr;
        }
    }
    Py_INCREF(f->dict);
    return f->dict;
}
int set_dict(PyObject* self, PyObject* value, void*) {
    if (value == nullptr) {
        PyErr_SetString(PyExc_TypeError, "function's dictionary may not be deleted");
        return -1;
    }
    if (!PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "setting function's dictionary to a non-dict");
        return -1;
    }
    replace_field(&as_function(self)->dict, value);
    return 0;
}

PyObject* get_globals(PyObject* self, void*) { return new_ref_or_none(as_function(self)->globals); }
PyObject* get_code(PyObject* self, void*) { return new_ref_or_none(as_function(self)->code); }
PyObject* get_none(PyObject*, void*) { Py_RETURN_NONE; }

PyGetSetDef function_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"func_name", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__doc__", get_doc, set_doc, nullptr, nullptr},
    {"func_doc", get_doc, set_doc, nullptr, nullptr},
    {"__defaults__", get_defaults, set_defaults, nullptr, nullptr},
    {"func_defaults", get_defaults, set_defaults, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, set_kwdefaults, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__dict__", get_dict, set_dict, nullptr, nullptr},
    {"func_dict", get_dict, set_dict, nullptr, nullptr},
    {"__globals__", get_globals, nullptr, nullptr, nullptr},
    {"func_globals", get_globals, nullptr, nullptr, nullptr},
    {"__closure__", get_none, nullptr, nullptr, nullptr},
    {"func_closure", get_none, nullptr, nullptr, nullptr},
    {"__code__", get_code, nullptr, nullptr, nullptr},
    {"func_code", get_code, nullptr, nullptr, nullptr},
    {"__self__", get_none, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef function_members[] = {
    {"__module__", T_OBJECT, offsetof(FunctionObject, module), 0, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyObject* function_reduce(PyObject* self, PyObject*) { return new_ref_or_none(as_function(self)->qualname); }

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// --- construction ---------------------------------------------------------

/// Evaluate a definition-time expression in the module namespace.
Ref evaluate(const char* expression) {
    return check(PyRun_String(expression, Py_eval_input, module_dict(), module_dict()));
}

/// The code object `inspect.signature` reads the parameters from: an empty
/// code object re-made with the argument count and variable names.
Ref make_code(const FuncDef& def) {
    Ref code = Ref::steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty("qel_cv.py", def.name, def.line)));
    if (!code) {
        throw_error();
    }
    Ref varnames = check(PyTuple_New(static_cast<Py_ssize_t>(def.param_count + def.local_count)));
    Py_ssize_t i = 0;
    for (const Param& p : def.params()) {
        PyTuple_SET_ITEM(varnames.get(), i++, intern_forever(p.name));
    }
    for (const char* local : def.locals()) {
        PyTuple_SET_ITEM(varnames.get(), i++, intern_forever(local));
    }
    Ref argcount = index_value(static_cast<Py_ssize_t>(def.param_count));
    Ref nlocals = index_value(i);
    Ref flags = integer(CO_OPTIMIZED | CO_NEWLOCALS);
    Ref replace = attr(code, QS("replace"));
    return call(replace, {},
                {{QS("co_argcount"), argcount},
                 {QS("co_varnames"), varnames},
                 {QS("co_nlocals"), nlocals},
                 {QS("co_flags"), flags}});
}

/// Whether an evaluated annotation is exactly the text `text`.
bool annotated_as(PyObject* value, const char* text) {
    return value != nullptr && PyUnicode_CheckExact(value) && PyUnicode_CompareWithASCIIString(value, text) == 0;
}

/// The conversion an annotation asks for, as the original's compiler read
/// it: a result is only ever checked for exact text.
Conversion asked_by(PyObject* annotation, bool result) {
    if (annotated_as(annotation, "unicode")) {
        return Conversion::exact_text;
    }
    if (!result && annotated_as(annotation, "float")) {
        return Conversion::to_float;
    }
    return Conversion::none;
}

const char* described(Conversion c) {
    switch (c) {
        case Conversion::to_float: return "converted to float";
        case Conversion::exact_text: return "checked for exact text";
        default: return "not converted";
    }
}

/// Hold a parameter's conversion (`param` NULL: the result's check) to its
/// evaluated annotation, NULL when there is none: ImportError naming the
/// callable and the parameter when they disagree.
void check_conversion(const FuncDef& def, const char* param, PyObject* annotation, Conversion c) {
    if (asked_by(annotation, param == nullptr) == c) {
        return;
    }
    PyObject* shown = annotation != nullptr ? annotation : Py_None;
    if (param != nullptr) {
        raise(PyExc_ImportError, "qel_cv: %s: the parameter '%s' is annotated %R but %s", def.qualname, param, shown,
              described(c));
    }
    raise(PyExc_ImportError, "qel_cv: %s: the result is annotated %R but %s", def.qualname, shown, described(c));
}

}  // namespace

void ready_function_type() {
    if (FunctionType.tp_flags & Py_TPFLAGS_READY) {
        return;
    }
    Py_SET_REFCNT(reinterpret_cast<PyObject*>(&FunctionType), 1);
    FunctionType.tp_name = "cython_function_or_method";
    FunctionType.tp_basicsize = sizeof(FunctionObject);
    FunctionType.tp_dealloc = function_dealloc;
    FunctionType.tp_repr = function_repr;
    FunctionType.tp_call = function_call;
    FunctionType.tp_getattro = PyObject_GenericGetAttr;
    FunctionType.tp_setattro = PyObject_GenericSetAttr;
    FunctionType.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
    FunctionType.tp_traverse = function_traverse;
    FunctionType.tp_clear = function_clear;
    FunctionType.tp_weaklistoffset = offsetof(FunctionObject, weakreflist);
    FunctionType.tp_methods = function_methods;
    FunctionType.tp_members = function_members;
    FunctionType.tp_getset = function_getset;
    FunctionType.tp_descr_get = function_descr_get;
    FunctionType.tp_dictoffset = offsetof(FunctionObject, dict);
    check(PyType_Ready(&FunctionType));
}

bool is_function_of(PyObject* o, const FuncDef& def) {
    return Py_TYPE(o) == &FunctionType && as_function(o)->def == &def;
}

Ref make_function(const FuncDef& def) {
    // Readied at the first definition, so a start-up that fails in its
    // imports (in a sub-interpreter, say) has not touched the type.
    ready_function_type();
    // The signature lives as long as the process, like the static FuncDef.
    static std::vector<std::unique_ptr<Signature>> signatures;

    Ref annotations = check(PyDict_New());
    Ref defaults_list = check(PyList_New(0));
    auto sig = std::make_unique<Signature>();
    for (const Param& p : def.params()) {
        sig->names.push_back(intern_forever(p.name));
        Ref value = p.annotation != nullptr ? evaluate(p.annotation) : Ref();
        check_conversion(def, p.name, value.get(), p.conversion);
        if (value) {
            check(PyDict_SetItemString(annotations.get(), p.name, value.get()));
        }
        // Required parameters lead: start-up has checked it.
        if (p.default_value != nullptr) {
            Ref value = evaluate(p.default_value);
            check(PyList_Append(defaults_list.get(), value.get()));
        }
    }
    {
        Ref value = def.returns != nullptr ? evaluate(def.returns) : Ref();
        check_conversion(def, nullptr, value.get(), def.result_check);
        if (value) {
            check(PyDict_SetItemString(annotations.get(), "return", value.get()));
        }
    }
    sig->required = sig->names.size() - static_cast<size_t>(PyList_GET_SIZE(defaults_list.get()));
    sig->defaults = check(PyList_AsTuple(defaults_list.get()));
    sig->one_arg = def.param_count == 1 && sig->required == 1;
    for (const Param& p : def.params()) {
        sig->conversions.push_back(p.conversion);
    }
    if (std::all_of(sig->conversions.begin(), sig->conversions.end(),
                    [](Conversion c) { return c == Conversion::none; })) {
        sig->conversions.clear();  // nothing to do per call
    }
    Ref code = make_code(def);
    Ref qualname = text(def.qualname);
    Ref doc = def.doc ? text(def.doc) : none();
    Ref name = Ref::steal(intern_forever(def.name));

    FunctionObject* f = PyObject_GC_New(FunctionObject, &FunctionType);
    if (f == nullptr) {
        throw_error();
    }
    // Nothing below can fail, so the object is never seen half made.
    f->def = &def;
    f->sig = sig.get();
    f->name = name.release();
    f->qualname = qualname.release();
    f->module = Ref::borrow(QS("qel_cv")).release();
    f->doc = doc.release();
    f->defaults = PyTuple_GET_SIZE(sig->defaults.get()) ? sig->defaults.copy().release()
                                                         : Ref::borrow(Py_None).release();
    f->kwdefaults = Ref::borrow(Py_None).release();
    f->annotations = PyDict_GET_SIZE(annotations.get()) ? annotations.release() : nullptr;
    f->dict = nullptr;
    f->code = code.release();
    f->globals = Ref::borrow(module_dict()).release();
    f->weakreflist = nullptr;
    f->returns_text = def.result_check == Conversion::exact_text;
    Ref owner = Ref::steal(reinterpret_cast<PyObject*>(f));
    signatures.push_back(std::move(sig));
    PyObject_GC_Track(owner.get());
    return owner;
}

}  // namespace qel
