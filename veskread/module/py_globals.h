// Process-wide state of the module: the one module object, the builtins
// captured at import and the shared constants. One accessor, `globals()`.
#pragma once

#include "veskread/module/py_ref.h"

namespace vesk::py {

struct Globals {
    PyObject* module = nullptr; // owned: the initialised module, or null
    // Builtins captured once at import (owned).
    PyObject* object = nullptr;
    PyObject* super = nullptr;
    PyObject* print = nullptr;
    PyObject* open = nullptr;
    PyObject* range = nullptr;
    PyObject* ValueError = nullptr;
    PyObject* UnicodeDecodeError = nullptr;
    PyObject* KeyError = nullptr;
    PyObject* enumerate = nullptr;
    PyObject* RuntimeWarning = nullptr;
    PyObject* chr = nullptr;
    // Constants (owned).
    PyObject* default_encodings = nullptr;      // ('ascii', 'utf8', 'latin1')
    PyObject* decode_string_defaults = nullptr; // (default_encodings,)
    PyObject* decode_string_function = nullptr; // the function object made at import
};

Globals& globals();

// A module-level name as the module's code sees it at call time: the module
// namespace first, then builtins; NameError when neither has it. New reference.
PyObject* module_global(const char* name);

} // namespace vesk::py
