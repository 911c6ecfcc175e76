#include "veskread/extract/regions.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "veskread/container/interrupt.h"
#include "veskread/container/output_budget.h"

namespace vesk {

namespace {

constexpr int64_t kTimeEnd = 136 + 8; // the time's end, counted from the values' end
// Point loops report their work to the interrupt poll this many points at a time.
constexpr int64_t kPointsPerPoll = 16;

AnnoCell cell(const AnnoColumn* column, const char* name, int64_t row) {
    if (!column) throw_missing_key(name);
    if (row < 0 || row >= static_cast<int64_t>(column->size())) interp::list_index_out_of_range();
    return (*column)[static_cast<size_t>(row)];
}

// The int a cell equals, if it equals one that fits 32 bits.
std::optional<int32_t> as_int32_slow(const AnnoCell& c);

// Runs once per point in several loops: ints answer inline.
inline std::optional<int32_t> as_int32(const AnnoCell& c) {
    if (auto* i = std::get_if<int32_t>(&c)) [[likely]]
        return *i;
    return as_int32_slow(c);
}

std::optional<int32_t> as_int32_slow(const AnnoCell& c) {
    if (auto* d = std::get_if<double>(&c)) {
        if (*d == std::floor(*d) && *d >= std::numeric_limits<int32_t>::min() &&
            *d <= std::numeric_limits<int32_t>::max())
            return static_cast<int32_t>(*d);
    }
    return std::nullopt;
}

bool equals_zero(const AnnoCell& c) {
    if (auto* i = std::get_if<int32_t>(&c)) return *i == 0;
    if (auto* d = std::get_if<double>(&c)) return *d == 0;
    return false;
}

AnnoCell point_cell(const AnnoColumn* column, const char* name, int64_t row) {
    return cell(column, name, row);
}

// Writes a coordinate, or reports the row numpy refused.
bool store_coordinate(const AnnoColumn* column, const char* name, const Coordinates& coords,
                      int64_t row, double* dst) {
    point_cell(column, name, row);
    auto k = static_cast<size_t>(row);
    if (coords.state[k] == Coordinates::Refused) return false;
    if (dst) *dst = coords.value[k];
    return true;
}

} // namespace

const std::vector<std::string>& RegionColumns::names() {
    static const std::vector<std::string> n = {"Group",   "Type",      "AryNX", "AryNY",
                                               "AryType", "Fileindex", "X",     "Y"};
    return n;
}

RegionColumns RegionColumns::of(const AnnotationTable& t) {
    RegionColumns c;
    c.group = t.column("Group");
    c.type = t.column("Type");
    c.nx = t.column("AryNX");
    c.ny = t.column("AryNY");
    c.array_type = t.column("AryType");
    c.file_index = t.column("Fileindex");
    c.x = t.column("X");
    c.y = t.column("Y");
    return c;
}

GroupIndex::GroupIndex(const AnnoColumn& group) {
    // A group's rows usually follow one another: count a run, then look up.
    std::pair<int64_t, int64_t>* current = nullptr;
    int32_t current_group = 0;
    const int32_t* ints = group.ints();
    for (size_t r = 0; r < group.size(); ++r) {
        auto g = ints ? std::optional<int32_t>(ints[r]) : as_int32(group[r]);
        if (!g) continue;
        if (!current || *g != current_group) {
            current = &rows_.try_emplace(*g, static_cast<int64_t>(r), 0).first->second;
            current_group = *g;
        }
        ++current->second;
    }
}

int64_t GroupIndex::first_row(int32_t group) const {
    auto it = rows_.find(group);
    return it == rows_.end() ? -1 : it->second.first;
}

int64_t GroupIndex::count(int32_t group) const {
    auto it = rows_.find(group);
    return it == rows_.end() ? 0 : it->second.second;
}

std::optional<RegionPlan> plan_region(const RegionColumns& cols, const GroupIndex& groups,
                                      int32_t group) {
    RegionPlan plan;
    plan.group = group;
    plan.first_row = groups.first_row(group);
    int64_t j = plan.first_row;
    if (!equals_zero(cell(cols.type, "Type", j))) return std::nullopt;
    AnnoCell nx = cell(cols.nx, "AryNX", j);
    AnnoCell ny = cell(cols.ny, "AryNY", j);

    // NSPEC = AryNX * AryNY as the interpreter multiplies the cells.
    interp::Value product = interp::mul(as_value(nx), as_value(ny));
    // Text repeated is still text, which is never 0 and never a point count.
    if (product.kind == interp::Value::Str) {
        plan.size = RepeatedText{};
        return plan;
    }
    auto format = [](const AnnoCell& c) {
        if (auto* i = std::get_if<int32_t>(&c)) return std::to_string(*i);
        char buf[64];
        std::snprintf(buf, sizeof buf, "%.17g", std::get<double>(c));
        return std::string(buf);
    };
    if (interp::equals(product, 0) && equals_zero(cell(cols.array_type, "AryType", j))) {
        int64_t n = groups.count(group);
        plan.size = n;
        plan.title = "Region " + std::to_string(group) + " (" + std::to_string(n) + " points)";
        return plan;
    }
    // Two int32 cells multiply within 64 bits.
    if (product.kind == interp::Value::Int)
        plan.size = static_cast<int64_t>(product.i);
    else
        plan.size = product.d;
    plan.title = "Region " + std::to_string(group) + " (" + format(nx) + " x " + format(ny) + ")";
    return plan;
}

bool region_fits_table(const RegionColumns& cols, const RegionPlan& plan) {
    auto* size = std::get_if<int64_t>(&plan.size);
    if (!size || *size <= 0) return true;
    if (!cols.file_index) return false;
    return *size <= static_cast<int64_t>(cols.file_index->size()) - plan.first_row;
}

int64_t RegionBudget::cost(int64_t size, const RegionFill& filled) const {
    // Every point's coordinates: np.zeros commits them wherever the heap serves it.
    return saturating_add(filled.committed, saturating_mul(size, per_point_));
}

bool RegionBudget::fits(int64_t size, const RegionFill& filled) const {
    return budget_.can_spend(cost(size, filled));
}

void RegionBudget::spend(const RegionPlan& plan, int64_t size, const RegionFill& filled) {
    budget_.spend(cost(size, filled), "annotation table gives region " +
                                          std::to_string(plan.group) + " " + std::to_string(size) +
                                          " points; the regions so far fill more");
}

RegionFill region_fill(const StoredBlocks& blocks, const RegionColumns& cols,
                       const RegionPlan& plan, int64_t size, int64_t row_bytes) {
    // A run of consecutive rows touches at most its length in 2 MiB pages
    // plus one at each end, wherever the array starts.
    constexpr int64_t kGranule = int64_t(2) << 20;
    RegionFill fill;
    int64_t run = 0;
    auto close_run = [&] {
        if (run == 0) return;
        int64_t bytes = saturating_mul(run, row_bytes);
        fill.committed =
            saturating_add(fill.committed, saturating_mul(bytes / kGranule + 2, kGranule));
        run = 0;
    };
    // A region of no points fits any table, even one without the column.
    if (size <= 0) return fill;
    // The region fits the table, so every row it names is there.
    if (!cols.file_index) throw_missing_key("Fileindex");
    const AnnoColumn& column = *cols.file_index;
    const int32_t* ints = column.ints();
    fill.offsets.resize(static_cast<size_t>(size));
    for (int64_t n = 0; n < size; ++n) {
        if (n % kPointsPerPoll == 0) poll_interrupt(kPointsPerPoll * 64);
        auto row = static_cast<size_t>(plan.first_row + n);
        auto key = ints ? std::optional<int32_t>(ints[row]) : as_int32(column[row]);
        const int64_t* offset = key ? blocks.find(*key) : nullptr;
        fill.offsets[static_cast<size_t>(n)] = offset;
        if (offset) {
            ++fill.points;
            ++run;
        } else {
            close_run();
        }
    }
    close_run();
    int64_t array = saturating_mul(size, row_bytes);
    fill.committed = array < kMappedArrayBytes ? array : std::min(fill.committed, array);
    return fill;
}

Coordinates Coordinates::of(const AnnoColumn* column) {
    Coordinates c;
    if (!column) return c;
    c.state.assign(column->size(), Stored);
    if (const float* f = column->floats()) {
        c.value.assign(f, f + column->size());
        return c;
    }
    if (const int32_t* i = column->ints()) {
        c.value.assign(i, i + column->size());
        return c;
    }
    c.value.resize(column->size());
    for (size_t r = 0; r < column->size(); ++r) {
        AnnoCell v = (*column)[r];
        if (auto* i = std::get_if<int32_t>(&v))
            c.value[r] = *i;
        else if (auto* d = std::get_if<double>(&v))
            c.value[r] = *d;
        else {
            c.state[r] = Pending;
            ++c.pending;
        }
    }
    return c;
}

CoordinateStop fill_spectrum_region(SpectrumSource& src, const RegionColumns& cols,
                                    const Coordinates& x, const Coordinates& y,
                                    const RegionPlan& plan, int64_t size, const RegionArrays& out,
                                    const RegionFill* filled) {
    const BlockReader& reader = src.reader;
    const int64_t npt = src.npt;
    // Points whose whole blocks lie back to back in the file are read a
    // batch at a time; the checks before each read stay per point.
    BlockBatch& batch = src.batch;
    const bool batched = out.spectra && out.start_time && batch.usable(kTimeEnd);
    auto take_time = [&out](int64_t n, const unsigned char* info) {
        out.start_time[n] = BlockReader::time_in(info);
    };
    auto single = [&](int64_t n, int64_t offset, float*) {
        int64_t got = out.spectra ? reader.read_values(offset, npt, out.spectra + n * npt)
                                  : reader.values_at(offset, npt);
        if (got != npt) interp::broadcast_mismatch(got, npt);
        int64_t after = reader.position_after(offset, npt, got);
        if (out.start_time)
            out.start_time[n] = reader.read_time(after);
        else if (!reader.has_time(after))
            reader.read_time(after);
    };
    // Rows below this have both coordinate cells, so no lookup can fail.
    const int64_t coordinate_rows =
        cols.x && cols.y ? static_cast<int64_t>(std::min(cols.x->size(), cols.y->size())) : 0;
    const int64_t work = saturating_mul(saturating_mul(npt, 4), kPointsPerPoll);
    // In locals: the stores below could otherwise alias them and force reloads.
    const Coordinates::State* x_state = x.state.data();
    const Coordinates::State* y_state = y.state.data();
    const double* x_value = x.value.data();
    const double* y_value = y.value.data();
    double* map_x = out.map_x;
    double* map_y = out.map_y;
    const int64_t* const* offsets = filled ? filled->offsets.data() : nullptr;
    for (int64_t n = 0; n < size; ++n) {
        if (n % kPointsPerPoll == 0) poll_interrupt(work);
        int64_t i = plan.first_row + n;
        const int64_t* offset;
        if (offsets) {
            offset = offsets[n];
        } else {
            auto key = as_int32(point_cell(cols.file_index, "Fileindex", i));
            offset = key ? src.blocks.find(*key) : nullptr;
        }
        if (!offset) { // no stored block: the point stays zero
            if (out.spectra && !out.spectra_zeroed)
                std::fill(out.spectra + n * npt, out.spectra + (n + 1) * npt, 0.0f);
            continue;
        }
        if (i < coordinate_rows) [[likely]] {
            if (x_state[i] == Coordinates::Refused) return {i, false};
            if (y_state[i] == Coordinates::Refused) return {i, true};
            if (map_x) map_x[n] = x_value[i];
            if (map_y) map_y[n] = y_value[i];
        } else {
            if (!store_coordinate(cols.x, "X", x, i, out.map_x ? out.map_x + n : nullptr))
                return {i, false};
            if (!store_coordinate(cols.y, "Y", y, i, out.map_y ? out.map_y + n : nullptr))
                return {i, true};
        }
        if (*offset < 0) [[unlikely]]
            BlockReader::check_seek(*offset);
        // Only a batched read has arrays to write into; single() finds its own.
        batch.take(batched, *offset, batched ? out.spectra + n * npt : nullptr, n, take_time,
                   single);
    }
    batch.flush(take_time, single);
    return {};
}

TraceMatrix::TraceMatrix(const BlockReader& reader, const StoredBlocks& blocks, int64_t width,
                         int64_t stride)
    : reader_(reader), blocks_(blocks), rows_(static_cast<int64_t>(blocks.blocks.size())),
      cols_(width) {
    // Overlapping blocks can name many times the file's bytes; past a
    // budget tied to the file size, read values only as the points ask.
    int64_t budget = 2 * reader.file_size() + (int64_t(64) << 20);
    in_memory_ = cols_ == 0 || rows_ <= budget / 4 / cols_;
    if (!in_memory_) return;
    // Not cleared: every value is read before any is used.
    buffer_ = HugePageBuffer(static_cast<size_t>(rows_ * cols_) * sizeof(float));
    values_ = static_cast<float*>(buffer_.data());
    // Traces that lie back to back are read a batch at a time; the rows
    // follow one another and the info parts are not wanted.
    BlockBatch batch(reader, cols_, stride, BlockBatch::kDefaultBatchBytes, InfoRoom::Unused);
    const bool batched = batch.usable();
    auto done = [](int64_t, const unsigned char*) {};
    auto single = [&](int64_t, int64_t offset, float* dst) {
        if (reader.read_values(offset, cols_, dst) != cols_) throw_file_changed(offset);
    };
    int64_t k = 0;
    for (const auto& b : blocks.blocks) {
        poll_interrupt(saturating_mul(cols_, 4));
        batch.take(batched, b.offset, values_ + k * cols_, k, done, single);
        ++k;
    }
    batch.flush(done, single);
}

void TraceMatrix::column(int64_t c, float* out) const {
    if (in_memory_) {
        for (int64_t t = 0; t < rows_; ++t) out[t] = values_[static_cast<size_t>(t * cols_ + c)];
        return;
    }
    int64_t t = 0;
    for (const auto& b : blocks_.blocks) {
        if (reader_.read_values(b.offset + 4 * c, 1, out + t) != 1) throw_file_changed(b.offset);
        ++t;
    }
}

void TraceMatrix::columns(const int64_t* cs, int64_t count, float* out) const {
    // A cache line of each output row at a time: the few traces it spans
    // stay in cache while the points go by.
    constexpr int64_t kTraces = 16;
    for (int64_t t0 = 0; t0 < rows_; t0 += kTraces) {
        const int64_t span = std::min(kTraces, rows_ - t0);
        const float* traces = values_ + t0 * cols_;
        for (int64_t k = 0; k < count; ++k) {
            float* o = out + k * rows_ + t0;
            const float* v = traces + cs[k];
            for (int64_t t = 0; t < span; ++t) o[t] = v[t * cols_];
        }
    }
}

namespace {

// traces[:, findex - 1]: the column a point's "Fileindex" names among
// `traces` columns, as numpy indexes it, or numpy's refusal.
int64_t trace_column(const AnnoCell& findex, int64_t traces) {
    if (std::holds_alternative<std::monostate>(findex) || std::holds_alternative<CellText>(findex))
        interp::unsupported_operands("-", as_value(findex), interp::Value::integer(1));
    if (std::holds_alternative<double>(findex)) interp::float_index();
    int64_t c = int64_t(std::get<int32_t>(findex)) - 1;
    if (c < -traces || c >= traces) interp::index_out_of_bounds(c, 1, traces);
    return c < 0 ? c + traces : c;
}

} // namespace

void check_point_coordinates(const RegionColumns& cols, int64_t row) {
    point_cell(cols.x, "X", row);
    point_cell(cols.y, "Y", row);
}

void check_trace_column(const RegionColumns& cols, int64_t row, int64_t traces) {
    trace_column(point_cell(cols.file_index, "Fileindex", row), traces);
}

CoordinateStop fill_trace_region(const TraceMatrix& traces, const RegionColumns& cols,
                                 const Coordinates& x, const Coordinates& y, const RegionPlan& plan,
                                 int64_t size, const RegionArrays& out) {
    // From memory, the points' columns are copied a batch at a time. Nothing
    // sees the rows before the batch is done: a stop or an error discards
    // the arrays.
    constexpr int64_t kBatch = 32;
    int64_t batch[kBatch];
    int64_t batched = 0, first = 0;
    const bool gather = out.spectra && traces.in_memory();
    auto flush = [&] {
        if (batched) traces.columns(batch, batched, out.spectra + first * traces.rows());
        batched = 0;
    };
    for (int64_t n = 0; n < size; ++n) {
        poll_interrupt(traces.rows() * 4);
        int64_t i = plan.first_row + n;
        AnnoCell findex = point_cell(cols.file_index, "Fileindex", i);
        if (!store_coordinate(cols.x, "X", x, i, out.map_x ? out.map_x + n : nullptr))
            return {i, false};
        if (!store_coordinate(cols.y, "Y", y, i, out.map_y ? out.map_y + n : nullptr))
            return {i, true};
        int64_t c = trace_column(findex, traces.cols());
        if (gather) {
            if (batched == 0) first = n;
            batch[batched++] = c;
            if (batched == kBatch) flush();
        } else if (out.spectra) {
            traces.column(c, out.spectra + n * traces.rows());
        }
    }
    flush();
    return {};
}

} // namespace vesk
