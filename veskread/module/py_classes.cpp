// The data-object classes, created at import through the metaclass of their
// bases exactly as a class statement creates them.
//
// Their methods are module functions (py_function.h), so they bind, report
// argument errors and show signatures like methods written in Python. A
// subclass __init__ stores its own arguments, hands the collected keywords to
// the parent's __init__ via super(), then appends its text to `description`.
// While a class is as import made it, its objects are built without those
// calls (call_data_class), with the same attributes in the same order.
#include <iterator>
#include <string_view>

#include "veskread/module/py_classes.h"

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

// What BaseDataReturn.__init__ stores its parameters as, in parameter order.
constexpr Name kBaseAttrs[] = {Name::dimension, Name::dataType, Name::derivative, Name::parameters,
                               Name::x,         Name::minY,     Name::maxY};

PyObject* base_init(FunctionObject*, PyObject* const* a, PyObject*) {
    PyObject* self = a[0];
    for (size_t i = 0; i < std::size(kBaseAttrs); ++i)
        if (PyObject_SetAttr(self, name(kBaseAttrs[i]), a[i + 1]) < 0) return nullptr;
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
static_assert(std::size(kClasses) == kDataClassCount);
static_assert(kClasses[0].init.nparams == std::size(kBaseAttrs) + 1);

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

// The text an object of the class is left with in .description (None: none).
PyObject* description_of(const ClassInfo& info) {
    if (std::string_view(info.name) == "BaseDataReturn")
        return PyUnicode_FromString(texts::kBaseDescription);
    if (std::string_view(info.base) != "BaseDataReturn") return Py_NewRef(Py_None);
    Ref base = Ref::steal(PyUnicode_FromString(texts::kBaseDescription));
    Ref extra = Ref::steal(PyUnicode_FromString(static_cast<const char*>(info.init.data)));
    if (!base || !extra) return nullptr;
    return PyUnicode_Concat(base.get(), extra.get());
}

bool create_class(PyObject* m, const ClassInfo& info, DataClass& kept) {
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
    Ref description = Ref::steal(description_of(info));
    if (!description) return false;
    Py_XSETREF(kept.cls, Py_NewRef(cls.get()));
    Py_XSETREF(kept.init, init.release());
    Py_XSETREF(kept.description, description.get() == Py_None ? nullptr : description.release());
    return PyObject_SetAttr(m, name.get(), cls.get()) == 0;
}

// Whether `attr` is in the dict of one of the classes of `mro` but its last
// (object), where it could be a descriptor that assignments would run.
bool shadowed(PyObject* mro, PyObject* attr) {
    for (Py_ssize_t k = 0; k + 1 < PyTuple_GET_SIZE(mro); ++k) {
        PyObject* dict = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, k))->tp_dict;
        if (!dict || PyDict_GetItemWithError(dict, attr) || PyErr_Occurred()) return true;
    }
    return false;
}

// The import-time record of `cls` while cls(**kwargs) would still do no more
// than set the attributes that the __init__ chain made at import sets:
// the same bases and __init__ methods, object's __new__, and no hook
// between a subclass's __init__ reading back .description and its parent's
// setting it. Null (no exception) otherwise. Assignments themselves still
// go through PyObject_SetAttr, so descriptors on the other attributes run.
const DataClass* untouched(PyObject* cls) {
    Globals& g = globals();
    const DataClass* self = nullptr;
    for (const DataClass& c : g.data_classes)
        if (c.cls == cls) self = &c;
    // BaseDataReturn's own objects are never built here.
    const DataClass* base = &g.data_classes[0];
    if (!self || self == base || Py_TYPE(cls) != &PyType_Type) return nullptr;
    auto* type = reinterpret_cast<PyTypeObject*>(cls);
    if (type->tp_new != PyBaseObject_Type.tp_new) return nullptr;
    // (cls, object) or (cls, BaseDataReturn, object).
    const bool derived = self->description != nullptr;
    const Py_ssize_t classes = derived ? 2 : 1;
    PyObject* mro = type->tp_mro;
    if (!mro || !PyTuple_CheckExact(mro) || PyTuple_GET_SIZE(mro) != classes + 1 ||
        PyTuple_GET_ITEM(mro, classes) != g.object ||
        (derived && PyTuple_GET_ITEM(mro, 1) != base->cls))
        return nullptr;
    for (Py_ssize_t k = 0; k < classes; ++k) {
        const DataClass& c = k == 0 ? *self : *base;
        PyObject* dict = reinterpret_cast<PyTypeObject*>(c.cls)->tp_dict;
        PyObject* init = dict ? PyDict_GetItemWithError(dict, name(Name::__init__)) : nullptr;
        if (init != c.init) {
            PyErr_Clear();
            return nullptr;
        }
    }
    if (derived &&
        (type->tp_setattro != PyObject_GenericSetAttr ||
         type->tp_getattro != PyObject_GenericGetAttr || shadowed(mro, name(Name::description)))) {
        PyErr_Clear();
        return nullptr;
    }
    return self;
}

