#include "veskread/module/py_globals.h"

namespace vesk::py {

PyObject* name(Name n) { return globals().names[static_cast<size_t>(n)]; }

bool make_names() {
    PyObject** names = globals().names;
    if (names[0]) return true;
    for (size_t k = 0; k < std::size(kNameTexts); ++k) {
        names[k] = PyUnicode_InternFromString(kNameTexts[k]);
        if (!names[k]) return false;
    }
    return true;
}

} // namespace vesk::py
