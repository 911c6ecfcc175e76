// 3D blocks: the store table, the choice of object, and image maps.
//
// The core finds the stored blocks and reads their values into arrays that
// numpy allocated (the lock released while it reads); this side does what
// the reading rules write as Python: the map axes with the parameters' own
// arithmetic, the geometry fallback with its printed line, numpy's errors.
#include <string>
#include <string_view>

#include "veskread/container/output_budget.h"
#include "veskread/container/py_container.h"
#include "veskread/extract/image_map.h"
#include "veskread/extract/kind_choice.h"
#include "veskread/extract/py_read_3d.h"
#include "veskread/extract/series.h"
#include "veskread/module/py_globals.h"

namespace vesk::py {

void raise_stack_error(Name fn, const std::vector<int64_t>& counts, size_t unequal) {
    // Only the first row and the first that differs from it decide numpy's
    // message; the rows between stand in by repeating the first.
    Ref list = Ref::steal(PyList_New(0));
    if (!list) return;
    if (!counts.empty()) {
        Ref first = Ref::steal(np_array(Name::empty, {counts[0]}, DType::Float32));
        if (!first) return;
        for (size_t k = 0; k < unequal; ++k)
            if (PyList_Append(list.get(), first.get()) < 0) return;
        Ref other = Ref::steal(np_array(Name::empty, {counts[unequal]}, DType::Float32));
        if (!other || PyList_Append(list.get(), other.get()) < 0) return;
    }
    Ref args = Ref::steal(PyTuple_Pack(1, list.get()));
    if (!args) return;
    Ref r = Ref::steal(call_np(fn, args.get()));
    if (r) PyErr_SetString(PyExc_RuntimeError, "stacking unequal blocks did not fail");
}

PyObject* labels_list(const Labels& labels) {
    std::vector<Ref> texts;
    texts.reserve(labels.texts.size());
    TextDecoder decode;
    for (const auto& t : labels.texts) {
        texts.push_back(Ref::steal(decode(t)));
        if (!texts.back()) return nullptr;
    }
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(labels.of_block.size())));
    if (!list) return nullptr;
    for (size_t k = 0; k < labels.of_block.size(); ++k)
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(k),
                        Py_NewRef(texts[labels.of_block[k]].get()));
    return list.release();
}

bool spend_on_blocks(Read3D& r, int64_t bytes) {
    return run_core([&] {
        spend_on_stored_blocks(r.reader->file_size(), static_cast<int64_t>(r.blocks.blocks.size()),
                               bytes);
    });
}

PyObject* scan_stackable_traces(Read3D& r, TraceScan& scan) {
    if (!run_core([&] { scan = scan_traces(*r.reader, r.blocks, r.npt, r.table.info_size, {}); },
                  true))
        return nullptr;
    std::optional<size_t> unequal = first_unequal(scan.counts);
    if (scan.counts.empty() || unequal) {
        raise_stack_error(Name::vstack, scan.counts, unequal.value_or(0));
        return nullptr;
    }
    return labels_list(scan.labels);
}

bool read_traces_at_once(Read3D& r, std::initializer_list<int64_t> shape, bool planes, Ref& values,
                         Ref& labels) {
    int64_t count = 1;
    for (int64_t d : shape) count = saturating_mul(count, d);
    if (!spend_on_blocks(r, saturating_mul(count, 4))) return false;
    values = Ref::steal(np_array(Name::empty, shape, DType::Float32));
    if (!values) return false;
    BufferGuard buf;
    if (!writable_view(buf, values.get(), count * 4)) return false;
    auto* dst = static_cast<float*>(buf.view().buf);
    Labels names;
    if (!run_core(
            [&] {
                names = read_traces(*r.reader, r.blocks, r.npt, r.table.info_size, r.stride(),
                                    planes, dst);
            },
            true))
        return false;
    buf.release();
    labels = Ref::steal(labels_list(names));
    return static_cast<bool>(labels);
}

