// vesk._native: the reading core as plain Python values for the `vesk`
// package, which needs what veskread's public calls cannot give: the kind and
// shape of every block without reading values, some rows of an image map
// without the rest, the measured part of a block that the end of its file
// cuts short, where the pictures' block lies, and the allocator asked to keep
// the memory of the copies `vesk` makes. It reads through a descriptor the
// caller owns (never closed here), with positioned reads and the interpreter
// lock released, and keeps no state of its own between calls. Core errors
// become ValueError(message, byte offset or -1) and OSError; `vesk` turns
// them into its own exceptions, so nothing here depends on veskread's module;
// the parameter vocabulary is here too, so that labelling needs no veskread
// (whose import brings numpy's).
// The exports' number writers, which read nothing, are in py_number_texts.cpp.
#include <algorithm>
#include <array>
#include <cerrno>
#include <limits>
#include <new>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "veskread/container/errors.h"
#include "veskread/container/freed_heap.h"
#include "veskread/container/interrupt.h"
#include "veskread/container/listing.h"
#include "veskread/container/output_budget.h"
#include "veskread/extract/block_outline.h"
#include "veskread/extract/file_outline.h"
#include "veskread/extract/float_values.h"
#include "veskread/extract/image_map.h"
#include "veskread/extract/kind_choice.h"
#include "veskread/extract/measured_regions.h"
#include "veskread/extract/series.h"
#include "veskread/extract/stored_block_reader.h"
#include "veskread/images/visible_images.h"
#include "veskread/module/py_ref.h"
#include "veskread/vocabulary/parameter_names.h"

#include "py_list.h"
#include "py_number_texts.h"

namespace vesk::py {

namespace {

const char* kind_name(BlockKind k) {
    switch (k) {
    case BlockKind::Spectrum:
        return "spectrum";
    case BlockKind::ImageMap:
        return "image map";
    case BlockKind::ImageTraces:
        return "image traces";
    case BlockKind::TimeSeries:
        return "time-resolved series";
    case BlockKind::TimeTraces:
        return "time-resolved traces";
    case BlockKind::MultiregionMap:
        return "multiregion map";
    case BlockKind::MultiregionTraces:
        return "multiregion traces";
    }
    return "";
}

// Thrown by the interrupt hook once a signal handler has raised: its
// exception stays set on the thread and ends the read.
struct Interrupted {};

// The core's hook: a handler runs only with the lock held, so work that
// released it takes it back for the check. Work done with the lock held
// leaves signals to the interpreter, once the call returns.
void check_signals() {
    if (PyGILState_Check()) return;
    PyGILState_STATE state = PyGILState_Ensure();
    int r = PyErr_CheckSignals();
    PyGILState_Release(state);
    if (r < 0) throw Interrupted{};
}

PyObject* raise_core_error(const Error& e) {
    if (e.kind() == ErrorKind::Io) {
        errno = static_cast<int>(e.value());
        return PyErr_SetFromErrno(PyExc_OSError);
    }
    Ref args = Ref::steal(Py_BuildValue("(sL)", e.what(), static_cast<long long>(e.position())));
    if (args) PyErr_SetObject(PyExc_ValueError, args.get());
    return nullptr;
}

// Parameter text as veskread decodes it by default: UTF-8, else Latin-1.
PyObject* text_value(const std::string& bytes) {
    auto n = static_cast<Py_ssize_t>(bytes.size());
    PyObject* s = PyUnicode_DecodeUTF8(bytes.data(), n, nullptr);
    if (s || !PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) return s;
    PyErr_Clear();
    return PyUnicode_DecodeLatin1(bytes.data(), n, nullptr);
}

PyObject* parameters_dict(const ParamBlock& params) {
    Ref dict = Ref::steal(PyDict_New());
    if (!dict) return nullptr;
    for (const auto& [key, value] : params.entries()) {
        Ref v;
        if (auto* i = std::get_if<int32_t>(&value))
            v = Ref::steal(PyLong_FromLong(*i));
        else if (auto* d = std::get_if<double>(&value))
            v = Ref::steal(PyFloat_FromDouble(*d));
        else
            v = Ref::steal(text_value(std::get<ParamText>(value).bytes));
        if (!v) return nullptr;
        Ref k = Ref::steal(text_value(key));
        if (!k || PyDict_SetItem(dict.get(), k.get(), v.get()) < 0) return nullptr;
    }
    return dict.release();
}

PyObject* shape_tuple(const std::vector<int64_t>& shape) {
    Ref t = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(shape.size())));
    if (!t) return nullptr;
    for (size_t i = 0; i < shape.size(); ++i) {
        PyObject* n = PyLong_FromLongLong(shape[i]);
        if (!n) return nullptr;
        PyTuple_SET_ITEM(t.get(), static_cast<Py_ssize_t>(i), n);
    }
    return t.release();
}

