// The circle subsystem's definitions.
#include "circle_peeler.hpp"
#include "fitting_circle.hpp"

namespace qel {

void register_circle(Definitions& d) {
    register_fitting_circle(d);
    register_circle_peeler(d);
}

}  // namespace qel
