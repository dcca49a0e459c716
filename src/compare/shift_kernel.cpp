// The shift-tolerant difference mask in one sweep. Most pixels are settled by
// the unshifted test alone; only rows that still hold differing pixels are
// tried against the shifted positions: row-wide (vectorised) while many
// survive, then pixel by pixel from a list of survivors.
#include "shift_kernel.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <tuple>

#include "../module/compat.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace qel {

namespace {

/// Stretches where at least one pixel in this many survives are tried
/// vectorised; sparser ones go through the survivor list.
constexpr Py_ssize_t kDenseFraction = 16;

/// Columns per block of a dense stretch (a power of two).
constexpr Py_ssize_t kBlock = 32;

inline Py_ssize_t clamp(Py_ssize_t v, Py_ssize_t lo, Py_ssize_t hi) { return v < lo ? lo : (v > hi ? hi : v); }

/// The difference as numpy computes it on two int16 arrays: modulo 2**16.
inline int16_t wrapped_difference(int16_t a, int16_t b) {
    return static_cast<int16_t>(static_cast<uint16_t>(static_cast<uint16_t>(a) - static_cast<uint16_t>(b)));
}

// The threshold is clamped into int16 range first: a difference can never
// exceed 32767 or fall below -32768, so the clamped test gives the same answer.
struct Above {
    int16_t t;
    bool operator()(int16_t a, int16_t b) const { return wrapped_difference(a, b) > t; }
};
struct Below {
    int16_t t;
    bool operator()(int16_t a, int16_t b) const { return wrapped_difference(a, b) < t; }
};

/// 0xFF for true, 0 for false: the mask byte of one test.
inline unsigned char byte_mask(bool v) { return static_cast<unsigned char>(-static_cast<int>(v)); }

/// A pixel as the int16 value numpy's conversion gives it.
template <class Pixel>
inline int16_t pixel(const char* row, Py_ssize_t x, Py_ssize_t col_stride) {
    Pixel v;
    std::memcpy(&v, row + x * col_stride, sizeof v);
    return static_cast<int16_t>(v);
}

inline uint64_t load_word(const unsigned char* p) {
    uint64_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

/// Write the columns in [lo, w) of the set bytes (each 0 or 0xFF) to `live`,
/// in ascending order; returns how many. Most rows hold few, so whole blocks of zeros are skipped first.
Py_ssize_t list_set(const unsigned char* o, Py_ssize_t lo, Py_ssize_t w, Py_ssize_t* live) {
    Py_ssize_t n = 0;
    Py_ssize_t x = lo;
#if defined(__SSE2__)
    for (; x + 32 <= w; x += 32) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(o + x));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(o + x + 16));
        // The top bit of each byte: set exactly for the 0xFF bytes.
        unsigned bits = static_cast<unsigned>(_mm_movemask_epi8(a)) |
                        (static_cast<unsigned>(_mm_movemask_epi8(b)) << 16);
        while (bits != 0) {
            live[n++] = x + __builtin_ctz(bits);
            bits &= bits - 1;
        }
    }
#endif
    for (; x + 8 <= w; x += 8) {
        uint64_t word = load_word(o + x);
        while (word != 0) {
            // The lowest bit belongs to the byte at the lowest address only
            // on little-endian machines.
            const int bit = lowest_set_bit(word);
            const int lane = bit / 8;
            live[n++] = x + (PY_LITTLE_ENDIAN ? lane : 7 - lane);
            word &= ~(uint64_t(0xFF) << (lane * 8));
        }
    }
    for (; x < w; ++x) {
        if (o[x] != 0) {
            live[n++] = x;
        }
    }
    return n;
}

/// The trial shifts of one mask in the order they are tried. The result is
/// an AND over all of them, so the order changes only how soon a pixel is
/// settled: the shift that settled most of a row goes first for the next
/// row (neighbouring rows are usually explained by the same misalignment).
class ShiftOrder {
public:
    explicit ShiftOrder(size_t n) : n_(n) {
        for (size_t i = 0; i < n_ && i < kMax; ++i) {
            order_[i] = static_cast<unsigned short>(i);
        }
    }
    size_t size() const { return n_; }
    /// The index of the k-th shift to try.
    size_t at(size_t k) const { return n_ <= kMax ? order_[k] : k; }
    /// Try the k-th shift first from now on.
    void promote(size_t k) {
        if (n_ > kMax || k == 0) {
            return;
        }
        const unsigned short chosen = order_[k];
        std::memmove(&order_[1], &order_[0], k * sizeof order_[0]);
        order_[0] = chosen;
    }

private:
    // Longer lists (max_shift in the hundreds) keep their nearest-first order.
    static constexpr size_t kMax = 64;
    size_t n_;
    unsigned short order_[kMax];
};