// Reading stores a multiregion table's text coordinates through numpy, which
// takes them as float() does: 1 with `value` set, 0 where it refuses the text
// (its ValueError, when `refusal` is given, as str), -1 with a Python error
// set for any other failure.
int text_as_float(const std::string& bytes, double& value, Ref* refusal = nullptr) {
    Ref text = Ref::steal(text_value(bytes));
    if (!text) return -1;
    Ref number = Ref::steal(PyFloat_FromString(text.get()));
    if (number) {
        value = PyFloat_AS_DOUBLE(number.get());
        return 1;
    }
    if (!PyErr_ExceptionMatches(PyExc_ValueError)) return -1;
    PyObject *type, *error, *tb;
    PyErr_Fetch(&type, &error, &tb);
    Ref t = Ref::steal(type), e = Ref::steal(error), traceback = Ref::steal(tb);
    if (!refusal) return 0;
    *refusal = Ref::steal(e ? PyObject_Str(e.get()) : PyUnicode_FromString("ValueError"));
    return *refusal ? 0 : -1;
}

// The first text coordinate of a multiregion block that reading would
// refuse, as str (None when it takes them all); false with a Python error set.
bool refused_coordinate(const BlockOutline& outline, Ref& refusal) {
    double unused;
    for (const std::string& bytes : outline.coordinate_texts) {
        int taken = text_as_float(bytes, unused, &refusal);
        if (taken < 0) return false;
        if (taken == 0) return true;
    }
    return true;
}

// (type, dimensions, derivative, kind, shape, parameters, data offset, problem,
// data length, unfilled map points, stored blocks, cut blocks, stored as planes,
// offset of a parameter block cut short or -1, trace names cut short, why
// that block ends where the file goes on: a damaged record, or ""); for a
// block that reading would refuse, kind and shape are None, the parameters
// those that could be read, the length and stored blocks -1, cut blocks and
// names 0, planes False and problem (message, offset).
// `params` is the block's parameter dict, which blocks of equal parameters share.

PyObject* listed_tuple(const ListedBlock& b, PyObject* params) {
    const auto& k = b.key;
    Ref refusal; // reading refuses a text coordinate the outline could not judge
    if (!b.problem && !refused_coordinate(*b.outline, refusal)) return nullptr;
    if (b.problem || refusal) {
        if (!refusal) refusal = Ref::steal(PyUnicode_FromString(b.problem->what()));
        if (!refusal) return nullptr;
        long long at = b.problem ? static_cast<long long>(b.problem->position()) : -1;
        return Py_BuildValue("(sssOOOi(OL)iiiiOLis)", k.type.c_str(), k.dimensions.c_str(),
                             k.derivative.c_str(), Py_None, Py_None, params, -1, refusal.get(), at,
                             -1, 0, -1, 0, Py_False, static_cast<long long>(b.parameters_cut_at), 0,
                             b.parameters_damage.c_str());
    }
    Ref shape = Ref::steal(shape_tuple(b.outline->shape));
    if (!shape) return nullptr;
    return Py_BuildValue(
        "(ssssOOLOLLLLOLLs)", k.type.c_str(), k.dimensions.c_str(), k.derivative.c_str(),
        kind_name(b.outline->kind), shape.get(), params,
        static_cast<long long>(b.outline->data_offset), Py_None,
        static_cast<long long>(b.outline->data_length),
        static_cast<long long>(b.outline->unfilled_points),
        static_cast<long long>(b.outline->stored_blocks),
        static_cast<long long>(b.outline->cut_blocks), b.outline->planes ? Py_True : Py_False,
        static_cast<long long>(b.outline->parameters_cut_at),
        static_cast<long long>(b.outline->cut_names), b.outline->parameters_damage.c_str());
}

