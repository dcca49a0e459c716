// Late binding: module-level names are looked up at the moment of use.
#pragma once
#include "ops.hpp"

namespace qel {

/// The module's namespace (borrowed) while start-up runs and after it
/// succeeded; NULL before, and again after a start-up that failed.
PyObject* module_dict();

/// What `name` resolves to now as a body's lookup would: the module
/// namespace, then the builtins (borrowed); NULL when neither binds it, or
/// before start-up.
PyObject* resolve(PyObject* name);

/// The builtin called `name` (borrowed), or NULL.
PyObject* find_builtin(PyObject* name);

/// A module-level name as a body sees it: the module namespace, then the
/// builtins, else NameError "name 'X' is not defined". Builtins the
/// algorithms call (`range`, `len`, `print`, ...) are found the same way, so
/// a module-level name shadows them as it would in Python.
Ref global(PyObject* name);

/// `alias.name`, e.g. lib(QS("_cv"), QS("warpAffine")), both looked up now.
Ref lib(PyObject* alias, PyObject* name);
inline Ref cv(PyObject* name) { return lib(QS("_cv"), name); }
inline Ref np(PyObject* name) { return lib(QS("_np"), name); }

/// `len(o)` where `len_fn` is what the body's `len` resolved to (looked up
/// before `o` was evaluated): the native length while that is the builtin.
Ref len_of(Obj len_fn, Obj o);

/// `int(o)` likewise, with `int_fn` what the body's `int` resolved to.
Ref int_of(Obj int_fn, Obj o);

/// `print(*items)` through the `print` the body sees now (the builtin writes
/// to the current `sys.stdout`).
void print(std::initializer_list<Obj> items);

}  // namespace qel
