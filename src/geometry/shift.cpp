// translate, translate_and_rotate and compare_image_difference: whole-image
// moves through OpenCV's affine warp, and the one-sided difference test the
// shift comparator is built on.
#include "shift.hpp"

#include "../module/cv_input.hpp"
#include "../module/names.hpp"

namespace qel {

namespace {

/// `_cv.warpAffine(source, m, (image.shape[1], image.shape[0]), borderMode=border_mode)`
Ref warp_to_size_of(Obj source, Obj image, Obj matrix, Obj border_mode, const char* function) {
    // An image without channels would make OpenCV read past its buffer.
    check_cv_image(source, function, "image");
    Ref warp = cv(QS("warpAffine"));
    Ref width = item(attr(image, QS("shape")), 1);
    Ref height = item(attr(image, QS("shape")), 0);
    Ref size = tuple_of({width, height});
    return call(warp, {source, matrix, size}, {{QS("borderMode"), border_mode}});
}

Ref translate_body(PyObject* image, PyObject* right, PyObject* down, PyObject* border_mode) {
    Ref float32 = np(QS("float32"));
    Ref zero = integer(0);
    Ref one = integer(1);
    Ref rows = list_of({list_of({one, zero, right}), list_of({zero, one, down})});
    Ref m = call(float32, {rows});
    Ref shifted = warp_to_size_of(image, image, m, border_mode, "translate");
    return shifted;
}

Ref translate_and_rotate_body(PyObject* image, PyObject* old_center, PyObject* new_center, PyObject* angle,
                              PyObject* border_mode) {
    // C++ leaves the order of argument evaluation open; Python's left-to-right
    // order decides which error a caller sees, so each operand is its own step.
    Ref new_x = item(new_center, 0);
    Ref right = sub(new_x, item(old_center, 0));
    Ref new_y = item(new_center, 1);
    Ref down = sub(new_y, item(old_center, 1));
    // The shift always fills with translate's own default border; the
    // caller's border mode only applies to the corners the rotation uncovers.
    Ref translated = call(global(QS("translate")), {image, right, down});
    Ref matrix = call(cv(QS("getRotationMatrix2D")), {new_center, angle, integer(1)});
    Ref rotated = warp_to_size_of(translated, image, matrix, border_mode, "translate_and_rotate");
    return rotated;
}

Ref compare_image_difference_body(PyObject* std_image, PyObject* tgt_image, PyObject* threshold) {
    Ref diff = sub(std_image, tgt_image);
    Ref zero = integer(0);
    Ref result;
    if (compare_true(threshold, zero, Py_GE)) {
        result = compare(diff, threshold, Py_GT);
    } else {
        result = compare(diff, threshold, Py_LT);
    }
    return result;
}

const FuncDef kCompareImageDifference = define<compare_image_difference_body>(
    "compare_image_difference", "compare_image_difference", 420, {{"std_image"}, {"tgt_image"}, {"threshold"}})
    .with_locals({"diff", "result"});

const FuncDef kTranslate = define<translate_body>(
    "translate", "translate", 440, {{"image"}, {"right"}, {"down"}, {"border_mode", nullptr, "_cv.BORDER_REPLICATE"}})
    .with_locals({"m", "shifted"})
    .with_doc("\n"
              "\t对图片执行平移操作，返回平移后的新图片。\n"
              "\t:param image: 源图片\n"
              "\t:param right: 向右边平移量；如果向左移，传入负数\n"
              "\t:param down: 向下方平移量；如果向上移，传入负数\n"
              "\t:param border_mode: 平移时产生的黑洞如何填补，见 cv2.warpAffine 函数的 borderMode 参数\n"
              "\t:return: 执行平移后的新图片\n"
              "\t");

const FuncDef kTranslateAndRotate = define<translate_and_rotate_body>(
    "translate_and_rotate", "translate_and_rotate", 460,
    {{"image", "_np.ndarray"},
     {"old_center", "_Sequence[int]"},
     {"new_center", "_Sequence[int]"},
     {"angle", "'float'", nullptr, Conversion::to_float},
     {"border_mode", nullptr, "_cv.BORDER_REPLICATE"}})
    .with_locals({"right", "translated"})
    .with_doc("\n"
              "\t根据旧中心坐标和新中心坐标，执行指定角度的平移和旋转。\n"
              "\t:param image: 源图片\n"
              "\t:param old_center: 旧中心点坐标\n"
              "\t:param new_center: 新中心点坐标\n"
              "\t:param angle: 旋转角度，单位是度；顺时针方向为负，逆时针方向为正\n"
              "\t:param border_mode: 平移时产生的黑洞如何填补，见 cv2.warpAffine 函数的 borderMode 参数\n"
              "\t:return: 平移且旋转后的图片\n"
              "\t");

}  // namespace

void register_shift(Definitions& d) {
    d.function(kCompareImageDifference);
    d.function(kTranslate);
    d.function(kTranslateAndRotate);
}

}  // namespace qel
