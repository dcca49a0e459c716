// The depth of native calls. A callback that calls the module again (a judge
// that compares, a __float__ that converts by calling back) nests C frames on
// the thread's stack, which the interpreter's recursion limit does not bound
// once a program raises it: each call checks the stack itself as well.
#pragma once
#include "ref.hpp"

namespace qel {

/// Enter a call of one of the module's callables: false, with RecursionError
/// set as Python raises it, when the interpreter's recursion limit is reached
/// or the thread's C stack is close to its end. Pair a true result with
/// leave_call().
bool enter_call();

inline void leave_call() { Py_LeaveRecursiveCall(); }

}  // namespace qel
