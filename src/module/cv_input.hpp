// Arrays that OpenCV's Python binding cannot be given safely.
#pragma once
#include "ref.hpp"

namespace qel {

/// Raise ValueError if `value` is an ndarray with rows and columns but an empty
/// axis after them (h x w x 0, h x w x 1 x 0, ...). The binding takes such an
/// array for an image of many channels over a buffer that holds none, and a
/// function that works on every channel (threshold, warpAffine, ...) then
/// reads far past its end and can crash.
/// `function` and `param` name the argument in the message.
void check_cv_image(Obj value, const char* function, const char* param);

/// `polygons` itself, or a new list without the polygons that hold no point:
/// such a polygon covers nothing, and OpenCV's fillPoly reads a first point
/// that is not there.
Ref without_empty_polygons(Obj polygons);

}  // namespace qel
