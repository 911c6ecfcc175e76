#include "veskread/extract/measured_regions.h"

#include <limits>
#include <optional>
#include <utility>

#include "veskread/container/errors.h"
#include "veskread/container/output_budget.h"

namespace vesk {

namespace {

// The plan of the region of group `g` as the outline found it, within the
// `left` points: the file changed since, where it differs.
std::pair<RegionPlan, int64_t> planned(const RegionColumns& cols, const GroupIndex& index,
                                       int32_t g, int64_t left) {
    std::optional<RegionPlan> plan = plan_region(cols, index, g);
    auto* size = plan ? std::get_if<int64_t>(&plan->size) : nullptr;
    if (!size || *size < 0 || *size > left) throw_file_changed(-1);
    if (*size > 0 && !region_fits_table(cols, *plan)) throw_file_changed(-1);
    int64_t n = *size;
    return {std::move(*plan), n};
}

// A point loop that stopped at a refused coordinate: the listing, which
// refuses such a table, saw another file.
void check_stop(const CoordinateStop& stop) {
    if (stop.row >= 0)
        throw_value("the annotation table's " + std::string(stop.is_y ? "Y" : "X") + " of row " +
                    std::to_string(stop.row) + " is not a number");
}

} // namespace

double table_position(const Coordinates& c, int64_t row) {
    auto r = static_cast<size_t>(row);
    return row >= 0 && r < c.state.size() && c.state[r] == Coordinates::Stored
               ? c.value[r]
               : std::numeric_limits<double>::quiet_NaN();
}

namespace {

// Runs `fill(cols, plan, size, at)` for each region of `out.groups` in turn,
// `at` its first point among all.
template <class Fill> std::vector<MeasuredRegion> each_region(const AnnotationTable& anno,
                                                              const RegionRead& out, Fill fill) {
    RegionColumns cols = RegionColumns::of(anno);
    if (!cols.group) throw_missing_key("Group");
    GroupIndex index(*cols.group);
    std::vector<MeasuredRegion> regions;
    int64_t at = 0;
    for (int32_t g : out.groups) {
        auto [plan, size] = planned(cols, index, g, out.points - at);
        fill(cols, plan, size, at);
        regions.push_back({plan.title, size});
        at += size;
    }
    if (at != out.points) throw_file_changed(-1);
    return regions;
}

} // namespace

std::vector<MeasuredRegion> read_measured_regions(const BlockReader& reader,
                                                  const StoredBlocks& blocks,
                                                  const AnnotationTable& anno, int64_t npt,
                                                  int64_t stride, bool placed,
                                                  const RegionRead& out) {
    SpectrumSource source(reader, blocks, npt, stride);
    return each_region(
        anno, out,
        [&](const RegionColumns& cols, const RegionPlan& plan, int64_t size, int64_t at) {
            RegionFill fill = region_fill(blocks, cols, plan, size, saturating_mul(npt, 4));
            for (size_t n = 0; n < fill.offsets.size(); ++n) {
                const int64_t* offset = fill.offsets[n];
                if (offset && reader.holds_spectrum(*offset, npt)) continue;
                fill.offsets[n] = nullptr; // passed over: the caller's values stay
                if (!placed) continue;
                int64_t row = plan.first_row + static_cast<int64_t>(n);
                out.map_x[at + static_cast<int64_t>(n)] = table_position(out.x, row);
                out.map_y[at + static_cast<int64_t>(n)] = table_position(out.y, row);
            }
            RegionArrays arrays{out.map_x + at, out.map_y + at, out.values + at * npt,
                                out.start_time + at, true};
            check_stop(fill_spectrum_region(source, cols, out.x, out.y, plan, size, arrays, &fill));
        });
}

std::vector<MeasuredRegion> read_measured_region_traces(const BlockReader& reader,
                                                        const StoredBlocks& whole,
                                                        const AnnotationTable& anno, int64_t npt,
                                                        int64_t stride, const RegionRead& out) {
    TraceMatrix traces(reader, whole, npt, stride);
    return each_region(
        anno, out,
        [&](const RegionColumns& cols, const RegionPlan& plan, int64_t size, int64_t at) {
            RegionArrays arrays{out.map_x + at, out.map_y + at, out.values + at * traces.rows(),
                                nullptr, false};
            check_stop(fill_trace_region(traces, cols, out.x, out.y, plan, size, arrays));
        });
}

} // namespace vesk
