// Both passes of a comparison from one sweep over the pair.
//
// `compare` runs the dark-spot pass and then the light-spot pass, each through
// `self._do_compare_image_with_shift`. When that is the class's own method on
// an unchanged class, every name either pass goes through is the one start-up
// bound, and the settings are plain numbers, one sweep makes both masks from a
// single read of each pixel pair, reading a uint8 target directly instead of
// through its int16 copy. Each pass is still called as written (same lookups,
// same order, same tracebacks); it finds its mask made ahead and goes straight
// to the contour search, which it skips on a mask the sweep knows is empty.
//
// The light-spot mask is used only if nothing between the sweep and its pass
// can have run Python code (the dark-spot pass found no candidate, or its
// judge and region reporting are the module's own with plain arguments) and
// every guard still holds; otherwise that pass runs as written, on the int16
// copy, made before any such code could change the pixels it is made from.
#pragma once
#include "shift_pass.hpp"

namespace qel {

class BothPasses {
public:
    /// Sweep both masks of `compare(self, ...)` on the images it would hand
    /// its passes (`tgt` not yet converted to int16). False, with nothing
    /// made, when the comparison must run as written.
    bool sweep(PyObject* self, PyObject* standard, PyObject* target);

    /// Right before pass `i` (0 dark, 1 light) is called as `pass(...)`:
    /// whether it may take its mask from the sweep. If so, the pass must be
    /// called at once (no Python code in between) inside a MadeAhead scope.
    bool stands_in(int i, PyObject* self, PyObject* pass);

    /// After stands_in(0): whether the dark-spot pass's region reporting
    /// runs only the module's own code. If not, the light-spot pass runs as
    /// written, and the caller makes the target's int16 copy now.
    bool reporting_closed(PyObject* self, PyObject* result);

    /// numpy.int16(target) with the `_np.int16` start-up bound (the sweep ran
    /// only if the name still held it).
    Ref int16_copy(PyObject* target) const;

    Mask& mask(int i) { return masks_[i]; }

    /// Keep the masks for the next comparison.
    void give_back();

private:
    bool settings_unchanged(PyObject* self) const;
    bool swept_ = false;
    bool light_usable_ = false;
    Ref settings_[4];  // max_shift, threshold, slope, step as the sweep read them
    Mask masks_[2];
};

/// A pass mask made ahead, offered to the next `_do_compare_image_with_shift`
/// call on this thread for exactly these arguments, for the scope's life.
class MadeAhead {
public:
    MadeAhead(PyObject* self, PyObject* stay, PyObject* moved, Mask& mask);
    ~MadeAhead();
    MadeAhead(const MadeAhead&) = delete;
    MadeAhead& operator=(const MadeAhead&) = delete;

    /// The mask offered for pass(self, stay, moved), taken at most once; NULL
    /// if none (the pass makes its own).
    static Mask* take(PyObject* self, PyObject* stay, PyObject* moved);

private:
    PyObject* self_;
    PyObject* stay_;
    PyObject* moved_;
    Mask* mask_;
    MadeAhead* outer_;
};

/// The guard of the sweep of both passes.
FastPath& sweep_of_both_passes();

/// The guard of region reporting that runs only the module's own code.
FastPath& reporting();

/// Whether reporting a region found for `result` with `judge` runs only
/// code of the module's own, provided its guard holds.
bool reports_by_own_code(PyObject* judge, PyObject* result);

/// The sweep writes only the mask rows that keep a pixel: zero the others
/// before the whole mask is read (by a contour search that is not the one
/// start-up bound).
void fill_unwritten(Mask& mask);

}  // namespace qel
