// Classes from the static tables, built the way a class statement builds them.
#include "class_builder.hpp"

#include <string>

#include "function.hpp"
#include "names.hpp"
#include "ops.hpp"

namespace qel {

namespace {

/// `__x` inside class `C` is stored as `_C__x`; dunder names are not mangled.
std::string mangled(const char* class_name, const char* name) {
    std::string n(name);
    if (n.size() > 2 && n.compare(0, 2, "__") == 0 && n.compare(n.size() - 2, 2, "__") != 0) {
        std::string c(class_name);
        c.erase(0, c.find_first_not_of('_'));
        return "_" + c + n;
    }
    return n;
}

}  // namespace

Ref make_class(const ClassDef& def) {
    Ref ns = check(PyDict_New());
    check(PyDict_SetItem(ns.get(), QS("__module__"), QS("qel_cv")));
    Ref qualname = text(def.name);
    check(PyDict_SetItem(ns.get(), QS("__qualname__"), qualname.get()));
    if (def.doc != nullptr) {
        Ref doc = text(def.doc);
        check(PyDict_SetItem(ns.get(), QS("__doc__"), doc.get()));
    }
    for (const Member& m : def.members) {
        std::string key = mangled(def.name, m.def->name);
        Ref func = make_function(*m.def);
        Ref value;
        switch (m.kind) {
            case Member::method:
                value = std::move(func);
                break;
            case Member::static_method:
                value = call(global(QS("staticmethod")), {func});
                break;
            case Member::getter:
                value = call(global(QS("property")), {func});
                break;
            case Member::setter: {
                PyObject* prop = PyDict_GetItemString(ns.get(), key.c_str());
                if (prop == nullptr) {
                    fatal("qel_cv: a property setter without its getter passed the start-up checks");
                }
                value = call_method(prop, QS("setter"), {func});
                break;
            }
        }
        check(PyDict_SetItemString(ns.get(), key.c_str(), value.get()));
    }
    Ref name = text(def.name);
    Ref bases = tuple_of({});
    // What a class statement does: the metaclass `type` itself, not a name.
    return call(reinterpret_cast<PyObject*>(&PyType_Type), {name, bases, ns});
}

}  // namespace qel
