// Start-up internals shared by the module definition and the namespace table.
#pragma once
#include "class_builder.hpp"
#include "function.hpp"

#include <map>
#include <string>

namespace qel {

/// What one subsystem contributes to the namespace: its definitions by name.
/// The binding order is not theirs to choose; the table in namespace.cpp
/// decides it.
class Definitions {
public:
    void function(const FuncDef& def) { functions_[def.name] = &def; }
    void klass(const ClassDef& def) { classes_[def.name] = &def; }
    /// Record `alias.name` at start-up so a fast path can tell if it changed.
    void watch(const char* alias, const char* name);

    const FuncDef* find_function(const std::string& name) const;
    const ClassDef* find_class(const std::string& name) const;

private:
    std::map<std::string, const FuncDef*> functions_;
    std::map<std::string, const ClassDef*> classes_;
};

// One registration function per subsystem folder.
void register_circle(Definitions& d);
void register_filters(Definitions& d);
void register_geometry(Definitions& d);
void register_compare(Definitions& d);
void register_barcode(Definitions& d);

/// Run the start-up statements and definitions in namespace order. `line`
/// follows the statement running, for the traceback entry of a failure.
void run_startup(PyObject* module, int* line);

// Module state, kept in names.cpp.
void bind_module_state(PyObject* dict);
void forget_module_state();
PyObject* builtins_module();
void record_original(PyObject* name, PyObject* value);
void watch(const char* alias, const char* name);
void record_watched();

}  // namespace qel
