// VeskDict and paramDict.
#include <string>
#include <unordered_map>

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

// The str constants behind VeskDict: made once, kept for the life of the
// process (the module is never unloaded), so every returned dict shares them
// and equal names are one object.
struct VeskStrings {
    PyObject* keys[kVeskNames.size()] = {};  // owned
    PyObject* names[kVeskNames.size()] = {}; // owned (shared entries counted once each)
    bool ready = false;
};

PyObject* make_constant(std::string_view s) {
    PyObject* o = PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), nullptr);
    if (o && looks_like_identifier(s)) PyUnicode_InternInPlace(&o);
    return o;
}

VeskStrings* vesk_strings() {
    static VeskStrings strings;
    if (strings.ready) return &strings;
    VeskStrings fresh;
    std::unordered_map<std::string_view, PyObject*> by_name;
    bool ok = true;
    for (size_t i = 0; ok && i < kVeskNames.size(); ++i) {
        fresh.keys[i] = make_constant(kVeskNames[i].key);
        auto [it, added] = by_name.try_emplace(kVeskNames[i].name, nullptr);
        if (added) it->second = make_constant(kVeskNames[i].name);
        fresh.names[i] = Py_XNewRef(it->second);
        ok = fresh.keys[i] && fresh.names[i];
    }
    for (auto& [name, o] : by_name) Py_XDECREF(o);
    if (!ok) {
        for (size_t i = 0; i < kVeskNames.size(); ++i) {
            Py_XDECREF(fresh.keys[i]);
            Py_XDECREF(fresh.names[i]);
        }
        return nullptr;
    }
    strings = fresh;
    strings.ready = true;
    return &strings;
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
    VeskStrings* s = vesk_strings();
    if (!s) return nullptr;
    Ref d = Ref::steal(new_presized_dict(static_cast<Py_ssize_t>(kVeskNames.size())));
    if (!d) return nullptr;
    for (size_t i = 0; i < kVeskNames.size(); ++i)
        if (PyDict_SetItem(d.get(), s->keys[i], s->names[i]) < 0) return nullptr;
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
    "VeskDict",
    nullptr,
    "Returns a dictionary for translating parameter keys to lower_case_strings.",
    {},
    0,
    false,
    "()",
    false,
    vesk_dict_impl,
};
} // namespace vesk::py