/// One mask: `Stay` pixels compared with `Moved` pixels at each trial shift.
/// `Packed` columns (each plane's column stride its pixel size) make the
/// column stride a compile-time constant so the row loops vectorise.
template <class Stay, class Moved, bool Packed, class Test>
class Sweep {
public:
    Sweep(const Plane<Stay>& stay, const Plane<Moved>& moved, Py_ssize_t height, Py_ssize_t width, Test test,
          const TrialShift* shifts, size_t n_shifts, Py_ssize_t* live)
        : stay_(stay), moved_(moved), h_(height), w_(width), test_(test), shifts_(shifts), order_(n_shifts),
          reach_right_(reach(shifts, n_shifts, 1)), reach_left_(reach(shifts, n_shifts, -1)), live_(live) {}

    /// Rows [first_row, last_row) of the mask; whether any pixel survived.
    bool run(unsigned char* out, Py_ssize_t out_row_stride, Py_ssize_t first_row, Py_ssize_t last_row) {
        bool any = false;
        for (Py_ssize_t y = first_row; y < last_row; ++y) {
            unsigned char* o = out + y * out_row_stride;
            any |= unshifted(y, o) && settle(y, o);
        }
        return any;
    }

    /// The unshifted test of row y into o; whether any pixel differs.
    bool unshifted(Py_ssize_t y, unsigned char* o) const {
        const char* s = stay_row(y);
        const char* m = moved_.base + y * moved_.row_stride;
        const Py_ssize_t scs = stay_cs(), mcs = moved_cs();
        unsigned char any = 0;
        for (Py_ssize_t x = 0; x < w_; ++x) {
            const unsigned char d = byte_mask(test_(pixel<Stay>(s, x, scs), pixel<Moved>(m, x, mcs)));
            o[x] = d;
            any |= d;
        }
        return any != 0;
    }

    /// AND every trial shift into row y, which holds the unshifted test;
    /// whether any pixel survives them all. The first shift (the one that
    /// settled most of the previous row) goes over the survivors' stretch
    /// alone. Survivors that still fill their stretch densely are mostly
    /// defects that survive every shift: the remaining shifts go over them a
    /// block of columns at a time, all shifts per block while it is in the
    /// cache. Sparse survivors are tried one by one.
    bool settle(Py_ssize_t y, unsigned char* o) {
        const size_t n = order_.size();
        if (n == 0) {
            return true;
        }
        const char* s = stay_row(y);
        const Py_ssize_t scs = stay_cs(), mcs = moved_cs();
        Py_ssize_t live = list_set(o, 0, w_, live_);
        size_t best = 0;
        Py_ssize_t best_drop = 0;
        for (size_t k = 0; k < n && live > 0;) {
            // Widened to whole blocks: the bytes between survivors are 0 and
            // stay 0, and the loops need no scalar ends.
            const Py_ssize_t lo = live_[0] & ~(kBlock - 1);
            const Py_ssize_t hi = std::min(w_, (live_[live - 1] + kBlock) & ~(kBlock - 1));
            Py_ssize_t kept = 0;
            const size_t tried = k;
            if (live * kDenseFraction < hi - lo) {
                const TrialShift& t = shifts_[order_.at(k++)];
                const char* src = moved_row(y, t);
                for (Py_ssize_t i = 0; i < live; ++i) {
                    const Py_ssize_t x = live_[i];
                    if (test_(pixel<Stay>(s, x, scs), pixel<Moved>(src, clamp(x - t.right, 0, w_ - 1), mcs))) {
                        live_[kept++] = x;
                    } else {
                        o[x] = 0;
                    }
                }
            } else if (k == 0) {
                const TrialShift& t = shifts_[order_.at(k++)];
                and_row(s, o, moved_row(y, t), t.right, lo, hi);
                kept = list_set(o, lo, hi, live_);
            } else {
                for (Py_ssize_t x0 = lo; x0 < hi; x0 += kBlock) {
                    and_shifts(s, o, y, x0, std::min(x0 + kBlock, hi), k);
                }
                k = n;
                kept = list_set(o, lo, hi, live_);
            }
            if (k == tried + 1 && live - kept > best_drop) {
                best_drop = live - kept;
                best = tried;
            }
            live = kept;
        }
        order_.promote(best);
        return live > 0;
    }

private:
    Py_ssize_t stay_cs() const { return Packed ? Py_ssize_t(sizeof(Stay)) : stay_.col_stride; }
    Py_ssize_t moved_cs() const { return Packed ? Py_ssize_t(sizeof(Moved)) : moved_.col_stride; }
    const char* stay_row(Py_ssize_t y) const { return stay_.base + y * stay_.row_stride; }

