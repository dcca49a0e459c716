// CirclePeeler: fits a circle to the outline of the bright (or dark) blobs of
// an image, then refines it pass by pass, each pass blacking out the previous
// fit's disk and refitting to what still reaches beyond it.
#include "circle_peeler.hpp"

#include "../module/cv.hpp"
#include "../module/cv_input.hpp"
#include "../module/names.hpp"
#include "../module/unpack.hpp"

namespace qel {

namespace {

// --- __init__ -------------------------------------------------------------------

Ref init(PyObject* self, PyObject* image, PyObject* threshold, PyObject* thresh_type, PyObject* min_area) {
    set_attr(self, QS("_CirclePeeler__threshold"), threshold);
    set_attr(self, QS("_CirclePeeler__thresh_type"), thresh_type);

    check_cv_image(image, "CirclePeeler", "image");
    Ref threshold_fn = cv(QS("threshold"));
    Ref maxval = integer(255);
    Ref thresholded =
        call(threshold_fn, {image}, {{QS("thresh"), threshold}, {QS("maxval"), maxval}, {QS("type"), thresh_type}});
    auto [value, th_img] = unpack<2>(thresholded);

    Contours found = find_contours(th_img, cv(QS("RETR_EXTERNAL")), cv(QS("CHAIN_APPROX_NONE")), true);
    Ref big_contours = list_of({});
    Iter it(found.contours);
    while (Ref cnt = it.next()) {
        Ref area = call(cv(QS("contourArea")), {cnt});
        if (compare_true(area, min_area, Py_GE)) {
            list_append(big_contours, cnt);
        }
    }
    set_attr(self, QS("_CirclePeeler__contours"), big_contours);
    Ref shape = attr(image, QS("shape"));
    set_attr(self, QS("_CirclePeeler__shape"), item(shape, slice(none(), integer(2))));
    return none();
}

const FuncDef kInit = define<init>("__init__", "CirclePeeler.__init__", 65,
                                   {{"self"},
                                    {"image", "_np.ndarray"},
                                    {"threshold", "'int'"},
                                    {"thresh_type", "'int'", "_cv.THRESH_BINARY"},
                                    {"min_area", "'int'", "0"}})
    .with_locals({"_value", "th_img", "_img", "contours", "_h", "big_contours", "cnt"})
    .with_doc("\n"
              "\t\t:param image: 灰度图片\n"
              "\t\t:param threshold: 二值化参数 threshold，这个类使用 cv2.threshold 函数来执行二值化操作\n"
              "\t\t:param thresh_type: 二值化 type 参数，一般是 cv2.THRESH_BINARY 或者是 cv2.THRESH_BINARY_INV\n"
              "\t\t:param min_area: 使用轮廓最小面积来过滤掉噪点，如果一些采样到的点聚合成的图形轮廓面积小于这个值，将被丢弃\n"
              "\t\t");

// --- peel -------------------------------------------------------------------------

/// Every boundary pixel of every contour, as the (x, y) row `pnt[0]` of the
/// contour's N x 1 x 2 array, in contour order.
Ref contour_points(Obj contours) {
    Ref points = list_of({});
    Iter contour_it(contours.p);
    while (Ref cnt = contour_it.next()) {
        Iter row_it(cnt);
        while (Ref pnt = row_it.next()) {
            list_append(points, item(pnt, 0));
        }
    }
    return points;
}

Ref peel(PyObject* self, PyObject* iteration) {
    Ref circle = none();
    Ref center = tuple_of({integer(-1), integer(-1)});
    Ref radius = integer(0);

    Ref zeros_fn = np(QS("zeros"));
    Ref shape = attr(self, QS("_CirclePeeler__shape"));
    Ref zeros = call(zeros_fn, {shape}, {{QS("dtype"), np(QS("uint8"))}});
    Ref fill_poly = cv(QS("fillPoly"));
    Ref contours = without_empty_polygons(attr(self, QS("_CirclePeeler__contours")));
    Ref white = integer(255);
    Ref image = call(fill_poly, {zeros, contours, white});

    Ref black = integer(0);
    Ref filled = integer(-1);
    Ref one = integer(1);
    Ref passes = call(global(QS("range")), {iteration});
    Iter pass_it(passes);
    while (Ref i = pass_it.next()) {
        // Black out the previous fit's disk; the first pass's (-1, -1), 0
        // lies outside the image and leaves the mask as it is.
        Ref circle_fn = cv(QS("circle"));
        call(circle_fn, {image, center, radius}, {{QS("color"), black}, {QS("thickness"), filled}});

        Ref imwrite = cv(QS("imwrite"));
        Ref number = add(i, one);
        Ref file_name = check(PyNumber_Remainder(QS("Peeler %d.bmp"), number.get()));
        call(imwrite, {file_name, image});  // the write's result is not examined

        Contours found = find_contours(image, cv(QS("RETR_EXTERNAL")), cv(QS("CHAIN_APPROX_NONE")));
        Ref points = contour_points(found.contours);
        circle = call(global(QS("FittingCircle")), {}, {{QS("points"), points}});

        auto [x, y] = unpack<2>(attr(circle, QS("center")));
        // `(int(x), int(y))` and `int(circle.radius)`: each `int` looked up
        // before its argument is read.
        Ref cx = int_of(global(QS("int")), x);
        Ref cy = int_of(global(QS("int")), y);
        center = tuple_of({cx, cy});
        Ref int_fn = global(QS("int"));
        radius = int_of(int_fn, attr(circle, QS("radius")));
    }
    return circle;
}

const FuncDef kPeel = define<peel>("peel", "CirclePeeler.peel", 90, {{"self"}, {"iteration", "'int'"}})
    .returning("FittingCircle")
    .with_locals({"circle", "center", "radius", "zeros", "image", "i", "_img", "contours", "_hierarchy", "points",
                  "cnt", "pnt", "x", "y"});

const ClassDef kCirclePeeler{
    "CirclePeeler",
    {{Member::method, &kInit}, {Member::method, &kPeel}},
    "\n\t通过反复消减内周或（和）外周采样点来提高拟合圆的准确度。\n\t",
};

}  // namespace

void register_circle_peeler(Definitions& d) { d.klass(kCirclePeeler); }

}  // namespace qel