namespace {

// kMapGeometryKeys as interned names, in the same order.
constexpr Name kMapGeometryNames[] = {Name::AOX, Name::AOY, Name::DDX,
                                      Name::DDY, Name::NPX, Name::NPY};
constexpr bool same_texts() {
    if (std::size(kMapGeometryNames) != kMapGeometryKeys.size()) return false;
    for (size_t k = 0; k < kMapGeometryKeys.size(); ++k)
        if (std::string_view(name_text(kMapGeometryNames[k])) != kMapGeometryKeys[k]) return false;
    return true;
}
static_assert(same_texts());

// The six map values from `parameters`, in order; KeyError for the first missing.
bool map_values(PyObject* parameters, Ref (&out)[kMapGeometryKeys.size()]) {
    for (size_t k = 0; k < kMapGeometryKeys.size(); ++k) {
        PyObject* key = name(kMapGeometryNames[k]);
        PyObject* v = PyDict_GetItemWithError(parameters, key);
        if (!v) {
            if (!PyErr_Occurred()) PyErr_SetObject(globals().KeyError, key);
            return false;
        }
        out[k] = Ref::borrow(v);
    }
    return true;
}

// The underived block's geometry, also written into `parameters`.
bool original_geometry(Read3D& r, Ref (&values)[kMapGeometryKeys.size()]) {
    Ref line = Ref::steal(PyUnicode_FromString("Orignal mapping coordinates used"));
    if (!line) return false;
    Ref printed = Ref::steal(PyObject_CallOneArg(globals().print, line.get()));
    if (!printed) return false;
    ParamBlock original;
    if (!run_core([&] {
            Cursor cur(r.req.file.source());
            original = read_param_block(cur, r.req.offsets.original_params);
        }))
        return false;
    for (size_t k = 0; k < kMapGeometryKeys.size(); ++k) {
        const ParamValue* v = original.find(kMapGeometryKeys[k]);
        if (!v) {
            PyErr_SetObject(globals().KeyError, name(kMapGeometryNames[k]));
            return false;
        }
        values[k] = Ref::steal(param_to_python(*v));
        if (!values[k]) return false;
    }
    for (size_t k = 0; k < kMapGeometryKeys.size(); ++k)
        if (PyDict_SetItem(r.req.parameters, name(kMapGeometryNames[k]), values[k].get()) < 0)
            return false;
    return true;
}

// np.linspace(origin, origin + step * (n - 1), n) with Python's arithmetic.
PyObject* map_axis(PyObject* origin, PyObject* step, PyObject* n) {
    Ref one = Ref::steal(PyLong_FromLong(1));
    if (!one) return nullptr;
    Ref last_index = Ref::steal(PyNumber_Subtract(n, one.get()));
    if (!last_index) return nullptr;
    // A text step repeats n - 1 times, and the axis then fails on text of
    // any length; repeating it once fails alike without building gigabytes.
    if (PyUnicode_Check(step) && PyLong_Check(last_index.get())) {
        int above = PyObject_RichCompareBool(last_index.get(), one.get(), Py_GT);
        if (above < 0) return nullptr;
        if (above) last_index = std::move(one);
    }
    Ref span = Ref::steal(PyNumber_Multiply(step, last_index.get()));
    if (!span) return nullptr;
    Ref end = Ref::steal(PyNumber_Add(origin, span.get()));
    if (!end) return nullptr;
    return np_linspace(origin, end.get(), n);
}

bool as_count(PyObject* o, int64_t& out) {
    Py_ssize_t v = PyNumber_AsSsize_t(o, PyExc_OverflowError);
    if (v == -1 && PyErr_Occurred()) return false;
    out = v;
    return true;
}

PyObject* image_trace_object(Read3D& r, PyObject* map_x, PyObject* map_y, PyObject* labels,
                             PyObject* traces) {
    Ref extra = Ref::steal(kwargs_of({{Name::mapX, map_x},
                                      {Name::mapY, map_y},
                                      {Name::labels, labels},
                                      {Name::traces, traces}}));
    if (!extra) return nullptr;
    return make_data_object(Name::ImageTRCDataReturn, r.req, extra.get());
}

PyObject* image_traces(Read3D& r, PyObject* map_x, PyObject* map_y, const MapShape& shape) {
    Ref labels, traces;
    bool one_pass = false;
    if (!run_core([&] {
            one_pass =
                r.npt == shape.npy * shape.npx &&
                traces_in_one_pass(*r.reader, r.blocks, r.npt, r.table.info_size, r.stride());
        }))
        return nullptr;
    if (one_pass) {
        int64_t n = static_cast<int64_t>(r.blocks.blocks.size());
        if (!read_traces_at_once(r, {shape.npy, shape.npx, n}, true, traces, labels))
            return nullptr;
        return image_trace_object(r, map_x, map_y, labels.get(), traces.get());
    }
    TraceScan scan;
    if (!run_core(
            [&] {
                scan = scan_traces(*r.reader, r.blocks, r.npt, r.table.info_size,
                                   PlaneShape{shape.npy, shape.npx});
            },
            true))
        return nullptr;
    if (scan.counts.empty()) {
        raise_stack_error(Name::dstack, scan.counts, 0);
        return nullptr;
    }
    labels = Ref::steal(labels_list(scan.labels));
    if (!labels) return nullptr;
    int64_t n = static_cast<int64_t>(r.blocks.blocks.size());
    int64_t plane = shape.npy * shape.npx;
    if (!spend_on_blocks(r, saturating_mul(saturating_mul(n, plane), 4))) return nullptr;
    traces = Ref::steal(np_array(Name::empty, {shape.npy, shape.npx, n}, DType::Float32));
    if (!traces) return nullptr;
    BufferGuard buf;
    if (!writable_view(buf, traces.get(), plane * n * 4)) return nullptr;
    auto* dst = static_cast<float*>(buf.view().buf);
    if (!run_core([&] { read_trace_planes(*r.reader, r.blocks, plane, dst); }, true))
        return nullptr;
    buf.release();
    return image_trace_object(r, map_x, map_y, labels.get(), traces.get());
}

PyObject* image_spectra(Read3D& r, PyObject* map_x, PyObject* map_y, const MapShape& shape) {
    ImageLayout layout = image_layout(r.table, r.npt);
    // np.zeros clears (and, for recycled memory, writes) every page first;
    // when the blocks overwrite every value, np.empty gives the same result.
    Name alloc = image_blocks_cover_map(r.blocks, layout, shape) ? Name::empty : Name::zeros;
    Ref spectra = Ref::steal(np_array(alloc, {shape.npy, shape.npx, shape.npt}, DType::Float32));
    if (!spectra) return nullptr;
    BufferGuard buf;
    if (!writable_view(buf, spectra.get(), shape.npy * shape.npx * shape.npt * 4)) return nullptr;
    auto* out = static_cast<float*>(buf.view().buf);
    int64_t stride = r.stride();
    if (!run_core([&] { check_image_commit(*r.reader, r.blocks, layout, shape); })) return nullptr;
    if (!run_core([&] { read_image_spectra(*r.reader, r.blocks, layout, shape, stride, out); },
                  true))
        return nullptr;
    buf.release();
    Ref extra = Ref::steal(
        kwargs_of({{Name::mapX, map_x}, {Name::mapY, map_y}, {Name::spectra, spectra.get()}}));
    if (!extra) return nullptr;
    return make_data_object(Name::ImageDataReturn, r.req, extra.get());
}

} // namespace

