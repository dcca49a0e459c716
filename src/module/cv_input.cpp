// Arrays that OpenCV's Python binding cannot be given safely.
#include "cv_input.hpp"

#include "numpy.hpp"

namespace qel {

void check_cv_image(Obj value, const char* function, const char* param) {
    if (!PyArray_Check(value.p)) {
        return;
    }
    PyArrayObject* a = reinterpret_cast<PyArrayObject*>(value.p);
    bool empty_channels = false;
    for (int axis = 2; axis < PyArray_NDIM(a); ++axis) {
        empty_channels = empty_channels || PyArray_DIM(a, axis) == 0;
    }
    if (empty_channels && PyArray_DIM(a, 0) != 0 && PyArray_DIM(a, 1) != 0) {
        Ref shape = check(PyObject_GetAttrString(value.p, "shape"));
        raise(PyExc_ValueError, "%s: %s has an empty channel axis (shape %R): OpenCV cannot take an image "
              "without channels", function, param, shape.get());
    }
}

Ref without_empty_polygons(Obj polygons) {
    if (!PyList_Check(polygons.p) && !PyTuple_Check(polygons.p)) {
        return Ref::borrow(polygons.p);
    }
    auto is_empty = [](PyObject* p) {
        return PyArray_Check(p) && PyArray_SIZE(reinterpret_cast<PyArrayObject*>(p)) == 0;
    };
    Ref items = check(PySequence_Fast(polygons.p, "polygons"));
    bool any_empty = false;
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(items.get()); ++i) {
        any_empty = any_empty || is_empty(PySequence_Fast_GET_ITEM(items.get(), i));
    }
    if (!any_empty) {
        return Ref::borrow(polygons.p);
    }
    Ref kept = check(PyList_New(0));
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(items.get()); ++i) {
        PyObject* p = PySequence_Fast_GET_ITEM(items.get(), i);
        if (!is_empty(p)) {
            check(PyList_Append(kept.get(), p));
        }
    }
    return kept;
}

}  // namespace qel
