// The outline of a whole file that the package makes before reading any
// values: every listed key's kind, shape and merged parameters, as one call
// under one budget. Each listed block is either outlined or refused, no
// extent is negative, and a spectrum's outline counts only values the file
// holds after its data offset. A multiregion map is outlined again as the
// package does for its unmeasured points: a fill per point of the regions,
// and a table row for every point without a stored block, or none; one
// that the end of the file cuts short is read past its cut blocks.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "budget.h"
#include "veskread/container/directory.h"
#include "veskread/extract/block_outline.h"
#include "veskread/extract/file_outline.h"
#include "veskread/extract/measured_regions.h"
#include "veskread/extract/series.h"

namespace {

// The package's read of a multiregion map or map of traces that the end of
// the file cuts short, into zero pages as numpy's zeros give them.
void read_past_cut(const vesk::ByteSource& src, const vesk::BlockOutline& outline,
                   const vesk::StoredLayout& stored) {
    using namespace vesk;
    int64_t points = outline.shape[0], npt = outline.shape[1];
    std::vector<int32_t> regions;
    for (const GroupFills& g : stored.groups)
        if (g.region) regions.push_back(g.group);
    if (points > (int64_t(1) << 40) / (npt + 1)) return; // past any allocation
    fuzz::ZeroPages values(size_t(points * npt) * 4), at(size_t(points) * 24);
    if (!values.ok() || !at.ok()) return;
    auto* coords = static_cast<double*>(at.data());
    auto* dst = static_cast<float*>(values.data());
    const int64_t stride = int64_t(stored.table.block_size) + stored.table.info_size;
    BlockReader reader(src);
    // Text cells stay unresolved: only the package's binding has float().
    RegionColumns cols = RegionColumns::of(*stored.annotation);
    Coordinates x = Coordinates::of(cols.x), y = Coordinates::of(cols.y);
    RegionRead into{regions, points, x, y, dst, coords, coords + points, coords + 2 * points};
    try {
        if (outline.kind == BlockKind::MultiregionMap) {
            read_measured_regions(reader, stored.blocks, *stored.annotation, npt, stride, true,
                                  into);
        } else { // traces: npt is their count; each holds NPT values
            int64_t values_each = param_as_int(outline.parameters->at("NPT"), "NPT");
            StoredBlocks whole = traces_held_whole(reader, stored.blocks, values_each);
            if (int64_t(whole.blocks.size()) != npt) std::abort();
            read_measured_region_traces(reader, whole, *stored.annotation, values_each, stride,
                                        into);
        }
    } catch (const Error&) {
    }
    fuzz::Budget::charge_resident(values.resident() + at.resident());
}

void check_group_fills(const vesk::ByteSource& src, const vesk::ListedBlock& b) {
    using namespace vesk;
    StoredLayout stored;
    BlockOutline again;
    try {
        std::vector<DirEntry> directory = read_directory(src);
        // past a cut parameter block, as the package reads
        ParamRecordCache parameters(block_starts(directory));
        again = outline_block(src, directory, b.key, &stored, nullptr, &parameters,
                              CutParameters::KeepRead);
    } catch (const Error&) {
        return; // a listing's shared bounds are not one call's
    }
    if (again.kind == BlockKind::MultiregionTraces) {
        if (again.cut_blocks > 0) read_past_cut(src, again, stored);
        return;
    }
    int64_t points = 0, unfilled = 0;
    for (const GroupFills& g : stored.groups) {
        int64_t missing = 0;
        for (uint8_t f : g.filled) missing += f == 0;
        if (!g.unfilled_rows.empty() && int64_t(g.unfilled_rows.size()) != missing) std::abort();
        points += int64_t(g.filled.size());
        unfilled += missing;
    }
    if (points != again.shape[0] || unfilled != again.unfilled_points) std::abort();
    if (again.cut_blocks > 0) read_past_cut(src, again, stored);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace vesk;
    fuzz::CountingSource src(data, size);
    fuzz::Budget budget(size);
    FileOutline file = outline_file(src);
    for (const ListedBlock& b : file.blocks) {
        if (b.outline.has_value() == b.problem.has_value()) std::abort();
        if (!b.outline) continue;
        for (int64_t n : b.outline->shape)
            if (n < 0) std::abort();
        if (b.outline->kind == BlockKind::Spectrum &&
            (b.outline->shape.size() != 1 || b.outline->data_offset < 0 ||
             (b.outline->shape[0] > 0 &&
              b.outline->shape[0] * 4 > int64_t(size) - b.outline->data_offset)))
            std::abort();
        if (b.outline->kind == BlockKind::MultiregionMap ||
            b.outline->kind == BlockKind::MultiregionTraces)
            check_group_fills(src, b);
    }
    return 0;
}
