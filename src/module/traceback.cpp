// Synthetic traceback entries: an empty code object and a frame whose
// globals are the module namespace, pushed in front of the current traceback.
#include "traceback.hpp"

#include "names.hpp"

#include <frameobject.h>

namespace qel {

void add_traceback(const char* qualified_name, int line) {
    SavedError saved;
    Ref code = Ref::steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty("qel_cv.py", qualified_name, line)));
    Ref frame;
    PyObject* globals = module_dict();
    if (code && globals != nullptr) {
        frame = Ref::steal(reinterpret_cast<PyObject*>(
            PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code.get()), globals, nullptr)));
    }
    // The original error wins over any failure while decorating it.
    saved.restore();
    if (frame) {
        PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get()));
    }
}

}  // namespace qel
