// The module namespace in binding order: the start-up imports, then every
// definition. This table is the one place that order is written down.
#define QEL_IMPORT_ARRAY
#include "numpy.hpp"

#include <string>
#include <vector>

#include "fast_path.hpp"
#include "names.hpp"
#include "startup.hpp"

namespace qel {

namespace {

struct Step {
    enum Kind { import_as, from_import, define } kind;
    int line;                       // the statement's line in qel_cv.py
    const char* module;             // the imported module (imports only)
    std::vector<std::pair<const char*, const char*>> names;  // (imported, bound as)
};

Step import_as(int line, const char* module, const char* alias) { return {Step::import_as, line, module, {{module, alias}}}; }
Step from_import(int line, const char* module, std::vector<std::pair<const char*, const char*>> names) {
    return {Step::from_import, line, module, std::move(names)};
}
Step definition(int line, const char* name) { return {Step::define, line, nullptr, {{name, name}}}; }

const std::vector<Step>& namespace_table() {
    static const std::vector<Step> table = {
        import_as(1, "numpy", "_np"),
        import_as(2, "cv2", "_cv"),
        import_as(3, "math", "_math"),
        from_import(4, "typing", {{"List", "_List"}, {"Union", "_Union"}, {"Tuple", "_Tuple"}, {"Sequence", "_Sequence"}}),
        from_import(5, "typing", {{"Optional", "_Optional"}, {"Callable", "_Callable"}}),
        from_import(6, "sys", {{"maxsize", "_maxsize"}}),
        from_import(7, "scipy.optimize", {{"leastsq", "_leastsq"}}),
        // circle fitting
        definition(10, "FittingCircle"),
        definition(60, "CirclePeeler"),
        // value-band filters, template matching
        definition(120, "take_middle"),
        definition(140, "take_min_or_max"),
        definition(160, "take_min"),
        definition(170, "take_max"),
        definition(180, "template_match_point"),
        // geometry
        definition(230, "get_max_area_contour"),
        definition(260, "extract_poly"),
        definition(280, "rotate_to_make_edge_horizontal"),
        definition(320, "_collect_contour_points_equal_x"),
        definition(340, "_get_points_equal_x"),
        definition(360, "_calculate_max_vertical_distance"),
        definition(380, "calculate_contour_vertical_distances"),
        definition(420, "compare_image_difference"),
        definition(440, "translate"),
        definition(460, "translate_and_rotate"),
        // comparison
        definition(490, "NGRegion"),
        definition(510, "CompareResult"),
        definition(570, "contour_is_too_long"),
        definition(580, "contour_is_too_big"),
        definition(590, "ShiftComparator"),
        // barcode inspection
        definition(700, "bounding_rect_top"),
        definition(710, "find_barcode_contours"),
        definition(740, "fill_threshold"),
        definition(760, "find_rotate_degree"),
        definition(790, "rotate_correcting"),
        definition(820, "cmp_rect_after_rotate_correcting"),
        definition(850, "shift_compare_barcode"),
        // late additions, bound last
        definition(920, "contour_to_point_list"),
        definition(940, "extract_center_contours"),
    };
    return table;
}

void bind(PyObject* dict, const char* name, Obj value) {
    Ref key = Ref::steal(intern_forever(name));
    check(PyDict_SetItem(dict, key.get(), value.p));
}

/// The start-up checks, before anything is imported or bound: the table binds
/// each name once, agrees with the definitions, and binds every name a fast
/// path stands in for.
void check_tables(const Definitions& defs) {
    std::vector<const char*> bound;
    std::vector<const char*> defined;
    for (const Step& step : namespace_table()) {
        for (const auto& names : step.names) {
            const char* name = names.second;
            for (const char* earlier : bound) {
                if (std::string(earlier) == name) {
                    raise(PyExc_ImportError, "qel_cv: the namespace table binds '%s' twice", name);
                }
            }
            bound.push_back(name);
            if (step.kind == Step::define) {
                defined.push_back(name);
            }
        }
    }
    check_definitions(defs, defined);
    check_fast_paths(bound);
}

void run_step(const Step& step, PyObject* dict, const Definitions& defs) {
    switch (step.kind) {
        case Step::import_as: {
            // `import a.b as x` binds the submodule; here only top-level modules.
            Ref module = check(PyImport_ImportModuleLevel(step.module, dict, dict, nullptr, 0));
            bind(dict, step.names[0].second, module);
            if (std::string(step.module) == "numpy" && _import_array() < 0) {
                throw_error();
            }
            break;
        }
        case Step::from_import: {
            Ref fromlist = check(PyTuple_New(static_cast<Py_ssize_t>(step.names.size())));
            for (size_t i = 0; i < step.names.size(); ++i) {
                PyTuple_SET_ITEM(fromlist.get(), static_cast<Py_ssize_t>(i), intern_forever(step.names[i].first));
            }
            Ref module = check(PyImport_ImportModuleLevel(step.module, dict, dict, fromlist.get(), 0));
            for (const auto& [imported, alias] : step.names) {
                PyObject* v = PyObject_GetAttrString(module.get(), imported);
                if (v == nullptr) {
                    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
                        throw_error();
                    }
                    PyErr_Clear();
                    raise(PyExc_ImportError, "cannot import name '%s' from '%s'", imported, step.module);
                }
                Ref value = Ref::steal(v);
                bind(dict, alias, value);
            }
            break;
        }
        case Step::define: {
            const char* name = step.names[0].first;
            const Definitions::Entry& def = defs.find(name);
            bind(dict, name, def.function != nullptr ? make_function(*def.function) : make_class(*def.klass));
            break;
        }
    }
}

}  // namespace

void run_startup(PyObject* module, int* line) {
    PyObject* dict = PyModule_GetDict(module);
    *line = 1;
    static const Definitions defs = [] {
        Definitions d;
        register_circle(d);
        register_filters(d);
        register_geometry(d);
        register_compare(d);
        register_barcode(d);
        apply_test_hooks(d);
        return d;
    }();
    bind_module_state(dict);
    check_tables(defs);
    check(PyDict_SetItemString(dict, "__builtins__", builtins_module()));
    for (const Step& step : namespace_table()) {
        *line = step.line;
        run_step(step, dict, defs);
    }
    record_fast_paths();
    Ref test = check(PyDict_New());
    check(PyDict_SetItemString(dict, "__test__", test.get()));
}

}  // namespace qel
