#include "veskread/extract/block_outline.h"

#include <algorithm>
#include <limits>
#include <numeric>
#include <optional>
#include <string>
#include <unordered_set>
#include <utility>

#include "veskread/container/interpreter_rules.h"
#include "veskread/container/output_budget.h"
#include "veskread/extract/annotation_table.h"
#include "veskread/extract/float_values.h"
#include "veskread/extract/image_map.h"
#include "veskread/extract/kind_choice.h"
#include "veskread/extract/regions.h"
#include "veskread/extract/selection.h"
#include "veskread/extract/series.h"
#include "veskread/extract/store_table.h"
#include "veskread/extract/stored_block_reader.h"

namespace vesk {

namespace {

// A negative count, which reading's linspace refuses without naming it.
void check_points(const char* key, int64_t count) {
    if (count < 0)
        throw_value(std::string(key) + " is " + std::to_string(count) +
                    ": a count of points cannot be negative");
}

// Reading refuses a count that no file of this size could back before it
// builds anything for it.
void check_declared(const char* key, int64_t count, int64_t file_size) {
    if (!declared_count_fits(count, file_size))
        refuse_declared_count(key, std::to_string(count), file_size);
}

// A stored block the end of the file cuts short, said so rather than as the
// stacking or reshaping that reading then fails at.
[[noreturn]] void throw_cut_block(const StoredBlock& b, int64_t got, int64_t npt) {
    throw Error(ErrorKind::ShortRead,
                "file ends early: a stored block holds " + std::to_string(got) + " of its " +
                    std::to_string(npt) + " values",
                b.offset, checked_mul(npt, 4));
}

// The number of values every stored block yields, or nullopt where they
// differ (stacking them fails). Fewer than npt come only from the end of
// the file, so where counts differ, the shorter blocks are cut.
std::optional<int64_t> equal_count(const BlockReader& reader, const StoredBlocks& blocks,
                                   int64_t npt) {
    if (blocks.blocks.empty()) throw_value("need at least one array to concatenate");
    for (const auto& b : blocks.blocks) BlockReader::check_seek(b.offset);
    int64_t first = reader.values_at(blocks.blocks.front().offset, npt);
    for (const auto& b : blocks.blocks)
        if (reader.values_at(b.offset, npt) != first) return std::nullopt;
    return first;
}

// equal_count, where stacking must not fail: the first cut block is refused.
int64_t common_count(const BlockReader& reader, const StoredBlocks& blocks, int64_t npt) {
    if (std::optional<int64_t> count = equal_count(reader, blocks, npt)) return *count;
    for (const auto& b : blocks.blocks) {
        int64_t got = reader.values_at(b.offset, npt);
        if (got < npt) throw_cut_block(b, got, npt);
    }
    return npt; // not reached: counts differ only where some block is cut
}

// Reading takes each trace's name after its values, from the first block it
// reads on; an info size too small to hold one fails there.
void check_trace_names(const BlockReader& reader, const StoredBlocks& blocks, int64_t npt,
                       int32_t info_size) {
    if (blocks.blocks.empty()) return;
    int64_t offset = blocks.blocks.front().offset;
    BlockReader::check_seek(offset);
    int64_t after = reader.position_after(offset, npt, reader.values_at(offset, npt));
    BlockReader::check_label_length(after, info_size);
}

void outline_image_map(Cursor& cur, const BlockReader& reader, const BlockOffsets& offsets,
                       const DataBlockKey& key, const StoredBlocks& blocks, int64_t npt,
                       int32_t info_size, ParamRecordCache* cache, BlockOutline& out) {
    for (const char* k : kMapGeometryKeys) out.parameters->at(k);
    // Reading asks `NPX == 0 or NPY == 0` before it takes either as a count:
    // a zero float counts, text is merely not zero, and NPY is not looked at
    // where NPX is zero.
    auto zero = [&](const char* k) { return interp::equals(as_value(out.parameters->at(k)), 0); };
    if (key.derivative != "NONE" && (zero("NPX") || zero("NPY"))) {
        ParamBlock original = read_param_block(cur, offsets.original_params);
        // The merge may be shared: the underived geometry goes on a copy.
        if (cache) cache->spend_copy(*out.parameters, cur.source_size(), offsets.params);
        auto params = std::make_shared<ParamBlock>(*out.parameters);
        for (const char* k : kMapGeometryKeys) params->set(k, original.at(k));
        out.parameters = params;
    }
    int64_t npx = param_as_int(out.parameters->at("NPX"), "NPX");
    int64_t npy = param_as_int(out.parameters->at("NPY"), "NPY");
    // Reading builds each axis as origin + step * (count - 1) and hands it
    // to linspace, which refuses text in either, whatever the count.
    for (size_t k : {kOriginX, kOriginY, kStepX, kStepY}) {
        const char* name = kMapGeometryKeys[k];
        if (std::holds_alternative<ParamText>(out.parameters->at(name)))
            throw Error(ErrorKind::WrongType,
                        std::string("parameter '") + name + "' is text, not a number");
    }
    // The map's axes, x then y, are built first.
    check_declared("NPX", npx, cur.source_size());
    check_declared("NPY", npy, cur.source_size());
    check_points("NPX", npx);
    check_points("NPY", npy);
    if (is_trace_type(key.type)) {
        if (blocks.blocks.empty()) throw_value("need at least one array to concatenate");
        for (const auto& b : blocks.blocks) {
            BlockReader::check_seek(b.offset);
            // A plane that the end of the file cuts short is passed over
            // (CutBlocks::PassOver); one of the wrong size fails, whole or cut.
            if (npt == npy * npx && reader.values_at(b.offset, npt) < npt) {
                ++out.cut_blocks;
                continue;
            }
            check_trace_plane(reader, b, npt, {npy, npx});
        }
        check_trace_names(reader,
                          out.cut_blocks > 0 ? traces_held_whole(reader, blocks, npt) : blocks, npt,
                          info_size);
        out.kind = BlockKind::ImageTraces;
        out.shape = {npy, npx, static_cast<int64_t>(blocks.blocks.size()) - out.cut_blocks};
    } else {
        out.kind = BlockKind::ImageMap;
        out.shape = {npy, npx, npt};
    }
}

// Names of the traces that reading a block of traces gives (passing over
// those the end of the file cuts short) that it cuts short too.
int64_t names_cut_short(const BlockReader& reader, const StoredBlocks& blocks, int64_t npt,
                        int32_t info_size, const BlockOutline& out) {
    bool passed_over = out.cut_blocks > 0 && (out.kind != BlockKind::ImageTraces ||
                                              npt == saturating_mul(out.shape[0], out.shape[1]));
    std::vector<int64_t> after;
    after.reserve(blocks.blocks.size());
    for (const auto& b : blocks.blocks) {
        int64_t got = reader.values_at(b.offset, npt);
        if (b.offset >= 0 && !(passed_over && got < npt))
            after.push_back(reader.position_after(b.offset, npt, got));
    }
    return reader.labels_cut(after, info_size);
}

// The text coordinates of the points a read converts, each row once:
// regions may share rows.
struct CoordinateTexts {
    std::vector<bool> seen; // per table row
    std::unordered_set<std::string> texts;

