// contour_is_too_long and contour_is_too_big: the two stock judges a
// comparator can call once per candidate contour.
#include "judges.hpp"

#include "../module/names.hpp"
#include "../module/unpack.hpp"

namespace qel {

namespace {

Ref contour_is_too_long_body(Args a) {
    PyObject* cnt = a[0];
    Ref length = Ref::borrow(a[1]);
    auto [x, y, w, h] = unpack<4>(call(cv(QS("boundingRect")), {cnt}));
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

Ref contour_is_too_big_body(Args a) {
    Ref area = call(cv(QS("contourArea")), {a[0]});
    return compare(area, a[1], Py_GE);
}

const FuncDef kContourIsTooLong{
    .name = "contour_is_too_long", .qualname = "contour_is_too_long", .line = 570,
    .params = {{"cnt"}, {"length"}}, .returns = "bool",
    .locals = {"_x", "_y", "w", "h"},
    .body = contour_is_too_long_body,
};

const FuncDef kContourIsTooBig{
    .name = "contour_is_too_big", .qualname = "contour_is_too_big", .line = 580,
    .params = {{"cnt"}, {"area", "'float'"}}, .returns = "bool",
    .locals = {"a"},
    .body = contour_is_too_big_body,
};

}  // namespace

void register_judges(Definitions& d) {
    d.function(kContourIsTooLong);
    d.function(kContourIsTooBig);
}

}  // namespace qel
