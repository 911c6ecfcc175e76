// Parameter values and data objects as Python sees them.
//
// Data objects are made by calling the class found in the module namespace at
// that moment with keyword arguments, as Python code would, so a rebound or
// subclassed class is honoured.
#include "veskread/container/py_container.h"
#include "veskread/extract/py_extract.h"
#include "veskread/module/py_classes.h"
#include "veskread/module/py_globals.h"

namespace vesk::py {

PyObject* param_to_python(const ParamValue& v, TextDecoder& decode) {
    if (auto* i = std::get_if<int32_t>(&v)) return PyLong_FromLong(*i);
    if (auto* d = std::get_if<double>(&v)) return PyFloat_FromDouble(*d);
    return decode(std::get<ParamText>(v).bytes);
}

PyObject* param_to_python(const ParamValue& v) {
    TextDecoder decode;
    return param_to_python(v, decode);
}

PyObject* make_data_object(Name class_name, const DataRequest& req, PyObject* extra, PyObject* y) {
    Ref cls = Ref::steal(module_global(class_name));
    if (!cls) return nullptr;
    Ref kwargs = Ref::steal(PyDict_New());
    if (!kwargs) return nullptr;
    struct {
        Name key;
        PyObject* value;
    } common[] = {
        {Name::dimension, req.dimensions},
        {Name::dataType, req.data_block_type},
        {Name::deriv, req.deriv},
        {Name::x, req.abscissa},
        {Name::y, y},
        {Name::minY, req.mny},
        {Name::maxY, req.mxy},
        {Name::parameters, req.parameters},
    };
    for (auto& c : common)
        if (c.value && PyDict_SetItem(kwargs.get(), name(c.key), c.value) < 0) return nullptr;
    if (extra && PyDict_Update(kwargs.get(), extra) < 0) return nullptr;
    return call_data_class(cls.get(), kwargs.get());
}

} // namespace vesk::py
