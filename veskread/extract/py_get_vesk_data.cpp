// getVeskData: key checks, block selection, parameter merge and 2D spectra;
// 3D blocks continue in read_3d.
//
// The key is checked with the caller's own objects (their .upper(), Python's
// + for the message), selection and merge run in the core, and the result's
// axis and arrays are made by numpy calls, so every edge fails with the
// interpreter's or numpy's own error.
#include <optional>
#include <string>

#include "veskread/container/output_budget.h"
#include "veskread/container/py_container.h"
#include "veskread/extract/float_values.h"
#include "veskread/extract/py_extract.h"
#include "veskread/extract/py_numpy.h"
#include "veskread/module/py_errors.h"
#include "veskread/module/py_globals.h"
#include "veskread/module/py_public.h"

namespace vesk::py {

namespace {

// datablock[i].upper(), in the caller's own terms (any subscriptable object).
Ref upper_item(PyObject* datablock, long i) {
    Ref index = Ref::steal(PyLong_FromLong(i));
    if (!index) return {};
    Ref item = Ref::steal(PyObject_GetItem(datablock, index.get()));
    if (!item) return {};
    return Ref::steal(PyObject_CallMethodNoArgs(item.get(), name(Name::upper)));
}

// UTF-8 of a str for table lookups; anything else matches no table entry.
std::string lookup_text(PyObject* o) {
    if (PyUnicode_Check(o)) {
        Py_ssize_t n;
        const char* s = PyUnicode_AsUTF8AndSize(o, &n);
        if (s) return std::string(s, static_cast<size_t>(n));
        PyErr_Clear();
    }
    return "\xff"; // not UTF-8: equal to no name
}

// prefix + value + suffix with Python's own `+`, so a value that is not a str
// fails as the concatenation would.
void raise_key_error(const char* prefix, PyObject* value, const char* suffix) {
    Ref p = Ref::steal(PyUnicode_FromString(prefix));
    if (!p) return;
    Ref head = Ref::steal(PyNumber_Add(p.get(), value));
    if (!head) return;
    Ref s = Ref::steal(PyUnicode_FromString(suffix));
    if (!s) return;
    Ref msg = Ref::steal(PyNumber_Add(head.get(), s.get()));
    if (msg) PyErr_SetObject(globals().ValueError, msg.get());
}

// The merged parameters in one pass over the blocks' records: a dict keeps
// a key's first place and takes its last value, as the merge does.
PyObject* parameters_dict(const std::vector<ParamRecords>& blocks) {
    Ref dict = Ref::steal(PyDict_New());
    if (!dict) return nullptr;
    TextDecoder decode;
    for (const auto& records : blocks)
        for (const auto& [key, value] : records) {
            Ref k = Ref::steal(
                PyUnicode_DecodeUTF8(key.data(), static_cast<Py_ssize_t>(key.size()), nullptr));
            if (!k) return nullptr;
            Ref v = Ref::steal(param_to_python(value, decode));
            if (!v || PyDict_SetItem(dict.get(), k.get(), v.get()) < 0) return nullptr;
        }
    return dict.release();
}

PyObject* dict_value(PyObject* dict, Name key) {
    PyObject* k = name(key);
    PyObject* v = PyDict_GetItemWithError(dict, k);
    if (!v) {
        if (!PyErr_Occurred()) PyErr_SetObject(globals().KeyError, k);
        return nullptr;
    }
    return v; // borrowed
}

// np.fromfile(f, dtype=np.float32, count=npt) at `offset`, read natively.
PyObject* read_spectrum(const FdSource& src, int64_t offset, PyObject* npt) {
    Py_ssize_t count = PyNumber_AsSsize_t(npt, PyExc_OverflowError);
    if (count == -1 && PyErr_Occurred()) return nullptr;
    size_t n = 0;
    // A negative count reads to the end of the file.
    size_t wanted = count < 0 ? SIZE_MAX : static_cast<size_t>(count);
    if (!run_core([&] { n = float32_values_available(src, offset, wanted); })) return nullptr;
    Ref array = Ref::steal(np_array(Name::empty, {static_cast<int64_t>(n)}, DType::Float32));
    if (!array) return nullptr;
    BufferGuard buf;
    if (!writable_view(buf, array.get(), static_cast<int64_t>(n * sizeof(float)))) return nullptr;
    size_t got = 0;
    bool ok = run_core(
        [&] { got = read_float32_at(src, offset, static_cast<float*>(buf.view().buf), n); }, true);
    buf.release();
    if (!ok) return nullptr;
    if (got < n) // the file shrank under us: keep what was there
        return PySequence_GetSlice(array.get(), 0, static_cast<Py_ssize_t>(got));
    return array.release();
}

} // namespace

bool check_declared_count(PyObject* value, const char* key, int64_t file_size) {
    // Counts that are not ints are left to the calls that use them.
    if (!PyLong_Check(value)) return true;
    int overflow = 0;
    long long n = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (n == -1 && PyErr_Occurred()) return false;
    if (overflow < 0 || (overflow == 0 && declared_count_fits(n, file_size))) return true;
    Ref shown = Ref::steal(PyObject_Str(value));
    if (!shown) return false;
    const char* text = PyUnicode_AsUTF8(shown.get());
    if (!text) return false;
    return run_core([&] { refuse_declared_count(key, text, file_size); });
}

namespace {

PyObject* get_vesk_data_impl(FunctionObject*, PyObject* const* a, PyObject*) {
    PyObject* path = a[0];
    PyObject* datablock = a[1];
    Ref type = upper_item(datablock, 0);
    if (!type) return nullptr;
    Ref dims = upper_item(datablock, 1);
    if (!dims) return nullptr;
    Ref deriv = upper_item(datablock, 2);
    if (!deriv) return nullptr;

    const std::string type_s = lookup_text(type.get());
    const std::string dims_s = lookup_text(dims.get());
    const std::string deriv_s = lookup_text(deriv.get());
    KeyProblem problem = check_key(type_s, dims_s, deriv_s);
    if (problem != KeyProblem::None) {
        PyObject* element = problem == KeyProblem::Dimensions      ? dims.get()
                            : problem == KeyProblem::DataBlockType ? type.get()
                                                                   : deriv.get();
        KeyProblemText text = key_problem_text(problem);
        raise_key_error(text.prefix, element, text.suffix);
        return nullptr;
    }

    std::vector<DirEntry> directory;
    OpenFile file;
    if (!open_vesk_file(path, file, directory)) return nullptr;
    if (ReadPlace* place = ReadPlace::current())
        place->set_block("('" + type_s + "', '" + dims_s + "', '" + deriv_s + "')");
    // The size the file has when the call starts bounds what it may declare.
    int64_t file_size = 0;
    if (!run_core([&] { file_size = file.source().size(); })) return nullptr;
    BlockOffsets offsets;
    std::vector<ParamRecords> blocks;
    PyObject* found = guarded([&]() -> PyObject* {
        offsets = scan_directory(directory, request_for(type_s, dims_s, deriv_s));
        if (offsets.data == -1 || offsets.params == -1) {
            PyErr_Format(globals().ValueError, "No data block exists in the file for: %U %U %U",
                         type.get(), dims.get(), deriv.get());
            return nullptr;
        }
        Cursor cur(file.source());
        blocks = read_parameter_blocks(cur, offsets);
        Py_RETURN_NONE;
    });
    if (!found) return nullptr;
    Py_DECREF(found);

    Ref parameters = Ref::steal(parameters_dict(blocks));
    if (!parameters) return nullptr;
    PyObject* npt = dict_value(parameters.get(), Name::NPT);
    if (!npt) return nullptr;
    PyObject* fxv = dict_value(parameters.get(), Name::FXV);
    if (!fxv) return nullptr;
    PyObject* lxv = dict_value(parameters.get(), Name::LXV);
    if (!lxv) return nullptr;
    PyObject* mxy = dict_value(parameters.get(), Name::MXY);
    if (!mxy) return nullptr;
    PyObject* mny = dict_value(parameters.get(), Name::MNY);
    if (!mny) return nullptr;
    // Hold the five values: the 3D path may write into `parameters`.
    Ref hold[] = {Ref::borrow(npt), Ref::borrow(fxv), Ref::borrow(lxv), Ref::borrow(mxy),
                  Ref::borrow(mny)};

    // The axis is built in full, whatever the file holds. Ends that are not
    // numbers make linspace fail before it builds anything, with its own error.
    auto is_number = [](PyObject* v) { return PyLong_Check(v) || PyFloat_Check(v); };
    if (is_number(fxv) && is_number(lxv) && !check_declared_count(npt, "NPT", file_size))
        return nullptr;

    Ref abscissa = Ref::steal(np_linspace(fxv, lxv, npt));
    if (!abscissa) return nullptr;

    // The core's view of the merged parameters, which the 3D kinds consult.
    ParamBlock params;
    if (dims_s == "3D" && !run_core([&] { params = merge_parameters(blocks); })) return nullptr;
    DataRequest req{
        file, offsets, params, parameters.get(), type.get(), dims.get(), deriv.get(), npt, fxv,
        lxv,  mxy,     mny,    abscissa.get()};
    Ref result;
    if (dims_s == "3D") {
        result = Ref::steal(read_3d(req));
    } else {
        Ref y = Ref::steal(read_spectrum(file.source(), offsets.data, npt));
        if (!y) return nullptr;
        result = Ref::steal(make_data_object(Name::SingleDataReturn, req, nullptr, y.get()));
    }
    if (!result || !file.close()) return nullptr;
    return result.release();
}

} // namespace

constinit const FunctionSpec kGetVeskDataSpec = {
    .name = "getVeskData",
    .doc =
        "\n    This function returns a :obj:`DataReturn` object containing the data and\n    data "
        "parameters for    the specified datablock in the given file.\n\n    Args:\n        path "
        "(path):       Path to file\n        datablock (tuple of str): tuple(datablocktype, "
        "dimensions, derivative)\n                                  as returned by "
        ".listContents()\n\n    Returns:\n        :obj:`DataReturn`: Object containing the "
        "requested "
        "data and associated\n        parameters. Data structure is as specified in "
        "data.description "
        "and\n        can be one of the three types described in :class:`DataReturn`\n    ",
    .params = {"path", "datablock"},
    .text_signature = "(path, datablock)",
    .typed_path = true,
    .impl = get_vesk_data_impl,
    .reads = "directory",
};

} // namespace vesk::py