    const char* moved_row(Py_ssize_t y, const TrialShift& t) const {
        return moved_.base + clamp(y - t.down, 0, h_ - 1) * moved_.row_stride;
    }

    /// AND one trial shift into columns [lo, hi) of the row. The shift is
    /// already clamped to |right| <= width - 1; columns left of `right` read
    /// the first pixel, columns from width + right on the last.
    void and_row(const char* s, unsigned char* o, const char* src, Py_ssize_t right, Py_ssize_t lo,
                 Py_ssize_t hi) const {
        const Py_ssize_t scs = stay_cs(), mcs = moved_cs();
        const Py_ssize_t a = clamp(right > 0 ? right : 0, lo, hi);
        const Py_ssize_t b = clamp(right < 0 ? w_ + right : w_, a, hi);
        const int16_t first = pixel<Moved>(src, 0, mcs);
        for (Py_ssize_t x = lo; x < a; ++x) {
            o[x] &= byte_mask(test_(pixel<Stay>(s, x, scs), first));
        }
        for (Py_ssize_t x = a; x < b; ++x) {
            o[x] &= byte_mask(test_(pixel<Stay>(s, x, scs), pixel<Moved>(src, x - right, mcs)));
        }
        const int16_t last = pixel<Moved>(src, w_ - 1, mcs);
        for (Py_ssize_t x = b; x < hi; ++x) {
            o[x] &= byte_mask(test_(pixel<Stay>(s, x, scs), last));
        }
    }

    /// AND shifts [k, n) into columns [x0, x1) of the row, a block at most,
    /// stopping once none of them survives. A block whose shifted reads all
    /// fall inside the row is read without clamping.
    void and_shifts(const char* s, unsigned char* o, Py_ssize_t y, Py_ssize_t x0, Py_ssize_t x1, size_t k) const {
        const size_t n = order_.size();
        if (x1 - x0 != kBlock || x0 < reach_right_ || x1 + reach_left_ > w_) {
            for (; k < n; ++k) {
                const TrialShift& t = shifts_[order_.at(k)];
                and_row(s, o, moved_row(y, t), t.right, x0, x1);
            }
            return;
        }
        const Py_ssize_t scs = stay_cs(), mcs = moved_cs();
        unsigned char acc[kBlock];
        std::memcpy(acc, o + x0, sizeof acc);
        for (size_t done = 0; k < n; ++k, ++done) {
            if (done % 4 == 0 && is_zero(acc)) {
                break;
            }
            const TrialShift& t = shifts_[order_.at(k)];
            const char* src = moved_row(y, t);
            for (Py_ssize_t j = 0; j < kBlock; ++j) {
                acc[j] &= byte_mask(test_(pixel<Stay>(s, x0 + j, scs), pixel<Moved>(src, x0 + j - t.right, mcs)));
            }
        }
        std::memcpy(o + x0, acc, sizeof acc);
    }

    static bool is_zero(const unsigned char (&block)[kBlock]) {
        uint64_t any = 0;
        for (Py_ssize_t j = 0; j < kBlock; j += 8) {
            any |= load_word(block + j);
        }
        return any == 0;
    }

    /// How far right and left the shifts reach: a block [x0, x0 + kBlock)
    /// reads inside the row for every shift when x0 >= reach_right_ and
    /// x0 + kBlock + reach_left_ <= width.
    static Py_ssize_t reach(const TrialShift* shifts, size_t n, int sign) {
        Py_ssize_t r = 0;
        for (size_t i = 0; i < n; ++i) {
            r = std::max(r, sign * shifts[i].right);
        }
        return r;
    }

