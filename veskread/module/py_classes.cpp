// The data-object classes, created at import through the metaclass of their
// bases exactly as a class statement creates them.
//
// Their methods are module functions (py_function.h), so they bind, report
// argument errors and show signatures like methods written in Python. A
// subclass __init__ stores its own arguments, hands the collected keywords to
// the parent's __init__ via super(), then appends its text to `description`.
#include <string_view>

#include "veskread/module/py_class_texts.h"
#include "veskread/module/py_globals.h"
#include "veskread/module/py_public.h"

namespace vesk::py {

namespace {

struct ClassInfo {
    const char* name = nullptr;
    const char* base = nullptr; // "object" or a class name looked up in the module namespace
    const char* doc = nullptr;
    FunctionSpec init = {};
    FunctionSpec str = {};  // name null: none
    FunctionSpec repr = {}; // name null: none
};

PyObject* base_init(FunctionObject*, PyObject* const* a, PyObject*) {
    static constexpr Name attrs[] = {Name::dimension,  Name::dataType, Name::derivative,
                                     Name::parameters, Name::x,        Name::minY,
                                     Name::maxY};
    PyObject* self = a[0];
    for (int i = 0; i < 7; ++i)
        if (PyObject_SetAttr(self, name(attrs[i]), a[i + 1]) < 0) return nullptr;
    Ref text = Ref::steal(PyUnicode_FromString(texts::kBaseDescription));
    if (!text || PyObject_SetAttr(self, name(Name::description), text.get()) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* sub_init(FunctionObject* f, PyObject* const* a, PyObject* kwds) {
    const FunctionSpec& spec = *f->spec;
    const auto* appended = static_cast<const char*>(spec.data); // text added to description
    PyObject* self = a[0];
    for (int i = 1; i < spec.nparams; ++i)
        if (PyObject_SetAttr(self, PyTuple_GET_ITEM(f->param_names, i), a[i]) < 0) return nullptr;
    if (!f->owner) {
        PyErr_SetString(PyExc_RuntimeError, "super(): __class__ cell not found");
        return nullptr;
    }
    Ref sup = Ref::steal(PyObject_CallFunctionObjArgs(globals().super, f->owner, self, nullptr));
    if (!sup) return nullptr;
    Ref parent_init = Ref::steal(PyObject_GetAttr(sup.get(), name(Name::__init__)));
    if (!parent_init) return nullptr;
    Ref empty = Ref::steal(PyTuple_New(0));
    if (!empty) return nullptr;
    Ref r = Ref::steal(PyObject_Call(parent_init.get(), empty.get(), kwds));
    if (!r) return nullptr;
    Ref desc = Ref::steal(PyObject_GetAttr(self, name(Name::description)));
    if (!desc) return nullptr;
    Ref extra = Ref::steal(PyUnicode_FromString(appended));
    if (!extra) return nullptr;
    Ref joined = Ref::steal(PyNumber_Add(desc.get(), extra.get()));
    if (!joined || PyObject_SetAttr(self, name(Name::description), joined.get()) < 0)
        return nullptr;
    Py_RETURN_NONE;
}

PyObject* region_init(FunctionObject* f, PyObject* const* a, PyObject*) {
    for (int i = 1; i < f->spec->nparams; ++i)
        if (PyObject_SetAttr(a[0], PyTuple_GET_ITEM(f->param_names, i), a[i]) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* return_description(FunctionObject*, PyObject* const* a, PyObject*) {
    return PyObject_GetAttr(a[0], name(Name::description));
}

PyObject* return_title(FunctionObject*, PyObject* const* a, PyObject*) {
    return PyObject_GetAttr(a[0], name(Name::title));
}

// A method taking only self.
constexpr FunctionSpec self_method(const char* name, const char* qualname, FunctionImpl impl) {
    return {.name = name,
            .qualname = qualname,
            .params = {"self"},
            .text_signature = "(self)",
            .impl = impl};
}

// A subclass of BaseDataReturn: its __init__ stores its own fields, passes
// the rest to the parent and appends the subclass's text to description.
#define VESK_SUBCLASS(NAME, SIG, ...)                                                              \
    {                                                                                              \
        .name = #NAME, .base = "BaseDataReturn", .doc = texts::k##NAME##Doc,                       \
        .init = {.name = "__init__",                                                               \
                 .qualname = #NAME ".__init__",                                                    \
                 .params = {"self", __VA_ARGS__},                                                  \
                 .varkw = true,                                                                    \
                 .text_signature = "(self, " SIG ", **kwds)",                                      \
                 .impl = sub_init,                                                                 \
                 .data = texts::k##NAME##Appended},                                                \
    }

constexpr ClassInfo kClasses[] = {
    {
        .name = "BaseDataReturn",
        .base = "object",
        .doc = texts::kBaseDataReturnDoc,
        .init = {.name = "__init__",
                 .qualname = "BaseDataReturn.__init__",
                 .params = {"self", "dimension", "dataType", "deriv", "parameters", "x", "minY",
                            "maxY"},
                 .text_signature = "(self, dimension, dataType, deriv, parameters, x, minY, maxY)",
                 .impl = base_init},
        .str = self_method("__str__", "BaseDataReturn.__str__", return_description),
        .repr = self_method("__repr__", "BaseDataReturn.__repr__", return_description),
    },
    VESK_SUBCLASS(SingleDataReturn, "y", "y"),
    VESK_SUBCLASS(ImageDataReturn, "mapX, mapY, spectra", "mapX", "mapY", "spectra"),
    VESK_SUBCLASS(ImageTRCDataReturn, "mapX, mapY, labels, traces", "mapX", "mapY", "labels",
                  "traces"),
    VESK_SUBCLASS(TimeResolvedDataReturn, "z, spectra", "z", "spectra"),
    VESK_SUBCLASS(TimeResolvedTRCDataReturn, "labels, traces", "labels", "traces"),
    VESK_SUBCLASS(MultiRegionDataReturn, "regions", "regions"),
    {
        .name = "Region",
        .base = "object",
        .doc = texts::kRegionDoc,
        .init = {.name = "__init__",
                 .qualname = "Region.__init__",
                 .params = {"self", "title", "mapX", "mapY", "start_time", "spectra"},
                 .text_signature = "(self, title, mapX, mapY, start_time, spectra)",
                 .impl = region_init},
        .repr = self_method("__repr__", "Region.__repr__", return_title),
    },
    VESK_SUBCLASS(MultiRegionTRCDataReturn, "labels, regions", "labels", "regions"),
};
#undef VESK_SUBCLASS

// The metaclass a class statement would use: the most derived type of the bases.
PyObject* most_derived_metaclass(PyObject* bases) {
    PyTypeObject* winner = &PyType_Type;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(bases); ++i) {
        PyTypeObject* t = Py_TYPE(PyTuple_GET_ITEM(bases, i));
        if (PyType_IsSubtype(winner, t)) continue;
        if (PyType_IsSubtype(t, winner)) {
            winner = t;
            continue;
        }
        PyErr_SetString(PyExc_TypeError,
                        "metaclass conflict: the metaclass of a derived class must be a "
                        "(non-strict) subclass of the metaclasses of all its bases");
        return nullptr;
    }
    return Py_NewRef(reinterpret_cast<PyObject*>(winner));
}

bool set_method(PyObject* ns, const FunctionSpec& spec, Ref& out) {
    if (!spec.name) return true;
    out = Ref::steal(make_function(spec, nullptr));
    return out && PyMapping_SetItemString(ns, spec.name, out.get()) == 0;
}

bool create_class(PyObject* m, const ClassInfo& info) {
    Ref base;
    if (std::string_view(info.base) == "object") {
        base = Ref::borrow(globals().object);
    } else {
        base = Ref::steal(module_global(info.base));
        if (!base) return false;
    }
    Ref bases = Ref::steal(PyTuple_Pack(1, base.get()));
    if (!bases) return false;
    Ref meta = Ref::steal(most_derived_metaclass(bases.get()));
    if (!meta) return false;
    Ref name = Ref::steal(PyUnicode_FromString(info.name));
    if (!name) return false;
    Ref ns;
    Ref prepare = Ref::steal(PyObject_GetAttrString(meta.get(), "__prepare__"));
    if (prepare) {
        ns = Ref::steal(
            PyObject_CallFunctionObjArgs(prepare.get(), name.get(), bases.get(), nullptr));
    } else if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        ns = Ref::steal(PyDict_New());
    }
    if (!ns) return false;
    Ref module_name = Ref::steal(PyUnicode_FromString("veskread"));
    Ref doc = Ref::steal(PyUnicode_FromString(info.doc));
    if (!module_name || !doc ||
        PyMapping_SetItemString(ns.get(), "__module__", module_name.get()) < 0 ||
        PyMapping_SetItemString(ns.get(), "__qualname__", name.get()) < 0 ||
        PyMapping_SetItemString(ns.get(), "__doc__", doc.get()) < 0)
        return false;
    Ref init, str, repr;
    if (!set_method(ns.get(), info.init, init) || !set_method(ns.get(), info.str, str) ||
        !set_method(ns.get(), info.repr, repr))
        return false;
    Ref cls = Ref::steal(
        PyObject_CallFunctionObjArgs(meta.get(), name.get(), bases.get(), ns.get(), nullptr));
    if (!cls) return false;
    // What the __class__ cell is to a method written in Python: super() needs it.
    for (Ref* method : {&init, &str, &repr})
        if (*method)
            Py_XSETREF(reinterpret_cast<FunctionObject*>(method->get())->owner,
                       Py_NewRef(cls.get()));
    return PyObject_SetAttr(m, name.get(), cls.get()) == 0;
}

} // namespace

bool bind_classes(PyObject* module) {
    for (const ClassInfo& info : kClasses)
        if (!create_class(module, info)) return false;
    return true;
}

} // namespace vesk::py
