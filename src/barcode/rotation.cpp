// Rotation correction: the tilt of the joined bars and the turn that undoes it.
#include "barcode.hpp"

#include "../module/cv.hpp"
#include "../module/names.hpp"
#include "../module/unpack.hpp"
#include "../module/warp.hpp"

namespace qel {

namespace {

Ref find_rotate_degree(PyObject* image, PyObject* aoi) {
    auto [x1, y1, x2, y2] = unpack<4>(aoi);
    Ref subimg = crop(image, x1, y1, x2, y2);
    Ref external = cv(QS("RETR_EXTERNAL"));
    Contours found = find_contours(subimg, external, cv(QS("CHAIN_APPROX_SIMPLE")));

    Ref area_max = integer(-1);
    Ref biggest = none();
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(found.contours.get()); ++i) {
        Ref cnt = Ref::borrow(PyList_GET_ITEM(found.contours.get(), i));
        Ref area = call(cv(QS("contourArea")), {cnt});
        if (compare_true(area, area_max, Py_GT)) {
            biggest = std::move(cnt);
            area_max = std::move(area);
        }
    }
    // Handing None to the minimum-area rectangle gives an obscure OpenCV
    // error at best; say what is actually wrong.
    if (biggest.get() == Py_None) {
        raise(PyExc_ValueError, "find_rotate_degree: no white region in the area of interest");
    }
    Ref box = min_area_rect(biggest);
    auto [center, wh, rotate_degree] = unpack<3>(box);
    // The fold includes -90: an upright region is reported as -90, and a
    // quarter turn would throw the bars out of the area of interest.
    if (compare_true(integer(-90), rotate_degree, Py_LE) && compare_true(rotate_degree, integer(-80), Py_LE)) {
        rotate_degree = add(rotate_degree, integer(90));
    }
    return std::move(rotate_degree);
}

Ref rotate_correcting(PyObject* image, PyObject* bars, PyObject* degree, PyObject* aoi) {
    auto [x1, y1, x2, y2] = unpack<4>(aoi);
    // The callee is looked up before its argument is evaluated, as in Python.
    Ref bounding_rect = cv(QS("boundingRect"));
    Ref rect = call(bounding_rect, {item(bars, 0)});
    auto [x, y, w_, h_] = unpack<4>(rect);
    x = add(x, x1);
    y = add(y, y1);
    Ref shape = attr(image, QS("shape"));
    Ref head = item(shape, slice(Py_None, integer(2)));
    auto [h, w] = unpack<2>(head);
    return rotate_about(image, x, y, degree, w, h, Border::explicit_zero, "rotate_correcting");
}

const FuncDef kFindRotateDegree = define<find_rotate_degree>("find_rotate_degree", "find_rotate_degree", 760,
                                                             {{"image"}, {"aoi"}})
    .with_locals({"x1", "y1", "x2", "y2", "subimg", "_img", "contours", "_hierarchy", "area_max", "biggest", "cnt",
                  "area", "center", "wh", "rotate_degree"})
    .with_doc("源image必须要有一个连贯的大的白色区域，通常这个image经过fill_threshold处理。");

const FuncDef kRotateCorrecting = define<rotate_correcting>("rotate_correcting", "rotate_correcting", 790,
                                                            {{"image"}, {"bars"}, {"degree"}, {"aoi"}})
    .with_locals({"x1", "y1", "x2", "y2", "x", "y", "_w", "_h", "h", "w", "matrix", "rotated"});

}  // namespace

void register_rotation(Definitions& d) {
    d.function(kFindRotateDegree);
    d.function(kRotateCorrecting);
}

}  // namespace qel
