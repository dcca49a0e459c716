// The end-to-end barcode check: detect, straighten, align by template
// matching, compare under shift tolerance, and save the marked area on defects.
#include "barcode.hpp"

#include "../module/names.hpp"
#include "../module/unpack.hpp"

namespace qel {

namespace {

/// `fmt % value` with the host's own formatting.
Ref percent(const char* fmt, Obj value) {
    Ref format = text(fmt);
    return check(PyUnicode_Format(format.get(), value.p));
}

/// `image[y:y + h, x:x + w]` for a rect (x, y, w, h), the sums in that order.
Ref crop_rect(Obj image, Obj rect) {
    auto [x, y, w, h] = unpack<4>(rect);
    Ref y2 = add(y, h);
    Ref x2 = add(x, w);
    return crop(image, x, y, x2, y2);
}

Ref shift_compare_barcode(PyObject* std_image, PyObject* tgt, PyObject* aoi, PyObject* max_shift, PyObject* threshold,
                          PyObject* dirty_width) {

    Ref std_found = call(global(QS("find_barcode_contours")), {std_image, aoi});
    auto [std_bars, std_threshold] = unpack<2>(std_found);
    Ref tgt_found = call(global(QS("find_barcode_contours")), {tgt, aoi});
    auto [tgt_bars, tgt_threshold] = unpack<2>(tgt_found);
    call(global(QS("fill_threshold")), {std_bars, std_threshold, aoi});
    call(global(QS("fill_threshold")), {tgt_bars, tgt_threshold, aoi});
    Ref std_degree = call(global(QS("find_rotate_degree")), {std_threshold, aoi});
    Ref tgt_degree = call(global(QS("find_rotate_degree")), {tgt_threshold, aoi});
    print({percent("STD Degree: %.02f", std_degree)});
    print({percent("TGT Degree: %.02f", tgt_degree)});
    Ref std_rotated = call(global(QS("rotate_correcting")), {std_image, std_bars, std_degree, aoi});
    Ref tgt_rotated = call(global(QS("rotate_correcting")), {tgt, tgt_bars, tgt_degree, aoi});

    Ref cmp_rect = call(global(QS("cmp_rect_after_rotate_correcting")), {std_rotated, aoi});
    Ref bar_code_img = crop_rect(std_rotated, cmp_rect);
    Ref tgt_rect = call(global(QS("cmp_rect_after_rotate_correcting")), {tgt_rotated, aoi});
    Ref region;
    {
        auto [x, y, w, h] = unpack<4>(tgt_rect);
        Ref margin = integer(20);
        region = list_of({sub(x, margin), sub(y, margin), add(add(x, w), margin), add(add(y, h), margin)});
    }
    Ref match = call(global(QS("template_match_point")), {tgt_rotated, bar_code_img, region});
    auto [match_value, match_location] = unpack<2>(match);
    // Printed before the location is unpacked, so it shows even when no
    // match was found.
    print({percent("平移校正区域匹配度：%.04f", match_value)});
    auto [x1, y1] = unpack<2>(match_location);
    Ref tgt_corrected;
    {
        auto [x, y, w, h] = unpack<4>(cmp_rect);
        Ref translate = global(QS("translate"));
        Ref right = sub(x, x1);
        tgt_corrected = call(translate, {tgt_rotated, right, sub(y, y1)});
    }
    Ref shift_comparator = call(global(QS("ShiftComparator")), {std_rotated},
                                {{QS("max_shift"), max_shift},
                                 {QS("threshold"), threshold},
                                 {QS("judge_parameter"), dirty_width},
                                 {QS("cmp_region"), aoi}});
    Ref result = call(global(QS("CompareResult")), {tgt_corrected});
    call_method(shift_comparator, QS("compare"), {tgt_corrected, result});
    if (truth(attr(result, QS("ng")))) {
        Ref whole = call_method(result, QS("marked_image"));
        Ref part = crop_rect(whole, cmp_rect);
        call(cv(QS("imwrite")), {text("shift_compare_barcode.jpg"), part});
    }
    return result;
}

const FuncDef kShiftCompareBarcode = define<shift_compare_barcode>(
    "shift_compare_barcode", "shift_compare_barcode", 850, {{"std"}, {"tgt"}, {"aoi"}, {"max_shift"}, {"threshold"}, {"dirty_width"}})
    .with_locals({"std_bars", "std_threshold", "tgt_bars", "tgt_threshold", "std_degree", "tgt_degree", "std_rotated",
                  "tgt_rotated", "cmp_rect", "x", "y", "w", "h", "bar_code_img", "tgt_rect", "region", "_match_value",
                  "match_location", "x1", "y1", "tgt_corrected", "shift_comparator", "result", "whole", "part"});

}  // namespace

void register_barcode_pipeline(Definitions& d) { d.function(kShiftCompareBarcode); }

}  // namespace qel
