// The contour judges: is one contour of differing pixels a defect?
#pragma once
#include "../module/startup.hpp"

namespace qel {
void register_judges(Definitions& d);
}
