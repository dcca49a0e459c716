// Locating a template, or a point of it, in a larger image.
#pragma once
#include "../module/startup.hpp"

namespace qel {
void register_template_match(Definitions& d);
}
