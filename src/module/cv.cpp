// OpenCV-version adaptations for contour search and minimum-area rectangles,
// and the bounding rectangle of a found contour.
#include "cv.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "fast_path.hpp"
#include "names.hpp"
#include "numpy.hpp"
#include "unpack.hpp"

namespace qel {

Contours find_contours(Obj image, Obj mode, Obj method, bool as_keywords) {
    Ref find = cv(QS("findContours"));
    Ref result = as_keywords ? call(find, {image}, {{QS("mode"), mode}, {QS("method"), method}})
                             : call(find, {image, mode, method});
    Contours out;
    bool two_values = (PyTuple_CheckExact(result.get()) || PyList_CheckExact(result.get())) &&
                      PySequence_Fast_GET_SIZE(result.get()) == 2;
    if (two_values) {
        auto [contours, hierarchy] = unpack<2>(result);
        out.contours = std::move(contours);
        out.hierarchy = std::move(hierarchy);
    } else {
        auto [image_out, contours, hierarchy] = unpack<3>(result);
        out.contours = std::move(contours);
        out.hierarchy = std::move(hierarchy);
    }
    if (!PyList_Check(out.contours.get())) {
        out.contours = check(PySequence_List(out.contours.get()));
    }
    return out;
}

namespace {

FastPath g_bounding_rect("the bounding rectangle of a found contour", {"_cv.boundingRect"});

}  // namespace

Ref bounding_rect(Obj points) {
    GenericRegion region(g_bounding_rect);
    PyArrayObject* a = PyArray_CheckExact(points.p) ? reinterpret_cast<PyArrayObject*>(points.p) : nullptr;
    if (a == nullptr || PyArray_TYPE(a) != NPY_INT32 || PyArray_NDIM(a) != 3 || PyArray_DIM(a, 0) < 1 ||
        PyArray_DIM(a, 1) != 1 || PyArray_DIM(a, 2) != 2 || !PyArray_ISCARRAY_RO(a) || !g_bounding_rect.unchanged()) {
        return call(cv(QS("boundingRect")), {points});
    }
    g_bounding_rect.taken();
    const npy_intp n = PyArray_DIM(a, 0);
    const char* data = PyArray_BYTES(a);
    std::int32_t xy[2];
    std::memcpy(xy, data, sizeof xy);
    long long x0 = xy[0], x1 = xy[0], y0 = xy[1], y1 = xy[1];
    for (npy_intp i = 1; i < n; ++i) {
        std::memcpy(xy, data + i * sizeof xy, sizeof xy);
        x0 = std::min<long long>(x0, xy[0]);
        x1 = std::max<long long>(x1, xy[0]);
        y0 = std::min<long long>(y0, xy[1]);
        y1 = std::max<long long>(y1, xy[1]);
    }
    return tuple_of({integer(x0), integer(y0), integer(x1 - x0 + 1), integer(y1 - y0 + 1)});
}

Ref min_area_rect(Obj points) {
    Ref rect = call(cv(QS("minAreaRect")), {points});
    auto [center, size, angle_obj] = unpack<3>(rect);
    auto [w, h] = unpack<2>(size);
    double angle = PyFloat_AsDouble(angle_obj.get());
    if (angle == -1.0 && PyErr_Occurred()) {
        throw_error();
    }
    if (!std::isfinite(angle)) {
        raise(PyExc_ValueError, "minAreaRect gave a non-finite angle (%R)", angle_obj.get());
    }
    bool swapped = false;
    // Whole quarter turns first, so a huge angle does not loop for long.
    if (angle >= 0 || angle < -90) {
        const double turns = std::floor(angle / 90) + 1;
        angle -= 90 * turns;
        swapped = std::fmod(std::fabs(turns), 2.0) == 1.0;
    }
    while (angle >= 0) {
        angle -= 90;
        swapped = !swapped;
    }
    while (angle < -90) {
        angle += 90;
        swapped = !swapped;
    }
    if (swapped) {
        std::swap(w, h);
    }
    Ref new_size = tuple_of({w, h});
    Ref new_angle = real(angle);
    return tuple_of({center, new_size, new_angle});
}

}  // namespace qel
