// The filters subsystem's definitions.
#include "../module/startup.hpp"

namespace qel {

void register_filters(Definitions& d) { (void)d; }

}  // namespace qel
