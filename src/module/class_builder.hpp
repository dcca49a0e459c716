// Classes from the static tables: ordinary Python classes made at start-up
// with `type(name, (), namespace)`.
#pragma once
#include "definition.hpp"

namespace qel {

/// Make the class for `def`, its members under their mangled keys: methods as
/// the module's function objects, static methods and properties wrapped by the
/// builtin `staticmethod` and `property`.
Ref make_class(const ClassDef& def);

}  // namespace qel
