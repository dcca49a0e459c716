// NGRegion and CompareResult: the defect regions found on one target image,
// and the marked copy of that image.
#include "result_model.hpp"

#include "../module/names.hpp"
#include "../module/unpack.hpp"

namespace qel {

namespace {

// --- NGRegion -----------------------------------------------------------------

Ref ng_region_init(Args a) {
    set_attr(a[0], QS("rect"), a[1]);
    set_attr(a[0], QS("desc"), a[2]);
    return none();
}

Ref ng_region_get_region(Args a) { return attr(a[0], QS("rect")); }
Ref ng_region_get_desc(Args a) { return attr(a[0], QS("desc")); }

const FuncDef kNGRegionInit{
    .name = "__init__", .qualname = "NGRegion.__init__", .line = 491,
    .params = {{"self"}, {"rect"}, {"desc", nullptr, "''"}},
    .body = ng_region_init,
};
const FuncDef kGetRegion{
    .name = "get_region", .qualname = "NGRegion.get_region", .line = 495,
    .params = {{"self"}}, .body = ng_region_get_region,
};
const FuncDef kGetDesc{
    .name = "get_desc", .qualname = "NGRegion.get_desc", .line = 498,
    .params = {{"self"}}, .body = ng_region_get_desc,
};

const ClassDef kNGRegion{
    .name = "NGRegion",
    .members = {{Member::method, &kNGRegionInit}, {Member::method, &kGetRegion}, {Member::method, &kGetDesc}},
};

// --- CompareResult --------------------------------------------------------------

Ref result_init(Args a) {
    set_attr(a[0], QS("image"), a[1]);
    Ref regions = list_of({});
    set_attr(a[0], QS("ng_regions"), regions);
    return none();
}

Ref result_reset(Args a) {
    set_attr(a[0], QS("image"), a[1]);
    Ref regions = attr(a[0], QS("ng_regions"));
    call_method(regions, QS("clear"));
    return none();
}

Ref result_append(Args a) {
    Ref regions = attr(a[0], QS("ng_regions"));
    call_method(regions, QS("append"), {a[1]});
    return none();
}

Ref result_ok(Args a) {
    Ref len = global(QS("len"));
    Ref regions = attr(a[0], QS("ng_regions"));
    return compare(len_of(len, regions), integer(0), Py_EQ);
}

Ref result_ng(Args a) {
    Ref ok = attr(a[0], QS("ok"));
    return py_bool(!truth(ok));
}

Ref result_ng_count(Args a) {
    Ref len = global(QS("len"));
    Ref regions = attr(a[0], QS("ng_regions"));
    return len_of(len, regions);
}

Ref result_original_image(Args a) { return attr(a[0], QS("image")); }

Ref result_marked_image(Args a) {
    PyObject* self = a[0];
    PyObject* index = a[1];
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

Ref result_descriptions(Args a) {
    Ref descs = list_of({});
    Ref regions = attr(a[0], QS("ng_regions"));
    Iter it(regions);
    while (Ref region = it.next()) {
        list_append(descs, attr(region, QS("desc")));
    }
    return descs;
}

const FuncDef kResultInit{
    .name = "__init__", .qualname = "CompareResult.__init__", .line = 511,
    .params = {{"self"}, {"image", "_np.ndarray"}}, .body = result_init,
};
const FuncDef kReset{
    .name = "reset", .qualname = "CompareResult.reset", .line = 515,
    .params = {{"self"}, {"image", "_np.ndarray"}}, .body = result_reset,
};
const FuncDef kAppend{
    .name = "append", .qualname = "CompareResult.append", .line = 519,
    .params = {{"self"}, {"ng_region", "NGRegion"}}, .body = result_append,
};
const FuncDef kOk{
    .name = "ok", .qualname = "CompareResult.ok", .line = 523,
    .params = {{"self"}}, .body = result_ok,
};
const FuncDef kNg{
    .name = "ng", .qualname = "CompareResult.ng", .line = 527,
    .params = {{"self"}}, .body = result_ng,
};
const FuncDef kNgCount{
    .name = "ng_count", .qualname = "CompareResult.ng_count", .line = 531,
    .params = {{"self"}}, .body = result_ng_count,
};
const FuncDef kOriginalImage{
    .name = "original_image", .qualname = "CompareResult.original_image", .line = 535,
    .params = {{"self"}}, .returns = "_np.ndarray", .body = result_original_image,
};
const FuncDef kMarkedImage{
    .name = "marked_image", .qualname = "CompareResult.marked_image", .line = 538,
    .params = {{"self"}, {"index", nullptr, "-1"}}, .returns = "_np.ndarray",
    .locals = {"image", "regions", "region", "x1", "y1", "y2", "x2"},
    .body = result_marked_image,
};
const FuncDef kDescriptions{
    .name = "descriptions", .qualname = "CompareResult.descriptions", .line = 555,
    .params = {{"self"}}, .locals = {"descs", "region"}, .body = result_descriptions,
};

const ClassDef kCompareResult{
    .name = "CompareResult",
    .members = {{Member::method, &kResultInit},
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
