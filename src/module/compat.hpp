// CPython calls whose names differ between versions, and what depends on the
// compiler or its C++ library, kept in one place.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <exception>
#if defined(__GLIBCXX__)
#include <cxxabi.h>
#endif

namespace qel {

#if defined(__GLIBCXX__)
/// What glibc's pthread_exit unwinds a thread's stack with (CPython ends a
/// daemon thread that way at exit): it may pass through a catch-all but must
/// be thrown on, or the process ends with std::terminate.
using ForcedUnwind = abi::__forced_unwind;
#else
/// Other C++ libraries end threads without such an exception: a type that is
/// never thrown.
struct ForcedUnwind {};
#endif

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
