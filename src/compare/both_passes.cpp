// Both passes of a comparison from one sweep: when it applies, what it makes,
// and how each pass is handed its mask.
#include "both_passes.hpp"

#include <algorithm>
#include <cstring>

#include "../module/fast_path.hpp"
#include "../module/long_work.hpp"
#include "../module/names.hpp"
#include "mask_pool.hpp"
#include "tiled_contours.hpp"

namespace qel {

namespace {

/// What `compare` goes through besides the passes' own names. A class in the
/// list also stands for its members: setting or deleting any of them breaks
/// the guard (a property that runs Python code, say).
/// It stands in for each pass's mask too, so the native pass's names are
/// guarded as well.
FastPath g_both("the sweep of both passes",
                {"_np.int16", "ShiftComparator", "ShiftComparator._do_compare_image_with_shift"}, {&native_pass()});
const size_t kInt16 = g_both.index("_np.int16");
const size_t kComparator = g_both.index("ShiftComparator");
const size_t kPassMethod = g_both.index("ShiftComparator._do_compare_image_with_shift");

/// What region reporting goes through with one of the module's own judges,
/// after the contour search.
FastPath g_reporting("region reporting by the module's own judges",
                     {"contour_is_too_long", "contour_is_too_big", "_cv.boundingRect", "_cv.contourArea", "NGRegion",
                      "CompareResult"},
                     {&contour_search()});
const size_t kTooLong = g_reporting.index("contour_is_too_long");
const size_t kTooBig = g_reporting.index("contour_is_too_big");
const size_t kCompareResult = g_reporting.index("CompareResult");

/// The settings a pass reads, in its order. Interned: a lookup remembers
/// the name it was given in the type's cache.
PyObject* setting_name(int k) {
    switch (k) {
        case 0: return QS("max_shift");
        case 1: return QS("threshold");
        case 2: return QS("slope");
        default: return QS("step");
    }
}

/// The attribute, or NULL with no error set (then the pass runs as written
/// and raises there, in order).
Ref quiet_attr(PyObject* o, PyObject* name) {
    Ref value = Ref::steal(PyObject_GetAttr(o, name));
    if (!value) {
        PyErr_Clear();
    }
    return value;
}

bool plain_number(PyObject* o) { return PyLong_CheckExact(o) || PyFloat_CheckExact(o); }

thread_local MadeAhead* t_offered = nullptr;

unsigned char* mask_pixels(const Mask& m) {
    return reinterpret_cast<unsigned char*>(PyArray_BYTES(reinterpret_cast<PyArrayObject*>(m.image.get())));
}

}  // namespace

void fill_unwritten(Mask& mask) {
    if (mask.rows.empty()) {
        return;
    }
    PyArrayObject* a = reinterpret_cast<PyArrayObject*>(mask.image.get());
    unsigned char* pixels = reinterpret_cast<unsigned char*>(PyArray_BYTES(a));
    const Py_ssize_t h = PyArray_DIM(a, 0);
    const Py_ssize_t w = PyArray_DIM(a, 1);
    run_released(1, 1, [&](Py_ssize_t, Py_ssize_t) {
        clear_empty_rows(pixels, PyArray_STRIDE(a, 0), mask.rows.data(), h, w);
        return true;
    });
    mask.rows.clear();
}

bool BothPasses::sweep(PyObject* self, PyObject* standard, PyObject* target) {
    if (!g_both.unchanged() || Py_TYPE(self) != reinterpret_cast<PyTypeObject*>(g_both.original(kComparator))) {
        return false;
    }
    // On the unchanged class, these lookups run no Python code.
    Ref pass = quiet_attr(self, QS("_do_compare_image_with_shift"));
    if (!pass || !PyMethod_Check(pass.get()) || PyMethod_GET_FUNCTION(pass.get()) != g_both.original(kPassMethod) ||
        PyMethod_GET_SELF(pass.get()) != self) {
        return false;
    }
    for (int k = 0; k < 4; ++k) {
        settings_[k] = quiet_attr(self, setting_name(k));
        if (!settings_[k]) {
            return false;
        }
    }
    auto settings = plain_settings(settings_[0].get(), settings_[1].get(), settings_[2].get(), settings_[3].get());
    PyArrayObject* std_array = native_plane<std::int16_t>(standard);
    PyArrayObject* tgt8 = native_plane<std::uint8_t>(target);
    PyArrayObject* tgt16 = tgt8 == nullptr ? native_plane<std::int16_t>(target) : nullptr;
    PyArrayObject* tgt_array = tgt8 != nullptr ? tgt8 : tgt16;
    if (!settings || std_array == nullptr || tgt_array == nullptr ||
        PyArray_DIM(std_array, 0) != PyArray_DIM(tgt_array, 0) ||
        PyArray_DIM(std_array, 1) != PyArray_DIM(tgt_array, 1)) {
        return false;
    }

    const Py_ssize_t h = PyArray_DIM(std_array, 0);
    const Py_ssize_t w = PyArray_DIM(std_array, 1);
    const std::vector<TrialShift> shifts = trial_shifts(*settings, h, w);
    std::vector<Py_ssize_t> live(2 * static_cast<size_t>(w));
    std::vector<unsigned char> rows(2 * static_cast<size_t>(w));
    const DualScratch scratch{live.data(), rows.data()};
    for (Mask& m : masks_) {
        m.image = take_mask(h, w);
        m.any = false;
        m.rows.assign(static_cast<size_t>(h), RowSpan{});
    }
    unsigned char* dark = mask_pixels(masks_[0]);
    unsigned char* light = mask_pixels(masks_[1]);
    const Int16Plane std_plane = plane_of<std::int16_t>(std_array);
    const Uint8Plane tgt8_plane = tgt8 != nullptr ? plane_of<std::uint8_t>(tgt8) : Uint8Plane{};
    const Int16Plane tgt16_plane = tgt16 != nullptr ? plane_of<std::int16_t>(tgt16) : Int16Plane{};
    DualOutcome outcome;
    run_released(h, rows_per_stretch(w, 2 * (shifts.size() + 1)), [&](Py_ssize_t first, Py_ssize_t last) {
        const DualOutcome part =
            tgt8 != nullptr
                ? dual_shift_tolerant_masks(std_plane, tgt8_plane, h, w, settings->threshold, shifts.data(),
                                            shifts.size(), dark, light, w, masks_[0].rows.data(),
                                            masks_[1].rows.data(), scratch, first, last)
                : dual_shift_tolerant_masks(std_plane, tgt16_plane, h, w, settings->threshold, shifts.data(),
                                            shifts.size(), dark, light, w, masks_[0].rows.data(),
                                            masks_[1].rows.data(), scratch, first, last);
        outcome.dark |= part.dark;
        outcome.light |= part.light;
        return true;
    });
    masks_[0].any = outcome.dark;
    masks_[1].any = outcome.light;
    g_both.taken();
    swept_ = true;
    light_usable_ = true;
    return true;
}

bool BothPasses::settings_unchanged(PyObject* self) const {
    for (int k = 0; k < 4; ++k) {
        Ref now = quiet_attr(self, setting_name(k));
        if (now.get() != settings_[k].get()) {
            return false;
        }
    }
    return true;
}

bool BothPasses::stands_in(int i, PyObject* self, PyObject* pass) {
    if (!swept_ || (i == 1 && !light_usable_)) {
        return false;
    }
    // The sweep released the GIL, and the dark-spot pass may have too: any
    // guard can have been broken by another thread meanwhile.
    const bool usable = g_both.unchanged() &&
                        Py_TYPE(self) == reinterpret_cast<PyTypeObject*>(g_both.original(kComparator)) &&
                        PyMethod_Check(pass) && PyMethod_GET_FUNCTION(pass) == g_both.original(kPassMethod) &&
                        PyMethod_GET_SELF(pass) == self && settings_unchanged(self);
    if (!usable) {
        light_usable_ = false;
    }
    return usable;
}

bool BothPasses::reporting_closed(PyObject* self, PyObject* result) {
    if (!masks_[0].any) {
        if (contour_search().unchanged()) {
            return true;  // no contour, so no judge call and no region
        }
    } else if (g_reporting.unchanged() &&
               Py_TYPE(result) == reinterpret_cast<PyTypeObject*>(g_reporting.original(kCompareResult))) {
        Ref judge = quiet_attr(self, QS("_ShiftComparator__judge"));
        Ref parameter = quiet_attr(self, QS("_ShiftComparator__judge_parameter"));
        Ref regions = quiet_attr(result, QS("ng_regions"));
        Ref own = quiet_attr(result, QS("__dict__"));
        bool plain_parameter = false;
        if (parameter && judge.get() == g_reporting.original(kTooBig)) {
            plain_parameter = plain_number(parameter.get());
        } else if (parameter && judge.get() == g_reporting.original(kTooLong)) {
            PyObject* p = parameter.get();
            // A sequence stands for its first item.
            if (PyTuple_CheckExact(p) || PyList_CheckExact(p)) {
                p = PySequence_Fast_GET_SIZE(p) > 0 ? PySequence_Fast_GET_ITEM(p, 0) : nullptr;
            }
            plain_parameter = p != nullptr && plain_number(p);
        }
        // `result.append` is the class's own only if the instance has no
        // attribute of that name.
        const bool own_append = own && PyDict_CheckExact(own.get()) &&
                                PyDict_GetItemWithError(own.get(), QS("append")) == nullptr;
        if (plain_parameter && own_append && regions && PyList_CheckExact(regions.get())) {
            // Nothing in the dark-spot pass after its mask can run code of the caller's: not
            // the search either.
            g_reporting.taken(&contour_search());
            return true;
        }
    }
    light_usable_ = false;
    return false;
}

FastPath& sweep_of_both_passes() { return g_both; }

FastPath& reporting() { return g_reporting; }

bool reports_by_own_code(PyObject* judge, PyObject* result) {
    return (judge == g_reporting.original(kTooLong) || judge == g_reporting.original(kTooBig)) &&
           Py_TYPE(result) == reinterpret_cast<PyTypeObject*>(g_reporting.original(kCompareResult));
}

Ref BothPasses::int16_copy(PyObject* target) const { return call(g_both.original(kInt16), {target}); }

void BothPasses::give_back() {
    for (Mask& m : masks_) {
        give_back_mask(std::move(m.image));
    }
}

MadeAhead::MadeAhead(PyObject* self, PyObject* stay, PyObject* moved, Mask& mask)
    : self_(self), stay_(stay), moved_(moved), mask_(&mask), outer_(t_offered) {
    t_offered = this;
}

MadeAhead::~MadeAhead() { t_offered = outer_; }

Mask* MadeAhead::take(PyObject* self, PyObject* stay, PyObject* moved) {
    MadeAhead* offer = t_offered;
    if (offer == nullptr || offer->mask_ == nullptr || offer->self_ != self || offer->stay_ != stay ||
        offer->moved_ != moved) {
        return nullptr;
    }
    Mask* mask = offer->mask_;
    offer->mask_ = nullptr;
    g_both.taken(&native_pass());
    return mask;
}

}  // namespace qel
