// VeskDict and paramDict: the two key-to-name tables as Python dicts.
//
// paramDict is built once at import (callers may change it); VeskDict returns
// a new dict at every call, copied from one made at first use.
#include <string>
#include <unordered_map>

#include "veskread/module/py_globals.h"
#include "veskread/module/py_public.h"
#include "veskread/vocabulary/parameter_names.h"

namespace vesk::py {
namespace {

// Interned like the interpreter interns identifier-like string constants.
bool looks_like_identifier(std::string_view s) {
    for (unsigned char c : s)
        if (!(c == '_' || (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') ||
              (c >= 'a' && c <= 'z')))
            return false;
    return true;
}

PyObject* make_constant(std::string_view s) {
    PyObject* o = PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), nullptr);
    if (o && looks_like_identifier(s)) PyUnicode_InternInPlace(&o);
    return o;
}

// VeskDict hands out copies of one dict made on first use and kept for the
// life of the process (the module is never unloaded): copying clones the
// finished table in one step, which public calls cannot presize, and every
// returned dict shares the same str constants, equal names being one object.
PyObject* vesk_dict_template() {
    Globals& g = globals();
    if (g.vesk_dict) return g.vesk_dict;
    Ref d = Ref::steal(PyDict_New());
    if (!d) return nullptr;
    std::unordered_map<std::string_view, Ref> by_name;
    for (const KeyName& e : kVeskNames) {
        Ref key = Ref::steal(make_constant(e.key));
        Ref& name = by_name[e.name];
        if (!name) name = Ref::steal(make_constant(e.name));
        if (!key || !name || PyDict_SetItem(d.get(), key.get(), name.get()) < 0) return nullptr;
    }
    g.vesk_dict = d.release();
    return g.vesk_dict;
}

PyObject* vesk_dict_impl(FunctionObject*, PyObject* const*, PyObject*) {
    PyObject* made = vesk_dict_template();
    return made ? PyDict_Copy(made) : nullptr;
}

} // namespace

PyObject* build_param_dict() {
    Ref d = Ref::steal(PyDict_New());
    if (!d) return nullptr;
    for (const KeyName& e : kParamLabels) {
        Ref key = Ref::steal(make_constant(e.key));
        Ref label = Ref::steal(make_constant(e.name));
        if (!key || !label || PyDict_SetItem(d.get(), key.get(), label.get()) < 0) return nullptr;
    }
    return d.release();
}

constinit const FunctionSpec kVeskDictSpec = {
    .name = "VeskDict",
    .doc = "Returns a dictionary for translating parameter keys to lower_case_strings.",
    .text_signature = "()",
    .impl = vesk_dict_impl,
};
} // namespace vesk::py
