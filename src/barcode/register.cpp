// The barcode subsystem's definitions.
#include "../module/startup.hpp"

namespace qel {

void register_barcode(Definitions& d) { (void)d; }

}  // namespace qel
