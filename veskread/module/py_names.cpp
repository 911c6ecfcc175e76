#include "veskread/module/py_globals.h"

namespace vesk::py {

PyObject* name(Name n) { return globals().names[static_cast<size_t>(n)]; }

bool make_names() {
    static constexpr const char* kTexts[] = {
#define VESK_NAME_TEXT(n) #n,
        VESK_NAMES(VESK_NAME_TEXT)
#undef VESK_NAME_TEXT
    };
    static_assert(std::size(kTexts) == static_cast<size_t>(Name::Count));
    PyObject** names = globals().names;
    if (names[0]) return true;
    for (size_t k = 0; k < std::size(kTexts); ++k) {
        names[k] = PyUnicode_InternFromString(kTexts[k]);
        if (!names[k]) return false;
    }
    return true;
}

} // namespace vesk::py
