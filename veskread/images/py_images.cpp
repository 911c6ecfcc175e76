// imghdr_what and getVisImages (placeholder until the images binding lands).
#include "veskread/module/py_public.h"

namespace vesk::py {
namespace {
PyObject* not_yet(FunctionObject*, PyObject* const*, PyObject*) {
    PyErr_SetString(PyExc_NotImplementedError, "images");
    return nullptr;
}
} // namespace

const FunctionSpec kImghdrWhatSpec = {
    "imghdr_what", nullptr, "Simplified version of imghdr.what()", {"h"}, 1, false, "(h)", false,
    not_yet,
};

const FunctionSpec kGetVisImagesSpec = {
    "getVisImages",
    nullptr,
    "\n    This function returns a list containing a dictionary for each visible image\n    in the "
    "given file.\n\n    Args:\n        path (path):       Path to file\n\n    Returns:\n        "
    "List containing a dictionary for each visible image in the file.\n\n        Each dictionary "
    "contains:\n\n        {'image': bytes(),          # Image data\n         'imgext': 'bmp',     "
    "      # Image type ('bmp' or 'jpeg')\n         'Pos. X': 33733.0}         # Useful image "
    "attributes\n    ",
    {"path"},
    1,
    false,
    "(path)",
    true,
    not_yet,
};
} // namespace vesk::py