PyObject* outline(PyObject*, PyObject* arg) {
    int fd = PyObject_AsFileDescriptor(arg);
    if (fd < 0) return nullptr;
    FileOutline file;
    bool interrupted = false;
    {
        GilRelease unlocked; // core work only: no Python object is touched
        try {
            file = outline_file(FdSource(fd));
        } catch (const Interrupted&) {
            interrupted = true;
        }
    }
    if (interrupted) return nullptr;
    if (!file.is_vesk) {
        Ref args = Ref::steal(Py_BuildValue("(si)", "not a VESK file", -1));
        if (args) PyErr_SetObject(PyExc_ValueError, args.get());
        return nullptr;
    }
    if (file.out_of_memory) return PyErr_NoMemory();
    if (file.failure) return raise_core_error(*file.failure);
    // One dict per distinct parameter set, as the core keeps one.
    std::unordered_map<const ParamBlock*, Ref> dicts;
    return new_list(file.blocks.size(), [&](size_t i) -> PyObject* {
        const ListedBlock& b = file.blocks[i];
        Ref& params = dicts[b.parameters.get()];
        if (!params) params = Ref::steal(parameters_dict(*b.parameters));
        return params ? listed_tuple(b, params.get()) : nullptr;
    });
}

// The outcome of core work run with the lock released.
struct CoreRead {
    std::optional<Error> failure;
    bool out_of_memory = false;
    bool interrupted = false; // the handler's exception is set
};

// Runs core work with the interpreter lock released, catching what the core
// throws; succeeded() turns that into the Python error.
template <class Work> CoreRead run_unlocked(Work work) {
    CoreRead result;
    GilRelease unlocked; // core work only: no Python object is touched
    try {
        work();
    } catch (const Error& e) {
        result.failure = e;
    } catch (const std::bad_alloc&) {
        result.out_of_memory = true;
    } catch (const Interrupted&) {
        result.interrupted = true;
    }
    return result;
}

// False with a Python error set where the core work failed.
bool succeeded(const CoreRead& read) {
    if (read.interrupted) return false;
    if (read.out_of_memory) {
        PyErr_NoMemory();
        return false;
    }
    if (read.failure) {
        raise_core_error(*read.failure);
        return false;
    }
    return true;
}

// Runs `work(src, outline, stored)` on the outline of `key`. A parameter
// block that the end of the file cuts short gives what it holds before the
// cut, as the listing does.
template <class Work> void with_block(int fd, const DataBlockKey& key, Work work) {
    FdSource src(fd);
    if (!has_vesk_magic(src)) throw_value("not a VESK file");
    std::vector<DirEntry> directory = read_directory(src);
    StoredLayout stored;
    ParamRecordCache parameters(block_starts(directory));
    BlockOutline outline =
        outline_block(src, directory, key, &stored, nullptr, &parameters, CutParameters::KeepRead);
    work(src, outline, stored);
}

void check_room(const char* what, int64_t wanted_bytes, int64_t out_bytes) {
    if (wanted_bytes != out_bytes)
        throw_value(std::string("the array does not hold ") + what + ": " +
                    std::to_string(wanted_bytes) + " bytes");
}

int64_t stride_of(const StoreTable& table) { return int64_t(table.block_size) + table.info_size; }

// A tile of an image map into `out`; blocks the end of the file cuts short
// are passed over, leaving what the caller put there.
void read_tile(const ByteSource& src, const BlockOutline& outline, const StoredLayout& stored,
               MapWindow w, Py_buffer& out) {
    if (outline.kind != BlockKind::ImageMap) throw_value("not an image map");
    MapShape shape{outline.shape[0], outline.shape[1], outline.shape[2]};
    check_room("that part of the map",
               saturating_mul(saturating_mul(w.rows, w.cols), saturating_mul(shape.npt, 4)),
               out.len);
    read_image_window(BlockReader(src), stored.blocks, image_layout(stored.table, shape.npt), shape,
                      stride_of(stored.table), w, static_cast<float*>(out.buf),
                      CutBlocks::PassOver);
}

