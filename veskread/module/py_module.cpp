// Module object, two-phase initialisation and `help`.
//
// The module is a process-wide singleton: the create step hands back the
// initialised object on re-import, reload or import after removal from
// sys.modules, and the execute step fills the namespace once, binding names
// in their fixed order. Its state is the one Globals structure (m_size 0;
// py_globals.h says why).
#include <cstdio>

#include "veskread/module/py_errors.h"
#include "veskread/module/py_globals.h"
#include "veskread/module/py_interrupt.h"
#include "veskread/module/py_public.h"

namespace vesk::py {

Globals& globals() {
    static Globals g;
    return g;
}

namespace {

PyObject* lookup_global(PyObject* key) {
    Globals& g = globals();
    if (g.module) {
        PyObject* v = PyDict_GetItem(PyModule_GetDict(g.module), key); // borrowed
        if (v) return Py_NewRef(v);
    }
    PyObject* builtins = PyEval_GetBuiltins(); // borrowed
    if (builtins) {
        PyObject* v = PyDict_GetItem(builtins, key);
        if (v) return Py_NewRef(v);
    }
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", key);
    return nullptr;
}

} // namespace

PyObject* module_global(const char* text) {
    Ref key = Ref::steal(PyUnicode_FromString(text));
    return key ? lookup_global(key.get()) : nullptr;
}

PyObject* module_global(Name n) { return lookup_global(name(n)); }

namespace {

const char* const kHelpLines[] = {
    "This library contains the following functions:",
    "\tlistContents('path') :    This function returns a list containing the data blocks, their "
    "dimensions and derivative type",
    "\tisVeskFile('path'):    This function returns true if the file is an Vesk file, false "
    "otherwise",
    "\tgetVeskData('path', ('data block type', 'dimensions', 'derivative')):",
    "\t\tThis function returns a Python object that contains a string parameter called "
    "description (ie: returnedObject.description)",
    "\t\tDescription contains the details of what the Python object contains based on the type "
    "of data block requested.",
    "\tgetVisImages('path'):",
    "\t\tThis function returns a list that contains an entry for each visible image in the file.",
    "\n For more detailed descriptions please consult the documentation.",
};

PyObject* help_impl(FunctionObject*, PyObject* const*, PyObject*) {
    for (const char* line : kHelpLines) {
        Ref text = Ref::steal(PyUnicode_FromString(line));
        if (!text) return nullptr;
        Ref r = Ref::steal(PyObject_CallOneArg(globals().print, text.get()));
        if (!r) return nullptr;
    }
    Py_RETURN_NONE;
}

bool copy_spec_attr(PyObject* spec, PyObject* module, const char* from, const char* to,
                    bool skip_none) {
    Ref v = Ref::steal(PyObject_GetAttrString(spec, from));
    if (!v) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        return true;
    }
    if (skip_none && v.get() == Py_None) return true;
    return PyObject_SetAttrString(module, to, v.get()) == 0;
}

PyObject* create_module(PyObject* spec) {
    int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1 && PyErr_Occurred()) return nullptr;
    Globals& g = globals();
    if (g.interpreter_id == -1) {
        g.interpreter_id = id;
    } else if (g.interpreter_id != id) {
        PyErr_SetString(PyExc_ImportError, "Interpreter change detected - this module can only be "
                                           "loaded into one interpreter per process.");
        return nullptr;
    }
    if (g.module) return Py_NewRef(g.module);

    Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
    if (!name) return nullptr;
    Ref module = Ref::steal(PyModule_NewObject(name.get()));
    if (!module) return nullptr;
    if (!copy_spec_attr(spec, module.get(), "loader", "__loader__", false) ||
        !copy_spec_attr(spec, module.get(), "origin", "__file__", false) ||
        !copy_spec_attr(spec, module.get(), "parent", "__package__", false) ||
        !copy_spec_attr(spec, module.get(), "submodule_search_locations", "__path__", true))
        return nullptr;
    return module.release();
}

