// The value-band filters: take_middle, take_min_or_max, take_min, take_max.
#pragma once
#include "../module/startup.hpp"

namespace qel {
void register_value_bands(Definitions& d);
}
