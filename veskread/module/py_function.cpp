// The function type of the module: a vectorcall object that parses its
// arguments with the interpreter's own TypeError texts and binds as a method.
//
// Shaped so because the module's functions and class methods must look and
// fail like functions written in Python (signature, __qualname__, binding
// through instances, "missing 1 required positional argument"), which the
// builtin function type does not do. Every call is also the boundary between
// C++ and the interpreter: no C++ exception passes it, and a call that reads
// a file adds to its error where in the file it arose (py_errors.h).
#include "veskread/module/py_function.h"

#include <cstring>
#include <structmember.h>

#include "veskread/module/py_errors.h"
#include "veskread/module/py_globals.h"

namespace vesk::py {

namespace {

// Python names a function in its argument errors by __qualname__ from 3.10 on.
PyObject* error_name(FunctionObject* f) {
#if PY_VERSION_HEX >= 0x030A0000
    return f->qualname;
#else
    return f->name;
#endif
}

void raise_missing(FunctionObject* f, PyObject* const* slots, int required) {
    Ref names = Ref::steal(PyList_New(0));
    if (!names) return;
    for (int i = 0; i < required; ++i) {
        if (slots[i]) continue;
        Ref r = Ref::steal(PyObject_Repr(PyTuple_GET_ITEM(f->param_names, i)));
        if (!r || PyList_Append(names.get(), r.get()) < 0) return;
    }
    Py_ssize_t n = PyList_GET_SIZE(names.get());
    Ref joined;
    if (n == 1) {
        joined = Ref::borrow(PyList_GET_ITEM(names.get(), 0));
    } else {
        Ref last = Ref::borrow(PyList_GET_ITEM(names.get(), n - 1));
        Ref head = Ref::steal(PyList_GetSlice(names.get(), 0, n - 1));
        if (!head) return;
        Ref sep = Ref::steal(PyUnicode_FromString(n == 2 ? " " : ", "));
        if (!sep) return;
        Ref body = Ref::steal(PyUnicode_Join(sep.get(), head.get()));
        if (!body) return;
        joined = Ref::steal(
            PyUnicode_FromFormat(n == 2 ? "%U and %U" : "%U, and %U", body.get(), last.get()));
        if (!joined) return;
    }
    PyErr_Format(PyExc_TypeError, "%U() missing %zd required positional argument%s: %U",
                 error_name(f), n, n == 1 ? "" : "s", joined.get());
}

void raise_too_many(FunctionObject* f, Py_ssize_t given, int ndefaults) {
    int np = f->spec->nparams;
    Ref sig;
    bool plural;
    if (ndefaults) {
        sig = Ref::steal(PyUnicode_FromFormat("from %d to %d", np - ndefaults, np));
        plural = true;
    } else {
        sig = Ref::steal(PyUnicode_FromFormat("%d", np));
        plural = np != 1;
    }
    if (!sig) return;
    PyErr_Format(PyExc_TypeError, "%U() takes %U positional argument%s but %zd %s given",
                 error_name(f), sig.get(), plural ? "s" : "", given, given == 1 ? "was" : "were");
}

int find_param(FunctionObject* f, PyObject* key) {
    Py_ssize_t n = PyTuple_GET_SIZE(f->param_names);
    for (Py_ssize_t i = 0; i < n; ++i)
        if (PyTuple_GET_ITEM(f->param_names, i) == key) return static_cast<int>(i);
    for (Py_ssize_t i = 0; i < n; ++i) {
        int eq = PyObject_RichCompareBool(PyTuple_GET_ITEM(f->param_names, i), key, Py_EQ);
        if (eq < 0) return -2;
        if (eq) return static_cast<int>(i);
    }
    return -1;
}

// A call that reads a file: a failure after the file was opened says where.
PyObject* call_reading(FunctionObject* f, PyObject* const* args, PyObject* varkw) {
    ReadPlace place(args[0], f->spec->reads);
    PyObject* result = guarded([&] { return f->spec->impl(f, args, varkw); });
    if (!result) place.annotate();
    return result;
}

// Nesting of the module's functions on this thread. A function written in
// Python stops at the interpreter's recursion limit; from 3.12 on
// Py_EnterRecursiveCall counts C levels against a limit several times higher,
// deeper than a default C stack holds for this call path (self-reference
// crashed 3.13 with SIGSEGV), so calls are counted against the Python limit too.
thread_local int call_depth = 0;

class CallDepth {
public:
    CallDepth() noexcept : within_(++call_depth <= Py_GetRecursionLimit()) {}
    ~CallDepth() { --call_depth; }
    CallDepth(const CallDepth&) = delete;
    CallDepth& operator=(const CallDepth&) = delete;
    bool within_limit() const noexcept { return within_; }

private:
    bool within_;
};

PyObject* fn_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                        PyObject* kwnames) {
    auto* f = reinterpret_cast<FunctionObject*>(callable);
    const FunctionSpec& spec = *f->spec;
    const int np = spec.nparams;
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    PyObject* slots[kMaxParams] = {};
    for (Py_ssize_t i = 0; i < nargs && i < np; ++i) slots[i] = args[i];

    Ref varkw;
    if (spec.varkw) {
        varkw = Ref::steal(PyDict_New());
        if (!varkw) return nullptr;
    }
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        PyObject* value = args[nargs + k];
        int idx = find_param(f, key);
        if (idx == -2) return nullptr;
        if (idx < 0) {
            if (!spec.varkw) {
                PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'",
                             error_name(f), key);
                return nullptr;
            }
            if (PyDict_SetItem(varkw.get(), key, value) < 0) return nullptr;
            continue;
        }
        if (slots[idx]) {
            PyErr_Format(PyExc_TypeError, "%U() got multiple values for argument '%S'",
                         error_name(f), key);
            return nullptr;
        }
        slots[idx] = value;
    }

    int ndefaults = f->defaults ? static_cast<int>(PyTuple_GET_SIZE(f->defaults)) : 0;
    if (ndefaults > np) ndefaults = np;
    if (nargs > np) {
        raise_too_many(f, nargs, ndefaults);
        return nullptr;
    }
    int required = np - ndefaults;
    for (int i = 0; i < required; ++i) {
        if (!slots[i]) {
            raise_missing(f, slots, required);
            return nullptr;
        }
    }
    for (int i = required; i < np; ++i)
        if (!slots[i]) slots[i] = PyTuple_GET_ITEM(f->defaults, i - required);

    if (spec.typed_path) {
        PyObject* p = slots[0];
        if (p != Py_None && !PyUnicode_CheckExact(p)) {
            PyErr_Format(PyExc_TypeError,
                         "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                         spec.params[0], "str", Py_TYPE(p)->tp_name);
            return nullptr;
        }
    }
    // Calls between C functions skip the interpreter's depth check; without
    // this, self-reference (an object whose `decode` is decode_string) would
    // exhaust the C stack instead of raising RecursionError.
    CallDepth depth;
    if (!depth.within_limit()) {
        PyErr_SetString(PyExc_RecursionError,
                        "maximum recursion depth exceeded while calling a Python object");
        return nullptr;
    }
    if (Py_EnterRecursiveCall(" while calling a Python object")) return nullptr;
    PyObject* result = spec.reads ? call_reading(f, slots, varkw.get())
                                  : guarded([&] { return spec.impl(f, slots, varkw.get()); });
    Py_LeaveRecursiveCall();
    return result;
}

