// The geometry subsystem's definitions.
#include "shift.hpp"
#include "utilities.hpp"

namespace qel {

void register_geometry(Definitions& d) {
    register_shift(d);
    register_geometry_utilities(d);
}

}  // namespace qel