// The values of the keywords named in keys[1:], stored from out[n] on, n
// advanced; false (no exception) when one is missing.
bool take_values(PyObject* kwargs, PyObject* keys, PyObject** out, size_t& n) {
    for (Py_ssize_t i = 1; i < PyTuple_GET_SIZE(keys); ++i) {
        PyObject* value = PyDict_GetItemWithError(kwargs, PyTuple_GET_ITEM(keys, i));
        if (!value) return false;
        out[n++] = value;
    }
    return true;
}

// cls(**kwargs) without the calls: the attributes the __init__ chain would
// set, in its order. Null without an exception, before anything has run,
// where the call must be made after all.
PyObject* build_directly(const DataClass& c, PyObject* kwargs) {
    auto* type = reinterpret_cast<PyTypeObject*>(c.cls);
    PyObject* own = reinterpret_cast<FunctionObject*>(c.init)->param_names;
    PyObject* base =
        c.description
            ? reinterpret_cast<FunctionObject*>(globals().data_classes[0].init)->param_names
            : nullptr;
    PyObject* values[2 * kMaxParams]; // borrowed from kwargs: own, then the base's
    size_t n = 0;
    if (!PyDict_CheckExact(kwargs) || !take_values(kwargs, own, values, n) ||
        (base && !take_values(kwargs, base, values, n)) ||
        PyDict_GET_SIZE(kwargs) != static_cast<Py_ssize_t>(n)) {
        PyErr_Clear();
        return nullptr;
    }
    Ref empty = Ref::steal(PyTuple_New(0));
    if (!empty) return nullptr;
    Ref obj = Ref::steal(type->tp_new(type, empty.get(), nullptr));
    if (!obj) return nullptr;
    size_t k = 0;
    for (Py_ssize_t i = 1; i < PyTuple_GET_SIZE(own); ++i)
        if (PyObject_SetAttr(obj.get(), PyTuple_GET_ITEM(own, i), values[k++]) < 0) return nullptr;
    if (base) {
        for (Name attr : kBaseAttrs)
            if (PyObject_SetAttr(obj.get(), name(attr), values[k++]) < 0) return nullptr;
        if (PyObject_SetAttr(obj.get(), name(Name::description), c.description) < 0) return nullptr;
    }
    return obj.release();
}

} // namespace

bool bind_classes(PyObject* module) {
    for (size_t k = 0; k < std::size(kClasses); ++k)
        if (!create_class(module, kClasses[k], globals().data_classes[k])) return false;
    return true;
}

PyObject* call_data_class(PyObject* cls, PyObject* kwargs) {
    if (const DataClass* c = untouched(cls)) {
        if (PyObject* obj = build_directly(*c, kwargs)) return obj;
        if (PyErr_Occurred()) return nullptr;
    }
    Ref empty = Ref::steal(PyTuple_New(0));
    if (!empty) return nullptr;
    return PyObject_Call(cls, empty.get(), kwargs);
}

} // namespace vesk::py
