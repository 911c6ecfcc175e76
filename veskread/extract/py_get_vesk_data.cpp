// getVeskData (placeholder until the extraction binding lands).
#include "veskread/module/py_public.h"

namespace vesk::py {
namespace {
PyObject* get_vesk_data_impl(FunctionObject*, PyObject* const*, PyObject*) {
    PyErr_SetString(PyExc_NotImplementedError, "getVeskData");
    return nullptr;
}
} // namespace

const FunctionSpec kGetVeskDataSpec = {
    "getVeskData",
    nullptr,
    "\n    This function returns a :obj:`DataReturn` object containing the data and\n    data "
    "parameters for    the specified datablock in the given file.\n\n    Args:\n        path "
    "(path):       Path to file\n        datablock (tuple of str): tuple(datablocktype, "
    "dimensions, derivative)\n                                  as returned by "
    ".listContents()\n\n    Returns:\n        :obj:`DataReturn`: Object containing the requested "
    "data and associated\n        parameters. Data structure is as specified in data.description "
    "and\n        can be one of the three types described in :class:`DataReturn`\n    ",
    {"path", "datablock"},
    2,
    false,
    "(path, datablock)",
    true,
    get_vesk_data_impl,
};
} // namespace vesk::py
