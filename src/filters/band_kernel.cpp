// The value-band kernel, instantiated per element type and rule.
#include "band_kernel.hpp"

#include <cstring>
#include <type_traits>

namespace qel::bands {

namespace {

/// Every element is stored back (unchanged or 0) so the packed loop has no
/// branch and vectorises; memcpy keeps unaligned arrays well defined.
template <class T, class Test>
void zero_where(char* base, Py_ssize_t n, Py_ssize_t stride, Test zero_if) {
    auto visit = [zero_if](char* at) {
        T v;
        std::memcpy(&v, at, sizeof v);
        const T kept = zero_if(v) ? T(0) : v;
        std::memcpy(at, &kept, sizeof kept);
    };
    if (stride == static_cast<Py_ssize_t>(sizeof(T))) {
        for (Py_ssize_t i = 0; i < n; ++i) {
            visit(base + i * static_cast<Py_ssize_t>(sizeof(T)));
        }
    } else {
        for (Py_ssize_t i = 0; i < n; ++i) {
            visit(base + i * stride);
        }
    }
}

/// The rule's test with both ends and the element converted to `D`.
template <class T, class D>
void zero_rule(Rule rule, D lo, D hi, char* base, Py_ssize_t n, Py_ssize_t stride) {
    switch (rule) {
        case Rule::outside_closed:
            zero_where<T>(base, n, stride, [lo, hi](T v) { return D(v) < lo || D(v) > hi; });
            break;
        case Rule::inside_open:
            zero_where<T>(base, n, stride, [lo, hi](T v) { return lo < D(v) && D(v) < hi; });
            break;
        case Rule::above:
            zero_where<T>(base, n, stride, [hi](T v) { return D(v) > hi; });
            break;
        case Rule::below:
            zero_where<T>(base, n, stride, [lo](T v) { return D(v) < lo; });
            break;
    }
}

template <class T>
void zero_typed(Rule rule, const Band& band, char* base, Py_ssize_t n, Py_ssize_t stride) {
    if constexpr (std::is_same_v<T, std::int64_t>) {
        zero_rule<T, std::int64_t>(rule, band.lo_i, band.hi_i, base, n, stride);
    } else {
        zero_rule<T, double>(rule, band.lo_f, band.hi_f, base, n, stride);
    }
}

}  // namespace

void zero_band(Elem elem, Rule rule, const Band& band, char* base, Py_ssize_t n, Py_ssize_t stride) noexcept {
    switch (elem) {
        case Elem::i8: zero_typed<std::int8_t>(rule, band, base, n, stride); break;
        case Elem::u8: zero_typed<std::uint8_t>(rule, band, base, n, stride); break;
        case Elem::i16: zero_typed<std::int16_t>(rule, band, base, n, stride); break;
        case Elem::u16: zero_typed<std::uint16_t>(rule, band, base, n, stride); break;
        case Elem::i32: zero_typed<std::int32_t>(rule, band, base, n, stride); break;
        case Elem::u32: zero_typed<std::uint32_t>(rule, band, base, n, stride); break;
        case Elem::i64: zero_typed<std::int64_t>(rule, band, base, n, stride); break;
        case Elem::f32: zero_typed<float>(rule, band, base, n, stride); break;
        case Elem::f64: zero_typed<double>(rule, band, base, n, stride); break;
    }
}

namespace {

/// Exponent all ones, a non-zero fraction, the quiet bit clear.
template <class Bits>
bool signalling_in(const char* base, Py_ssize_t n, Py_ssize_t stride, Bits exponent, Bits quiet) noexcept {
    const Bits fraction = quiet | (quiet - 1);
    for (Py_ssize_t i = 0; i < n; ++i) {
        Bits v;
        std::memcpy(&v, base + i * stride, sizeof v);
        if ((v & exponent) == exponent && (v & fraction) != 0 && (v & quiet) == 0) {
            return true;
        }
    }
    return false;
}

}  // namespace

bool has_signalling_nan(Elem elem, const char* base, Py_ssize_t n, Py_ssize_t stride) noexcept {
    switch (elem) {
        case Elem::f32: return signalling_in<std::uint32_t>(base, n, stride, 0x7F800000u, 0x00400000u);
        case Elem::f64:
            return signalling_in<std::uint64_t>(base, n, stride, 0x7FF0000000000000ull, 0x0008000000000000ull);
        default: return false;
    }
}

}  // namespace qel::bands
