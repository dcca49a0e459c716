// Bar detection: the Otsu-thresholded bars of an area of interest, sorted top
// to bottom, and the white strip that joins them for tilt measurement.
#include "barcode.hpp"

#include "../module/cv.hpp"
#include "../module/cv_input.hpp"
#include "../module/names.hpp"
#include "../module/unpack.hpp"

namespace qel {

namespace {

Ref bounding_rect_top(PyObject* contour) {
    Ref rect = call(cv(QS("boundingRect")), {contour});
    auto [x, y, w, h] = unpack<4>(rect);
    return std::move(y);
}

Ref find_barcode_contours(PyObject* image, PyObject* aoi, PyObject* area_lower, PyObject* area_upper,
                          PyObject* girth_lower, PyObject* girth_upper) {

    auto [x1, y1, x2, y2] = unpack<4>(aoi);
    Ref subimg = crop(image, x1, y1, x2, y2);
    check_cv_image(subimg, "find_barcode_contours", "image");
    Ref zero = integer(0);
    Ref white = integer(255);
    Ref threshold_fn = cv(QS("threshold"));
    Ref binary = cv(QS("THRESH_BINARY"));
    Ref otsu_flags = check(PyNumber_Or(binary.get(), cv(QS("THRESH_OTSU")).get()));
    Ref binarised = call(threshold_fn, {subimg, zero, white, otsu_flags});
    auto [otsu, threshold] = unpack<2>(binarised);
    Ref external = cv(QS("RETR_EXTERNAL"));
    Contours found = find_contours(threshold, external, cv(QS("CHAIN_APPROX_SIMPLE")));

    Ref bigs = list_of({});
    Ref line_format = text("Out of range bar: Area=%.1f, Length=%.1f");
    // The contour list is this call's own; walk it in the order OpenCV gave.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(found.contours.get()); ++i) {
        Ref cnt = Ref::borrow(PyList_GET_ITEM(found.contours.get(), i));
        Ref area = call(cv(QS("contourArea")), {cnt});
        Ref girth = call(cv(QS("arcLength")), {cnt, Py_True});
        // Chained comparisons: each bound tested only while the earlier held.
        bool inside = compare_true(area_lower, area, Py_LE) && compare_true(area, area_upper, Py_LE) &&
                      compare_true(girth_lower, girth, Py_LE) && compare_true(girth, girth_upper, Py_LE);
        if (inside) {
            list_append(bigs, cnt);
        } else {
            Ref values = tuple_of({area, girth});
            Ref line = check(PyUnicode_Format(line_format.get(), values.get()));
            print({line});
        }
    }
    Ref sorted_fn = global(QS("sorted"));
    Ref key = global(QS("bounding_rect_top"));
    Ref sorted_bigs = call(sorted_fn, {bigs}, {{QS("key"), key}});
    threshold_fn = cv(QS("threshold"));
    Ref whole = call(threshold_fn, {image, otsu, white, cv(QS("THRESH_BINARY"))});
    auto [tmp, whole_threshold] = unpack<2>(whole);
    return tuple_of({sorted_bigs, whole_threshold});
}

Ref fill_threshold(PyObject* bars, PyObject* threshold, PyObject* aoi) {
    auto [x1, y1, x2, y2] = unpack<4>(aoi);
    Ref two = integer(2);

    // The callee is looked up before its argument is evaluated, as in Python.
    Ref bounding_rect = cv(QS("boundingRect"));
    Ref top_rect = call(bounding_rect, {item(bars, 0)});
    auto [x, y, w, h] = unpack<4>(top_rect);
    x = add(x, x1);
    y = add(y, y1);
    Ref white_y_top = add(y, floor_div(h, two));
    Ref center = add(x, floor_div(w, two));

    bounding_rect = cv(QS("boundingRect"));
    Ref bottom_rect = call(bounding_rect, {item(bars, -1)});
    auto [bx, by, bw, bh] = unpack<4>(bottom_rect);
    by = add(by, y1);
    Ref white_y_bottom = add(by, floor_div(bh, two));

    Ref rectangle = cv(QS("rectangle"));
    Ref top_left = tuple_of({sub(center, two), white_y_top});
    Ref bottom_right = tuple_of({add(center, two), white_y_bottom});
    Ref white = integer(255);
    call(rectangle, {threshold, top_left, bottom_right, white, cv(QS("FILLED"))});
    return none();
}

const FuncDef kBoundingRectTop = define<bounding_rect_top>("bounding_rect_top", "bounding_rect_top", 700, {{"contour"}})
    .with_locals({"x", "y", "w", "h"});

const FuncDef kFindBarcodeContours = define<find_barcode_contours>(
    "find_barcode_contours", "find_barcode_contours", 710,
    {{"image"}, {"aoi"}, {"area_lower", nullptr, "1500"}, {"area_upper", nullptr, "120000"},
     {"girth_lower", nullptr, "600"}, {"girth_upper", nullptr, "2000"}})
    .with_locals({"x1", "y1", "x2", "y2", "subimg", "otsu", "threshold", "_img", "contours", "_hierarchy", "bigs",
                  "cnt", "area", "girth", "_tmp"});

const FuncDef kFillThreshold = define<fill_threshold>("fill_threshold", "fill_threshold", 740,
                                                      {{"bars"}, {"threshold"}, {"aoi"}})
    .with_locals({"x1", "y1", "x2", "y2", "x", "y", "w", "h", "white_y_top", "center", "_x", "_w", "white_y_bottom"});

}  // namespace

void register_bar_detection(Definitions& d) {
    d.function(kBoundingRectTop);
    d.function(kFindBarcodeContours);
    d.function(kFillThreshold);
}

}  // namespace qel
