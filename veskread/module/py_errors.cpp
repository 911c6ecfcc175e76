#include "veskread/module/py_errors.h"

#include <cerrno>

#include "veskread/module/py_globals.h"

namespace vesk::py {

namespace {

void raise_struct_error(const char* message) {
    Ref cls = Ref::steal(module_global("struct_error"));
    if (!cls) return;
    PyErr_SetString(cls.get(), message);
}

} // namespace

void set_python_error(const Error& e) {
    switch (e.kind()) {
    case ErrorKind::ShortRead: {
        Ref msg = Ref::steal(
            PyUnicode_FromFormat("unpack requires a buffer of %lld bytes", (long long)e.value()));
        if (msg) raise_struct_error(PyUnicode_AsUTF8(msg.get()));
        return;
    }
    case ErrorKind::BadCount:
        raise_struct_error(e.what());
        return;
    case ErrorKind::FileChanged: {
        // OSError(EIO, text): the OS's code for it and the text that says what happened.
        Ref args = Ref::steal(Py_BuildValue("(is)", EIO, e.what()));
        if (args) PyErr_SetObject(PyExc_OSError, args.get());
        return;
    }
    case ErrorKind::BadShape:
    case ErrorKind::Loop:
        PyErr_SetString(globals().ValueError, e.what());
        return;
    case ErrorKind::NegativeSeek:
        errno = EINVAL;
        PyErr_SetFromErrno(PyExc_OSError);
        return;
    case ErrorKind::OffsetOverflow:
        PyErr_SetString(PyExc_ValueError, "cannot fit 'int' into an offset-sized integer");
        return;
    case ErrorKind::Io:
        errno = static_cast<int>(e.value());
        PyErr_SetFromErrno(PyExc_OSError);
        return;
    case ErrorKind::NegativeReadLength:
        PyErr_SetString(PyExc_ValueError, "read length must be non-negative or -1");
        return;
    case ErrorKind::UnknownParamType:
        PyErr_Format(globals().ValueError, "Unexpected value for reading parameter type: %lld",
                     (long long)e.value());
        return;
    case ErrorKind::KeyNotUtf8: {
        // Let the codec raise its own UnicodeDecodeError for these bytes.
        PyObject* r = PyUnicode_DecodeUTF8(e.detail().data(),
                                           static_cast<Py_ssize_t>(e.detail().size()), nullptr);
        if (r) {
            Py_DECREF(r);
            PyErr_SetString(PyExc_ValueError, e.what());
        }
        return;
    }
    case ErrorKind::MissingKey: {
        Ref key = Ref::steal(PyUnicode_DecodeUTF8(
            e.detail().data(), static_cast<Py_ssize_t>(e.detail().size()), "surrogateescape"));
        if (key) PyErr_SetObject(globals().KeyError, key.get());
        return;
    }
    case ErrorKind::IndexOutOfRange:
        PyErr_SetString(PyExc_IndexError, e.what());
        return;
    case ErrorKind::WrongType:
        PyErr_SetString(PyExc_TypeError, e.what());
        return;
    case ErrorKind::DivisionByZero:
        PyErr_SetString(PyExc_ZeroDivisionError, e.what());
        return;
    case ErrorKind::Value:
        PyErr_SetString(globals().ValueError, e.what());
        return;
    }
    PyErr_SetString(PyExc_RuntimeError, e.what());
}

} // namespace vesk::py