// The measured part of a block that the end of the file cuts short: an image
// map's whole spectra into `values` (the map, as the caller filled it), a
// series' whole spectra and their times, or the whole traces of a series or
// map of traces, whose names go to `labels`; or a spectrum, where a parameter
// block is what the end cuts.
void read_whole(const ByteSource& src, const BlockOutline& outline, const StoredLayout& stored,
                Py_buffer& values, Py_buffer* times, Labels& labels) {
    BlockReader reader(src);
    if (outline.kind == BlockKind::TimeTraces || outline.kind == BlockKind::ImageTraces) {
        bool planes = outline.kind == BlockKind::ImageTraces;
        int64_t npt = planes ? outline.shape[0] * outline.shape[1] : outline.shape[1];
        StoredBlocks whole = traces_held_whole(reader, stored.blocks, npt);
        int64_t n = outline.shape[planes ? 2 : 0];
        if (n != static_cast<int64_t>(whole.blocks.size())) throw_file_changed(-1);
        check_room("the traces", saturating_mul(saturating_mul(n, npt), 4), values.len);
        labels =
            read_whole_traces(reader, whole, npt, stored.table.info_size, stride_of(stored.table),
                              planes, static_cast<float*>(values.buf));
        return;
    }
    int64_t npt = outline.shape.back();
    if (outline.kind == BlockKind::Spectrum) {
        check_room("the spectrum", saturating_mul(npt, 4), values.len);
        if (read_float32_at(src, outline.data_offset, static_cast<float*>(values.buf),
                            static_cast<size_t>(npt)) != static_cast<size_t>(npt))
            throw_file_changed(outline.data_offset);
    } else if (outline.kind == BlockKind::ImageMap) {
        MapShape shape{outline.shape[0], outline.shape[1], npt};
        check_room("the map",
                   saturating_mul(saturating_mul(shape.npy, shape.npx), saturating_mul(npt, 4)),
                   values.len);
        // `values` was sized from the listing, which a file rewritten since
        // may match in shape alone.
        ImageLayout layout = image_layout(stored.table, npt);
        check_image_commit(reader, stored.blocks, layout, shape, CutBlocks::PassOver);
        read_image_spectra(reader, stored.blocks, layout, shape, stride_of(stored.table),
                           static_cast<float*>(values.buf), CutBlocks::PassOver);
    } else if (outline.kind == BlockKind::TimeSeries && times) {
        // The rows the caller listed: a file still being written may hold
        // more whole spectra by now.
        StoredBlocks whole = series_blocks_held_whole(reader, stored.blocks, npt);
        int64_t n = static_cast<int64_t>(times->len / 8);
        if (n > static_cast<int64_t>(whole.blocks.size())) throw_file_changed(-1);
        whole.blocks.resize(static_cast<size_t>(n));
        check_room("the series", saturating_mul(saturating_mul(n, npt), 4), values.len);
        check_room("the times", saturating_mul(n, 8), times->len);
        read_spectrum_series(reader, whole, npt, stride_of(stored.table),
                             static_cast<float*>(values.buf), static_cast<double*>(times->buf));
    } else {
        throw_value("neither a map nor a time-resolved series");
    }
}

// The descriptor and the block key (type, dimensions, derivative) that lead
// the arguments of every call reading a block; false with a Python error set.
bool block_arguments(const char* name, PyObject* const* args, Py_ssize_t nargs, Py_ssize_t expected,
                     int& fd, DataBlockKey& key) {
    if (nargs != expected) {
        PyErr_Format(PyExc_TypeError, "%s() takes %zd arguments", name, expected);
        return false;
    }
    fd = PyObject_AsFileDescriptor(args[0]);
    if (fd < 0) return false;
    for (int k = 0; k < 3; ++k) {
        const char* text = PyUnicode_AsUTF8(args[1 + k]);
        if (!text) return false;
        (k == 0 ? key.type : k == 1 ? key.dimensions : key.derivative) = text;
    }
    return true;
}

// Runs `work` on the block's outline with the lock released: None, or the
// error it ended with.
template <class Work> PyObject* read_unlocked(int fd, const DataBlockKey& key, Work work) {
    if (!succeeded(run_unlocked([&] { with_block(fd, key, work); }))) return nullptr;
    Py_RETURN_NONE;
}

// A writable C-contiguous buffer, released on every way out.
struct OutBuffer {
    Py_buffer view{};
    bool held = false;
    bool take(PyObject* obj) {
        held = PyObject_GetBuffer(obj, &view, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS) == 0;
        return held;
    }
    ~OutBuffer() {
        if (held) PyBuffer_Release(&view);
    }
};

PyObject* read_map_rows(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    int fd;
    DataBlockKey key;
    if (!block_arguments("read_map_rows", args, nargs, 9, fd, key)) return nullptr;
    long long span[4]; // first row, rows, first column, columns
    for (int k = 0; k < 4; ++k) {
        span[k] = PyLong_AsLongLong(args[4 + k]);
        if (span[k] == -1 && PyErr_Occurred()) return nullptr;
    }
    OutBuffer out;
    if (!out.take(args[8])) return nullptr;
    return read_unlocked(fd, key, [&](auto& src, auto& outline, auto& stored) {
        read_tile(src, outline, stored, {span[0], span[1], span[2], span[3]}, out.view);
    });
}

