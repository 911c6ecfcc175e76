// Readers of 3D blocks (placeholder until they land).
#include "veskread/extract/py_extract.h"

namespace vesk::py {

PyObject* read_3d(DataRequest&) {
    PyErr_SetString(PyExc_NotImplementedError, "3D blocks are not readable yet");
    return nullptr;
}

} // namespace vesk::py
