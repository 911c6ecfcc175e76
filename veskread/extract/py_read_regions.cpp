// Multiregion point maps: the annotation table as Python sees its cells, the
// order of the groups, and one Region per group.
//
// The group order is that of a Python set, and odd coordinate cells are
// stored by numpy itself, so both are computed here with the interpreter;
// everything else (plans, spectra, traces) runs in the core.
#include <algorithm>
#include <string>
#include <unordered_set>

#include "veskread/container/freed_heap.h"
#include "veskread/container/output_budget.h"
#include "veskread/container/py_container.h"
#include "veskread/extract/py_read_3d.h"
#include "veskread/extract/regions.h"
#include "veskread/extract/series.h"
#include "veskread/module/py_classes.h"
#include "veskread/module/py_globals.h"

namespace vesk::py {

namespace {

PyObject* cell_object(const AnnoCell& c) {
    if (auto* i = std::get_if<int32_t>(&c)) return PyLong_FromLong(*i);
    if (auto* d = std::get_if<double>(&c)) return PyFloat_FromDouble(*d);
    if (auto* s = std::get_if<CellText>(&c)) return decode_text(*s->bytes);
    Py_RETURN_NONE;
}

// warnings.warn("Unknown annotation data type {0}".format(code), RuntimeWarning)
void warn_unknown_type(const ParamValue& code) {
    Ref value = Ref::steal(param_to_python(code));
    if (!value) throw PythonErrorSet{};
    Ref text = Ref::steal(PyObject_Format(value.get(), nullptr));
    if (!text) throw PythonErrorSet{};
    Ref message = Ref::steal(PyUnicode_FromFormat("Unknown annotation data type %U", text.get()));
    if (!message) throw PythonErrorSet{};
    Ref warnings = Ref::steal(module_global("warnings"));
    if (!warnings) throw PythonErrorSet{};
    Ref r = Ref::steal(
        PyObject_CallMethod(warnings.get(), "warn", "OO", message.get(), globals().RuntimeWarning));
    if (!r) throw PythonErrorSet{};
}

// The distinct groups in the iteration order of a Python set of the
// "Group" cells, each as a 32-bit int.
bool group_order(const AnnoColumn& column, std::vector<int32_t>& out) {
    Ref set = Ref::steal(PySet_New(nullptr));
    if (!set) return false;
    // Adding an int equal to one added before changes nothing (no insertion,
    // no resize), so each int goes to the set once.
    std::unordered_set<int32_t> added;
    auto add = [&](const AnnoCell& c) {
        Ref o = Ref::steal(cell_object(c));
        return o && PySet_Add(set.get(), o.get()) == 0;
    };
    if (const int32_t* ints = column.ints()) {
        // A group's rows usually follow one another.
        for (size_t r = 0; r < column.size(); ++r)
            if ((r == 0 || ints[r] != ints[r - 1]) && added.insert(ints[r]).second && !add(ints[r]))
                return false;
    } else {
        for (const auto& c : column) {
            auto* i = std::get_if<int32_t>(&c);
            if (i && !added.insert(*i).second) continue;
            if (!add(c)) return false;
        }
    }
    Ref it = Ref::steal(PyObject_GetIter(set.get()));
    if (!it) return false;
    while (Ref item = Ref::steal(PyIter_Next(it.get()))) {
        Ref index = Ref::steal(PyNumber_Index(item.get()));
        if (!index) return false;
        long v = PyLong_AsLong(index.get());
        if (v == -1 && PyErr_Occurred()) return false;
        if (v < INT32_MIN || v > INT32_MAX) {
            PyErr_SetString(PyExc_OverflowError, "value too large to convert to int");
            return false;
        }
        out.push_back(static_cast<int32_t>(v));
    }
    return !PyErr_Occurred();
}

// Stores one odd cell the way numpy would store it in a float64 array.
// Returns 1 stored, 0 refused (exception set), -1 other failure.
int numpy_store(PyObject* scratch, const AnnoCell& c, double& value) {
    Ref o = Ref::steal(cell_object(c));
    if (!o) return -1;
    Ref zero = Ref::steal(PyLong_FromLong(0));
    if (!zero) return -1;
    if (PyObject_SetItem(scratch, zero.get(), o.get()) < 0) return 0;
    Ref stored = Ref::steal(PyObject_GetItem(scratch, zero.get()));
    if (!stored) return -1;
    value = PyFloat_AsDouble(stored.get());
    return value == -1.0 && PyErr_Occurred() ? -1 : 1;
}

bool resolve(Coordinates& coords, const AnnoColumn* column, PyObject* scratch) {
    for (size_t k = 0; coords.pending > 0 && k < coords.state.size(); ++k) {
        if (coords.state[k] != Coordinates::Pending) continue;
        int r = numpy_store(scratch, (*column)[k], coords.value[k]);
        if (r < 0) return false;
        if (r == 0) PyErr_Clear();
        coords.state[k] = r ? Coordinates::Stored : Coordinates::Refused;
        --coords.pending;
    }
    return true;
}

struct Context {
    Read3D& r;
    RegionColumns cols;
    Coordinates x, y;
    PyObject* scratch; // borrowed float64 array of one element
    std::optional<TraceMatrix> traces;
    std::optional<SpectrumSource> spectra; // when not traces
    RegionBudget budget;
    int64_t array_bytes = 0; // the regions' arrays so far
};

// Raises again what numpy said when refusing the coordinate that stopped a loop.
void raise_refused(Context& c, const CoordinateStop& stop) {
    const AnnoColumn* column = stop.is_y ? c.cols.y : c.cols.x;
    double unused;
    if (numpy_store(c.scratch, (*column)[static_cast<size_t>(stop.row)], unused) > 0)
        PyErr_SetString(PyExc_RuntimeError, "coordinate conversion changed");
}

CoordinateStop fill(Context& c, const RegionPlan& plan, int64_t size, const RegionArrays& out,
                    const RegionFill* filled) {
    if (c.traces) return fill_trace_region(*c.traces, c.cols, c.x, c.y, plan, size, out);
    return fill_spectrum_region(*c.spectra, c.cols, c.x, c.y, plan, size, out, filled);
}

// A size that repeats a text cell: np.zeros takes a text as a sequence of
// dimensions and refuses it by its length (a text of none reaches the 2D
// array, which refuses its item). The text is made only when a file of this
// size may hold it.
PyObject* refuse_text_size(Context& c, const RegionPlan& plan, int64_t width) {
    auto j = static_cast<size_t>(plan.first_row);
    Ref nx = Ref::steal(cell_object((*c.cols.nx)[j]));
    Ref ny = Ref::steal(cell_object((*c.cols.ny)[j]));
    if (!nx || !ny) return nullptr;
    PyObject* text = PyUnicode_Check(nx.get()) ? nx.get() : ny.get();
    long count = PyLong_AsLong(text == nx.get() ? ny.get() : nx.get());
    if (count == -1 && PyErr_Occurred()) return nullptr;
    int64_t chars = saturating_mul(PyUnicode_GET_LENGTH(text), std::max<long>(count, 0));
    int64_t file_size = c.r.reader->file_size();
    if (saturating_mul(chars, PyUnicode_KIND(text)) > output_limit(file_size)) {
        run_core([&] {
            OutputBudget(file_size).refuse("annotation table gives region " +
                                           std::to_string(plan.group) + " a size of text, " +
                                           std::to_string(chars) + " characters");
        });
        return nullptr; // the refusal is set
    }
    Ref product = Ref::steal(PyNumber_Multiply(nx.get(), ny.get()));
    if (!product) return nullptr;
    Ref args = Ref::steal(PyTuple_Pack(1, product.get()));
    if (!args) return nullptr;
    Ref z = Ref::steal(call_np(Name::zeros, args.get()));
    if (!z) return nullptr;
    Ref w = Ref::steal(PyLong_FromLongLong(width));
    Ref shape = w ? Ref::steal(PyTuple_Pack(2, product.get(), w.get())) : Ref();
    Ref shape_args = shape ? Ref::steal(PyTuple_Pack(1, shape.get())) : Ref();
    if (!shape_args) return nullptr;
    Ref z2 = Ref::steal(call_np(Name::zeros, shape_args.get()));
    if (z2) PyErr_SetString(PyExc_TypeError, "'str' object cannot be interpreted as an integer");
    return nullptr;
}

// One region; null with an exception set on failure.
PyObject* make_region(Context& c, const RegionPlan& plan) {
    if (std::holds_alternative<RepeatedText>(plan.size))
        return refuse_text_size(c, plan, c.traces ? c.traces->rows() : c.r.npt);
    if (auto* d = std::get_if<double>(&plan.size)) {
        // A float size: numpy refuses it (as range() would after it).
        Ref size = Ref::steal(PyFloat_FromDouble(*d));
        if (!size) return nullptr;
        Ref args = Ref::steal(PyTuple_Pack(1, size.get()));
        if (!args) return nullptr;
        Ref z = Ref::steal(call_np(Name::zeros, args.get()));
        if (z)
            PyErr_SetString(PyExc_TypeError, "'float' object cannot be interpreted as an integer");
        return nullptr;
    }
    int64_t size = std::get<int64_t>(plan.size);
    if (size < 0) {
        Ref z = Ref::steal(np_array(Name::zeros, {size}, DType::Float64));
        if (z) PyErr_SetString(PyExc_ValueError, "negative dimensions are not allowed");
        return nullptr;
    }
    if (!region_fits_table(c.cols, plan)) {
        // The points run past the table, so the loop ends in an error; find
        // it without allocating arrays for points that cannot exist.
        CoordinateStop stop;
        if (!run_core([&] { stop = fill(c, plan, size, {}, nullptr); }, true)) return nullptr;
        if (stop.row >= 0)
            raise_refused(c, stop);
        else
            PyErr_SetString(PyExc_IndexError, "list index out of range");
        return nullptr;
    }

    int64_t width = c.traces ? c.traces->rows() : c.r.npt;
    // Trace regions fill every point; a spectrum region's points without a
    // stored block stay zero pages, which its rows never commit.
    RegionFill filled{size, saturating_mul(size, saturating_mul(width, 4)), {}};
    bool fits = false;
    if (!run_core([&] {
            if (!c.traces)
                filled = region_fill(c.r.blocks, c.cols, plan, size, saturating_mul(width, 4));
            fits = c.budget.fits(size, filled);
        }))
        return nullptr;
    if (!fits) {
        // Too much to fill, unless the loop fails first (a stored spectrum the
        // file cuts short, a coordinate numpy refuses): then that error, as
        // the loop would raise it before committing what the region declares.
        CoordinateStop stop;
        if (!run_core([&] { stop = fill(c, plan, size, {}, c.traces ? nullptr : &filled); }, true))
            return nullptr;
        if (stop.row >= 0) {
            raise_refused(c, stop);
            return nullptr;
        }
    }
    if (!run_core([&] { c.budget.spend(plan, size, filled); })) return nullptr;
    // The caller frees the regions together, and their many arrays would
    // not keep that memory for the next call on their own.
    c.array_bytes = saturating_add(
        c.array_bytes,
        saturating_mul(size, saturating_add(saturating_mul(width, 4), c.budget.per_point())));
    keep_freed_results(static_cast<size_t>(c.array_bytes));

    Ref map_x = Ref::steal(np_array(Name::zeros, {size}, DType::Float64));
    if (!map_x) return nullptr;
    Ref map_y = Ref::steal(np_array(Name::zeros, {size}, DType::Float64));
    if (!map_y) return nullptr;
    Ref spectra, start_time;
    const bool zeroed = c.traces || !filled.every_point(size);
    if (c.traces) {
        spectra = Ref::steal(np_array(Name::zeros, {size, width}, DType::Float32));
        if (!spectra) return nullptr;
    } else {
        start_time = Ref::steal(np_array(Name::zeros, {size}, DType::Float64));
        if (!start_time) return nullptr;
        // np.empty when every row is read; zeros otherwise, so that rows
        // without a block are never written: many regions of them must
        // not cost the memory they declare.
        spectra = Ref::steal(zeroed ? np_zeros_untouched(size, width)
                                    : np_array(Name::empty, {size, width}, DType::Float32));
        if (!spectra) return nullptr;
    }
    BufferGuard xb, yb, sb, tb;
    if (!writable_view(xb, map_x.get(), size * 8) || !writable_view(yb, map_y.get(), size * 8) ||
        !writable_view(sb, spectra.get(), size * width * 4) ||
        (start_time && !writable_view(tb, start_time.get(), size * 8)))
        return nullptr;
    RegionArrays out;
    out.map_x = static_cast<double*>(xb.view().buf);
    out.map_y = static_cast<double*>(yb.view().buf);
    out.spectra = static_cast<float*>(sb.view().buf);
    out.start_time = start_time ? static_cast<double*>(tb.view().buf) : nullptr;
    out.spectra_zeroed = zeroed;
    CoordinateStop stop;
    if (!run_core([&] { stop = fill(c, plan, size, out, c.traces ? nullptr : &filled); }, true))
        return nullptr;
    xb.release();
    yb.release();
    sb.release();
    tb.release();
    if (stop.row >= 0) {
        raise_refused(c, stop);
        return nullptr;
    }

    Ref title = Ref::steal(
        PyUnicode_FromStringAndSize(plan.title.data(), static_cast<Py_ssize_t>(plan.title.size())));
    if (!title) return nullptr;
    Ref kwargs =
        Ref::steal(kwargs_of({{Name::title, title.get()},
                              {Name::spectra, spectra.get()},
                              {Name::mapX, map_x.get()},
                              {Name::mapY, map_y.get()},
                              {Name::start_time, start_time ? start_time.get() : Py_None}}));
    if (!kwargs) return nullptr;
    Ref cls = Ref::steal(module_global(Name::Region));
    if (!cls) return nullptr;
    return call_data_class(cls.get(), kwargs.get());
}

} // namespace

PyObject* read_multiregion(Read3D& r) {
    AnnotationTable table;
    if (!run_core([&] {
            Cursor cur(r.req.file.source());
            table = read_annotation_table(cur, r.req.offsets.anno, RegionColumns::names(),
                                          warn_unknown_type);
        }))
        return nullptr;
    Context c{r,
              RegionColumns::of(table),
              {},
              {},
              nullptr,
              std::nullopt,
              std::nullopt,
              RegionBudget(r.reader->file_size(), r.traces)};

    if (!c.cols.group) {
        Ref key = Ref::steal(PyUnicode_FromString("Group"));
        if (key) PyErr_SetObject(globals().KeyError, key.get());
        return nullptr;
    }
    std::vector<int32_t> groups;
    if (!group_order(*c.cols.group, groups)) return nullptr;

    Ref labels;
    if (r.traces) {
        TraceScan scan;
        labels = Ref::steal(scan_stackable_traces(r, scan));
        if (!labels) return nullptr;
        if (!run_core([&] { c.traces.emplace(*r.reader, r.blocks, scan.counts[0], r.stride()); },
                      true))
            return nullptr;
    } else {
        c.spectra.emplace(*r.reader, r.blocks, r.npt, r.stride());
    }

    Ref scratch = Ref::steal(np_array(Name::zeros, {1}, DType::Float64));
    if (!scratch) return nullptr;
    c.scratch = scratch.get();
    c.x = Coordinates::of(c.cols.x);
    c.y = Coordinates::of(c.cols.y);
    if (!resolve(c.x, c.cols.x, c.scratch) || !resolve(c.y, c.cols.y, c.scratch)) return nullptr;

    GroupIndex index(*c.cols.group);
    Ref regions = Ref::steal(PyList_New(0));
    if (!regions) return nullptr;
    for (int32_t g : groups) {
        std::optional<RegionPlan> plan;
        if (!run_core([&] { plan = plan_region(c.cols, index, g); })) return nullptr;
        if (!plan) continue;
        Ref region = Ref::steal(make_region(c, *plan));
        if (!region || PyList_Append(regions.get(), region.get()) < 0) return nullptr;
    }

    if (r.traces) {
        Ref extra =
            Ref::steal(kwargs_of({{Name::labels, labels.get()}, {Name::regions, regions.get()}}));
        if (!extra) return nullptr;
        return make_data_object(Name::MultiRegionTRCDataReturn, r.req, extra.get());
    }
    Ref extra = Ref::steal(kwargs_of({{Name::regions, regions.get()}}));
    if (!extra) return nullptr;
    return make_data_object(Name::MultiRegionDataReturn, r.req, extra.get());
}

} // namespace vesk::py
