// VeskDict and paramDict.
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

// VeskDict's str constants: made once and kept for the life of the process
// (the module is never unloaded), so every returned dict shares them and
// equal names are one object. False with an exception set on failure.
bool vesk_dict_strings() {
    Globals& g = globals();
    if (g.vesk_dict_names) return true;
    const auto n = static_cast<Py_ssize_t>(kVeskNames.size());
    Ref keys = Ref::steal(PyTuple_New(n));
    Ref names = Ref::steal(PyTuple_New(n));
    if (!keys || !names) return false;
    std::unordered_map<std::string_view, Ref> by_name;
    for (Py_ssize_t i = 0; i < n; ++i) {
        const KeyName& e = kVeskNames[static_cast<size_t>(i)];
        PyObject* key = make_constant(e.key);
        if (!key) return false;
        PyTuple_SET_ITEM(keys.get(), i, key);
        Ref& name = by_name[e.name];
        if (!name) name = Ref::steal(make_constant(e.name));
        if (!name) return false;
        PyTuple_SET_ITEM(names.get(), i, Py_NewRef(name.get()));
    }
    g.vesk_dict_keys = keys.release();
    g.vesk_dict_names = names.release();
    return true;
}

PyObject* new_presized_dict(Py_ssize_t n) {
#if PY_VERSION_HEX < 0x030D0000
    return _PyDict_NewPresized(n);
#else
    (void)n;
    return PyDict_New();
#endif
}

PyObject* vesk_dict_impl(FunctionObject*, PyObject* const*, PyObject*) {
    if (!vesk_dict_strings()) return nullptr;
    const Globals& g = globals();
    Ref d = Ref::steal(new_presized_dict(static_cast<Py_ssize_t>(kVeskNames.size())));
    if (!d) return nullptr;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(g.vesk_dict_keys); ++i)
        if (PyDict_SetItem(d.get(), PyTuple_GET_ITEM(g.vesk_dict_keys, i),
                           PyTuple_GET_ITEM(g.vesk_dict_names, i)) < 0)
            return nullptr;
    return d.release();
}

} // namespace

PyObject* build_param_dict() {
    Ref d = Ref::steal(new_presized_dict(static_cast<Py_ssize_t>(kParamLabels.size())));
    if (!d) return nullptr;
    for (const KeyName& e : kParamLabels) {
        Ref key = Ref::steal(make_constant(e.key));
        Ref label = Ref::steal(make_constant(e.name));
        if (!key || !label || PyDict_SetItem(d.get(), key.get(), label.get()) < 0) return nullptr;
    }
    return d.release();
}

const FunctionSpec kVeskDictSpec = {
    .name = "VeskDict",
    .doc = "Returns a dictionary for translating parameter keys to lower_case_strings.",
    .text_signature = "()",
    .impl = vesk_dict_impl,
};
} // namespace vesk::py
