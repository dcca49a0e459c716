// ShiftComparator: compare a target with a kept standard, forgiving small shifts.
#pragma once
#include "../module/startup.hpp"

namespace qel {
void register_shift_comparator(Definitions& d);
}
