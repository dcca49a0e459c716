// Synthetic traceback entries in the form callers have always seen.
#pragma once
#include "ref.hpp"

namespace qel {

/// Add the entry `File "qel_cv.py", line <line>, in <qualified_name>` to the
/// current error (a Python frame whose globals are the module namespace).
void add_traceback(const char* qualified_name, int line);

}  // namespace qel
