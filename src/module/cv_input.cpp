// Arrays that OpenCV's Python binding cannot be given safely.
#include "cv_input.hpp"

#include "numpy.hpp"

namespace qel {

void check_cv_image(Obj value, const char* function, const char* param) {
    if (!PyArray_Check(value.p)) {
        return;
    }
    PyArrayObject* a = reinterpret_cast<PyArrayObject*>(value.p);
    if (PyArray_NDIM(a) == 3 && PyArray_DIM(a, 2) == 0) {
        Ref shape = check(PyObject_GetAttrString(value.p, "shape"));
        PyErr_Format(PyExc_ValueError, "%s: %s has an empty last axis (shape %R): OpenCV cannot take an image "
                     "without channels", function, param, shape.get());
        throw PyError{};
    }
}

}  // namespace qel
