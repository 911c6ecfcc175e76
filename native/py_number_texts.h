// The number writers of vesk._native (py_number_texts.cpp), named in its
// method table.
#pragma once

#include "veskread/module/py_ref.h"

namespace vesk::py {

PyObject* number_texts(PyObject*, PyObject* const* args, Py_ssize_t nargs);
PyObject* csv_rows(PyObject*, PyObject* const* args, Py_ssize_t nargs);
PyObject* jcamp_lines(PyObject*, PyObject* const* args, Py_ssize_t nargs);

} // namespace vesk::py
