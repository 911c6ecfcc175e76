// A file opened with the interpreter's own `open` (captured at import), so
// paths, errors and accepted argument types are exactly the interpreter's,
// then read natively through its descriptor. Closed on every way out; a
// descriptor the caller passed as the path is never closed.
#pragma once

#include <optional>

#include "veskread/container/byte_source.h"
#include "veskread/module/py_ref.h"

namespace vesk::py {

// Whether `open` takes `path` as a descriptor number (an int, or any object
// with __index__ such as numpy's integers) rather than as a name.
inline bool is_descriptor(PyObject* path) {
    return !PyUnicode_Check(path) && !PyBytes_Check(path) && PyIndex_Check(path);
}

class OpenFile {
public:
    OpenFile() = default;
    OpenFile(const OpenFile&) = delete;
    OpenFile& operator=(const OpenFile&) = delete;
    // Closes the file, keeping any pending exception as it is.
    ~OpenFile();

    // open(path, 'rb'); false with the interpreter's exception set on failure.
    bool open(PyObject* path);
    // Closes now; false with an exception set when closing fails.
    bool close();
    const FdSource& source() const { return *source_; }
    // Up to `n` bytes read in order through the file object, as a buffered
    // read would give them (fewer only at the end). For streams, which have
    // no positioned reads. New reference or null.
    PyObject* read_in_order(Py_ssize_t n);

private:
    Ref file_;
    std::optional<FdSource> source_;
};

} // namespace vesk::py
