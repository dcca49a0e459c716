// Fast-path guards: names declared once, checked and recorded at start-up,
// compared at each call.
#include "fast_path.hpp"

#include <algorithm>
#include <cstring>
#include <string>

#include "names.hpp"

namespace qel {

Watcher* g_watcher = nullptr;

std::vector<FastPath*>& FastPath::all() {
    static std::vector<FastPath*> paths;
    return paths;
}

const std::vector<FastPath*>& FastPath::every() { return all(); }

void FastPath::enlist(FastPath* path) { all().push_back(path); }

namespace {

/// A name asked for with `index` that its path does not guard.
struct UnguardedUse {
    const char* path;
    const char* name;
};

std::vector<UnguardedUse>& unguarded_uses() {
    static std::vector<UnguardedUse> uses;
    return uses;
}

/// The class's own attributes as a new dict.
Ref class_members(PyObject* type) {
    Ref members = check(PyDict_New());
    Ref proxy = attr(type, QS("__dict__"));
    check(PyDict_Merge(members.get(), proxy.get(), 1));
    return members;
}

/// Whether two dicts hold the same keys bound to the very same objects.
bool same_members(PyObject* a, PyObject* b) {
    if (PyDict_Size(a) != PyDict_Size(b)) {
        return false;
    }
    Py_ssize_t pos = 0;
    PyObject* key;
    PyObject* value;
    while (PyDict_Next(a, &pos, &key, &value)) {
        PyObject* other = PyDict_GetItemWithError(b, key);
        if (other != value) {
            PyErr_Clear();
            return false;
        }
    }
    return true;
}

}  // namespace

bool FastPath::class_unchanged(Entry& e) {
    PyTypeObject* type = reinterpret_cast<PyTypeObject*>(e.original);
    const unsigned int version = class_version(type);
    if (version != 0 && version == e.version) {
        return true;
    }
    // Changed and changed back (a test's monkeypatch undone, say) counts as
    // unchanged: the members are compared, and the new tag kept if they agree.
    if (version == 0 || e.members == nullptr) {
        return false;
    }
    try {
        Ref now = class_members(e.original);
        if (!same_members(now.get(), e.members)) {
            return false;
        }
    } catch (PyError&) {
        PyErr_Clear();
        return false;
    }
    e.version = version;
    return true;
}

size_t FastPath::index(const char* spelled) {
    for (size_t i = 0; i < count_; ++i) {
        if (std::strcmp(entries_[i].spelled, spelled) == 0) {
            return i;
        }
    }
    // Static initialisation cannot raise: start-up reports it.
    unguarded_uses().push_back({what_, spelled});
    return 0;
}

bool FastPath::covers(PyObject* name, PyObject* attribute) const {
    for (size_t i = 0; i < count_; ++i) {
        const Entry& e = entries_[i];
        // Both sides are interned; a guard that is not yet checked covers nothing.
        if (e.scope == name && e.attribute == attribute) {
            return true;
        }
    }
    for (const FastPath* p : included_) {
        if (p->covers(name, attribute)) {
            return true;
        }
    }
    return false;
}

void FastPath::covered_names(std::vector<const char*>& out) const {
    for (size_t i = 0; i < count_; ++i) {
        if (std::none_of(out.begin(), out.end(),
                         [&](const char* n) { return std::strcmp(n, entries_[i].spelled) == 0; })) {
            out.push_back(entries_[i].spelled);
        }
    }
    for (const FastPath* p : included_) {
        p->covered_names(out);
    }
}

bool FastPath::unchanged() {
    if (module_dict() == nullptr) {
        return false;
    }
    for (size_t i = 0; i < count_; ++i) {
        Entry& e = entries_[i];
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
            if (e.is_class && !class_unchanged(e)) {
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
    for (FastPath* p : included_) {
        if (!p->unchanged()) {
            return false;
        }
    }
    return true;
}

void check_fast_paths(const std::vector<const char*>& bound) {
    for (const UnguardedUse& use : unguarded_uses()) {
        raise(PyExc_ImportError, "qel_cv: the fast path '%s' uses '%s', which it does not guard", use.path, use.name);
    }
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
                // A class stands in for its members: any change to it (an
                // attribute set or deleted, here or on a base) changes its
                // tag. Without a tag the path is never taken.
                e.is_class = PyType_Check(scope.get());
                if (e.is_class) {
                    e.members = class_members(scope.get()).release();
                    e.version = class_version(reinterpret_cast<PyTypeObject*>(scope.get()));
                }
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
            Py_CLEAR(path->entries_[i].members);
            path->entries_[i].is_class = false;
            path->entries_[i].version = 0;
        }
    }
}

}  // namespace qel
