// Container helpers shared by the bindings of every subsystem.
#pragma once

#include <string_view>
#include <vector>

#include "veskread/container/directory.h"
#include "veskread/module/py_ref.h"

namespace vesk::py {

// Text of a file field (already cut at its first NUL) through the module's
// `decode_string`, looked up at call time. New reference or null.
PyObject* decode_text(std::string_view bytes);

// The module's `isVeskFile(path)`, looked up at call time, as a truth value:
// 1 true, 0 false, -1 with an exception set.
int call_is_vesk_file(PyObject* path);

// Reads the directory of the file at `path` (opened and closed here).
bool read_directory_at(PyObject* path, std::vector<DirEntry>& out);

} // namespace vesk::py
