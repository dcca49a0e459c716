// The least-squares circle: FittingCircle.
#pragma once
#include "../module/startup.hpp"

namespace qel {
void register_fitting_circle(Definitions& d);
}
