// imghdr_what and getVisImages.
//
// imghdr_what tests bytes and bytearray natively and anything else through
// the Python operations a caller's object would meet (slicing, ==, `in`,
// startswith), so foreign objects fail with their own errors. getVisImages
// walks the image directory in the core and builds one dict per image here,
// where attribute texts are decoded. Keys that name the same sub-block or the
// same image bytes share one parsed block and one bytes object.
#include <algorithm>
#include <map>
#include <string>
#include <unordered_map>
#include <vector>

#include "veskread/container/freed_heap.h"
#include "veskread/container/interrupt.h"
#include "veskread/container/output_budget.h"
#include "veskread/container/py_container.h"
#include "veskread/extract/py_extract.h"
#include "veskread/images/image_keys.h"
#include "veskread/images/image_sniff.h"
#include "veskread/images/visible_images.h"
#include "veskread/module/py_errors.h"
#include "veskread/module/py_file.h"
#include "veskread/module/py_globals.h"
#include "veskread/module/py_public.h"

namespace vesk::py {
namespace {

// ---- imghdr_what ----------------------------------------------------------

// Signature constants for values that are not plain bytes; made at first use.
const ImageSignatures* image_signatures() {
    ImageSignatures& c = globals().image_signatures;
    if (c.head6) return &c;
    Ref six = Ref::steal(PyLong_FromLong(6)), ten = Ref::steal(PyLong_FromLong(10));
    Ref four = Ref::steal(PyLong_FromLong(4));
    if (!six || !ten || !four) return nullptr;
    ImageSignatures n;
    n.jpeg_markers = Py_BuildValue("(y#y#)", "JFIF", Py_ssize_t(4), "Exif", Py_ssize_t(4));
    n.jpeg_raw = PyBytes_FromStringAndSize("\xFF\xD8\xFF\xDB", 4);
    n.png = PyBytes_FromStringAndSize("\x89PNG\r\n\x1A\n", 8);
    n.gifs = Py_BuildValue("(y#y#)", "GIF87a", Py_ssize_t(6), "GIF89a", Py_ssize_t(6));
    n.bmp = PyBytes_FromStringAndSize("BM", 2);
    n.marker_slice = PySlice_New(six.get(), ten.get(), nullptr);
    n.head4 = PySlice_New(nullptr, four.get(), nullptr);
    n.head6 = PySlice_New(nullptr, six.get(), nullptr);
    PyObject* all[] = {n.jpeg_markers, n.jpeg_raw,     n.png,   n.gifs,
                       n.bmp,          n.marker_slice, n.head4, n.head6};
    bool ok = true;
    for (PyObject* o : all) ok = ok && o;
    if (!ok) {
        for (PyObject* o : all) Py_XDECREF(o);
        return nullptr;
    }
    c = n;
    return &c;
}

PyObject* type_name_or_none(const char* type) {
    if (!type) Py_RETURN_NONE;
    return PyUnicode_InternFromString(type);
}

// 1 when `h[slice]` is one of `candidates` (a tuple), 0 if not, -1 on error.
int slice_in(PyObject* h, PyObject* slice, PyObject* candidates) {
    Ref part = Ref::steal(PyObject_GetItem(h, slice));
    if (!part) return -1;
    return PySequence_Contains(candidates, part.get());
}

int slice_equals(PyObject* h, PyObject* slice, PyObject* want) {
    Ref part = Ref::steal(PyObject_GetItem(h, slice));
    if (!part) return -1;
    Ref eq = Ref::steal(PyObject_RichCompare(part.get(), want, Py_EQ));
    return eq ? PyObject_IsTrue(eq.get()) : -1;
}

int starts_with(PyObject* h, PyObject* prefix) {
    Ref r = Ref::steal(PyObject_CallMethod(h, "startswith", "O", prefix));
    return r ? PyObject_IsTrue(r.get()) : -1;
}

// Anything else goes through the same operations a Python caller's value
// would meet: slicing, ==, `in` and .startswith, with their own errors.
PyObject* sniff_object(PyObject* h) {
    const ImageSignatures* c = image_signatures();
    if (!c) return nullptr;
    int r;
    if ((r = slice_in(h, c->marker_slice, c->jpeg_markers)) != 0)
        return r < 0 ? nullptr : type_name_or_none("jpeg");
    if ((r = slice_equals(h, c->head4, c->jpeg_raw)) != 0)
        return r < 0 ? nullptr : type_name_or_none("jpeg");
    if ((r = starts_with(h, c->png)) != 0) return r < 0 ? nullptr : type_name_or_none("png");
    if ((r = slice_in(h, c->head6, c->gifs)) != 0)
        return r < 0 ? nullptr : type_name_or_none("gif");
    if ((r = starts_with(h, c->bmp)) != 0) return r < 0 ? nullptr : type_name_or_none("bmp");
    Py_RETURN_NONE;
}

PyObject* imghdr_what_impl(FunctionObject*, PyObject* const* a, PyObject*) {
    PyObject* h = a[0];
    if (PyBytes_CheckExact(h))
        return type_name_or_none(sniff_image_type(
            std::string_view(PyBytes_AS_STRING(h), static_cast<size_t>(PyBytes_GET_SIZE(h)))));
    if (PyByteArray_CheckExact(h))
        return type_name_or_none(sniff_image_type(std::string_view(
            PyByteArray_AS_STRING(h), static_cast<size_t>(PyByteArray_GET_SIZE(h)))));
    return sniff_object(h);
}

// ---- getVisImages ---------------------------------------------------------

// What one attribute entry of an image dict is charged.
constexpr int64_t kDictEntryCost = 16;

PyObject* utf8_str(const std::string& s) {
    return PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "surrogateescape");
}

// name.rstrip(":"); natively for an exact str, whose method nothing can
// have replaced.
Ref rstrip_colons(PyObject* name) {
    if (!PyUnicode_CheckExact(name))
        return Ref::steal(PyObject_CallMethod(name, "rstrip", "s", ":"));
    Py_ssize_t end = PyUnicode_GET_LENGTH(name);
    while (end > 0 && PyUnicode_READ_CHAR(name, end - 1) == ':') --end;
    return Ref::steal(PyUnicode_Substring(name, 0, end));
}

// The attributes, in block order: "Title" from H00, and for every other H key
// its text without trailing ':' naming the value of the matching V key.
bool add_attributes(PyObject* image, const ParamBlock& params) {
    // The H keys are picked out of the whole block before any is looked at, so
    // an empty key anywhere (it has no first character) fails first.
    for (const auto& entry : params.entries())
        if (entry.first.empty()) {
            PyErr_SetString(PyExc_IndexError, "string index out of range");
            return false;
        }
    TextDecoder decode;
    for (const auto& [key, h_value] : params.entries()) {
        if (key[0] != 'H') continue;
        Ref heading = Ref::steal(param_to_python(h_value, decode));
        if (!heading) return false;
        if (key == "H00") {
            if (PyDict_SetItem(image, name(Name::Title), heading.get()) < 0) return false;
            continue;
        }
        Ref attribute = rstrip_colons(heading.get());
        if (!attribute) return false;
        std::string value_key = key;
        for (char& ch : value_key)
            if (ch == 'H') ch = 'V';
        const ParamValue* stored = params.find(value_key);
        if (!stored) {
            Ref missing = Ref::steal(utf8_str(value_key));
            if (missing) PyErr_SetObject(globals().KeyError, missing.get());
            return false;
        }
        Ref value = Ref::steal(param_to_python(*stored, decode));
        if (!value || PyDict_SetItem(image, attribute.get(), value.get()) < 0) return false;
    }
    return true;
}

// image[key], raising KeyError(key) when absent. Borrowed.
PyObject* attribute(PyObject* image, PyObject* key) {
    PyObject* v = PyDict_GetItemWithError(image, key);
    if (!v && !PyErr_Occurred()) PyErr_SetObject(globals().KeyError, key);
    return v;
}

// A read count as a binary file's read() takes it.
bool read_count(PyObject* obj, Py_ssize_t& n) {
    if (obj == Py_None) {
        n = -1;
        return true;
    }
    if (!PyIndex_Check(obj)) {
        PyErr_Format(PyExc_TypeError, "argument should be integer or None, not '%.200s'",
                     Py_TYPE(obj)->tp_name);
        return false;
    }
    n = PyNumber_AsSsize_t(obj, PyExc_OverflowError);
    return !(n == -1 && PyErr_Occurred());
}

// Image bytes already made: keys that name the same bytes share one bytes
// object (and one without the type-258 header).
struct SharedImageBytes {
    OutputBudget& budget;
    int64_t file_size; // as seen at the start

