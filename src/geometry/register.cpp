// The geometry subsystem's definitions.
#include "shift.hpp"

namespace qel {

void register_geometry(Definitions& d) { register_shift(d); }

}  // namespace qel