    void add(const RegionColumns& cols, int64_t row) {
        check_point_coordinates(cols, row);
        bool numbers = (cols.x->ints() || cols.x->floats()) && (cols.y->ints() || cols.y->floats());
        if (numbers) return;
        auto r = static_cast<size_t>(row);
        if (seen.empty()) seen.resize(std::max(cols.x->size(), cols.y->size()));
        if (seen[r]) return;
        seen[r] = true;
        for (const AnnoColumn* c : {cols.x, cols.y}) {
            AnnoCell cell = (*c)[r];
            if (auto* t = std::get_if<CellText>(&cell)) texts.insert(*t->bytes);
        }
    }
    std::vector<std::string> taken() { return {texts.begin(), texts.end()}; }
};

// A block holding some of a map's keys whose parameter block the end of the
// file cuts short may have lost the others to the cut: read as a series,
// its spectra would be a map's points passed off as a recording in time.
// So may a block whose own parameter block, which holds a map's keys, is
// cut short before any of them, or damaged.
void refuse_partial_map(const ParamBlock& params, int64_t cut_at, const std::string& damage,
                        bool own_block) {
    std::string block = "the parameter block at byte " + std::to_string(cut_at);
    for (const char* k : kMapGeometryKeys) {
        if (!params.contains(k)) continue;
        std::string keys =
            " after some of a map's keys (" + std::string(k) + "), before the others";
        if (damage.empty())
            throw PartialMapKeys(ErrorKind::ShortRead,
                                 "file ends early: " + block + " is cut short" + keys, cut_at);
        throw PartialMapKeys(ErrorKind::Value, block + " is damaged" + keys + ": " + damage,
                             cut_at);
    }
    if (!own_block) return;
    if (damage.empty())
        throw PartialMapKeys(ErrorKind::ShortRead,
                             "file ends early: " + block +
                                 " is cut short before any of a map's keys: the block may be a map",
                             cut_at);
    throw PartialMapKeys(
        ErrorKind::Value,
        block + " is damaged (" + damage + "): the block may be a map whose keys it held", cut_at);
}

int32_t group_number(const AnnoCell& c) {
    if (auto* i = std::get_if<int32_t>(&c)) return *i;
    throw Error(ErrorKind::WrongType, "region group number is not an integer");
}

// Stored spectra of a multiregion map that the end of the file cuts short.
int64_t cut_spectra(const BlockReader& reader, const StoredBlocks& blocks, int64_t npt) {
    int64_t cut = 0;
    for (const auto& b : blocks.blocks)
        cut += b.offset >= 0 && !reader.holds_spectrum(b.offset, npt);
    return cut;
}

// The stored spectra of a multiregion map's points, which its outline
// checks as reading would, without reading them.
struct RegionSpectra {
    const BlockReader& reader;
    const StoredBlocks& blocks;
    int64_t npt;
    std::vector<GroupFills>* groups; // when asked for: each group's fills
    RegionBudget budget{reader.file_size(), false};
    CoordinateTexts coordinates{};
    int64_t unfilled = 0; // points no stored block fills: read as zero, at (0, 0)
    // Points given a row: 8 bytes each here, and their positions 16 more on
    // their way to Python, within a quarter of the bound.
    int64_t positions_left = output_limit(reader.file_size()) / 96;

