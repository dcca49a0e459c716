// Owning references, and the checks that turn a failed C-API call into the
// module's one error (error.hpp).
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

#include "compat.hpp"
#include "error.hpp"

namespace qel {

/// Drop one owned reference, unless this thread may no longer touch Python.
/// At interpreter exit CPython 3.11 ends a daemon thread that asks for the
/// GIL back with pthread_exit, whose unwinding runs the destructors of every
/// C++ frame on the thread's stack without the GIL (a kernel's caller, or any
/// frame above a library call that released it). Such a thread leaves its
/// references alone, as the process is ending, instead of racing the thread
/// that finalizes.
inline void drop_reference(PyObject* p) {
    if (interpreter_finalizing() && !this_thread_holds_gil()) {
        return;
    }
    Py_DECREF(p);
}

/// An owning reference. Made only by `steal` or `borrow`, given up only by
/// `release`: every ownership transfer is visible where it happens.
///
/// Dropping a reference can run any Python code (a finalizer), which may
/// release the GIL and so meet the exit unwinding above. The destructor and
/// the move assignment are therefore not noexcept: a forced unwind that
/// reaches a noexcept frame ends the process with std::terminate.
class Ref {
public:
    Ref() = default;
    static Ref steal(PyObject* p) { return Ref(p); }
    static Ref borrow(PyObject* p) {
        Py_XINCREF(p);
        return Ref(p);
    }
    Ref(Ref&& o) noexcept : p_(o.p_) { o.p_ = nullptr; }
    Ref& operator=(Ref&& o) noexcept(false) {
        if (this != &o) {
            PyObject* old = p_;
            p_ = o.p_;
            o.p_ = nullptr;
            if (old != nullptr) {
                drop_reference(old);
            }
        }
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() noexcept(false) {
        if (p_ != nullptr) {
            drop_reference(p_);
        }
    }

    PyObject* get() const { return p_; }
    PyObject* release() {
        PyObject* p = p_;
        p_ = nullptr;
        return p;
    }
    /// A second owning reference to the same object.
    Ref copy() const { return borrow(p_); }
    explicit operator bool() const { return p_ != nullptr; }

private:
    explicit Ref(PyObject* p) : p_(p) {}
    PyObject* p_ = nullptr;
};

/// A borrowed handle for helper parameters: accepts a bare borrowed pointer or
/// a Ref (which stays the owner).
struct Obj {
    Obj(PyObject* p) : p(p) {}  // NOLINT: implicit by design
    Obj(const Ref& r) : p(r.get()) {}  // NOLINT
    PyObject* p;
};

/// Take ownership of a new reference, or throw if the call that made it failed.
inline Ref check(PyObject* p) {
    if (p == nullptr) {
        throw_error();
    }
    return Ref::steal(p);
}

/// Throw if a C-API status call failed (negative result); else pass it on.
inline int check(int rc) {
    if (rc < 0) {
        throw_error();
    }
    return rc;
}

/// Interned text that lives for the whole process (module names, attribute
/// names): a new reference that is never given back.
inline PyObject* intern_forever(const char* text) { return check(PyUnicode_InternFromString(text)).release(); }

}  // namespace qel

/// An interned `str` for a literal, made once on first use.
#define QS(text)                                                           \
    ([]() -> PyObject* {                                                   \
        static PyObject* const qs_interned_ = ::qel::intern_forever(text); \
        return qs_interned_;                                               \
    }())
