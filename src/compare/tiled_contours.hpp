// The outer contours of a mask whose rows with pixels are known, searched in
// tiles instead of over the whole image.
#pragma once
#include "shift_pass.hpp"

namespace qel {

/// The guard of the contour search (`_cv.findContours` with RETR_EXTERNAL and
/// CHAIN_APPROX_NONE): while it holds, an empty mask is known to have no
/// contour, and a mask may be searched in tiles.
FastPath& contour_search();

/// The list `findContours(mask, RETR_EXTERNAL, CHAIN_APPROX_NONE)` gives,
/// found in tiles: rectangles holding whole components (cut along empty rows,
/// then along columns empty over a band), packed side by side with zeros
/// between them and searched at once, each contour moved back by its tile's
/// offset. The search pads the image with zeros, so a tile traces its
/// components as the whole image does, and it lists contours in descending
/// order of their first point (row, then column), which the merge restores.
/// NULL when the mask has no row spans or the search has been rebound.
Ref tiled_contours(const Mask& mask);

}  // namespace qel
