// The filters subsystem's definitions.
#include "template_match.hpp"

namespace qel {

void register_filters(Definitions& d) { register_template_match(d); }

}  // namespace qel
