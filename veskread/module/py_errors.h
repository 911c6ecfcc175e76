// The one place where core errors become Python exceptions.
#pragma once

#include <new>

#include "veskread/container/errors.h"
#include "veskread/module/py_ref.h"

namespace vesk::py {

// Sets the Python exception that callers expect for a core error.
void set_python_error(const Error& e);

// Thrown through core code by a callback that left a Python exception set.
struct PythonErrorSet {};

// Runs `body` (which returns a new reference or null with an exception set),
// turning any C++ exception it throws into the matching Python exception.
template <typename F> PyObject* guarded(F&& body) {
    try {
        return body();
    } catch (const Error& e) {
        set_python_error(e);
    } catch (const PythonErrorSet&) {
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    }
    return nullptr;
}

// Runs core code; false with the Python exception set when it throws. With
// `unlocked`, other threads run meanwhile (the code must touch no Python object).
template <typename F> bool run_core(F&& body, bool unlocked = false) {
    PyObject* r = guarded([&]() -> PyObject* {
        try {
            if (unlocked) {
                GilRelease released;
                body();
            } else {
                body();
            }
        } catch (const PythonErrorSet&) {
            return nullptr;
        }
        Py_RETURN_NONE;
    });
    Py_XDECREF(r);
    return r != nullptr;
}

} // namespace vesk::py
