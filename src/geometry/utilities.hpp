// Registration of the contour and pixel utilities of the geometry subsystem,
// one function per concept file, gathered by register_geometry_utilities.
#pragma once
#include "../module/startup.hpp"

namespace qel {

void register_largest_contour(Definitions& d);
void register_edge_rotation(Definitions& d);
void register_vertical_profile(Definitions& d);
void register_center_region(Definitions& d);

void register_geometry_utilities(Definitions& d);

}  // namespace qel