PyObject* read_image_map(Read3D& r) {
    Ref v[kMapGeometryKeys.size()]; // in the order of kMapGeometryKeys
    if (!map_values(r.req.parameters, v)) return nullptr;
    if (PyUnicode_CompareWithASCIIString(r.req.deriv, "NONE") != 0) {
        Ref zero = Ref::steal(PyLong_FromLong(0));
        if (!zero) return nullptr;
        int nx0 = PyObject_RichCompareBool(v[kPointsX].get(), zero.get(), Py_EQ);
        if (nx0 < 0) return nullptr;
        int ny0 = nx0 ? 1 : PyObject_RichCompareBool(v[kPointsY].get(), zero.get(), Py_EQ);
        if (ny0 < 0) return nullptr;
        if (ny0 && !original_geometry(r, v)) return nullptr;
    }
    // The axes are built in full, x then y; a point count no file could back
    // is refused, where the axis's origin and step are numbers: text in
    // either fails before anything is built, with its own error.
    int64_t file_size = r.reader->file_size();
    auto axis = [&](size_t origin, size_t step, size_t points, const char* key) -> PyObject* {
        auto is_number = [](PyObject* o) { return PyLong_Check(o) || PyFloat_Check(o); };
        if (is_number(v[origin].get()) && is_number(v[step].get()) &&
            !check_declared_count(v[points].get(), key, file_size))
            return nullptr;
        return map_axis(v[origin].get(), v[step].get(), v[points].get());
    };
    Ref map_x = Ref::steal(axis(kOriginX, kStepX, kPointsX, "NPX"));
    if (!map_x) return nullptr;
    Ref map_y = Ref::steal(axis(kOriginY, kStepY, kPointsY, "NPY"));
    if (!map_y) return nullptr;
    MapShape shape;
    shape.npt = r.npt;
    if (!as_count(v[kPointsX].get(), shape.npx) || !as_count(v[kPointsY].get(), shape.npy))
        return nullptr;
    return r.traces ? image_traces(r, map_x.get(), map_y.get(), shape)
                    : image_spectra(r, map_x.get(), map_y.get(), shape);
}

PyObject* read_3d(DataRequest& req) {
    Read3D r{req, {}, {}, 0, false, std::nullopt};
    if (!as_count(req.npt, r.npt)) return nullptr;
    const char* type = PyUnicode_AsUTF8(req.data_block_type);
    if (!type) return nullptr;
    r.traces = is_trace_type(type);
    Kind3D kind = Kind3D::TimeResolved;
    if (!run_core([&] {
            const ByteSource& src = req.file.source();
            Cursor cur(src);
            r.table = read_store_table(cur, req.offsets.data);
            r.reader.emplace(src);
            r.blocks = stored_block_offsets(r.table, r.reader->file_size());
            kind = choose_kind(req.params, req.offsets.anno);
        }))
        return nullptr;
    switch (kind) {
    case Kind3D::ImageMap:
        return read_image_map(r);
    case Kind3D::MultiRegion:
        return read_multiregion(r);
    case Kind3D::TimeResolved:
        return read_time_resolved(r);
    }
    return nullptr;
}

} // namespace vesk::py
