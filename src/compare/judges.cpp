// contour_is_too_long and contour_is_too_big: the two stock judges a
// comparator can call once per candidate contour.
#include "judges.hpp"

#include "../module/cv.hpp"
#include "../module/names.hpp"
#include "../module/unpack.hpp"

namespace qel {

namespace {

Ref contour_is_too_long_body(PyObject* cnt, PyObject* length_given) {
    Ref length = Ref::borrow(length_given);
    auto [x, y, w, h] = unpack<4>(bounding_rect(cnt));
    // A length given as a sequence means its first item; subclasses count.
    if (PyTuple_Check(length.get()) || PyList_Check(length.get())) {
        length = item(length, 0);
    }
    // `w >= length or h >= length` yields the first true operand, or the last.
    Ref wide = compare(w, length, Py_GE);
    if (truth(wide)) {
        return wide;
    }
    return compare(h, length, Py_GE);
}

Ref contour_is_too_big_body(PyObject* cnt, PyObject* area) {
    Ref contour_area = call(cv(QS("contourArea")), {cnt});
    return compare(contour_area, area, Py_GE);
}

const FuncDef kContourIsTooLong = define<contour_is_too_long_body>("contour_is_too_long", "contour_is_too_long", 570,
                                                                   {{"cnt"}, {"length"}})
    .returning("bool")
    .with_locals({"_x", "_y", "w", "h"});

const FuncDef kContourIsTooBig = define<contour_is_too_big_body>(
    "contour_is_too_big", "contour_is_too_big", 580, {{"cnt"}, {"area", "'float'", nullptr, Conversion::to_float}})
    .returning("bool")
    .with_locals({"a"});

}  // namespace

void register_judges(Definitions& d) {
    d.function(kContourIsTooLong);
    d.function(kContourIsTooBig);
}

}  // namespace qel