// Each execute step looks them up afresh: a retried import uses the
// builtins of its own time, not those of the attempt that failed.
bool capture_builtins() {
    Globals& g = globals();
    Ref builtins = Ref::steal(PyImport_ImportModule("builtins"));
    if (!builtins) return false;
    struct {
        PyObject** slot;
        const char* name;
    } names[] = {
        {&g.object, "object"},
        {&g.super, "super"},
        {&g.print, "print"},
        {&g.open, "open"},
        {&g.range, "range"},
        {&g.ValueError, "ValueError"},
        {&g.UnicodeDecodeError, "UnicodeDecodeError"},
        {&g.KeyError, "KeyError"},
        {&g.enumerate, "enumerate"},
        {&g.RuntimeWarning, "RuntimeWarning"},
        {&g.chr, "chr"},
    };
    PyObject* captured[sizeof(names) / sizeof(names[0])] = {};
    size_t i = 0;
    for (auto& n : names) {
        captured[i] = PyObject_GetAttrString(builtins.get(), n.name);
        if (!captured[i]) {
            for (size_t k = 0; k < i; ++k) Py_DECREF(captured[k]);
            return false;
        }
        ++i;
    }
    i = 0;
    for (auto& n : names) Py_XSETREF(*n.slot, captured[i++]);
    return true;
}

bool build_constants() {
    Globals& g = globals();
    if (g.decode_string_defaults) return true;
    Ref enc = Ref::steal(Py_BuildValue("(sss)", "ascii", "utf8", "latin1"));
    if (!enc) return false;
    Ref defaults = Ref::steal(PyTuple_Pack(1, enc.get()));
    if (!defaults) return false;
    g.default_encodings = enc.release();
    g.decode_string_defaults = defaults.release();
    return true;
}

bool bind_import(PyObject* m, const char* module_name, const char* attr, const char* as) {
    Ref mod = Ref::steal(PyImport_ImportModule(module_name));
    if (!mod) return false;
    Ref value;
    if (attr) {
        value = Ref::steal(PyObject_GetAttrString(mod.get(), attr));
        if (!value) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
            PyErr_Clear();
            Ref n = Ref::steal(PyUnicode_FromString(attr));
            if (n) PyErr_Format(PyExc_ImportError, "cannot import name %S", n.get());
            return false;
        }
    } else {
        value = std::move(mod);
    }
    return PyObject_SetAttrString(m, as, value.get()) == 0;
}

// Binds a function under its name; `keep` (optional) receives a new reference
// for code that calls the function itself.
bool bind_function(PyObject* m, const FunctionSpec& spec, PyObject* defaults = nullptr,
                   PyObject** keep = nullptr) {
    Ref f = Ref::steal(make_function(spec, defaults));
    if (!f) return false;
    if (keep) Py_XSETREF(*keep, Py_NewRef(f.get()));
    return PyObject_SetAttrString(m, spec.name, f.get()) == 0;
}

// A binary built for one minor version of the interpreter and loaded by
// another cannot be trusted to agree with its object layouts. Warn and go on:
// the user decides, and a warnings filter that turns this into an error ends
// the import with it.
bool warn_version_mismatch() {
    // The running interpreter's version, from its own version string.
    int major = 0, minor = 0;
    if (std::sscanf(Py_GetVersion(), "%d.%d", &major, &minor) != 2) return true;
    if (major == PY_MAJOR_VERSION && minor == PY_MINOR_VERSION) return true;
    return PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                            "compile time Python version %d.%d of module '%.100s' %s runtime "
                            "version %d.%d",
                            PY_MAJOR_VERSION, PY_MINOR_VERSION, "veskread", "does not match", major,
                            minor) == 0;
}

