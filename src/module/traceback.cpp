// Synthetic traceback entries: an empty code object and a frame whose
// globals are the module namespace, pushed in front of the current traceback.
#include "function.hpp"
#include "names.hpp"

#include <frameobject.h>

namespace qel {

void add_traceback(const char* qualified_name, int line) {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyCodeObject* code = PyCode_NewEmpty("qel_cv.py", qualified_name, line);
    PyFrameObject* frame = nullptr;
    PyObject* globals = module_dict();
    if (code != nullptr && globals != nullptr) {
        frame = PyFrame_New(PyThreadState_Get(), code, globals, nullptr);
    }
    // The original error wins over any failure while decorating it.
    PyErr_Clear();
    PyErr_Restore(type, value, tb);
    if (frame != nullptr) {
        PyTraceBack_Here(frame);
    }
    Py_XDECREF(code);
    Py_XDECREF(frame);
}

}  // namespace qel
