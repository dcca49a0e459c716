// The geometry subsystem's definitions.
#include "../module/startup.hpp"
#include "utilities.hpp"

namespace qel {

void register_geometry(Definitions& d) {
    register_geometry_utilities(d);
}

}  // namespace qel
