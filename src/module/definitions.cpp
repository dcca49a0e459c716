// The subsystems' definitions, and the start-up checks that hold them to the
// namespace table: a mismatch fails the import naming the culprit, never a
// silent skip or a crash at the first call.
#include <algorithm>
#include <cstring>

#include "startup.hpp"

namespace qel {

namespace {

bool same(const char* a, const char* b) { return std::strcmp(a, b) == 0; }

/// Parameters without a default lead; the binder and the reported
/// `__defaults__` both count on it.
void check_parameters(const FuncDef& def) {
    bool defaulted = false;
    for (const Param& p : def.params()) {
        if (p.default_value != nullptr) {
            defaulted = true;
        } else if (defaulted) {
            raise(PyExc_ImportError, "qel_cv: %s: the required parameter '%s' follows one with a default",
                  def.qualname, p.name);
        }
    }
}

/// A setter extends the property its getter made under the same name.
void check_class(const ClassDef& def) {
    for (size_t i = 0; i < def.members.size(); ++i) {
        const Member& m = def.members[i];
        check_parameters(*m.def);
        if (m.kind != Member::setter) {
            continue;
        }
        const bool has_getter = std::any_of(def.members.begin(), def.members.begin() + static_cast<long>(i),
                                            [&](const Member& g) {
                                                return g.kind == Member::getter && same(g.def->name, m.def->name);
                                            });
        if (!has_getter) {
            raise(PyExc_ImportError, "qel_cv: %s: a property setter comes before its getter", m.def->qualname);
        }
    }
}

}  // namespace

void Definitions::withdraw(const char* name) {
    entries_.erase(std::remove_if(entries_.begin(), entries_.end(), [&](const Entry& e) { return same(e.name, name); }),
                   entries_.end());
}

const Definitions::Entry& Definitions::find(const char* name) const {
    for (const Entry& e : entries_) {
        if (same(e.name, name)) {
            return e;
        }
    }
    fatal("qel_cv: a definition was looked up that start-up did not check");
}

void check_definitions(const Definitions& defs, const std::vector<const char*>& defined) {
    for (const char* name : defined) {
        const auto count = std::count_if(defs.entries().begin(), defs.entries().end(),
                                         [&](const Definitions::Entry& e) { return same(e.name, name); });
        if (count == 0) {
            raise(PyExc_ImportError, "qel_cv: '%s' is named by the namespace table but has no definition", name);
        }
        if (count > 1) {
            raise(PyExc_ImportError, "qel_cv: '%s' has %zd definitions", name, static_cast<Py_ssize_t>(count));
        }
    }
    for (const Definitions::Entry& e : defs.entries()) {
        if (std::none_of(defined.begin(), defined.end(), [&](const char* name) { return same(name, e.name); })) {
            raise(PyExc_ImportError, "qel_cv: the definition of '%s' is not named by the namespace table", e.name);
        }
        if (e.function != nullptr) {
            check_parameters(*e.function);
        } else {
            check_class(*e.klass);
        }
    }
}

}  // namespace qel
