// CPython calls whose names differ between versions, and what depends on the
// compiler or its C++ library, kept in one place.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <pthread.h>

#include <cstddef>
#include <cstdint>
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

/// The live value of `-O` / PYTHONOPTIMIZE, which `assert` statements test.
/// Py_OptimizeFlag is deprecated from 3.12 but still set from both there.
inline int optimize_level() noexcept {
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#endif
    return Py_OptimizeFlag;
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif
}

/// The current error, taken out of the indicator and put back unchanged.
class SavedError {
public:
    SavedError() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
        exc_ = PyErr_GetRaisedException();
#else
        PyErr_Fetch(&type_, &value_, &tb_);
#endif
    }
    /// Put it back, replacing any error raised meanwhile.
    void restore() noexcept {
        PyErr_Clear();
#if PY_VERSION_HEX >= 0x030C0000
        PyErr_SetRaisedException(exc_);
        exc_ = nullptr;
#else
        PyErr_Restore(type_, value_, tb_);
        type_ = value_ = tb_ = nullptr;
#endif
    }
    SavedError(const SavedError&) = delete;
    SavedError& operator=(const SavedError&) = delete;

private:
#if PY_VERSION_HEX >= 0x030C0000
    PyObject* exc_;
#else
    PyObject* type_;
    PyObject* value_;
    PyObject* tb_;
#endif
};

/// The class's version tag: the interpreter gives a class a new one whenever
/// an attribute of it or of a base is set or deleted, and never hands one out
/// twice. 0 when it gives none (then nothing can be told about the class).
inline unsigned int class_version(PyTypeObject* type) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    if (PyUnstable_Type_AssignVersionTag(type) == 0) {
        return 0;
    }
#else
    // A lookup through the type's method cache assigns the tag it needs.
    if (!PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG)) {
        static PyObject* const probe = PyUnicode_InternFromString("__init__");
        if (probe == nullptr) {
            PyErr_Clear();
            return 0;
        }
        (void)_PyType_Lookup(type, probe);
    }
#endif
    return PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG) ? type->tp_version_tag : 0;
}

/// The index of the lowest set bit of a word that is not 0.
inline int lowest_set_bit(std::uint64_t word) noexcept {
#if defined(__GNUC__)
    return __builtin_ctzll(word);
#else
    int n = 0;
    for (; (word & 1) == 0; word >>= 1) {
        ++n;
    }
    return n;
#endif
}

/// An address in the calling function's stack frame.
inline std::uintptr_t current_frame_address() noexcept {
    return reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
}

/// The lowest address and the size of the calling thread's stack; false when
/// the platform does not say.
inline bool thread_stack(std::uintptr_t* lowest, size_t* size) noexcept {
#if defined(__GLIBC__)
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) != 0) {
        return false;
    }
    void* end = nullptr;
    const int rc = pthread_attr_getstack(&attr, &end, size);
    pthread_attr_destroy(&attr);
    *lowest = reinterpret_cast<std::uintptr_t>(end);
    return rc == 0 && end != nullptr;
#else
    (void)lowest;
    (void)size;
    return false;
#endif
}

}  // namespace qel
