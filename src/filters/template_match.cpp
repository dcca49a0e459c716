// Template matching by normalised correlation, narrowed to a clamped region.
#include "template_match.hpp"

#include "../module/names.hpp"
#include "../module/unpack.hpp"

namespace qel {

namespace {

Ref template_match_point(PyObject* image, PyObject* templ, PyObject* region, PyObject* point_position,
                         PyObject* threshold) {

    Ref x1, y1, subimage;
    if (region == Py_None) {
        x1 = integer(0);
        y1 = integer(0);
        subimage = Ref::borrow(image);
    } else {
        auto [rx1, ry1, rx2, ry2] = unpack<4>(region);
        Ref shape = attr(image, QS("shape"));
        Ref two = integer(2);
        Ref head = item(shape, slice(Py_None, two));
        auto [max_y, max_x] = unpack<2>(head);
        // Only the lower corner is raised and only the upper corner lowered:
        // a negative x2/y2 keeps counting from the far edge, as slicing does.
        Ref zero = integer(0);
        if (compare_true(rx1, zero, Py_LT)) {
            rx1 = integer(0);
        }
        if (compare_true(ry1, zero, Py_LT)) {
            ry1 = integer(0);
        }
        if (compare_true(rx2, max_x, Py_GT)) {
            rx2 = max_x.copy();
        }
        if (compare_true(ry2, max_y, Py_GT)) {
            ry2 = max_y.copy();
        }
        subimage = crop(image, rx1, ry1, rx2, ry2);
        x1 = std::move(rx1);
        y1 = std::move(ry1);
    }
    Ref method = cv(QS("TM_CCOEFF_NORMED"));
    Ref result = call(cv(QS("matchTemplate")), {subimage, templ, method});
    Ref extremes = call(cv(QS("minMaxLoc")), {result});
    auto [min_val, max_val, min_loc, max_loc] = unpack<4>(extremes);
    // One operand a step: Python's left-to-right order picks the error.
    Ref loc_x = item(max_loc, 0);
    Ref x = add(add(loc_x, item(point_position, 0)), x1);
    Ref loc_y = item(max_loc, 1);
    Ref y = add(add(loc_y, item(point_position, 1)), y1);
    Ref location = list_of({x, y});
    if (compare_true(max_val, threshold, Py_LT)) {
        location = none();
    }
    return tuple_of({max_val, location});
}

const FuncDef kTemplateMatchPoint = define<template_match_point>(
    "template_match_point", "template_match_point", 180,
    {{"image", "_np.ndarray"},
     {"template", "_np.ndarray"},
     {"region", "_Sequence[int]", "None"},
     {"point_position", "_Union[_List[int], _Tuple[int]]", "(0, 0)"},
     {"threshold", "'float'", "0.0", Conversion::to_float}})
    .with_locals({"x1", "y1", "subimage", "x2", "y2", "max_y", "max_x", "method", "result", "min_val", "max_val",
                  "min_loc", "max_loc", "location"})
    .with_doc("通过模板匹配（cv2.matchTemplate），找到大图片中的目标区域（目标点）。模板匹配算法使用TM_CCOEFF_NORMED。\n"
              "\timage: 需要从中搜索的大图\n"
              "\ttemplate: 模板小图\n"
              "\tregion: 用于缩小搜索范围。如果为None，表示搜索整个大图。范围的指定使用对角坐标格式。\n"
              "\tpoint_position: 如果搜索的是目标点，指出点在模板中的坐标\n"
              "\tthreshold: 最小模板匹配度。如果搜索到的最大匹配区域与模板的匹配度小于此值，表示没有搜索到目标\n"
              "\tReturnValue: 最大匹配值（[0, 1]），最大匹配值对应的点在大图中的坐标\n"
              "\t");

}  // namespace

void register_template_match(Definitions& d) { d.function(kTemplateMatchPoint); }

}  // namespace qel
