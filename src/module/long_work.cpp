// Turns for other threads during loops that hold the GIL.
#include "long_work.hpp"

namespace qel {

namespace {

/// Twice `sys.getswitchinterval()`: by then a thread that waits for the GIL
/// has timed out once and asked for the switch. 10 ms if it cannot be read.
std::chrono::steady_clock::duration hand_over_interval() {
    double seconds = 0.005;
    if (PyObject* get = PySys_GetObject("getswitchinterval")) {  // borrowed
        Ref value = Ref::steal(PyObject_CallNoArgs(get));
        const double read = value ? PyFloat_AsDouble(value.get()) : -1.0;
        if (read > 0) {
            seconds = read;
        } else {
            PyErr_Clear();  // only what the lookup itself raised
        }
    }
    return std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(2 * seconds));
}

}  // namespace

void LoopCheck::offer_gil() {
    const auto now = std::chrono::steady_clock::now();
    if (every_ == std::chrono::steady_clock::duration::zero()) {
        every_ = hand_over_interval();
        last_ = now;
        return;
    }
    if (now - last_ < every_) {
        return;
    }
    Py_BEGIN_ALLOW_THREADS
    Py_END_ALLOW_THREADS
    last_ = std::chrono::steady_clock::now();
}

}  // namespace qel
