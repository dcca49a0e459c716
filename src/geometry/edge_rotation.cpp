// Edge-horizontal rotation: turn an image so that the long (or short) edge of
// a contour's minimum-area rectangle lies parallel to the X axis.
#include "../module/cv.hpp"
#include "../module/names.hpp"
#include "../module/unpack.hpp"
#include "../module/warp.hpp"
#include "utilities.hpp"

namespace qel {

namespace {

Ref rotate_to_make_edge_horizontal(PyObject* image, PyObject* contour, PyObject* use_long_edge) {
    // Angles in the 3-series convention, [-90, 0), whatever cv2 is installed.
    Ref min_rect = min_area_rect(contour);
    Ref shape = attr(image, QS("shape"));
    Ref head = item(shape, slice(none(), integer(2)));
    auto [cur_height, cur_width] = unpack<2>(head);
    auto [center_x, center_y] = unpack<2>(item(min_rect, 0));
    Ref angle = item(min_rect, 2);
    Ref width = item(item(min_rect, 1), 0);
    Ref height = item(item(min_rect, 1), 1);
    // `(use_long_edge and height > width) or (not use_long_edge and height < width)`:
    // the truth of use_long_edge is taken again for the second half, as there.
    bool turn = truth(use_long_edge) && compare_true(height, width, Py_GT);
    if (!turn) {
        turn = !truth(use_long_edge) && compare_true(height, width, Py_LT);
    }
    if (turn) {
        Ref quarter = integer(90);
        angle = add(angle, quarter);
    }
    // The rotation applied to the source size, OpenCV's default interpolation,
    // uncovered pixels 0: the rotated image the documentation promises.
    return rotate_about(image, center_x, center_y, angle, cur_width, cur_height, Border::unsaid,
                        "rotate_to_make_edge_horizontal");
}

const FuncDef kRotateToMakeEdgeHorizontal = define<rotate_to_make_edge_horizontal>(
    "rotate_to_make_edge_horizontal", "rotate_to_make_edge_horizontal", 280, {{"image", "_np.ndarray"}, {"contour"}, {"use_long_edge", "bool", "True"}})
    .with_locals({"min_rect", "cur_height", "cur_width", "center_x", "center_y", "angle", "width", "height",
                  "rotate_matrix", "rotated"})
    .with_doc("\n\t旋转给定的图片和图片上找到的一个轮廓，使得旋转后的新轮廓最小外接矩形长边（或短边）与 X 轴平行。"
              "\n\t:param image: 给定的图片\n\t:param contour: 给定图片上的一个轮廓"
              "\n\t:param use_long_edge: True 意味着要长边与 X 轴平行，否则是要短边与 X 轴平行"
              "\n\t:return: 旋转后的图片\n\t");

}  // namespace

void register_edge_rotation(Definitions& d) { d.function(kRotateToMakeEdgeHorizontal); }

}  // namespace qel
