// The value-band kernel: zero, in place, the elements of a strided run whose
// value a band test selects. Plain C++; the caller decides when it is exact.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>  // Py_ssize_t only

#include <cstdint>

namespace qel::bands {

/// Which elements a band filter sets to 0.
enum class Rule {
    outside_closed,  // v < lo or v > hi
    inside_open,     // lo < v < hi
    above,           // v > hi
    below,           // v < lo
};

/// Element types the kernel handles, in native byte order.
enum class Elem { i8, u8, i16, u16, i32, u32, i64, f32, f64 };

/// Band ends in the domain the elements are compared in: `lo_i`/`hi_i` for
/// int64 elements, `lo_f`/`hi_f` (double, which holds every value of the other
/// types exactly) for the rest. An end a rule does not use is ignored.
struct Band {
    std::int64_t lo_i = 0, hi_i = 0;
    double lo_f = 0, hi_f = 0;
};

/// Contract: for i = 0 .. n-1 in order, reads the element at base + i*stride and
/// stores 0 there when `rule` selects it; touches no other memory; elements
/// may overlap (stride 0 or smaller than the element), as the order is kept.
void zero_band(Elem elem, Rule rule, const Band& band, char* base, Py_ssize_t n, Py_ssize_t stride) noexcept;

/// Contract: reads the n elements at base + i*stride; true if a float element
/// is a signalling NaN (numpy warns when it converts one, so those arrays
/// go the generic way). Always false for integer types.
bool has_signalling_nan(Elem elem, const char* base, Py_ssize_t n, Py_ssize_t stride) noexcept;

}  // namespace qel::bands