    const Plane<Stay>& stay_;
    const Plane<Moved>& moved_;
    const Py_ssize_t h_, w_;
    const Test test_;
    const TrialShift* const shifts_;
    ShiftOrder order_;
    const Py_ssize_t reach_right_, reach_left_;
    Py_ssize_t* const live_;  // columns of the current row still differing
};

// --- wider vectors where the processor has them ---------------------------------
//
// The packed sweeps again, compiled for AVX2 with everything they call inlined
// (flatten), taken when the processor has it. Only these entry points carry
// the attribute, so nothing compiled for AVX2 can be linked in for a caller on
// a processor without it. QEL_CV_KERNELS=baseline in the environment keeps
// the baseline build (the tests compare both against the generic path).
#if (defined(__x86_64__) || defined(__i386__)) && (defined(__GNUC__) || defined(__clang__))
#define QEL_WIDE_KERNELS 1
#define QEL_WIDE __attribute__((target("avx2"), flatten))

bool wide_kernels() {
    static const bool wide = [] {
        const char* choice = std::getenv("QEL_CV_KERNELS");
        if (choice != nullptr && std::strcmp(choice, "baseline") == 0) {
            return false;
        }
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx2") != 0;
    }();
    return wide;
}

template <class Test>
QEL_WIDE bool wide_sweep(const Int16Plane& stay, const Int16Plane& moved, Py_ssize_t h, Py_ssize_t w, Test test,
                         const TrialShift* shifts, size_t n_shifts, unsigned char* out, Py_ssize_t out_rs,
                         Py_ssize_t* scratch, Py_ssize_t first_row, Py_ssize_t last_row) {
    return Sweep<int16_t, int16_t, true, Test>(stay, moved, h, w, test, shifts, n_shifts, scratch)
        .run(out, out_rs, first_row, last_row);
}
#else
#define QEL_WIDE_KERNELS 0
bool wide_kernels() { return false; }
#endif

template <class Test>
bool sweep(const Int16Plane& stay, const Int16Plane& moved, Py_ssize_t h, Py_ssize_t w, Test test,
           const TrialShift* shifts, size_t n_shifts, unsigned char* out, Py_ssize_t out_rs, Py_ssize_t* scratch,
           Py_ssize_t first_row, Py_ssize_t last_row) {
    const bool packed = stay.col_stride == Py_ssize_t(sizeof(int16_t)) && moved.col_stride == Py_ssize_t(sizeof(int16_t));
#if QEL_WIDE_KERNELS
    if (packed && wide_kernels()) {
        return wide_sweep(stay, moved, h, w, test, shifts, n_shifts, out, out_rs, scratch, first_row, last_row);
    }
#endif
    if (packed) {
        return Sweep<int16_t, int16_t, true, Test>(stay, moved, h, w, test, shifts, n_shifts, scratch)
            .run(out, out_rs, first_row, last_row);
    }
    return Sweep<int16_t, int16_t, false, Test>(stay, moved, h, w, test, shifts, n_shifts, scratch)
        .run(out, out_rs, first_row, last_row);
}

/// The span of a row's set pixels, found a word at a time from both ends.
RowSpan row_span(const unsigned char* o, Py_ssize_t w) {
    RowSpan span;
    Py_ssize_t x = 0;
    while (x + 8 <= w && load_word(o + x) == 0) {
        x += 8;
    }
    while (x < w && o[x] == 0) {
        ++x;
    }
    if (x == w) {
        return span;
    }
    span.first = x;
    Py_ssize_t end = w;
    while (end - 8 >= x && load_word(o + end - 8) == 0) {
        end -= 8;
    }
    while (o[end - 1] == 0) {
        --end;
    }
    span.last = end - 1;
    return span;
}

