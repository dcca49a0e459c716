// Shifting, shift-and-rotate and one-sided pixel difference.
#pragma once
#include "../module/startup.hpp"

namespace qel {
void register_shift(Definitions& d);
}
