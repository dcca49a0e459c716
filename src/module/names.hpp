// Late binding: module-level names are looked up at the moment of use, and
// fast paths ask here whether a name still holds what start-up bound.
#pragma once
#include "ops.hpp"

namespace qel {

/// The module's namespace (borrowed) while start-up runs and after it
/// succeeded; NULL before, and again after a start-up that failed.
PyObject* module_dict();

/// A module-level name as a body sees it: the module namespace, then the
/// interpreter's builtins module, else NameError "name 'X' is not defined".
Ref global(PyObject* name);

/// `alias.name`, e.g. lib(QS("_cv"), QS("warpAffine")), both looked up now.
inline Ref lib(PyObject* alias, PyObject* name) { return attr(global(alias), name); }
inline Ref cv(PyObject* name) { return lib(QS("_cv"), name); }
inline Ref np(PyObject* name) { return lib(QS("_np"), name); }

/// A builtin the code uses (`range`, `print`, ...), captured once at import so
/// later rebinding in builtins has no effect.
Ref builtin(PyObject* name);

/// Whether the module-level `name` is still bound to the object start-up bound.
bool is_original(PyObject* name);

/// Whether `alias` is original and `alias.name` is still the object it was at
/// start-up. Only pairs declared with `watch` (before start-up) can be asked.
bool lib_is_original(PyObject* alias, PyObject* name);

/// `print(*items)` through the captured builtin, so it writes to the current
/// `sys.stdout`.
void print(std::initializer_list<Obj> items);

}  // namespace qel