    std::map<std::pair<int64_t, Py_ssize_t>, Ref> read; // by position and count
    std::map<PyObject*, Ref> headless;                  // by the bytes read
    int64_t made = 0;                                   // bytes read so far
};

// `count` bytes at the cursor as a bytes object, read straight into it
// without the interpreter lock; new reference.
PyObject* image_bytes(Cursor& cur, Py_ssize_t count, SharedImageBytes& shared) {
    auto key = std::make_pair(cur.tell(), count);
    auto it = shared.read.find(key);
    if (it != shared.read.end()) return Py_NewRef(it->second.get());
    int64_t n = image_bytes_available(cur, count, shared.file_size);
    try {
        poll_interrupt(n);
        if (!shared.budget.try_spend(n))
            shared.budget.refuse("images overlap: " + std::to_string(shared.read.size() + 1) +
                                 " distinct images, the last " + std::to_string(n) + " bytes long");
    } catch (...) {
        set_python_error_from_current_exception();
        return nullptr;
    }
    // The caller frees the pictures together; many of them would not keep
    // that memory for the next call on their own.
    shared.made += n;
    keep_freed_results(static_cast<size_t>(shared.made));
    Ref data = Ref::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(n)));
    if (!data) return nullptr;
    size_t got = 0;
    char* buf = PyBytes_AS_STRING(data.get());
    if (!run_core([&] { got = cur.read_into(buf, static_cast<size_t>(n)); }, true)) return nullptr;
    if (static_cast<int64_t>(got) != n) { // the file shrank meanwhile: keep what was there
        data = Ref::steal(PyBytes_FromStringAndSize(buf, static_cast<Py_ssize_t>(got)));
        if (!data) return nullptr;
    }
    shared.read.emplace(key, Ref::borrow(data.get()));
    return data.release();
}

