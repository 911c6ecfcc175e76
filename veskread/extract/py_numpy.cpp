// numpy without numpy's headers: every array is made by calling the module's
// `np` (looked up at each call, so rebinding `veskread.np` is honoured), then
// filled through the buffer protocol.
//
// Shaped so because the module must build against any numpy (and import
// without one installed to report the missing module), and because numpy's
// own calls give its exact errors for free: a negative dimension, a shape
// too large for memory, a bad linspace count.
#include "veskread/extract/py_numpy.h"

#include <cmath>
#include <limits>

#include "veskread/container/output_budget.h"
#include "veskread/module/py_globals.h"

namespace vesk::py {

PyObject* call_np(Name fn, PyObject* args, PyObject* kwargs) {
    Ref np = Ref::steal(module_global(Name::np));
    if (!np) return nullptr;
    Ref f = Ref::steal(PyObject_GetAttr(np.get(), name(fn)));
    if (!f) return nullptr;
    return PyObject_Call(f.get(), args, kwargs);
}

namespace {

// A float or an int that converts to float64 exactly, within a range where
// no difference or step can overflow.
bool plain_number(PyObject* o, double& out) {
    if (PyFloat_CheckExact(o)) {
        out = PyFloat_AS_DOUBLE(o);
    } else if (PyLong_CheckExact(o)) {
        int overflow = 0;
        long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
        if (overflow || v < -(1LL << 53) || v > (1LL << 53)) return false;
        out = static_cast<double>(v);
    } else {
        return false;
    }
    return std::isfinite(out) && std::fabs(out) <= 1e300;
}

bool numpy_untouched() {
    Globals& g = globals();
    Ref np = Ref::steal(module_global(Name::np));
    if (!np) {
        PyErr_Clear();
        return false;
    }
    if (np.get() != g.numpy) return false;
    Ref f = Ref::steal(PyObject_GetAttr(np.get(), name(Name::linspace)));
    if (!f) {
        PyErr_Clear();
        return false;
    }
    return f.get() == g.numpy_linspace;
}

} // namespace

PyObject* np_linspace(PyObject* start, PyObject* stop, PyObject* num) {
    double a = 0, b = 0;
    long long n = -1;
    if (PyLong_CheckExact(num)) {
        int overflow = 0;
        n = PyLong_AsLongLongAndOverflow(num, &overflow);
        if (overflow || n > (1LL << 40)) n = -1;
    }
    double delta = 0, step = 0;
    bool native = n >= 0 && plain_number(start, a) && plain_number(stop, b);
    if (native) {
        delta = b - a;
        step = n > 1 ? delta / static_cast<double>(n - 1) : 0;
        // Only what sets no floating-point flag numpy could report (an
        // underflow under np.seterr(under='raise')).
        constexpr double kTiny = 1e-290;
        native = delta == 0 || (std::fabs(delta) >= kTiny && (n <= 1 || std::fabs(step) >= kTiny));
    }
    if (!native || !numpy_untouched()) {
        if (PyErr_Occurred()) return nullptr;
        Ref args = Ref::steal(PyTuple_Pack(3, start, stop, num));
        if (!args) return nullptr;
        return call_np(Name::linspace, args.get());
    }
    Ref y = Ref::steal(np_array(Name::empty, {n}, DType::Float64));
    if (!y) return nullptr;
    if (n >= 2) {
        // numpy's result is a view of its arange; so is this one.
        Ref minus_one = Ref::steal(PyLong_FromLong(-1));
        Ref shape = minus_one ? Ref::steal(PyTuple_Pack(1, minus_one.get())) : Ref();
        if (!shape) return nullptr;
        y = Ref::steal(PyObject_CallMethodOneArg(y.get(), name(Name::reshape), shape.get()));
        if (!y) return nullptr;
    }
    BufferGuard buf;
    if (!writable_view(buf, y.get(), n * 8)) return nullptr;
    auto* out = static_cast<double*>(buf.view().buf);
    // numpy: y = arange(num) * step (or / div * delta when the step is 0,
    // or * delta when there is no step), then y += start, then y[-1] = stop;
    // each operation rounds on its own.
    // (The build keeps the multiply and the add apart: no fused multiply-add.)
    if (n == 1) {
        out[0] = 0.0 * delta + a;
    } else if (n > 1) {
        const double div = static_cast<double>(n - 1);
        if (step == 0) {
            for (long long i = 0; i < n; ++i) out[i] = static_cast<double>(i) / div * delta + a;
        } else {
            for (long long i = 0; i < n; ++i) out[i] = static_cast<double>(i) * step + a;
        }
        out[n - 1] = b;
    }
    buf.release();
    return y.release();
}

PyObject* np_array(Name fn, std::initializer_list<int64_t> shape, DType dtype) {
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
        Ref np = Ref::steal(module_global(Name::np));
        if (!np) return nullptr;
        Ref f32 = Ref::steal(PyObject_GetAttr(np.get(), name(Name::float32)));
        if (!f32) return nullptr;
        kwargs = Ref::steal(kwargs_of({{Name::dtype, f32.get()}}));
        if (!kwargs) return nullptr;
    }
    return call_np(fn, args.get(), kwargs.get());
}

