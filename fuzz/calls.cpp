#include "calls.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <memory>
#include <set>
#include <tuple>
#include <variant>

#include "budget.h"
#include "veskread/container/output_budget.h"
#include "veskread/extract/annotation_table.h"
#include "veskread/extract/float_values.h"
#include "veskread/extract/image_map.h"
#include "veskread/extract/kind_choice.h"
#include "veskread/extract/regions.h"
#include "veskread/extract/series.h"
#include "veskread/extract/store_table.h"
#include "veskread/extract/stored_block_reader.h"
#include "veskread/images/image_keys.h"
#include "veskread/images/visible_images.h"

namespace vesk::fuzz {

bool open_class(const char* name) {
    static const std::string open = [] {
        const char* env = std::getenv("VESK_FUZZ_OPEN");
        return "," + std::string(env ? env : "") + ",";
    }();
    return open.find("," + std::string(name) + ",") != std::string::npos;
}

namespace {

const char* const kTypes[] = {"REFL",  "RAM",   "SPOW", "RPOW", "RPH", "SPH",  "PAS",
                              "LREFL", "KM",    "SIFG", "RIFG", "TR",  "EMIS", "ATR",
                              "TRARI", "ABARI", "AB",   "TRC",  "SSC", "RSC"};
const char* const kDerivs[] = {"NONE", "1DER", "2DER", "NDER"};

bool is_number(const ParamValue* v) { return v && !std::holds_alternative<ParamText>(*v); }

// a * b for an array shape; nullopt where numpy would refuse the size.
std::optional<int64_t> shape_product(std::initializer_list<int64_t> dims) {
    int64_t n = 1;
    for (int64_t d : dims) {
        if (d < 0 || __builtin_mul_overflow(n, d, &n)) return std::nullopt;
    }
    if (n > (int64_t(1) << 60)) return std::nullopt;
    return n;
}

// np.linspace(start, stop, num): num doubles, after the module's check that
// a file could back an axis of `num` values.
std::optional<std::vector<double>> linspace(const ByteSource& src, const ParamValue* start,
                                            const ParamValue* stop, std::optional<int64_t> num) {
    if (!is_number(start) || !is_number(stop) || !num || *num < 0) return std::nullopt;
    if (!declared_count_fits(*num, src.size())) return std::nullopt;
    return std::vector<double>(static_cast<size_t>(*num));
}

// The list of label strings, one slot per stored block.
std::vector<const void*> label_list(const Labels& labels) {
    return std::vector<const void*>(labels.of_block.size());
}

struct Read3D {
    const ByteSource& src;
    const Selected& s;
    StoreTable table;
    StoredBlocks blocks;
    std::optional<BlockReader> reader;
    int64_t npt = 0;
    bool traces = false;
};

// The whole traces, as the vesk package reads a block of traces that the
// end of the file cuts short; its errors are its own.
void whole_traces(Read3D& r, bool planes) {
    try {
        StoredBlocks whole = traces_held_whole(*r.reader, r.blocks, r.npt);
        auto n = shape_product({int64_t(whole.blocks.size()), r.npt, 4});
        if (!n || *n > output_limit(r.src.size())) return;
        std::vector<float> traces(static_cast<size_t>(*n / 4));
        read_whole_traces(*r.reader, whole, r.npt, r.table.info_size,
                          int64_t(r.table.block_size) + r.table.info_size, planes, traces.data());
    } catch (const Error&) {
    }
}

void image_map(Read3D& r, const Key& key) {
    ParamBlock geometry = r.s.params;
    auto zero = [](const ParamValue* v) {
        if (auto* i = std::get_if<int32_t>(v)) return *i == 0;
        if (auto* d = std::get_if<double>(v)) return *d == 0.0;
        return false;
    };
    if (key.deriv != "NONE" && (zero(geometry.find("NPX")) || zero(geometry.find("NPY")))) {
        Cursor cur(r.src);
        ParamBlock original = read_param_block(cur, r.s.offsets.original_params);
        for (const char* k : {"AOX", "AOY", "DDX", "DDY", "NPX", "NPY"}) {
            const ParamValue* v = original.find(k);
            if (!v) return;
            geometry.set(k, *v);
        }
    }
    for (const char* k : {"AOX", "AOY", "DDX", "DDY"})
        if (!is_number(geometry.find(k))) return;
    std::optional<int64_t> npx = count_param(geometry, "NPX");
    std::optional<int64_t> npy = count_param(geometry, "NPY");
    auto map_x = linspace(r.src, geometry.find("AOX"), geometry.find("DDX"), npx);
    if (!map_x) return;
    auto map_y = linspace(r.src, geometry.find("AOY"), geometry.find("DDY"), npy);
    if (!map_y) return;
    MapShape shape{*npy, *npx, r.npt};

    if (r.traces) {
        if (r.npt == shape.npy * shape.npx) whole_traces(r, true);
        TraceScan scan = scan_traces(*r.reader, r.blocks, r.npt, r.table.info_size,
                                     PlaneShape{shape.npy, shape.npx});
        if (scan.counts.empty()) return;
        auto labels = label_list(scan.labels);
        auto n = shape_product({shape.npy, shape.npx, int64_t(r.blocks.blocks.size())});
        if (!n) return;
        std::vector<float> traces(static_cast<size_t>(*n));
        read_trace_planes(*r.reader, r.blocks, shape.npy * shape.npx, traces.data());
        return;
    }
    auto n = shape_product({shape.npy, shape.npx, shape.npt, 4});
    if (!n) return;
    ZeroPages spectra(static_cast<size_t>(*n));
    if (!spectra.ok()) return;
    ImageLayout layout = image_layout(r.table, r.npt);
    int64_t stride = int64_t(r.table.block_size) + r.table.info_size;
    // Whole rows, and a tile, as a chunked reader asks for; their errors are their own.
    const int64_t first_row = shape.npy / 3;
    const int64_t rows = std::min<int64_t>(shape.npy - first_row, 2);
    const int64_t first_col = shape.npx / 3;
    for (MapWindow part :
         {MapWindow{first_row, rows, 0, shape.npx},
          MapWindow{first_row, rows, first_col, std::min<int64_t>(shape.npx - first_col, 2)}}) {
        auto w = shape_product({part.rows, part.cols, shape.npt, 4});
        if (!w) continue;
        ZeroPages window(static_cast<size_t>(*w));
        if (!window.ok()) continue;
        try {
            read_image_window(*r.reader, r.blocks, layout, shape, stride, part,
                              static_cast<float*>(window.data()), CutBlocks::PassOver);
        } catch (const Error&) {
        }
        Budget::charge_resident(window.resident());
    }
    OutputBudget budget(r.src.size());
    if (!budget.try_spend(image_bytes_committed(*r.reader, r.blocks, layout, shape))) return;
    try {
        read_image_spectra(*r.reader, r.blocks, layout, shape, stride,
                           static_cast<float*>(spectra.data()));
    } catch (const Error&) {
        // What the vesk package reads of a map that the end of the file cuts
        // short, into a map that it fills with NaN first when the file backs it.
        if (*n > output_limit(r.src.size())) throw;
        read_image_spectra(*r.reader, r.blocks, layout, shape, stride,
                           static_cast<float*>(spectra.data()), CutBlocks::PassOver);
        Budget::charge_resident(spectra.resident());
        throw;
    }
    Budget::charge_resident(spectra.resident());
}

void time_resolved(Read3D& r) {
    if (r.traces) {
        whole_traces(r, false);
        TraceScan scan = scan_traces(*r.reader, r.blocks, r.npt, r.table.info_size, {});
        if (scan.counts.empty() || first_unequal(scan.counts)) return;
        auto labels = label_list(scan.labels);
        auto n = shape_product({int64_t(scan.counts.size()), scan.counts[0]});
        if (!n) return;
        std::vector<float> traces(static_cast<size_t>(*n));
        read_trace_rows(*r.reader, r.blocks, scan.counts[0], traces.data());
        return;
    }
    auto read_series = [&r](const StoredBlocks& read) {
        check_spectrum_series(*r.reader, read, r.npt);
        int64_t blocks = static_cast<int64_t>(read.blocks.size());
        auto n = shape_product({blocks, r.npt});
        if (blocks == 0 || !n) return;
        std::vector<float> spectra(static_cast<size_t>(*n));
        std::vector<double> times(static_cast<size_t>(blocks));
        read_spectrum_series(*r.reader, read, r.npt,
                             int64_t(r.table.block_size) + r.table.info_size, spectra.data(),
                             times.data());
    };
    // The whole spectra first, as the vesk package reads a series cut short.
    try {
        read_series(series_blocks_held_whole(*r.reader, r.blocks, r.npt));
    } catch (const Error&) {
    }
    read_series(r.blocks);
}

// numpy storing a cell into a float64 array: numbers, and text that parses.
void resolve(Coordinates& coords, const AnnoColumn* column) {
    for (size_t k = 0; k < coords.state.size(); ++k) {
        if (coords.state[k] != Coordinates::Pending) continue;
        coords.state[k] = Coordinates::Refused;
        AnnoCell cell = (*column)[k];
        if (auto* text = std::get_if<CellText>(&cell)) {
            char* end = nullptr;
            std::string t = *text->bytes;
            double v = std::strtod(t.c_str(), &end);
            if (!t.empty() && end == t.c_str() + t.size()) {
                coords.value[k] = v;
                coords.state[k] = Coordinates::Stored;
            }
        }
    }
}

struct Region {
    std::vector<double> map_x, map_y, start_time;
    std::vector<float> spectra;        // np.empty: every row is read
    std::unique_ptr<ZeroPages> zeroed; // np.zeros: rows without a block stay untouched
};

void multiregion(Read3D& r) {
    Cursor cur(r.src);
    size_t unknown = 0;
    AnnotationTable table = read_annotation_table(cur, r.s.offsets.anno, RegionColumns::names(),
                                                  [&](const ParamValue&) { ++unknown; });
    RegionColumns cols = RegionColumns::of(table);
    if (!cols.group) return;
    // Python's set of the cells; only ints make groups.
    std::set<int32_t> groups;
    for (const auto& c : *cols.group) {
        auto* g = std::get_if<int32_t>(&c);
        if (!g) return;
        groups.insert(*g);
    }
    std::optional<TraceMatrix> traces;
    std::vector<const void*> labels;
    if (r.traces) {
        TraceScan scan = scan_traces(*r.reader, r.blocks, r.npt, r.table.info_size, {});
        if (scan.counts.empty() || first_unequal(scan.counts)) return;
        labels = label_list(scan.labels);
        traces.emplace(*r.reader, r.blocks, scan.counts[0],
                       int64_t(r.table.block_size) + r.table.info_size);
    }
    Coordinates x = Coordinates::of(cols.x), y = Coordinates::of(cols.y);
    resolve(x, cols.x);
    resolve(y, cols.y);
    SpectrumSource source(*r.reader, r.blocks, r.npt,
                          int64_t(r.table.block_size) + r.table.info_size);
    auto fill = [&](const RegionPlan& plan, int64_t size, const RegionArrays& out,
                    const RegionFill* filled) {
        if (traces) return fill_trace_region(*traces, cols, x, y, plan, size, out);
        return fill_spectrum_region(source, cols, x, y, plan, size, out, filled);
    };

    GroupIndex index(*cols.group);
    OutputBudget budget(r.src.size()); // across regions, as the module counts
    std::vector<Region> regions;
    for (int32_t g : groups) {
        std::optional<RegionPlan> plan = plan_region(cols, index, g);
        if (!plan) continue;
        auto* size = std::get_if<int64_t>(&plan->size);
        if (!size || *size < 0) return;
        if (!region_fits_table(cols, *plan)) {
            (void)fill(*plan, *size, {}, nullptr);
            return;
        }
        int64_t width = traces ? traces->rows() : r.npt;
        auto n = shape_product({*size, width});
        if (!n) return;
        RegionFill filled{*size, saturating_mul(*n, 4), {}};
        if (!traces) filled = region_fill(r.blocks, cols, *plan, *size, saturating_mul(width, 4));
        if (!budget.try_spend(
                saturating_add(filled.committed, saturating_mul(filled.points, traces ? 16 : 24))))
            return;
        const bool zeroed = traces || !filled.every_point(*size);
        Region& region = regions.emplace_back();
        region.map_x.resize(static_cast<size_t>(*size));
        region.map_y.resize(static_cast<size_t>(*size));
        if (!traces) region.start_time.resize(static_cast<size_t>(*size));
        float* spectra = nullptr;
        if (zeroed) {
            region.zeroed = std::make_unique<ZeroPages>(static_cast<size_t>(*n) * 4);
            if (!region.zeroed->ok()) return;
            spectra = static_cast<float*>(region.zeroed->data());
        } else {
            region.spectra.resize(static_cast<size_t>(*n));
            spectra = region.spectra.data();
        }
        RegionArrays out{region.map_x.data(), region.map_y.data(), spectra,
                         traces ? nullptr : region.start_time.data(), zeroed};
        CoordinateStop stop = fill(*plan, *size, out, traces ? nullptr : &filled);
        size_t resident = 0; // every region's zero pages are held at once
        for (const Region& held : regions)
            if (held.zeroed) resident += held.zeroed->resident();
        Budget::charge_resident(resident);
        if (stop.row >= 0) return;
    }
}

} // namespace

const std::vector<Key>& all_keys() {
    static const std::vector<Key> keys = [] {
        std::vector<Key> k;
        for (const char* type : kTypes)
            for (const char* ch : {"", "-CH2"})
                for (const char* dims : {"2D", "3D"})
                    for (const char* deriv : kDerivs)
                        k.push_back({std::string(type) + ch, dims, deriv});
        return k;
    }();
    return keys;
}

std::optional<std::vector<DirEntry>> directory_of(const ByteSource& src) {
    try {
        if (!has_vesk_magic(src)) return std::nullopt;
        return read_directory(src);
    } catch (const Error&) {
        return std::nullopt;
    }
}

std::optional<Selected> select(const ByteSource& src, const std::vector<DirEntry>& dir,
                               const Key& key) {
    Selected s;
    s.offsets = scan_directory(dir, request_for(key.type, key.dims, key.deriv));
    if (s.offsets.data == -1 || s.offsets.params == -1) return std::nullopt;
    try {
        Cursor cur(src);
        s.params = merge_parameters(cur, s.offsets);
    } catch (const Error&) {
        return std::nullopt;
    }
    for (const char* k : {"NPT", "FXV", "LXV", "MXY", "MNY"})
        if (!s.params.contains(k)) return std::nullopt;
    return s;
}

std::optional<int64_t> count_param(const ParamBlock& params, const char* key) {
    const ParamValue* v = params.find(key);
    if (auto* i = v ? std::get_if<int32_t>(v) : nullptr) return *i;
    return std::nullopt;
}

void read_2d(const ByteSource& src, const Selected& s) {
    auto x =
        linspace(src, s.params.find("FXV"), s.params.find("LXV"), count_param(s.params, "NPT"));
    if (!x) return;
    try {
        size_t n = float32_values_available(src, s.offsets.data, x->size());
        std::vector<float> y(n);
        (void)read_float32_at(src, s.offsets.data, y.data(), n);
    } catch (const Error&) {
    }
}

void read_3d(const ByteSource& src, const Selected& s, const Key& key, int kinds) {
    auto x =
        linspace(src, s.params.find("FXV"), s.params.find("LXV"), count_param(s.params, "NPT"));
    if (!x) return;
    Read3D r{src, s, {}, {}, std::nullopt, static_cast<int64_t>(x->size()), key.type == "TRC"};
    try {
        Cursor cur(src);
        r.table = read_store_table(cur, s.offsets.data);
        r.reader.emplace(src);
        r.blocks = stored_block_offsets(r.table, r.reader->file_size());
        switch (choose_kind(s.params, s.offsets.anno)) {
        case Kind3D::ImageMap:
            if (kinds & kImageMaps) image_map(r, key);
            break;
        case Kind3D::MultiRegion:
            if (kinds & kMultiRegions) multiregion(r);
            break;
        case Kind3D::TimeResolved:
            if (kinds & kTimeResolved) time_resolved(r);
            break;
        }
    } catch (const Error&) {
    }
}

void for_each_selected(const ByteSource& src, const std::vector<DirEntry>& dir, const char* dims,
                       const std::function<void(const Selected&, const Key&)>& read) {
    // What a read depends on besides the bytes: the blocks found, whether the
    // type holds traces and whether the key is underived.
    using Seen = std::tuple<int64_t, int64_t, int64_t, int64_t, int64_t, int64_t, int64_t, int64_t,
                            int64_t, bool, bool>;
    std::set<Seen> seen;
    for (const Key& key : all_keys()) {
        if (key.dims != dims) continue;
        BlockOffsets o = scan_directory(dir, request_for(key.type, key.dims, key.deriv));
        if (o.data == -1 || o.params == -1) continue;
        Seen id{o.data,        o.params,          o.original_params,  o.acq_params,
                o.inst_params, o.optics_params,   o.sample_params,    o.ft_params,
                o.anno,        key.type == "TRC", key.deriv == "NONE"};
        if (!seen.insert(id).second) continue;
        Budget budget(static_cast<size_t>(src.size()));
        if (auto s = select(src, dir, key)) read(*s, key);
    }
}

std::optional<std::vector<DirEntry>> budgeted_directory(const ByteSource& src) {
    Budget budget(static_cast<size_t>(src.size()));
    return directory_of(src);
}

void read_visible_images(const ByteSource& src, const std::vector<DirEntry>& dir) {
    std::optional<VisibleImageBlock> block = find_visible_image_block(dir);
    if (!block) return;
    try {
        Cursor cur(src);
        ParamBlock directory = read_image_directory(cur, *block);
        int64_t count = image_count(directory);
        std::vector<std::string> images;
        for (int64_t i = 0; i < count; ++i) {
            ImageSubBlock sub = read_image_params(cur, *block, directory, image_key(i));
            // The attributes: every H key but H00 names its V key's value.
            const ParamValue* bytes = nullptr;
            const ParamValue* type = nullptr;
            for (const auto& [k, h] : sub.params.entries()) {
                if (k.empty()) return;
                if (k[0] != 'H' || k == "H00") continue;
                std::string v = k;
                std::replace(v.begin(), v.end(), 'H', 'V');
                const ParamValue* value = sub.params.find(v);
                if (!value) return;
                auto* text = std::get_if<ParamText>(&h);
                if (!text) return; // rstrip of a number
                std::string name = text->bytes;
                while (!name.empty() && name.back() == ':') name.pop_back();
                if (name == "Bytes") bytes = value;
                if (name == "Type") type = value;
            }
            if (!seek_image_bytes(cur, sub)) continue;
            auto* count_value = bytes ? std::get_if<int32_t>(bytes) : nullptr;
            if (!count_value) return;
            std::string raw = read_image_bytes(cur, *count_value);
            if (!type) return;
            auto* t = std::get_if<int32_t>(type);
            if (t && *t == kImageType258) raw = raw.substr(std::min(raw.size(), kType258Header));
            images.push_back(std::move(raw));
        }
    } catch (const Error&) {
    }
}

} // namespace vesk::fuzz
