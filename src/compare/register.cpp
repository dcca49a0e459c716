// The comparison subsystem's definitions.
#include "judges.hpp"
#include "result_model.hpp"
#include "shift_comparator.hpp"

namespace qel {

void register_compare(Definitions& d) {
    register_result_model(d);
    register_judges(d);
    register_shift_comparator(d);
}

}  // namespace qel
