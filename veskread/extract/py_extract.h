// What the front half of getVeskData hands to the readers of 3D blocks.
#pragma once

#include "veskread/container/output_budget.h"
#include "veskread/container/py_container.h"
#include "veskread/extract/param_block.h"
#include "veskread/extract/selection.h"
#include "veskread/module/py_file.h"
#include "veskread/module/py_names.h"

namespace vesk::py {

// Everything here is borrowed and lives for the whole call.
struct DataRequest {
    OpenFile& file;              // the open file `f`
    const BlockOffsets& offsets; // from the directory scan
    const ParamBlock& params;    // merged parameters, as the core sees them
    PyObject* parameters;        // the same, as the dict the result will carry
    PyObject* data_block_type;   // upper-cased key items (str)
    PyObject* dimensions;
    PyObject* deriv;
    // Values of "NPT", "FXV", "LXV", "MXY", "MNY" as stored (int, float or str).
    PyObject* npt;
    PyObject* fxv;
    PyObject* lxv;
    PyObject* mxy;
    PyObject* mny;
    PyObject* abscissa; // np.linspace(FXV, LXV, NPT)
};

// Reads a "3D" block into its data object. New reference or null.
PyObject* read_3d(DataRequest& req);

// Calls the module-level class `class_name` with keyword arguments only: the
// seven common ones of `req`, with a spectrum's `y` (borrowed) right after
// `x`, then `extra` (a dict, borrowed), in the order a rebound class sees in
// its **kwargs. New reference.
PyObject* make_data_object(Name class_name, const DataRequest& req, PyObject* extra,
                           PyObject* y = nullptr);

// False with a ValueError set when the int `value` of parameter `key`
// declares more values of `what` than a file of `file_size` bytes could back.
bool check_declared_count(PyObject* value, const char* key, int64_t file_size);

// Converts one parameter value to its Python object (text through the
// module's decode_string). New reference.
PyObject* param_to_python(const ParamValue& v);
PyObject* param_to_python(const ParamValue& v, TextDecoder& decode);

} // namespace vesk::py
