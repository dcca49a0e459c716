// The module namespace in binding order: the start-up imports, then every
// definition. This table is the one place that order is written down.
#define QEL_IMPORT_ARRAY
#include "numpy.hpp"

#include <string>
#include <vector>

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
Step define(int line, const char* name) { return {Step::define, line, nullptr, {{name, name}}}; }

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
        define(10, "FittingCircle"),
        define(60, "CirclePeeler"),
        // value-band filters, template matching
        define(120, "take_middle"),
        define(140, "take_min_or_max"),
        define(160, "take_min"),
        define(170, "take_max"),
        define(180, "template_match_point"),
        // geometry
        define(230, "get_max_area_contour"),
        define(260, "extract_poly"),
        define(280, "rotate_to_make_edge_horizontal"),
        define(320, "_collect_contour_points_equal_x"),
        define(340, "_get_points_equal_x"),
        define(360, "_calculate_max_vertical_distance"),
        define(380, "calculate_contour_vertical_distances"),
        define(420, "compare_image_difference"),
        define(440, "translate"),
        define(460, "translate_and_rotate"),
        // comparison
        define(490, "NGRegion"),
        define(510, "CompareResult"),
        define(570, "contour_is_too_long"),
        define(580, "contour_is_too_big"),
        define(590, "ShiftComparator"),
        // barcode inspection
        define(700, "bounding_rect_top"),
        define(710, "find_barcode_contours"),
        define(740, "fill_threshold"),
        define(760, "find_rotate_degree"),
        define(790, "rotate_correcting"),
        define(820, "cmp_rect_after_rotate_correcting"),
        define(850, "shift_compare_barcode"),
        // late additions, bound last
        define(920, "contour_to_point_list"),
        define(940, "extract_center_contours"),
    };
    return table;
}

void bind(PyObject* dict, const char* name, Obj value) {
    Ref key = Ref::steal(intern_forever(name));
    check(PyDict_SetItem(dict, key.get(), value.p));
    record_original(key.get(), value.p);
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
            if (const FuncDef* f = defs.find_function(name)) {
                bind(dict, name, make_function(*f));
            } else if (const ClassDef* c = defs.find_class(name)) {
                bind(dict, name, make_class(*c));
            }
            // A subsystem that is not built yet is simply absent.
            break;
        }
    }
}

}  // namespace

void Definitions::watch(const char* alias, const char* name) { qel::watch(alias, name); }

const FuncDef* Definitions::find_function(const std::string& name) const {
    auto it = functions_.find(name);
    return it == functions_.end() ? nullptr : it->second;
}

const ClassDef* Definitions::find_class(const std::string& name) const {
    auto it = classes_.find(name);
    return it == classes_.end() ? nullptr : it->second;
}

void run_startup(PyObject* module, int* line) {
    PyObject* dict = PyModule_GetDict(module);
    *line = 1;
    static Definitions defs = [] {
        Definitions d;
        register_circle(d);
        register_filters(d);
        register_geometry(d);
        register_compare(d);
        register_barcode(d);
        return d;
    }();
    bind_module_state(dict);
    check(PyDict_SetItemString(dict, "__builtins__", builtins_module()));
    for (const Step& step : namespace_table()) {
        *line = step.line;
        run_step(step, dict, defs);
    }
    record_watched();
    Ref test = check(PyDict_New());
    check(PyDict_SetItemString(dict, "__test__", test.get()));
}

}  // namespace qel
