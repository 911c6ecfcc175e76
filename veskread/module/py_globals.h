// Process-wide state of the module: the one module object, the builtins
// captured at import and the shared constants. One accessor, `globals()`.
//
// Process-wide rather than per-module state (m_size 0): the create step
// hands back the one module object on re-import, and the import machinery
// would wipe per-module state it had given a reused object. Everything the
// binding keeps between calls is a field here; no binding file holds a
// static of its own.
#pragma once

#include "veskread/container/listing.h"
#include "veskread/module/py_names.h"
#include "veskread/module/py_ref.h"

namespace vesk::py {

// Signatures that imghdr_what tests with Python operations (owned).
struct ImageSignatures {
    PyObject* jpeg_markers = nullptr; // (b'JFIF', b'Exif')
    PyObject* jpeg_raw = nullptr;     // b'\xff\xd8\xff\xdb'
    PyObject* png = nullptr;          // b'\x89PNG\r\n\x1a\n'
    PyObject* gifs = nullptr;         // (b'GIF87a', b'GIF89a')
    PyObject* bmp = nullptr;          // b'BM'
    PyObject* marker_slice = nullptr; // slice(6, 10)
    PyObject* head4 = nullptr;        // slice(None, 4)
    PyObject* head6 = nullptr;        // slice(None, 6)
};

// A data class as import made it, so that its objects can be built without
// the call machinery while nothing has changed the class (py_classes.h).
struct DataClass {
    PyObject* cls = nullptr;         // owned
    PyObject* init = nullptr;        // owned: its __init__ as made
    PyObject* description = nullptr; // owned: the text its __init__ leaves; null: sets none
};
inline constexpr size_t kDataClassCount = 9;

struct Globals {
    PyObject* module = nullptr; // owned: the initialised module, or null
    // The interpreter that first imported the module (-1: not yet).
    int64_t interpreter_id = -1;
    // The function type once it is ready (static storage, never freed).
    PyTypeObject* function_type = nullptr;
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
    PyObject* is_vesk_file_function = nullptr;  // likewise
    PyObject* struct_error = nullptr;           // struct.error: what unpack raises
    PyObject* numpy = nullptr;                  // the numpy bound as `np` at import
    PyObject* numpy_linspace = nullptr;         // its linspace then
    // Made at first use and kept, like the constants of a compiled function.
    ImageSignatures image_signatures; // ready when head6 is set
    PyObject* vesk_dict = nullptr;    // dict that VeskDict hands out copies of
    // listContents keys by slot: immutable, so every call hands out the same
    // tuple for the same key, as it would an interned str.
    PyObject* content_keys[kContentKeySlots] = {};
    PyObject* names[static_cast<size_t>(Name::Count)] = {}; // py_names.h, interned
    DataClass data_classes[kDataClassCount] = {};           // in namespace order
};

Globals& globals();

// A module-level name as the module's code sees it at call time: the module
// namespace first, then builtins; NameError when neither has it. New reference.
PyObject* module_global(const char* name);
PyObject* module_global(Name name);

} // namespace vesk::py
