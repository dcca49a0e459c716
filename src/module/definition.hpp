// The static tables that describe each callable and class, and the adapter
// that hands a body its bound arguments as named C++ parameters.
#pragma once
#include "ref.hpp"

#include <array>
#include <cstddef>
#include <type_traits>
#include <utility>
#include <vector>

namespace qel {

constexpr size_t kMaxParams = 16;
constexpr size_t kMaxLocals = 32;

/// What an argument goes through after binding (a result, for a getter).
/// Each goes with one annotation, which start-up holds it to: a typo in
/// either would otherwise drop a conversion without a word.
enum class Conversion : unsigned char {
    none,
    to_float,    // annotated 'float': converted to an exact float on entry
    exact_text,  // annotated 'unicode': only an exact str or None is accepted
};

/// One parameter. `annotation` and `default_value` are Python expressions
/// evaluated once in the module namespace when the definition runs: write
/// "_np.ndarray" for an object, "'int'" for an annotation stored as text.
/// `conversion` says what the binder does with the argument; the annotation
/// must be the text 'float' exactly when it is `to_float`, 'unicode' exactly
/// when it is `exact_text`.
struct Param {
    const char* name;
    const char* annotation = nullptr;
    const char* default_value = nullptr;
    Conversion conversion = Conversion::none;
};

/// Runs a body on the bound arguments of one call, in parameter order
/// (defaults filled in). The call owns each argument until it returns: code
/// the body runs (a keyword's __eq__, a __float__, any callback) may drop the
/// caller's references.
using Invoke = Ref (*)(const Ref* args);

/// A read-only view of the first `size` items of a table.
template <class T>
class Span {
public:
    constexpr Span(const T* data, size_t size) : data_(data), size_(size) {}
    constexpr const T* begin() const { return data_; }
    constexpr const T* end() const { return data_ + size_; }
    constexpr size_t size() const { return size_; }
    constexpr const T& operator[](size_t i) const { return data_[i]; }

private:
    const T* data_;
    size_t size_;
};

/// A callable as its definition reads: the bare def name, the qualified name,
/// the line of its `def` in qel_cv.py (used for traceback entries and
/// `co_firstlineno`), parameters, return annotation, the body's locals in
/// order of first assignment (for `co_varnames`), doc text and body. Made by
/// `define`, which checks the body against the parameters; the optional parts
/// are added with `returning`, `with_locals` and `with_doc`.
struct FuncDef {
    const char* name;
    const char* qualname;
    int line;
    std::array<Param, kMaxParams> param_table;
    size_t param_count;
    std::array<const char*, kMaxLocals> local_table;
    size_t local_count;
    const char* returns;
    Conversion result_check;  // exact_text for a getter returning 'unicode'
    const char* doc;
    Invoke invoke;

    constexpr Span<Param> params() const { return {param_table.data(), param_count}; }
    constexpr Span<const char*> locals() const { return {local_table.data(), local_count}; }

    constexpr FuncDef returning(const char* annotation, Conversion check = Conversion::none) const {
        FuncDef d = *this;
        d.returns = annotation;
        d.result_check = check;
        return d;
    }
    template <size_t N>
    constexpr FuncDef with_locals(const char* const (&names)[N]) const {
        static_assert(N <= kMaxLocals, "raise kMaxLocals");
        FuncDef d = *this;
        for (size_t i = 0; i < N; ++i) {
            d.local_table[i] = names[i];
        }
        d.local_count = N;
        return d;
    }
    constexpr FuncDef with_doc(const char* text) const {
        FuncDef d = *this;
        d.doc = text;
        return d;
    }
};

namespace detail {

/// What a body's type says: how many parameters, and whether each is a
/// borrowed PyObject* (the only kind a body takes).
template <class F>
struct BodyType {
    static constexpr size_t arity = 0;
    static constexpr bool typed = false;
};
template <class... A>
struct BodyType<Ref (*)(A...)> {
    static constexpr size_t arity = sizeof...(A);
    static constexpr bool typed = (std::is_same_v<A, PyObject*> && ...);
};

template <auto Body, size_t... I>
Ref invoke_body(const Ref* args, std::index_sequence<I...>) {
    return Body(args[I].get()...);
}

/// The one place a body's arguments are read by position.
template <auto Body>
Ref invoke(const Ref* args) {
    return invoke_body<Body>(args, std::make_index_sequence<BodyType<decltype(Body)>::arity>{});
}

}  // namespace detail

/// The definition of `Body` (a `Ref (PyObject*, ...)` function) with these
/// parameters. The compiler checks that the body takes exactly one C++
/// parameter per listed parameter.
template <auto Body, size_t N>
constexpr FuncDef define(const char* name, const char* qualname, int line, const Param (&params)[N]) {
    using Type = detail::BodyType<decltype(Body)>;
    static_assert(Type::typed, "a body is a Ref(PyObject*, ...) function: one borrowed object per parameter");
    static_assert(Type::arity == N, "a body takes exactly the parameters its definition lists");
    static_assert(N <= kMaxParams, "raise kMaxParams");
    FuncDef d{name, qualname, line, {}, N, {}, 0, nullptr, Conversion::none, nullptr, &detail::invoke<Body>};
    for (size_t i = 0; i < N; ++i) {
        d.param_table[i] = params[i];
    }
    return d;
}

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

}  // namespace qel
