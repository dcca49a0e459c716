// The function object behind every public callable, and the static tables
// that describe each callable and class.
#pragma once
#include "ref.hpp"

#include <vector>

namespace qel {

/// Bound arguments of one call, in parameter order (defaults filled in).
/// The call owns each of them until it returns: code it runs (a keyword's
/// __eq__, a __float__, any callback) may drop the caller's references.
struct Args {
    const Ref* v;
    PyObject* operator[](size_t i) const { return v[i].get(); }
};

using Body = Ref (*)(Args);

/// One parameter. `annotation` and `default_value` are Python expressions
/// evaluated once in the module namespace when the definition runs: write
/// "_np.ndarray" for an object, "'int'" for an annotation stored as text.
/// An annotation of exactly "'float'" converts the argument on entry; one of
/// "'unicode'" accepts only an exact str or None.
struct Param {
    const char* name;
    const char* annotation = nullptr;
    const char* default_value = nullptr;
};

/// A callable as its definition reads: the bare def name, the qualified name,
/// the line of its `def` in qel_cv.py (used for traceback entries and
/// `co_firstlineno`), parameters, return annotation, the body's locals in
/// order of first assignment (for `co_varnames`), doc text and body.
struct FuncDef {
    const char* name;
    const char* qualname;
    int line;
    std::vector<Param> params;
    const char* returns = nullptr;
    std::vector<const char*> locals = {};
    const char* doc = nullptr;
    Body body = nullptr;
};

/// How a class member is wrapped when the class namespace is built.
struct Member {
    enum Kind { method, static_method, getter, setter } kind;
    const FuncDef* def;
};

/// A plain class, made with `type(name, (), namespace)`.
struct ClassDef {
    const char* name;
    std::vector<Member> members;
    const char* doc = nullptr;
};

/// Make the function object for `def`, evaluating its defaults and
/// annotations in the module namespace now.
Ref make_function(const FuncDef& def);

/// Make the class for `def`, its members under their mangled keys.
Ref make_class(const ClassDef& def);

/// Whether `o` is the function object made from `def`: a fast path's proof
/// that a callable it looked up is still the module's own.
bool is_function_of(PyObject* o, const FuncDef& def);

/// Prepare the function type (once, at start-up).
void ready_function_type();

/// Add the traceback entry `qel_cv.<qualname>` at `line` to the current error.
void add_traceback(const char* qualified_name, int line);

}  // namespace qel
