// The shift-tolerant difference mask in one sweep. Most pixels are settled by
// the unshifted test alone; only rows that still hold differing pixels are
// tried against the shifted positions: row-wide (vectorised) while many
// survive, then pixel by pixel from a list of survivors.
#include "shift_kernel.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <tuple>

#include "../module/compat.hpp"

namespace qel {

namespace {

/// Rows where at least one pixel in this many survives are tried row-wide;
/// sparser rows go through the survivor list.
constexpr Py_ssize_t kDenseFraction = 16;

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

inline int16_t pixel(const char* row, Py_ssize_t x, Py_ssize_t col_stride) {
    return *reinterpret_cast<const int16_t*>(row + x * col_stride);
}

inline uint64_t load_word(const unsigned char* p) {
    uint64_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

/// Write the columns of the set bytes to `live`; returns how many.
Py_ssize_t list_set(const unsigned char* o, Py_ssize_t w, Py_ssize_t* live) {
    Py_ssize_t n = 0;
    Py_ssize_t x = 0;
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

/// `Packed` columns (stride 2 on both planes) make the column stride a
/// compile-time constant so the row loops vectorise.
template <bool Packed, class Test>
class Sweep {
public:
    Sweep(const Int16Plane& stay, const Int16Plane& moved, Py_ssize_t height, Py_ssize_t width, Test test,
          const TrialShift* shifts, size_t n_shifts, Py_ssize_t* live)
        : stay_(stay), moved_(moved), h_(height), w_(width), test_(test), shifts_(shifts), n_(n_shifts), live_(live) {}

    void run(unsigned char* out, Py_ssize_t out_row_stride, Py_ssize_t first_row, Py_ssize_t last_row) {
        for (Py_ssize_t y = first_row; y < last_row; ++y) {
            row(y, out + y * out_row_stride);
        }
    }

private:
    Py_ssize_t stay_cs() const { return Packed ? Py_ssize_t(sizeof(int16_t)) : stay_.col_stride; }
    Py_ssize_t moved_cs() const { return Packed ? Py_ssize_t(sizeof(int16_t)) : moved_.col_stride; }

    const char* moved_row(Py_ssize_t y, const TrialShift& t) const {
        return moved_.base + clamp(y - t.down, 0, h_ - 1) * moved_.row_stride;
    }

    void row(Py_ssize_t y, unsigned char* o) {
        const char* s = stay_.base + y * stay_.row_stride;
        const char* m = moved_.base + y * moved_.row_stride;
        const Py_ssize_t scs = stay_cs(), mcs = moved_cs();
        unsigned char any = 0;
        for (Py_ssize_t x = 0; x < w_; ++x) {
            const unsigned char d = byte_mask(test_(pixel(s, x, scs), pixel(m, x, mcs)));
            o[x] = d;
            any |= d;
        }
        if (any == 0 || n_ == 0) {
            return;
        }
        size_t k = 0;
        Py_ssize_t live = list_set(o, w_, live_);
        while (live * kDenseFraction >= w_ && k < n_) {
            const TrialShift& t = shifts_[k++];
            and_row(s, o, moved_row(y, t), t.right);
            live = list_set(o, w_, live_);
        }
        for (; k < n_ && live > 0; ++k) {
            const TrialShift& t = shifts_[k];
            const char* src = moved_row(y, t);
            Py_ssize_t kept = 0;
            for (Py_ssize_t i = 0; i < live; ++i) {
                const Py_ssize_t x = live_[i];
                if (test_(pixel(s, x, scs), pixel(src, clamp(x - t.right, 0, w_ - 1), mcs))) {
                    live_[kept++] = x;
                } else {
                    o[x] = 0;
                }
            }
            live = kept;
        }
    }

    /// AND one trial shift into the whole row. The shift is already clamped
    /// to |right| <= width - 1, so the three column ranges (left edge,
    /// interior, right edge) are well formed.
    void and_row(const char* s, unsigned char* o, const char* src, Py_ssize_t right) {
        const Py_ssize_t scs = stay_cs(), mcs = moved_cs();
        const Py_ssize_t lo = right > 0 ? right : 0;
        const Py_ssize_t hi = right < 0 ? w_ + right : w_;
        const int16_t first = pixel(src, 0, mcs);
        for (Py_ssize_t x = 0; x < lo; ++x) {
            o[x] &= byte_mask(test_(pixel(s, x, scs), first));
        }
        for (Py_ssize_t x = lo; x < hi; ++x) {
            o[x] &= byte_mask(test_(pixel(s, x, scs), pixel(src, x - right, mcs)));
        }
        const int16_t last = pixel(src, w_ - 1, mcs);
        for (Py_ssize_t x = hi; x < w_; ++x) {
            o[x] &= byte_mask(test_(pixel(s, x, scs), last));
        }
    }

    const Int16Plane& stay_;
    const Int16Plane& moved_;
    const Py_ssize_t h_, w_;
    const Test test_;
    const TrialShift* const shifts_;
    const size_t n_;
    Py_ssize_t* const live_;  // columns of the current row still differing
};

template <class Test>
void sweep(const Int16Plane& stay, const Int16Plane& moved, Py_ssize_t h, Py_ssize_t w, Test test,
           const TrialShift* shifts, size_t n_shifts, unsigned char* out, Py_ssize_t out_rs, Py_ssize_t* scratch,
           Py_ssize_t first_row, Py_ssize_t last_row) {
    const bool packed = stay.col_stride == Py_ssize_t(sizeof(int16_t)) && moved.col_stride == Py_ssize_t(sizeof(int16_t));
    if (packed) {
        Sweep<true, Test>(stay, moved, h, w, test, shifts, n_shifts, scratch).run(out, out_rs, first_row, last_row);
    } else {
        Sweep<false, Test>(stay, moved, h, w, test, shifts, n_shifts, scratch).run(out, out_rs, first_row, last_row);
    }
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

void shift_tolerant_mask(const Int16Plane& stay, const Int16Plane& moved, Py_ssize_t height, Py_ssize_t width,
                         long long threshold, const TrialShift* shifts, size_t n_shifts, unsigned char* out,
                         Py_ssize_t out_row_stride, Py_ssize_t* scratch, Py_ssize_t first_row, Py_ssize_t last_row) {
    if (height <= 0 || width <= 0) {
        return;
    }
    first_row = clamp(first_row, 0, height);
    last_row = clamp(last_row, first_row, height);
    if (threshold >= 0) {
        Above test{static_cast<int16_t>(std::min<long long>(threshold, INT16_MAX))};
        sweep(stay, moved, height, width, test, shifts, n_shifts, out, out_row_stride, scratch, first_row, last_row);
    } else {
        Below test{static_cast<int16_t>(std::max<long long>(threshold, INT16_MIN))};
        sweep(stay, moved, height, width, test, shifts, n_shifts, out, out_row_stride, scratch, first_row, last_row);
    }
}

}  // namespace qel
