// The filters subsystem's definitions.
#include "template_match.hpp"
#include "value_bands.hpp"

namespace qel {

void register_filters(Definitions& d) {
    register_value_bands(d);
    register_template_match(d);
}

}  // namespace qel
