// CPython calls whose names differ between versions, kept in one place.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace qel {

/// Whether the interpreter has begun to shut down.
inline bool interpreter_finalizing() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return Py_IsFinalizing() != 0;
#else
    return _Py_IsFinalizing() != 0;
#endif
}

/// Whether the calling thread holds the GIL. Asked without holding it, so it
/// reads the holder's thread state rather than the caller's own (which a
/// thread without the GIL cannot look up).
inline bool this_thread_holds_gil() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    PyThreadState* holder = PyThreadState_GetUnchecked();
#else
    PyThreadState* holder = _PyThreadState_UncheckedGet();
#endif
    return holder != nullptr && holder->thread_id == PyThread_get_thread_ident();
}

}  // namespace qel
