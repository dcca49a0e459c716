// Arrays that OpenCV's Python binding cannot be given safely.
#pragma once
#include "ref.hpp"

namespace qel {

/// Raise ValueError if `value` is an ndarray of 3 dimensions whose last axis is
/// empty. The binding takes such an array for an image of 512 channels over a
/// buffer that holds none, and a function that works on every channel
/// (threshold, warpAffine, ...) then reads far past its end and can crash.
/// `function` and `param` name the argument in the message.
void check_cv_image(Obj value, const char* function, const char* param);

}  // namespace qel
