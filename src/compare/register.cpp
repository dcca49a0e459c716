// The comparison subsystem's definitions.
#include "result_model.hpp"

namespace qel {

void register_compare(Definitions& d) { register_result_model(d); }

}  // namespace qel