bool exec_steps(PyObject* m) {
    Globals& g = globals();
    // A module run from Python source carries __builtins__ in its namespace;
    // this one keeps that face (vars(veskread), exec in its namespace and
    // `from veskread import *` see what they would see there).
    Ref builtins = Ref::steal(PyImport_ImportModule("builtins"));
    if (!builtins || PyObject_SetAttrString(m, "__builtins__", builtins.get()) < 0) return false;
    // The steps below import numpy and other modules and create classes;
    // an import that comes back to "veskread" meanwhile must find this object
    // and not start a second initialisation. The import system has usually
    // added the entry already; a spec executed by hand has not.
    PyObject* modules = PyImport_GetModuleDict(); // borrowed
    {
        int present = PyDict_GetItemString(modules, "veskread") != nullptr;
        if (!present && PyDict_SetItemString(modules, "veskread", m) < 0) return false;
    }
    if (!warn_version_mismatch()) return false;
    if (!capture_builtins() || !build_constants() || !make_names()) return false;
    if (!bind_import(m, "warnings", nullptr, "warnings") ||
        !bind_import(m, "dataclasses", "dataclass", "dataclass") ||
        !bind_import(m, "struct", "unpack", "unpack") ||
        !bind_import(m, "struct", "error", "struct_error") ||
        !bind_import(m, "numpy", nullptr, "np"))
        return false;
    Py_XSETREF(g.struct_error, PyObject_GetAttrString(m, "struct_error"));
    if (!g.struct_error) return false;
    Py_XSETREF(g.numpy, PyObject_GetAttrString(m, "np"));
    if (!g.numpy) return false;
    Py_XSETREF(g.numpy_linspace, PyObject_GetAttrString(g.numpy, "linspace"));
    if (!g.numpy_linspace) return false;
    if (!function_type_ready()) return false;
    install_interrupt_hook();
    if (!bind_classes(m)) return false;
    if (!bind_function(m, kHelpSpec) || !bind_function(m, kListContentsSpec) ||
        !bind_function(m, kIsVeskFileSpec, nullptr, &g.is_vesk_file_function) ||
        !bind_function(m, kDecodeStringSpec, g.decode_string_defaults, &g.decode_string_function) ||
        !bind_function(m, kGetVeskDataSpec) || !bind_function(m, kImghdrWhatSpec) ||
        !bind_function(m, kGetVisImagesSpec))
        return false;
    Ref param_dict = Ref::steal(build_param_dict());
    if (!param_dict || PyObject_SetAttrString(m, "paramDict", param_dict.get()) < 0) return false;
    return bind_function(m, kVeskDictSpec);
}

int execute_module(PyObject* m) {
    Globals& g = globals();
    if (g.module) {
        if (g.module == m) return 0;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'veskread' has already been imported. Re-initialisation is not "
                        "supported.");
        return -1;
    }
    g.module = Py_NewRef(m);
    if (!exec_steps(m)) {
        Py_CLEAR(g.module);
        return -1;
    }
    return 0;
}

// No C++ exception may cross into the import machinery.
PyObject* veskread_create(PyObject* spec, PyModuleDef*) {
    return guarded([&] { return create_module(spec); });
}

int veskread_exec(PyObject* m) {
    try {
        return execute_module(m);
    } catch (...) {
        set_python_error_from_current_exception();
        Py_CLEAR(globals().module);
        return -1;
    }
}

PyModuleDef_Slot veskread_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(veskread_create)},
    {Py_mod_exec, reinterpret_cast<void*>(veskread_exec)},
#if PY_VERSION_HEX >= 0x030C0000
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
    {0, nullptr},
};

PyModuleDef veskread_def = {
    PyModuleDef_HEAD_INIT,
    "veskread", // m_name
    nullptr,    // m_doc: the module has no docstring
    0,          // m_size: state lives in statics (see above)
    nullptr,    // m_methods
    veskread_slots,
    nullptr,
    nullptr,
    nullptr,
};

} // namespace

constinit const FunctionSpec kHelpSpec = {
    .name = "help",
    .doc = "\n    Print a help message containing the available functions.\n    ",
    .text_signature = "()",
    .impl = help_impl,
};

} // namespace vesk::py

PyMODINIT_FUNC PyInit_veskread(void) { return PyModuleDef_Init(&vesk::py::veskread_def); }