// `data` without its first kType258Header bytes; new reference.
PyObject* without_header(PyObject* data, SharedImageBytes& shared) {
    auto it = shared.headless.find(data);
    if (it != shared.headless.end()) return Py_NewRef(it->second.get());
    Py_ssize_t n = PyBytes_GET_SIZE(data);
    Py_ssize_t skip = std::min<Py_ssize_t>(n, static_cast<Py_ssize_t>(kType258Header));
    Ref cut = Ref::steal(PyBytes_FromStringAndSize(PyBytes_AS_STRING(data) + skip, n - skip));
    if (!cut) return nullptr;
    shared.headless.emplace(data, Ref::borrow(cut.get()));
    return cut.release();
}

// "image" (as many bytes as the attribute "Bytes" says, less the header of
// type 258) and "imgext"; the cursor stands at the image bytes.
bool add_image_bytes(PyObject* image, Cursor& cur, SharedImageBytes& shared) {
    PyObject* count_obj = attribute(image, name(Name::Bytes));
    Py_ssize_t count;
    if (!count_obj || !read_count(count_obj, count)) return false;
    Ref data = Ref::steal(image_bytes(cur, count, shared));
    if (!data) return false;
    PyObject* type = attribute(image, name(Name::Type));
    if (!type) return false;
    Ref with_header = Ref::steal(PyLong_FromLongLong(kImageType258));
    if (!with_header) return false;
    Ref eq = Ref::steal(PyObject_RichCompare(type, with_header.get(), Py_EQ));
    int drop = eq ? PyObject_IsTrue(eq.get()) : -1;
    if (drop < 0) return false;
    if (drop) {
        data = Ref::steal(without_header(data.get(), shared));
        if (!data) return false;
    }
    if (PyDict_SetItem(image, name(Name::image), data.get()) < 0) return false;
    Ref what = Ref::steal(module_global(Name::imghdr_what));
    if (!what) return false;
    Ref ext = Ref::steal(PyObject_CallOneArg(what.get(), data.get()));
    return ext && PyDict_SetItem(image, name(Name::imgext), ext.get()) == 0;
}