// The trace names as read, bytes each (vesk decodes them as veskread does).
PyObject* names_list(const Labels& labels) {
    return new_list(labels.of_block.size(), [&](size_t k) {
        const std::string& text = labels.texts[labels.of_block[k]];
        return PyBytes_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    });
}

PyObject* read_cut_block(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    int fd;
    DataBlockKey key;
    if (!block_arguments("read_cut_block", args, nargs, 6, fd, key)) return nullptr;
    OutBuffer values, times;
    if (!values.take(args[4])) return nullptr;
    if (args[5] != Py_None && !times.take(args[5])) return nullptr;
    Labels labels;
    bool traces = false;
    PyObject* done = read_unlocked(fd, key, [&](auto& src, auto& outline, auto& stored) {
        traces = outline.kind == BlockKind::TimeTraces || outline.kind == BlockKind::ImageTraces;
        read_whole(src, outline, stored, values.view, times.held ? &times.view : nullptr, labels);
    });
    if (!done || !traces) return done;
    Py_DECREF(done);
    return names_list(labels);
}

// A multiregion block's outline and what it read on the way, kept past the
// call that made it: its table is then read with the lock held.
struct RegionOutline {
    BlockOutline outline;
    StoredLayout stored;
    RegionColumns columns() const { return RegionColumns::of(*stored.annotation); }
};

// The outline of a multiregion block of `key`; false with a Python error set.
bool region_outline(int fd, const DataBlockKey& key, RegionOutline& out) {
    PyObject* done = read_unlocked(fd, key, [&](auto&, auto& outline, auto& stored) {
        if (outline.kind != BlockKind::MultiregionMap &&
            outline.kind != BlockKind::MultiregionTraces)
            throw_value("not a multiregion map");
        out.outline = outline;
        out.stored = std::move(stored);
    });
    Py_XDECREF(done);
    return done != nullptr;
}

// The table's X or Y as reading stores them through numpy: text as float()
// takes it (Refused where it does not), a cell of no type as NaN. False with
// a Python error set.
bool table_coordinates(const AnnoColumn* column, Coordinates& c) {
    c = Coordinates::of(column);
    for (size_t k = 0; c.pending > 0 && k < c.state.size(); ++k) {
        if (c.state[k] != Coordinates::Pending) continue;
        --c.pending;
        c.state[k] = Coordinates::Stored;
        c.value[k] = std::numeric_limits<double>::quiet_NaN();
        AnnoCell cell = (*column)[k];
        if (auto* t = std::get_if<CellText>(&cell)) {
            int taken = text_as_float(*t->bytes, c.value[k]);
            if (taken < 0) return false;
            if (taken == 0) c.state[k] = Coordinates::Refused;
        }
    }
    return true;
}

template <class T> PyObject* bytes_of(const std::vector<T>& v) {
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(v.data()),
                                     static_cast<Py_ssize_t>(v.size() * sizeof(T)));
}

// [(group, bytes of 0/1 per point, the X and Y of each unfilled point as
// float64 pairs)], both None for a group that is no region.
PyObject* fills_list(const RegionOutline& r) {
    Coordinates x, y;
    RegionColumns cols = r.columns();
    if (!table_coordinates(cols.x, x) || !table_coordinates(cols.y, y)) return nullptr;
    return new_list(r.stored.groups.size(), [&](size_t i) -> PyObject* {
        const GroupFills& g = r.stored.groups[i];
        if (!g.region) return Py_BuildValue("(iOO)", g.group, Py_None, Py_None);
        std::vector<double> at;
        at.reserve(2 * g.unfilled_rows.size());
        for (int64_t row : g.unfilled_rows) {
            at.push_back(table_position(x, row));
            at.push_back(table_position(y, row));
        }
        Ref filled = Ref::steal(bytes_of(g.filled));
        Ref places = filled ? Ref::steal(bytes_of(at)) : Ref();
        return places ? Py_BuildValue("(iOO)", g.group, filled.get(), places.get()) : nullptr;
    });
}

