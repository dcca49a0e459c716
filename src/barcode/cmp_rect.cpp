// The comparison rectangle of a rotation-corrected print: the union of its
// bars, starting at the middle row of the top-most bar.
#include "barcode.hpp"

#include "../module/names.hpp"
#include "../module/unpack.hpp"

namespace qel {

namespace {

Ref cmp_rect_after_rotate_correcting(PyObject* image, PyObject* aoi) {
    Ref detected = call(global(QS("find_barcode_contours")), {image, aoi});
    auto [bars, threshold] = unpack<2>(detected);
    Ref shape = attr(image, QS("shape"));
    Ref head = item(shape, slice(Py_None, integer(2)));
    auto [h, w] = unpack<2>(head);
    Ref min_x = w.copy();
    Ref min_y = h.copy();
    Ref max_x = integer(0);
    Ref max_y = integer(0);

    Iter it(bars);
    while (Ref bar = it.next()) {
        Ref rect = call(cv(QS("boundingRect")), {bar});
        auto [x, y, bw, bh] = unpack<4>(rect);
        if (compare_true(x, min_x, Py_LT)) {
            min_x = x.copy();
        }
        Ref right = add(x, bw);
        if (compare_true(right, max_x, Py_GT)) {
            max_x = std::move(right);
        }
        if (compare_true(y, min_y, Py_LT)) {
            min_y = y.copy();
        }
        Ref bottom = add(y, bh);
        if (compare_true(bottom, max_y, Py_GT)) {
            max_y = std::move(bottom);
        }
    }
    // The callee is looked up before its argument is evaluated, as in Python.
    Ref bounding_rect = cv(QS("boundingRect"));
    Ref top_rect = call(bounding_rect, {item(bars, 0)});
    auto [tx, ty, tw, th] = unpack<4>(top_rect);
    Ref cut_y = floor_div(th, integer(2));
    auto [x_shift, y_shift, x2, y2] = unpack<4>(aoi);
    return tuple_of({add(min_x, x_shift), add(add(min_y, cut_y), y_shift), sub(max_x, min_x), sub(max_y, min_y)});
}

const FuncDef kCmpRect = define<cmp_rect_after_rotate_correcting>(
    "cmp_rect_after_rotate_correcting", "cmp_rect_after_rotate_correcting", 820, {{"image", "_np.ndarray"}, {"aoi"}})
    .with_locals({"bars", "_threshold", "h", "w", "min_x", "min_y", "max_x", "max_y", "bar", "x", "y", "_x", "_y",
                  "_w", "cut_y", "x_shift", "y_shift", "x2", "y2"});

}  // namespace

void register_cmp_rect(Definitions& d) { d.function(kCmpRect); }

}  // namespace qel
