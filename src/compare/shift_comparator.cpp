// ShiftComparator: a target is compared with the kept 16-bit standard in two
// passes (dark spots, then light spots); a pixel is a defect only if no trial
// shift of up to max_shift pixels explains it, and each outer contour of such
// pixels that the judge accepts becomes one NGRegion.
//
// One pass has two renderings (shift_pass.hpp), and both passes of a
// comparison can come from one sweep (both_passes.hpp).
#include "shift_comparator.hpp"

#include "../module/cv.hpp"
#include "../module/names.hpp"
#include "../module/unpack.hpp"
#include "both_passes.hpp"
#include "mask_pool.hpp"
#include "tiled_contours.hpp"

namespace qel {

namespace {

// --- ShiftComparator ----------------------------------------------------------------

Ref init_body(PyObject* self, PyObject* std_image, PyObject* max_shift, PyObject* threshold, PyObject* judge_parameter,
              PyObject* judge, PyObject* slope, PyObject* step, PyObject* cmp_region) {
    set_attr(self, QS("std_threshold"), call(np(QS("int16")), {std_image}));
    set_attr(self, QS("max_shift"), max_shift);
    set_attr(self, QS("threshold"), threshold);
    set_attr(self, QS("_ShiftComparator__judge_parameter"), judge_parameter);
    set_attr(self, QS("_ShiftComparator__judge"), judge);
    set_attr(self, QS("slope"), slope);
    set_attr(self, QS("step"), step);
    set_attr(self, QS("compare_region"), cmp_region);
    set_attr(self, QS("_ShiftComparator__black_spot_desc"), QS("black spot"));
    set_attr(self, QS("_ShiftComparator__white_spot_desc"), QS("white spot"));
    return none();
}

// The getters' exact-text check and the setters' argument check come from the
// 'unicode' annotations (see the FuncDefs below).
Ref black_spot_desc_get(PyObject* self) { return attr(self, QS("_ShiftComparator__black_spot_desc")); }
Ref black_spot_desc_set(PyObject* self, PyObject* desc) {
    set_attr(self, QS("_ShiftComparator__black_spot_desc"), desc);
    return none();
}
Ref white_spot_desc_get(PyObject* self) { return attr(self, QS("_ShiftComparator__white_spot_desc")); }
Ref white_spot_desc_set(PyObject* self, PyObject* desc) {
    set_attr(self, QS("_ShiftComparator__white_spot_desc"), desc);
    return none();
}

/// `zeros = _np.zeros(self.std_threshold.shape[:2], dtype=_np.<dtype>)`
Ref zeros_like_standard(PyObject* self, PyObject* dtype_name) {
    Ref zeros = np(QS("zeros"));
    Ref shape = attr(attr(self, QS("std_threshold")), QS("shape"));
    Ref size = item(shape, slice(Py_None, integer(2)));
    return call(zeros, {size}, {{QS("dtype"), np(dtype_name)}});
}

Ref compare_body(PyObject* self, PyObject* tgt_image, PyObject* result) {
    Ref tgt_masked, std_masked;
    Ref region = attr(self, QS("compare_region"));
    if (region.get() != Py_None) {
        auto [x1, y1, x2, y2] = unpack<4>(region);
        tgt_masked = zeros_like_standard(self, QS("uint8"));
        Ref tgt_part = crop(tgt_image, x1, y1, x2, y2);
        set_item(tgt_masked, region_index(x1, y1, x2, y2), tgt_part);
        std_masked = zeros_like_standard(self, QS("int16"));
        Ref std_part = crop(attr(self, QS("std_threshold")), x1, y1, x2, y2);
        set_item(std_masked, region_index(x1, y1, x2, y2), std_part);
    } else {
        tgt_masked = Ref::borrow(tgt_image);
        std_masked = attr(self, QS("std_threshold"));
    }
    // `tgt_masked = _np.int16(tgt_masked)`, unless the sweep reads it as it
    // is; then the copy is made only for a pass that runs as written.
    BothPasses both;
    Ref tgt16;
    {
        GenericRegion region(sweep_of_both_passes());
        if (!both.sweep(self, std_masked.get(), tgt_masked.get())) {
            tgt16 = call(np(QS("int16")), {tgt_masked});
        }
    }
    auto int16_target = [&]() -> PyObject* {
        if (!tgt16) {
            tgt16 = both.int16_copy(tgt_masked.get());
        }
        return tgt16.get();
    };

    // Dark spots: the target is shifted. Light spots: the roles swap.
    Ref pass = attr(self, QS("_do_compare_image_with_shift"));
    Ref parameter = attr(self, QS("_ShiftComparator__judge_parameter"));
    Ref desc = attr(self, QS("black_spot_desc"));
    if (both.stands_in(0, self, pass.get())) {
        if (!both.reporting_closed(self, result)) {
            int16_target();  // before a judge can change the target's pixels
        }
        MadeAhead ahead(self, std_masked.get(), tgt_masked.get(), both.mask(0));
        call(pass, {std_masked, tgt_masked, parameter, desc, result});
    } else {
        call(pass, {std_masked, int16_target(), parameter, desc, result});
    }
    if (g_watcher != nullptr) {
        g_watcher->between_passes();
    }
    pass = attr(self, QS("_do_compare_image_with_shift"));
    parameter = attr(self, QS("_ShiftComparator__judge_parameter"));
    desc = attr(self, QS("white_spot_desc"));
    if (both.stands_in(1, self, pass.get())) {
        MadeAhead ahead(self, tgt_masked.get(), std_masked.get(), both.mask(1));
        call(pass, {tgt_masked, std_masked, parameter, desc, result});
    } else {
        call(pass, {int16_target(), std_masked, parameter, desc, result});
    }
    both.give_back();
    return none();
}

Ref do_compare_body(PyObject* self, PyObject* std_threshold, PyObject* tgt_threshold, PyObject* judge_parameter,
                    PyObject* error_desc, PyObject* compare_result) {
    Ref max_shift = attr(self, QS("max_shift"));
    Ref threshold = attr(self, QS("threshold"));
    Ref slope = attr(self, QS("slope"));
    Ref step = attr(self, QS("step"));

    // The mask: made ahead by the sweep of both passes, or by the native
    // pass when nothing it replaces has been rebound, or as written.
    Mask own;    // from the mask pool, given back after the search
    Mask plain;  // as written
    Mask* mask = MadeAhead::take(self, std_threshold, tgt_threshold);
    if (mask == nullptr) {
        auto settings = plain_settings(max_shift.get(), threshold.get(), slope.get(), step.get());
        // Settings that are not plain numbers run code of the caller's.
        GenericRegion region(native_pass(), settings.has_value());
        PyArrayObject* a = native_plane<std::int16_t>(std_threshold);
        PyArrayObject* b = native_plane<std::int16_t>(tgt_threshold);
        if (settings && native_pass().unchanged() && a != nullptr && b != nullptr &&
            PyArray_DIM(a, 0) == PyArray_DIM(b, 0) && PyArray_DIM(a, 1) == PyArray_DIM(b, 1)) {
            own = native_not_match(a, b, *settings);
        } else {
            Ref result = generic_mask(std_threshold, tgt_threshold, max_shift.get(), threshold.get(), slope.get(),
                                      step.get());
            plain = {mul(result, call(np(QS("uint8")), {integer(255)})), true, {}};
        }
        mask = own.image ? &own : &plain;
    }
    Ref contours;
    {
        GenericRegion region(contour_search());
        if (!mask->any && contour_search().unchanged()) {
            contour_search().taken();
            give_back_mask(std::move(own.image));
            return none();  // no pixel, so no contour
        }
        contours = tiled_contours(*mask);
        if (!contours) {
            fill_unwritten(*mask);
            Ref external = cv(QS("RETR_EXTERNAL"));
            contours = find_contours(mask->image, external, cv(QS("CHAIN_APPROX_NONE"))).contours;
        }
    }
    Iter it(contours);
    while (Ref cnt = it.next()) {
        Ref judge = attr(self, QS("_ShiftComparator__judge"));
        // With a judge of the caller's, any code may run here.
        GenericRegion region(reporting(), reports_by_own_code(judge.get(), compare_result));
        if (!truth(call(judge, {cnt, judge_parameter}))) {
            continue;
        }
        auto [x1, y1, w, h] = unpack<4>(bounding_rect(cnt));
        Ref x2 = add(x1, w);
        Ref y2 = add(y1, h);
        Ref rect = list_of({x1, y1, x2, y2});
        // max(w, h) keeps the first of equal values.
        PyObject* longer = compare_true(h, w, Py_GT) ? h.get() : w.get();
        Ref region_class = global(QS("NGRegion"));
        Ref desc = check(PyUnicode_FromFormat("%S: %S, %S", error_desc, longer, rect.get()));
        Ref ng_region = call(region_class, {rect, desc});
        call_method(compare_result, QS("append"), {ng_region});
    }
    give_back_mask(std::move(own.image));
    return none();
}

const FuncDef kInit = define<init_body>("__init__", "ShiftComparator.__init__", 591,
                                        {{"self"},
                                         {"std_image", "_np.ndarray"},
                                         {"max_shift", "'int'"},
                                         {"threshold", "'int'"},
                                         {"judge_parameter", "_Union[int, _Sequence]"},
                                         {"judge", "_Callable", "contour_is_too_long"},
                                         {"slope", nullptr, "True"},
                                         {"step", nullptr, "1"},
                                         {"cmp_region", "_Optional[_Sequence[int]]", "None"}});
const FuncDef kBlackGet = define<black_spot_desc_get>("black_spot_desc", "ShiftComparator.black_spot_desc", 605,
                                                      {{"self"}})
    .returning("'unicode'", Conversion::exact_text);
const FuncDef kBlackSet = define<black_spot_desc_set>(
    "black_spot_desc", "ShiftComparator.black_spot_desc", 609,
    {{"self"}, {"desc", "'unicode'", nullptr, Conversion::exact_text}});
const FuncDef kWhiteGet = define<white_spot_desc_get>("white_spot_desc", "ShiftComparator.white_spot_desc", 613,
                                                      {{"self"}})
    .returning("'unicode'", Conversion::exact_text);
const FuncDef kWhiteSet = define<white_spot_desc_set>(
    "white_spot_desc", "ShiftComparator.white_spot_desc", 617,
    {{"self"}, {"desc", "'unicode'", nullptr, Conversion::exact_text}});
const FuncDef kCompare = define<compare_body>("compare", "ShiftComparator.compare", 621,
                                              {{"self"}, {"tgt_image", "_np.ndarray"}, {"result", "CompareResult"}})
    .with_locals({"x1", "y1", "x2", "y2", "tgt_masked", "std_masked"});
const FuncDef kDoCompare = define<do_compare_body>(
    "_do_compare_image_with_shift", "ShiftComparator._do_compare_image_with_shift", 640,
    {{"self"},
     {"std_threshold"},
     {"tgt_threshold"},
     {"judge_parameter"},
     {"error_desc"},
     {"compare_result", "CompareResult"}})
    .with_locals({"max_shift", "threshold", "slope", "step", "result", "i", "img", "not_match", "shift", "_img",
                  "less_cnts", "_hierarchy", "cnt", "x1", "y1", "w", "h", "x2", "y2", "rect", "ng_region"});

const ClassDef kShiftComparator{
    "ShiftComparator",
    {{Member::method, &kInit},
     {Member::getter, &kBlackGet},
     {Member::setter, &kBlackSet},
     {Member::getter, &kWhiteGet},
     {Member::setter, &kWhiteSet},
     {Member::method, &kCompare},
     {Member::method, &kDoCompare}},
};

}  // namespace

void register_shift_comparator(Definitions& d) { d.klass(kShiftComparator); }

}  // namespace qel
