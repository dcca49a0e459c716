// The comparison result model: NGRegion and CompareResult.
#pragma once
#include "../module/startup.hpp"

namespace qel {
void register_result_model(Definitions& d);
}
