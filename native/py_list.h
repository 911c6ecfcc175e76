// A Python list built item by item, for both halves of vesk._native.
#pragma once

#include <cstddef>

#include "veskread/module/py_ref.h"

namespace vesk::py {

// A list of `n` items, item k made by `make(k)` (a new reference, or null
// with a Python error set).
template <class Make> PyObject* new_list(size_t n, Make make) {
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(n)));
    if (!list) return nullptr;
    for (size_t k = 0; k < n; ++k) {
        PyObject* item = make(k);
        if (!item) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(k), item);
    }
    return list.release();
}

} // namespace vesk::py
