// `a, b, ... = value` with the texts the module's callers have always seen.
#pragma once
#include "ref.hpp"

#include <array>

namespace qel {

[[noreturn]] void raise_too_many_values(Py_ssize_t expected);
[[noreturn]] void raise_need_more_values(Py_ssize_t got);
/// Fill `out[0..n)` from `value`; exact lists and tuples are checked by length
/// first, anything else is iterated one item past the last target.
void unpack_into(PyObject* value, Ref* out, Py_ssize_t n);

template <size_t N>
std::array<Ref, N> unpack(Obj value) {
    std::array<Ref, N> out;
    unpack_into(value.p, out.data(), static_cast<Py_ssize_t>(N));
    return out;
}

}  // namespace qel