/// Both masks of a comparison: the unshifted test of both from one read of
/// each pixel pair into two row buffers, then each mask's surviving pixels
/// through its shifts; only rows that keep a pixel reach the masks.
template <class Target, bool Packed, class Test>
DualOutcome dual_sweep(const Int16Plane& standard, const Plane<Target>& target, Py_ssize_t h, Py_ssize_t w, Test test,
                       const TrialShift* shifts, size_t n_shifts, unsigned char* dark, unsigned char* light,
                       Py_ssize_t out_rs, RowSpan* dark_rows, RowSpan* light_rows, const DualScratch& scratch,
                       Py_ssize_t first_row, Py_ssize_t last_row) {
    Sweep<int16_t, Target, Packed, Test> dark_sweep(standard, target, h, w, test, shifts, n_shifts, scratch.live);
    Sweep<Target, int16_t, Packed, Test> light_sweep(target, standard, h, w, test, shifts, n_shifts,
                                                     scratch.live + w);
    const Py_ssize_t scs = Packed ? Py_ssize_t(sizeof(int16_t)) : standard.col_stride;
    const Py_ssize_t tcs = Packed ? Py_ssize_t(sizeof(Target)) : target.col_stride;
    unsigned char* const od = scratch.rows;
    unsigned char* const ol = scratch.rows + w;
    DualOutcome outcome;
    for (Py_ssize_t y = first_row; y < last_row; ++y) {
        const char* s = standard.base + y * standard.row_stride;
        const char* t = target.base + y * target.row_stride;
        unsigned char any_dark = 0, any_light = 0;
        for (Py_ssize_t x = 0; x < w; ++x) {
            const int16_t a = pixel<int16_t>(s, x, scs);
            const int16_t b = pixel<Target>(t, x, tcs);
            const unsigned char d = byte_mask(test(a, b));
            const unsigned char l = byte_mask(test(b, a));
            od[x] = d;
            ol[x] = l;
            any_dark |= d;
            any_light |= l;
        }
        dark_rows[y] = RowSpan{};
        light_rows[y] = RowSpan{};
        if (any_dark != 0 && dark_sweep.settle(y, od)) {
            std::memcpy(dark + y * out_rs, od, static_cast<size_t>(w));
            dark_rows[y] = row_span(od, w);
            outcome.dark = true;
        }
        if (any_light != 0 && light_sweep.settle(y, ol)) {
            std::memcpy(light + y * out_rs, ol, static_cast<size_t>(w));
            light_rows[y] = row_span(ol, w);
            outcome.light = true;
        }
    }
    return outcome;
}

#if QEL_WIDE_KERNELS
template <class Target, class Test>
QEL_WIDE DualOutcome wide_dual_sweep(const Int16Plane& standard, const Plane<Target>& target, Py_ssize_t h,
                                     Py_ssize_t w, Test test, const TrialShift* shifts, size_t n,
                                     unsigned char* dark, unsigned char* light, Py_ssize_t out_rs, RowSpan* dark_rows,
                                     RowSpan* light_rows, const DualScratch& scratch, Py_ssize_t first_row,
                                     Py_ssize_t last_row) {
    return dual_sweep<Target, true>(standard, target, h, w, test, shifts, n, dark, light, out_rs, dark_rows,
                                    light_rows, scratch, first_row, last_row);
}
#endif

template <class Target, class Test>
DualOutcome dual_dispatch(const Int16Plane& standard, const Plane<Target>& target, Py_ssize_t h, Py_ssize_t w,
                          Test test, const TrialShift* shifts, size_t n, unsigned char* dark, unsigned char* light,
                          Py_ssize_t out_rs, RowSpan* dark_rows, RowSpan* light_rows, const DualScratch& scratch,
                          Py_ssize_t first_row, Py_ssize_t last_row) {
    const bool packed = standard.col_stride == Py_ssize_t(sizeof(int16_t)) &&
                        target.col_stride == Py_ssize_t(sizeof(Target));
#if QEL_WIDE_KERNELS
    if (packed && wide_kernels()) {
        return wide_dual_sweep(standard, target, h, w, test, shifts, n, dark, light, out_rs, dark_rows, light_rows,
                               scratch, first_row, last_row);
    }
#endif
    if (packed) {
        return dual_sweep<Target, true>(standard, target, h, w, test, shifts, n, dark, light, out_rs, dark_rows,
                                        light_rows, scratch, first_row, last_row);
    }
    return dual_sweep<Target, false>(standard, target, h, w, test, shifts, n, dark, light, out_rs, dark_rows,
                                     light_rows, scratch, first_row, last_row);
}

}  // namespace

