// The geometry subsystem's definitions.
#include "../module/startup.hpp"

namespace qel {

void register_geometry(Definitions& d) { (void)d; }

}  // namespace qel
