// Building data objects: cls(**kwargs), the call Python code would make.
#pragma once

#include "veskread/module/py_ref.h"

namespace vesk::py {

// cls(**kwargs). When cls is a data class as import made it and nothing has
// since changed what that call does (its bases, its __init__, its __new__ or
// __setattr__, an attribute of the class where the objects' own go), the
// object is built directly: the same attributes in the same order, without
// the calls. New reference.
PyObject* call_data_class(PyObject* cls, PyObject* kwargs);

} // namespace vesk::py
