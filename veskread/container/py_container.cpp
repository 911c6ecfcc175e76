// isVeskFile, decode_string and listContents, and the container helpers the
// other bindings share.
//
// The directory is read in the core with the file opened by the interpreter's
// `open`. getVeskData asks whether a file is a VESK file by calling the
// module's isVeskFile as it stands in the namespace at that moment, and text
// is decoded through the module's decode_string unless it is the untouched
// original (then natively), so rebinding either changes what later calls do.
#include "veskread/container/py_container.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>

#include "veskread/container/listing.h"
#include "veskread/module/py_errors.h"
#include "veskread/module/py_file.h"
#include "veskread/module/py_globals.h"
#include "veskread/module/py_public.h"

namespace vesk::py {

namespace {

bool is_ascii(std::string_view s) {
    size_t i = 0;
    uint64_t any = 0;
    for (; i + 8 <= s.size(); i += 8) {
        uint64_t w;
        std::memcpy(&w, s.data() + i, 8);
        any |= w;
    }
    for (; i < s.size(); ++i) any |= static_cast<unsigned char>(s[i]);
    return (any & 0x8080808080808080ull) == 0;
}

// 'ascii', then 'utf8', then 'latin1', each strict: the default encodings.
PyObject* decode_default(std::string_view s) {
    auto n = static_cast<Py_ssize_t>(s.size());
    if (is_ascii(s)) {
        // The codec hands out shared objects for the empty and 1-character strings.
        if (n <= 1) return PyUnicode_DecodeASCII(s.data(), n, nullptr);
        // What the ascii codec makes of it, without checking the bytes again.
        PyObject* r = PyUnicode_New(n, 127);
        if (r) std::memcpy(PyUnicode_1BYTE_DATA(r), s.data(), s.size());
        return r;
    }
    PyObject* r = PyUnicode_DecodeUTF8(s.data(), n, nullptr);
    if (r || !PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) return r;
    PyErr_Clear();
    return PyUnicode_DecodeLatin1(s.data(), n, nullptr);
}

PyObject* decode_string_impl(FunctionObject*, PyObject* const* a, PyObject*) {
    PyObject* s = a[0];
    PyObject* encodings = a[1];
    Ref it = Ref::steal(PyObject_GetIter(encodings));
    if (!it) return nullptr;
    while (Ref enc = Ref::steal(PyIter_Next(it.get()))) {
        Ref r = Ref::steal(PyObject_CallMethod(s, "decode", "O", enc.get()));
        if (r) return r.release();
        if (!PyErr_ExceptionMatches(globals().UnicodeDecodeError)) return nullptr;
        PyErr_Clear();
    }
    if (PyErr_Occurred()) return nullptr;
    return PyObject_CallMethod(s, "decode", "ss", "ascii", "ignore");
}

// True when the module's name `name`, looked up now, catches the pending
// exception, which is then cleared; as `except name:` would, an error in the
// lookup or a name that is no exception class replaces it, with it as context.
bool caught_by_module_name(const char* name) {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    Ref caught = Ref::steal(module_global(name));
    bool valid = false;
    if (caught) {
        valid = PyExceptionClass_Check(caught.get());
        if (PyTuple_Check(caught.get())) {
            valid = true;
            for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(caught.get()); ++i)
                valid = valid && PyExceptionClass_Check(PyTuple_GET_ITEM(caught.get(), i));
        }
        if (!valid)
            PyErr_SetString(PyExc_TypeError,
                            "catching classes that do not inherit from BaseException is not "
                            "allowed");
    }
    if (valid) {
        if (PyErr_GivenExceptionMatches(type, caught.get())) {
            Py_XDECREF(type);
            Py_XDECREF(value);
            Py_XDECREF(tb);
            return true;
        }
        PyErr_Restore(type, value, tb);
        return false;
    }
    PyObject *type2, *value2, *tb2;
    PyErr_Fetch(&type2, &value2, &tb2);
    PyErr_NormalizeException(&type2, &value2, &tb2);
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb) PyException_SetTraceback(value, tb);
    PyException_SetContext(value2, value); // steals value
    Py_XDECREF(type);
    Py_XDECREF(tb);
    PyErr_Restore(type2, value2, tb2);
    return false;
}

