// The module definition: multi-phase init with a single module per process.
// A second exec of the same module is a no-op (reload), a different module
// object cannot be initialised again, and only one interpreter may load it.
#include "names.hpp"
#include "startup.hpp"
#include "traceback.hpp"

namespace qel {

namespace {

PyObject* g_module = nullptr;            // the one initialised module (owned)
int64_t g_owner_interpreter = -1;        // recorded by the first create, kept once exec succeeds

/// Copy `module_spec.<attr>` into the module dict under `key`, skipping a missing one.
bool copy_spec_attr(PyObject* module_spec, PyObject* dict, const char* attr_name, const char* key, bool skip_none) {
    PyObject* value = PyObject_GetAttrString(module_spec, attr_name);
    if (value == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
            return false;
        }
        PyErr_Clear();
        return true;
    }
    Ref owner = Ref::steal(value);
    if (skip_none && value == Py_None) {
        return true;
    }
    return PyDict_SetItemString(dict, key, value) == 0;
}

/// A new module object with the import machinery's attributes copied in.
PyObject* new_module(PyObject* module_spec) {
    Ref name = Ref::steal(PyObject_GetAttrString(module_spec, "name"));
    if (!name) {
        return nullptr;
    }
    Ref module = Ref::steal(PyModule_NewObject(name.get()));
    if (!module) {
        return nullptr;
    }
    PyObject* dict = PyModule_GetDict(module.get());
    if (!copy_spec_attr(module_spec, dict, "loader", "__loader__", false) ||
        !copy_spec_attr(module_spec, dict, "origin", "__file__", false) ||
        !copy_spec_attr(module_spec, dict, "parent", "__package__", false) ||
        !copy_spec_attr(module_spec, dict, "submodule_search_locations", "__path__", true)) {
        return nullptr;
    }
    return module.release();
}

PyObject* module_create(PyObject* module_spec, PyModuleDef*) {
    int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    const bool first = g_owner_interpreter == -1;
    if (first) {
        g_owner_interpreter = id;
    } else if (g_owner_interpreter != id) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one interpreter per process.");
        return nullptr;
    }
    if (g_module != nullptr) {
        Py_INCREF(g_module);
        return g_module;
    }
    PyObject* module = new_module(module_spec);
    if (module == nullptr && first) {
        g_owner_interpreter = -1;  // a failed import leaves no owner behind
    }
    return module;
}

int module_exec(PyObject* module) {
    if (g_module != nullptr) {
        if (g_module == module) {
            return 0;
        }
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'qel_cv' has already been imported. Re-initialisation is not supported.");
        return -1;
    }
    Py_INCREF(module);
    g_module = module;
    int line = 0;  // the start-up statement running, once there is one
    const int rc = guarded("init qel_cv", -1, [&] {
        PyObject* modules = PySys_GetObject("modules");  // borrowed
        if (modules != nullptr) {
            if (!PyMapping_HasKeyString(modules, "qel_cv")) {
                check(PyMapping_SetItemString(modules, "qel_cv", module));
            }
        }
        run_startup(module, &line);
        return 0;
    });
    if (rc == 0) {
        return 0;
    }
    if (line > 0) {
        add_traceback("init qel_cv", line);
    }
    // A failed start-up leaves nothing behind: a later import, from this
    // interpreter or another, starts afresh.
    forget_module_state();
    Ref dropped = Ref::steal(g_module);
    g_module = nullptr;
    g_owner_interpreter = -1;
    return -1;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(module_create)},
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyMethodDef no_methods[] = {{nullptr, nullptr, 0, nullptr}};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "qel_cv", nullptr, 0, no_methods, module_slots, nullptr, nullptr, nullptr,
};

}  // namespace

}  // namespace qel

PyMODINIT_FUNC PyInit_qel_cv(void) { return PyModuleDef_Init(&qel::module_def); }
