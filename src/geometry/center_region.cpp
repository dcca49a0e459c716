// Centre-region extraction: erode a two-level mask pass by pass until nothing
// is left, and report the outer contours of the last pass that had any.
#include "../module/cv.hpp"
#include "../module/cv_input.hpp"
#include "../module/names.hpp"
#include "../module/unpack.hpp"
#include "utilities.hpp"

namespace qel {

namespace {

Contours outer_contours(Obj mask) {
    Ref mode = cv(QS("RETR_EXTERNAL"));
    Ref method = cv(QS("CHAIN_APPROX_NONE"));
    return find_contours(mask, mode, method);
}

Ref extract_center_contours(PyObject* src, PyObject* thresh, PyObject* step, PyObject* flag) {
    // Zero erosion iterations leave the mask as it is, so the loop below would
    // never end: refuse such a step up front.
    Ref one = integer(1);
    if (compare_true(step, one, Py_LT)) {
        raise(PyExc_ValueError, "extract_center_contours: step must be at least 1, got %R", step);
    }
    check_cv_image(src, "extract_center_contours", "src");
    Ref threshold = cv(QS("threshold"));
    auto [th, mask] = unpack<2>(call(threshold, {src, thresh, one, flag}));
    Ref bin_img = std::move(mask);
    Ref cnts = outer_contours(bin_img).contours;
    Ref last_cnts = cnts.copy();
    Ref ones = np(QS("ones"));
    Ref size = tuple_of({integer(3), integer(3)});
    Ref uint8 = np(QS("uint8"));
    Ref kernel = call(ones, {size}, {{QS("dtype"), uint8}});
    bool first = true;
    Ref zero_count = integer(0);
    LoopCheck back_edge;
    // `while len(cnts) > 0:`, the name looked up at each test.
    while (compare_true(len_of(global(QS("len")), cnts), zero_count, Py_GT)) {
        last_cnts = cnts.copy();
        Ref erode = cv(QS("erode"));
        bin_img = call(erode, {bin_img}, {{QS("kernel"), kernel}, {QS("iterations"), step}});
        if (first) {
            // Only now is the border frame drawn: in the first pass regions
            // touching the border keep that side, from here on they shrink.
            Ref shape = attr(src, QS("shape"));
            Ref head = item(shape, slice(none(), integer(2)));
            auto [h, w] = unpack<2>(head);
            Ref rectangle = cv(QS("rectangle"));
            Ref zero = integer(0);
            Ref origin = tuple_of({zero, zero});
            Ref corner = tuple_of({sub(w, one), sub(h, one)});
            bin_img = call(rectangle, {bin_img, origin, corner}, {{QS("color"), zero}, {QS("thickness"), one}});
            first = false;
        }
        cnts = outer_contours(bin_img).contours;
        back_edge();
    }
    return last_cnts;
}

const FuncDef kExtractCenterContours = define<extract_center_contours>(
    "extract_center_contours", "extract_center_contours", 940, {{"src", "_np.ndarray"}, {"thresh", "'int'"}, {"step", "'int'", "1"}, {"flag", "'int'", "_cv.THRESH_BINARY"}})
    .returning("_List")
    .with_locals({"_th", "bin_img", "_a", "cnts", "_h", "last_cnts", "kernel", "first", "h", "w"})
    .with_doc("\n\t找到一片区域的几何中心信息。这些信息包括位置、值。如果有多个大小不一的区域，只会返回最大那个（些）区域的信息。"
              "\n\t:param src: 源图片数据\n\t:param thresh: 划分区域的阈值\n\t:param step: 步长，默认为 1"
              "\n\t:param flag: 二值化方法的类型，通常时 cv2.THRESH_BINARY 或 cv2.THRESH_BINARY_INV。"
              "\n\t:return: 区域中心的信息。由于可能有多个区域，返回的是一个列表\n\t");

}  // namespace

void register_center_region(Definitions& d) { d.function(kExtractCenterContours); }

}  // namespace qel