// Reading the magic number: 1 a VESK file, 0 not, -1 an exception set. A
// file of fewer than 4 bytes fails unpack with struct.error, which the check
// catches by the module's name `struct_error`. A stream (a pipe, a terminal)
// is read in order, as a buffered read would.
int read_magic(OpenFile& file) {
    bool stream = false;
    if (!run_core([&] { stream = file.source().is_stream(); })) return -1;
    std::string head;
    if (stream) {
        Ref bytes = Ref::steal(file.read_in_order(4));
        if (!bytes) return -1;
        head.assign(PyBytes_AS_STRING(bytes.get()), PyBytes_GET_SIZE(bytes.get()));
    } else if (!run_core([&] { head = Cursor(file.source()).read_upto(4); })) {
        return -1;
    }
    if (head.size() == 4) return has_vesk_magic(MemorySource(head.data(), head.size()));
    PyErr_SetString(globals().struct_error, "unpack requires a buffer of 4 bytes");
    return caught_by_module_name("struct_error") ? 0 : -1;
}

// A stream has no positions to seek to: what seeking a buffered file on it raises.
void raise_not_seekable() {
    Ref io = Ref::steal(PyImport_ImportModule("io"));
    Ref cls = io ? Ref::steal(PyObject_GetAttrString(io.get(), "UnsupportedOperation")) : Ref();
    if (cls) PyErr_SetString(cls.get(), "File or stream is not seekable.");
}

PyObject* is_vesk_file_impl(FunctionObject*, PyObject* const* a, PyObject*) {
    OpenFile file;
    if (!file.open(a[0])) return nullptr;
    int is_vesk = read_magic(file);
    if (is_vesk < 0 || !file.close()) return nullptr;
    return PyBool_FromLong(is_vesk);
}

// The key tuple of a slot, made at first use; new reference.
PyObject* content_key(int slot) {
    PyObject*& cached = globals().content_keys[slot];
    if (!cached) {
        DataBlockName n = content_key_name(slot);
        std::string type = std::string(n.prefix) + n.name + n.suffix;
        Ref parts[3] = {
            Ref::steal(PyUnicode_FromStringAndSize(type.data(), Py_ssize_t(type.size()))),
            Ref::steal(PyUnicode_InternFromString(n.dimensions)),
            Ref::steal(PyUnicode_InternFromString(n.derivative))};
        if (!parts[0] || !parts[1] || !parts[2]) return nullptr;
        cached = PyTuple_Pack(3, parts[0].get(), parts[1].get(), parts[2].get());
        if (!cached) return nullptr;
    }
    return Py_NewRef(cached);
}

PyObject* list_contents_impl(FunctionObject*, PyObject* const* a, PyObject*) {
    std::vector<DirEntry> directory;
    {
        OpenFile file;
        if (!open_vesk_file(a[0], file, directory) || !file.close()) return nullptr;
    }
    return guarded([&]() -> PyObject* {
        std::vector<uint16_t> slots = list_content_slots(directory);
        Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(slots.size())));
        if (!list) return nullptr;
        for (size_t i = 0; i < slots.size(); ++i) {
            PyObject* key = content_key(slots[i]);
            if (!key) return nullptr;
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), key);
        }
        return list.release();
    });
}

} // namespace

namespace {

bool is_own_decoder(PyObject* fn) {
    Globals& g = globals();
    if (fn != g.decode_string_function) return false;
    auto* f = reinterpret_cast<FunctionObject*>(fn);
    return f->defaults && PyTuple_GET_SIZE(f->defaults) == 1 &&
           PyTuple_GET_ITEM(f->defaults, 0) == g.default_encodings;
}

} // namespace

bool decodes_as_own() {
    Ref fn = Ref::steal(module_global("decode_string"));
    if (!fn) {
        PyErr_Clear();
        return false;
    }
    return is_own_decoder(fn.get());
}

PyObject* TextDecoder::operator()(std::string_view bytes) {
    if (own_ == 1) return decode_default(bytes);
    if (own_ == 0) return decode_text(bytes);
    Ref fn = Ref::steal(module_global("decode_string"));
    if (!fn) return nullptr;
    own_ = is_own_decoder(fn.get()) ? 1 : 0;
    return own_ ? decode_default(bytes) : decode_text(bytes);
}

