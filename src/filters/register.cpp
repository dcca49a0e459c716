// The filters subsystem's definitions.
#include "value_bands.hpp"

namespace qel {

void register_filters(Definitions& d) {
    register_value_bands(d);
}

}  // namespace qel
