// Raising Python exceptions from C++, and the texts for C++ exceptions that
// reach an entry point.
#include "error.hpp"

#include <cstdarg>

namespace qel {

void raise(PyObject* type, const char* format, ...) {
    va_list args;
    va_start(args, format);
    PyErr_FormatV(type, format, args);
    va_end(args);
    throw_error();
}

void report_cpp_exception(const char* where, const char* what) {
    if (what != nullptr) {
        PyErr_Format(PyExc_SystemError, "%s: unexpected C++ exception: %s", where, what);
    } else {
        PyErr_Format(PyExc_SystemError, "%s: unexpected C++ exception of unknown type", where);
    }
}

}  // namespace qel
