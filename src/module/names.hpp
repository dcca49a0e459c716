// Late binding: module-level names are looked up at the moment of use, and
// fast paths ask here whether a name still holds what start-up bound.
#pragma once
#include "ops.hpp"

namespace qel {

/// The module's namespace (borrowed) while start-up runs and after it
/// succeeded; NULL before, and again after a start-up that failed.
PyObject* module_dict();

/// A module-level name as a body sees it: the module namespace, then the
/// builtins, else NameError "name 'X' is not defined". Builtins the
/// algorithms call (`range`, `len`, `print`, ...) are found the same way, so
/// a module-level name shadows them as it would in Python.
Ref global(PyObject* name);

/// `alias.name`, e.g. lib(QS("_cv"), QS("warpAffine")), both looked up now.
inline Ref lib(PyObject* alias, PyObject* name) { return attr(global(alias), name); }
inline Ref cv(PyObject* name) { return lib(QS("_cv"), name); }
inline Ref np(PyObject* name) { return lib(QS("_np"), name); }

/// Whether the module-level `name` is still bound to the object start-up bound.
bool is_original(PyObject* name);

/// Whether `alias` is original and `alias.name` is still the object it was at
/// start-up. Only pairs declared with `watch` (before start-up) can be asked.
bool lib_is_original(PyObject* alias, PyObject* name);

/// Whether `name` (one of the builtins a native path stands in for: `len`,
/// `range`, `int`) resolves now, as a body's lookup would, to the builtin
/// start-up found there.
bool is_builtin(PyObject* name);

/// `len(o)` where `len_fn` is what the body's `len` resolved to (looked up
/// before `o` was evaluated): the native length while that is the builtin.
Ref len_of(Obj len_fn, Obj o);

/// `int(o)` likewise, with `int_fn` what the body's `int` resolved to.
Ref int_of(Obj int_fn, Obj o);

/// `print(*items)` through the `print` the body sees now (the builtin writes
/// to the current `sys.stdout`).
void print(std::initializer_list<Obj> items);

}  // namespace qel
