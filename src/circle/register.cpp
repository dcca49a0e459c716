// The circle subsystem's definitions.
#include "../module/startup.hpp"

namespace qel {

void register_circle(Definitions& d) { (void)d; }

}  // namespace qel
