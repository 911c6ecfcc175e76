#include "veskread/module/py_file.h"

#include "veskread/module/py_globals.h"

namespace vesk::py {

bool OpenFile::open(PyObject* path) {
    Ref mode = Ref::steal(PyUnicode_FromString("rb"));
    if (!mode) return false;
    // Unbuffered: every read goes through the descriptor anyway, and the
    // buffer object would only cost its making and closing.
    Ref unbuffered = Ref::steal(PyLong_FromLong(0));
    if (!unbuffered) return false;
    file_ = Ref::steal(
        PyObject_CallFunctionObjArgs(globals().open, path, mode.get(), unbuffered.get(), nullptr));
    if (!file_) return false;
    int fd = PyObject_AsFileDescriptor(file_.get());
    if (fd < 0) {
        // close() runs Python code, which must not start with an error pending.
        PyObject *type, *value, *tb;
        PyErr_Fetch(&type, &value, &tb);
        if (!close()) PyErr_Clear();
        PyErr_Restore(type, value, tb);
        return false;
    }
    source_.emplace(fd);
    return true;
}

bool OpenFile::close() {
    source_.reset();
    if (!file_) return true;
    Ref file = std::move(file_);
    Ref r = Ref::steal(PyObject_CallMethod(file.get(), "close", nullptr));
    return static_cast<bool>(r);
}

OpenFile::~OpenFile() {
    if (!file_) return;
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    if (!close()) {
        // The error that ended the call matters more than a failed close; on
        // success paths callers close() explicitly and report its error.
        if (type)
            PyErr_Clear();
        else
            PyErr_WriteUnraisable(nullptr);
    }
    PyErr_Restore(type, value, tb);
}

} // namespace vesk::py
