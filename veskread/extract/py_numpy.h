// numpy through the module's `np`, looked up at each call: allocating result
// arrays, filling them through the buffer protocol, and keyword dicts.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <utility>

#include "veskread/module/py_names.h"
#include "veskread/module/py_ref.h"

namespace vesk::py {

// np.<fn>(*args, **kwargs) with the module's np, looked up now. New reference.
PyObject* call_np(Name fn, PyObject* args, PyObject* kwargs = nullptr);
// np.linspace(start, stop, num). Computed here, with numpy's arithmetic,
// when `np` and its linspace are those of import and the arguments plain
// numbers that raise no floating-point condition; numpy's call otherwise.
PyObject* np_linspace(PyObject* start, PyObject* stop, PyObject* num);
// np.<fn>(shape, dtype=np.float32) or, with float64, np.<fn>(shape).
enum class DType { Float32, Float64 };
PyObject* np_array(Name fn, std::initializer_list<int64_t> shape, DType dtype);
// np.zeros((rows, cols), dtype=np.float32) whose memory, if large, is mapped
// on its own: it stays untouched zero pages until written. An array from
// np.zeros is that only where the allocator maps it, and glibc serves one
// below its threshold, which any freed array raises, from its heap, clearing
// the memory there.
PyObject* np_zeros_untouched(int64_t rows, int64_t cols);

// A writable C-contiguous view of exactly `bytes` bytes.
bool writable_view(BufferGuard& guard, PyObject* array, int64_t bytes);

// A dict of keyword arguments from name/value pairs (values borrowed).
PyObject* kwargs_of(std::initializer_list<std::pair<Name, PyObject*>> items);

} // namespace vesk::py
