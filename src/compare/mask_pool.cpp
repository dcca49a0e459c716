// A few mask arrays kept between comparisons, under the GIL.
#include "mask_pool.hpp"

#include <deque>

#include "../module/numpy.hpp"

namespace qel {

namespace {

/// Two masks per comparison, two comparisons at once (one per core) covers
/// the usual line; more only costs memory.
constexpr size_t kKept = 4;

std::deque<Ref>& kept() {
    static std::deque<Ref>* masks = new std::deque<Ref>();  // left to the OS at exit, like the module
    return *masks;
}

bool fits(PyObject* o, Py_ssize_t height, Py_ssize_t width) {
    PyArrayObject* a = reinterpret_cast<PyArrayObject*>(o);
    return PyArray_DIM(a, 0) == height && PyArray_DIM(a, 1) == width;
}

}  // namespace

Ref take_mask(Py_ssize_t height, Py_ssize_t width) {
    std::deque<Ref>& masks = kept();
    for (auto it = masks.begin(); it != masks.end(); ++it) {
        if (fits(it->get(), height, width)) {
            Ref mask = std::move(*it);
            masks.erase(it);
            return mask;
        }
    }
    npy_intp dims[2] = {height, width};
    return check(PyArray_SimpleNew(2, dims, NPY_UINT8));
}

void give_back_mask(Ref mask) {
    // Only a mask as take_mask makes them, held by this reference alone: no
    // view, no caller, no library kept it.
    PyArrayObject* a = mask ? exact_array(mask.get()) : nullptr;
    if (a == nullptr || Py_REFCNT(mask.get()) != 1 || PyArray_NDIM(a) != 2 || PyArray_TYPE(a) != NPY_UINT8 ||
        !PyArray_IS_C_CONTIGUOUS(a) || !PyArray_CHKFLAGS(a, NPY_ARRAY_OWNDATA | NPY_ARRAY_WRITEABLE)) {
        return;
    }
    std::deque<Ref>& masks = kept();
    masks.push_front(std::move(mask));
    if (masks.size() > kKept) {
        masks.pop_back();
    }
}

}  // namespace qel
