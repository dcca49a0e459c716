// Test builds only (QEL_TEST_HOOKS, the module in build/test_hooks): break the
// start-up tables as QEL_CV_TEST_HOOK asks, so that the tests see each start-up
// check fail the import, and make a body throw C++ exceptions. It also watches
// the fast paths (what each generic region looks up, which paths are taken)
// and runs code between the passes of a comparison, reporting through the
// module `_qel_cv_test_hooks`. The module that is installed has none of it.
#include "startup.hpp"

#ifdef QEL_TEST_HOOKS

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "fast_path.hpp"
#include "ops.hpp"

namespace qel {

namespace {

// --- watching the fast paths -------------------------------------------------------

/// What was seen of one path while the tests ran.
struct PathRecord {
    long entered = 0;   // its generic region, in any state
    long recorded = 0;  // ... while the region applied and the guard held
    long taken = 0;     // its native path
    std::map<std::string, long> uncovered;  // names its guard does not cover, and how often
};

struct Region {
    FastPath* path;
    bool recording;
};

// The GIL guards the records; each thread has its own regions.
std::map<const FastPath*, PathRecord> g_records;
thread_local std::vector<Region> t_regions;
PyObject* g_between = nullptr;  // the code to run between the passes (owned), or NULL

bool covers_spelled(const FastPath& path, const std::string& name) {
    std::vector<const char*> names;
    path.covered_names(names);
    return std::any_of(names.begin(), names.end(), [&](const char* n) { return name == n; });
}

class TestWatcher final : public Watcher {
public:
    void entered(FastPath& path, bool applies) override {
        // Asked before the body asks: the guard as the fast path found it.
        const bool recording = applies && path.unchanged();
        t_regions.push_back({&path, recording});
        PathRecord& r = g_records[&path];
        ++r.entered;
        r.recorded += recording ? 1 : 0;
    }

    void left() override { t_regions.pop_back(); }

    void looked_up(PyObject* name, PyObject* attribute) override {
        for (const Region& r : t_regions) {
            if (r.recording && !r.path->covers(name, attribute)) {
                std::string spelled = PyUnicode_AsUTF8(name);
                if (attribute != nullptr) {
                    spelled += std::string(".") + PyUnicode_AsUTF8(attribute);
                }
                ++g_records[r.path].uncovered[spelled];
            }
        }
    }

    void taken(const FastPath& path, const FastPath* instead_of) override {
        ++g_records[&path].taken;
        // A fast path inside another's generic region stands in for names
        // that region would have looked up: the enclosing guards must cover them.
        std::vector<const char*> names;
        path.covered_names(names);
        for (const Region& r : t_regions) {
            for (const char* n : names) {
                if (r.recording && !covers_spelled(*r.path, n)) {
                    ++g_records[r.path].uncovered[n];
                }
            }
        }
        if (instead_of != nullptr) {
            std::vector<const char*> skipped;
            instead_of->covered_names(skipped);
            for (const char* n : skipped) {
                if (!covers_spelled(path, n)) {
                    ++g_records[&path].uncovered[n];
                }
            }
        }
    }

    void between_passes() override {
        if (g_between != nullptr) {
            Ref hook = Ref::borrow(g_between);  // the hook may replace itself
            call(hook, {});
        }
    }
};

TestWatcher g_test_watcher;

PyObject* hooks_fast_paths(PyObject*, PyObject*) {
    return guarded("_qel_cv_test_hooks.fast_paths", static_cast<PyObject*>(nullptr), [&] {
        Ref out = list_of({});
        for (const FastPath* path : FastPath::every()) {
            std::vector<const char*> names;
            path->covered_names(names);
            Ref spelled = check(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
            for (size_t i = 0; i < names.size(); ++i) {
                PyTuple_SET_ITEM(spelled.get(), static_cast<Py_ssize_t>(i), text(names[i]).release());
            }
            list_append(out, tuple_of({text(path->what()), spelled}));
        }
        return out.release();
    });
}

PyObject* hooks_records(PyObject*, PyObject*) {
    return guarded("_qel_cv_test_hooks.records", static_cast<PyObject*>(nullptr), [&] {
        Ref out = check(PyDict_New());
        for (const FastPath* path : FastPath::every()) {
            const PathRecord& r = g_records[path];
            Ref uncovered = check(PyDict_New());
            for (const auto& [name, count] : r.uncovered) {
                check(PyDict_SetItemString(uncovered.get(), name.c_str(), integer(count).get()));
            }
            Ref record = check(PyDict_New());
            check(PyDict_SetItemString(record.get(), "entered", integer(r.entered).get()));
            check(PyDict_SetItemString(record.get(), "recorded", integer(r.recorded).get()));
            check(PyDict_SetItemString(record.get(), "taken", integer(r.taken).get()));
            check(PyDict_SetItemString(record.get(), "uncovered", uncovered.get()));
            check(PyDict_SetItemString(out.get(), path->what(), record.get()));
        }
        return out.release();
    });
}

PyObject* hooks_between_passes(PyObject*, PyObject* hook) {
    Py_XSETREF(g_between, hook == Py_None ? nullptr : Ref::borrow(hook).release());
    Py_RETURN_NONE;
}

PyMethodDef kHooksMethods[] = {
    {"fast_paths", hooks_fast_paths, METH_NOARGS, "Every fast path: (what, the names its guard covers)."},
    {"records", hooks_records, METH_NOARGS,
     "Per fast path: how often its generic region was entered (and recorded), its native path taken, and the "
     "names looked up inside that its guard does not cover."},
    {"between_passes", hooks_between_passes, METH_O,
     "Call this (no arguments) between the two passes of every comparison; None: nothing."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef kHooksModule = {PyModuleDef_HEAD_INIT, "_qel_cv_test_hooks", nullptr, -1, kHooksMethods,
                            nullptr, nullptr, nullptr, nullptr};

/// Watch the fast paths from the first start-up on, and put the module that
/// reports on them where the tests import it from.
void install_watcher() {
    static PyObject* hooks = nullptr;  // lives as long as the process
    if (hooks == nullptr) {
        hooks = check(PyModule_Create(&kHooksModule)).release();
    }
    check(PyDict_SetItemString(PyImport_GetModuleDict(), "_qel_cv_test_hooks", hooks));
    g_watcher = &g_test_watcher;
}

// --- broken tables -------------------------------------------------------------------

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
    install_watcher();
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
    } else if (h == "unguarded_use") {
        static FastPath path("a test path", {"translate"});
        path.index("compare_image_difference");
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
