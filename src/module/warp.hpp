// Turning an image about a point with OpenCV's affine warp, as the barcode
// and geometry subsystems both do.
#pragma once
#include "ref.hpp"

namespace qel {

/// How the border arguments of the warp are written (both leave the pixels
/// the turn uncovers at 0).
enum class Border {
    unsaid,         // no border arguments: warpAffine's own default
    explicit_zero,  // borderMode=_cv.BORDER_CONSTANT, borderValue=0
};

/// `_cv.warpAffine(image, _cv.getRotationMatrix2D((cx, cy), angle, 1), (width, height))`,
/// with the border arguments `border` asks for; the names are looked up in that
/// order. `function` names the caller in the error for an image without
/// channels (which would make OpenCV read past its buffer).
Ref rotate_about(Obj image, Obj cx, Obj cy, Obj angle, Obj width, Obj height, Border border,
                 const char* function);

}  // namespace qel
