// Binding call arguments to parameters, with every argument-error text.
#pragma once
#include "ref.hpp"

#include <vector>

namespace qel {

/// What the binder needs to know of a callable's parameters.
struct Signature {
    std::vector<PyObject*> names;  // interned parameter names, in order
    size_t required = 0;           // leading parameters without a default
    Ref defaults;                  // tuple: values of the trailing parameters
    bool one_arg = false;          // exactly one parameter, no default
};

/// Fill `values[0..N)` (each a new reference) from positional
/// `pos[0..nargs)`, the keyword dict `kwargs` (may be NULL) and the defaults.
/// Owned as soon as found: a later key's __eq__ may change the dict. On an
/// argument error set the TypeError naming `name` and return false.
bool bind_arguments(const Signature& sig, const char* name, PyObject* const* pos, Py_ssize_t nargs,
                    PyObject* kwargs, Ref* values);

}  // namespace qel
