// One region of an image: the largest outer contour of a thresholded and
// cleaned image, masking by a polygon, and a contour as a polygon's points.
#include "../module/cv.hpp"
#include "../module/cv_input.hpp"
#include "../module/names.hpp"
#include "../module/numpy.hpp"
#include "../module/unpack.hpp"
#include "utilities.hpp"

namespace qel {

namespace {

/// `image = _cv.<op>(image, kernel=kernel, iterations=count)` when count > 0.
Ref morph_step(PyObject* op, Ref image, Obj kernel, Obj count) {
    Ref zero = integer(0);
    if (!compare_true(count, zero, Py_GT)) {
        return image;
    }
    Ref f = cv(op);
    return call(f, {image}, {{QS("kernel"), kernel}, {QS("iterations"), count}});
}

Ref get_max_area_contour(PyObject* image_given, PyObject* threshold, PyObject* threshold_type_given,
                         PyObject* pre_erode, PyObject* dilate, PyObject* post_erode) {
    // The body rebinds image and threshold_type, as the algorithm does.
    Ref image = Ref::borrow(image_given);
    Ref threshold_type = Ref::borrow(threshold_type_given);
    if (threshold == Py_None) {
        // `threshold_type | THRESH_OTSU`, never in place: a caller's mutable
        // number (a 0-d array) must not come back changed.
        Ref otsu = cv(QS("THRESH_OTSU"));
        threshold_type = check(PyNumber_Or(threshold_type.get(), otsu.get()));
    }
    check_cv_image(image, "get_max_area_contour", "image");
    Ref f = cv(QS("threshold"));
    Ref max_value = integer(255);
    auto [thd, thresholded] = unpack<2>(call(f, {image, threshold, max_value, threshold_type}));
    image = std::move(thresholded);
    Ref ones = np(QS("ones"));
    Ref size = tuple_of({integer(3), integer(3)});
    Ref dtype = attr(image, QS("dtype"));
    Ref kernel = call(ones, {size}, {{QS("dtype"), dtype}});
    image = morph_step(QS("erode"), std::move(image), kernel, pre_erode);
    image = morph_step(QS("dilate"), std::move(image), kernel, dilate);
    image = morph_step(QS("erode"), std::move(image), kernel, post_erode);

    Ref max_area = integer(0);
    Ref max_cnt = none();
    Contours found = find_contours(image, cv(QS("RETR_EXTERNAL")), cv(QS("CHAIN_APPROX_NONE")));
    Iter it(found.contours);
    while (Ref cnt = it.next()) {
        Ref area = call(cv(QS("contourArea")), {cnt});
        // Strictly greater: the first of equal areas wins, and area 0 never does.
        if (compare_true(area, max_area, Py_GT)) {
            max_area = std::move(area);
            max_cnt = std::move(cnt);
        }
    }
    return max_cnt;
}

/// Whether `pts`, the int32 array of the one polygon, holds no point.
bool no_points(Obj pts) { return PyArray_Check(pts.p) && PyArray_SIZE(reinterpret_cast<PyArrayObject*>(pts.p)) == 0; }

Ref extract_poly(PyObject* image, PyObject* poly, PyObject* outer_value) {
    check_cv_image(image, "extract_poly", "image");
    Ref shape = attr(image, QS("shape"));
    Ref itemsize = attr(attr(image, QS("dtype")), QS("itemsize"));
    Ref bits = mul(itemsize, integer(8));
    // The all-ones value of the element size: 255 for 8 bits, 65535 for 16.
    Ref max_value = sub(check(PyNumber_Lshift(integer(1).get(), bits.get())), integer(1));
    if (compare_true(len_of(global(QS("len")), shape), integer(3), Py_EQ)) {
        max_value = mul(list_of({max_value}), item(shape, 2));
    }
    Ref np_zeros = np(QS("zeros"));
    Ref dtype = attr(image, QS("dtype"));
    Ref zeros = call(np_zeros, {shape}, {{QS("dtype"), dtype}});
    if (truth(compare(outer_value, integer(0), Py_NE))) {
        zeros = check(PyNumber_InPlaceAdd(zeros.get(), outer_value));
    }
    Ref np_array = np(QS("array"));
    Ref wrapped = list_of({poly});
    Ref int32 = np(QS("int32"));
    Ref pts = call(np_array, {wrapped}, {{QS("dtype"), int32}});
    Ref frame;
    if (no_points(pts)) {
        // A polygon without points covers no pixel. OpenCV's fillPoly would
        // crash on it (it reads a first point that is not there).
        frame = std::move(zeros);
    } else {
        Ref fill_poly = cv(QS("fillPoly"));
        frame = call(fill_poly, {zeros, pts, max_value});
    }
    // A bitwise AND: outside the polygon this leaves outer_value & pixel.
    frame = check(PyNumber_InPlaceAnd(frame.get(), image));
    return frame;
}

Ref contour_to_point_list(PyObject* cnt) {
    Ref point_list = list_of({});
    Iter it(cnt);
    while (Ref point = it.next()) {
        list_append(point_list, item(point, 0));
    }
    return point_list;
}

const FuncDef kGetMaxAreaContour = define<get_max_area_contour>("get_max_area_contour", "get_max_area_contour", 230,
                                                                {{"image", "_np.ndarray"},
                                                                 {"threshold", nullptr, "None"},
                                                                 {"threshold_type", "'int'", "_cv.THRESH_BINARY"},
                                                                 {"pre_erode", "'int'", "0"},
                                                                 {"dilate", "'int'", "0"},
                                                                 {"post_erode", "'int'", "0"}})
    .with_locals({"_thd", "kernel", "max_area", "max_cnt", "_img", "cnts", "_hierarchy", "cnt", "area"});
const FuncDef kExtractPoly = define<extract_poly>(
    "extract_poly", "extract_poly", 260, {{"image", "_np.ndarray"}, {"poly", "_Sequence[_Sequence[int]]"}, {"outer_value", nullptr, "0"}})
    .returning("_np.ndarray")
    .with_locals({"shape", "max_value", "zeros", "pts", "frame"})
    .with_doc("\n\t从一张图片中抽取指定的区域，这个区域是一个由多个点确定的多边形。"
              "\n\t处于多边形内的点，值保持不变；处于多边形外的点，值变为0（或者是由 outer_value 指定的值）。"
              "\n\t:param image: 源图片\n\t:param poly: 由多个点对（x, y）作为元素的序列"
              "\n\t:param outer_value: 多边形外的点将被设为的值，default = 0\n\t:return: 新的图片\n\t");
const FuncDef kContourToPointList = define<contour_to_point_list>("contour_to_point_list", "contour_to_point_list", 920,
                                                                  {{"cnt", "_List[_List[_List[int]]]"}})
    .returning("_List[_List[int]]")
    .with_locals({"point_list", "point"})
    .with_doc("\n\t把一个轮廓（注意，是一个轮廓，不是从 findContours 返回的轮廓的列表）数据转换为可传递给 extract_poly 的点列表。"
              "\n\t:param cnt: 一个轮廓数据\n\t:return: 轮廓上的点所构成的列表\n\t");

}  // namespace

void register_largest_contour(Definitions& d) {
    d.function(kGetMaxAreaContour);
    d.function(kExtractPoly);
    d.function(kContourToPointList);
}

}  // namespace qel
