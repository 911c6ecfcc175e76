// Container helpers shared by the bindings of every subsystem.
#pragma once

#include <string_view>
#include <vector>

#include "veskread/container/directory.h"
#include "veskread/module/py_file.h"
#include "veskread/module/py_ref.h"

namespace vesk::py {

// Text of a file field (already cut at its first NUL) through the module's
// `decode_string`, looked up at call time. New reference or null.
PyObject* decode_text(std::string_view bytes);

// decode_text for many fields in a row. While the module's decode_string is
// its own function (with its own defaults), decoding runs no Python code, so
// nothing can rebind the name between fields and one lookup serves them all;
// any other function is looked up again for each field.
class TextDecoder {
public:
    PyObject* operator()(std::string_view bytes);

private:
    int own_ = -1; // unknown until the first field
};

// Whether the module's decode_string is still its own function: a text
// then decodes to equal values wherever it is met, so one decoding may
// serve every place that names it. False, with no exception set, where the
// name cannot be looked up: decoding in place then raises what it would.
bool decodes_as_own();

// The directory of a VESK file: the module's `isVeskFile(path)` (looked up at
// call time) must pass, else ValueError "Can't process a non-Vesk file"; then
// the file is opened again for the directory. False with an exception set.
bool read_vesk_directory(PyObject* path, std::vector<DirEntry>& out);

// read_vesk_directory, then `file` opened on `path` for the rest of the
// call. For a path (str or bytes), while the module's isVeskFile is still
// its own function, nothing could tell one open from three, so the file is
// opened once for all.
bool open_vesk_file(PyObject* path, OpenFile& file, std::vector<DirEntry>& out);

// Reads the directory of the file at `path` (opened and closed here).
bool read_directory_at(PyObject* path, std::vector<DirEntry>& out);
// The same, leaving `file` open on `path` for the rest of the call.
bool open_with_directory(PyObject* path, OpenFile& file, std::vector<DirEntry>& out);
// The directory of the file `file` holds open on `path`. A stream (pipe,
// terminal) raises what seeking it would; any other file but a regular one
// OSError EINVAL.
bool read_open_directory(PyObject* path, OpenFile& file, std::vector<DirEntry>& out);

} // namespace vesk::py
