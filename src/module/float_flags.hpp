// Floating-point exception flags around native loops.
#pragma once
#include <cfenv>

namespace qel {

/// Restores the thread's floating-point exception flags when it goes out of
/// scope. A native loop that compares NaN or overflows must not leave flags
/// behind: numpy reads them to decide its warnings for the caller's next
/// operation.
class PreservedFloatFlags {
public:
    PreservedFloatFlags() { std::fegetexceptflag(&saved_, FE_ALL_EXCEPT); }
    ~PreservedFloatFlags() { std::fesetexceptflag(&saved_, FE_ALL_EXCEPT); }
    PreservedFloatFlags(const PreservedFloatFlags&) = delete;
    PreservedFloatFlags& operator=(const PreservedFloatFlags&) = delete;

private:
    std::fexcept_t saved_;
};

}  // namespace qel
