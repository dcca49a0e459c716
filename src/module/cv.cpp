// OpenCV-version adaptations for contour search and minimum-area rectangles.
#include "cv.hpp"

#include <cmath>

#include "names.hpp"
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
