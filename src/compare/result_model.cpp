// NGRegion and CompareResult: the defect regions found on one target image,
// and the marked copy of that image.
#include "result_model.hpp"

#include "../module/names.hpp"
#include "../module/unpack.hpp"

namespace qel {

namespace {

// --- NGRegion -----------------------------------------------------------------

Ref ng_region_init(PyObject* self, PyObject* rect, PyObject* desc) {
    set_attr(self, QS("rect"), rect);
    set_attr(self, QS("desc"), desc);
    return none();
}

Ref ng_region_get_region(PyObject* self) { return attr(self, QS("rect")); }
Ref ng_region_get_desc(PyObject* self) { return attr(self, QS("desc")); }

const FuncDef kNGRegionInit = define<ng_region_init>("__init__", "NGRegion.__init__", 491,
                                                     {{"self"}, {"rect"}, {"desc", nullptr, "''"}});
const FuncDef kGetRegion = define<ng_region_get_region>("get_region", "NGRegion.get_region", 495, {{"self"}});
const FuncDef kGetDesc = define<ng_region_get_desc>("get_desc", "NGRegion.get_desc", 498, {{"self"}});

const ClassDef kNGRegion{
    "NGRegion",
    {{Member::method, &kNGRegionInit}, {Member::method, &kGetRegion}, {Member::method, &kGetDesc}},
};

// --- CompareResult --------------------------------------------------------------

Ref result_init(PyObject* self, PyObject* image) {
    set_attr(self, QS("image"), image);
    Ref regions = list_of({});
    set_attr(self, QS("ng_regions"), regions);
    return none();
}

Ref result_reset(PyObject* self, PyObject* image) {
    set_attr(self, QS("image"), image);
    Ref regions = attr(self, QS("ng_regions"));
    call_method(regions, QS("clear"));
    return none();
}

Ref result_append(PyObject* self, PyObject* ng_region) {
    Ref regions = attr(self, QS("ng_regions"));
    call_method(regions, QS("append"), {ng_region});
    return none();
}

Ref result_ok(PyObject* self) {
    Ref len = global(QS("len"));
    Ref regions = attr(self, QS("ng_regions"));
    return compare(len_of(len, regions), integer(0), Py_EQ);
}

Ref result_ng(PyObject* self) {
    Ref ok = attr(self, QS("ok"));
    return py_bool(!truth(ok));
}

Ref result_ng_count(PyObject* self) {
    Ref len = global(QS("len"));
    Ref regions = attr(self, QS("ng_regions"));
    return len_of(len, regions);
}

Ref result_original_image(PyObject* self) { return attr(self, QS("image")); }

Ref result_marked_image(PyObject* self, PyObject* index) {
    if (assertions_enabled()) {
        Ref count = attr(self, QS("ng_count"));
        if (!compare_true(index, count, Py_LT)) {
            assertion_failed();
        }
    }
    // Callee, then arguments left to right, each its own step: C++ leaves the
    // order of argument evaluation open, and it decides which error shows.
    Ref cvt_color = cv(QS("cvtColor"));
    Ref stored = attr(self, QS("image"));
    Ref image = call(cvt_color, {stored, cv(QS("COLOR_GRAY2BGR"))});
    Ref zero = integer(0);
    Ref regions;
    if (compare_true(index, zero, Py_LT)) {
        regions = attr(self, QS("ng_regions"));
    } else {
        Ref all = attr(self, QS("ng_regions"));
        regions = list_of({item(all, Obj(index))});
    }
    Ref one = integer(1);
    Ref red = tuple_of({zero, zero, integer(255)});
    Iter it(regions);
    while (Ref region = it.next()) {
        Ref x1, y1, x2, y2;
        Ref rect = attr(region, QS("rect"));
        if (rect.get() == Py_None) {
            x1 = integer(0);
            y1 = integer(0);
            Ref shape = attr(attr(self, QS("image")), QS("shape"));
            auto [h, w] = unpack<2>(shape);
            y2 = std::move(h);
            x2 = std::move(w);
        } else {
            auto [r1, r2, r3, r4] = unpack<4>(rect);
            x1 = std::move(r1);
            y1 = std::move(r2);
            x2 = std::move(r3);
            y2 = std::move(r4);
        }
        Ref rectangle = cv(QS("rectangle"));
        Ref top_left = tuple_of({sub(x1, one), sub(y1, one)});
        Ref bottom_right = tuple_of({add(x2, one), add(y2, one)});
        call(rectangle, {image, top_left, bottom_right, red, one});
    }
    return image;
}

Ref result_descriptions(PyObject* self) {
    Ref descs = list_of({});
    Ref regions = attr(self, QS("ng_regions"));
    Iter it(regions);
    while (Ref region = it.next()) {
        list_append(descs, attr(region, QS("desc")));
    }
    return descs;
}

const FuncDef kResultInit = define<result_init>("__init__", "CompareResult.__init__", 511,
                                                {{"self"}, {"image", "_np.ndarray"}});
const FuncDef kReset = define<result_reset>("reset", "CompareResult.reset", 515, {{"self"}, {"image", "_np.ndarray"}});
const FuncDef kAppend = define<result_append>("append", "CompareResult.append", 519,
                                              {{"self"}, {"ng_region", "NGRegion"}});
const FuncDef kOk = define<result_ok>("ok", "CompareResult.ok", 523, {{"self"}});
const FuncDef kNg = define<result_ng>("ng", "CompareResult.ng", 527, {{"self"}});
const FuncDef kNgCount = define<result_ng_count>("ng_count", "CompareResult.ng_count", 531, {{"self"}});
const FuncDef kOriginalImage = define<result_original_image>("original_image", "CompareResult.original_image", 535,
                                                             {{"self"}})
    .returning("_np.ndarray");
const FuncDef kMarkedImage = define<result_marked_image>("marked_image", "CompareResult.marked_image", 538,
                                                         {{"self"}, {"index", nullptr, "-1"}})
    .returning("_np.ndarray")
    .with_locals({"image", "regions", "region", "x1", "y1", "y2", "x2"});
const FuncDef kDescriptions = define<result_descriptions>("descriptions", "CompareResult.descriptions", 555, {{"self"}})
    .with_locals({"descs", "region"});

const ClassDef kCompareResult{
    "CompareResult",
    {{Member::method, &kResultInit},
     {Member::method, &kReset},
     {Member::method, &kAppend},
     {Member::getter, &kOk},
     {Member::getter, &kNg},
     {Member::getter, &kNgCount},
     {Member::getter, &kOriginalImage},
     {Member::method, &kMarkedImage},
     {Member::getter, &kDescriptions}},
};

}  // namespace

void register_result_model(Definitions& d) {
    d.klass(kNGRegion);
    d.klass(kCompareResult);
}

}  // namespace qel
