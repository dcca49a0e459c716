// Native call depth, checked against the interpreter's recursion limit and
// against the C stack the thread actually has.
#include "stack_guard.hpp"

#include <algorithm>
#include <cstdint>

namespace qel {

namespace {

/// The lowest address a call may start at on this thread: the stack's end
/// plus a reserve for what runs between two checks (library calls, the
/// interpreter's own frames, the error path). Stacks grow downwards on every
/// platform the module builds for. 0 when the bounds are unknown.
std::uintptr_t stack_floor() {
    std::uintptr_t end = 0;
    size_t size = 0;
    if (!thread_stack(&end, &size)) {
        return 0;
    }
    // A quarter of the stack, at least 64 KiB but never more than half of a
    // small thread stack, at most 1 MiB.
    const size_t reserve = std::min({std::max<size_t>(size / 4, 64 * 1024), size / 2, size_t{1024 * 1024}});
    return end + reserve;
}

struct Floor {
    bool known = false;
    std::uintptr_t address = 0;
};

thread_local Floor t_floor;

}  // namespace

bool enter_call() {
    if (Py_EnterRecursiveCall(" while calling a Python object") != 0) {
        return false;
    }
    Floor& floor = t_floor;
    if (!floor.known) {
        floor.address = stack_floor();
        floor.known = true;
    }
    if (current_frame_address() < floor.address) {
        Py_LeaveRecursiveCall();
        PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded while calling a Python object");
        return false;
    }
    return true;
}

}  // namespace qel
