// The contour and pixel utilities of the geometry subsystem.
#include "utilities.hpp"

namespace qel {

void register_geometry_utilities(Definitions& d) {
    register_largest_contour(d);
    register_edge_rotation(d);
    register_vertical_profile(d);
    register_center_region(d);
}

}  // namespace qel