PyObject* fn_descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

PyObject* fn_repr(PyObject* self) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    return PyUnicode_FromFormat("<function %U at %p>", f->qualname, self);
}

int fn_traverse(PyObject* self, visitproc visit, void* arg) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    Py_VISIT(f->module);
    Py_VISIT(f->doc);
    Py_VISIT(f->defaults);
    Py_VISIT(f->dict);
    Py_VISIT(f->owner);
    return 0;
}

int fn_clear(PyObject* self) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    Py_CLEAR(f->module);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->dict);
    Py_CLEAR(f->owner);
    return 0;
}

void fn_dealloc(PyObject* self) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    PyObject_GC_UnTrack(self);
    if (f->weakreflist) PyObject_ClearWeakRefs(self);
    fn_clear(self);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->param_names);
    PyObject_GC_Del(self);
}

PyObject* get_name(PyObject* self, void*) {
    return Py_NewRef(reinterpret_cast<FunctionObject*>(self)->name);
}
PyObject* get_qualname(PyObject* self, void*) {
    return Py_NewRef(reinterpret_cast<FunctionObject*>(self)->qualname);
}

int set_str_field(PyObject** field, PyObject* value, const char* what) {
    if (!value || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", what);
        return -1;
    }
    Py_SETREF(*field, Py_NewRef(value));
    return 0;
}
int set_name(PyObject* self, PyObject* value, void*) {
    return set_str_field(&reinterpret_cast<FunctionObject*>(self)->name, value, "__name__");
}
int set_qualname(PyObject* self, PyObject* value, void*) {
    return set_str_field(&reinterpret_cast<FunctionObject*>(self)->qualname, value, "__qualname__");
}