PyObject* region_fills(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    int fd;
    DataBlockKey key;
    if (!block_arguments("region_fills", args, nargs, 4, fd, key)) return nullptr;
    RegionOutline r;
    return region_outline(fd, key, r) ? fills_list(r) : nullptr;
}

// The regions' groups in reading's order, which is a Python set's of the
// table's groups; false with a Python error set.
bool reading_order(const std::vector<GroupFills>& groups, std::vector<int32_t>& order) {
    Ref set = Ref::steal(PySet_New(nullptr));
    if (!set) return false;
    std::unordered_map<int32_t, bool> region;
    for (const GroupFills& g : groups) { // distinct, in the order the table first names them
        Ref n = Ref::steal(PyLong_FromLong(g.group));
        if (!n || PySet_Add(set.get(), n.get()) < 0) return false;
        region[g.group] = g.region;
    }
    Ref it = Ref::steal(PyObject_GetIter(set.get()));
    if (!it) return false;
    while (Ref item = Ref::steal(PyIter_Next(it.get()))) {
        auto g = static_cast<int32_t>(PyLong_AsLong(item.get()));
        if (region[g]) order.push_back(g);
    }
    return !PyErr_Occurred();
}

// The regions of a multiregion map or map of traces that the end of the file
// cuts short, into arrays of all their points; the names of the traces read.
void read_regions(const ByteSource& src, const RegionOutline& r, RegionRead& into, bool placed,
                  OutBuffer* out[4], std::vector<MeasuredRegion>& regions, Labels& labels) {
    BlockReader reader(src);
    const StoredLayout& stored = r.stored;
    int64_t points = r.outline.shape[0], width = r.outline.shape[1];
    bool traces = r.outline.kind == BlockKind::MultiregionTraces;
    check_room("the map", saturating_mul(saturating_mul(points, width), 4), out[0]->view.len);
    for (int k = 1; k < (traces ? 3 : 4); ++k)
        check_room("a value per point", saturating_mul(points, 8), out[k]->view.len);
    into.values = static_cast<float*>(out[0]->view.buf);
    into.map_x = static_cast<double*>(out[1]->view.buf);
    into.map_y = static_cast<double*>(out[2]->view.buf);
    if (!traces) {
        into.start_time = static_cast<double*>(out[3]->view.buf);
        regions = read_measured_regions(reader, stored.blocks, *stored.annotation, width,
                                        stride_of(stored.table), placed, into);
        return;
    }
    int64_t npt = param_as_int(r.outline.parameters->at("NPT"), "NPT");
    StoredBlocks whole = traces_held_whole(reader, stored.blocks, npt);
    if (static_cast<int64_t>(whole.blocks.size()) != width) throw_file_changed(-1);
    regions = read_measured_region_traces(reader, whole, *stored.annotation, npt,
                                          stride_of(stored.table), into);
    labels = scan_traces(reader, whole, npt, stored.table.info_size, std::nullopt).labels;
}

PyObject* read_cut_regions(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    int fd;
    DataBlockKey key;
    if (!block_arguments("read_cut_regions", args, nargs, 9, fd, key)) return nullptr;
    int placed = PyObject_IsTrue(args[4]);
    if (placed < 0) return nullptr;
    OutBuffer values, map_x, map_y, start_time;
    if (!values.take(args[5]) || !map_x.take(args[6]) || !map_y.take(args[7]) ||
        (args[8] != Py_None && !start_time.take(args[8])))
        return nullptr;
    // The outline with the lock released, the table's text with it held,
    // then the values with it released again.
    RegionOutline r;
    if (!region_outline(fd, key, r)) return nullptr;
    bool traces = r.outline.kind == BlockKind::MultiregionTraces;
    if (!traces && !start_time.held) {
        PyErr_SetString(PyExc_TypeError, "a multiregion map needs its start times");
        return nullptr;
    }
    std::vector<int32_t> order;
    Coordinates x, y;
    RegionColumns cols = r.columns();
    if (!reading_order(r.stored.groups, order) || !table_coordinates(cols.x, x) ||
        !table_coordinates(cols.y, y))
        return nullptr;
    OutBuffer* out[4] = {&values, &map_x, &map_y, &start_time};
    RegionRead into{order, r.outline.shape[0], x, y, nullptr, nullptr, nullptr, nullptr};
    std::vector<MeasuredRegion> regions;
    Labels labels;
    if (!succeeded(run_unlocked(
            [&] { read_regions(FdSource(fd), r, into, placed != 0, out, regions, labels); })))
        return nullptr;
    Ref list = Ref::steal(new_list(regions.size(), [&](size_t k) -> PyObject* {
        return Py_BuildValue("(NL)", text_value(regions[k].title),
                             static_cast<long long>(regions[k].points));
    }));
    if (!list) return nullptr;
    Ref names = traces ? Ref::steal(names_list(labels)) : Ref::borrow(Py_None);
    return names ? PyTuple_Pack(2, list.get(), names.get()) : nullptr;
}

