// Mask images a comparison hands only to the contour search: kept for the
// next comparison of the same size instead of freed, so a line of same-sized
// frames writes its masks into memory that is already mapped and warm.
#pragma once
#include "../module/ref.hpp"

namespace qel {

/// A C-contiguous uint8 array of shape (height, width) that no one else
/// holds, its pixels left as the last user wrote them. The GIL is held.
Ref take_mask(Py_ssize_t height, Py_ssize_t width);

/// Keep `mask` for a later take_mask, unless something else still holds it
/// (then it stays theirs). The GIL is held.
void give_back_mask(Ref mask);

}  // namespace qel