    void group(int32_t g) {
        if (groups) groups->push_back({g, false, {}, {}});
    }
    void region() {
        if (groups) groups->back().region = true;
    }
    // Points whose stored block the end of the file cuts short: reading
    // fails on them, the package passes them over as unfilled.
    int64_t cut = 0;

    // Throws what reading the region's spectra would where they lie at a
    // negative offset; counts those that the end of the file cuts short.
    void check(const RegionColumns& cols, const RegionPlan& plan, int64_t size) {
        RegionFill fill = region_fill(blocks, cols, plan, size, saturating_mul(npt, 4));
        budget.spend(plan, size, fill);
        std::vector<uint8_t> whole(fill.offsets.size());
        int64_t missing = 0;
        for (size_t n = 0; n < fill.offsets.size(); ++n) {
            const int64_t* offset = fill.offsets[n];
            if (offset) {
                coordinates.add(cols, plan.first_row + static_cast<int64_t>(n));
                BlockReader::check_seek(*offset);
                whole[n] = reader.holds_spectrum(*offset, npt);
                cut += !whole[n];
            }
            missing += !whole[n];
        }
        unfilled += missing;
        if (!groups) return;
        // Overlapping regions may name the rows of the table many times over:
        // positions are given within a bound, or for no point of the region.
        bool placed = missing <= positions_left;
        if (placed) positions_left -= missing;
        for (size_t n = 0; n < whole.size(); ++n) {
            if (whole[n] || !placed) continue;
            groups->back().unfilled_rows.push_back(plan.first_row + static_cast<int64_t>(n));
        }
        groups->back().filled = std::move(whole);
    }
};

// The traces of a multiregion map: each point's "Fileindex" must name one
// of the values every trace holds. Regions may share rows, so each row is
// checked once: overlapping regions must not cost the square of the table.
struct RegionTraces {
    int64_t values; // per trace
    int64_t traces;
    RegionBudget budget;
    std::vector<GroupFills>* groups; // when asked for: the groups, without fills
    std::vector<int64_t> after{};    // after[r]: the first row from r on not yet checked
    CoordinateTexts coordinates{};

