// VeskDict and paramDict (placeholder until the vocabulary lands).
#include "veskread/module/py_public.h"

namespace vesk::py {
namespace {
PyObject* vesk_dict_impl(FunctionObject*, PyObject* const*, PyObject*) { return PyDict_New(); }
} // namespace

PyObject* build_param_dict() { return PyDict_New(); }

const FunctionSpec kVeskDictSpec = {
    "VeskDict", nullptr,
    "Returns a dictionary for translating parameter keys to lower_case_strings.", {}, 0, false,
    "()", false, vesk_dict_impl,
};
} // namespace vesk::py