namespace {

// float32 (rows, cols) over a private anonymous mapping of `bytes` bytes.
PyObject* mapped_zeros(int64_t rows, int64_t cols, int64_t bytes) {
    Ref mmap = Ref::steal(PyImport_ImportModule("mmap"));
    if (!mmap) return nullptr;
    Ref ctor = Ref::steal(PyObject_GetAttrString(mmap.get(), "mmap"));
    Ref flags = ctor ? Ref::steal(PyObject_GetAttrString(mmap.get(), "MAP_PRIVATE")) : Ref();
    if (!flags) return nullptr;
    Ref args = Ref::steal(Py_BuildValue("(iL)", -1, static_cast<long long>(bytes)));
    Ref kwargs = args ? Ref::steal(Py_BuildValue("{sO}", "flags", flags.get())) : Ref();
    if (!kwargs) return nullptr;
    Ref map = Ref::steal(PyObject_Call(ctor.get(), args.get(), kwargs.get()));
    if (!map) return nullptr;
    Ref np = Ref::steal(module_global(Name::np));
    if (!np) return nullptr;
    Ref f32 = Ref::steal(PyObject_GetAttr(np.get(), name(Name::float32)));
    if (!f32) return nullptr;
    Ref flat = Ref::steal(PyObject_CallMethod(np.get(), "frombuffer", "OO", map.get(), f32.get()));
    if (!flat) return nullptr;
    Ref shape = Ref::steal(
        Py_BuildValue("(LL)", static_cast<long long>(rows), static_cast<long long>(cols)));
    if (!shape) return nullptr;
    return PyObject_CallMethodOneArg(flat.get(), name(Name::reshape), shape.get());
}

} // namespace

PyObject* np_zeros_untouched(int64_t rows, int64_t cols) {
    // np.zeros maps such arrays only until a freed one raises the threshold.
    int64_t bytes = saturating_mul(saturating_mul(rows, cols), 4);
    if (bytes >= kMappedArrayBytes && bytes < std::numeric_limits<int64_t>::max()) {
        if (PyObject* a = mapped_zeros(rows, cols, bytes)) return a;
        if (!PyErr_ExceptionMatches(PyExc_Exception)) return nullptr; // Ctrl-C, say
        PyErr_Clear(); // np.zeros gives numpy's own error, if any
    }
    return np_array(Name::zeros, {rows, cols}, DType::Float32);
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

PyObject* kwargs_of(std::initializer_list<std::pair<Name, PyObject*>> items) {
    Ref d = Ref::steal(PyDict_New());
    if (!d) return nullptr;
    for (const auto& [key, value] : items)
        if (PyDict_SetItem(d.get(), name(key), value) < 0) return nullptr;
    return d.release();
}

} // namespace vesk::py
