// OpenCV-version adaptations: every contour search and every minimum-area
// rectangle goes through here, so all callers see the 3-series forms.
#pragma once
#include "ops.hpp"

namespace qel {

struct Contours {
    Ref contours;   // always a list, as the 3 series returned it
    Ref hierarchy;
};

/// `_img, contours, hierarchy = _cv.findContours(image, mode, method)`,
/// accepting both the 3-value and the 2-value result forms. With
/// `as_keywords`, mode and method are passed as `mode=` and `method=`.
Contours find_contours(Obj image, Obj mode, Obj method, bool as_keywords = false);

/// `_cv.boundingRect(points)`. A contour as the search returns it (an int32
/// N x 1 x 2 array) is measured in place while `_cv.boundingRect` is the
/// original: the same (x, y, w, h) without a library call, which would hand
/// the GIL to another thread and wait to get it back.
Ref bounding_rect(Obj points);

/// `_cv.minAreaRect(points)` as ((cx, cy), (w, h), angle) with the angle in
/// [-90, 0): later releases report (0, 90], which is folded back by turning
/// the rectangle a quarter and swapping its sides.
Ref min_area_rect(Obj points);

}  // namespace qel
