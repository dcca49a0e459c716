// Circle peeling: CirclePeeler.
#pragma once
#include "../module/startup.hpp"

namespace qel {
void register_circle_peeler(Definitions& d);
}
