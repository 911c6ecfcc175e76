// The one place where core errors and C++ exceptions become Python exceptions,
// and where an exception learns where in the file it arose.
#pragma once

#include <new>
#include <string>

#include "veskread/container/errors.h"
#include "veskread/module/py_ref.h"

namespace vesk::py {

// Sets the Python exception that callers expect for a core error.
void set_python_error(const Error& e);

// Thrown through core code by a callback that left a Python exception set.
struct PythonErrorSet {};

// Call inside a catch (...) block: sets the Python exception for the C++
// exception being handled. A core error gets its own exception, bad_alloc
// MemoryError, anything else SystemError with its reason; none crosses into
// the interpreter.
void set_python_error_from_current_exception();

// Runs `body` (which returns a new reference or null with an exception set),
// turning any C++ exception it throws into the matching Python exception.
template <typename F> PyObject* guarded(F&& body) {
    try {
        return body();
    } catch (...) {
        set_python_error_from_current_exception();
    }
    return nullptr;
}

// Runs core code; false with the Python exception set when it throws. With
// `unlocked`, other threads run meanwhile (the code must touch no Python object).
template <typename F> bool run_core(F&& body, bool unlocked = false) {
    PyObject* r = guarded([&]() -> PyObject* {
        if (unlocked) {
            GilRelease released;
            body();
        } else {
            body();
        }
        Py_RETURN_NONE;
    });
    Py_XDECREF(r);
    return r != nullptr;
}

// Where a public call reads: the file it was given, the block it is reading
// and the byte offset of a core error. When the call fails after opening the
// file, the exception gets this as a note (message and type unchanged), so a
// traceback shows where the file went wrong. One per call, innermost current
// on its thread (a call may reach another public function through Python).
class ReadPlace {
public:
    // `path` is the call's argument (borrowed for the call's duration).
    ReadPlace(PyObject* path, const char* block);
    ~ReadPlace();
    ReadPlace(const ReadPlace&) = delete;
    ReadPlace& operator=(const ReadPlace&) = delete;

    // The innermost place of this thread, or null outside public calls.
    static ReadPlace* current();

    void set_block(std::string block) { block_ = std::move(block); }
    void file_opened() { opened_ = true; }
    void failed_at(int64_t offset) { offset_ = offset; }
    // Adds the note to the pending exception when a file was opened.
    void annotate() const;

private:
    PyObject* path_;
    std::string block_;
    bool opened_ = false;
    int64_t offset_ = -1;
    ReadPlace* outer_;
};

} // namespace vesk::py