PyObject* picture_block(PyObject*, PyObject* arg) {
    int fd = PyObject_AsFileDescriptor(arg);
    if (fd < 0) return nullptr;
    std::optional<VisibleImageBlock> block;
    if (!succeeded(run_unlocked([&] {
            FdSource src(fd);
            if (!has_vesk_magic(src)) throw_value("not a VESK file");
            block = find_visible_image_block(read_directory(src));
        })))
        return nullptr;
    if (!block) Py_RETURN_NONE;
    return Py_BuildValue("(LL)", static_cast<long long>(block->offset),
                         static_cast<long long>(saturating_mul(block->size_in_words, 4)));
}

PyObject* keep_freed_results(PyObject*, PyObject* arg) {
    Py_ssize_t n = PyNumber_AsSsize_t(arg, PyExc_OverflowError);
    if (n == -1 && PyErr_Occurred()) return nullptr;
    if (n < 0) {
        PyErr_SetString(PyExc_ValueError, "nbytes must not be negative");
        return nullptr;
    }
    vesk::keep_freed_results(static_cast<size_t>(n));
    Py_RETURN_NONE;
}

PyObject* output_limit(PyObject*, PyObject* arg) {
    long long size = PyLong_AsLongLong(arg);
    if (size == -1 && PyErr_Occurred()) return nullptr;
    if (size < 0) {
        PyErr_SetString(PyExc_ValueError, "file_size must not be negative");
        return nullptr;
    }
    return PyLong_FromLongLong(vesk::output_limit(size));
}

// A key-to-name table as a dict, in the table's order.
template <size_t N> PyObject* names_dict(const std::array<KeyName, N>& table) {
    Ref d = Ref::steal(PyDict_New());
    if (!d) return nullptr;
    for (const KeyName& e : table) {
        Ref key = Ref::steal(
            PyUnicode_DecodeUTF8(e.key.data(), static_cast<Py_ssize_t>(e.key.size()), nullptr));
        Ref name = Ref::steal(
            PyUnicode_DecodeUTF8(e.name.data(), static_cast<Py_ssize_t>(e.name.size()), nullptr));
        if (!key || !name || PyDict_SetItem(d.get(), key.get(), name.get()) < 0) return nullptr;
    }
    return d.release();
}

PyObject* vocabulary(PyObject*, PyObject*) {
    Ref labels = Ref::steal(names_dict(kParamLabels));
    Ref names = labels ? Ref::steal(names_dict(kVeskNames)) : Ref();
    return names ? PyTuple_Pack(2, labels.get(), names.get()) : nullptr;
}