std::vector<TrialShift> normalise_shifts(std::vector<TrialShift> shifts, Py_ssize_t height, Py_ssize_t width) {
    std::vector<TrialShift> out;
    out.reserve(shifts.size());
    for (TrialShift t : shifts) {
        t.right = clamp(t.right, -(width - 1), width - 1);
        t.down = clamp(t.down, -(height - 1), height - 1);
        if (t.right != 0 || t.down != 0) {
            out.push_back(t);
        }
    }
    auto key = [](const TrialShift& t) {
        return std::make_tuple((t.right < 0 ? -t.right : t.right) + (t.down < 0 ? -t.down : t.down), t.right, t.down);
    };
    std::sort(out.begin(), out.end(), [&](const TrialShift& a, const TrialShift& b) { return key(a) < key(b); });
    out.erase(std::unique(out.begin(), out.end(),
                          [](const TrialShift& a, const TrialShift& b) { return a.right == b.right && a.down == b.down; }),
              out.end());
    return out;
}

bool shift_tolerant_mask(const Int16Plane& stay, const Int16Plane& moved, Py_ssize_t height, Py_ssize_t width,
                         long long threshold, const TrialShift* shifts, size_t n_shifts, unsigned char* out,
                         Py_ssize_t out_row_stride, Py_ssize_t* scratch, Py_ssize_t first_row, Py_ssize_t last_row) {
    if (height <= 0 || width <= 0) {
        return false;
    }
    first_row = clamp(first_row, 0, height);
    last_row = clamp(last_row, first_row, height);
    if (threshold >= 0) {
        Above test{static_cast<int16_t>(std::min<long long>(threshold, INT16_MAX))};
        return sweep(stay, moved, height, width, test, shifts, n_shifts, out, out_row_stride, scratch, first_row, last_row);
    } else {
        Below test{static_cast<int16_t>(std::max<long long>(threshold, INT16_MIN))};
        return sweep(stay, moved, height, width, test, shifts, n_shifts, out, out_row_stride, scratch, first_row, last_row);
    }
}

template <class TargetPixel>
DualOutcome dual_shift_tolerant_masks(const Int16Plane& standard, const Plane<TargetPixel>& target, Py_ssize_t height,
                                      Py_ssize_t width, long long threshold, const TrialShift* shifts,
                                      size_t n_shifts, unsigned char* dark, unsigned char* light,
                                      Py_ssize_t out_row_stride, RowSpan* dark_rows, RowSpan* light_rows,
                                      const DualScratch& scratch, Py_ssize_t first_row, Py_ssize_t last_row) {
    if (height <= 0 || width <= 0) {
        return {};
    }
    first_row = clamp(first_row, 0, height);
    last_row = clamp(last_row, first_row, height);
    if (threshold >= 0) {
        Above test{static_cast<int16_t>(std::min<long long>(threshold, INT16_MAX))};
        return dual_dispatch(standard, target, height, width, test, shifts, n_shifts, dark, light, out_row_stride,
                             dark_rows, light_rows, scratch, first_row, last_row);
    }
    Below test{static_cast<int16_t>(std::max<long long>(threshold, INT16_MIN))};
    return dual_dispatch(standard, target, height, width, test, shifts, n_shifts, dark, light, out_row_stride,
                         dark_rows, light_rows, scratch, first_row, last_row);
}

#define QEL_DUAL(T, P)                                                                                                \
    template DualOutcome dual_shift_tolerant_masks<T>(const Int16Plane&, const P&, Py_ssize_t, Py_ssize_t, long long, \
                                                      const TrialShift*, size_t, unsigned char*, unsigned char*,      \
                                                      Py_ssize_t, RowSpan*, RowSpan*, const DualScratch&, Py_ssize_t, \
                                                      Py_ssize_t);
QEL_DUAL(int16_t, Int16Plane)
QEL_DUAL(uint8_t, Uint8Plane)
#undef QEL_DUAL

void clear_empty_rows(unsigned char* mask, Py_ssize_t out_row_stride, const RowSpan* rows, Py_ssize_t height,
                      Py_ssize_t width) {
    for (Py_ssize_t y = 0; y < height; ++y) {
        if (rows[y].empty()) {
            std::memset(mask + y * out_row_stride, 0, static_cast<size_t>(width));
        }
    }
}

}  // namespace qel
