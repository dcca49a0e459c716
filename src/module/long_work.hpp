// Long work stays interruptible and shares the interpreter, as Python's own
// loops do: native kernels run without the GIL in bounded chunks, and loops
// that hold the GIL let signal handlers and other threads in as they go.
#pragma once
#include "ref.hpp"

#include <chrono>

namespace qel {

/// Run pending signal handlers, as Python does between bytecodes; the
/// exception one raises (KeyboardInterrupt for Ctrl-C) propagates.
inline void check_signals() {
    if (PyErr_CheckSignals() < 0) {
        throw_error();
    }
}

/// The back edge of a loop that holds the GIL: signal handlers run at every
/// iteration, and the other threads get their turns as they would between
/// bytecodes.
class LoopCheck {
public:
    void operator()() {
        check_signals();
        if (++count_ % kEvery == 0) {
            offer_gil();
        }
    }

private:
    /// Hand the GIL to a thread waiting for it, once two switch intervals
    /// have passed since the last hand-over. Releasing it more often would
    /// starve that thread: each release wakes it before its interval runs
    /// out, so it never asks for the forced switch, and it finds the GIL
    /// taken again. A release after it has asked waits until it took its turn.
    void offer_gil();

    static constexpr unsigned kEvery = 256;  // iterations between clock reads
    unsigned count_ = 0;
    std::chrono::steady_clock::duration every_{};  // read at the first offer
    std::chrono::steady_clock::time_point last_{};
};

/// Run `step(first, last)` over [0, n) with the GIL released, in chunks of at
/// most `chunk` units, until a step returns false (the result then). Between
/// chunks the GIL is taken back and signal handlers run, so an interrupt stops
/// the work part-way with its exception. `step` is plain C++ that touches no
/// Python object.
///
/// The GIL is taken back here, in a frame that is neither noexcept nor a
/// destructor and owns no Python reference: at interpreter exit that is where
/// CPython ends a daemon thread (see drop_reference).
template <class Step>
bool run_released(Py_ssize_t n, Py_ssize_t chunk, Step&& step) {
    Py_ssize_t first = 0;
    do {
        const Py_ssize_t last = n - first > chunk ? first + chunk : n;
        PyThreadState* saved = PyEval_SaveThread();
        const bool go_on = step(first, last);
        PyEval_RestoreThread(saved);
        if (!go_on) {
            return false;
        }
        first = last;
        if (first < n) {
            check_signals();
        }
    } while (first < n);
    return true;
}

}  // namespace qel
