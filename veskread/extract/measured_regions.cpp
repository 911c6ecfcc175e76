#include "veskread/extract/measured_regions.h"

#include <limits>
#include <optional>
#include <utility>

#include "veskread/container/errors.h"
#include "veskread/container/output_budget.h"
#include "veskread/extract/regions.h"

namespace vesk {

namespace {

// Text cells, which reading leaves numpy to convert, as no number.
Coordinates numbers_of(const AnnoColumn* column) {
    Coordinates c = Coordinates::of(column);
    for (size_t k = 0; c.pending > 0 && k < c.state.size(); ++k) {
        if (c.state[k] != Coordinates::Pending) continue;
        c.value[k] = std::numeric_limits<double>::quiet_NaN();
        c.state[k] = Coordinates::Stored;
        --c.pending;
    }
    return c;
}

double position(const Coordinates& c, int64_t row) {
    auto r = static_cast<size_t>(row);
    return r < c.value.size() ? c.value[r] : std::numeric_limits<double>::quiet_NaN();
}

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

} // namespace

std::vector<MeasuredRegion>
read_measured_regions(const BlockReader& reader, const StoredBlocks& blocks,
                      const AnnotationTable& anno, int64_t npt, int64_t stride,
                      const std::vector<int32_t>& groups, int64_t points, bool placed,
                      float* values, double* map_x, double* map_y, double* start_time) {
    RegionColumns cols = RegionColumns::of(anno);
    if (!cols.group) throw_missing_key("Group");
    GroupIndex index(*cols.group);
    Coordinates x = numbers_of(cols.x), y = numbers_of(cols.y);
    SpectrumSource source(reader, blocks, npt, stride);
    std::vector<MeasuredRegion> out;
    int64_t at = 0;
    for (int32_t g : groups) {
        auto [plan, size] = planned(cols, index, g, points - at);
        RegionFill fill = region_fill(blocks, cols, plan, size, saturating_mul(npt, 4));
        for (size_t n = 0; n < fill.offsets.size(); ++n) {
            const int64_t* offset = fill.offsets[n];
            if (offset && reader.holds_spectrum(*offset, npt)) continue;
            fill.offsets[n] = nullptr; // passed over: the caller's values stay
            if (!placed) continue;
            int64_t row = plan.first_row + static_cast<int64_t>(n);
            map_x[at + static_cast<int64_t>(n)] = position(x, row);
            map_y[at + static_cast<int64_t>(n)] = position(y, row);
        }
        RegionArrays arrays{map_x + at, map_y + at, values + at * npt, start_time + at, true};
        fill_spectrum_region(source, cols, x, y, plan, size, arrays, &fill);
        out.push_back({plan.title, size});
        at += size;
    }
    if (at != points) throw_file_changed(-1);
    return out;
}

std::vector<MeasuredRegion>
read_measured_region_traces(const BlockReader& reader, const StoredBlocks& whole,
                            const AnnotationTable& anno, int64_t npt, int64_t stride,
                            const std::vector<int32_t>& groups, int64_t points, float* values,
                            double* map_x, double* map_y) {
    RegionColumns cols = RegionColumns::of(anno);
    if (!cols.group) throw_missing_key("Group");
    GroupIndex index(*cols.group);
    Coordinates x = numbers_of(cols.x), y = numbers_of(cols.y);
    TraceMatrix traces(reader, whole, npt, stride);
    std::vector<MeasuredRegion> out;
    int64_t at = 0;
    for (int32_t g : groups) {
        auto [plan, size] = planned(cols, index, g, points - at);
        RegionArrays arrays{map_x + at, map_y + at, values + at * traces.rows(), nullptr, false};
        fill_trace_region(traces, cols, x, y, plan, size, arrays);
        out.push_back({plan.title, size});
        at += size;
    }
    if (at != points) throw_file_changed(-1);
    return out;
}

} // namespace vesk
