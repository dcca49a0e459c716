// The NumPy C API, shared by every file that touches array memory. Exactly one
// file (the start-up table) defines QEL_IMPORT_ARRAY and imports the API.
#pragma once
#include "ref.hpp"

#define PY_ARRAY_UNIQUE_SYMBOL qel_cv_ARRAY_API
#ifndef QEL_IMPORT_ARRAY
#define NO_IMPORT_ARRAY
#endif
#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#include <numpy/arrayobject.h>

namespace qel {

/// The array if `o` is exactly a numpy.ndarray (not a subclass), else NULL.
inline PyArrayObject* exact_array(PyObject* o) {
    return PyArray_CheckExact(o) ? reinterpret_cast<PyArrayObject*>(o) : nullptr;
}

}  // namespace qel
