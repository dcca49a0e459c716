// The one error model: a C++ exception that exists only while the Python
// error indicator is set, one boundary at every Python-facing entry point, and
// one way to stop on a broken internal invariant.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <exception>
#include <new>

#include "compat.hpp"

namespace qel {

/// Stop the process on a broken internal invariant: a bug in the module, never
/// bad input (that is a Python exception).
[[noreturn]] inline void fatal(const char* message) { Py_FatalError(message); }

[[noreturn]] void throw_error();

/// Thrown only while the Python error indicator is set: throw_error, the one
/// way to make one, checks it at the throw.
class PyError {
    PyError() = default;
    friend void throw_error();
};

/// Throw PyError for an error Python already reported.
[[noreturn]] inline void throw_error() {
    if (!PyErr_Occurred()) {
        fatal("qel_cv: an error was thrown without a Python exception set");
    }
    throw PyError{};
}

/// Set `type` with a message made as PyUnicode_FromFormat makes it, and throw.
[[noreturn]] void raise(PyObject* type, const char* format, ...);

/// Set SystemError for a C++ exception that reached an entry point; `what` is
/// its message, NULL when it was not a std::exception.
void report_cpp_exception(const char* where, const char* what);

/// The one boundary between a Python-facing entry point (a call, the sort key,
/// module start-up) and the C++ behind it. Runs `work`; on failure returns
/// `failed` with a Python exception set: a PyError keeps the one already set,
/// std::bad_alloc becomes MemoryError, any other C++ exception a SystemError
/// naming `where`, so no exception ends the interpreter. The forced unwind
/// that ends a thread at interpreter exit passes through untouched.
template <class R, class Work>
R guarded(const char* where, R failed, Work&& work) {
    try {
        return work();
    } catch (PyError&) {
    } catch (ForcedUnwind&) {
        throw;
    } catch (std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (std::exception& e) {
        report_cpp_exception(where, e.what());
    } catch (...) {
        report_cpp_exception(where, nullptr);
    }
    return failed;
}

}  // namespace qel
