// The vertical profile of a contour: for each column in a trimmed range, the
// largest y minus the smallest y of the contour points in that column.
#include <cmath>
#include <cstdint>
#include <memory>
#include <new>
#include <vector>

#include "../module/fast_path.hpp"
#include "../module/names.hpp"
#include "../module/numpy.hpp"
#include "../module/unpack.hpp"
#include "profile_walk.hpp"
#include "utilities.hpp"

namespace qel {

namespace {

/// `a == b` as an `if` tests it: the comparison's result, then its truth
/// (no identity shortcut).

// --- the helpers ----------------------------------------------------------------

Ref collect_contour_points_equal_x(PyObject* contour, PyObject* x) {
    Ref points = list_of({});
    Iter rows(contour);
    while (Ref row = rows.next()) {
        Iter items(row);
        while (Ref point = items.next()) {
            if (compare_true(item(point, 0), x, Py_EQ)) {
                list_append(points, point);
            }
        }
    }
    return points;
}

Ref get_points_equal_x(PyObject* points, PyObject* x, PyObject* pos_tip_given) {
    Ref pos_tip = Ref::borrow(pos_tip_given);
    Ref results = list_of({});
    if (compare_true(item(item(points, pos_tip), 0), x, Py_NE)) {
        // The cursor is not at this column: search from the start.
        pos_tip = integer(-1);
        Ref range = global(QS("range"));
        Ref len = global(QS("len"));
        Ref indices = call(range, {len_of(len, points)});
        Iter it(indices);
        while (Ref idx = it.next()) {
            if (compare_true(item(item(points, idx), 0), x, Py_EQ)) {
                pos_tip = std::move(idx);
                break;
            }
        }
    }
    Ref len = global(QS("len"));
    Ref max_idx = len_of(len, points);
    Ref one = integer(1);
    LoopCheck back_edge;
    while (compare_true(pos_tip, max_idx, Py_LT) && compare_true(item(item(points, pos_tip), 0), x, Py_EQ)) {
        list_append(results, item(points, pos_tip));
        // Not in place: the cursor may be the caller's own (mutable) object.
        pos_tip = add(pos_tip, one);
        back_edge();
    }
    return tuple_of({results, pos_tip});
}

Ref calculate_max_vertical_distance(PyObject* points) {
    Ref len = global(QS("len"));
    if (compare_true(len_of(len, points), integer(2), Py_LT)) {
        return integer(0);
    }
    Ref max_y = integer(-1);
    Ref min_y = global(QS("_maxsize"));
    Iter it(points);
    while (Ref point = it.next()) {
        auto [x, y] = unpack<2>(point);
        if (compare_true(y, min_y, Py_LT)) {
            min_y = y.copy();
        }
        if (compare_true(y, max_y, Py_GT)) {
            max_y = y.copy();
        }
    }
    return sub(max_y, min_y);
}

// --- the walk -----------------------------------------------------------------------

/// The sort key of the walk, `lambda point: point[0]`.
PyObject* item_zero(PyObject*, PyObject* point) {
    return guarded("qel_cv.<lambda>", static_cast<PyObject*>(nullptr), [&] { return item(point, 0).release(); });
}

PyMethodDef kItemZeroDef = {"<lambda>", item_zero, METH_O, nullptr};

PyObject* sort_key() {
    static PyObject* key = nullptr;  // lives as long as the process
    if (key == nullptr) {
        key = check(PyCFunction_New(&kItemZeroDef, nullptr)).release();
    }
    return key;
}

/// Steps of the walk in Python terms: gather the points of [begin, end), sort
/// them by x, and call the two helpers through the module namespace per column.
void generic_walk(PyObject* contour, Obj begin, Obj end, Obj distances) {
    Ref x = Ref::borrow(begin.p);
    Ref all_points = list_of({});
    Iter rows(contour);
    while (Ref row = rows.next()) {
        Iter items(row);
        while (Ref point = items.next()) {
            Ref px = item(point, 0);
            if (compare_true(begin, px, Py_LE) && compare_true(px, end, Py_LT)) {
                list_append(all_points, point);
            }
        }
    }
    Ref sort = attr(all_points, QS("sort"));
    call(sort, {}, {{QS("key"), sort_key()}});
    Ref pos_tip = integer(0);
    Ref one = integer(1);
    LoopCheck back_edge;
    while (truth(compare(x, end, Py_NE))) {
        Ref get_points = global(QS("_get_points_equal_x"));
        auto [points, next_tip] = unpack<2>(call(get_points, {all_points, x, pos_tip}));
        pos_tip = std::move(next_tip);
        Ref max_distance = global(QS("_calculate_max_vertical_distance"));
        Ref distance = call(max_distance, {points});
        list_append(distances, distance);
        // Not in place: x starts as `begin`, which the result reports.
        Ref next_x = add(x, one);
        // A float (or decimal) too large to step by one would never reach end.
        if (compare_true(next_x, x, Py_EQ)) {
            raise(PyExc_ValueError, "calculate_contour_vertical_distances: column %R is too large to step by one",
                  x.get());
        }
        x = std::move(next_x);
        back_edge();
    }
}

/// The two helpers, and their own late-bound names.
FastPath g_native_walk("the native profile walk",
                       {"_get_points_equal_x", "_calculate_max_vertical_distance", "_maxsize", "len", "range"});

/// Columns beyond this many are left to the generic walk rather than given
/// native buffers (no image is that wide).
constexpr std::int64_t kMaxNativeColumns = std::int64_t{1} << 22;

/// Contour points copied per stretch without the GIL.
constexpr Py_ssize_t kGatherChunk = Py_ssize_t{1} << 24;

/// The value of an exact int or numpy signed-integer scalar within int64.
bool integer_value(Obj o, std::int64_t* out) {
    if (!PyLong_CheckExact(o.p) && !PyArray_IsScalar(o.p, SignedInteger)) {
        return false;
    }
    Ref index = Ref::steal(PyNumber_Index(o.p));
    if (!index) {
        PyErr_Clear();  // not an integer after all: the generic walk decides
        return false;
    }
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
    if (overflow != 0 || (v == -1 && PyErr_Occurred())) {
        PyErr_Clear();
        return false;
    }
    *out = v;
    return true;
}

/// The walk done natively for an int32 contour of shape (N, 1, 2) and integer
/// bounds, while the two helpers and the names they use are what start-up
/// bound. Gives
/// the helpers' exact values and types: 0 (an int) for fewer than two points,
/// else the int32 difference of the largest and smallest y. Returns false,
/// having left `distances` alone, whenever the generic walk has to run: for any
/// other input, and where the helpers would raise or meet a negative y.
bool native_walk(PyObject* contour, Obj begin, Obj end, Ref& distances) {
    if (!g_native_walk.unchanged()) {
        return false;
    }
    PyArrayObject* c = exact_array(contour);
    if (c == nullptr || PyArray_NDIM(c) != 3 || PyArray_DIM(c, 1) != 1 || PyArray_DIM(c, 2) != 2) {
        return false;
    }
    PyArray_Descr* d = PyArray_DESCR(c);
    if (d->kind != 'i' || d->elsize != 4 || !PyArray_ISNOTSWAPPED(c) || PyDataType_HASFIELDS(d)) {
        return false;
    }
    std::int64_t lo = 0, hi = 0;
    if (!integer_value(begin, &lo) || !integer_value(end, &hi) || hi <= lo ||
        hi - lo > kMaxNativeColumns) {
        return false;
    }
    const Py_ssize_t n = PyArray_DIM(c, 0);
    const Py_ssize_t span = static_cast<Py_ssize_t>(hi - lo);
    // The point buffers are written before they are read: left uninitialised.
    std::unique_ptr<profile::Point[]> kept(new (std::nothrow) profile::Point[static_cast<size_t>(n)]);
    std::unique_ptr<profile::Point[]> sorted(new (std::nothrow) profile::Point[static_cast<size_t>(n)]);
    std::vector<Py_ssize_t> counts;
    std::vector<profile::Column> columns;
    try {
        counts.resize(static_cast<size_t>(span) + 1);
        columns.resize(static_cast<size_t>(span));
    } catch (std::bad_alloc&) {
        return false;
    }
    if (!kept || !sorted) {
        return false;
    }
    const char* base = PyArray_BYTES(c);
    const Py_ssize_t point_stride = PyArray_STRIDE(c, 0);
    const Py_ssize_t coord_stride = PyArray_STRIDE(c, 2);
    const int type_num = d->type_num;  // the descriptor may be replaced while the GIL is released
    profile::Gathered gathered{kept.get(), counts.data()};
    profile::Walk walked = profile::Walk::negative_y;
    // The points are copied in stretches (signal handlers run in between);
    // the walk over the copy follows the last one. It is at most
    // kMaxNativeColumns columns long.
    run_released(n, kGatherChunk, [&](Py_ssize_t first, Py_ssize_t last) {
        if (!profile::gather_points(base, first, last, point_stride, coord_stride, lo, hi, gathered)) {
            return false;
        }
        if (last == n) {
            walked = profile::walk_columns(gathered, lo, hi, sorted.get(), columns.data());
        }
        return true;
    });
    if (walked != profile::Walk::done) {
        return false;
    }
    Ref out = check(PyList_New(span));
    Ref zero = integer(0);
    // The scalar type of the contour's elements, which the helper's int32
    // subtraction gives back.
    Ref descr = check(reinterpret_cast<PyObject*>(PyArray_DescrFromType(type_num)));
    for (Py_ssize_t i = 0; i < span; ++i) {
        const profile::Column& col = columns[static_cast<size_t>(i)];
        Ref value;
        if (col.count < 2) {
            value = zero.copy();
        } else {
            // Both ends are >= 0, so the int32 difference cannot overflow.
            std::int32_t diff = col.max_y - col.min_y;
            value = check(PyArray_Scalar(&diff, reinterpret_cast<PyArray_Descr*>(descr.get()), nullptr));
        }
        PyList_SET_ITEM(out.get(), i, value.release());
    }
    distances = std::move(out);
    g_native_walk.taken();
    return true;
}

/// Whether stepping by 1 from begin reaches end, that is, end - begin is a
/// finite whole number. Floats are judged by value, without numpy arithmetic
/// (which warns on infinities); other number types by `span % 1 == 0`.
bool whole_span(Obj span) {
    if (PyLong_Check(span.p) || PyArray_IsScalar(span.p, Integer)) {
        return true;
    }
    if (PyFloat_Check(span.p) || (PyArray_IsScalar(span.p, Floating) && !PyArray_IsScalar(span.p, LongDouble))) {
        const double d = PyFloat_AsDouble(span.p);
        if (d == -1.0 && PyErr_Occurred()) {
            throw_error();
        }
        return std::isfinite(d) && d == std::floor(d);
    }
    Ref fraction = check(PyNumber_Remainder(span.p, integer(1).get()));
    return compare_true(fraction, integer(0), Py_EQ);
}

Ref calculate_contour_vertical_distances(PyObject* contour, PyObject* head_off, PyObject* tail_off) {
    Ref all = slice(none(), none());
    Ref key = tuple_of({all, all, integer(0)});
    // `tuple(...)`: the name is looked up before its argument is evaluated.
    Ref tuple_fn = global(QS("tuple"));
    Ref left_at = call_method(item(contour, key), QS("argmin"));
    Ref leftmost = call(tuple_fn, {item(item(contour, left_at), 0)});
    tuple_fn = global(QS("tuple"));
    Ref right_at = call_method(item(contour, key), QS("argmax"));
    Ref rightmost = call(tuple_fn, {item(item(contour, right_at), 0)});
    Ref min_x = item(leftmost, 0);
    Ref max_x = item(rightmost, 0);
    Ref begin = add(min_x, head_off);
    Ref end = sub(max_x, tail_off);
    Ref distances = list_of({});
    if (compare_true(begin, end, Py_GE)) {
        return tuple_of({tuple_of({begin, begin}), distances});
    }
    // The walk stops only when x lands on end; with a fractional (or NaN or
    // infinite) span it would run forever.
    Ref span = sub(end, begin);
    if (!whole_span(span)) {
        raise(PyExc_ValueError,
              "calculate_contour_vertical_distances: head_off and tail_off must leave a whole number of columns "
              "to measure, but end - begin is %R",
              span.get());
    }
    GenericRegion region(g_native_walk);
    if (!native_walk(contour, begin, end, distances)) {
        generic_walk(contour, begin, end, distances);
    }
    return tuple_of({tuple_of({begin, end}), distances});
}

const FuncDef kCollectContourPointsEqualX = define<collect_contour_points_equal_x>(
    "_collect_contour_points_equal_x", "_collect_contour_points_equal_x", 320, {{"contour"}, {"x", "'int'"}})
    .returning("_List[int]")
    .with_locals({"points", "row", "item"})
    .with_doc("\n\t收集一个轮廓数据中所有符合以下条件的点：x 坐标值等于参数 x"
              "\n\t:param contour: 一个轮廓数据\n\t:param x: 目标 x 坐标\n\t:return: 所有符合条件的点组成的列表\n\t");
const FuncDef kGetPointsEqualX = define<get_points_equal_x>(
    "_get_points_equal_x", "_get_points_equal_x", 340, {{"points", "_List[_Sequence[int]]"}, {"x", "'int'"}, {"pos_tip", "'int'", "0"}})
    .returning("_Tuple[_List[_Sequence[int]], int]")
    .with_locals({"results", "idx", "max_idx"});
const FuncDef kCalculateMaxVerticalDistance = define<calculate_max_vertical_distance>(
    "_calculate_max_vertical_distance", "_calculate_max_vertical_distance", 360, {{"points", "_Sequence[_Sequence[int]]"}})
    .returning("'int'")
    .with_locals({"max_y", "min_y", "x", "y"})
    .with_doc("\n\t计算给定的所有点之间垂直距离的最大值\n\t:param points: 给定的所有的点\n\t:return: 这些点之间垂直距离的最大值\n\t");
const FuncDef kCalculateContourVerticalDistances = define<calculate_contour_vertical_distances>(
    "calculate_contour_vertical_distances", "calculate_contour_vertical_distances", 380, {{"contour"}, {"head_off", "'int'", "0"}, {"tail_off", "'int'", "0"}})
    .with_locals({"leftmost", "rightmost", "min_x", "max_x", "begin", "end", "distances", "x", "all_points", "row",
                  "point", "pos_tip", "points", "distance"})
    .with_doc("\n\t计算给定的一个轮廓所有垂直切面的高度。\n\t:param contour: 一个轮廓数据，内含轮廓的所有点"
              "\n\t:param head_off: 去除最左边的部分；默认完全不去除\n\t:param tail_off: 去除最右边的部分；默认完全不去除"
              "\n\t:return: 包含两个元素的元组。第一个元素是一个包含两个元素的元组，横坐标的最小与最大值；"
              "第二个元素是各个横坐标对应的切面高度组成的列表\n\t");

}  // namespace

void register_vertical_profile(Definitions& d) {
    d.function(kCollectContourPointsEqualX);
    d.function(kGetPointsEqualX);
    d.function(kCalculateMaxVerticalDistance);
    d.function(kCalculateContourVerticalDistances);
}

}  // namespace qel
