// Binding call arguments to parameters and converting them on entry, with
// every argument-error text.
#pragma once
#include "definition.hpp"

#include <vector>

namespace qel {

/// What the binder needs to know of a callable's parameters.
struct Signature {
    std::vector<PyObject*> names;          // interned parameter names, in order
    size_t required = 0;                   // leading parameters without a default
    Ref defaults;                          // tuple: values of the trailing parameters
    bool one_arg = false;                  // exactly one parameter, no default
    std::vector<Conversion> conversions;   // one per parameter; empty when none converts
};

/// Check the call of a one-argument callable: no keywords, exactly one
/// positional argument. Raises the TypeError naming `name` otherwise.
void bind_one_argument(const char* name, Py_ssize_t nargs, PyObject* kwargs);

/// Fill `values[0..N)` (each a new reference) from positional
/// `pos[0..nargs)`, the keyword dict `kwargs` (may be NULL) and the defaults.
/// Owned as soon as found: a later key's __eq__ may change the dict. Raises
/// the TypeError naming `name` on an argument error.
void bind_arguments(const Signature& sig, const char* name, PyObject* const* pos, Py_ssize_t nargs,
                    PyObject* kwargs, Ref* values);

/// Convert the bound arguments whose annotation asks for it: every float
/// first, in parameter order, then the exact-text checks. `*with_entry` is
/// cleared before an exact-text error, the one argument error that carries no
/// traceback entry.
void convert_arguments(const Signature& sig, Ref* values, bool* with_entry);

}  // namespace qel