    void group(int32_t g) {
        if (groups) groups->push_back({g, false, {}, {}});
    }
    void region() {
        if (groups) groups->back().region = true;
    }
    int64_t unchecked_from(int64_t r) {
        int64_t first = r;
        while (after[first] != first) first = after[first];
        while (after[r] != first) r = std::exchange(after[r], first);
        return first;
    }
    void check(const RegionColumns& cols, const RegionPlan& plan, int64_t size) {
        budget.spend(plan, size, {size, saturating_mul(size, saturating_mul(traces, 4)), {}});
        if (after.empty()) {
            after.resize(cols.file_index->size() + 1);
            std::iota(after.begin(), after.end(), int64_t{0});
        }
        int64_t end = plan.first_row + size; // within the table: region_fits_table
        for (int64_t r = unchecked_from(plan.first_row); r < end; r = unchecked_from(r)) {
            coordinates.add(cols, r);
            check_trace_column(cols, r, values);
            after[r] = r + 1;
        }
    }
};

// Points of all regions together; regions are read group by group, and each
// region's points checked by `points` (RegionSpectra or RegionTraces).
template <class PointCheck> int64_t region_points(const AnnotationTable& anno, PointCheck& points) {
    RegionColumns cols = RegionColumns::of(anno);
    if (!cols.group) throw_missing_key("Group");
    GroupIndex index(*cols.group);
    std::unordered_set<int32_t> seen;
    int64_t total = 0;
    for (const auto& c : *cols.group) {
        int32_t g = group_number(c);
        if (!seen.insert(g).second) continue;
        points.group(g);
        std::optional<RegionPlan> plan = plan_region(cols, index, g);
        if (!plan) continue;
        points.region();
        auto* size = std::get_if<int64_t>(&plan->size);
        if (!size) throw Error(ErrorKind::WrongType, "region size is not an integer");
        if (*size < 0) // numpy's "negative dimensions are not allowed", as read
            throw_value("region " + std::to_string(g) + " declares " + std::to_string(*size) +
                        " points (AryNX x AryNY): a count cannot be negative");
        if (*size > 0 && !region_fits_table(cols, *plan))
            throw Error(ErrorKind::IndexOutOfRange, "region runs past the annotation table");
        if (*size > 0) points.check(cols, *plan, *size);
        total = checked_add(total, *size);
    }
    return total;
}

} // namespace

BlockOutline outline_block(const ByteSource& src, const std::vector<DirEntry>& directory,
                           const DataBlockKey& key, StoredLayout* stored, MergedParameters* merged,
                           ParamRecordCache* cache, CutParameters cut) {
    KeyProblem problem = check_key(key.type, key.dimensions, key.derivative);
    if (problem != KeyProblem::None)
        throw_value(key_problem_message(problem, key.type, key.dimensions, key.derivative));
    BlockOffsets offsets =
        scan_directory(directory, request_for(key.type, key.dimensions, key.derivative));
    if (offsets.data == -1 || offsets.params == -1)
        throw_value("No data block exists in the file for: " + key.type + " " + key.dimensions +
                    " " + key.derivative);

    BlockOutline out;
    out.data_offset = offsets.data;
    out.data_length = offsets.data_words < 0 ? -1 : saturating_mul(offsets.data_words, 4);
    Cursor cur(src);
    out.parameters = cache ? merge_parameters(cur, offsets, *cache, cut, &out.parameters_cut_at)
                           : std::make_shared<const ParamBlock>(merge_parameters(cur, offsets));
    if (merged) *merged = {out.parameters, out.parameters_cut_at};
    if (out.parameters_cut_at != -1) out.parameters_damage = cache->damage(out.parameters_cut_at);
    const std::shared_ptr<const ParamBlock> held = out.parameters; // a map may replace it
    const ParamBlock& params = *held;
    int64_t npt = param_as_int(params.at("NPT"), "NPT");
    for (const char* k : {"FXV", "LXV", "MXY", "MNY"}) params.at(k);
    // Reading builds the x axis with linspace, which refuses text at either end.
    for (const char* k : {"FXV", "LXV"})
        if (std::holds_alternative<ParamText>(params.at(k)))
            throw Error(ErrorKind::WrongType,
                        std::string("parameter '") + k + "' is text, not a number");
    check_declared("NPT", npt, src.size());
    check_points("NPT", npt);

    if (key.dimensions == "2D") {
        out.kind = BlockKind::Spectrum;
        BlockReader::check_seek(offsets.data);
        out.shape = {static_cast<int64_t>(
            float32_values_available(src, offsets.data, static_cast<size_t>(npt)))};
        return out;
    }

    StoreTable table = read_store_table(cur, offsets.data);
    BlockReader reader(src);
    StoredBlocks blocks = stored_block_offsets(table, reader.file_size());
    out.stored_blocks = static_cast<int64_t>(blocks.blocks.size());
    bool traces = is_trace_type(key.type);
    Kind3D kind = choose_kind(params, offsets.anno);
    if (out.parameters_cut_at != -1 && kind != Kind3D::ImageMap)
        refuse_partial_map(params, out.parameters_cut_at, out.parameters_damage,
                           out.parameters_cut_at == offsets.params);
    switch (kind) {
    case Kind3D::ImageMap:
        outline_image_map(cur, reader, offsets, key, blocks, npt, table.info_size, cache, out);
        if (out.kind == BlockKind::ImageMap) {
            int64_t points = saturating_mul(out.shape[0], out.shape[1]);
            int64_t stored_count = static_cast<int64_t>(blocks.blocks.size());
            ImageLayout layout = image_layout(table, npt);
            MapShape shape{out.shape[0], out.shape[1], npt};
            check_image_commit(reader, blocks, layout, shape, CutBlocks::PassOver);
            if (layout == ImageLayout::Planes) {
                out.cut_blocks = check_plane_places(reader, blocks, shape, CutBlocks::PassOver);
                out.planes = true;
                // a recording stopped early, or cut short: every point lacks some
                if (stored_count - out.cut_blocks < npt) out.unfilled_points = points;
            }
            if (layout == ImageLayout::Neither)
                for (const auto& b : blocks.blocks) BlockReader::check_seek(b.offset);
            if (layout == ImageLayout::Spectra) {
                check_spectrum_places(blocks, shape);
                out.cut_blocks = cut_spectrum_blocks(reader, blocks, npt);
            }
            if (layout == ImageLayout::Neither)
                out.unfilled_points = points;
            else if (layout == ImageLayout::Spectra && stored_count - out.cut_blocks < points)
                out.unfilled_points = points - std::max<int64_t>(stored_count - out.cut_blocks, 0);
        }
        break;
    case Kind3D::TimeResolved:
        if (traces) {
            out.kind = BlockKind::TimeTraces;
            std::optional<int64_t> count = equal_count(reader, blocks, npt);
            if (count) {
                out.shape = {static_cast<int64_t>(blocks.blocks.size()), *count};
                check_trace_names(reader, blocks, npt, table.info_size);
            } else { // the end of the file cuts some short: the whole ones are read
                StoredBlocks whole = traces_held_whole(reader, blocks, npt);
                check_trace_names(reader, whole, npt, table.info_size);
                out.cut_blocks = static_cast<int64_t>(blocks.blocks.size() - whole.blocks.size());
                out.shape = {static_cast<int64_t>(whole.blocks.size()), npt};
            }
        } else {
            StoredBlocks whole = series_blocks_held_whole(reader, blocks, npt);
            check_spectrum_series(reader, whole, npt);
            out.kind = BlockKind::TimeSeries;
            out.cut_blocks = static_cast<int64_t>(blocks.blocks.size() - whole.blocks.size());
            if (out.cut_blocks > 0 && whole.blocks.empty()) {
                out.shape = {0, npt}; // every spectrum cut off: none measured to give
            } else {
                out.shape = {static_cast<int64_t>(whole.blocks.size()),
                             common_count(reader, whole, npt)};
            }
        }
        break;
    case Kind3D::MultiRegion: {
        AnnotationTable anno =
            read_annotation_table(cur, offsets.anno, RegionColumns::names(), [](const auto&) {});
        if (traces) {
            int64_t stored_count = static_cast<int64_t>(blocks.blocks.size());
            // They must stack: the end of the file may cut some short, which
            // the package passes over, reading the whole ones.
            std::optional<int64_t> count = equal_count(reader, blocks, npt);
            int64_t whole =
                count ? stored_count
                      : static_cast<int64_t>(traces_held_whole(reader, blocks, npt).blocks.size());
            out.cut_blocks = stored_count - whole;
            RegionTraces columns{count.value_or(npt), whole, RegionBudget(reader.file_size(), true),
                                 stored ? &stored->groups : nullptr};
            out.kind = BlockKind::MultiregionTraces;
            check_trace_names(reader, blocks, npt, table.info_size);
            out.shape = {region_points(anno, columns), whole};
            out.coordinate_texts = columns.coordinates.taken();
        } else {
            out.kind = BlockKind::MultiregionMap;
            RegionSpectra spectra{reader, blocks, npt, stored ? &stored->groups : nullptr};
            out.shape = {region_points(anno, spectra), npt};
            out.unfilled_points = spectra.unfilled;
            if (spectra.cut > 0) out.cut_blocks = cut_spectra(reader, blocks, npt);
            out.coordinate_texts = spectra.coordinates.taken();
        }
        if (stored) stored->annotation = std::move(anno);
        break;
    }
    }
    if (out.kind == BlockKind::TimeTraces || out.kind == BlockKind::ImageTraces ||
        out.kind == BlockKind::MultiregionTraces)
        out.cut_names = names_cut_short(reader, blocks, npt, table.info_size, out);
    if (out.kind == BlockKind::TimeSeries || out.kind == BlockKind::TimeTraces ||
        out.kind == BlockKind::ImageTraces) {
        // What reading builds, or vesk's read of what the file holds whole.
        int64_t values = 1;
        for (int64_t n : out.shape) values = saturating_mul(values, n);
        int64_t times = out.kind == BlockKind::TimeSeries ? saturating_mul(out.shape[0], 8) : 0;
        spend_on_stored_blocks(reader.file_size(), out.stored_blocks,
                               saturating_add(saturating_mul(values, 4), times));
    }
    if (stored) {
        stored->table = std::move(table);
        stored->blocks = std::move(blocks);
    }
    return out;
}

} // namespace vesk
