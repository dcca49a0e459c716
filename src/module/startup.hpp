// Start-up internals shared by the module definition and the namespace table.
#pragma once
#include "class_builder.hpp"
#include "function.hpp"

#include <vector>

namespace qel {

/// What the subsystems contribute to the namespace: their definitions, by
/// name. The binding order is not theirs to choose; the table in
/// namespace.cpp decides it, and start-up checks that the two agree.
class Definitions {
public:
    struct Entry {
        const char* name;
        const FuncDef* function;  // exactly one of these two is set
        const ClassDef* klass;
    };

    void function(const FuncDef& def) { entries_.push_back({def.name, &def, nullptr}); }
    void klass(const ClassDef& def) { entries_.push_back({def.name, nullptr, &def}); }
    /// Take back every definition of `name` (test builds break tables with it).
    void withdraw(const char* name);

    const std::vector<Entry>& entries() const { return entries_; }
    /// The definition of `name`; start-up has checked that there is exactly one.
    const Entry& find(const char* name) const;

private:
    std::vector<Entry> entries_;
};

/// Check the definitions against the names the namespace table defines, in
/// its order: each name has exactly one definition, each definition is named,
/// and each callable's table is well formed (required parameters lead, a
/// property setter follows its getter). ImportError naming the culprit.
void check_definitions(const Definitions& defs, const std::vector<const char*>& defined);

// One registration function per subsystem folder.
void register_circle(Definitions& d);
void register_filters(Definitions& d);
void register_geometry(Definitions& d);
void register_compare(Definitions& d);
void register_barcode(Definitions& d);

/// Test builds only (QEL_TEST_HOOKS): break the definitions as the
/// environment asks; nothing otherwise.
void apply_test_hooks(Definitions& d);

/// Run the start-up statements and definitions in namespace order. `line`
/// follows the statement running, for the traceback entry of a failure.
void run_startup(PyObject* module, int* line);

// Module state, kept in names.cpp.
void bind_module_state(PyObject* dict);
void forget_module_state();
PyObject* builtins_module();

}  // namespace qel
