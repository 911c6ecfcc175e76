// The translator from core errors to the exceptions and texts callers rely
// on, the net that keeps C++ exceptions out of the interpreter, and the note
// that says where in the file an error arose.
//
// Shaped as one switch over the core's error kinds, as a compression module
// funnels every status through one function: a new kind fails to compile here
// (-Wswitch) rather than reaching users as a stray RuntimeError.
#include "veskread/module/py_errors.h"

#include <cerrno>
#include <exception>

#include "veskread/module/py_file.h"
#include "veskread/module/py_globals.h"

namespace vesk::py {

namespace {

// Short reads are what `unpack` reports: struct.error itself, whatever the
// module's `struct_error` has since been bound to.
void raise_struct_error(const char* message) { PyErr_SetString(globals().struct_error, message); }

} // namespace

void set_python_error(const Error& e) {
    if (ReadPlace* place = ReadPlace::current(); place && e.position() >= 0)
        place->failed_at(e.position());
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
    PyErr_SetString(PyExc_SystemError, e.what());
}

void set_python_error_from_current_exception() {
    try {
        throw;
    } catch (const Error& e) {
        set_python_error(e);
    } catch (const PythonErrorSet&) {
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_SystemError, "error return without exception set");
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_Format(PyExc_SystemError, "internal error in veskread: %s", e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "internal error in veskread: unknown C++ exception");
    }
}

namespace {

thread_local ReadPlace* innermost = nullptr;

// "file '/data/a.vesk'" for a path, "file descriptor 3" for a descriptor.
PyObject* describe_file(PyObject* path) {
    if (is_descriptor(path)) {
        Ref number = Ref::steal(PyNumber_Index(path));
        return number ? PyUnicode_FromFormat("file descriptor %R", number.get()) : nullptr;
    }
    Ref fs = Ref::steal(PyOS_FSPath(path));
    if (!fs) return nullptr;
    return PyUnicode_FromFormat("file %R", fs.get());
}

bool add_note(PyObject* exc, PyObject* note) {
#if PY_VERSION_HEX >= 0x030B0000
    Ref r = Ref::steal(PyObject_CallMethod(exc, "add_note", "O", note));
    return static_cast<bool>(r);
#else
    // Before 3.11 nothing shows notes, but code that reads __notes__ (and a
    // traceback printer that knows them) finds them where 3.11 puts them.
    Ref notes = Ref::steal(PyObject_GetAttrString(exc, "__notes__"));
    if (!notes) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        notes = Ref::steal(PyList_New(0));
        if (!notes || PyObject_SetAttrString(exc, "__notes__", notes.get()) < 0) return false;
    }
    if (!PyList_Check(notes.get())) return true; // someone else's: leave it
    return PyList_Append(notes.get(), note) == 0;
#endif
}

} // namespace

ReadPlace::ReadPlace(PyObject* path, const char* block)
    : path_(path), block_(block), outer_(innermost) {
    innermost = this;
}

ReadPlace::~ReadPlace() { innermost = outer_; }

ReadPlace* ReadPlace::current() { return innermost; }

void ReadPlace::annotate() const {
    if (!opened_ || !PyErr_Occurred()) return;
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb) PyException_SetTraceback(value, tb);
    Ref file = Ref::steal(describe_file(path_));
    Ref note;
    if (file && offset_ >= 0)
        note = Ref::steal(PyUnicode_FromFormat("while reading %U, block %s, at byte offset %lld",
                                               file.get(), block_.c_str(),
                                               static_cast<long long>(offset_)));
    else if (file)
        note = Ref::steal(
            PyUnicode_FromFormat("while reading %U, block %s", file.get(), block_.c_str()));
    // A note that cannot be made must not replace the error it explains.
    if (!note || !add_note(value, note.get())) PyErr_Clear();
    PyErr_Restore(type, value, tb);
}

} // namespace vesk::py
