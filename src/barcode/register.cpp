// The barcode subsystem's definitions.
#include "barcode.hpp"

namespace qel {

void register_barcode(Definitions& d) {
    register_bar_detection(d);
    register_rotation(d);
    register_cmp_rect(d);
    register_barcode_pipeline(d);
}

}  // namespace qel
