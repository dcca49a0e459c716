// ShiftComparator: a target is compared with the kept 16-bit standard in two
// passes (dark spots, then light spots); a pixel is a defect only if no trial
// shift of up to max_shift pixels explains it, and each outer contour of such
// pixels that the judge accepts becomes one NGRegion.
//
// One pass has two renderings. The generic one shifts and compares through the
// module's own `translate` and `compare_image_difference`, looked up at call
// time, so rebinding either (or the library calls behind them) changes what a
// pass does. The native one computes the same mask in one sweep, and is taken
// only when nothing it replaces has been rebound and the inputs are of the
// exact kind it was checked against.
#include "shift_comparator.hpp"

#include <algorithm>
#include <cmath>
#include <optional>
#include <vector>

#include "../module/cv.hpp"
#include "../module/fast_path.hpp"
#include "../module/names.hpp"
#include "../module/numpy.hpp"
#include "../module/unpack.hpp"
#include "shift_kernel.hpp"

namespace qel {

namespace {

// --- one pass, generic ----------------------------------------------------------

/// `for i in range(1, stop, step): AND in the comparison with the target
/// shifted by (sx * i, sy * i)`, each call through the module namespace.
/// `range` is the name as looked up before `stop` was computed.
void and_shifted(PyObject* stay, PyObject* moved, PyObject* threshold, Obj range, Obj stop, PyObject* step, int sx,
                 int sy, Obj result) {
    Ref one = integer(1);
    Ref zero = integer(0);
    Ref distances = call(range, {one, stop, step});
    Iter it(distances);
    while (Ref i = it.next()) {
        Ref right = sx == 0 ? zero.copy() : (sx > 0 ? i.copy() : neg(i));
        Ref down = sy == 0 ? zero.copy() : (sy > 0 ? i.copy() : neg(i));
        Ref img = call(global(QS("translate")), {moved, right, down});
        Ref not_match = call(global(QS("compare_image_difference")), {stay, img, threshold});
        call(np(QS("logical_and")), {result, not_match, result});
    }
}

Ref generic_mask(PyObject* stay, PyObject* moved, PyObject* max_shift, PyObject* threshold, PyObject* slope,
                 PyObject* step) {
    Ref result = call(global(QS("compare_image_difference")), {stay, moved, threshold});
    const int axes[4][2] = {{1, 0}, {-1, 0}, {0, 1}, {0, -1}};
    for (const auto& d : axes) {
        Ref range = global(QS("range"));
        Ref stop = add(max_shift, integer(1));
        and_shifted(stay, moved, threshold, range, stop, step, d[0], d[1], result);
    }
    if (truth(slope)) {
        // `int(max_shift / _math.sqrt(2)) + 1`, names looked up left to right.
        Ref int_fn = global(QS("int"));
        Ref root = call(lib(QS("_math"), QS("sqrt")), {integer(2)});
        Ref shift = add(call(int_fn, {true_div(max_shift, root)}), integer(1));
        const int diagonals[4][2] = {{1, 1}, {-1, 1}, {1, -1}, {-1, -1}};
        for (const auto& d : diagonals) {
            Ref range = global(QS("range"));
            and_shifted(stay, moved, threshold, range, shift, step, d[0], d[1], result);
        }
    }
    return result;
}

// --- one pass, native -----------------------------------------------------------

// warpAffine refuses images of 32767 pixels or more a side, and its
// fixed-point coordinates (1/1024 pixel in an int) wrap once a shift plus the
// width reaches 2**21: below these bounds a whole-pixel shift with the edge
// repeated reads exactly the clamped source pixel, which is what the kernel
// does. Beyond them the generic path keeps whatever OpenCV does.
constexpr Py_ssize_t kMaxSide = 32766;
constexpr long long kMaxShift = 1LL << 20;

/// Pixel tests per stretch without the GIL (a fraction of a second at worst;
/// a 2048 x 2048 pass with the usual shifts takes one or two stretches).
constexpr Py_ssize_t kChunkTests = Py_ssize_t{1} << 28;

struct NativePass {
    PyArrayObject* stay;
    PyArrayObject* moved;
    long long threshold;
    long long max_shift;
    long long step;
};

/// A 2-D int16 array of native byte order and aligned pixels, not empty and
/// within warpAffine's size limit; else NULL.
PyArrayObject* native_plane(PyObject* o) {
    PyArrayObject* a = exact_array(o);
    if (a == nullptr || PyArray_NDIM(a) != 2 || PyArray_TYPE(a) != NPY_INT16 || !PyArray_ISNOTSWAPPED(a) ||
        !PyArray_ISALIGNED(a)) {
        return nullptr;
    }
    for (int k = 0; k < 2; ++k) {
        npy_intp n = PyArray_DIM(a, k);
        if (n < 1 || n > kMaxSide) {
            return nullptr;
        }
    }
    return a;
}

/// An exact int (bool excluded) that fits a long long.
std::optional<long long> plain_int(PyObject* o) {
    if (!PyLong_CheckExact(o)) {
        return std::nullopt;
    }
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
    if (overflow != 0 || (v == -1 && PyErr_Occurred())) {
        PyErr_Clear();
        return std::nullopt;
    }
    return v;
}

/// Every name the generic pass goes through, its helpers' included.
FastPath g_native_pass("the native shift pass",
                       {"translate", "compare_image_difference", "_cv.warpAffine", "_np.logical_and", "_np.float32",
                        "_np.uint8", "_math.sqrt", "range", "int"});

/// The native pass applies when every name the generic pass goes through
/// still holds what start-up bound and the inputs are of the checked kind.
std::optional<NativePass> native_pass(PyObject* stay, PyObject* moved, PyObject* max_shift, PyObject* threshold,
                                      PyObject* step) {
    if (!g_native_pass.unchanged()) {
        return std::nullopt;
    }
    PyArrayObject* a = native_plane(stay);
    PyArrayObject* b = native_plane(moved);
    if (a == nullptr || b == nullptr || PyArray_DIM(a, 0) != PyArray_DIM(b, 0) ||
        PyArray_DIM(a, 1) != PyArray_DIM(b, 1)) {
        return std::nullopt;
    }
    auto t = plain_int(threshold);
    auto m = plain_int(max_shift);
    auto s = plain_int(step);
    // A zero step is left to the generic pass, where range() raises.
    if (!t || !m || !s || *s == 0 || *m > kMaxShift || *m < -kMaxShift) {
        return std::nullopt;
    }
    return NativePass{a, b, *t, *m, *s};
}

/// The values of `range(1, stop, step)`, cut short after the first one at or
/// beyond `limit` in the direction of travel: all later values clamp to the
/// same edge pixel.
std::vector<long long> distances(long long stop, long long step, long long limit) {
    std::vector<long long> out;
    if (step > 0) {
        for (long long v = 1; v < stop;) {
            out.push_back(v);
            if (v >= limit || step >= stop - v) {
                break;
            }
            v += step;
        }
    } else {
        for (long long v = 1; v > stop;) {
            out.push_back(v);
            if (v <= -limit || step <= stop - v) {
                break;
            }
            v += step;
        }
    }
    return out;
}

void add_shifts(std::vector<TrialShift>& shifts, const std::vector<long long>& ds, const int (&dirs)[4][2]) {
    for (const auto& d : dirs) {
        for (long long i : ds) {
            shifts.push_back({static_cast<Py_ssize_t>(d[0] * i), static_cast<Py_ssize_t>(d[1] * i)});
        }
    }
}

/// The pass's `not_match` image (255 where a defect pixel survives, else 0)
/// straight from the kernel: the generic `result * _np.uint8(255)` without
/// the boolean array in between.
Ref native_not_match(const NativePass& p, bool slope) {
    const Py_ssize_t h = PyArray_DIM(p.stay, 0);
    const Py_ssize_t w = PyArray_DIM(p.stay, 1);
    const long long limit = (h > w ? h : w) - 1;
    std::vector<TrialShift> shifts;
    const int axes[4][2] = {{1, 0}, {-1, 0}, {0, 1}, {0, -1}};
    add_shifts(shifts, distances(p.max_shift + 1, p.step, limit), axes);
    if (slope) {
        // int(max_shift / sqrt(2)) + 1, in the same double arithmetic.
        const long long stop = static_cast<long long>(static_cast<double>(p.max_shift) / std::sqrt(2.0)) + 1;
        const int diagonals[4][2] = {{1, 1}, {-1, 1}, {1, -1}, {-1, -1}};
        add_shifts(shifts, distances(stop, p.step, limit), diagonals);
    }
    shifts = normalise_shifts(std::move(shifts), h, w);
    std::vector<Py_ssize_t> scratch(static_cast<size_t>(w));

    npy_intp dims[2] = {h, w};
    Ref result = check(PyArray_SimpleNew(2, dims, NPY_UINT8));
    PyArrayObject* out = reinterpret_cast<PyArrayObject*>(result.get());
    const Int16Plane stay{PyArray_BYTES(p.stay), PyArray_STRIDE(p.stay, 0), PyArray_STRIDE(p.stay, 1)};
    const Int16Plane moved{PyArray_BYTES(p.moved), PyArray_STRIDE(p.moved, 0), PyArray_STRIDE(p.moved, 1)};
    unsigned char* out_base = reinterpret_cast<unsigned char*>(PyArray_BYTES(out));
    const Py_ssize_t out_rs = PyArray_STRIDE(out, 0);
    // Rows per stretch without the GIL, so that a stretch tests at most
    // kChunkTests pixels even if every row stays dense through every shift.
    const Py_ssize_t row_tests = w * static_cast<Py_ssize_t>(shifts.size() + 1);
    const Py_ssize_t rows = std::max<Py_ssize_t>(1, kChunkTests / row_tests);
    run_released(h, rows, [&](Py_ssize_t first, Py_ssize_t last) {
        shift_tolerant_mask(stay, moved, h, w, p.threshold, shifts.data(), shifts.size(), out_base, out_rs,
                            scratch.data(), first, last);
        return true;
    });
    return result;
}

// --- ShiftComparator ----------------------------------------------------------------

Ref init_body(PyObject* self, PyObject* std_image, PyObject* max_shift, PyObject* threshold, PyObject* judge_parameter,
              PyObject* judge, PyObject* slope, PyObject* step, PyObject* cmp_region) {
    set_attr(self, QS("std_threshold"), call(np(QS("int16")), {std_image}));
    set_attr(self, QS("max_shift"), max_shift);
    set_attr(self, QS("threshold"), threshold);
    set_attr(self, QS("_ShiftComparator__judge_parameter"), judge_parameter);
    set_attr(self, QS("_ShiftComparator__judge"), judge);
    set_attr(self, QS("slope"), slope);
    set_attr(self, QS("step"), step);
    set_attr(self, QS("compare_region"), cmp_region);
    set_attr(self, QS("_ShiftComparator__black_spot_desc"), QS("black spot"));
    set_attr(self, QS("_ShiftComparator__white_spot_desc"), QS("white spot"));
    return none();
}

// The getters' exact-text check and the setters' argument check come from the
// 'unicode' annotations (see the FuncDefs below).
Ref black_spot_desc_get(PyObject* self) { return attr(self, QS("_ShiftComparator__black_spot_desc")); }
Ref black_spot_desc_set(PyObject* self, PyObject* desc) {
    set_attr(self, QS("_ShiftComparator__black_spot_desc"), desc);
    return none();
}
Ref white_spot_desc_get(PyObject* self) { return attr(self, QS("_ShiftComparator__white_spot_desc")); }
Ref white_spot_desc_set(PyObject* self, PyObject* desc) {
    set_attr(self, QS("_ShiftComparator__white_spot_desc"), desc);
    return none();
}

/// `zeros = _np.zeros(self.std_threshold.shape[:2], dtype=_np.<dtype>)`
Ref zeros_like_standard(PyObject* self, PyObject* dtype_name) {
    Ref zeros = np(QS("zeros"));
    Ref shape = attr(attr(self, QS("std_threshold")), QS("shape"));
    Ref size = item(shape, slice(Py_None, integer(2)));
    return call(zeros, {size}, {{QS("dtype"), np(dtype_name)}});
}

Ref compare_body(PyObject* self, PyObject* tgt_image, PyObject* result) {
    Ref tgt_masked, std_masked;
    Ref region = attr(self, QS("compare_region"));
    if (region.get() != Py_None) {
        auto [x1, y1, x2, y2] = unpack<4>(region);
        tgt_masked = zeros_like_standard(self, QS("uint8"));
        Ref tgt_part = crop(tgt_image, x1, y1, x2, y2);
        set_item(tgt_masked, region_index(x1, y1, x2, y2), tgt_part);
        std_masked = zeros_like_standard(self, QS("int16"));
        Ref std_part = crop(attr(self, QS("std_threshold")), x1, y1, x2, y2);
        set_item(std_masked, region_index(x1, y1, x2, y2), std_part);
    } else {
        tgt_masked = Ref::borrow(tgt_image);
        std_masked = attr(self, QS("std_threshold"));
    }
    tgt_masked = call(np(QS("int16")), {tgt_masked});

    // Dark spots: the target is shifted. Light spots: the roles swap.
    Ref pass = attr(self, QS("_do_compare_image_with_shift"));
    Ref parameter = attr(self, QS("_ShiftComparator__judge_parameter"));
    Ref desc = attr(self, QS("black_spot_desc"));
    call(pass, {std_masked, tgt_masked, parameter, desc, result});
    pass = attr(self, QS("_do_compare_image_with_shift"));
    parameter = attr(self, QS("_ShiftComparator__judge_parameter"));
    desc = attr(self, QS("white_spot_desc"));
    call(pass, {tgt_masked, std_masked, parameter, desc, result});
    return none();
}

Ref do_compare_body(PyObject* self, PyObject* std_threshold, PyObject* tgt_threshold, PyObject* judge_parameter,
                    PyObject* error_desc, PyObject* compare_result) {
    Ref max_shift = attr(self, QS("max_shift"));
    Ref threshold = attr(self, QS("threshold"));
    Ref slope = attr(self, QS("slope"));
    Ref step = attr(self, QS("step"));

    // Only a slope whose truth test runs no Python code: a __bool__ could
    // rebind names or reshape the arrays after the guards have passed.
    PyObject* s = slope.get();
    const bool plain_slope = PyBool_Check(s) || s == Py_None || PyLong_CheckExact(s) || PyFloat_CheckExact(s);
    std::optional<NativePass> native;
    if (plain_slope) {
        native = native_pass(std_threshold, tgt_threshold, max_shift.get(), threshold.get(), step.get());
    }
    Ref not_match;
    if (native) {
        not_match = native_not_match(*native, truth(slope));
    } else {
        Ref result = generic_mask(std_threshold, tgt_threshold, max_shift.get(), threshold.get(), slope.get(),
                                  step.get());
        not_match = mul(result, call(np(QS("uint8")), {integer(255)}));
    }
    Ref external = cv(QS("RETR_EXTERNAL"));
    Contours found = find_contours(not_match, external, cv(QS("CHAIN_APPROX_NONE")));
    Iter it(found.contours);
    while (Ref cnt = it.next()) {
        Ref judge = attr(self, QS("_ShiftComparator__judge"));
        if (!truth(call(judge, {cnt, judge_parameter}))) {
            continue;
        }
        auto [x1, y1, w, h] = unpack<4>(call(cv(QS("boundingRect")), {cnt}));
        Ref x2 = add(x1, w);
        Ref y2 = add(y1, h);
        Ref rect = list_of({x1, y1, x2, y2});
        // max(w, h) keeps the first of equal values.
        PyObject* longer = compare_true(h, w, Py_GT) ? h.get() : w.get();
        Ref region_class = global(QS("NGRegion"));
        Ref desc = check(PyUnicode_FromFormat("%S: %S, %S", error_desc, longer, rect.get()));
        Ref ng_region = call(region_class, {rect, desc});
        call_method(compare_result, QS("append"), {ng_region});
    }
    return none();
}

const FuncDef kInit = define<init_body>("__init__", "ShiftComparator.__init__", 591,
                                        {{"self"},
                                         {"std_image", "_np.ndarray"},
                                         {"max_shift", "'int'"},
                                         {"threshold", "'int'"},
                                         {"judge_parameter", "_Union[int, _Sequence]"},
                                         {"judge", "_Callable", "contour_is_too_long"},
                                         {"slope", nullptr, "True"},
                                         {"step", nullptr, "1"},
                                         {"cmp_region", "_Optional[_Sequence[int]]", "None"}});
const FuncDef kBlackGet = define<black_spot_desc_get>("black_spot_desc", "ShiftComparator.black_spot_desc", 605,
                                                      {{"self"}})
    .returning("'unicode'");
const FuncDef kBlackSet = define<black_spot_desc_set>("black_spot_desc", "ShiftComparator.black_spot_desc", 609,
                                                      {{"self"}, {"desc", "'unicode'"}});
const FuncDef kWhiteGet = define<white_spot_desc_get>("white_spot_desc", "ShiftComparator.white_spot_desc", 613,
                                                      {{"self"}})
    .returning("'unicode'");
const FuncDef kWhiteSet = define<white_spot_desc_set>("white_spot_desc", "ShiftComparator.white_spot_desc", 617,
                                                      {{"self"}, {"desc", "'unicode'"}});
const FuncDef kCompare = define<compare_body>("compare", "ShiftComparator.compare", 621,
                                              {{"self"}, {"tgt_image", "_np.ndarray"}, {"result", "CompareResult"}})
    .with_locals({"x1", "y1", "x2", "y2", "tgt_masked", "std_masked"});
const FuncDef kDoCompare = define<do_compare_body>(
    "_do_compare_image_with_shift", "ShiftComparator._do_compare_image_with_shift", 640,
    {{"self"},
     {"std_threshold"},
     {"tgt_threshold"},
     {"judge_parameter"},
     {"error_desc"},
     {"compare_result", "CompareResult"}})
    .with_locals({"max_shift", "threshold", "slope", "step", "result", "i", "img", "not_match", "shift", "_img",
                  "less_cnts", "_hierarchy", "cnt", "x1", "y1", "w", "h", "x2", "y2", "rect", "ng_region"});

const ClassDef kShiftComparator{
    "ShiftComparator",
    {{Member::method, &kInit},
     {Member::getter, &kBlackGet},
     {Member::setter, &kBlackSet},
     {Member::getter, &kWhiteGet},
     {Member::setter, &kWhiteSet},
     {Member::method, &kCompare},
     {Member::method, &kDoCompare}},
};

}  // namespace

void register_shift_comparator(Definitions& d) { d.klass(kShiftComparator); }

}  // namespace qel
