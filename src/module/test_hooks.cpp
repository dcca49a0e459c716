// Test builds only (QEL_TEST_HOOKS, the module in build/test_hooks): break the
// start-up tables as QEL_CV_TEST_HOOK asks, so that the tests see each start-up
// check fail the import, and make a body throw C++ exceptions. The module that
// is installed has none of it.
#include "startup.hpp"

#ifdef QEL_TEST_HOOKS

#include <cstdlib>
#include <new>
#include <stdexcept>
#include <string>

#include "fast_path.hpp"
#include "ops.hpp"

namespace qel {

namespace {

/// Throws the C++ exception `kind` names, as a bug deep in a body would.
Ref throwing_body(PyObject* /*cnt*/, PyObject* kind) {
    const std::string k = to_text(kind);
    if (k == "unset") {
        throw_error();  // no Python exception is set: a broken invariant
    }
    if (k == "bad_alloc") {
        throw std::bad_alloc();
    }
    if (k == "runtime_error") {
        throw std::runtime_error("a test failure");
    }
    throw 42;
}

Ref one_param(PyObject*) { return none(); }
Ref two_params(PyObject*, PyObject*) { return none(); }

const FuncDef kThrowing = define<throwing_body>("contour_is_too_long", "contour_is_too_long", 570,
                                                {{"cnt"}, {"length"}});
const FuncDef kSecondTranslate = define<one_param>("translate", "translate", 440, {{"image"}});
const FuncDef kOrphan = define<one_param>("orphan", "orphan", 1, {{"x"}});
const FuncDef kDefaultFirst = define<two_params>("take_min", "take_min", 160,
                                                 {{"src", nullptr, "None"}, {"max_value"}});
const FuncDef kSetter = define<two_params>("desc", "NGRegion.desc", 1, {{"self"}, {"value"}});
const ClassDef kSetterFirst{"NGRegion", {{Member::setter, &kSetter}}};
const FuncDef kMisspelledFloat = define<two_params>("contour_is_too_big", "contour_is_too_big", 580,
                                                    {{"cnt"}, {"area", "'flaot'", nullptr, Conversion::to_float}});
const FuncDef kUnconvertedFloat = define<two_params>("contour_is_too_big", "contour_is_too_big", 580,
                                                     {{"cnt"}, {"area", "'float'"}});

}  // namespace

void apply_test_hooks(Definitions& d) {
    const char* hook = std::getenv("QEL_CV_TEST_HOOK");
    const std::string h = hook == nullptr ? "" : hook;
    if (h.empty()) {
        return;
    }
    if (h == "missing") {
        d.withdraw("translate");
    } else if (h == "duplicate") {
        d.function(kSecondTranslate);
    } else if (h == "unnamed") {
        d.function(kOrphan);
    } else if (h == "default_order") {
        d.withdraw("take_min");
        d.function(kDefaultFirst);
    } else if (h == "setter_first") {
        d.withdraw("NGRegion");
        d.klass(kSetterFirst);
    } else if (h == "fast_path") {
        static FastPath unbound("a test path", {"translate", "no_such_name"});
    } else if (h == "misspelled_float") {
        d.withdraw("contour_is_too_big");
        d.function(kMisspelledFloat);
    } else if (h == "unconverted_float") {
        d.withdraw("contour_is_too_big");
        d.function(kUnconvertedFloat);
    } else if (h == "throw") {
        d.withdraw("contour_is_too_long");
        d.function(kThrowing);
    } else {
        raise(PyExc_ImportError, "qel_cv: unknown test hook '%s'", hook);
    }
}

}  // namespace qel

#else

namespace qel {

void apply_test_hooks(Definitions&) {}

}  // namespace qel

#endif
