// The function object behind every public callable.
#pragma once
#include "definition.hpp"

namespace qel {

/// Make the function object for `def`, evaluating its defaults and
/// annotations in the module namespace now.
Ref make_function(const FuncDef& def);

/// Whether `o` is the function object made from `def`: a fast path's proof
/// that a callable it looked up is still the module's own.
bool is_function_of(PyObject* o, const FuncDef& def);

/// Prepare the function type (once, at start-up).
void ready_function_type();

}  // namespace qel