PyObject* decode_text(std::string_view bytes) {
    Ref fn = Ref::steal(module_global("decode_string"));
    if (!fn) return nullptr;
    if (is_own_decoder(fn.get())) return decode_default(bytes);
    Ref b =
        Ref::steal(PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size())));
    if (!b) return nullptr;
    return PyObject_CallOneArg(fn.get(), b.get());
}

bool read_vesk_directory(PyObject* path, std::vector<DirEntry>& out) {
    Ref fn = Ref::steal(module_global("isVeskFile"));
    if (!fn) return false;
    Ref r = Ref::steal(PyObject_CallOneArg(fn.get(), path));
    if (!r) return false;
    int ok = PyObject_IsTrue(r.get());
    if (ok < 0) return false;
    if (!ok) {
        PyErr_SetString(globals().ValueError, "Can't process a non-Vesk file");
        return false;
    }
    return read_directory_at(path, out);
}

bool open_vesk_file(PyObject* path, OpenFile& file, std::vector<DirEntry>& out) {
    Ref fn = Ref::steal(module_global("isVeskFile"));
    if (!fn) return false;
    // A descriptor number is closed by the first open; a path names the same
    // file each time.
    bool named = PyUnicode_CheckExact(path) || PyBytes_CheckExact(path);
    if (!named || fn.get() != globals().is_vesk_file_function)
        return read_vesk_directory(path, out) && file.open(path);
    if (!file.open(path)) return false;
    int is_vesk = read_magic(file);
    if (is_vesk < 0) return false;
    if (!is_vesk) {
        PyErr_SetString(globals().ValueError, "Can't process a non-Vesk file");
        return false;
    }
    return read_open_directory(path, file, out);
}

bool read_directory_at(PyObject* path, std::vector<DirEntry>& out) {
    OpenFile file;
    return open_with_directory(path, file, out) && file.close();
}

bool open_with_directory(PyObject* path, OpenFile& file, std::vector<DirEntry>& out) {
    return file.open(path) && read_open_directory(path, file, out);
}

bool read_open_directory(PyObject* path, OpenFile& file, std::vector<DirEntry>& out) {
    bool stream = false, regular = false;
    if (!run_core([&] {
            regular = file.source().is_regular_file();
            stream = !regular && file.source().is_stream();
        }))
        return false;
    if (stream) {
        raise_not_seekable();
        return false;
    }
    // A device would feed the directory without end; refuse it before reading.
    if (!regular) {
        Ref err = Ref::steal(
            PyObject_CallFunction(PyExc_OSError, "isO", EINVAL, "Not a regular file", path));
        if (err) PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(err.get())), err.get());
        return false;
    }
    PyObject* done = guarded([&]() -> PyObject* {
        out = read_directory(file.source());
        Py_RETURN_NONE;
    });
    if (!done) return false;
    Py_DECREF(done);
    return true;
}

constinit const FunctionSpec kIsVeskFileSpec = {
    .name = "isVeskFile",
    .doc = "\n    Tests if the given file is an VESK data file.\n\n    Args:\n        path (path): "
           "Path "
           "to file\n\n    Returns:\n        bool: True if an VESK file\n    ",
    .params = {"path"},
    .text_signature = "(path)",
    .impl = is_vesk_file_impl,
    .reads = "header",
};

constinit const FunctionSpec kDecodeStringSpec = {
    .name = "decode_string",
    .doc = "Attempt to decode a string",
    .params = {"s", "encodings"},
    .text_signature = "(s, encodings=('ascii', 'utf8', 'latin1'))",
    .impl = decode_string_impl,
};

constinit const FunctionSpec kListContentsSpec = {
    .name = "listContents",
    .doc =
        "\n    This function returns a list of datablocks for a given file.\n    Each datablock is "
        "identified by blocktype, dimensions and derivative.\n\n    Args:\n        path (path): "
        "Path "
        "to file\n\n    Returns:\n        list of tuple(str, str, str): List containing a "
        "(datablocktype, dimensions, derivative) tuple\n        for each datablock in the file\n   "
        " ",
    .params = {"path"},
    .text_signature = "(path)",
    .impl = list_contents_impl,
    .reads = "directory",
};

} // namespace vesk::py