PyMethodDef methods[] = {
    {"outline", outline, METH_O,
     "outline(fd, /)\n--\n\nEach listed key of the open file once, as (type, dimensions, "
     "derivative, kind, shape, parameters, data offset, problem, data length, unfilled map "
     "points, stored blocks, cut blocks, stored as planes), read from the directory and parameter, "
     "store and "
     "annotation tables "
     "only. The "
     "descriptor is not closed."},
    {"read_map_rows", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(read_map_rows)),
     METH_FASTCALL,
     "read_map_rows(fd, type, dimensions, derivative, first_row, rows, first_col, cols, out, "
     "/)\n--\n\nRows [first_row, first_row + rows) by columns [first_col, first_col + cols) of "
     "an image map into `out`, a zeroed C-contiguous float32 buffer of that tile, reading only "
     "the stored values it holds. Spectra that the end of the file cuts short leave their points "
     "as they were. The descriptor is not closed."},
    {"read_cut_block", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(read_cut_block)),
     METH_FASTCALL,
     "read_cut_block(fd, type, dimensions, derivative, values, times, /)\n--\n\nThe spectra of an "
     "image map or time-resolved series that the end of the file leaves whole: the map's into "
     "`values` (C-contiguous float32, the map's shape, left as it was where a spectrum is "
     "missing), or the series' into `values` (its outline's shape) and their times into "
     "`times` (float64; None for a map). For a series or map of traces, its whole traces go "
     "into `values` (its outline's shape) and their names, as bytes, are returned; otherwise "
     "None. A spectrum goes into `values`. A parameter block that the end of the file cuts "
     "short gives the records before the cut. The descriptor is not closed."},
    {"read_cut_regions",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(read_cut_regions)), METH_FASTCALL,
     "read_cut_regions(fd, type, dimensions, derivative, placed, values, map_x, map_y, "
     "start_time, /)\n--\n\nThe whole stored spectra or traces of a multiregion map that the "
     "end of the file cuts short: its regions, in reading's order, into arrays of "
     "all their points together, `values` (C-contiguous float32, the outline's shape) and "
     "`map_x`, `map_y`, `start_time` (float64, one per point; None for traces). A point without "
     "a whole stored spectrum keeps what `values` and `start_time` held, and, when `placed`, is "
     "given the position the table gives it (NaN where it gives no number). Returns "
     "([(title, points)] per region, the names of the traces read as bytes, or None for "
     "spectra). The descriptor is not closed."},
    {"region_fills", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(region_fills)),
     METH_FASTCALL,
     "region_fills(fd, type, dimensions, derivative, /)\n--\n\nEach distinct group of a "
     "multiregion map, in the order its annotation table first names it, as (group, fills, "
     "positions): fills holds a byte per point of a region, 1 where a stored spectrum fills "
     "it, positions the table's x and y of each point without one (float64 pairs, NaN where "
     "the table gives no number; empty past a bound); both None for a group that is no "
     "region, and both empty for a map of traces. The descriptor is not closed."},
    {"picture_block", picture_block, METH_O,
     "picture_block(fd, /)\n--\n\nThe offset and length in bytes that the directory gives "
     "the block of visible pictures, or None when it lists none. The descriptor is not "
     "closed."},
    {"keep_freed_results", keep_freed_results, METH_O,
     "keep_freed_results(nbytes, /)\n--\n\nAsks the allocator to keep that many bytes of "
     "freed results for the next read, as freeing one array of that size would (glibc's; "
     "elsewhere nothing)."},
    {"output_limit", output_limit, METH_O,
     "output_limit(file_size, /)\n--\n\nBytes a single call may produce from a file of that "
     "size, whatever the file declares: what a writer of every value may be asked for."},
    {"vocabulary", vocabulary, METH_NOARGS,
     "vocabulary()\n--\n\nThe parameter keys' display labels and lower-case names, as two "
     "new dicts: what veskread's paramDict and VeskDict() hold, without importing veskread "
     "(and numpy with it)."},
    {"number_texts", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(number_texts)),
     METH_FASTCALL,
     "number_texts(values, style, /)\n--\n\nThe text of each of `values` (a 1-D or 2-D array "
     "of numbers, in C order) as an export writes it: style 'csv' as Python's %-format "
     "writes what tolist() gives (float32 '%.9g', with '.0' after a whole value below 1e9), "
     "'jcamp' the shortest digits of the value's own type in fixed-point form."},
    {"csv_rows", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(csv_rows)),
     METH_FASTCALL,
     "csv_rows(columns, values, /)\n--\n\nCSV lines, one per row of `values` (arrays of "
     "numbers, 1-D or 2-D, of equal rows): each opens with a cell of each of `columns`, "
     "(texts, index) pairs giving row r texts[index[r]] (texts[r] where index is None), "
     "then the row's numbers as number_texts(..., 'csv') writes them. No cell is quoted."},
    {"jcamp_lines", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(jcamp_lines)),
     METH_FASTCALL,
     "jcamp_lines(x, y, start, most, /)\n--\n\nLines 'x y y ...' of an (X++(Y..Y)) "
     "table from y[start]: each no longer than 80 characters unless its one y makes it so, "
     "headed by the x of its first y, a y that is not finite written '?'. Lines are made "
     "until `most` values or about a megabyte of them are; returns (lines, where the next "
     "line starts)."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "vesk._native",
    "Core of the vesk package: block outlines read without values.",
    0,
    methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

} // namespace

} // namespace vesk::py

PyMODINIT_FUNC PyInit__native() {
    vesk::set_interrupt_hook(vesk::py::check_signals); // this module's own copy of the core
    return PyModuleDef_Init(&vesk::py::module_def);
}
