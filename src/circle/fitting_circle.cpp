// FittingCircle: a circle fitted once, at construction, to sample points by
// least squares on the spread of their squared distances from the centre.
#include "fitting_circle.hpp"

#include "../module/fast_path.hpp"
#include "../module/names.hpp"
#include "../module/unpack.hpp"
#include "point_columns.hpp"
#include "residual.hpp"

namespace qel {

namespace {

Ref power(Obj base, Obj exponent) { return check(PyNumber_Power(base.p, exponent.p, Py_None)); }

/// `FittingCircle.<member>`: the class as the module namespace holds it now.
Ref class_member(PyObject* mangled_name) { return attr(global(QS("FittingCircle")), mangled_name); }

// --- __distance_square ------------------------------------------------------------

Ref distance_square(PyObject* para, PyObject* x, PyObject* y) {
    if (Ref fast = native_distance_square(para, x, y)) {
        return fast;
    }
    auto [cx, cy] = unpack<2>(para);
    Ref two = integer(2);
    Ref dx2 = power(sub(cx, x), two);
    Ref dy2 = power(sub(cy, y), two);
    return add(dx2, dy2);
}

const FuncDef kDistanceSquare = define<distance_square>(
    "__distance_square", "FittingCircle.__distance_square", 12, {{"para", "_Tuple"}, {"x", "_np.ndarray"}, {"y", "_np.ndarray"}})
    .returning("_np.ndarray")
    .with_locals({"cx", "cy"});

// --- __error --------------------------------------------------------------------

Ref error(PyObject* center, PyObject* x, PyObject* y) {
    Ref distance_fn = class_member(QS("_FittingCircle__distance_square"));
    // The native residual is only this body's own arithmetic when the
    // distances come from the module's own __distance_square.
    if (is_function_of(distance_fn.get(), kDistanceSquare)) {
        if (Ref fast = native_residual(center, x, y)) {
            return fast;
        }
    }
    Ref distances = call(distance_fn, {center, x, y});
    Ref mean = call_method(distances, QS("mean"));
    return sub(distances, mean);
}

const FuncDef kError = define<error>("__error", "FittingCircle.__error", 17,
                                     {{"center"}, {"x", "_np.ndarray"}, {"y", "_np.ndarray"}})
    .returning("'float'")
    .with_locals({"distances"});

// --- __init__ ---------------------------------------------------------------------

/// `_np.array` still numpy's own, so that a native build of its result may
/// stand in for the call. Asked at each use: iterating the caller's points may
/// run code that rebinds it.
FastPath g_native_array("the native numpy.array", {"_np.array"});
/// The native point columns stand in for the `len` calls on them too.
FastPath g_native_columns("the native point columns", {"_np.array", "len"});

/// `numpy.array(seq)` through the module's `_np` now; built natively when
/// `_np.array` is still numpy's and the items are plain numbers of one kind.
Ref to_array(Obj seq) {
    GenericRegion region(g_native_array);
    if (g_native_array.unchanged()) {
        if (Ref fast = native_array(seq.p)) {
            g_native_array.taken();
            return fast;
        }
    }
    return call(np(QS("array")), {seq});
}

Ref init(PyObject* self, PyObject* x_given, PyObject* y_given, PyObject* points) {
    // The body rebinds x and y, as the algorithm does.
    Ref x = Ref::borrow(x_given);
    Ref y = Ref::borrow(y_given);
    // Set when x and y are already the arrays `_np.array` would make of the
    // unpacked lists (their lengths are then equal by construction).
    bool columns = false;
    {
        // Without points there is nothing to stand in for.
        GenericRegion region(g_native_columns, points != Py_None);
        if (points != Py_None) {
            // The native columns stand in for the `len` calls below too (their
            // lengths are equal and not zero), so only while `len` is the builtin.
            columns = g_native_columns.unchanged() && native_point_columns(points, &x, &y);
            if (columns) {
                g_native_columns.taken();
            } else {
                x = list_of({});
                y = list_of({});
                Iter it(points);
                while (Ref point = it.next()) {
                    auto [px, py] = unpack<2>(point);
                    list_append(x, px);
                    list_append(y, py);
                }
            }
        }
        if (assertions_enabled() && !columns) {
            Ref nx = len_of(global(QS("len")), x);
            Ref ny = len_of(global(QS("len")), y);
            if (!compare_true(nx, ny, Py_EQ)) {
                assertion_failed();
            }
        }
        if (!columns && compare_true(len_of(global(QS("len")), x), integer(0), Py_EQ)) {
            Ref zero = integer(0);
            set_attr(self, QS("_FittingCircle__center"), tuple_of({zero, zero}));
            set_attr(self, QS("_FittingCircle__radius"), zero);
            return none();
        }
        if (!columns) {
            x = to_array(x);
            y = to_array(y);
        }
    }
    Ref mx = call_method(x, QS("mean"));
    Ref my = call_method(y, QS("mean"));
    Ref start_point = to_array(tuple_of({mx, my}));

    // `center, *_ = _leastsq(FittingCircle.__error, start_point, (x, y))`
    Ref leastsq = global(QS("_leastsq"));
    Ref error_fn = class_member(QS("_FittingCircle__error"));
    Ref solution = call(leastsq, {error_fn, start_point, tuple_of({x, y})});
    Ref values = check(PySequence_List(solution.get()));
    if (PyList_GET_SIZE(values.get()) < 1) {
        raise_need_more_values(PyList_GET_SIZE(values.get()));
    }
    Ref center = Ref::borrow(PyList_GET_ITEM(values.get(), 0));

    set_attr(self, QS("_FittingCircle__center"), tuple_of({item(center, 0), item(center, 1)}));
    Ref sqrt = np(QS("sqrt"));
    Ref distances = call(class_member(QS("_FittingCircle__distance_square")), {center, x, y});
    Ref radius = call_method(call(sqrt, {distances}), QS("mean"));
    set_attr(self, QS("_FittingCircle__radius"), radius);
    return none();
}

const FuncDef kInit = define<init>("__init__", "FittingCircle.__init__", 21,
                                   {{"self"},
                                    {"x", "_Sequence[float]", "None"},
                                    {"y", "_Sequence[float]", "None"},
                                    {"points", "_Sequence[_Tuple[float, float]]", "None"}})
    .with_locals({"a", "b", "start_point", "center", "_"});

// --- properties -------------------------------------------------------------------

Ref center(PyObject* self) { return attr(self, QS("_FittingCircle__center")); }
Ref radius(PyObject* self) { return attr(self, QS("_FittingCircle__radius")); }

const FuncDef kCenter = define<center>("center", "FittingCircle.center", 46, {{"self"}})
    .returning("_Tuple[float, float]");
const FuncDef kRadius = define<radius>("radius", "FittingCircle.radius", 50, {{"self"}})
    .returning("'float'");

const ClassDef kFittingCircle{
    "FittingCircle",
    {{Member::static_method, &kDistanceSquare},
     {Member::static_method, &kError},
     {Member::method, &kInit},
     {Member::getter, &kCenter},
     {Member::getter, &kRadius}},
};

}  // namespace

void register_fitting_circle(Definitions& d) { d.klass(kFittingCircle); }

}  // namespace qel