PyObject* read_images(const FdSource& source, const VisibleImageBlock& block) {
    Cursor cur(source);
    ParamBlock directory = read_image_directory(cur, block);
    int64_t count = image_count(directory);
    Ref images = Ref::steal(PyList_New(0));
    if (!images) return nullptr;
    const int64_t file_size = source.size();
    OutputBudget budget(file_size);
    SubBlockCache subs(budget);
    SharedImageBytes shared{budget, file_size, {}, {}};
    // Keys that name one sub-block share its attributes' values, decoded
    // once: 1,500 keys naming a sub-block of 60 KB of text took 90 MB. A
    // decode_string of the caller's is called for each image, as before,
    // even one bound meanwhile (by a caller's imghdr_what): asked per image.
    std::unordered_map<const ImageSubBlock*, Ref> attributes_of;
    // Images are listed as the directory names them; a count beyond the
    // directory's keys ends in KeyError, so nothing is sized from it.
    for (int64_t i = 0; i < count; ++i) {
        poll_interrupt();
        const ImageSubBlock& sub = subs.get(cur, block, directory, image_key(i));
        // Each image is a dict of its own; its entries are what a file
        // cannot share, so they count against the budget.
        if (!budget.try_spend(kDictEntryCost * static_cast<int64_t>(sub.params.size())))
            budget.refuse(std::to_string(i + 1) + " images of up to " +
                          std::to_string(sub.params.size()) + " attributes each");
        Ref image;
        const bool share = decodes_as_own();
        auto made = share ? attributes_of.find(&sub) : attributes_of.end();
        if (made != attributes_of.end()) {
            image = Ref::steal(PyDict_Copy(made->second.get()));
            if (!image) return nullptr;
        } else {
            image = Ref::steal(PyDict_New());
            if (!image || !add_attributes(image.get(), sub.params)) return nullptr;
            if (share) {
                Ref attributes = Ref::steal(PyDict_Copy(image.get()));
                if (!attributes) return nullptr;
                attributes_of.emplace(&sub, std::move(attributes));
            }
        }
        if (seek_image_bytes(cur, sub) && !add_image_bytes(image.get(), cur, shared))
            return nullptr;
        if (PyList_Append(images.get(), image.get()) < 0) return nullptr;
    }
    return images.release();
}

PyObject* get_vis_images_impl(FunctionObject*, PyObject* const* a, PyObject*) {
    PyObject* path = a[0];
    std::vector<DirEntry> directory;
    // The path is a str (a descriptor number would be closed by a first
    // open), so one open serves the directory and the images.
    OpenFile file;
    if (!open_with_directory(path, file, directory)) return nullptr;
    if (ReadPlace* place = ReadPlace::current()) place->set_block("visible images");
    std::optional<VisibleImageBlock> block = find_visible_image_block(directory);
    if (!block) return file.close() ? PyList_New(0) : nullptr;
    Ref images = Ref::steal(guarded([&] { return read_images(file.source(), *block); }));
    if (!images || !file.close()) return nullptr;
    return images.release();
}

} // namespace

constinit const FunctionSpec kImghdrWhatSpec = {
    .name = "imghdr_what",
    .doc = "Simplified version of imghdr.what()",
    .params = {"h"},
    .text_signature = "(h)",
    .impl = imghdr_what_impl,
};

constinit const FunctionSpec kGetVisImagesSpec = {
    .name = "getVisImages",
    .doc =
        "\n    This function returns a list containing a dictionary for each visible image\n    in "
        "the "
        "given file.\n\n    Args:\n        path (path):       Path to file\n\n    Returns:\n       "
        " "
        "List containing a dictionary for each visible image in the file.\n\n        Each "
        "dictionary "
        "contains:\n\n        {'image': bytes(),          # Image data\n         'imgext': 'bmp',  "
        "   "
        "      # Image type ('bmp' or 'jpeg')\n         'Pos. X': 33733.0}         # Useful image "
        "attributes\n    ",
    .params = {"path"},
    .text_signature = "(path)",
    .typed_path = true,
    .impl = get_vis_images_impl,
    .reads = "directory",
};
} // namespace vesk::py
