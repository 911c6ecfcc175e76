// A file opened with the interpreter's own `open` (captured at import), so
// paths, errors and accepted argument types are exactly the interpreter's,
// then read natively through its descriptor. Closed on every way out; a
// descriptor the caller passed as the path is never closed.
#pragma once

#include <optional>

#include "veskread/container/byte_source.h"
#include "veskread/module/py_ref.h"

namespace vesk::py {

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

private:
    Ref file_;
    std::optional<FdSource> source_;
};

} // namespace vesk::py
