// A callable that behaves like a Python function defined in the module.
//
// Every public function and every method of the data classes is one of
// these: it has __name__, __qualname__, __module__, __doc__, __defaults__ and
// a __text_signature__ that inspect.signature() and help() read, binds as a
// method when stored in a class, and parses positional and keyword arguments
// with the interpreter's own TypeError messages.
#pragma once

#include "veskread/module/py_ref.h"

namespace vesk::py {

struct FunctionObject;

// Called with every parameter resolved (defaults filled in, borrowed
// references, in parameter order) and, for functions with **kwds, a fresh dict
// of the remaining keywords (borrowed; null otherwise). Returns a new reference
// or null with an exception set.
using FunctionImpl = PyObject* (*)(FunctionObject* self, PyObject* const* args, PyObject* varkw);

constexpr int kMaxParams = 8;

constexpr int count_params(const char* const (&params)[kMaxParams]) {
    int n = 0;
    while (n < kMaxParams && params[n]) ++n;
    return n;
}

// Written with designated initialisers and defined constinit: the parameter
// count follows from the names when the table is compiled, and no table is
// filled in or patched later.
struct FunctionSpec {
    const char* name = nullptr;
    const char* qualname = nullptr; // nullptr: the same as name
    const char* doc = nullptr;      // nullptr: no docstring
    const char* params[kMaxParams] = {};
    int nparams = count_params(params);   // never written by hand
    bool varkw = false;                   // collects unknown keywords (**kwds)
    const char* text_signature = nullptr; // "(path, datablock)"
    bool typed_path = false;              // parameter 0 must be exactly str or None
    FunctionImpl impl = nullptr;
    // For functions that read the file named by parameter 0: what they read,
    // for the note on their errors ("directory"); null for the others.
    const char* reads = nullptr;
    const void* data = nullptr; // what impl needs beyond the arguments (static storage)
};

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    PyObject* name;        // owned str
    PyObject* qualname;    // owned str
    PyObject* module;      // owned
    PyObject* doc;         // owned
    PyObject* defaults;    // owned tuple or null
    PyObject* dict;        // owned or null
    PyObject* owner;       // owned: the class a method was defined in, or null
    PyObject* param_names; // owned tuple of interned str
    PyObject* weakreflist;
    const FunctionSpec* spec; // static storage
};

// Readies the type; call once during module execution.
bool function_type_ready();
// A new function object; `defaults` (may be null) is borrowed.
PyObject* make_function(const FunctionSpec& spec, PyObject* defaults);
bool is_function(PyObject* o);

} // namespace vesk::py
