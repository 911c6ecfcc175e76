// Files opened with the interpreter's `open`, read natively through the
// descriptor, closed on every way out.
//
// Shaped so because callers rely on `open`'s behaviour for the path: the
// types it accepts (str, bytes, path-like, an int descriptor), its errors
// word for word (FileNotFoundError, IsADirectoryError, ...). The file object
// only owns the descriptor; all reading is pread through FdSource, so the
// read position of a caller's descriptor never moves, and a descriptor the
// caller passed is opened with closefd=False and never closed.
#include "veskread/module/py_file.h"

#include "veskread/module/py_errors.h"
#include "veskread/module/py_globals.h"

namespace vesk::py {

bool OpenFile::open(PyObject* path) {
    // Unbuffered: every read goes through the descriptor anyway, and the
    // buffer object would only cost its making and closing.
    Ref args = Ref::steal(Py_BuildValue("(Osi)", path, "rb", 0));
    if (!args) return false;
    // A descriptor is the caller's: read it, never close it.
    Ref kwargs;
    if (is_descriptor(path)) {
        kwargs = Ref::steal(Py_BuildValue("{sO}", "closefd", Py_False));
        if (!kwargs) return false;
    }
    file_ = Ref::steal(PyObject_Call(globals().open, args.get(), kwargs.get()));
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
    if (ReadPlace* place = ReadPlace::current()) place->file_opened();
    return true;
}

PyObject* OpenFile::read_in_order(Py_ssize_t n) {
    Ref got = Ref::steal(PyBytes_FromStringAndSize(nullptr, 0));
    while (got && PyBytes_GET_SIZE(got.get()) < n) {
        Ref part = Ref::steal(
            PyObject_CallMethod(file_.get(), "read", "n", n - PyBytes_GET_SIZE(got.get())));
        if (!part) return nullptr;
        // An unbuffered file gives None when a non-blocking descriptor has nothing yet.
        if (part.get() == Py_None || !PyBytes_Check(part.get()) ||
            PyBytes_GET_SIZE(part.get()) == 0)
            break;
        PyObject* joined = got.release();
        PyBytes_Concat(&joined, part.get());
        got = Ref::steal(joined);
    }
    return got.release();
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
