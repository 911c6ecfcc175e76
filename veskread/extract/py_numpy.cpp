// numpy without numpy's headers: every array is made by calling the module's
// `np` (looked up at each call, so rebinding `veskread.np` is honoured), then
// filled through the buffer protocol.
//
// Shaped so because the module must build against any numpy (and import
// without one installed to report the missing module), and because numpy's
// own calls give its exact errors for free: a negative dimension, a shape
// too large for memory, a bad linspace count.
#include "veskread/extract/py_numpy.h"

#include "veskread/module/py_globals.h"

namespace vesk::py {

PyObject* call_np(const char* fn, PyObject* args, PyObject* kwargs) {
    Ref np = Ref::steal(module_global("np"));
    if (!np) return nullptr;
    Ref f = Ref::steal(PyObject_GetAttrString(np.get(), fn));
    if (!f) return nullptr;
    return PyObject_Call(f.get(), args, kwargs);
}

PyObject* np_array(const char* fn, std::initializer_list<int64_t> shape, DType dtype) {
    Ref dims = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(shape.size())));
    if (!dims) return nullptr;
    Py_ssize_t k = 0;
    for (int64_t d : shape) {
        PyObject* v = PyLong_FromLongLong(d);
        if (!v) return nullptr;
        PyTuple_SET_ITEM(dims.get(), k++, v);
    }
    Ref args = Ref::steal(
        PyTuple_Pack(1, shape.size() == 1 ? PyTuple_GET_ITEM(dims.get(), 0) : dims.get()));
    if (!args) return nullptr;
    Ref kwargs;
    if (dtype == DType::Float32) {
        Ref np = Ref::steal(module_global("np"));
        if (!np) return nullptr;
        Ref f32 = Ref::steal(PyObject_GetAttrString(np.get(), "float32"));
        if (!f32) return nullptr;
        kwargs = Ref::steal(kwargs_of({{"dtype", f32.get()}}));
        if (!kwargs) return nullptr;
    }
    return call_np(fn, args.get(), kwargs.get());
}

bool writable_view(BufferGuard& guard, PyObject* array, int64_t bytes) {
    if (!guard.acquire(array, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS)) return false;
    if (guard.view().len != bytes) {
        guard.release();
        PyErr_SetString(PyExc_RuntimeError, "array does not have the size it was made with");
        return false;
    }
    return true;
}

PyObject* kwargs_of(std::initializer_list<std::pair<const char*, PyObject*>> items) {
    Ref d = Ref::steal(PyDict_New());
    if (!d) return nullptr;
    for (const auto& [key, value] : items)
        if (PyDict_SetItemString(d.get(), key, value) < 0) return nullptr;
    return d.release();
}

} // namespace vesk::py
