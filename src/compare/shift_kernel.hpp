// The one-pass shift-tolerant difference mask, as plain C++ over raw pixels.
#pragma once
#include <Python.h>

#include <cstdint>
#include <vector>

namespace qel {

/// A read-only grey plane of `Pixel`s, addressed by byte strides.
template <class Pixel>
struct Plane {
    const char* base;
    Py_ssize_t row_stride;
    Py_ssize_t col_stride;
};
using Int16Plane = Plane<std::int16_t>;
using Uint8Plane = Plane<std::uint8_t>;

/// One trial shift: the shifted image's content moves `right` columns and
/// `down` rows; uncovered pixels repeat the nearest edge pixel.
struct TrialShift {
    Py_ssize_t right;
    Py_ssize_t down;
};

/// Bring a list of trial shifts into the form the kernel wants: each
/// component clamped to the image (a shift of the whole extent or more
/// replicates the same edge pixel as one of exactly extent - 1), the
/// unshifted position and repeats removed, smaller moves first (they are the
/// likeliest to explain a difference and settle a pixel early).
std::vector<TrialShift> normalise_shifts(std::vector<TrialShift> shifts, Py_ssize_t height, Py_ssize_t width);

// Contract: reads `stay`, `moved` (height x width aligned int16, any strides) and shifts[0..n_shifts); writes rows [first_row, last_row) of out (height x width bytes, packed columns) and scratch[0..width); neither may overlap the inputs; never allocates or throws.
///
/// out[y][x] = 255 where the pixel differs unshifted and at every trial
/// shift (moved read at the clamped position (x - right, y - down)), else 0.
/// "Differs" is the int16-wrapping difference stay - moved > threshold for
/// threshold >= 0 and < threshold otherwise, as numpy computes it. Returns
/// whether any pixel of these rows survived.
///
/// Every address read follows from the row, the column and the shifts alone;
/// pixel values only decide what is written to `out` and which of its columns
/// are tried again (a list built from `out`, which no one else can see). So
/// whatever another thread writes into the planes meanwhile, every access
/// stays within them.
bool shift_tolerant_mask(const Int16Plane& stay, const Int16Plane& moved, Py_ssize_t height, Py_ssize_t width,
                         long long threshold, const TrialShift* shifts, size_t n_shifts, unsigned char* out,
                         Py_ssize_t out_row_stride, Py_ssize_t* scratch, Py_ssize_t first_row, Py_ssize_t last_row);

/// Where both masks of a comparison hold a pixel that differs.
struct DualOutcome {
    bool dark = false;
    bool light = false;
};

/// The columns of the first and last set pixel of a mask row; first > last
/// for a row with none.
struct RowSpan {
    Py_ssize_t first = 1;
    Py_ssize_t last = 0;
    bool empty() const { return first > last; }
};

/// Scratch for dual_shift_tolerant_masks: two survivor lists and two rows.
struct DualScratch {
    Py_ssize_t* live;     // 2 * width
    unsigned char* rows;  // 2 * width
};

// Contract: reads `standard` (int16) and `target` (height x width, aligned, any strides) and shifts[0..n_shifts); writes the kept rows among [first_row, last_row) of dark and light (height x width bytes, packed columns), dark_rows/light_rows[first_row..last_row) and the scratch; none may overlap the inputs; never allocates or throws.
///
/// The two passes of one comparison in one sweep over the pair: `dark` gets
/// shift_tolerant_mask(standard, target) (the target is shifted) and `light`
/// shift_tolerant_mask(target, standard) (the standard is shifted), each pixel
/// pair read once for the unshifted test of both. A uint8 target is read as
/// the int16 values numpy's conversion would give. A mask row is written only
/// if a pixel of it survives (its span says so); the caller clears the others
/// of a mask it uses (clear_empty_rows). Returns which masks got a pixel in
/// these rows. Accesses follow from rows, columns and shifts alone, as in
/// shift_tolerant_mask.
template <class TargetPixel>
DualOutcome dual_shift_tolerant_masks(const Int16Plane& standard, const Plane<TargetPixel>& target, Py_ssize_t height,
                                      Py_ssize_t width, long long threshold, const TrialShift* shifts,
                                      size_t n_shifts, unsigned char* dark, unsigned char* light,
                                      Py_ssize_t out_row_stride, RowSpan* dark_rows, RowSpan* light_rows,
                                      const DualScratch& scratch, Py_ssize_t first_row, Py_ssize_t last_row);

/// Zero the rows of a mask that dual_shift_tolerant_masks left unwritten.
void clear_empty_rows(unsigned char* mask, Py_ssize_t out_row_stride, const RowSpan* rows, Py_ssize_t height,
                      Py_ssize_t width);

}  // namespace qel