PyObject* get_doc(PyObject* self, void*) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    return Py_NewRef(f->doc ? f->doc : Py_None);
}
int set_doc(PyObject* self, PyObject* value, void*) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    Py_XSETREF(f->doc, Py_NewRef(value ? value : Py_None));
    return 0;
}

PyObject* get_defaults(PyObject* self, void*) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    return Py_NewRef(f->defaults ? f->defaults : Py_None);
}
int set_defaults(PyObject* self, PyObject* value, void*) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    if (value == Py_None) value = nullptr;
    if (value && !PyTuple_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__defaults__ must be set to a tuple object");
        return -1;
    }
    Py_XSETREF(f->defaults, Py_XNewRef(value));
    return 0;
}

PyObject* get_kwdefaults(PyObject*, void*) { Py_RETURN_NONE; }

PyObject* get_text_signature(PyObject* self, void*) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    if (!f->spec->text_signature) Py_RETURN_NONE;
    return PyUnicode_FromString(f->spec->text_signature);
}

PyObject* fn_reduce(PyObject* self, PyObject*) {
    return Py_NewRef(reinterpret_cast<FunctionObject*>(self)->qualname);
}

PyMethodDef fn_methods[] = {
    {"__reduce__", fn_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef fn_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__doc__", get_doc, set_doc, nullptr, nullptr},
    {"__defaults__", get_defaults, set_defaults, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, nullptr, nullptr, nullptr},
    {"__text_signature__", get_text_signature, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef fn_members[] = {
    {"__module__", T_OBJECT, offsetof(FunctionObject, module), 0, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyTypeObject FunctionType{};

} // namespace

bool function_type_ready() {
    Globals& g = globals();
    if (g.function_type) return true;
    Py_SET_REFCNT(reinterpret_cast<PyObject*>(&FunctionType), 1);
    FunctionType.tp_name = "veskread.function";
    FunctionType.tp_basicsize = sizeof(FunctionObject);
    FunctionType.tp_dealloc = fn_dealloc;
    FunctionType.tp_vectorcall_offset = offsetof(FunctionObject, vectorcall);
    FunctionType.tp_repr = fn_repr;
    FunctionType.tp_call = PyVectorcall_Call;
    FunctionType.tp_getattro = PyObject_GenericGetAttr;
    FunctionType.tp_setattro = PyObject_GenericSetAttr;
    FunctionType.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                            Py_TPFLAGS_METHOD_DESCRIPTOR;
    FunctionType.tp_traverse = fn_traverse;
    FunctionType.tp_clear = fn_clear;
    FunctionType.tp_weaklistoffset = offsetof(FunctionObject, weakreflist);
    FunctionType.tp_methods = fn_methods;
    FunctionType.tp_members = fn_members;
    FunctionType.tp_getset = fn_getset;
    FunctionType.tp_descr_get = fn_descr_get;
    FunctionType.tp_dictoffset = offsetof(FunctionObject, dict);
    if (PyType_Ready(&FunctionType) < 0) return false;
    g.function_type = &FunctionType;
    return true;
}

bool is_function(PyObject* o) { return Py_IS_TYPE(o, &FunctionType); }

PyObject* make_function(const FunctionSpec& spec, PyObject* defaults) {
    auto* f = PyObject_GC_New(FunctionObject, &FunctionType);
    if (!f) return nullptr;
    f->vectorcall = fn_vectorcall;
    f->name = f->qualname = f->module = f->doc = f->defaults = f->dict = f->owner = nullptr;
    f->param_names = nullptr;
    f->weakreflist = nullptr;
    f->spec = &spec;
    Ref self = Ref::steal(reinterpret_cast<PyObject*>(f));
    f->name = PyUnicode_InternFromString(spec.name);
    f->qualname = PyUnicode_InternFromString(spec.qualname ? spec.qualname : spec.name);
    f->module = PyUnicode_InternFromString("veskread");
    f->doc = spec.doc ? PyUnicode_FromString(spec.doc) : Py_NewRef(Py_None);
    f->defaults = Py_XNewRef(defaults);
    f->param_names = PyTuple_New(spec.nparams);
    if (!f->name || !f->qualname || !f->module || !f->doc || !f->param_names) return nullptr;
    for (int i = 0; i < spec.nparams; ++i) {
        PyObject* n = PyUnicode_InternFromString(spec.params[i]);
        if (!n) return nullptr;
        PyTuple_SET_ITEM(f->param_names, i, n);
    }
    PyObject_GC_Track(f);
    return self.release();
}

} // namespace vesk::py
