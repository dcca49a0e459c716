// Fast-path guards: names declared once, checked and recorded at start-up,
// compared at each call.
#include "fast_path.hpp"

#include <algorithm>
#include <cstring>
#include <string>

#include "names.hpp"

namespace qel {

std::vector<FastPath*>& FastPath::all() {
    static std::vector<FastPath*> paths;
    return paths;
}

void FastPath::enlist(FastPath* path) { all().push_back(path); }

bool FastPath::unchanged() const {
    if (module_dict() == nullptr) {
        return false;
    }
    for (size_t i = 0; i < count_; ++i) {
        const Entry& e = entries_[i];
        if (e.original == nullptr) {
            return false;  // not recorded: start-up has not finished
        }
        PyObject* now = resolve(e.scope);
        if (now == nullptr) {
            return false;
        }
        if (e.attribute == nullptr) {
            if (now != e.original) {
                return false;
            }
            continue;
        }
        if (now != e.scope_original) {
            return false;
        }
        Ref value = Ref::steal(PyObject_GetAttr(now, e.attribute));
        if (!value) {
            PyErr_Clear();
            return false;
        }
        if (value.get() != e.original) {
            return false;
        }
    }
    return true;
}

void check_fast_paths(const std::vector<const char*>& bound) {
    for (FastPath* path : FastPath::all()) {
        for (size_t i = 0; i < path->count_; ++i) {
            FastPath::Entry& e = path->entries_[i];
            // Interned once per process: the keys outlive every start-up.
            if (e.scope == nullptr) {
                const std::string spelled(e.spelled);
                const size_t dot = spelled.find('.');
                if (dot != std::string::npos && spelled.find('.', dot + 1) != std::string::npos) {
                    raise(PyExc_ImportError, "qel_cv: the fast path '%s' guards '%s': only a name or name.attribute "
                          "can be guarded", path->what_, e.spelled);
                }
                e.scope = intern_forever(spelled.substr(0, dot).c_str());
                e.attribute = dot == std::string::npos ? nullptr : intern_forever(spelled.substr(dot + 1).c_str());
            }
            const char* scope = PyUnicode_AsUTF8(e.scope);
            const bool in_table = std::any_of(bound.begin(), bound.end(),
                                              [&](const char* name) { return std::strcmp(name, scope) == 0; });
            if (!in_table && find_builtin(e.scope) == nullptr) {
                raise(PyExc_ImportError, "qel_cv: the fast path '%s' stands in for '%s', which neither the "
                      "namespace table nor the builtins bind", path->what_, e.spelled);
            }
        }
    }
}

void record_fast_paths() {
    for (FastPath* path : FastPath::all()) {
        for (size_t i = 0; i < path->count_; ++i) {
            FastPath::Entry& e = path->entries_[i];
            Ref scope = global(e.scope);
            if (e.attribute != nullptr) {
                Ref value = attr(scope, e.attribute);
                e.scope_original = scope.release();
                e.original = value.release();
            } else {
                e.original = scope.release();
            }
        }
    }
}

void forget_fast_paths() {
    for (FastPath* path : FastPath::all()) {
        for (size_t i = 0; i < path->count_; ++i) {
            Py_CLEAR(path->entries_[i].scope_original);
            Py_CLEAR(path->entries_[i].original);
        }
    }
}

}  // namespace qel
