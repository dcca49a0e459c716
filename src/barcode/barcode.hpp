// Registration of the barcode subsystem's definitions, one concept per file.
#pragma once
#include "../module/startup.hpp"

namespace qel {
void register_bar_detection(Definitions& d);
void register_rotation(Definitions& d);
void register_cmp_rect(Definitions& d);
void register_barcode_pipeline(Definitions& d);
}  // namespace qel
