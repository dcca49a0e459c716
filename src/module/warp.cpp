// Turning an image about a point.
#include "warp.hpp"

#include "cv_input.hpp"
#include "names.hpp"

namespace qel {

Ref rotate_about(Obj image, Obj cx, Obj cy, Obj angle, Obj width, Obj height, Border border,
                 const char* function) {
    Ref get_rotation_matrix = cv(QS("getRotationMatrix2D"));
    Ref center = tuple_of({cx, cy});
    Ref matrix = call(get_rotation_matrix, {center, angle, integer(1)});
    check_cv_image(image, function, "image");
    Ref warp_affine = cv(QS("warpAffine"));
    Ref size = tuple_of({width, height});
    if (border == Border::unsaid) {
        return call(warp_affine, {image, matrix, size});
    }
    return call(warp_affine, {image, matrix, size},
                {{QS("borderMode"), cv(QS("BORDER_CONSTANT"))}, {QS("borderValue"), integer(0)}});
}

}  // namespace qel
