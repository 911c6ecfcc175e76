// The pieces that the module's execute step binds, one declaration per
// subsystem binding file.
#pragma once

#include "veskread/module/py_function.h"

namespace vesk::py {

// module/
extern const FunctionSpec kHelpSpec;
bool bind_classes(PyObject* module); // data-object classes, in namespace order

// container/
extern const FunctionSpec kListContentsSpec;
extern const FunctionSpec kIsVeskFileSpec;
extern const FunctionSpec kDecodeStringSpec;

// extract/
extern const FunctionSpec kGetVeskDataSpec;

// images/
extern const FunctionSpec kImghdrWhatSpec;
extern const FunctionSpec kGetVisImagesSpec;

// vocabulary/
extern const FunctionSpec kVeskDictSpec;
PyObject* build_param_dict(); // new reference

} // namespace vesk::py
